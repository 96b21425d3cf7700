import os

from hypothesis import HealthCheck, settings

# Every property runs 1,000 examples by default; VARNEL_HYPOTHESIS_PROFILE=thorough runs 10,000.
settings.register_profile(
    "thorough", max_examples=10_000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("ci", max_examples=1_000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("VARNEL_HYPOTHESIS_PROFILE", "ci"))

"""varnel: watches how a repository changes, learns each metric's own normal,
and says in plain language when development drifts from it."""

__version__ = "0.1.0"

# The engines, in pipeline order: signals, explanations, knowledge base,
# patterns, advisory.
ENGINES = ("sigstage", "explstage", "lorekeep", "patstage", "advstage")

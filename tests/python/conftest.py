import os

import pytest
from hypothesis import HealthCheck, settings

from helpers import commit, git
from varnel.lorekeep import SQLiteKnowledgeStore
from varnel.patstage import Phase4Engine

# Every property runs 1,000 examples by default; VARNEL_HYPOTHESIS_PROFILE=thorough runs 10,000.
settings.register_profile(
    "thorough", max_examples=10_000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("ci", max_examples=1_000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("VARNEL_HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture
def repo(tmp_path):
    r = tmp_path / "repo"
    r.mkdir()
    git(r, "init", "-q", "-b", "main")
    return r


@pytest.fixture
def history(tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    for i in range(12):
        files = {f"src/m{i % 3}.py": str(i), "README.md": str(i)}
        if i == 11:
            files.update({f"docs/page{k}.md": "x" for k in range(25)})
        commit(repo, files, f"change {i}", date=f"2026-03-{i + 1:02d}T10:00:00+00:00")
    return repo


@pytest.fixture
def workspace(tmp_path):
    """A workspace folder not made yet, for the explanation engine's tests."""
    return tmp_path / "ws"


@pytest.fixture
def db_path(tmp_path):
    """Where a workspace keeps its knowledge base."""
    return tmp_path / "phase4" / "knowledge.db"


@pytest.fixture
def store(db_path):
    """A knowledge base opened at db_path, closed after the test."""
    s = SQLiteKnowledgeStore(db_path)
    yield s
    s.close()


@pytest.fixture
def engine_for():
    """Makes pattern engines for a workspace (and parameters); closes them after the test."""
    made = []

    def make(root, params=None):
        engine = Phase4Engine(root, params)
        made.append(engine)
        return engine

    yield make
    for engine in made:
        engine.close()
    made.clear()

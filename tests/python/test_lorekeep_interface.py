"""KnowledgeStoreBase: an abstract interface that Python backends implement and C++ callers reach."""

import pytest

from lorekeep_helpers import pattern
from varnel.lorekeep import KnowledgeStoreBase, SQLiteKnowledgeStore

OPERATIONS = [
    "create_pattern", "get_pattern", "get_pattern_by_fingerprint", "update_pattern", "increment_pattern",
    "list_patterns", "create_knowledge", "get_knowledge", "get_knowledge_by_fingerprint", "list_knowledge",
    "get_pattern_signals", "get_pattern_history", "get_decayed_patterns", "expire_pattern",
]


class MemoryStore(KnowledgeStoreBase):
    """A whole backend in a few lines: every call is recorded and answered from a dict."""

    def __init__(self):
        super().__init__()
        self.calls = []
        self.patterns = {}

    def create_pattern(self, pattern):
        self.calls.append(("create_pattern", pattern))
        self.patterns[pattern["fingerprint"]] = dict(pattern, pattern_id=pattern["fingerprint"])
        return pattern["fingerprint"]

    def get_pattern(self, pattern_id):
        self.calls.append(("get_pattern", pattern_id))
        return self.patterns.get(pattern_id)

    def get_pattern_by_fingerprint(self, fingerprint, scope="local"):
        self.calls.append(("get_pattern_by_fingerprint", fingerprint, scope))
        return self.patterns.get(fingerprint)

    def update_pattern(self, pattern_id, updates):
        self.calls.append(("update_pattern", pattern_id, updates))

    def increment_pattern(self, pattern_id, signal_refs, observed_at):
        self.calls.append(("increment_pattern", pattern_id, signal_refs, observed_at))

    def list_patterns(self, scope=None, confidence_tier=None, min_occurrences=None):
        self.calls.append(("list_patterns", scope, confidence_tier, min_occurrences))
        return list(self.patterns.values())

    def create_knowledge(self, knowledge):
        raise KeyError("derived_from")

    def get_knowledge(self, knowledge_id):
        return None

    def get_knowledge_by_fingerprint(self, fingerprint, scope="local"):
        return {"knowledge_id": "k", "scope": scope}

    def list_knowledge(self, scope=None):
        return None

    def get_pattern_signals(self, pattern_id):
        return []

    def get_pattern_history(self, pattern_id):
        return [{"action": "created"}]

    def get_decayed_patterns(self, decay_window_days):
        self.calls.append(("get_decayed_patterns", decay_window_days))
        return []

    def expire_pattern(self, pattern_id):
        self.calls.append(("expire_pattern", pattern_id))


def test_the_interface_cannot_be_instantiated():
    with pytest.raises(TypeError) as err:
        KnowledgeStoreBase()
    assert str(err.value) == ("Can't instantiate abstract class KnowledgeStoreBase with abstract methods "
                              + ", ".join(sorted(OPERATIONS)))


def test_a_backend_must_implement_every_operation():
    class Partial(MemoryStore):
        pass

    del MemoryStore.expire_pattern  # temporarily abstract again
    try:
        with pytest.raises(TypeError, match="^Can't instantiate abstract class Partial with abstract method "
                                            "expire_pattern$"):
            Partial()
    finally:
        MemoryStore.expire_pattern = lambda self, pattern_id: self.calls.append(("expire_pattern", pattern_id))


def test_a_python_backend_works_and_is_reached_through_the_interface():
    store = MemoryStore()
    assert isinstance(store, KnowledgeStoreBase)
    assert store.create_pattern(pattern()) == "fp-ci-git"

    # Calling the interface's own operations dispatches through C++ to the overrides.
    assert KnowledgeStoreBase.create_pattern(store, pattern(fingerprint="fp-2")) == "fp-2"
    assert KnowledgeStoreBase.get_pattern(store, "fp-2")["fingerprint"] == "fp-2"
    assert KnowledgeStoreBase.get_pattern(store, "none") is None
    assert KnowledgeStoreBase.get_pattern_by_fingerprint(store, "fp-2")["pattern_id"] == "fp-2"
    KnowledgeStoreBase.update_pattern(store, "fp-2", {"confidence_tier": "confirmed"})
    KnowledgeStoreBase.increment_pattern(store, "fp-2", ("a", "b"), "2026-01-01T00:00:00Z")
    assert len(KnowledgeStoreBase.list_patterns(store, min_occurrences=3)) == 2
    assert KnowledgeStoreBase.get_knowledge_by_fingerprint(store, "f") == {"knowledge_id": "k", "scope": "local"}
    assert KnowledgeStoreBase.list_knowledge(store) is None
    assert KnowledgeStoreBase.get_pattern_history(store, "fp-2") == [{"action": "created"}]
    assert KnowledgeStoreBase.get_decayed_patterns(store, 30) == []
    KnowledgeStoreBase.expire_pattern(store, "fp-2")
    assert store.calls[1:] == [
        ("create_pattern", pattern(fingerprint="fp-2")),
        ("get_pattern", "fp-2"),
        ("get_pattern", "none"),
        ("get_pattern_by_fingerprint", "fp-2", "local"),
        ("update_pattern", "fp-2", {"confidence_tier": "confirmed"}),
        ("increment_pattern", "fp-2", ["a", "b"], "2026-01-01T00:00:00Z"),
        ("list_patterns", None, None, 3),
        ("get_decayed_patterns", 30),
        ("expire_pattern", "fp-2"),
    ]
    # Errors of the backend reach the caller unchanged.
    with pytest.raises(KeyError, match="derived_from"):
        KnowledgeStoreBase.create_knowledge(store, {})


def test_a_backend_answer_of_the_wrong_kind_is_a_type_error():
    class Wrong(MemoryStore):
        def create_pattern(self, pattern):
            return 42

    with pytest.raises(TypeError, match="wrong type"):
        KnowledgeStoreBase.create_pattern(Wrong(), pattern())


def test_the_sqlite_backend_implements_the_interface(tmp_path):
    store = SQLiteKnowledgeStore(tmp_path / "k.db")
    assert isinstance(store, KnowledgeStoreBase)
    pid = KnowledgeStoreBase.create_pattern(store, pattern())
    assert KnowledgeStoreBase.get_pattern(store, pid)["pattern_id"] == pid
    store.close()

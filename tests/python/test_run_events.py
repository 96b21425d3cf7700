"""A run reads its events once: the collectors' check for damage, the
window, the notes, the report and the track record share one index."""

import json
import sys
from collections import Counter


from varnel.run.events import EventIndex
from helpers import commit

_OPENED: Counter = Counter()
_COUNTING = [False]


def _count_opens(event, args):
    if _COUNTING[0] and event == "open" and "/events/" in str(args[0]):
        _OPENED[str(args[0])] += 1


sys.addaudithook(_count_opens)


def test_a_second_run_opens_each_event_file_once_from_the_host(history, capsys):
    from varnel import cli

    assert cli.main(["analyze", "--quiet", "--all", str(history)]) in (0, 1)
    commit(history, {"src/new.py": "1"}, "one more", date="2026-03-20T10:00:00+00:00")
    _OPENED.clear()
    _COUNTING[0] = True
    try:
        assert cli.main(["analyze", "--quiet", "--all", str(history)]) in (0, 1)
    finally:
        _COUNTING[0] = False
    events = list((history / ".varnel" / "events").glob("*.json"))
    assert len(events) == 13
    assert _OPENED and max(_OPENED.values()) == 1, _OPENED.most_common(3)


def test_the_index_reads_again_only_what_changed(tmp_path):
    folder = tmp_path / "events"
    folder.mkdir()

    def write(name, event_id, commit_sha, **payload):
        (folder / name).write_text(json.dumps({
            "event_id": event_id, "source_family": "dependency", "source_type": "dependency_snapshot",
            "observed_at": "2026-01-01T00:00:00Z", "payload": {"trigger": {"commit_sha": commit_sha}, **payload}}))

    write("dependency-1.json", "d1", "a" * 40)
    write("dependency-2.json", "d2", "b" * 40)
    (folder / "dependency-3.json").write_text("{")
    index = EventIndex.read(tmp_path)
    assert [e.id for e in index.ordered] == ["d1", "d2"] and index.commit_of("d2") == "b" * 40
    assert not index.intact(folder / "dependency-3.json") and index.intact(folder / "dependency-1.json")

    write("dependency-2.json", "d2", "c" * 40, measure_changed=True, counted_from=["uv.lock"])  # replaced
    (folder / "dependency-1.json").unlink()
    write("dependency-4.json", "d4", "d" * 40)
    index.refresh()
    assert [e.id for e in index.ordered] == ["d2", "d4"]
    assert index.commit_of("d2") == "c" * 40 and index.commit_of("d1") == ""
    notes = index.notes(("dependency-",), {"dependency-": "dependency"}, None)
    assert [(n["event_id"], n["kind"], n["counted_from"]) for n in notes] == [("d2", "measure_changed", ["uv.lock"])]

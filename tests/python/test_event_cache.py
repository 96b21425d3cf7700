"""The parsed-event cache: a run that reads events through it writes exactly
what a run that parses every file writes, whatever happened to the files or
the cache between runs."""

import importlib.util
import json
import os
import random
import shutil
from pathlib import Path

import pytest

from varnel import advstage, explstage, patstage, sigstage
from varnel._common import cached_events, dumps_pretty, refresh_event_cache
from varnel.run.events import EventIndex

from helpers import same

# The benchmarks' generator: every family, with the nulls and gaps real collectors leave.
_spec = importlib.util.spec_from_file_location(
    "make_workspace", Path(__file__).resolve().parents[2] / "bench" / "make_workspace.py")
make_workspace = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_workspace)

CACHE = Path("cache") / "events.bin"


def refresh(ws: Path) -> dict:
    return refresh_event_cache(ws / "events", ws / CACHE, ws / CACHE)


def outputs(ws: Path) -> dict[str, str]:
    """Every phase's files (the knowledge base as its rows), the advisory's clock left out."""
    for name in ("phase2", "phase3", "phase4", "phase5"):
        shutil.rmtree(ws / name, ignore_errors=True)
    sigstage.Phase2Engine(ws).run_all()
    explstage.Phase3Engine(ws).run()
    engine = patstage.Phase4Engine(ws)
    try:
        engine.run()
        patterns = engine.kb.list_patterns()
    finally:
        engine.close()
    advstage.Phase5Engine(ws).run("cache-test")
    found = {str(p.relative_to(ws)): p.read_text(encoding="utf-8") for p in sorted(ws.glob("phase[235]/*.json"))}
    found["phase4/patterns"] = json.dumps([(p["fingerprint"], p["occurrence_count"]) for p in patterns])
    found["phase3/explanations.json"] = json.dumps([
        {k: v for k, v in e.items() if k not in ("generated_at", "explanation_id")}  # the id hashes the clock
        for e in json.loads(found["phase3/explanations.json"])])
    for name in ("phase5/advisory.json", "phase5/evidence.json"):
        record = json.loads(found[name])
        record.get("advisory", record).pop("generated_at", None)
        found[name] = json.dumps(record, sort_keys=True)
    return found


def same_as_without_cache(ws: Path, plain: Path) -> None:
    """`ws` (with its cache) and `plain` (the same event files, no cache) write the same."""
    assert outputs(ws) == outputs(plain)
    with_cache, without = EventIndex.read(ws), EventIndex.read(plain)
    assert [e.__dict__ for e in with_cache.ordered] == [e.__dict__ for e in without.ordered]


def rewrite(path: Path, text: str, keep_times: bool) -> None:
    """New content in place; with `keep_times` the size and modification time stay as they were."""
    before = path.stat()
    path.write_text(text, encoding="utf-8")
    if keep_times:
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


@pytest.fixture
def workspaces(tmp_path):
    ws, plain = tmp_path / "ws", tmp_path / "plain"
    make_workspace.write_workspace(ws, 400, seed=11)
    plain.mkdir()
    (plain / "events").symlink_to(ws / "events")  # the very same files, read without a cache
    return ws, plain


def test_a_run_through_the_cache_writes_what_parsing_every_file_writes(workspaces):
    ws, plain = workspaces
    events = ws / "events"
    assert refresh(ws) == {"reused": 0, "parsed": 400, "left_out": 0}
    same_as_without_cache(ws, plain)

    rng = random.Random(3)
    names = sorted(p.name for p in events.iterdir())
    # Added: copies of events under new names and ids, later than the rest.
    for i, name in enumerate(rng.sample(names, 5)):
        record = json.loads((events / name).read_text(encoding="utf-8"))
        record.update(event_id=f"added-{i}", observed_at=f"2026-02-0{i + 1}T00:00:00Z")
        (events / f"9{i:06d}-added.json").write_text(dumps_pretty(record), encoding="utf-8")
    # Changed in place, with the same size and modification time (only the change time tells).
    changed = next(n for n in names if n.endswith("-git.json"))
    text = (events / changed).read_text(encoding="utf-8")
    assert '"observed_at": "2025' in text
    rewrite(events / changed, text.replace('"observed_at": "2025', '"observed_at": "2024', 1), keep_times=True)
    # Removed, and replaced by a rename (a new inode under the old name).
    (events / names[10]).unlink()
    replacement = ws / "new.json"
    record = json.loads((events / names[20]).read_text(encoding="utf-8"))
    record["observed_at"] = "2024-12-31T23:59:59Z"
    replacement.write_text(dumps_pretty(record), encoding="utf-8")
    os.replace(replacement, events / names[20])
    # An event file that is no event: every engine meets it as it would without a cache.
    (events / "0000000-broken.json").write_text("[1, 2]", encoding="utf-8")

    assert refresh(ws) == {"reused": 397, "parsed": 8, "left_out": 1}
    assert len(cached_events(events)) == 404  # the broken file is always read from itself
    with pytest.raises(Exception) as cached_failure:
        sigstage.Phase2Engine(ws).run_all()
    with pytest.raises(Exception) as plain_failure:
        sigstage.Phase2Engine(plain).run_all()
    assert str(cached_failure.value).replace(str(ws), "") == str(plain_failure.value).replace(str(plain), "")
    (events / "0000000-broken.json").unlink()
    same_as_without_cache(ws, plain)


def test_a_stale_or_damaged_cache_is_never_believed(workspaces):
    ws, plain = workspaces
    refresh(ws)
    cache = ws / CACHE
    # A file changed after the cache was written is read from the file.
    target = sorted((ws / "events").glob("*-ci.json"))[0]
    record = json.loads(target.read_text(encoding="utf-8"))
    record["payload"]["changed_after_the_cache"] = True
    target.write_text(dumps_pretty(record), encoding="utf-8")
    assert target.name not in cached_events(ws / "events")
    same_as_without_cache(ws, plain)

    # One byte changed, a cache cut short, another version: ignored whole, then written afresh.
    original = cache.read_bytes()
    for damaged in (original[:5000] + bytes([original[5000] ^ 1]) + original[5001:], original[:len(original) // 2],
                    original[:7] + b"9" + original[8:]):
        cache.write_bytes(damaged)
        assert cached_events(ws / "events") == {}
        same_as_without_cache(ws, plain)
        assert refresh(ws)["reused"] == 0 and len(cached_events(ws / "events")) == 400


def test_the_cache_keeps_every_kind_of_value_exactly(tmp_path):
    events = tmp_path / "events"
    events.mkdir()
    record = {"event_id": "e\u00e9\U0001f600", "source_family": "ci", "observed_at": "2024-01-01T00:00:00Z",
              "payload": {"big": 10 ** 30, "neg": -(2 ** 63), "real": 1.0, "tiny": 5e-324, "nan": float("nan"),
                          "inf": float("-inf"), "flags": [True, False, None], "nested": [[{}], []], "text": "",
                          "dup": 2}}
    (events / "e.json").write_text(json.dumps(record).replace('"dup": 2', '"dup": 1, "dup": 2'), encoding="utf-8")
    refresh(tmp_path)
    assert same(cached_events(events)["e.json"], json.loads((events / "e.json").read_text(encoding="utf-8")))

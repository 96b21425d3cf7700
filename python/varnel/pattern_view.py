"""Patterns as people read them (`varnel patterns`).

- A pattern that restates how events are collected is set apart: a size or
  spread metric of a commit against a family whose events come from that
  commit's own files (a dependency, schema or config event exists because
  the commit changed a manifest, an API document or a .tf file, so the
  commit touched at least that file).
- A pattern already known is not listed again among those being confirmed.
- Patterns of one pair of metrics that move in opposite ways are one line,
  with the evidence of each; identical sentences are one line.
"""

from __future__ import annotations

import ast

from .friendly import friendly_pattern, pattern_risk_assessment

COMMIT_SIZE = frozenset({"files_touched", "dispersion", "change_locality", "cochange_novelty_ratio"})
FROM_COMMIT_FILES = frozenset({"dependency", "schema", "config"})


def _list(value) -> list:
    if isinstance(value, list):
        return value
    try:  # the store keeps lists as text
        parsed = ast.literal_eval(value) if isinstance(value, str) else []
    except (ValueError, SyntaxError):
        return []
    return parsed if isinstance(parsed, list) else []


def restates_collection(entry: dict) -> bool:
    metrics, sources = set(map(str, _list(entry.get("metrics")))), set(map(str, _list(entry.get("sources"))))
    return bool(metrics & COMMIT_SIZE) and bool(sources & FROM_COMMIT_FILES)


def _seen(entry: dict) -> int:
    try:
        return int(entry.get("occurrence_count") or entry.get("support_count") or 0)
    except (TypeError, ValueError):
        return 0


def _pair(entry: dict) -> tuple:
    return tuple(sorted(map(str, _list(entry.get("metrics")))))


def lines(entries: list[dict]) -> list[str]:
    """One line per pair of metrics (both ways together) and per sentence."""
    groups: dict[tuple, list[dict]] = {}
    for entry in entries:
        groups.setdefault(_pair(entry), []).append(entry)
    out: dict[str, list] = {}  # sentence -> [times seen, severity, the other way's evidence]
    for group in groups.values():
        group.sort(key=lambda e: -_seen(e))
        main = group[0]
        sentence = friendly_pattern(main)
        other = [e for e in group[1:] if friendly_pattern(e) != sentence]  # the pair moving the other way
        slot = out.setdefault(sentence, [0, pattern_risk_assessment(main)["severity"], 0])
        slot[0] += sum(_seen(e) for e in group if e not in other)
        slot[2] += sum(_seen(e) for e in other)
    return [f"- {sentence} [{severity}" + ("" if f"seen {seen} times" in sentence else f"; seen {seen} times")
            + (f"; the other way {opposite} times" if opposite else "") + "]"
            for sentence, (seen, severity, opposite) in out.items()]


def view(knowledge: list[dict], patterns: list[dict]) -> str:
    """The text of `varnel patterns`."""
    known_ids = {str(k.get("derived_from")) for k in knowledge} | {str(k.get("fingerprint")) for k in knowledge}
    pending = [p for p in patterns if str(p.get("pattern_id")) not in known_ids
               and str(p.get("fingerprint")) not in known_ids]
    restating = [e for e in knowledge + pending if restates_collection(e)]
    known = [k for k in knowledge if k not in restating]
    pending = [p for p in pending if p not in restating]
    text = [f"Known patterns ({len(known)}):"] + (lines(known) or ["- none yet"])
    text += ["", f"Patterns still being confirmed ({len(pending)}):"] + (lines(pending) or ["- none"])
    if restating:
        text += ["", f"Restating how events are collected ({len(restating)}; a dependency, schema or config "
                 "event comes from the commit's own files, so the commit is larger with it):"]
        text += lines(restating)
    return "\n".join(text)

"""Patterns as people read them (`varnel patterns`).

- A pattern that restates how events are collected is set apart: a size or
  spread metric of a commit against a family whose events come from that
  commit's own files (a dependency, schema or config event exists because
  the commit changed a manifest, an API document or a .tf file, so the
  commit touched at least that file).
- A pattern already known is not listed again among those being confirmed.
- Patterns of one pair of metrics that move in opposite ways are one line,
  with the evidence of each; identical sentences are one line.
- Every pattern reads the way its evidence measured: the signed strength a
  pattern keeps (Cohen's d of a presence pattern, the correlation of a pair),
  which knowledge reads from the pattern it was promoted from, since it keeps
  none of its own. A pattern whose own record says the other way (its
  statistical description states the opposite direction) or holds no
  strength is left out and counted.
"""

from __future__ import annotations

import ast
import math
import re

from .. import _vocabulary
from ..friendly import friendly_pattern, pattern_risk_assessment, plural

# The size and spread metrics of a commit, and the families whose events come
# from a commit's own files (the vocabulary's).
COMMIT_SIZE: frozenset[str] = _vocabulary.COMMIT_FILES
FROM_COMMIT_FILES: frozenset[str] = _vocabulary.FROM_COMMIT_FILES


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


# How the discovering engine words a direction: "... is systematically decreased (effect size d=-0.36 ..."
# or "... co-occur with correlation -0.44 ..."; a pair accepted by lift states none.
_STATED = re.compile(r"systematically (increased|decreased)|with correlation (-?)\d")


def _stated_sign(entry: dict) -> int:
    found = _STATED.search(str(entry.get("description_statistical") or ""))
    if not found:
        return 0
    return -1 if found.group(1) == "decreased" or found.group(2) == "-" else 1


def _strength(record: dict | None):
    value = (record or {}).get("correlation_strength")
    ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    return float(value) if ok else None


def measured(entries: list[dict], patterns: list[dict]) -> tuple[list[dict], int]:
    """The entries with the `direction` and signed `effect_size` their evidence measured, and how many
    were left out because their own record contradicts that direction or holds no strength."""
    by_id = {p.get("pattern_id"): p for p in patterns}
    kept = []
    for entry in entries:
        effect = _strength(entry)
        if effect is None:  # knowledge keeps no strength: its pattern's
            effect = _strength(by_id.get(entry.get("derived_from")))
        if effect is None or _stated_sign(entry) == (-1 if effect >= 0 else 1):
            continue
        kept.append({**entry, "direction": "higher" if effect >= 0 else "lower", "effect_size": effect})
    return kept, len(entries) - len(kept)


def record(knowledge: list[dict], patterns: list[dict]) -> dict:
    """`varnel patterns --format json`: the store's records with what they measured."""
    known, known_out = measured(knowledge, patterns)
    pending, pending_out = measured(patterns, patterns)
    return {"knowledge": known, "patterns": pending, "contradicted": known_out + pending_out}


def _match(entry: dict) -> dict:
    """The entry as the phrasing reads it: signed by what was measured."""
    return {**entry, "correlation": entry["effect_size"]}


def _measure(entry: dict) -> str:
    presence = any(str(m).endswith("_presence") for m in _list(entry.get("metrics")))
    return f"{'effect size' if presence else 'correlation'} {entry['effect_size']:.2f}"


def lines(entries: list[dict]) -> list[str]:
    """One line per pair of metrics (both ways together) and per sentence, for entries of `measured`."""
    groups: dict[tuple, list[dict]] = {}
    for entry in entries:
        groups.setdefault(_pair(entry), []).append(entry)
    out: dict[str, list] = {}  # sentence -> [times seen, severity, what was measured, the other way's evidence]
    for group in groups.values():
        group.sort(key=lambda e: -_seen(e))
        main = group[0]
        sentence = friendly_pattern(_match(main))
        other = [e for e in group[1:] if friendly_pattern(_match(e)) != sentence]  # the pair moving the other way
        slot = out.setdefault(sentence, [0, pattern_risk_assessment(_match(main))["severity"], _measure(main), 0])
        slot[0] += sum(_seen(e) for e in group if e not in other)
        slot[3] += sum(_seen(e) for e in other)
    return [f"- {sentence} [{severity}" + ("" if f"seen {seen} times" in sentence else f"; seen {seen} times")
            + f"; {measure}" + (f"; the other way {opposite} times" if opposite else "") + "]"
            for sentence, (seen, severity, measure, opposite) in out.items()]


def view(knowledge: list[dict], patterns: list[dict]) -> str:
    """The text of `varnel patterns`."""
    known_ids = {str(k.get("derived_from")) for k in knowledge} | {str(k.get("fingerprint")) for k in knowledge}
    pending = [p for p in patterns if str(p.get("pattern_id")) not in known_ids
               and str(p.get("fingerprint")) not in known_ids]
    shown, contradicted = measured(knowledge + pending, patterns)
    restating = [e for e in shown if restates_collection(e)]
    known = [e for e in shown if "knowledge_id" in e and e not in restating]
    pending = [e for e in shown if "knowledge_id" not in e and e not in restating]
    text = [f"Known patterns ({len(known)}):"] + (lines(known) or ["- none yet"])
    text += ["", f"Patterns still being confirmed ({len(pending)}):"] + (lines(pending) or ["- none"])
    if restating:
        text += ["", f"Restating how events are collected ({len(restating)}; a dependency, schema or config "
                 "event comes from the commit's own files, so the commit's size and spread move with it):"]
        text += lines(restating)
    if contradicted:
        text += ["", f"Left out: {plural(contradicted, 'pattern', 'patterns')} whose own record states "
                 "the other direction or holds no measure."]
    return "\n".join(text)

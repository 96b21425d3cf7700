"""A plain, literal Python model of the pattern engine's rules, used as the
oracle that the C++ engine's candidates, fingerprints, windows and
descriptions are compared with.

It follows the engine's documented rules with Python's own datetime,
statistics, json, hashlib and re, favouring clarity over speed.
"""

import hashlib
import json
import math
import re
import statistics
from datetime import datetime, timezone

PREAMBLE = re.compile(r"^(?:(?:Here(?:'s| is) (?:a |the )?(?:description|sentence)[^:]*:|Description:)\s*\n?)",
                      re.IGNORECASE)


def classify_direction(deviation, threshold=1.0, unit="modified_zscore"):
    if unit == "degenerate":
        return "unchanged"
    if deviation > threshold:
        return "increased"
    if deviation < -threshold:
        return "decreased"
    return "unchanged"


def compute_fingerprint(components):
    text = json.dumps(sorted(tuple(c) for c in components), separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


def signals_to_components(signals, threshold=1.0):
    out = []
    for s in signals:
        dev = s.get("deviation", {})
        if dev.get("degenerate"):
            continue
        measure = dev.get("measure", 0)
        if measure is None:
            continue
        direction = classify_direction(measure, threshold, dev.get("unit", "modified_zscore"))
        if direction != "unchanged":
            out.append((s["engine_id"], s["metric"], direction))
    return out


def predominant_direction(entries, threshold):
    directions = [classify_direction(e["deviation"], threshold) for e in entries]
    up, down = directions.count("increased"), directions.count("decreased")
    return "increased" if up > down else "decreased" if down > up else "unchanged"


def pearson(xs, ys):
    n = len(xs)
    if n < 2:
        return 0.0
    mx, my = float(statistics.mean(xs)), float(statistics.mean(ys))
    sx, sy = float(statistics.pstdev(xs)), float(statistics.pstdev(ys))
    if sx == 0 or sy == 0:
        return 0.0
    cov = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / n
    return cov / (sx * sy)


def time_bucket(iso_ts, window_hours):
    """The window number, reading a time without an offset as UTC."""
    if not isinstance(iso_ts, str):
        return None
    try:
        when = datetime.fromisoformat(iso_ts.replace("Z", "+00:00"))
    except ValueError:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=timezone.utc)
    return math.floor(when.timestamp() / 3600 / window_hours)


def _map(value):
    return value if isinstance(value, dict) else {}


def extract_event_timestamp(ev):
    payload = _map(ev.get("payload"))
    source_type = ev.get("source_type", "")
    found = None
    if source_type == "git":
        found = payload.get("committed_at") or payload.get("authored_at")
    elif source_type == "github_actions":
        timing = _map(payload.get("timing"))
        found = timing.get("created_at") or timing.get("started_at")
    elif source_type == "github_releases":
        timing = _map(payload.get("timing"))
        found = timing.get("initiated_at") or timing.get("completed_at")
    if found:
        return found
    return ev.get("observed_at", "")


def event_commit(ev):
    payload = _map(ev.get("payload"))
    if ev.get("source_type") == "git":
        sha = payload.get("commit_hash")
    else:
        sha = _map(payload.get("trigger")).get("commit_sha")
    return sha if isinstance(sha, str) else ""


def build_indexes(events_dir):
    """(commit index, temporal index) of the event files, read in name order."""
    commits, times = {}, {}
    if not events_dir.is_dir():
        return commits, times
    for path in sorted(events_dir.glob("*.json")):
        try:
            ev = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue
        if not isinstance(ev, dict):
            continue
        eid = ev.get("event_id", "")
        if not isinstance(eid, str) or not eid:
            continue
        sha = event_commit(ev)
        if sha:
            commits[eid] = sha
        ts = extract_event_timestamp(ev)
        if isinstance(ts, str) and ts:
            times[eid] = ts
    return commits, times


def _record(fingerprint, alignment, sources, metrics, description, strength, raw, weight, twelfth, accepted,
            count, refs):
    return {
        "fingerprint": fingerprint,
        "scope": "local",
        "discovery_method": "statistical",
        "alignment": alignment,
        "pattern_type": "co_occurrence",
        "sources": sorted(sources),
        "metrics": sorted(metrics),
        "description_statistical": description,
        "correlation_strength": strength,
        "raw_correlation": raw,
        "confidence_weight": weight,
        twelfth[0]: twelfth[1],
        "accepted_via": accepted,
        "occurrence_count": count,
        "signal_refs": refs,
        "confidence_tier": "statistical",
        "confidence_status": "emerging",
    }


def _evaluate(k1, k2, obs1, obs2, temporal, p):
    shared = sorted(set(obs1) & set(obs2))
    if len(shared) < p["min_support"]:
        return None
    dev1 = [obs1[x]["deviation"] for x in shared]
    dev2 = [obs2[x]["deviation"] for x in shared]
    moved1 = [obs1[x]["direction"] != "unchanged" for x in shared]
    moved2 = [obs2[x]["direction"] != "unchanged" for x in shared]
    together = sum(1 for a, b in zip(moved1, moved2) if a and b)
    if together < p["min_support"]:
        return None
    raw = pearson(dev1, dev2)
    weight = min(min(len(obs1), len(obs2)) / p["confidence_full_at"], 1.0)
    effective = raw * weight
    lift = 0.0
    if abs(effective) >= p["min_correlation"]:
        accepted = "correlation"
    else:
        expected = (sum(moved1) / len(shared)) * (sum(moved2) / len(shared))
        lift = (together / len(shared)) / expected if expected > 0 else 0.0
        if not lift >= p["min_lift"]:
            return None
        accepted = "lift"
    dir1 = predominant_direction([obs1[x] for x in shared], p["direction_threshold"])
    dir2 = predominant_direction([obs2[x] for x in shared], p["direction_threshold"])
    refs = [obs1[x]["event_ref"] for x in shared[:10]] + [obs2[x]["event_ref"] for x in shared[:10]]
    form = "temporally-aligned" if temporal else "commit-aligned"
    where = f"{len(shared)} shared " + (f"{p['temporal_window_hours']}h windows" if temporal else "commits")
    head = f"Signals {k1[0]}.{k1[1]} and {k2[0]}.{k2[1]}"
    if accepted == "correlation":
        description = (f"{head} co-occur with correlation {effective:.2f} across {together} {form} "
                       f"observations (of {where}).")
    else:
        description = (f"{head} co-deviate {lift:.1f}x more than expected by chance across {together} {form} "
                       f"observations (of {where}, lift={lift:.2f}).")
    return _record(compute_fingerprint([(k1[0], k1[1], dir1), (k2[0], k2[1], dir2)]),
                   "temporal" if temporal else "commit_sha", [k1[0], k2[0]], [k1[1], k2[1]], description,
                   round(effective, 4), round(raw, 4), round(weight, 4),
                   ("lift", round(lift, 4) if accepted == "lift" else None), accepted, together, refs)


def discover_cooccurrences(signals, commits, times, p, log):
    """Candidate records (without their times); messages go to `log` as (level, text)."""
    degenerate = sum(1 for s in signals if s.get("deviation", {}).get("degenerate"))
    if degenerate:
        log.append(("info", "Co-occurrence: skipped %d degenerate signals (of %d total)" % (degenerate, len(signals))))
    by_commit, by_bucket = {}, {}
    for s in signals:
        dev = s.get("deviation", {})
        if dev.get("degenerate") or dev.get("measure") is None:
            continue
        ref = s.get("event_ref", "")
        measure = dev["measure"]
        entry = {"event_ref": ref,
                 "direction": classify_direction(measure, p["direction_threshold"], dev.get("unit", "modified_zscore")),
                 "deviation": measure}
        key = (s["engine_id"], s["metric"])
        if commits.get(ref):
            by_commit.setdefault(key, {})[commits[ref]] = entry
        if times.get(ref):
            bucket = time_bucket(times[ref], p["temporal_window_hours"])
            if bucket is not None:
                slot = by_bucket.setdefault(key, {})
                if bucket not in slot or abs(measure) > abs(slot[bucket]["deviation"]):
                    slot[bucket] = entry
    out, accepted = [], set()
    for temporal, series in ((False, by_commit), (True, by_bucket)):
        active = [k for k in series if len(series[k]) >= p["min_support"]]
        found = 0
        for i, k1 in enumerate(active):
            for k2 in active[i + 1:]:
                if k1[0] == k2[0] or (temporal and ((k1, k2) in accepted or (k2, k1) in accepted)):
                    continue
                candidate = _evaluate(k1, k2, series[k1], series[k2], temporal, p)
                if candidate:
                    out.append(candidate)
                    found += 1
                    if not temporal:
                        accepted.add((k1, k2))
        if temporal and found:
            log.append(("info", "Temporal alignment discovered %d additional candidate patterns" % found))
    return out


def discover_presence_patterns(signals, commits, p, log):
    by_commit, families = {}, {}
    for s in signals:
        dev = s.get("deviation", {})
        if dev.get("degenerate") or dev.get("measure") is None:
            continue
        sha = commits.get(s.get("event_ref", ""), "")
        if not sha:
            continue
        by_commit.setdefault((s["engine_id"], s["metric"]), {})[sha] = dev["measure"]
        families.setdefault(s["engine_id"], set()).add(sha)
    git = families.get("git", set())
    if not git:
        return []
    out = []
    for family in [f for f in families if f != "git"]:
        treated, control = families[family] & git, git - families[family]
        if len(treated) < p["min_support"] or len(control) < max(p["min_support"], 30):
            continue
        for key in [k for k in by_commit if k[0] == "git"]:
            values = by_commit[key]
            tv = [values[c] for c in treated if c in values]
            cv = [values[c] for c in control if c in values]
            if len(tv) < p["min_support"] or len(cv) < p["min_support"]:
                continue
            st, sc = float(statistics.pstdev(tv)), float(statistics.pstdev(cv))
            if st == 0 and sc == 0:
                continue
            nt, nc = len(tv), len(cv)
            pooled = math.sqrt((st * st * nt + sc * sc * nc) / (nt + nc))
            if pooled == 0:
                continue
            d = (float(statistics.mean(tv)) - float(statistics.mean(cv))) / pooled
            if abs(d) < p["min_effect_size"]:
                continue
            direction = "increased" if d > 0 else "decreased"
            refs = []
            for sha in sorted(treated)[:20]:
                for s in signals:
                    if len(refs) < 20 and commits.get(s.get("event_ref", ""), "") == sha:
                        refs.append(s.get("event_ref", ""))
            description = (f"When {family} events occur, git.{key[1]} is systematically {direction} "
                           f"(effect size d={d:.2f}, treated={nt}, control={nc}).")
            out.append(_record(compute_fingerprint([("git", key[1], direction), (family, "_presence", "increased")]),
                               "presence", ["git", family], [key[1], family + "_presence"], description,
                               round(d, 4), round(d, 4), min(min(nt, nc) / p["confidence_full_at"], 1.0),
                               ("effect_size", round(d, 4)), "presence", nt, refs))
    if out:
        log.append(("info", "Presence-based discovery found %d candidate patterns" % len(out)))
    return out


def cleaned_answer(answer):
    """The answer as interpretation keeps it, or None when it has more than four sentences."""
    text = PREAMBLE.sub("", answer).strip()
    return text if len([s for s in text.split(".") if s.strip()]) <= 4 else None

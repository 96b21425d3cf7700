"""The track record (``eval.json``, see `varnel.worth.track_record`) in a
lead's words: one line per rule and threshold that flagged anything, and the
strongest rules at the run's threshold."""

from __future__ import annotations

from ..worth.track_record import PHRASES, THRESHOLDS


def _times(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}"


def _rule_name(rule: dict) -> str:
    if rule["metric"] == "any":
        return "any metric far from normal"
    return f"{rule['metric']} {rule['direction']}"


def words(record: dict, label_name: str, threshold: float) -> list[str]:
    """The table's strongest rules at the run's threshold, in a lead's words."""
    at = max((t for t in THRESHOLDS if t <= threshold), default=THRESHOLDS[0])
    lines = []
    ranking = record.get("ranking") or {}
    held = ranking.get("held_out")
    if held:
        how = (f"fitted on older commits and tested on the newest {held['commits']:,}"
               if ranking.get("source") == "here" else
               f"fitted on public histories (too few labelled commits here) and tested on {held['commits']:,} here")
        lines.append(f"The risk ranking, {how}: of the commits it put in its top 5%, "
                     f"{held['precision']:.0%} were later blamed for a bug, {_times(held['lift'])} times the "
                     f"average ({held['base_rate']:.0%}); AUC {_times(held['auc'])}.")
    usable = [r for r in record["rules"] if r["labels"][label_name]["flagged"] >= 30
              and r["labels"][label_name]["lift"] is not None and r["threshold"] == at]
    for rule in sorted(usable, key=lambda r: -(r["labels"][label_name]["lift_sized"] or 0))[:5]:
        cell = rule["labels"][label_name]
        lines.append(f"Commits flagged for {_rule_name(rule)} at {at:g}: {cell['share']:.1%} of commits, "
                     f"{PHRASES[label_name]} {_times(cell['lift'])} times as often as the average commit and "
                     f"{_times(cell['lift_sized'])} times as often as commits of similar size.")
    return lines


def table(record: dict, threshold: float, label_name: str = "szz") -> str:
    """The track record for a terminal: the labels' definitions, one line per
    rule and threshold that flagged anything, and the gist in words at the
    significance `threshold`."""
    lines = [f"{record['commits']:,} commits; labels:"]
    for name, about in record["labels"].items():
        lines.append(f"  {name}: {about['definition']}; {about['positives']:,} of {about['closed']:,} "
                     f"closed commits")
    lines.append(f"{'metric':<36}{'dir':<6}{'at':>5}{'flagged':>9}{'share':>8}{'precision':>11}{'lift':>7}"
                 f"{'sized':>7}{'auc':>7}{'recall@20%':>12}   ({label_name})")
    for rule in record["rules"]:
        cell = rule["labels"][label_name]
        if not cell["flagged"]:
            continue  # eval.json keeps it; a table of zeros says nothing
        recall = "-" if cell["recall_at_20"] is None else f"{cell['recall_at_20']:.3f}"
        lines.append(f"{rule['metric']:<36}{rule['direction']:<6}{rule['threshold']:>5g}{cell['flagged']:>9}"
                     f"{cell['share']:>8.3f}{cell['precision']:>11.3f}{_times(cell['lift']):>7}"
                     f"{_times(cell['lift_sized']):>7}{_times(cell['auc']):>7}{recall:>12}")
    gist = words(record, label_name, threshold)
    return "\n".join(lines + ([""] + gist if gist else [])) + "\n"

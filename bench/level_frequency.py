"""How often each level occurs on a history: the level the report gives each
of the last 52 weekly windows and each window of the last 50 merged
branches (the branch's own commits and its merge), and how many findings
the windows hold, and alerts among them (findings of metrics not quiet,
which raise a level), against their commits (the alert budget), at each
significance threshold asked for.

Each window is advised on a copy of one full analysis (`varnel analyze
--all` first, when the repository has no workspace): signals judge each
event against earlier ones only, but the patterns and the ranking's model
have seen the whole history, so this is what varnel says of each window
today, not what it said then.

    python bench/level_frequency.py REPO [REPO ...] [--thresholds 3 5]
"""

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from dataclasses import replace
from datetime import timedelta
from pathlib import Path

from varnel import sigstage
from varnel.git import git, text
from varnel.config import load_config
from varnel.run.analysis import Analysis, _advise
from varnel.run.events import EventIndex
from varnel.run.window import WindowUsed
from varnel.report.render import json_report, level
from varnel.worth.assess import assess

LEVELS = ("all_clear", "watch", "review", "action_needed")
SQUASHED = re.compile(r"\(#\d+\)\s*$")


def weekly(timed) -> list[frozenset[str]]:
    end = max(t for t, _, is_commit in timed if is_commit)
    return [frozenset(e for t, e, _ in timed if end - timedelta(days=7 * (k + 1)) < t <= end - timedelta(days=7 * k))
            for k in range(52)]


def branches(repo: Path, workspace: Path) -> list[frozenset[str]]:
    """The newest 50 branches merged onto the mainline: a merge commit with
    its branch's commits, or a pull request squashed into one commit (its
    subject ends in "(#123)")."""
    mainline = text(git(repo, "log", "--first-parent", "--format=%H %P%x00%s", "HEAD")).split("\n")
    merged = []
    for line in mainline:
        ids, _, subject = line.partition("\0")
        parents = ids.split()[1:]
        if len(parents) > 1 or SQUASHED.search(subject):
            merged.append(ids.split()[0])
        if len(merged) == 50:
            break
    events = EventIndex.read(workspace)
    out = []
    for merge in merged:
        branch = text(git(repo, "rev-list", "--no-merges", f"{merge}^1..{merge}^2")).split() \
            if len(text(git(repo, "rev-list", "--parents", "-n", "1", merge)).split()) > 2 else []
        own = set(branch) | {merge}
        out.append(frozenset(e.id for e in events.ordered if e.commit in own))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("repos", nargs="+", type=Path)
    parser.add_argument("--thresholds", nargs="+", type=float, default=[3.0])
    args = parser.parse_args()
    for repo in args.repos:
        if not (repo / ".varnel" / "phase2").is_dir():
            subprocess.run([sys.executable, "-m", "varnel", "analyze", "--all", "--quiet", str(repo)], check=True,
                           stdout=subprocess.DEVNULL)
        with tempfile.TemporaryDirectory() as scratch:
            workspace = Path(scratch) / "ws"
            shutil.copytree(repo / ".varnel", workspace)
            for threshold in args.thresholds:
                config = replace(load_config(repo), significance_threshold=threshold)
                report(repo, workspace, config)


def report(repo: Path, workspace: Path, config) -> None:
    signals = sigstage.Phase2Engine(workspace, window_size=config.window, min_baseline=config.min_baseline).run_all()
    events = EventIndex.read(workspace)
    worth = assess(repo, workspace, config, signals, events)
    timed = events.timed()
    commits = {e for _, e, is_commit in timed if is_commit}
    for name, windows in (("weekly", weekly(timed)), ("branches", branches(repo, workspace))):
        counts, found, alerts, work = Counter(), 0, 0, 0
        for ids in windows:
            result = Analysis(repo=repo, workspace=workspace, scope=repo.name, config=config, events=events,
                              signals=signals, worth=worth, window=WindowUsed("bench", event_ids=ids))
            if ids:
                _advise(workspace, result, None)
            counts[level(result)] += 1
            listed = json.loads(json_report(result))["findings"]
            found += len(listed)
            alerts += sum(f"{f['family']}/{f['metric']}" not in config.quiet_metrics for f in listed)
            work += len(ids & commits)
        print(f"{repo.name} at {config.significance_threshold:g}, {name} ({len(windows)} windows, {work:,} "
              f"commits): " + ", ".join(f"{lv} {counts[lv]}" for lv in LEVELS)
              + f"; {found} findings, {alerts} of them alerts (not quiet), {alerts / max(work, 1):.1%} of the commits")


if __name__ == "__main__":
    main()

"""The risk ranking and the defect label on real histories.

For each repository (analysed into its own workspace first when it has
none): the time to label it (commit diffs and blame of every fix commit,
from a cold cache and again warm), the ``szz`` base rate, and the ranking's
held-out record (fitted on the older 60% of labelled commits, tested on the
newer 40%); then the held-out commits of every repository pooled: AUC and
the precision of each repository's top 5% against the pooled base rate.

    python bench/risk_ranking.py REPO [REPO ...]
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from varnel.config import load_config
from varnel.run.events import EventIndex
from varnel.worth import facts, szz
from varnel.worth.assess import assess
from varnel.worth.track_record import signal_files
from varnel.worth.model import auc, top_share
from varnel.worth.ranking import TOP_SHARE, held_out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("repos", nargs="+", type=Path)
    args = parser.parse_args()
    scores, labels, tops = [], [], []
    for repo in args.repos:
        workspace = repo / ".varnel"
        if not (workspace / "phase2").is_dir():
            subprocess.run([sys.executable, "-m", "varnel", "analyze", "--quiet", str(repo)], check=True,
                           stdout=subprocess.DEVNULL)
        for cache in (szz.CACHE, facts.FACTS):
            (workspace / cache).unlink(missing_ok=True)
        config = load_config(repo)
        signals = signal_files(workspace / "phase2")
        events = EventIndex.read(workspace)
        started = time.perf_counter()
        worth = assess(repo, workspace, config, signals, events)
        cold = time.perf_counter() - started
        started = time.perf_counter()
        worth = assess(repo, workspace, config, signals, events)
        warm = time.perf_counter() - started
        commits = list(worth.commits.values())
        tested = held_out(commits, worth.novelty, worth.record["fix_window_days"])
        szz_label = worth.record["labels"]["szz"]
        line = (f"{repo.name}: {len(commits):,} commits, szz {szz_label['positives']:,} of {szz_label['closed']:,} "
                f"closed; assess {cold:.1f} s cold, {warm:.2f} s warm")
        if tested is None:
            print(line + "; too little labelled history for a held-out test")
            continue
        s, y = tested
        top = top_share(s, TOP_SHARE)
        print(line + f"; held out {len(y):,}: base {y.mean():.3f}, AUC {auc(s, y):.3f}, "
                     f"top 5% precision {y[top].mean():.3f} (lift {y[top].mean() / y.mean():.2f})")
        scores.append(s)
        labels.append(y)
        tops.append(top)
    if scores:
        s, y, top = np.concatenate(scores), np.concatenate(labels), np.concatenate(tops)
        print(f"pooled: {len(y):,} held-out commits, base {y.mean():.3f}, AUC {auc(s, y):.3f}, "
              f"top 5% precision {y[top].mean():.3f} ({y[top].mean() / y.mean():.2f} times the base rate)")


if __name__ == "__main__":
    main()

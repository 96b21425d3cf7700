"""Fits the risk ranking's prior (python/varnel/worth/prior.json): one
logistic model over the labelled, non-mechanical commits of several analysed
repositories pooled, used by histories with too few labels of their own.

    python scripts/fit_prior.py REPO [REPO ...]   # each analysed with 'varnel analyze' first
"""

import argparse
import json
from datetime import date
from pathlib import Path

import numpy as np

from varnel.config import load_config
from varnel.run.events import EventIndex
from varnel.worth.assess import assess
from varnel.worth.track_record import signal_files
from varnel.worth.features import NAMES
from varnel.worth.model import fit
from varnel.worth.ranking import PRIOR, labelled


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("repos", nargs="+", type=Path)
    args = parser.parse_args()
    xs, ys, names = [], [], []
    for repo in args.repos:
        workspace = repo / ".varnel"
        worth = assess(repo, workspace, load_config(repo), signal_files(workspace / "phase2"), EventIndex.read(workspace))
        commits = list(worth.commits.values())
        x, y, mechanical = labelled(commits, worth.novelty, worth.record["fix_window_days"])
        xs.append(x[~mechanical])
        ys.append(y[~mechanical])
        names.append(f"{repo.name} ({len(ys[-1]):,} commits, {int(ys[-1].sum()):,} blamed)")
    x, y = np.vstack(xs), np.concatenate(ys)
    model = fit(NAMES, x, y)
    PRIOR.write_text(json.dumps({
        "fitted": f"on {date.today().isoformat()} by scripts/fit_prior.py: a logistic model of the szz label over "
                  f"the labelled, non-mechanical commits of {len(args.repos)} public histories pooled: "
                  + ", ".join(names),
        "model": model.record()}, indent=2) + "\n")
    print(f"{PRIOR}: {len(y):,} commits, {int(y.sum()):,} blamed")


if __name__ == "__main__":
    main()

"""The vocabulary of families and metrics: complete for every report, and
refused at build time when it is not."""

import subprocess
import sys

from helpers import VOCABULARY_FILE

from varnel import _vocabulary as vocabulary
from varnel import explstage, friendly, sigstage
from varnel.report import attention
from varnel.worth import kinds

GENERATOR = VOCABULARY_FILE.with_name("generate.py")
SEVERITIES = {"positive", "info", "watch", "concern", "critical"}
FORMS = {"plain", ".0f", ".1f", ".2f", ".1%", ".2%"}


def test_every_metric_of_every_family_has_what_each_report_needs():
    for family, metrics in sigstage.FAMILY_METRICS.items():
        assert vocabulary.FAMILY_LABELS[family] and explstage.SIGNAL_FILES[family] == vocabulary.SIGNAL_FILES[family]
        # A pattern of a family's presence names its events; git's events are the commits themselves.
        assert family == "git" or vocabulary.FAMILY_EVENTS[family]
        for metric in metrics:
            assert vocabulary.METRIC_LABELS[metric] not in ("", metric), metric
            if metric in vocabulary.FLAG_SENTENCES:
                assert all(vocabulary.FLAG_SENTENCES[metric]), metric
            else:
                sentence = vocabulary.SENTENCES[metric]
                assert sentence and ("{value}" not in sentence or vocabulary.FORMATS[metric] in FORMS), metric
            assert attention.UNITS[metric] and vocabulary.METRIC_NAMES[metric], metric
            assert friendly.CONCERN.get(metric, "info") in SEVERITIES, metric
            remarks = [friendly.metric_insight(metric, way) for way in ("up", "down")]
            assert any(remarks) and all(r.endswith(".") for r in remarks if r), metric
    for family, metric, way in vocabulary.ACTION:
        assert metric in sigstage.FAMILY_METRICS[family] and friendly.metric_insight(metric, way)
    assert set(kinds.KINDS) == set(kinds.DESCRIPTIONS) and all(kinds.DESCRIPTIONS.values())


def test_a_vocabulary_the_tables_cannot_come_from_stops_the_build(tmp_path):
    text = VOCABULARY_FILE.read_text(encoding="utf-8")
    broken = {
        "missing": (text.replace('  unit = "files"\n', "", 1), "family 1 (git) metric 1 (files_touched): 'unit' is missing"),
        "twice": (text.replace('metric = "dispersion"', 'metric = "files_touched"', 1),
                  "the metric 'files_touched' is listed twice"),
        "concern": (text.replace('concern = "watch"', 'concern = "urgent"', 1), "'concern' must be one of"),
    }
    for name, (changed, said) in broken.items():
        path = tmp_path / f"{name}.toml"
        path.write_text(changed, encoding="utf-8")
        done = subprocess.run([sys.executable, str(GENERATOR), str(path), "--cpp", str(tmp_path / "t.hpp")],
                              capture_output=True, text=True)
        assert done.returncode == 1 and said in done.stderr, (name, done.stderr)
        assert not (tmp_path / "t.hpp").exists()

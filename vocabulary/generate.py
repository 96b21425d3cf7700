"""Writes the tables of families and metrics from vocabulary.toml: the C++
header the engines read (their tables, byte for byte as they are specified)
and the Python module the host reads. The build runs it whenever the
vocabulary or this script changes; a vocabulary it cannot use stops the build
with a line naming the block and the field.

    python vocabulary/generate.py VOCABULARY --cpp TABLES_HPP --python VOCABULARY_PY
"""

from __future__ import annotations

import argparse
import sys
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

ENGINES = ("sigstage", "explstage", "patstage", "advstage")
# Engines whose per-metric tables are fixed byte for byte and may lack a metric.
METRIC_TABLE_ENGINES = ("explstage", "advstage")
SEVERITIES = ("positive", "info", "watch", "concern", "critical")
DIRECTIONS = ("up", "down")
FORMATS = ("plain", ".0f", ".1f", ".2f", ".1%", ".2%")
VALUE = "{value}"

_FAMILY_FIELDS = {"family": str, "label": str, "source_type": str, "signal_file": str, "event": str,
                  "engines": list, "from_commit_files": bool, "records_measure": bool, "metric": list}
_FAMILY_REQUIRED = ("family", "label", "source_type", "signal_file", "engines", "metric")
_METRIC_FIELDS = {"metric": str, "label": str, "sentence": str, "format": str, "when_set": str, "when_clear": str,
                  "ratio": bool, "unit": str, "everyday": str, "concern": str, "insight": dict, "action": list,
                  "quiet": bool, "level": bool, "commit_files": bool, "ranking_reason": dict,
                  "engine_tables_lack": list}
_METRIC_REQUIRED = ("metric", "label", "unit", "everyday", "concern")
_KIND_FIELDS = {"kind": str, "description": str, "mechanical": bool}


class VocabularyError(Exception):
    """A vocabulary the generator cannot use; the text names the block and field."""


@dataclass
class Metric:
    family: str
    name: str
    label: str
    unit: str
    everyday: str
    concern: str
    sentence: str = ""
    form: str = ""
    when_set: str = ""
    when_clear: str = ""
    ratio: bool = False
    insight: dict[str, str] = field(default_factory=dict)
    action: tuple[str, ...] = ()
    quiet: bool = False
    level: bool = False
    commit_files: bool = False
    reason_group: str = ""
    reason_words: str = ""
    lacking: tuple[str, ...] = ()

    @property
    def flag(self) -> bool:
        return bool(self.when_set)

    @property
    def before_after(self) -> tuple[str, str]:
        """The sentence around its value; all of it before when it shows none."""
        before, _, after = self.sentence.partition(VALUE)
        return before, after


@dataclass
class Family:
    name: str
    label: str
    source_type: str
    signal_file: str
    event: str
    engines: tuple[str, ...]
    from_commit_files: bool
    records_measure: bool
    metrics: list[Metric]


@dataclass
class Vocabulary:
    families: list[Family]
    kinds: list[tuple[str, str, bool]]  # (kind, description, mechanical)

    @property
    def metrics(self) -> list[Metric]:
        return [m for f in self.families for m in f.metrics]

    def listed_by(self, engine: str) -> list[Family]:
        return [f for f in self.families if engine in f.engines]


def _checked(block: dict, fields: dict, required: tuple, where: str) -> dict:
    for key in required:
        if key not in block:
            raise VocabularyError(f"{where}: '{key}' is missing")
    for key, value in block.items():
        if key not in fields:
            raise VocabularyError(f"{where}: unknown field '{key}'")
        if not isinstance(value, fields[key]):
            raise VocabularyError(f"{where}: '{key}' must be a {fields[key].__name__}")
        if isinstance(value, str) and not value:
            raise VocabularyError(f"{where}: '{key}' is empty")
    return block


def _choices(values: list, allowed: tuple, key: str, where: str) -> tuple:
    for value in values:
        if value not in allowed:
            raise VocabularyError(f"{where}: '{key}' holds {value!r}, not one of {', '.join(allowed)}")
    if len(set(values)) != len(values):
        raise VocabularyError(f"{where}: '{key}' repeats a value")
    return tuple(values)


def _named(block: dict, key: str, where: str) -> str:
    """`where` with the block's name, when it has one."""
    name = block.get(key)
    return f"{where} ({name})" if isinstance(name, str) and name else where


def _metric(family: str, block: dict, where: str) -> Metric:
    where = _named(block, "metric", where)
    block = _checked(block, _METRIC_FIELDS, _METRIC_REQUIRED, where)
    if block["concern"] not in SEVERITIES:
        raise VocabularyError(f"{where}: 'concern' must be one of {', '.join(SEVERITIES)}")
    flag = "when_set" in block or "when_clear" in block
    if flag and not ("when_set" in block and "when_clear" in block):
        raise VocabularyError(f"{where}: a flag needs both 'when_set' and 'when_clear'")
    if flag == ("sentence" in block) or (flag and "format" in block):
        raise VocabularyError(f"{where}: either 'sentence' (with 'format' when it shows {VALUE}) or a flag's "
                              "'when_set' and 'when_clear'")
    sentence = block.get("sentence", "")
    if sentence.count(VALUE) > 1 or (VALUE in sentence) != ("format" in block):
        raise VocabularyError(f"{where}: a sentence shows {VALUE} at most once, and then needs a 'format'")
    if block.get("format", "plain") not in FORMATS:
        raise VocabularyError(f"{where}: 'format' must be one of {', '.join(FORMATS)}")
    insight = block.get("insight", {})
    _choices(list(insight), DIRECTIONS, "insight", where)
    if not all(isinstance(text, str) and text for text in insight.values()):
        raise VocabularyError(f"{where}: an insight is a sentence")
    reason = block.get("ranking_reason", {})
    if reason and (sorted(reason) != ["group", "words"] or not all(isinstance(v, str) and v for v in reason.values())):
        raise VocabularyError(f"{where}: 'ranking_reason' holds a 'group' and 'words'")
    if reason and family != "git":
        raise VocabularyError(f"{where}: the risk ranking weighs the deviations of git metrics only")
    return Metric(family=family, name=block["metric"], label=block["label"], unit=block["unit"],
                  everyday=block["everyday"], concern=block["concern"], sentence=sentence,
                  form=block.get("format", ""), when_set=block.get("when_set", ""),
                  when_clear=block.get("when_clear", ""), ratio=block.get("ratio", False), insight=insight,
                  action=_choices(block.get("action", []), DIRECTIONS, "action", where),
                  quiet=block.get("quiet", False), level=block.get("level", False),
                  commit_files=block.get("commit_files", False), reason_group=reason.get("group", ""),
                  reason_words=reason.get("words", ""),
                  lacking=_choices(block.get("engine_tables_lack", []), METRIC_TABLE_ENGINES, "engine_tables_lack",
                                   where))


def _family(block: dict, where: str) -> Family:
    where = _named(block, "family", where)
    block = _checked(block, _FAMILY_FIELDS, _FAMILY_REQUIRED, where)
    engines = _choices(block["engines"], ENGINES, "engines", where)
    if ("patstage" in engines or "advstage" in engines) and "explstage" not in engines:
        raise VocabularyError(f"{where}: a family the pattern or advisory engine reads is read by the "
                              "explanation engine too")
    metrics = [_metric(block["family"], m, f"{where} metric {n + 1}") for n, m in enumerate(block["metric"])]
    if not metrics:
        raise VocabularyError(f"{where}: a family has metrics")
    return Family(name=block["family"], label=block["label"], source_type=block["source_type"],
                  signal_file=block["signal_file"], event=block.get("event", ""), engines=engines,
                  from_commit_files=block.get("from_commit_files", False),
                  records_measure=block.get("records_measure", False), metrics=metrics)


def read(path: Path) -> Vocabulary:
    """The vocabulary of `path`, checked."""
    with path.open("rb") as f:
        data = tomllib.load(f)
    unknown = set(data) - {"family", "commit_kind"}
    if unknown:
        raise VocabularyError(f"unknown section {sorted(unknown)[0]!r}")
    families = [_family(block, f"family {n + 1}") for n, block in enumerate(data.get("family", []))]
    kinds = []
    for n, block in enumerate(data.get("commit_kind", [])):
        block = _checked(block, _KIND_FIELDS, ("kind", "description"), _named(block, "kind", f"commit_kind {n + 1}"))
        kinds.append((block["kind"], block["description"], block.get("mechanical", False)))
    vocabulary = Vocabulary(families, kinds)
    for what, names in (("family", [f.name for f in families]), ("metric", [m.name for m in vocabulary.metrics]),
                        ("commit kind", [k for k, _, _ in kinds])):
        repeated = sorted({n for n in names if names.count(n) > 1})
        if repeated:
            raise VocabularyError(f"the {what} {repeated[0]!r} is listed twice")
    judged = vocabulary.listed_by("sigstage")
    if judged and judged[0].name != "git":
        raise VocabularyError("git comes first among the families the signal engine judges")
    return vocabulary


# C++ ---------------------------------------------------------------------------------------------


def _cpp(text: str) -> str:
    """A C++ string literal of `text`, other than printable ASCII escaped."""
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif " " <= ch <= "~":
            out.append(ch)
        elif ord(ch) < 0xA0:  # control characters have no universal character name
            out.append(f"\\{ord(ch):03o}")
        else:
            out.append(f"\\u{ord(ch):04x}" if ord(ch) <= 0xFFFF else f"\\U{ord(ch):08x}")
    return '"' + "".join(out) + '"'


def _array(type_name: str, name: str, rows: list[str], comment: str) -> list[str]:
    lines = [f"// {comment}", f"inline constexpr std::array<{type_name}, {len(rows)}> {name}{{{{"]
    lines += [f"    {row}," for row in rows]
    return lines + ["}};", ""]


def _metrics_name(family: Family) -> str:
    return "kMetricsOf" + "".join(part.capitalize() for part in family.name.split("_"))


def cpp_header(vocabulary: Vocabulary) -> str:
    v = vocabulary
    lines = ["// Generated by vocabulary/generate.py from vocabulary/vocabulary.toml: edit the",
             "// vocabulary, not this file. The engines' tables of families and metrics.",
             "#pragma once", "", "#include <array>", "#include <string_view>", "",
             '#include "vocab/table_rows.hpp"', "", "namespace varnel::vocab {", ""]
    judged = v.listed_by("sigstage")
    for f in judged:
        lines += [f"inline constexpr std::array<std::string_view, {len(f.metrics)}> {_metrics_name(f)}{{"
                  + ", ".join(_cpp(m.name) for m in f.metrics) + "};"]
    lines.append("")
    lines += _array("JudgedFamily", "kJudgedFamilies", [
        f"{{{_cpp(f.name)}, {_cpp(f.source_type)}, {_cpp(f.signal_file)}, {_metrics_name(f)}}}" for f in judged],
        "The families the signal engine judges, in run order, each metric numbered by its place.")
    lines += _array("SignalFile", "kSignalFiles", [
        f"{{{_cpp(f.name)}, {_cpp(f.signal_file)}}}" for f in v.listed_by("explstage")],
        "The signal files the explanation and advisory engines read, in reading order.")
    lines += _array("SignalFile", "kPatternSignalFiles", [
        f"{{{_cpp(f.name)}, {_cpp(f.signal_file)}}}" for f in v.listed_by("patstage")],
        "The signal files the pattern engine reads, in reading order.")
    lines += _array("Label", "kFamilyLabels", [
        f"{{{_cpp(f.name)}, {_cpp(f.label)}}}" for f in v.listed_by("advstage")],
        "The advisory engine's labels of families.")
    labelled = [m for f in v.listed_by("advstage") for m in f.metrics if "advstage" not in m.lacking]
    lines += _array("Label", "kMetricLabels", [f"{{{_cpp(m.name)}, {_cpp(m.label)}}}" for m in labelled],
                    "The advisory engine's labels of metrics.")
    said = [m for f in v.listed_by("explstage") for m in f.metrics if "explstage" not in m.lacking]
    lines += _array("MeasuredSentence", "kMeasuredSentences", [
        f"{{{_cpp(m.name)}, {_cpp(m.form)}, {_cpp(m.before_after[0])}, {_cpp(m.before_after[1])}}}"
        for m in said if not m.flag], "The explanation engine's sentences about a measured value.")
    lines += _array("FlagSentence", "kFlagSentences", [
        f"{{{_cpp(m.name)}, {_cpp(m.when_set)}, {_cpp(m.when_clear)}}}" for m in said if m.flag],
        "The explanation engine's sentences of flags.")
    lines += _array("std::string_view", "kRatioMetrics",
                    [_cpp(m.name) for f in v.listed_by("advstage") for m in f.metrics if m.ratio],
                    "Metrics the advisory engine shows as percentages: shares of 1, or flags.")
    return "\n".join(lines + ["}  // namespace varnel::vocab", ""])


# Python ------------------------------------------------------------------------------------------


class _Literal(str):
    """Python text written into the module as it is."""


def _py(value) -> str:
    return value if isinstance(value, _Literal) else repr(value)


def _set(values) -> _Literal:
    """A frozenset literal in the vocabulary's order, so the module reads the same on every build."""
    return _Literal("frozenset({" + ", ".join(_py(v) for v in values) + "})")


def _dict(name: str, items: list[tuple], comment: str, annotation: str) -> list[str]:
    lines = [f"# {comment}", f"{name}: {annotation} = {{"]
    lines += [f"    {_py(key)}: {_py(value)}," for key, value in items]
    return lines + ["}", ""]


def _frozen(name: str, values: list, comment: str, annotation: str) -> list[str]:
    lines = [f"# {comment}", f"{name}: {annotation} = frozenset({{"]
    lines += [f"    {_py(value)}," for value in values]
    return lines + ["})", ""]


def _tuple(name: str, values: list, comment: str) -> list[str]:
    return [f"# {comment}", f"{name}: tuple[str, ...] = ("] + [f"    {_py(value)}," for value in values] + [")", ""]


def python_module(vocabulary: Vocabulary) -> str:
    v = vocabulary
    metrics = v.metrics
    lines = ['"""The host\'s tables of families, metrics and commit kinds.', "",
             "Generated by vocabulary/generate.py from vocabulary/vocabulary.toml: edit the",
             'vocabulary, not this module."""', "", "from __future__ import annotations", ""]
    lines += _tuple("FAMILIES", [f.name for f in v.families], "Every source family, in the signal engine's order.")
    lines += _dict("FAMILY_METRICS", [(f.name, tuple(m.name for m in f.metrics)) for f in v.families],
                   "The metrics of each family, in the order its signals carry them.", "dict[str, tuple[str, ...]]")
    lines += _dict("SIGNAL_FILES", [(f.name, f.signal_file) for f in v.families],
                   "The file of each family's signals in phase2/.", "dict[str, str]")
    lines += _dict("FAMILY_LABELS", [(f.name, f.label) for f in v.families], "Display labels of families.",
                   "dict[str, str]")
    lines += _dict("FAMILY_EVENTS", [(f.name, f.event) for f in v.families if f.event],
                   'What "commits that come with ..." says of each family\'s events.', "dict[str, str]")
    lines += _frozen("FROM_COMMIT_FILES", [f.name for f in v.families if f.from_commit_files],
                     "Families whose events exist because a commit changed a file of their kind.", "frozenset[str]")
    lines += _frozen("RECORDS_MEASURE", [f.name for f in v.families if f.records_measure],
                     "Families whose events say when the files a count is read from changed.", "frozenset[str]")
    lines += _dict("METRIC_LABELS", [(m.name, m.label) for m in metrics], "Display labels of metrics.",
                   "dict[str, str]")
    lines += _dict("SENTENCES", [(m.name, m.sentence) for m in metrics if not m.flag],
                   'How a measured value reads; "{value}" stands for it, written in FORMATS.', "dict[str, str]")
    lines += _dict("FORMATS", [(m.name, m.form) for m in metrics if m.form],
                   "The number form of a value in its sentence.", "dict[str, str]")
    lines += _dict("FLAG_SENTENCES", [(m.name, (m.when_set, m.when_clear)) for m in metrics if m.flag],
                   "A flag's sentences: (when set, when clear).", "dict[str, tuple[str, str]]")
    lines += _frozen("RATIO_METRICS", [m.name for m in metrics if m.ratio],
                     "Metrics the advisory shows as percentages.", "frozenset[str]")
    lines += _dict("UNITS", [(m.name, m.unit) for m in metrics], 'What each metric counts, for "now 3,770 hours".',
                   "dict[str, str]")
    lines += _dict("METRIC_NAMES", [(m.name, m.everyday) for m in metrics],
                   "Everyday names of metrics, for pattern sentences.", "dict[str, str]")
    lines += _dict("CONCERN", [(m.name, m.concern) for m in metrics if m.concern != "info"],
                   'How much a pattern involving a metric deserves attention; others are "info".', "dict[str, str]")
    lines += _dict("INSIGHTS", [((m.name, way), m.insight[way]) for m in metrics for way in DIRECTIONS
                                if way in m.insight],
                   "What is worth saying when a metric moves one way.", "dict[tuple[str, str], str]")
    lines += _frozen("ACTION", [(m.family, m.name, way) for m in metrics for way in m.action],
                     "Movements that call for action whatever the history: (family, metric, direction).",
                     "frozenset[tuple[str, str, str]]")
    lines += _tuple("QUIET", [f"{m.family}/{m.name}" for m in metrics if m.quiet],
                    "FAMILY/METRIC keys listed apart by default, never concerns.")
    lines += _dict("LEVEL_METRICS", [(f.name, _set(m.name for m in f.metrics if m.level)) for f in v.families
                                     if any(m.level for m in f.metrics)],
                   "Metrics that are a level of the repository's state, by family.", "dict[str, frozenset[str]]")
    lines += _frozen("COMMIT_FILES", [m.name for m in metrics if m.commit_files],
                     "Metrics of the commit's own files: its size and spread.", "frozenset[str]")
    lines += _dict("RANKING_REASONS", [(m.name, (m.reason_group, m.reason_words)) for m in metrics if m.reason_group],
                   "Git metrics whose upward deviations the risk ranking weighs: (reason group, words).",
                   "dict[str, tuple[str, str]]")
    lines += _tuple("KINDS", [k for k, _, _ in v.kinds], "Every kind a commit can have.")
    lines += _dict("KIND_DESCRIPTIONS", [(k, d) for k, d, _ in v.kinds], "What each commit kind is, in words.",
                   "dict[str, str]")
    lines += _frozen("MECHANICAL", [k for k, _, mechanical in v.kinds if mechanical],
                     "Commit kinds of mechanical work.", "frozenset[str]")
    return "\n".join(lines).rstrip("\n") + "\n"


def _write(path: Path, text: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("vocabulary", type=Path)
    parser.add_argument("--cpp", type=Path, help="the C++ header to write")
    parser.add_argument("--python", type=Path, help="the Python module to write")
    args = parser.parse_args(argv)
    try:
        vocabulary = read(args.vocabulary)
    except (VocabularyError, tomllib.TOMLDecodeError) as e:
        print(f"{args.vocabulary}: {e}", file=sys.stderr)
        return 1
    if args.cpp:
        _write(args.cpp, cpp_header(vocabulary))
    if args.python:
        _write(args.python, python_module(vocabulary))
    return 0


if __name__ == "__main__":
    sys.exit(main())

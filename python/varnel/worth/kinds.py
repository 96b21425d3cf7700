"""Every commit's kind, from its diff and message; the first rule that
matches gives it. Paths are matched without case except where a name's
capitals are the convention (``*Test.java``).

1. revert: the subject starts with ``Revert "`` or the message says "This reverts commit <hash>".
2. move: there are files and each was renamed or moved, with at most 2 changed lines per file (an import path).
3. formatting: every hunk changes whitespace alone (see `diffs`), or the subject names a formatter run
   (`FORMATTER_WORDS`) and the commit touches 3 files or more with added and deleted lines within 20% of each other.
4. sweep: the same small change repeated across at least 5 files makes up nearly all of the commit (see `diffs`).
5. generated: every file is vendored (under node_modules, vendor, third_party, _vendor or vendored at any depth)
   or generated (``*.generated.*``, ``*.gen.*``, protobuf output, minified files, source maps, top-level
   dist/ or build/, a gen/ or generated/ directory).
6. release: every file is a changelog (CHANGES, CHANGELOG, HISTORY, NEWS, release notes, changelog.d/ and
   .changeset/ entries), a version file or a manifest, and a changelog or version file is among them or the
   subject reads like a release (`RELEASE_SUBJECT`), which also admits lock files and ``__init__.py``.
7. dependencies: every file is a dependency manifest or lock file (requirements, pyproject.toml, package.json,
   Cargo.toml, go.mod and their locks, in any directory).
8. documentation: every file is prose (.md, .rst, .txt, .adoc other than requirements and CMakeLists.txt), is under
   a docs/, doc/ or documentation/ directory, is a README, licence, contributor list or similar, or an issue
   or pull-request template.
9. tests: every file is test code or test data: under a test, tests, spec, fixtures, snapshots or similar
   directory, or named like a test (test_*.py, *_test.go, *.test.ts, *Test.java, conftest.py, *.snap, ...).
10. code: anything else, and a commit without files.
"""

from __future__ import annotations

import re

from .. import _vocabulary
from ..config import globs
from .diffs import CommitDiff

# Every kind, the mechanical ones, and what each is in words: the vocabulary's.
KINDS: tuple[str, ...] = _vocabulary.KINDS
MECHANICAL: frozenset[str] = _vocabulary.MECHANICAL
DESCRIPTIONS: dict[str, str] = _vocabulary.KIND_DESCRIPTIONS
# Words in a subject that name a run of a formatter or linter's fixes.
FORMATTER_WORDS = ("format", "formatting", "reformat", "reformatted", "fmt", "black", "prettier", "ruff format",
                   "gofmt", "isort", "autopep8", "clang-format", "rustfmt", "lint fixes", "auto fixes",
                   "apply pre-commit", "run pre-commit", "style:")
RELEASE_SUBJECT = re.compile(r"\brelease\b|\bbump(?:ed|s|ing)? (?:the )?version\b|\bprepar|\bv\d+\.\d+"
                             r"|\bversion \d+\.\d+|^\s*\d+\.\d+(?:\.\d+)*\S*\s*$", re.IGNORECASE)
_FORMATTER = re.compile("|".join(rf"(?<![\w-]){re.escape(w)}(?![\w-])" if w[-1].isalnum() else re.escape(w)
                                 for w in FORMATTER_WORDS), re.IGNORECASE)  # whole words, "style:" as written
_REVERT = re.compile(r"This reverts commit [0-9a-f]{7,64}")
_VENDORED = {"node_modules", "vendor", "third_party", "_vendor", "vendored"}
_GENERATED = ("*.generated.*", "*.gen.*", "*_pb2.py", "*_pb2.pyi", "*_pb2_grpc.py", "*.pb.go", "*.min.js",
              "*.min.css", "*.map")
_DEPENDENCIES = {"pyproject.toml", "setup.cfg", "poetry.lock", "uv.lock", "pipfile", "pipfile.lock", "package.json",
                 "package-lock.json", "npm-shrinkwrap.json", "yarn.lock", "pnpm-lock.yaml", "bun.lock", "bun.lockb",
                 "cargo.toml", "cargo.lock", "go.mod", "go.sum", "gemfile", "gemfile.lock", "composer.json",
                 "composer.lock"}
_MANIFESTS = {"pyproject.toml", "package.json", "setup.cfg", "cargo.toml"}
_CHANGELOGS = ("changes*", "changelog*", "history*", "news*", "release*notes*", "release-notes*")
_VERSIONS = {"version", "version.txt", "_version.py", "version.py", "__version__.py", "__about__.py", "version.go"}
_DOC_DIRS = {"docs", "doc", "documentation"}
_DOC_NAMES = ("readme*", "license*", "licence*", "copying*", "authors*", "contributors*", "contributing*",
              "code_of_conduct*", "security*", "notice*")
_DOC_EXTENSIONS = (".md", ".rst", ".txt", ".adoc", ".asciidoc")
_PROSE = (*_DOC_EXTENSIONS, ".markdown")
_TEST_DIRS = {"test", "tests", "testing", "testdata", "test_data", "__tests__", "spec", "specs", "__snapshots__",
              "snapshots", "fixtures", "e2e"}
_TEST_NAMES = ("test_*.py", "*_test.py", "*_test.go", "*.test.[jt]s", "*.test.[jt]sx", "*.spec.[jt]s",
               "*.spec.[jt]sx", "conftest.py", "*.snap")
# Each list as one expression: every commit's every file is asked of them.
_CHANGELOG_NAME, _DOC_NAME, _GENERATED_NAME, _TEST_NAME, _REQUIREMENTS = (
    globs(patterns) for patterns in (_CHANGELOGS, _DOC_NAMES, _GENERATED, _TEST_NAMES, ("requirements*.txt",)))


def _parts(path: str) -> tuple[list[str], str]:
    """(directories, file name) of `path`, lower case."""
    *dirs, name = path.lower().split("/")
    return dirs, name


def _named(name: str, patterns: re.Pattern) -> bool:
    """Whether `name` matches one of `patterns` and is prose: no extension or a text one
    (history.py and security.py are code), licences in any form."""
    return patterns.match(name) is not None and (
        "." not in name or name.endswith(_PROSE) or name.startswith(("license", "licence", "copying")))


def _generated(path: str) -> bool:
    dirs, name = _parts(path)
    return (bool(_VENDORED.intersection(dirs) or {"gen", "generated"}.intersection(dirs))
            or dirs[:1] in (["dist"], ["build"]) or _GENERATED_NAME.match(name) is not None)


def _dependency(path: str) -> bool:
    dirs, name = _parts(path)
    return (name in _DEPENDENCIES or _REQUIREMENTS.match(name) is not None
            or dirs[-1:] == ["requirements"] and name.endswith(".txt"))


def _changelog_or_version(path: str) -> bool:
    dirs, name = _parts(path)
    return (_named(name, _CHANGELOG_NAME) or "changelog.d" in dirs
            or dirs[-1:] == [".changeset"] and name.endswith(".md") or name in _VERSIONS or name.endswith(".gemspec"))


def _documentation(path: str) -> bool:
    dirs, name = _parts(path)
    return (bool(_DOC_DIRS.intersection(dirs)) or _named(name, _DOC_NAME)
            or name.endswith(_DOC_EXTENSIONS) and not name.startswith("requirements") and name != "cmakelists.txt"
            or "issue_template" in dirs or name.startswith("pull_request_template"))


def _test(path: str) -> bool:
    dirs, name = _parts(path)
    original = path.rsplit("/", 1)[-1]
    return (bool(_TEST_DIRS.intersection(dirs)) or _TEST_NAME.match(name) is not None
            or original.endswith(("Test.java", "Tests.cs")))


def file_is_code(path: str) -> bool:
    """Whether `path` is none of: generated or vendored, a manifest or lock,
    a changelog or version file, documentation, tests."""
    return not any(rule(path) for rule in (_generated, _dependency, _changelog_or_version, _documentation, _test))


def kind_of(message: str, diff: CommitDiff) -> str:
    """The commit's kind, one of `KINDS`, by the rules above."""
    subject = message.strip().split("\n", 1)[0]
    paths = [f.path for f in diff.files]

    def every(rule) -> bool:
        return bool(paths) and all(rule(p) for p in paths)

    added, deleted = sum(f.added for f in diff.files), sum(f.deleted for f in diff.files)
    release_subject = RELEASE_SUBJECT.search(subject) is not None
    if subject.startswith('Revert "') or _REVERT.search(message):
        return "revert"
    if paths and all(f.renamed_from for f in diff.files) and added + deleted <= 2 * len(paths):
        return "move"
    if diff.whitespace_only or (_FORMATTER.search(subject) and len(paths) >= 3
                                and 0 < max(added, deleted) and abs(added - deleted) <= 0.2 * max(added, deleted)):
        return "formatting"
    if diff.sweep:
        return "sweep"
    if every(_generated):
        return "generated"
    release_file = (lambda p: _changelog_or_version(p) or _parts(p)[1] in _MANIFESTS
                    or release_subject and (_dependency(p) or _parts(p)[1] == "__init__.py"))
    if every(release_file) and (release_subject or any(_changelog_or_version(p) for p in paths)):
        return "release"
    for kind, rule in (("dependencies", _dependency), ("documentation", _documentation), ("tests", _test)):
        if every(rule):
            return kind
    return "code"

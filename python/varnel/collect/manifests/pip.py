"""Python dependencies: requirements files, pyproject.toml, setup.cfg and
Pipfile (declared dependencies), uv.lock, poetry.lock and Pipfile.lock
(locked sets)."""

from __future__ import annotations

import configparser
import re
from collections import defaultdict

from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name

from .graph import Dep, LockGraph
from .reading import ManifestError, expect, load_json, load_toml, member

# The name and extras that open a requirement; what follows up to ";" is the
# version specifier, in the order it was written.
_NAME = re.compile(r"\s*[A-Za-z0-9][A-Za-z0-9._-]*\s*(\[[^\]]*\])?")
# A line that names a local path or an archive/VCS URL: pip installs it, but
# its package name is only known by building it.
_PATH_OR_URL = re.compile(r"^([./~\\]|[A-Za-z]:[\\/]|file:|[A-Za-z][\w+.-]*://)")
_PIN = re.compile(r"^===?([^*]+)$")


def version_of(spec: str) -> str:
    """A constraint as the snapshot shows it: the version of an exact pin
    ("==1.2" or "===1.2"), else the clauses as written without spaces; "" for
    no constraint ("" or Pipfile's and poetry's "*")."""
    clauses = [re.sub(r"\s+", "", c) for c in spec.split(",") if c.strip()]
    if clauses in ([], ["*"]):
        return ""
    pin = _PIN.match(clauses[0]) if len(clauses) == 1 else None
    return pin.group(1) if pin else ",".join(clauses)


def _requirement(text: str, where: str) -> Dep:
    """One PEP 508 requirement; markers stay out of the name and version."""
    try:
        requirement = Requirement(text)
    except InvalidRequirement as exc:
        raise ManifestError(f"{where}: not a valid requirement {text!r} ({exc})") from exc
    if requirement.url:
        return Dep(requirement.name, "")
    spec = text.split(";", 1)[0][_NAME.match(text).end():].strip()
    return Dep(requirement.name, version_of(spec.removeprefix("(").removesuffix(")")))


def read_requirements(text: str) -> list[Dep]:
    """A requirements file. Skipped: blank lines and comments; option lines
    (-r/-c name other files, read on their own when they are requirements
    files of the same directory; -e/--index-url/--find-links and the like set
    up pip rather than name a package); path and URL lines, whose package
    name is unknown until built. Options after a requirement (--hash, ...)
    are cut off as pip does, at the first word starting with "-"."""
    deps = []
    for number, line in _logical_lines(text):
        line = re.sub(r"(^|\s)#.*$", "", line).strip()
        if not line or line.startswith("-") or _PATH_OR_URL.match(line):
            continue
        words = line.split(" ")
        cut = next((i for i, w in enumerate(words) if w.startswith("-")), len(words))
        deps.append(_requirement(" ".join(words[:cut]), f"line {number}"))
    return deps


def _logical_lines(text: str):
    """(first line number, text) with backslash continuations joined."""
    pending, start = "", 0
    for number, line in enumerate(text.splitlines(), 1):
        start = start or number
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        yield start, pending + line
        pending, start = "", 0
    if pending:
        yield start, pending


def _requirement_list(value, where: str) -> list[Dep]:
    """A list of requirement strings."""
    items = expect(value, list, where)
    return [_requirement(expect(item, str, where), where) for item in items]


def _poetry_dep(name: str, spec, where: str) -> list[Dep]:
    """A poetry dependency: a constraint, a table with `version` (or a git or
    path source, no version) or a list of such tables for several markers."""
    if isinstance(spec, str):
        return [Dep(name, version_of(spec))]
    if isinstance(spec, dict):
        return [Dep(name, version_of(member(spec, "version", str, "", f"{where} {name!r} ")))]
    if not isinstance(spec, list):
        raise ManifestError(f"{where} {name!r} is neither a constraint, a table nor a list of tables")
    return [d for item in spec for d in _poetry_dep(name, expect(item, dict, f"{where} {name!r} item"), where)]


def read_pyproject(text: str) -> list[Dep] | None:
    """[project] dependencies and extras, [dependency-groups], poetry's
    dependency tables; None when the file declares none of them (a file that
    only configures tools)."""
    data = load_toml(text)
    declared = False
    deps: list[Dep] = []
    if "project" in data:
        declared = True
        project = expect(data["project"], dict, "[project]")
        deps += _requirement_list(project.get("dependencies", []), "[project].dependencies")
        extras = member(project, "optional-dependencies", dict, {}, "[project] ")
        for extra, items in extras.items():
            deps += _requirement_list(items, f"optional-dependencies {extra!r}")
    # Poetry's main table may only add details (a source, ...) to these: not a second declaration.
    enriched = {canonicalize_name(dep.name) for dep in deps}
    if "dependency-groups" in data:
        declared = True
        for group, items in expect(data["dependency-groups"], dict, "[dependency-groups]").items():
            for item in expect(items, list, f"dependency group {group!r}"):
                # {include-group = "..."} repeats another group, which is read on its own.
                if not (isinstance(item, dict) and "include-group" in item):
                    deps.append(_requirement(expect(item, str, f"dependency group {group!r}"), group))
    poetry = member(member(data, "tool", dict, {}), "poetry", dict, {}, "[tool] ")
    groups = member(poetry, "group", dict, {}, "[tool.poetry] ")
    tables = [("dependencies", poetry.get("dependencies")), ("dev-dependencies", poetry.get("dev-dependencies"))]
    tables += [(f"group {g!r}", expect(t, dict, f"poetry group {g!r}").get("dependencies")) for g, t in groups.items()]
    for where, table in tables:
        if table is not None:
            declared = True
            for name, spec in expect(table, dict, f"poetry {where}").items():
                # "python" is the interpreter constraint, not a package.
                if name != "python" and not (where == "dependencies" and canonicalize_name(name) in enriched):
                    deps += _poetry_dep(name, spec, f"poetry {where}")
    return deps if declared else None


def read_setup_cfg(text: str) -> list[Dep] | None:
    """[options] install_requires and [options.extras_require], one
    requirement a line; None when the file declares neither. A "file:"
    value names a requirements file, read on its own."""
    parser = configparser.ConfigParser(interpolation=None, comment_prefixes=("#", ";"), inline_comment_prefixes=None)
    try:
        parser.read_string(text)
    except configparser.Error as exc:
        raise ManifestError(f"not a valid setup.cfg ({str(exc).splitlines()[0]})") from exc
    values = []
    if parser.has_option("options", "install_requires"):
        values.append(("install_requires", parser.get("options", "install_requires")))
    if parser.has_section("options.extras_require"):
        values += [(f"extras_require {extra!r}", value) for extra, value in parser.items("options.extras_require")]
    if not values:
        return None
    deps = []
    for where, value in values:
        for line in value.splitlines():
            line = line.split(" #", 1)[0].strip()
            if line and not line.startswith(("#", "file:")):
                deps.append(_requirement(line, where))
    return deps


def read_pipfile(text: str) -> list[Dep] | None:
    """[packages] and [dev-packages]; None when the file has neither."""
    data = load_toml(text)
    sections = [s for s in ("packages", "dev-packages") if s in data]
    return [dep for section in sections for name, spec in expect(data[section], dict, f"[{section}]").items()
            for dep in _poetry_dep(name, spec, f"[{section}]")] if sections else None


def _packages(data: dict) -> list[dict]:
    """The [[package]] tables of a uv or poetry lock."""
    return [expect(p, dict, "a [[package]] entry") for p in member(data, "package", list, [])]


def _name(package: dict) -> str:
    """A [[package]] entry's name."""
    return expect(package.get("name"), str, "a [[package]] entry's name")


def read_uv_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """uv.lock: packages from an editable or virtual source are the project
    and its workspace members; every other package is locked. A dependency
    names its version when the lock holds several of that name; the edges
    include extras and dependency groups."""
    graph, by_name = LockGraph(alternatives=True), defaultdict(list)
    keyed, roots = [], []
    for package in _packages(load_toml(text)):
        name = _name(package)
        key = (canonicalize_name(name), member(package, "version", str, "", f"package {name!r} "))
        by_name[key[0]].append(key)
        keyed.append((key, package))
        source = member(package, "source", dict, {}, f"package {name!r} ")
        if "editable" in source or "virtual" in source:
            roots.append(key)
        else:
            graph.packages[key] = (name, key[1])
    for key, package in keyed:
        where = f"package {package['name']!r} "
        lists = [member(package, "dependencies", list, [], where)]
        for table in ("optional-dependencies", "dev-dependencies"):
            lists += member(package, table, dict, {}, where).values()
        for dep in (expect(d, dict, f"{where}dependency") for items in lists for d in expect(items, list, where)):
            name = canonicalize_name(expect(dep.get("name"), str, f"{where}dependency name"))
            version = member(dep, "version", str, None, where)
            graph.add_edges(key, [k for k in by_name[name] if version is None or k[1] == version])
    if roots:
        graph.direct = {target for root in roots for target in graph.edges.get(root, ())}
    return graph


def read_poetry_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """poetry.lock: every [[package]] is locked; the project is not among
    them, so the manifest says which are direct. Dependencies name packages
    by name (with a constraint), so an edge reaches each locked version."""
    graph, by_name, keyed = LockGraph(alternatives=True), defaultdict(list), []
    for package in _packages(load_toml(text)):
        name = _name(package)
        key = (canonicalize_name(name), expect(package.get("version"), str, f"package {name!r} version"))
        graph.packages[key] = (name, key[1])
        by_name[key[0]].append(key)
        keyed.append((key, package))
    for key, package in keyed:
        deps = member(package, "dependencies", dict, {}, f"package {package['name']!r} ")
        graph.add_edges(key, [k for name in deps for k in by_name[canonicalize_name(name)]])
    return graph


def read_pipfile_lock(text: str, declared: list[Dep] | None) -> LockGraph:
    """Pipfile.lock: the "default" and "develop" sets, pinned as "==x"; it
    records no dependency edges, so there is no depth."""
    data = load_json(text)
    graph = LockGraph(has_graph=False)
    for section in ("default", "develop"):
        for name, entry in member(data, section, dict, {}).items():
            spec = member(expect(entry, dict, f"{section} {name!r}"), "version", str, "", f"{section} {name!r} ")
            version = version_of(spec)
            graph.packages[(canonicalize_name(name), version)] = (name, version)
    return graph

"""Dependency snapshots from manifest and lock files written inline here."""

import json
import textwrap

import pytest

from varnel.collect.manifests import ManifestError, ecosystem_of, snapshot


def snap(ecosystem, **files):
    """The snapshot of files given as keyword text (dots and dashes spelt as
    in the file name through the NAMES table)."""
    return snapshot(ecosystem, {NAMES.get(k, k): textwrap.dedent(v).encode() for k, v in files.items()})


NAMES = {
    "requirements": "requirements.txt", "requirements_dev": "requirements-dev.txt", "pyproject": "pyproject.toml",
    "uv": "uv.lock", "poetry": "poetry.lock", "pipfile_lock": "Pipfile.lock", "package": "package.json",
    "package_lock": "package-lock.json", "shrinkwrap": "npm-shrinkwrap.json", "yarn": "yarn.lock",
    "pnpm": "pnpm-lock.yaml", "cargo_toml": "Cargo.toml", "cargo_lock": "Cargo.lock", "go_mod": "go.mod",
    "go_sum": "go.sum", "gemfile_lock": "Gemfile.lock", "setup_cfg": "setup.cfg",
}


def deps(result):
    return [(d["name"], d["version"], d["direct"]) for d in result["dependencies"]]


@pytest.mark.parametrize("name, ecosystem", [
    ("requirements.txt", "pip"), ("requirements-dev.txt", "pip"), ("dev-requirements.txt", None),
    ("requirements.in", None), ("pyproject.toml", "pip"), ("poetry.lock", "pip"), ("uv.lock", "pip"),
    ("Pipfile", "pip"), ("Pipfile.lock", "pip"), ("package.json", "npm"), ("package-lock.json", "npm"),
    ("npm-shrinkwrap.json", "npm"), ("yarn.lock", "npm"), ("pnpm-lock.yaml", "npm"), ("Cargo.toml", "cargo"),
    ("Cargo.lock", "cargo"), ("go.mod", "go"), ("go.sum", "go"), ("Gemfile.lock", "bundler"),
    ("Gemfile", None), ("setup.py", None), ("setup.cfg", "pip"), ("README.md", None),
])
def test_ecosystem_of_base_names(name, ecosystem):
    assert ecosystem_of(name) == ecosystem


# --- pip ------------------------------------------------------------------------------------------


def test_requirements_files_skip_options_paths_and_comments():
    result = snap("pip", requirements="""\
        # pinned for the release
        --index-url https://pypi.example/simple
        -r requirements-dev.txt
        -e ./plugins/local
        ./vendor/thing
        https://example.com/pkg-1.0.tar.gz
        Foo_Bar >= 2, < 3 ; python_version < "3.12"   # range kept as written
        exact===1.0.post1
        hashed==2.0 \\
            --hash=sha256:0123456789abcdef
        wild==1.*
        plain
        named @ https://example.com/named-1.0.zip
        extra[socks]==3.1
        """, requirements_dev="pytest==8.0\n")
    assert result == {
        "ecosystem": "pip", "snapshot": {"total_count": 8, "direct_count": 8},
        "dependencies": [{"name": n, "version": v, "direct": True} for n, v in [
            ("Foo_Bar", ">=2,<3"), ("exact", "1.0.post1"), ("extra", "3.1"), ("hashed", "2.0"),
            ("named", ""), ("plain", ""), ("pytest", "8.0"), ("wild", "==1.*")]],
        "from": ["requirements-dev.txt", "requirements.txt"],
    }
    assert list(result) == ["ecosystem", "snapshot", "dependencies", "from"]


def test_pip_names_are_one_package_whatever_their_spelling():
    result = snap("pip", requirements="Foo_Bar==1.0\nfoo.bar==1.0\nFOO-BAR==2.0\n")
    assert deps(result) == [("FOO-BAR", "2.0", True), ("Foo_Bar", "1.0", True)]


def test_pyproject_reads_every_dependency_table():
    result = snap("pip", pyproject="""\
        [project]
        name = "app"
        dependencies = ["requests>=2.31", "attrs==23.1"]
        [project.optional-dependencies]
        cli = ["click"]
        [dependency-groups]
        test = ["pytest==8.0", {include-group = "lint"}]
        lint = ["ruff"]
        [tool.poetry.dependencies]
        python = "^3.11"
        rich = "^13.0"
        httpx = {version = "==0.27", extras = ["http2"]}
        local = {path = "../local"}
        [tool.poetry.group.docs.dependencies]
        mkdocs = [{version = "1.5", python = "<3.12"}, {version = "1.6", python = ">=3.12"}]
        """)
    assert deps(result) == [
        ("attrs", "23.1", True), ("click", "", True), ("httpx", "0.27", True), ("local", "", True),
        ("mkdocs", "1.5", True), ("mkdocs", "1.6", True), ("pytest", "8.0", True), ("requests", ">=2.31", True),
        ("rich", "^13.0", True), ("ruff", "", True)]


def test_poetry_table_that_only_adds_a_source_to_a_project_dependency_is_not_a_second_one():
    result = snap("pip", pyproject="""\
        [project]
        name = "app"
        dependencies = ["requests>=2.31", "Attrs==23.1"]
        [tool.poetry.dependencies]
        python = "^3.11"
        requests = {source = "private"}
        attrs = {develop = true}
        """)
    assert deps(result) == [("Attrs", "23.1", True), ("requests", ">=2.31", True)]


def test_pyproject_without_dependency_tables_is_no_snapshot_but_an_empty_list_counts():
    assert snap("pip", pyproject="[tool.ruff]\nline-length = 100\n") is None
    assert snap("pip", pyproject='[tool.poetry]\nname = "x"\n') is None
    empty = snap("pip", pyproject='[project]\nname = "x"\ndependencies = []\n')
    assert empty["snapshot"] == {"total_count": 0, "direct_count": 0} and empty["dependencies"] == []


def test_setup_cfg_requirements_count_like_pyprojects():
    """Moving requirements from setup.cfg to pyproject.toml changes nothing counted."""
    before = snap("pip", setup_cfg="""\
        [metadata]
        name = app
        [options]
        install_requires =
            Werkzeug>=3.0  # the WSGI toolkit
            click>=8.1; python_version >= "3.8"
            file: requirements-extra.txt
        [options.extras_require]
        async = asgiref>=3.2
        dotenv =
            python-dotenv
        """)
    after = snap("pip", pyproject="""\
        [project]
        name = "app"
        dependencies = ["Werkzeug>=3.0", 'click>=8.1; python_version >= "3.8"']
        [project.optional-dependencies]
        async = ["asgiref>=3.2"]
        dotenv = ["python-dotenv"]
        """)
    assert deps(before) == deps(after) == [("Werkzeug", ">=3.0", True), ("asgiref", ">=3.2", True),
                                           ("click", ">=8.1", True), ("python-dotenv", "", True)]
    assert snap("pip", setup_cfg="[metadata]\nname = app\n") is None


def test_pipfile_and_its_lock_give_no_depth():
    result = snap("pip", Pipfile="""\
        [packages]
        requests = "*"
        [dev-packages]
        pytest = {version = ">=8"}
        """, pipfile_lock=json.dumps({
            "_meta": {"hash": {"sha256": "x"}},
            "default": {"requests": {"version": "==2.31.0"}, "idna": {"version": "==3.6"}},
            "develop": {"pytest": {"version": "==8.0.0"}, "gitdep": {"git": "https://example.com/g.git"}},
        }))
    assert result["snapshot"] == {"total_count": 4, "direct_count": 2}
    assert deps(result) == [("gitdep", "", False), ("idna", "3.6", False), ("pytest", "8.0.0", True),
                            ("requests", "2.31.0", True)]
    alone = snap("pip", Pipfile='[packages]\nrequests = "*"\n')
    assert deps(alone) == [("requests", "", True)]


UV_LOCK = """\
    version = 1
    requires-python = ">=3.11"

    [[package]]
    name = "app"
    version = "0.1.0"
    source = { editable = "." }
    dependencies = [{ name = "top" }, { name = "Side_Car" }]
    [package.optional-dependencies]
    fast = [{ name = "speed" }]
    [package.dev-dependencies]
    dev = [{ name = "pytest" }]

    [[package]]
    name = "top"
    version = "1.0"
    source = { registry = "https://pypi.org/simple" }
    dependencies = [{ name = "left" }, { name = "right" }]

    [[package]]
    name = "left"
    version = "1.0"
    source = { registry = "https://pypi.org/simple" }
    dependencies = [{ name = "bottom", version = "2.0" }]

    [[package]]
    name = "right"
    version = "1.0"
    source = { registry = "https://pypi.org/simple" }
    dependencies = [{ name = "bottom", version = "2.0" }]

    [[package]]
    name = "bottom"
    version = "2.0"
    source = { registry = "https://pypi.org/simple" }

    [[package]]
    name = "bottom"
    version = "1.0"
    source = { registry = "https://pypi.org/simple" }

    [[package]]
    name = "side-car"
    version = "3.0"
    source = { registry = "https://pypi.org/simple" }
    dependencies = [{ name = "bottom", version = "1.0" }]

    [[package]]
    name = "speed"
    version = "0.9"
    source = { registry = "https://pypi.org/simple" }

    [[package]]
    name = "pytest"
    version = "8.0"
    source = { registry = "https://pypi.org/simple" }

    [[package]]
    name = "member"
    version = "0.2.0"
    source = { editable = "packages/member" }
"""


def test_uv_lock_diamond_depth_and_root_from_the_lock():
    result = snap("pip", uv=UV_LOCK, pyproject='[project]\nname = "app"\ndependencies = ["unrelated"]\n')
    # app -> top -> left/right -> bottom 2.0 (diamond) is depth 3; bottom 1.0 hangs off side-car at 2.
    # The two bottoms are resolutions for different interpreters: one package, at its highest version.
    assert result["snapshot"] == {"total_count": 7, "direct_count": 4, "max_depth": 3}
    assert result["from"] == ["uv.lock"]
    assert deps(result) == [
        ("bottom", "2.0", False), ("left", "1.0", False), ("pytest", "8.0", True),
        ("right", "1.0", False), ("side-car", "3.0", True), ("speed", "0.9", True), ("top", "1.0", True)]


POETRY_LOCK = """\
    [[package]]
    name = "a"
    version = "1.0"
    [package.dependencies]
    B = ">=1"

    [[package]]
    name = "b"
    version = "1.1"
    [package.dependencies]
    c = {version = "*", optional = true}

    [[package]]
    name = "c"
    version = "2.0"
    [package.dependencies]
    d = [{version = "1", markers = "sys_platform == 'linux'"}]

    [[package]]
    name = "d"
    version = "1"

    [[package]]
    name = "orphan"
    version = "0.1"

    [metadata]
    lock-version = "2.0"
"""


def test_poetry_lock_chain_takes_direct_names_from_the_manifest():
    result = snap("pip", poetry=POETRY_LOCK, pyproject="""\
        [tool.poetry.dependencies]
        python = "^3.11"
        A = "^1.0"
        """)
    assert result["snapshot"] == {"total_count": 5, "direct_count": 1, "max_depth": 4}
    assert deps(result)[0] == ("a", "1.0", True)
    alone = snap("pip", poetry=POETRY_LOCK)
    assert alone["snapshot"] == {"total_count": 5, "direct_count": 0}


def test_pip_lock_precedence_reads_only_the_chosen_lock():
    broken = "this is [ not toml"
    assert snap("pip", uv=UV_LOCK, poetry=broken, pipfile_lock=broken)["snapshot"]["total_count"] == 7
    assert snap("pip", poetry=POETRY_LOCK, pipfile_lock=broken)["snapshot"]["total_count"] == 5


# --- npm ------------------------------------------------------------------------------------------

PACKAGE_JSON = json.dumps({
    "name": "app", "version": "1.0.0",
    "dependencies": {"left": "^1.0.0", "@scope/right": "~2.0.0"},
    "devDependencies": {"tool": "3.0.0"}, "optionalDependencies": {"opt": "*"},
    "peerDependencies": {"host": ">=1 <3"},
})


def test_package_json_alone_keeps_ranges_as_written():
    result = snap("npm", package=PACKAGE_JSON)
    assert deps(result) == [("@scope/right", "~2.0.0", True), ("host", ">=1 <3", True), ("left", "^1.0.0", True),
                            ("opt", "*", True), ("tool", "3.0.0", True)]
    assert "max_depth" not in result["snapshot"]


def test_package_lock_v3_resolves_from_the_nearest_node_modules():
    lock = {"name": "app", "lockfileVersion": 3, "packages": {
        "": {"name": "app", "dependencies": {"left": "^1.0.0", "@scope/right": "~2.0.0"},
             "devDependencies": {"ws": "*"}},
        "node_modules/left": {"version": "1.2.0", "dependencies": {"shared": "^1.0.0"}},
        "node_modules/left/node_modules/shared": {"version": "1.5.0", "dependencies": {"deep": "*"}},
        "node_modules/@scope/right": {"version": "2.0.3", "dependencies": {"shared": "^2.0.0"},
                                      "devDependencies": {"never": "*"}},
        "node_modules/shared": {"version": "2.1.0"},
        "node_modules/deep": {"version": "0.1.0", "optionalDependencies": {"missing": "*"}},
        "node_modules/never": {"version": "9.9.9"},
        "node_modules/ws": {"resolved": "packages/ws", "link": True},
        "packages/ws": {"name": "ws", "version": "0.0.1", "dependencies": {"wsdep": "^4"}},
        "packages/ws/node_modules/wsdep": {"version": "4.0.0"},
    }}
    result = snap("npm", package=PACKAGE_JSON, package_lock=json.dumps(lock))
    assert deps(result) == [
        ("@scope/right", "2.0.3", True), ("deep", "0.1.0", False), ("left", "1.2.0", True),
        ("never", "9.9.9", False), ("shared", "1.5.0", False), ("shared", "2.1.0", False), ("wsdep", "4.0.0", True)]
    # left -> its own nested shared 1.5.0 -> deep (top level): depth 3.
    assert result["snapshot"] == {"total_count": 7, "direct_count": 3, "max_depth": 3}


def test_package_lock_v1_nested_tree_uses_the_manifest_for_direct():
    lock = {"name": "app", "lockfileVersion": 1, "requires": True, "dependencies": {
        "left": {"version": "1.2.0", "requires": {"shared": "^1.0.0"},
                 "dependencies": {"shared": {"version": "1.5.0", "requires": {"deep": "*"}}}},
        "@scope/right": {"version": "2.0.3", "requires": {"shared": "^2.0.0"}},
        "shared": {"version": "2.1.0"},
        "deep": {"version": "0.1.0", "dev": True},
    }}
    result = snap("npm", package=PACKAGE_JSON, package_lock=json.dumps(lock))
    assert deps(result) == [("@scope/right", "2.0.3", True), ("deep", "0.1.0", False), ("left", "1.2.0", True),
                            ("shared", "1.5.0", False), ("shared", "2.1.0", False)]
    assert result["snapshot"]["max_depth"] == 3
    assert "max_depth" not in snap("npm", package_lock=json.dumps(lock))["snapshot"]


def test_shrinkwrap_wins_over_package_lock_which_wins_over_pnpm_and_yarn():
    wrap = {"lockfileVersion": 3, "packages": {"": {"dependencies": {"a": "1"}}, "node_modules/a": {"version": "1.0.0"}}}
    lock = {"lockfileVersion": 3, "packages": {"": {"dependencies": {"b": "1"}}, "node_modules/b": {"version": "1.0.0"}}}
    assert deps(snap("npm", shrinkwrap=json.dumps(wrap), package_lock=json.dumps(lock), yarn="]]")) == [
        ("a", "1.0.0", True)]
    assert deps(snap("npm", package_lock=json.dumps(lock), pnpm="[", yarn="]]")) == [("b", "1.0.0", True)]


YARN_CLASSIC = """\
    # THIS IS AN AUTOGENERATED FILE. DO NOT EDIT THIS FILE DIRECTLY.
    # yarn lockfile v1


    left@^1.0.0, left@^1.1.0:
      version "1.2.0"
      resolved "https://registry.example/left-1.2.0.tgz"
      integrity sha512-abc
      dependencies:
        shared "^1.0.0"

    "@scope/right@~2.0.0":
      version "2.0.3"
      dependencies:
        shared "^2.0.0"
      optionalDependencies:
        "@scope/fsx" "1.x"

    "@scope/fsx@1.x":
      version "1.0.0"

    shared@^1.0.0:
      version "1.5.0"

    shared@^2.0.0:
      version "2.1.0"
      dependencies:
        deep "*"

    deep@*:
      version "0.1.0"
"""


def test_yarn_classic_resolves_ranges_and_takes_direct_from_package_json():
    result = snap("npm", yarn=YARN_CLASSIC, package=json.dumps({"dependencies": {"left": "^1.1.0", "@scope/right": "~2.0.0"}}))
    assert deps(result) == [("@scope/fsx", "1.0.0", False), ("@scope/right", "2.0.3", True), ("deep", "0.1.0", False),
                            ("left", "1.2.0", True), ("shared", "1.5.0", False), ("shared", "2.1.0", False)]
    assert result["snapshot"] == {"total_count": 6, "direct_count": 2, "max_depth": 3}


def test_yarn_berry_workspace_entries_are_the_project():
    lock = """\
        # This file is generated by running "yarn install" inside your project.

        __metadata:
          version: 8
          cacheKey: 10c0

        "app@workspace:.":
          version: 0.0.0-use.local
          resolution: "app@workspace:."
          dependencies:
            left: "npm:^1.0.0"
            member: "workspace:packages/member"
          languageName: unknown
          linkType: soft

        "member@workspace:packages/member":
          version: 0.0.0-use.local
          resolution: "member@workspace:packages/member"
          dependencies:
            shared: ^2.0.0
          languageName: unknown
          linkType: soft

        "left@npm:^1.0.0, left@npm:^1.1.0":
          version: 1.2.0
          resolution: "left@npm:1.2.0"
          dependencies:
            shared: ^2.0.0
          languageName: node
          linkType: hard

        "shared@npm:^2.0.0":
          version: 2.1.0
          resolution: "shared@npm:2.1.0"
          languageName: node
          linkType: hard
        """
    result = snap("npm", yarn=lock)
    assert deps(result) == [("left", "1.2.0", True), ("shared", "2.1.0", True)]
    assert result["snapshot"] == {"total_count": 2, "direct_count": 2, "max_depth": 1}


# One project locked by two yarn generations: v3 leaves ranges bare ("debug: 4"
# reads as a number in YAML), v4 quotes them with their protocol.
YARN_BERRY_LOCKS = {
    "v3": """\
        # This file is generated by running "yarn install" inside your project.
        # Manual changes might be lost - proceed with caution!

        __metadata:
          version: 6
          cacheKey: 8

        "@babel/core@npm:^7.24.0":
          version: 7.24.0
          resolution: "@babel/core@npm:7.24.0"
          dependencies:
            "@babel/types": ^7.24.0
            debug: ^4.1.0
            semver: ^6.3.1
          checksum: bb37cbf0bdfd676b246af0a3d9a7932d10573f2d45114fdda02a71889e35530ce13d8930177e78b065d6734b8d45a4fbf7c77f223b1d44b4a28cfe5fefee93ed
          languageName: node
          linkType: hard

        "@babel/types@npm:^7.24.0":
          version: 7.24.0
          resolution: "@babel/types@npm:7.24.0"
          dependencies:
            to-fast-properties: ^2.0.0
          checksum: 4b574a37d490f621470ff36a5afaac6deca5546edcb9b5e316d39acbb20998e9c2be42f3fc0bf2b55906fc49ff2a5a6a097e8f5a726ee3f708a0b0ca93aed807
          languageName: node
          linkType: hard

        "@web/ui@workspace:packages/ui":
          version: 0.0.0-use.local
          resolution: "@web/ui@workspace:packages/ui"
          dependencies:
            debug: ^4.1.0
          languageName: unknown
          linkType: soft

        "agent-base@npm:6":
          version: 6.0.2
          resolution: "agent-base@npm:6.0.2"
          dependencies:
            debug: 4
          checksum: f52b6872cc96fd5f622071b71ef200e01c7c4c454ee68bc9accca90c98cfb39f2810e3e9aa330435835eedc8c23f4f8a15267f67c6e245d2b33757575bdac49d
          languageName: node
          linkType: hard

        "debug@npm:4, debug@npm:^4.1.0":
          version: 4.3.4
          resolution: "debug@npm:4.3.4"
          dependencies:
            ms: 2.1.2
          peerDependenciesMeta:
            supports-color:
              optional: true
          checksum: 3dbad3f94ea64f34431a9cbf0bafb61853eda57bff2880036153438f50fb5a84f27683ba0d8e5426bf41a8c6ff03879488120cf5b3a761e77953169c0600a708
          languageName: node
          linkType: hard

        "ms@npm:2.1.2":
          version: 2.1.2
          resolution: "ms@npm:2.1.2"
          checksum: 673cdb2c3133eb050c745908d8ce632ed2c02d85640e2edb3ace856a2266a813b30c613569bf3354fdf4ea7d1a1494add3bfa95e2713baa27d0c2c71fc44f58f
          languageName: node
          linkType: hard

        "semver@npm:^6.3.1":
          version: 6.3.1
          resolution: "semver@npm:6.3.1"
          bin:
            semver: bin/semver.js
          checksum: e3d79b609071caa78bcb6ce2ad81c7966a46a7431d9d58b8800cfa9cb6a63699b3899a0e4bcce36167a284578212d9ae6942b6929ba4aa5015c079a67751d42d
          languageName: node
          linkType: hard

        "to-fast-properties@npm:^2.0.0":
          version: 2.0.0
          resolution: "to-fast-properties@npm:2.0.0"
          checksum: b214d21dbfb4bce3452b6244b336806ffea9c05297148d32ebb428d5c43ce7545bdfc65a1ceb58c9ef4376a65c0cb2854d645f33961658b3e3b4f84910ddcdd7
          languageName: node
          linkType: hard

        "typescript@npm:^5.3.3":
          version: 5.3.3
          resolution: "typescript@npm:5.3.3"
          bin:
            tsc: bin/tsc
            tsserver: bin/tsserver
          checksum: 2007ccb6e51bbbf6fde0a78099efe04dc1c3dfbdff04ca3b6a8bc717991862b39fd6126c0c3ebf2d2d98ac5e960bcaa873826bb2bb241f14277034148f41f6a2
          languageName: node
          linkType: hard

        "typescript@patch:typescript@^5.3.3#~builtin<compat/typescript>":
          version: 5.3.3
          resolution: "typescript@patch:typescript@npm%3A5.3.3#~builtin<compat/typescript>::version=5.3.3&hash=f3b441"
          bin:
            tsc: bin/tsc
            tsserver: bin/tsserver
          checksum: f61375590b3162599f0f0d5b8737877ac0a7bc52761dbb585d67e7b8753a3a4c42d9a554c4cc929f591ffcf3a2b0602f65ae3ce74714fd5652623a816862b610
          languageName: node
          linkType: hard

        "web@workspace:.":
          version: 0.0.0-use.local
          resolution: "web@workspace:."
          dependencies:
            "@babel/core": ^7.24.0
            "@web/ui": "workspace:packages/ui"
            agent-base: 6
            typescript: ^5.3.3
          languageName: unknown
          linkType: soft
        """,
    "v4": """\
        # This file is generated by running "yarn install" inside your project.
        # Manual changes might be lost - proceed with caution!

        __metadata:
          version: 8
          cacheKey: 10c0

        "@babel/core@npm:7.24.0, @babel/core@npm:^7.24.0":
          version: 7.24.0
          resolution: "@babel/core@npm:7.24.0"
          dependencies:
            "@babel/types": "npm:^7.24.0"
            debug: "npm:^4.1.0"
            semver: "npm:^6.3.1"
          checksum: 10c0/bb37cbf0bdfd676b246af0a3d9a7932d10573f2d45114fdda02a71889e35530ce13d8930177e78b065d6734b8d45a4fbf7c77f223b1d44b4a28cfe5fefee93ed
          languageName: node
          linkType: hard

        "@babel/types@npm:^7.24.0":
          version: 7.24.0
          resolution: "@babel/types@npm:7.24.0"
          dependencies:
            to-fast-properties: "npm:^2.0.0"
          checksum: 10c0/777a0bb5dbe038ca4c905fdafb1cdb6bdd10fe9d63ce13eca0bd91909363cbad554a53dc1f902004b78c1dcbc742056f877f2c99eeedff647333b1fadf51235d
          languageName: node
          linkType: hard

        "@web/ui@workspace:packages/ui":
          version: 0.0.0-use.local
          resolution: "@web/ui@workspace:packages/ui"
          dependencies:
            debug: "npm:^4.1.0"
          languageName: unknown
          linkType: soft

        "agent-base@npm:6":
          version: 6.0.2
          resolution: "agent-base@npm:6.0.2"
          dependencies:
            debug: "npm:4"
          checksum: 10c0/dc4f757e40b5f3e3d674bc9beb4f1048f4ee83af189bae39be99f57bf1f48dde166a8b0a5342a84b5944ee8e6ed1e5a9d801858f4ad44764e84957122fe46261
          languageName: node
          linkType: hard

        "debug@npm:4, debug@npm:^4.1.0":
          version: 4.3.4
          resolution: "debug@npm:4.3.4"
          dependencies:
            ms: "npm:2.1.2"
          peerDependenciesMeta:
            supports-color:
              optional: true
          checksum: 10c0/cedbec45298dd5c501d01b92b119cd3faebe5438c3917ff11ae1bff86a6c722930ac9c8659792824013168ba6db7c4668225d845c633fbdafbbf902a6389f736
          languageName: node
          linkType: hard

        "ms@npm:2.1.2":
          version: 2.1.2
          resolution: "ms@npm:2.1.2"
          checksum: 10c0/a437714e2f90dbf881b5191d35a6db792efbca5badf112f87b9e1c712aace4b4b9b742dd6537f3edf90fd6f684de897cec230abde57e87883766712ddda297cc
          languageName: node
          linkType: hard

        "semver@npm:^6.3.1":
          version: 6.3.1
          resolution: "semver@npm:6.3.1"
          bin:
            semver: bin/semver.js
          checksum: 10c0/e3d79b609071caa78bcb6ce2ad81c7966a46a7431d9d58b8800cfa9cb6a63699b3899a0e4bcce36167a284578212d9ae6942b6929ba4aa5015c079a67751d42d
          languageName: node
          linkType: hard

        "to-fast-properties@npm:^2.0.0":
          version: 2.0.0
          resolution: "to-fast-properties@npm:2.0.0"
          checksum: 10c0/b214d21dbfb4bce3452b6244b336806ffea9c05297148d32ebb428d5c43ce7545bdfc65a1ceb58c9ef4376a65c0cb2854d645f33961658b3e3b4f84910ddcdd7
          languageName: node
          linkType: hard

        "typescript@npm:5.3.3":
          version: 5.3.3
          resolution: "typescript@npm:5.3.3"
          bin:
            tsc: bin/tsc
            tsserver: bin/tsserver
          checksum: 10c0/e33cef99d82573624fc0f854a2980322714986bc35b9cb4d1ce736ed182aeab78e2cb32b385efa493b2a976ef52c53e20d6c6918312353a91850e2b76f1ea44f
          languageName: node
          linkType: hard

        "typescript@patch:typescript@npm%3A5.3.3#optional!builtin<compat/typescript>":
          version: 5.3.3
          resolution: "typescript@patch:typescript@npm%3A5.3.3#optional!builtin<compat/typescript>::version=5.3.3&hash=e012d7"
          bin:
            tsc: bin/tsc
            tsserver: bin/tsserver
          checksum: 10c0/1c131ce6fdbdcc8e3bb2b5ea0b19e10ebcb4b7a8fdd41cdc1ebdcb1cc2a5ab5066bf9f2b1b79d5c4c7a7c1c9a8dcf7e7d1c1b0f2a2a3fba3cf8a5a8f8e1de3e1
          languageName: node
          linkType: hard

        "web@workspace:.":
          version: 0.0.0-use.local
          resolution: "web@workspace:."
          dependencies:
            "@babel/core": "npm:^7.24.0"
            "@web/ui": "workspace:packages/ui"
            agent-base: "npm:6"
            typescript: "patch:typescript@npm%3A5.3.3#optional!builtin<compat/typescript>"
          languageName: unknown
          linkType: soft
        """,
}


@pytest.mark.parametrize("generation", YARN_BERRY_LOCKS)
def test_yarn_berry_locks_count_a_package_per_entry_and_leave_the_workspaces_out(generation):
    result = snap("npm", yarn=YARN_BERRY_LOCKS[generation])
    # The workspaces (root and member) are the project; typescript's npm and
    # patched entries are one package; direct means a workspace depends on it.
    assert deps(result) == [("@babel/core", "7.24.0", True), ("@babel/types", "7.24.0", False),
                            ("agent-base", "6.0.2", True), ("debug", "4.3.4", True), ("ms", "2.1.2", False),
                            ("semver", "6.3.1", False), ("to-fast-properties", "2.0.0", False),
                            ("typescript", "5.3.3", True)]
    assert result["snapshot"] == {"total_count": 8, "direct_count": 4, "max_depth": 3}


PNPM_LOCKS = {
    "5.4": """\
        lockfileVersion: 5.4
        specifiers:
          left: ^1.0.0
          tool: 3.0.0
        dependencies:
          left: 1.2.0_peer@1.0.0
        devDependencies:
          tool: 3.0.0
        packages:
          /left/1.2.0_peer@1.0.0:
            resolution: {integrity: sha512-a}
            dependencies:
              '@scope/mid': 2.0.0
              peer: 1.0.0
          /@scope/mid/2.0.0:
            resolution: {integrity: sha512-b}
            dependencies:
              deep: 0.1.0
          /peer/1.0.0:
            resolution: {integrity: sha512-c}
          /deep/0.1.0:
            resolution: {integrity: sha512-d}
          /tool/3.0.0:
            resolution: {integrity: sha512-e}
            dev: true
        """,
    "6.0": """\
        lockfileVersion: '6.0'
        importers:
          .:
            dependencies:
              left:
                specifier: ^1.0.0
                version: 1.2.0(peer@1.0.0)
              member:
                specifier: workspace:*
                version: link:packages/member
            devDependencies:
              tool:
                specifier: 3.0.0
                version: 3.0.0
          packages/member: {}
        packages:
          /left@1.2.0(peer@1.0.0):
            resolution: {integrity: sha512-a}
            dependencies:
              '@scope/mid': 2.0.0
              peer: 1.0.0
          /@scope/mid@2.0.0:
            resolution: {integrity: sha512-b}
            optionalDependencies:
              deep: 0.1.0
          /peer@1.0.0:
            resolution: {integrity: sha512-c}
          /deep@0.1.0:
            resolution: {integrity: sha512-d}
          /tool@3.0.0:
            resolution: {integrity: sha512-e}
        """,
    "9.0": """\
        lockfileVersion: '9.0'
        settings:
          autoInstallPeers: true
        importers:
          .:
            dependencies:
              left:
                specifier: ^1.0.0
                version: 1.2.0(peer@1.0.0)
            devDependencies:
              tool:
                specifier: 3.0.0
                version: 3.0.0
        packages:
          left@1.2.0:
            resolution: {integrity: sha512-a}
          '@scope/mid@2.0.0':
            resolution: {integrity: sha512-b}
          peer@1.0.0:
            resolution: {integrity: sha512-c}
          deep@0.1.0:
            resolution: {integrity: sha512-d}
          tool@3.0.0:
            resolution: {integrity: sha512-e}
        snapshots:
          left@1.2.0(peer@1.0.0):
            dependencies:
              '@scope/mid': 2.0.0
              peer: 1.0.0
          '@scope/mid@2.0.0':
            dependencies:
              deep: 0.1.0
          peer@1.0.0: {}
          deep@0.1.0: {}
          tool@3.0.0: {}
        """,
}


@pytest.mark.parametrize("version", sorted(PNPM_LOCKS))
def test_pnpm_lock_versions_give_one_snapshot(version):
    result = snap("npm", pnpm=PNPM_LOCKS[version])
    assert deps(result) == [("@scope/mid", "2.0.0", False), ("deep", "0.1.0", False), ("left", "1.2.0", True),
                            ("peer", "1.0.0", False), ("tool", "3.0.0", True)]
    assert result["snapshot"] == {"total_count": 5, "direct_count": 2, "max_depth": 3}


def test_pnpm_6_lock_of_a_single_project_keeps_its_dependencies_at_the_top():
    result = snap("npm", pnpm="""\
        lockfileVersion: '6.0'
        settings:
          autoInstallPeers: true
        dependencies:
          left:
            specifier: ^1.0.0
            version: 1.2.0
        devDependencies:
          tool:
            specifier: 3.0.0
            version: 3.0.0
        packages:
          /left@1.2.0:
            resolution: {integrity: sha512-a}
            dependencies:
              deep: 0.1.0
          /deep@0.1.0:
            resolution: {integrity: sha512-d}
          /tool@3.0.0:
            resolution: {integrity: sha512-e}
            dev: true
        """)
    assert deps(result) == [("deep", "0.1.0", False), ("left", "1.2.0", True), ("tool", "3.0.0", True)]
    assert result["snapshot"] == {"total_count": 3, "direct_count": 2, "max_depth": 2}


def test_pnpm_packages_from_a_directory_or_git_name_themselves():
    result = snap("npm", pnpm="""\
        lockfileVersion: '6.0'
        dependencies:
          local:
            specifier: file:vendor/local
            version: file:vendor/local
          remote:
            specifier: github:someone/remote
            version: github.com/someone/remote/0123abc
        packages:
          file:vendor/local:
            resolution: {directory: vendor/local, type: directory}
            name: local
            version: 1.0.0
            dependencies:
              deep: 0.1.0
          github.com/someone/remote/0123abc:
            resolution: {tarball: https://git.example/someone/remote/0123abc.tgz}
            name: remote
            version: 2.0.0
          /deep@0.1.0:
            resolution: {integrity: sha512-d}
        """)
    assert deps(result) == [("deep", "0.1.0", False), ("local", "1.0.0", True), ("remote", "2.0.0", True)]
    assert result["snapshot"] == {"total_count": 3, "direct_count": 2, "max_depth": 2}


# --- cargo, go, bundler ---------------------------------------------------------------------------


def test_cargo_toml_alone_and_virtual_workspaces():
    result = snap("cargo", cargo_toml="""\
        [package]
        name = "app"
        version = "0.1.0"
        [dependencies]
        serde = { version = "1.0", features = ["derive"] }
        local = { path = "../local" }
        shared = { workspace = true }
        [dev-dependencies]
        proptest = "=1.4.0"
        [target.'cfg(unix)'.build-dependencies]
        cc = "1"
        [workspace.dependencies]
        shared = "0.3"
        """)
    assert deps(result) == [("cc", "1", True), ("local", "", True), ("proptest", "=1.4.0", True),
                            ("serde", "1.0", True), ("shared", "0.3", True)]
    assert snap("cargo", cargo_toml='[workspace]\nmembers = ["a", "b"]\n') is None


def test_cargo_lock_members_are_the_project_and_ambiguous_names_carry_versions():
    lock = """\
        version = 3

        [[package]]
        name = "app"
        version = "0.1.0"
        dependencies = ["member", "serde", "rand 0.8.5"]

        [[package]]
        name = "member"
        version = "0.1.0"
        dependencies = ["rand 0.7.3 (registry+https://github.com/rust-lang/crates.io-index)"]

        [[package]]
        name = "serde"
        version = "1.0.200"
        source = "registry+https://github.com/rust-lang/crates.io-index"
        dependencies = ["serde_derive"]

        [[package]]
        name = "serde_derive"
        version = "1.0.200"
        source = "registry+https://github.com/rust-lang/crates.io-index"

        [[package]]
        name = "rand"
        version = "0.8.5"
        source = "registry+https://github.com/rust-lang/crates.io-index"

        [[package]]
        name = "rand"
        version = "0.7.3"
        source = "registry+https://github.com/rust-lang/crates.io-index"
        """
    result = snap("cargo", cargo_lock=lock, cargo_toml='[workspace]\nmembers = ["member"]\n')
    assert deps(result) == [("rand", "0.7.3", True), ("rand", "0.8.5", True), ("serde", "1.0.200", True),
                            ("serde_derive", "1.0.200", False)]
    assert result["snapshot"] == {"total_count": 4, "direct_count": 3, "max_depth": 2}


GO_MOD = """\
    module example.com/app

    go 1.22

    require example.com/single v1.0.0

    require (
        example.com/direct v1.2.3
        "example.com/quoted" v0.1.0
        example.com/transitive v2.0.0+incompatible // indirect
    )

    replace example.com/single => ../single

    exclude (
        example.com/old v0.0.1
    )
"""


def test_go_mod_counts_requires_and_go_sum_only_confirms():
    go_sum = "example.com/direct v1.2.3 h1:abc=\nexample.com/direct v1.2.3/go.mod h1:def=\n"
    result = snap("go", go_mod=GO_MOD, go_sum=go_sum)
    assert deps(result) == [("example.com/direct", "v1.2.3", True), ("example.com/quoted", "v0.1.0", True),
                            ("example.com/single", "v1.0.0", True),
                            ("example.com/transitive", "v2.0.0+incompatible", False)]
    assert result["snapshot"] == {"total_count": 4, "direct_count": 3}
    assert snap("go", go_sum=go_sum) is None


GEMFILE_LOCK = """\
    PATH
      remote: .
      specs:
        app (0.1.0)
          rack (>= 2)

    GIT
      remote: https://example.com/tool.git
      revision: 0123abc
      specs:
        tool (1.0.0)

    GEM
      remote: https://rubygems.org/
      specs:
        nokogiri (1.16.0)
          racc (~> 1.4)
        nokogiri (1.16.0-x86_64-linux)
          racc (~> 1.4)
        racc (1.7.3)
        rack (3.0.9)
        rails (7.1.3)
          rack
          nokogiri (>= 1.8)

    PLATFORMS
      ruby
      x86_64-linux

    DEPENDENCIES
      app!
      rails (~> 7.1)
      tool!

    BUNDLED WITH
       2.5.6
"""


def test_gemfile_lock_dependencies_and_the_gemspec_project():
    result = snap("bundler", gemfile_lock=GEMFILE_LOCK)
    # nokogiri is locked once per platform, but it is one gem at one version.
    assert deps(result) == [("nokogiri", "1.16.0", False), ("racc", "1.7.3", False), ("rack", "3.0.9", True),
                            ("rails", "7.1.3", True), ("tool", "1.0.0", True)]
    assert result["snapshot"] == {"total_count": 5, "direct_count": 3, "max_depth": 3}


# --- refusals -------------------------------------------------------------------------------------


@pytest.mark.parametrize("ecosystem, name, text, problem", [
    ("pip", "requirements.txt", "good==1.0\nnot a requirement!!\n", "line 2: not a valid requirement"),
    ("pip", "requirements-ci.txt", "ok\nbad ==\n", "line 2"),
    ("pip", "pyproject.toml", "[project\n", "invalid TOML"),
    ("pip", "pyproject.toml", '[project]\ndependencies = "requests"\n', "is not a list"),
    ("pip", "pyproject.toml", '[project]\ndependencies = ["ok", "@@"]\n', "not a valid requirement"),
    ("pip", "pyproject.toml", "[tool.poetry.dependencies]\nx = 3\n", "neither a constraint"),
    ("pip", "setup.cfg", "[options]\ninstall_requires =\n    ok\n    @@\n", "not a valid requirement"),
    ("pip", "setup.cfg", "[options]\n[options]\n", "not a valid setup.cfg"),
    ("pip", "Pipfile", '[packages]\nx = ["1"]\n', "is not a table"),
    ("pip", "Pipfile", '[packages]\nx = 1\n', "neither a constraint"),
    ("pip", "uv.lock", 'version = 1\n[[package]]\nversion = "1"\n', "name is not a string"),
    ("pip", "poetry.lock", '[[package]]\nname = "a"\n', "version is not a string"),
    ("pip", "Pipfile.lock", '{"default": {"a": "==1"}}', "is not a table"),
    ("pip", "Pipfile.lock", '{"default": ', "invalid JSON"),
    ("npm", "package.json", '["not", "an", "object"]', "the document is not a table"),
    ("npm", "package.json", '{"dependencies": {"a": 1}}', "'dependencies' entry 'a' is not a string"),
    ("npm", "package-lock.json", '{"packages": {"node_modules/a": {"version": 1}}}', "'version' is not a string"),
    ("npm", "package-lock.json", '{"dependencies": {"a": {"requires": []}}}', "'requires' is not a table"),
    ("npm", "yarn.lock", 'a@^1:\n  version "1.0.0"\n    stray "x"\n', "line 3"),
    ("npm", "yarn.lock", 'a@^1:\n  resolved "https://x"\n', "line 1: the entry has no version"),
    ("npm", "yarn.lock", 'a@^1\n  version "1.0.0"\n', "line 1"),
    ("npm", "yarn.lock", 'a@^1:\n  version "1.0.0\n', "line 2"),
    ("npm", "yarn.lock", '__metadata:\n  version: 8\n"a@npm:^1":\n  version: 1.0.0\n', "has no resolution"),
    ("npm", "pnpm-lock.yaml", "lockfileVersion: '7.0'\n", "unsupported lockfileVersion"),
    ("npm", "pnpm-lock.yaml", "lockfileVersion: '9.0'\nsnapshots: [\n", "invalid YAML"),
    ("npm", "pnpm-lock.yaml", "lockfileVersion: '9.0'\nsnapshots:\n  nonsense: {}\n", "is not name@range"),
    ("npm", "pnpm-lock.yaml", "lockfileVersion: '6.0'\nimporters:\n  .:\n    dependencies:\n      a: {specifier: x}\n",
     "is not a string"),
    ("cargo", "Cargo.toml", '[package]\nname = "a"\n[dependencies]\nx = 1\n', "is not a string"),
    ("cargo", "Cargo.lock", '[[package]]\nname = "a"\nversion = "1"\ndependencies = ["a b c d"]\n',
     "cannot read the dependency"),
    ("go", "go.mod", "module m\nrequire (\n  example.com/a\n)\n", "line 3"),
    ("go", "go.mod", "module m\nrequire (\n  example.com/a v1.0.0\n", "not closed"),
    ("go", "go.mod", "module m\nrequires example.com/a v1.0.0\n", "unknown directive"),
    ("go", "go.sum", "example.com/a v1.0.0\n", "line 1"),
    ("bundler", "Gemfile.lock", "GEM\n  specs:\n    rack 3.0\n", "line 3"),
    ("bundler", "Gemfile.lock", "DEPENDENCIES\n  rails (~> 7\n", "line 2"),
])
def test_malformed_files_are_refused_naming_the_file(ecosystem, name, text, problem):
    with pytest.raises(ManifestError) as caught:
        snapshot(ecosystem, {name: text.encode()})
    assert str(caught.value).startswith(f"{name}: ")
    assert problem in str(caught.value)


def test_text_that_is_not_utf8_is_refused():
    with pytest.raises(ManifestError, match=r"^go\.mod: not UTF-8"):
        snapshot("go", {"go.mod": b"module m\nrequire caf\xe9 v1.0.0\n"})
    assert snapshot("pip", {"requirements.txt": "\ufeffa==1\n".encode()})["dependencies"][0]["name"] == "a"


def test_files_of_another_ecosystem_or_an_unknown_ecosystem_are_caller_errors():
    with pytest.raises(ValueError, match="not npm manifest or lock files: go.mod"):
        snapshot("npm", {"go.mod": b"module m\n"})
    with pytest.raises(ValueError, match="unknown ecosystem"):
        snapshot("maven", {})

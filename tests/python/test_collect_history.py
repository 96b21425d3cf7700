"""Events read from files in the history: API schemas, Terraform, releases,
and the incremental walk they share."""

import json

import pytest
import yaml

from varnel.collect.hcl import HCLError, blocks
from varnel.collect.history import collect_history
from varnel.collect.openapi import OpenAPISource
from varnel.collect.releases import collect_releases, version_of
from varnel.collect.terraform import TerraformSource
from varnel.config import Config
from helpers import by_family, commit, git

PETS_V1 = """openapi: 3.0.3
info: {title: Pets, version: "1.0"}
paths:
  /pets:
    get: {}
    post: {}
    parameters: []
components:
  schemas:
    Pet:
      properties: {id: {type: integer}, name: {type: string}}
"""
PETS_V2 = """openapi: 3.0.3
info: {title: Pets, version: "1.1"}
paths:
  /pets: {get: {}}
  /pets/{id}: {get: {}, delete: {}}
components:
  schemas:
    Pet:
      properties: {id: {type: integer}, tag: {type: string}}
    Error:
      allOf:
        - $ref: '#/components/schemas/Base'
        - properties: {code: {type: integer}, message: {type: string}}
"""


def schemas(repo, ws):
    return collect_history(repo, ws, [OpenAPISource()])


class TestOpenAPI:
    def test_structure_and_diff_against_the_previous_version(self, repo, tmp_path):
        first = commit(repo, {"api/openapi.yaml": PETS_V1}, "Describe the API", date="2026-01-01T00:00:00Z")
        commit(repo, {"README": "x"}, "Unrelated", date="2026-01-02T00:00:00Z")
        second = commit(repo, {"api/openapi.yaml": PETS_V2}, "Grow the API", date="2026-01-03T00:00:00Z")
        result = schemas(repo, tmp_path / "ws")
        assert (result.added, result.events) == (2, {"schema": 2})
        one, two = by_family(tmp_path / "ws", "schema")
        assert one["source_type"] == "openapi" and one["observed_at"] == "2026-01-01T00:00:00Z"
        assert one["payload"]["structure"] == {"endpoint_count": 2, "type_count": 1, "field_count": 2}
        assert "diff" not in one["payload"]
        assert one["payload"]["trigger"] == {"commit_sha": first, "commit_message": "Describe the API"}
        assert two["payload"]["structure"] == {"endpoint_count": 3, "type_count": 2, "field_count": 4}
        assert two["payload"]["diff"] == {"endpoints_added": 2, "endpoints_removed": 1, "types_added": 1,
                                          "types_removed": 0, "fields_added": 3, "fields_removed": 1}
        assert two["payload"]["endpoints_added"] == ["DELETE /pets/{id}", "GET /pets/{id}"]
        assert two["payload"]["endpoints_removed"] == ["POST /pets"]
        assert two["payload"]["trigger"]["commit_sha"] == second

    def test_the_documents_are_one_api_surface(self, repo, tmp_path):
        swagger = {"swagger": "2.0", "paths": {"/a": {"get": {}}}, "definitions": {"A": {"properties": {"x": {}}}}}
        commit(repo, {"swagger.json": json.dumps(swagger)}, "one API", date="2026-01-01T00:00:00Z")
        commit(repo, {"svc/Billing.OpenAPI.yml": PETS_V1}, "two APIs", date="2026-01-02T00:00:00Z")
        schemas(repo, tmp_path / "ws")
        one, two = (e["payload"] for e in by_family(tmp_path / "ws", "schema"))
        assert one["structure"] == {"endpoint_count": 1, "type_count": 1, "field_count": 1}
        assert two["structure"] == {"endpoint_count": 3, "type_count": 2, "field_count": 3}
        assert [(d["document"], d["openapi_version"], d["endpoint_count"]) for d in two["documents"]] == [
            ("svc/Billing.OpenAPI.yml", "3.0.3", 2), ("swagger.json", "2.0", 1)]
        # With several documents, each endpoint is named with its own.
        assert two["diff"]["endpoints_added"] == 2 and two["diff"]["types_added"] == 1
        assert two["endpoints_added"] == ["svc/Billing.OpenAPI.yml: GET /pets", "svc/Billing.OpenAPI.yml: POST /pets"]

    def test_files_that_are_not_api_documents_give_nothing(self, repo, tmp_path):
        commit(repo, {"openapi-generator.yaml": "generatorName: python\n", "docs/swagger-notes.json": "[1, 2]"}, "c")
        result = schemas(repo, tmp_path / "ws")
        assert (result.added, result.warnings) == (0, [])

    def test_a_malformed_document_is_reported_and_skipped(self, repo, tmp_path):
        commit(repo, {"openapi.yaml": PETS_V1}, "good", date="2026-01-01T00:00:00Z")
        bad = commit(repo, {"openapi.yaml": "paths: [unclosed\n"}, "bad", date="2026-01-02T00:00:00Z")
        commit(repo, {"openapi.yaml": PETS_V2}, "mended", date="2026-01-03T00:00:00Z")
        result = schemas(repo, tmp_path / "ws")
        # The broken version gets no event: its endpoint count cannot stand unknown.
        assert result.added == 2
        summary, full_list = result.warnings
        assert bad[:12] in summary and "openapi.yaml: not valid YAML" in summary
        assert full_list.endswith("collection-warnings.txt")
        # After an unreadable version there is nothing to compare with.
        assert "diff" not in by_family(tmp_path / "ws", "schema")[1]["payload"]


    def test_malformed_documents_are_left_out_with_a_warning(self, repo, tmp_path):
        commit(repo, {"a/openapi.json": '{"openapi": "3.0.0", "components": ["Pet"]}',
                      "b/openapi.yaml": "openapi: 3.0.0\ncomponents:\n  schemas:\n    A: &a\n      allOf: [*a]\n",
                      "c/openapi.json": '{"openapi": "3.0.0", "x": ' + "[" * 100000 + "]" * 100000 + "}",
                      "d/openapi.yaml": PETS_V1}, "c")
        result = schemas(repo, tmp_path / "ws")
        assert result.added == 1 and len(result.warnings) == 3, result.warnings
        assert "a/openapi.json: 'components' is not a map" in result.warnings[0]
        assert "c/openapi.json: not valid JSON" in result.warnings[1]
        listed = (tmp_path / "ws" / "collection-warnings.txt").read_text(encoding="utf-8")
        assert "a/openapi.json" in listed and "c/openapi.json" in listed
        event, = by_family(tmp_path / "ws", "schema")
        assert event["payload"]["unreadable"] == ["a/openapi.json", "c/openapi.json"]
        found = {d["document"]: d["type_count"] for d in event["payload"]["documents"]}
        assert found == {"b/openapi.yaml": 1, "d/openapi.yaml": 1}

    def test_a_document_kept_twice_counts_once(self, repo, tmp_path):
        stale = yaml.safe_load(PETS_V2)
        del stale["paths"]["/pets/{id}"]  # a rendering of the same title and version, made before a change
        billing = "openapi: 3.0.0\ninfo: {title: Billing, version: '1'}\npaths: {/invoices: {get: {}}}\n"
        commit(repo, {"api/openapi.yaml": PETS_V2}, "the API", date="2026-01-01T00:00:00Z")
        commit(repo, {"docs/openapi.yaml": PETS_V2}, "publish it", date="2026-01-02T00:00:00Z")
        (repo / "site" / "reference").mkdir(parents=True)
        (repo / "docs" / "openapi.yaml").rename(repo / "site" / "reference" / "pets-openapi.yaml")
        commit(repo, {}, "move the docs", date="2026-01-03T00:00:00Z")
        commit(repo, {"api/generated/openapi.json": json.dumps(stale)}, "render it", date="2026-01-04T00:00:00Z")
        commit(repo, {"docs/billing.openapi.yaml": billing}, "another API", date="2026-01-05T00:00:00Z")
        schemas(repo, tmp_path / "ws")
        *copied, other = (e["payload"] for e in by_family(tmp_path / "ws", "schema"))
        for payload in copied:
            assert payload["structure"] == {"endpoint_count": 3, "type_count": 2, "field_count": 4}
            assert [d["document"] for d in payload["documents"]] == ["api/openapi.yaml"]
        assert all(count == 0 for payload in copied[1:] for count in payload["diff"].values())
        assert copied[-1]["copies"] == [
            {"document": "api/generated/openapi.json", "copy_of": "api/openapi.yaml"},
            {"document": "site/reference/pets-openapi.yaml", "copy_of": "api/openapi.yaml"}]
        # Another API in a docs folder is no copy.
        assert other["structure"]["endpoint_count"] == 4 and other["diff"]["endpoints_added"] == 1

    def test_which_copy_counts_is_chosen_by_place_never_by_history(self, repo, tmp_path):
        other = PETS_V1.replace("/pets:", "/animals:")  # same title and version, another service's API
        commit(repo, {"server/openapi.yaml": PETS_V1}, "the API", date="2026-01-01T00:00:00Z")
        commit(repo, {"openapi.yaml": PETS_V1}, "a copy at the top", date="2026-01-02T00:00:00Z")
        commit(repo, {"services/zoo/openapi.yaml": other}, "a second service", date="2026-01-03T00:00:00Z")
        schemas(repo, tmp_path / "ws")
        first, copied, two = (e["payload"] for e in by_family(tmp_path / "ws", "schema"))
        # Identical documents: the shorter path counts, and the switch to it is no change.
        assert [d["document"] for d in copied["documents"]] == ["openapi.yaml"]
        assert copied["structure"] == first["structure"] and set(copied["diff"].values()) == {0}
        # Outside docs folders a shared title and version does not make a copy.
        assert two["structure"]["endpoint_count"] == 4
        assert [d["document"] for d in two["documents"]] == ["openapi.yaml", "services/zoo/openapi.yaml"]


TF_V1 = """
# network
resource "aws_vpc" "main" {
  cidr_block = "10.0.0.0/16" # a comment
}
resource "aws_subnet" "a" { vpc_id = aws_vpc.main.id }
"""
TF_V2 = """
resource "aws_vpc" "main" {
  cidr_block = "10.0.0.0/16"   // layout and comments changed only
}
resource "aws_subnet" "a" { vpc_id = "${aws_vpc.main.id}-x" }
resource "aws_subnet" "b" { vpc_id = aws_vpc.main.id }
"""


class TestTerraform:
    def test_whole_configuration_with_diff(self, repo, tmp_path):
        commit(repo, {"infra/net.tf": TF_V1, "infra/s3.tf": 'resource "aws_s3_bucket" "logs" {}'}, "infra",
               date="2026-01-01T00:00:00Z")
        commit(repo, {"infra/net.tf": TF_V2, "vendor/mod/x.tf": 'resource "a" "b" {}',
                      "modules/db/main.tf": 'resource "aws_subnet" "a" {}'}, "more", date="2026-01-02T00:00:00Z")
        collect_history(repo, tmp_path / "ws", [TerraformSource()])
        one, two = by_family(tmp_path / "ws", "config")
        assert one["source_type"] == "terraform"
        assert one["payload"]["structure"] == {"resource_count": 3, "resource_types": 3}
        # modules/db's subnet is its own resource; the vendored module is not the project's.
        assert two["payload"]["structure"] == {"resource_count": 5, "resource_types": 3}
        assert two["payload"]["diff"] == {"resources_added": 2, "resources_removed": 0, "resources_modified": 1}

    def test_removed_resources_and_a_deleted_configuration(self, repo, tmp_path):
        commit(repo, {"main.tf": TF_V1}, "one", date="2026-01-01T00:00:00Z")
        commit(repo, {"main.tf": 'resource "aws_vpc" "main" {\n  cidr_block = "10.0.0.0/16"\n}\n'}, "two",
               date="2026-01-02T00:00:00Z")
        git(repo, "rm", "-q", "main.tf")
        git(repo, "commit", "-q", "-m", "drop terraform", date="2026-01-03T00:00:00Z")
        collect_history(repo, tmp_path / "ws", [TerraformSource()])
        found = by_family(tmp_path / "ws", "config")
        assert len(found) == 2  # no configuration left: nothing to measure
        assert found[1]["payload"]["diff"] == {"resources_added": 0, "resources_removed": 1,
                                               "resources_modified": 0}

    def test_settings_directories_are_vendored_too(self, repo, tmp_path):
        commit(repo, {"main.tf": TF_V1, "generated/x.tf": 'resource "a" "b" {}'}, "c")
        collect_history(repo, tmp_path / "ws", [TerraformSource()], Config(exclude_paths=("generated/**",)))
        assert by_family(tmp_path / "ws", "config")[0]["payload"]["structure"]["resource_count"] == 2

    def test_a_file_defining_a_resource_again_is_left_out(self, repo, tmp_path):
        commit(repo, {"a.tf": 'resource "x" "y" {}', "b.tf": 'resource "x" "y" {}\nresource "x" "z" {}'}, "c")
        result = collect_history(repo, tmp_path / "ws", [TerraformSource()])
        assert result.added == 1 and "b.tf: the resource x.y is defined twice" in result.warnings[0]
        event, = by_family(tmp_path / "ws", "config")
        assert event["payload"]["structure"]["resource_count"] == 1 and event["payload"]["unreadable"] == ["b.tf"]

    def test_a_configuration_that_cannot_be_read_at_all_gives_no_event(self, repo, tmp_path):
        sha = commit(repo, {"main.tf": 'resource "x" "y" {'}, "c", date="2026-01-05T10:00:00Z")
        result = collect_history(repo, tmp_path / "ws", [TerraformSource()])
        assert result.added == 0 and len(result.problems) == 1
        # The warning says when, as every other line about a commit does.
        assert f"main.tf in the top directory could not be read (commit {sha[:12]} of 2026-01-05)" \
            in result.warnings[0]


class TestHCL:
    def test_braces_hidden_in_strings_templates_heredocs_and_comments(self):
        source = '''
variable "x" { default = "}" }
resource "aws_instance" "web" {
  ami       = "${var.x}-${lookup(m, "k}")}"
  literal   = "$${not a template {"
  user_data = <<-EOT
    echo }
    EOT
  /* } */ tags = { a = [1, { b = 2 }] } // }
}
name = "top-level attribute {"
list = [
  "x",
]
resource aws_s3_bucket logs {}
'''
        found = [(b.kind, b.labels) for b in blocks(source)]
        assert found == [("variable", ("x",)), ("resource", ("aws_instance", "web")),
                         ("resource", ("aws_s3_bucket", "logs"))]

    def test_layout_and_comments_do_not_change_a_body(self):
        one, = blocks('resource "a" "b" {\n  x = 1 # one\n  y = "a  b"\n}')
        two, = blocks('resource "a" "b" { x = 1\n\n/* two */ y = "a  b" }')
        three, = blocks('resource "a" "b" { x = 1 y = "a b" }')
        assert one.digest == two.digest != three.digest

    def test_spacing_around_punctuation_is_layout(self):
        tidy, = blocks('resource "a" "b" {\n  x    = [1, 2]\n  t = { k = "v=w" }\n  s = <<EOT\n/*\nEOT\n}')
        cramped, = blocks('resource "a" "b" {\n  x=[1,2]\n  t={k="v=w"}\n  s=<<EOT\n/*\nEOT\n}')
        changed, = blocks('resource "a" "b" {\n  x=[1,2]\n  t={k="v = w"}\n  s=<<EOT\n/*\nEOT\n}')
        assert tidy.digest == cramped.digest != changed.digest

    def test_heredoc_text_is_data_not_code(self):
        def body(script):
            return f'resource "aws_instance" "web" {{\n  user_data = <<-EOT\n{script}\n    EOT\n}}\n'

        one, = blocks(body('    cp /tmp/* /opt/\n    echo "it is\n    # step one'))
        two, = blocks(body('    cp /tmp/* /opt/\n    echo "it is\n    # step two'))
        assert one.labels == ("aws_instance", "web") and one.digest != two.digest

    @pytest.mark.parametrize("source, message", [
        ('resource "a" "b" {', "never closed (missing '}')"),
        ('x = "abc', "a string is never closed"),
        ('resource "a" "b" {\n  y = <<EOF\nno end\n}', "the heredoc EOF is never closed"),
        ("/* open", "comment is never closed"),
        ('resource "a" "b" { x = [1, 2 }', "'}' where ']' closes"),
        ("}", "unexpected '}' at the top level"),
        ('stray\nresource "a" "b" {}', "'stray' has no body"),
        ('resource "a" "b"\n{}', "'resource' has no body"),
    ])
    def test_malformed_text_is_refused_with_its_line(self, source, message):
        with pytest.raises(HCLError, match="^line \\d+: .*" + message.replace("(", "\\(").replace(")", "\\)")
                           .replace("[", "\\[").replace("]", "\\]")):
            blocks(source)


class TestReleases:
    @pytest.mark.parametrize("tag, expected", [
        ("v1.2.3", ("1.2.3", False)), ("1.2.3-rc.1", ("1.2.3-rc.1", True)), ("api/v2.0.0", ("2.0.0", False)),
        ("pkg@1.0.0b1", ("1.0.0b1", True)), ("2.0.dev3", ("2.0.dev3", True)), ("v1.0", ("1.0", False)),
        ("1.0.0-1", ("1.0.0-1", True)), ("1.0.0+build.7", ("1.0.0+build.7", False)), ("3.1rc2", ("3.1rc2", True)),
        ("deploy-staging", None), ("release-1.0", None), ("vv1.0", None), ("latest", None),
    ])
    def test_version_tags(self, tag, expected):
        assert version_of(tag) == expected

    def test_release_events_with_cadence_and_commit(self, repo, tmp_path):
        first = commit(repo, {"a": "1"}, "First release", date="2026-01-01T00:00:00Z")
        git(repo, "tag", "v1.0.0")
        second = commit(repo, {"a": "2"}, "Second", date="2026-01-01T06:00:00Z")
        git(repo, "tag", "not-a-version")
        git(repo, "tag", "-a", "v1.1.0-rc.1", "-m", "rc", date="2026-01-02T00:00:00+01:00")
        result = collect_releases(repo, tmp_path / "ws")
        assert (result.releases, result.passed_over, result.written) == (2, 1, 2)
        one, two = by_family(tmp_path / "ws", "deployment")
        assert one == {"event_id": "release-v1.0.0", "source_type": "github_releases",
                       "source_family": "deployment", "observed_at": "2026-01-01T00:00:00Z",
                       "payload": {"tag": "v1.0.0", "version": "1.0.0", "is_prerelease": False, "annotated": False,
                                   "asset_count": 0, "timing": {"initiated_at": "2026-01-01T00:00:00Z"},
                                   "trigger": {"commit_sha": first, "commit_message": "First release"}}}
        assert two["payload"]["is_prerelease"] and two["payload"]["annotated"]
        assert two["payload"]["timing"] == {"initiated_at": "2026-01-01T23:00:00Z", "since_previous_seconds": 82800}
        assert two["payload"]["trigger"]["commit_sha"] == second

    def test_only_tags_reachable_from_head_are_releases(self, repo, tmp_path):
        commit(repo, {"a": "1"}, "one", date="2026-01-01T00:00:00Z")
        git(repo, "tag", "v1.0.0")
        git(repo, "checkout", "-q", "-b", "abandoned")
        commit(repo, {"b": "1"}, "experiment", date="2026-01-02T00:00:00Z")
        git(repo, "tag", "v2.0.0-alpha.1")
        git(repo, "tag", "-a", "v2.0.0-alpha.2", "-m", "alpha", "v2.0.0-alpha.1")  # a tag of that tag
        git(repo, "checkout", "-q", "-b", "fix", "main")
        fix = commit(repo, {"c": "1"}, "fix", date="2026-01-03T00:00:00Z")
        git(repo, "tag", "v1.0.1")
        git(repo, "checkout", "-q", "main")
        git(repo, "merge", "-q", "--no-ff", "fix", "-m", "merge fix", date="2026-01-04T00:00:00Z")
        result = collect_releases(repo, tmp_path / "ws")
        # The merged branch's tag counts; the abandoned branch's tags are neither releases nor passed over.
        assert (result.releases, result.passed_over) == (2, 0)
        first, second = by_family(tmp_path / "ws", "deployment")
        assert [first["payload"]["tag"], second["payload"]["tag"]] == ["v1.0.0", "v1.0.1"]
        assert second["payload"]["trigger"]["commit_sha"] == fix
        assert second["payload"]["timing"]["since_previous_seconds"] == 2 * 86400
        git(repo, "merge", "-q", "abandoned", "-m", "take the experiment", date="2026-01-05T00:00:00Z")
        assert collect_releases(repo, tmp_path / "ws").releases == 4  # reachable once merged

    def test_a_repository_without_commits_has_no_releases(self, repo, tmp_path):
        assert collect_releases(repo, tmp_path / "ws").releases == 0

    def test_an_annotated_tag_of_a_tag_is_a_release_of_its_commit(self, repo, tmp_path):
        first = commit(repo, {"a": "1"}, "one")
        git(repo, "tag", "-a", "v1.0.0", "-m", "first")
        git(repo, "tag", "-a", "v1.0.1", "-m", "again", "v1.0.0")
        collect_releases(repo, tmp_path / "ws")
        assert [e["payload"]["trigger"]["commit_sha"] for e in by_family(tmp_path / "ws", "deployment")] == [first] * 2

    def test_tag_names_with_unicode_line_separators(self, repo, tmp_path):
        commit(repo, {"a": "1"}, "one")
        for tag in ("v1.0.0", "notes\u2028draft", "next\u0085"):
            git(repo, "tag", tag)
        result = collect_releases(repo, tmp_path / "ws")
        assert (result.releases, result.passed_over) == (1, 2)

    def test_moved_and_deleted_tags(self, repo, tmp_path):
        commit(repo, {"a": "1"}, "one", date="2026-01-01T00:00:00Z")
        git(repo, "tag", "v1.0.0")
        git(repo, "tag", "v1.0.1")
        collect_releases(repo, tmp_path / "ws")
        assert collect_releases(repo, tmp_path / "ws").written == 0  # nothing changed
        moved = commit(repo, {"a": "2"}, "two", date="2026-01-05T00:00:00Z")
        git(repo, "tag", "-f", "v1.0.1")
        git(repo, "tag", "-d", "v1.0.0")
        result = collect_releases(repo, tmp_path / "ws")
        assert (result.written, result.removed) == (1, 1)
        only, = by_family(tmp_path / "ws", "deployment")
        assert only["payload"]["trigger"]["commit_sha"] == moved and "since_previous_seconds" not in only["payload"]["timing"]


class TestIncrementalWalk:
    def test_a_second_run_reads_only_new_commits_and_keeps_diffs_right(self, repo, tmp_path):
        ws = tmp_path / "ws"
        commit(repo, {"openapi.json": json.dumps({"openapi": "3.1.0", "paths": {"/a": {"get": {}}}})}, "one",
               date="2026-01-01T00:00:00Z")
        assert schemas(repo, ws).added == 1
        assert schemas(repo, ws).added == 0
        commit(repo, {"openapi.json": json.dumps({"openapi": "3.1.0", "paths": {"/a": {"get": {}, "put": {}}}})},
               "two", date="2026-01-02T00:00:00Z")
        assert schemas(repo, ws).added == 1
        newest = by_family(ws, "schema")[-1]
        assert newest["payload"]["diff"]["endpoints_added"] == 1  # compared with a commit of the earlier run

    def test_rewritten_history_drops_events_of_lost_commits(self, repo, tmp_path):
        ws = tmp_path / "ws"
        commit(repo, {"main.tf": TF_V1}, "one", date="2026-01-01T00:00:00Z")
        commit(repo, {"main.tf": TF_V2}, "two", date="2026-01-02T00:00:00Z")
        collect_history(repo, ws, [TerraformSource()])
        git(repo, "reset", "-q", "--hard", "HEAD~1")
        result = collect_history(repo, ws, [TerraformSource()])
        assert (result.removed, result.events) == (1, {"config": 1})

    def test_each_run_writes_what_a_fresh_collection_writes(self, repo, tmp_path):
        """A chain that grew is walked from where the last run stopped; any
        other change of HEAD, or an event gone, is walked whole."""
        from varnel.collect.dependencies import DependencySource

        ws, step = tmp_path / "ws", iter(range(1, 100))

        def grow(count):
            for _ in range(count):
                n = next(step)
                commit(repo, {"requirements.txt": "".join(f"p{k}==1\n" for k in range(n % 7 + 1)), f"f{n}": "x"},
                       f"change {n}", date=f"2026-01-{n:02d}T00:00:00Z")

        def as_fresh():
            sources = [DependencySource(), OpenAPISource(), TerraformSource()]
            collect_history(repo, ws, sources)
            fresh = tmp_path / f"fresh{next(step)}"
            collect_history(repo, fresh, sources)
            read = lambda w: {p.name: p.read_bytes() for p in (w / "events").iterdir()}  # noqa: E731
            assert read(ws) == read(fresh) and read(ws)

        grow(3)
        as_fresh()
        grow(2)
        as_fresh()
        git(repo, "reset", "-q", "--hard", "HEAD~3")  # rewritten: two lost, one new
        grow(1)
        as_fresh()
        git(repo, "checkout", "-q", "-b", "side")
        grow(2)
        git(repo, "checkout", "-q", "main")
        git(repo, "merge", "-q", "--no-ff", "side", "-m", "merge", date="2026-02-01T00:00:00Z")
        as_fresh()
        sorted((ws / "events").iterdir())[0].unlink()  # an earlier commit's event removed by hand
        as_fresh()

    def test_the_mainline_is_read_and_a_merge_brings_its_branch(self, repo, tmp_path):
        def reqs(a, e, extra=""):
            return f"a=={a}\nb==1\nc==1\nd==1\ne=={e}\n{extra}"

        commit(repo, {"requirements.txt": reqs(1, 1)}, "base", date="2026-01-01T00:00:00Z")
        git(repo, "checkout", "-q", "-b", "side")
        commit(repo, {"requirements.txt": reqs(2, 1)}, "side: bump a", date="2026-01-02T00:00:00Z")
        git(repo, "checkout", "-q", "main")
        commit(repo, {"requirements.txt": reqs(1, 2)}, "main: bump e", date="2026-01-03T00:00:00Z")
        git(repo, "merge", "-q", "side", "-m", "merge", date="2026-01-04T00:00:00Z")
        commit(repo, {"requirements.txt": reqs(2, 2, "z==1\n")}, "add z", date="2026-01-05T00:00:00Z")
        ws = tmp_path / "ws"
        from varnel.collect.dependencies import DependencySource

        collect_history(repo, ws, [DependencySource()])
        diffs = {e["payload"]["trigger"]["commit_message"]: e["payload"].get("diff") for e in by_family(ws, "dependency")}
        # The side branch's own state is never the project's; the merge brings its change, against main.
        assert diffs == {"base": None, "main: bump e": {"added": 0, "removed": 0, "updated": 1},
                         "merge": {"added": 0, "removed": 0, "updated": 1},
                         "add z": {"added": 1, "removed": 0, "updated": 0}}

    def test_symlinks_are_not_read_as_the_files_they_point_to(self, repo, tmp_path):
        commit(repo, {"main.tf": TF_V1, "openapi.json": json.dumps({"openapi": "3.1.0", "paths": {"/a": {"get": {}}}})},
               "c")
        (repo / "env").mkdir()
        (repo / "env" / "main.tf").symlink_to("../main.tf")
        (repo / "env" / "openapi.json").symlink_to("../openapi.json")
        commit(repo, {}, "link")
        result = collect_history(repo, tmp_path / "ws", [OpenAPISource(), TerraformSource()])
        assert result.warnings == []
        last = [by_family(tmp_path / "ws", family)[-1]["payload"] for family in ("schema", "config")]
        assert last[0]["structure"]["endpoint_count"] == 1 and last[1]["structure"]["resource_count"] == 2

    def test_repositories_with_sha256_object_ids(self, tmp_path):
        repo = tmp_path / "repo"
        repo.mkdir()
        git(repo, "init", "-q", "-b", "main", "--object-format=sha256")
        commit(repo, {"infra/main.tf": TF_V1, "infra/more/s3.tf": 'resource "aws_s3_bucket" "logs" {}'}, "c")
        collect_history(repo, tmp_path / "ws", [TerraformSource()])
        event, = by_family(tmp_path / "ws", "config")
        assert event["payload"]["structure"]["resource_count"] == 3

    def test_other_collectors_events_are_left_alone_and_empty_repositories_work(self, repo, tmp_path):
        ws = tmp_path / "ws"
        (ws / "events").mkdir(parents=True)
        (ws / "events" / "ingest-testing-1.json").write_text("{}")
        assert collect_history(repo, ws, [OpenAPISource(), TerraformSource()]).events == {"schema": 0, "config": 0}
        assert (ws / "events" / "ingest-testing-1.json").exists()


def lock(*packages):
    """A package-lock.json (v3) of app depending on the first package; each depends on the next."""
    entries = {"": {"name": "app", "dependencies": {packages[0][0]: "*"}}}
    for i, (name, version) in enumerate(packages):
        entries[f"node_modules/{name}"] = {"version": version, **(
            {"dependencies": {packages[i + 1][0]: "*"}} if i + 1 < len(packages) else {})}
    return json.dumps({"name": "app", "lockfileVersion": 3, "packages": entries})


class TestDependencies:
    def dependencies(self, repo, ws, config=None):
        from varnel.collect.dependencies import DependencySource

        return collect_history(repo, ws, [DependencySource()], config)

    def test_one_snapshot_of_the_whole_repository_with_diffs(self, repo, tmp_path):
        ws = tmp_path / "ws"
        first = commit(repo, {"web/package.json": '{"dependencies": {"a": "^1"}}',
                              "web/package-lock.json": lock(("a", "1.0.0"), ("b", "2.0.0")),
                              "requirements.txt": "requests==2.31.0\n# a comment\nflask>=2\n",
                              "node_modules/x/package.json": '{"dependencies": {"q": "1"}}'},
                       "Start", date="2026-01-01T00:00:00Z")
        commit(repo, {"src/app.py": "x"}, "Code only", date="2026-01-02T00:00:00Z")
        second = commit(repo, {"web/package-lock.json": lock(("a", "1.1.0"), ("b", "2.0.0"), ("c", "3.0.0"))},
                        "Bump a, add c", date="2026-01-03T00:00:00Z")
        result = self.dependencies(repo, ws)
        assert (result.added, result.warnings) == (2, [])
        one, two = by_family(ws, "dependency")
        assert [one["payload"]["trigger"]["commit_sha"], two["payload"]["trigger"]["commit_sha"]] == [first, second]
        assert one["source_type"] == "dependency_snapshot"
        assert (one["payload"]["ecosystem"], one["payload"]["ecosystems"]) == ("npm", ["npm", "pip"])
        assert one["payload"]["snapshot"] == {"total_count": 4, "direct_count": 3, "max_depth": 2}
        assert one["payload"]["manifests"] == [
            {"directory": ".", "ecosystem": "pip", "total_count": 2, "direct_count": 2},
            {"directory": "web", "ecosystem": "npm", "total_count": 2, "direct_count": 1, "max_depth": 2}]
        assert one["payload"]["dependencies"] == [
            {"name": "a", "version": "1.0.0", "direct": True, "ecosystem": "npm"},
            {"name": "b", "version": "2.0.0", "direct": False, "ecosystem": "npm"},
            {"name": "flask", "version": ">=2", "direct": True, "ecosystem": "pip"},
            {"name": "requests", "version": "2.31.0", "direct": True, "ecosystem": "pip"}]
        assert two["payload"]["snapshot"] == {"total_count": 5, "direct_count": 3, "max_depth": 3}
        assert two["payload"]["diff"] == {"added": 1, "removed": 0, "updated": 1}

    def test_workspace_members_are_counted_in_the_lock_not_twice(self, repo, tmp_path):
        # The members' manifests repeat what the top lock holds; a pip manifest
        # with no pip lock anywhere still counts.
        commit(repo, {"package.json": '{"workspaces": ["packages/*"], "dependencies": {"a": "^1"}}',
                      "package-lock.json": lock(("a", "1.0.0"), ("b", "2.0.0")),
                      "packages/ui/package.json": '{"dependencies": {"a": "^1", "left-pad": "^1"}}',
                      "docs/requirements.txt": "mkdocs==1.6\n"}, "c")
        self.dependencies(repo, tmp_path / "ws")
        event, = by_family(tmp_path / "ws", "dependency")
        assert [d["name"] for d in event["payload"]["dependencies"]] == ["a", "b", "mkdocs"]
        assert [m["directory"] for m in event["payload"]["manifests"]] == [".", "docs"]

    def test_several_ecosystems_are_counted_and_compared_apart(self, repo, tmp_path):
        def cargo(version):
            return ('[[package]]\nname = "app"\nversion = "0.1.0"\ndependencies = ["semver"]\n\n'
                    f'[[package]]\nname = "semver"\nversion = "{version}"\n'
                    'source = "registry+https://github.com/rust-lang/crates.io-index"\n')

        three = "x==1\ny==1\nz==1\n"
        commit(repo, {"Cargo.lock": cargo("1.0.0"), "web/package-lock.json": lock(("semver", "1.0.0"), ("b", "1"),
                                                                                  ("c", "1"), ("d", "1")),
                      "a/requirements.txt": three, "b/requirements.txt": three, "c/requirements.txt": three},
               "c", date="2026-01-01T00:00:00Z")
        commit(repo, {"Cargo.lock": cargo("1.0.1")}, "bump the crate", date="2026-01-02T00:00:00Z")
        self.dependencies(repo, tmp_path / "ws")
        one, two = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        # The crate and the npm package of one name and version are two packages.
        assert one["snapshot"]["total_count"] == 8
        assert sorted((d["ecosystem"], d["name"]) for d in one["dependencies"] if d["name"] == "semver") == [
            ("cargo", "semver"), ("npm", "semver")]
        # npm has most packages; pip's three directories repeat the same three.
        assert one["ecosystem"] == "npm"
        assert two["diff"] == {"added": 0, "removed": 0, "updated": 1}

    def test_a_package_in_two_versions_is_compared_by_all_its_versions(self, repo, tmp_path):
        commit(repo, {"a/package-lock.json": lock(("lodash", "4.17.20")),
                      "b/package-lock.json": lock(("lodash", "4.17.21"))}, "two", date="2026-01-01T00:00:00Z")
        commit(repo, {"a/package-lock.json": lock(("lodash", "4.17.21"))}, "one", date="2026-01-02T00:00:00Z")
        self.dependencies(repo, tmp_path / "ws")
        one, two = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        assert (one["snapshot"]["total_count"], two["snapshot"]["total_count"]) == (2, 1)
        assert two["diff"] == {"added": 0, "removed": 0, "updated": 1}

    def test_a_malformed_lock_file_is_reported_not_miscounted(self, repo, tmp_path):
        commit(repo, {"package.json": '{"dependencies": {"a": "^1"}}', "package-lock.json": lock(("a", "1.0.0"))},
               "good", date="2026-01-01T00:00:00Z")
        bad = commit(repo, {"package-lock.json": '{"lockfileVersion": 3, "packages": '}, "bad",
                     date="2026-01-02T00:00:00Z")
        mended = commit(repo, {"package-lock.json": lock(("a", "1.0.0"))}, "mended", date="2026-01-03T00:00:00Z")
        result = self.dependencies(repo, tmp_path / "ws")
        assert bad[:12] in result.warnings[0] and "package-lock.json" in result.warnings[0]
        good, broken, again = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        # Not a drop to 0: the counts are unknown on the commit that broke the lock, which says so.
        assert broken["snapshot"] == {"total_count": None, "direct_count": None}
        assert broken["broken"] == [{"file": "package-lock.json", "cause": broken["broken"][0]["cause"], "line": 1}]
        assert broken["broken"][0]["cause"].startswith("invalid JSON")
        assert "diff" not in broken and "diff" not in again  # nothing complete to compare with
        assert again["snapshot"] == good["snapshot"] and again["trigger"]["commit_sha"] == mended

    def test_a_malformed_fixture_elsewhere_is_left_out_not_fatal(self, repo, tmp_path):
        commit(repo, {"requirements.txt": "a==1\n", "tools/broken/Cargo.lock": "[[package]\n",
                      "tests/fixtures/broken/Cargo.lock": "[[package]\n"}, "c", date="2026-01-01T00:00:00Z")
        commit(repo, {"requirements.txt": "a==1\nb==2\n"}, "add b", date="2026-01-02T00:00:00Z")
        result = self.dependencies(repo, tmp_path / "ws")
        one, two = (e["payload"] for e in by_family(tmp_path / "ws", "dependency"))
        # Unreadable since it appeared: left out, never silencing the counts; a fixture is not read at all.
        assert (one["snapshot"]["total_count"], two["snapshot"]["total_count"]) == (1, 2)
        assert two["unreadable"] == ["tools/broken/Cargo.lock"]
        assert two["diff"] == {"added": 1, "removed": 0, "updated": 0}
        assert len(result.warnings) == 2 and "tools/broken/" in result.warnings[0]
        assert "2 commits" in result.warnings[0]

    def test_a_change_of_settings_reads_the_history_afresh(self, repo, tmp_path):
        ws = tmp_path / "ws"
        commit(repo, {"requirements.txt": "a==1\n", "tools/requirements.txt": "b==1\n"}, "c")
        assert self.dependencies(repo, ws).added == 1
        assert self.dependencies(repo, ws).added == 0
        assert by_family(ws, "dependency")[0]["payload"]["snapshot"]["total_count"] == 2
        result = self.dependencies(repo, ws, Config(exclude_paths=("tools/**",)))
        assert (result.added, result.events) == (1, {"dependency": 1})
        assert by_family(ws, "dependency")[0]["payload"]["snapshot"]["total_count"] == 1

    def test_a_file_moved_to_another_directory_changes_both(self, repo, tmp_path):
        dev = "pytest==8.0\n" + "# pinned for the test runner\n" * 30
        commit(repo, {"requirements.txt": "a==1\n", "requirements-dev.txt": dev}, "c", date="2026-01-01T00:00:00Z")
        (repo / "tools").mkdir()
        git(repo, "mv", "requirements-dev.txt", "tools/requirements-dev.txt")
        moved = commit(repo, {}, "move the dev requirements", date="2026-01-02T00:00:00Z")
        self.dependencies(repo, tmp_path / "ws")
        after = by_family(tmp_path / "ws", "dependency")[-1]["payload"]
        assert after["trigger"]["commit_sha"] == moved
        assert [(m["directory"], m["total_count"]) for m in after["manifests"]] == [(".", 1), ("tools", 1)]
        assert after["diff"] == {"added": 0, "removed": 0, "updated": 0}

    def test_directories_with_pathspec_characters_are_read_literally(self, repo, tmp_path):
        commit(repo, {":x/requirements.txt": "a==1\n", "x/requirements.txt": "b==1\nc==1\n",
                      "-d [1]/requirements.txt": "d==1\n", "-d 1/requirements.txt": "e==1\nf==1\n"}, "c")
        self.dependencies(repo, tmp_path / "ws")
        event, = by_family(tmp_path / "ws", "dependency")
        assert {m["directory"]: m["total_count"] for m in event["payload"]["manifests"]} == {
            ":x": 1, "x": 2, "-d [1]": 1, "-d 1": 2}
        assert [d["name"] for d in event["payload"]["dependencies"]] == ["a", "b", "c", "d", "e", "f"]

    def test_deleting_the_manifests_ends_the_series(self, repo, tmp_path):
        commit(repo, {"go.mod": "module m\n\ngo 1.22\n\nrequire example.com/x v1.2.3\n"}, "go", date="2026-01-01T00:00:00Z")
        git(repo, "rm", "-q", "go.mod")
        git(repo, "commit", "-q", "-m", "drop go", date="2026-01-02T00:00:00Z")
        commit(repo, {"go.mod": "module m\n\ngo 1.22\n"}, "go again", date="2026-01-03T00:00:00Z")
        self.dependencies(repo, tmp_path / "ws")
        first, again = by_family(tmp_path / "ws", "dependency")
        assert first["payload"]["snapshot"] == {"total_count": 1, "direct_count": 1}
        assert "diff" not in again["payload"]  # nothing to compare with after the deletion

    def test_deeply_nested_files_are_left_out_not_fatal(self, repo, tmp_path):
        deep = "[" * 100000 + "]" * 100000
        commit(repo, {"requirements.txt": "a==1\n", "x/package.json": deep, "y/Cargo.lock": f"a = {deep}\n",
                      "z/pyproject.toml": "a = " + "{x=" * 5000 + "1" + "}" * 5000 + "\n"}, "c")
        result = self.dependencies(repo, tmp_path / "ws")
        event, = by_family(tmp_path / "ws", "dependency")
        assert event["payload"]["unreadable"] == ["x/package.json", "y/Cargo.lock", "z/pyproject.toml"]
        assert event["payload"]["snapshot"]["total_count"] == 1 and len(result.problems) == 3


def test_the_object_reader_stays_in_step_after_a_refusal(repo):
    from varnel.git import CollectError
    from varnel.collect.history import Objects

    commit(repo, {"a.txt": "alpha\n"}, "c")
    objects = Objects(repo)
    try:
        tree = objects.root("HEAD")
        with pytest.raises(CollectError, match="not a blob"):
            objects.blob(tree)
        (name, blob), = [(name, oid) for is_dir, name, oid in objects.tree(tree)]
        assert (name, objects.blob(blob)) == ("a.txt", b"alpha\n")
    finally:
        objects.close()

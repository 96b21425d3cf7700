"""Infrastructure: the Terraform configuration of the whole repository.

Every commit that changes a .tf file is read as one configuration: all .tf
files of the tree at that commit (outside vendored and .terraform
directories). A resource is known by its directory, type and name
("infra/network:aws_vpc.main"), so the same resource in two modules counts
twice. The diff against the previous configuration counts resources added,
removed and modified (the body changed beyond comments and layout). A file
that cannot be read, or that defines a resource an earlier file (in path
order) defines, is named in `unreadable`, and the counts are unknown (null).
"""

from __future__ import annotations

from typing import Any, Hashable

from .hcl import HCLError, blocks
from .history import Entry, Files, SourceError, Tree

UNIT = "terraform"  # one configuration per repository


def _is_terraform(name: str) -> bool:
    return name.endswith(".tf")


def _resources(path: str, content: bytes) -> tuple[tuple[str, str, str], ...]:
    """(address, type, body digest) of each resource block of one file."""
    try:
        found = blocks(content.decode("utf-8"))
    except UnicodeDecodeError:
        raise SourceError(f"{path}: not UTF-8 text") from None
    except HCLError as e:
        raise SourceError(f"{path}: {e}") from None
    directory = path.rpartition("/")[0]
    resources = []
    for block in found:
        if block.kind == "resource":
            if len(block.labels) != 2:
                raise SourceError(f"{path}: a resource block needs a type and a name, not {list(block.labels)}")
            resources.append((f"{directory}:{block.labels[0]}.{block.labels[1]}", block.labels[0], block.digest))
    return tuple(resources)


class TerraformSource:
    prefix = "config-"
    family = "config"
    source_type = "terraform"
    unknown = (("structure", "resource_count"), ("structure", "resource_types"))

    def unit_of(self, path: str) -> Hashable | None:
        return UNIT if path.endswith(".tf") else None

    def entries(self, tree: Tree, unit: Hashable) -> list[Entry]:
        return tree.find(_is_terraform)

    def read(self, unit: Hashable, files: Files) -> Any:
        resources: dict[str, tuple[str, str]] = {}
        for path in sorted(files):
            found = files.parsed("terraform", (path,), lambda: _resources(path, files[path]))
            twice = [address for address, _, _ in found or () if address in resources]
            if twice:
                files.refuse((path,), f"{path}: the resource {twice[0].partition(':')[2]} is defined twice")
                continue
            resources.update((address, (kind, digest)) for address, kind, digest in found or ())
        return {"resources": resources, "unreadable": sorted(files.unreadable)}

    def payload(self, unit: Hashable, reading: Any, earlier: Any) -> dict:
        state = reading["resources"]
        payload = {
            "structure": {
                "resource_count": len(state),
                "resource_types": len({kind for kind, _ in state.values()}),
            },
        }
        if earlier is not None:
            previous = earlier["resources"]
            payload["diff"] = {
                "resources_added": len(state.keys() - previous.keys()),
                "resources_removed": len(previous.keys() - state.keys()),
                "resources_modified": sum(1 for a in state.keys() & previous.keys() if state[a][1] != previous[a][1]),
            }
        if reading["unreadable"]:
            payload["unreadable"] = reading["unreadable"]
        return payload

"""The YAML loader every reader uses: the safe one (plain data, no objects
built from tags), in its C implementation when PyYAML has one, which reads
large lock files and API documents some twenty times faster."""

import yaml


def load_yaml(text: str):
    """The plain data of one YAML document; raises yaml.YAMLError."""
    return yaml.load(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))

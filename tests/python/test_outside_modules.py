"""The Python modules the engines call by name: every one the bindings'
import registry lists can be imported, so an engine never meets a missing
module in the middle of a run."""

import importlib

import pytest

from varnel import _common


def test_the_registry_names_the_outside_modules():
    assert {"varnel.friendly", "varnel.accepted", "varnel.history", "varnel.validation_gate",
            "varnel.llm_anthropic", "varnel.llm_openrouter"} <= set(_common.PYTHON_MODULES)


@pytest.mark.parametrize("name", _common.PYTHON_MODULES)
def test_every_module_the_engines_call_imports(name):
    assert importlib.import_module(name).__name__ == name

"""What varnel.patstage binds when it is imported: the .env file, the optional
clients and the required validation gate. Each case imports the module in a
fresh interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import pytest


def import_in(cwd, setup="", check="", env=None):
    """Runs `setup`, imports varnel.patstage and runs `check` in a new interpreter in `cwd`;
    returns the JSON object the check prints, or the failure's last line."""
    code = textwrap.dedent(setup) + "\nimport json, os\nimport varnel.patstage as patstage\n" + textwrap.dedent(check)
    environment = {k: v for k, v in os.environ.items() if not k.startswith(("PHASE4B_", "PHASE31_", "VARNEL_TEST_"))}
    environment.update(env or {})
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=environment, capture_output=True, text=True)
    if done.returncode != 0:
        return done.stderr.strip().splitlines()[-1]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_the_env_file_is_loaded_without_overriding(tmp_path):
    pytest.importorskip("dotenv", reason="the .env file is read only where python-dotenv is installed")
    (tmp_path / ".env").write_text("PHASE4B_MODEL=from-file\nVARNEL_TEST_SET=from-file\nPHASE4B_ENABLED=true\n")
    result = import_in(tmp_path, check="""
        engine = patstage.Phase4Engine("ws")
        print(json.dumps([engine._llm_model, engine._llm_enabled, os.environ["VARNEL_TEST_SET"]]))
        engine.close()
    """, env={"VARNEL_TEST_SET": "kept"})
    assert result == ["from-file", True, "kept"]


def test_without_a_dotenv_loader_the_file_is_ignored(tmp_path):
    (tmp_path / ".env").write_text("VARNEL_TEST_SET=from-file\n")
    result = import_in(tmp_path, setup="import sys; sys.modules['dotenv'] = None",
                       check="print(json.dumps(os.environ.get('VARNEL_TEST_SET')))")
    assert result is None


def test_clients_are_optional(tmp_path):
    result = import_in(tmp_path, setup="import sys; sys.modules['varnel.llm_anthropic'] = None", check="""
        print(json.dumps([patstage.AnthropicClient is None, patstage.OpenRouterClient.__name__]))
    """)
    assert result == [True, "OpenRouterClient"]


def test_the_validation_gate_is_required(tmp_path):
    result = import_in(tmp_path, setup="import sys; sys.modules['varnel.validation_gate'] = None")
    assert result.startswith(("ImportError", "ModuleNotFoundError"))

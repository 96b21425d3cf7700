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
    environment = {k: v for k, v in os.environ.items() if not k.startswith(("PHASE4B_", "PHASE31_", "VARNEL_TEST_", "VARNEL_ENV_FILE"))
                   and k not in ("ANTHROPIC_API_KEY", "OPENROUTER_API_KEY", "ANTHROPIC_BASE_URL", "XDG_CONFIG_HOME")}
    environment.update(env or {})
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=environment, capture_output=True, text=True)
    if done.returncode != 0:
        return done.stderr.strip().splitlines()[-1]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_only_the_users_env_file_is_loaded_and_only_varnels_variables(tmp_path):
    pytest.importorskip("dotenv", reason="the .env file is read only where python-dotenv is installed")
    # A .env in the analysed repository (the working directory) is never read.
    (tmp_path / ".env").write_text("PHASE4B_MODEL=from-repo\nANTHROPIC_API_KEY=from-repo\n")
    config = tmp_path / "config" / "varnel"
    config.mkdir(parents=True)
    (config / ".env").write_text("PHASE4B_MODEL=from-file\nVARNEL_TEST_SET=from-file\nPHASE4B_ENABLED=true\n"
                                 "ANTHROPIC_BASE_URL=http://127.0.0.1:9\nOPENROUTER_API_KEY=k\n")
    check = """
        engine = patstage.Phase4Engine("ws")
        print(json.dumps([engine._llm_model, engine._llm_enabled, os.environ.get("VARNEL_TEST_SET"),
                          os.environ.get("ANTHROPIC_BASE_URL"), os.environ.get("OPENROUTER_API_KEY")]))
        engine.close()
    """
    result = import_in(tmp_path, check=check, env={"XDG_CONFIG_HOME": str(tmp_path / "config"),
                                                   "OPENROUTER_API_KEY": "kept"})
    assert result == ["from-file", True, None, None, "kept"]
    chosen = tmp_path / "elsewhere.env"
    chosen.write_text("PHASE4B_MODEL=chosen\n")
    result = import_in(tmp_path, check=check, env={"XDG_CONFIG_HOME": str(tmp_path / "config"),
                                                   "VARNEL_ENV_FILE": str(chosen)})
    assert result[0] == "chosen" and result[1] is False


def test_without_a_dotenv_loader_the_file_is_ignored(tmp_path):
    (tmp_path / ".env").write_text("PHASE4B_MODEL=from-file\n")
    result = import_in(tmp_path, setup="import sys; sys.modules['dotenv'] = None",
                       check="print(json.dumps(os.environ.get('PHASE4B_MODEL')))",
                       env={"VARNEL_ENV_FILE": str(tmp_path / ".env")})
    assert result is None


def test_clients_are_optional(tmp_path):
    result = import_in(tmp_path, setup="import sys; sys.modules['varnel.llm_anthropic'] = None", check="""
        print(json.dumps([patstage.AnthropicClient is None, patstage.OpenRouterClient.__name__]))
    """)
    assert result == [True, "OpenRouterClient"]


def test_the_validation_gate_is_required(tmp_path):
    result = import_in(tmp_path, setup="import sys; sys.modules['varnel.validation_gate'] = None")
    assert result.startswith(("ImportError", "ModuleNotFoundError"))

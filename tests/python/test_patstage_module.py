"""What varnel.patstage binds when it is imported: the .env file, the optional
clients and the required validation gate. Each case imports the module in a
fresh interpreter."""

from patstage_helpers import import_in


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

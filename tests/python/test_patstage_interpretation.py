"""The interpretation layer of varnel.patstage with stand-in clients: the
prompt, the cleaning of answers, the gate, the sentence limit, failures, the
choice of client and the layer inside a run."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import phase4_reference as ref
import varnel.patstage as patstage
from patstage_helpers import co_moving_workspace
from varnel.patstage import Phase4Engine

PROMPT_OPENING = ("You are explaining a recurring code change pattern to a product manager.\n\n"
                  "Statistical finding: ")
PROMPT_TASK = ("\n\nDescribe what this pattern means in ONE plain-English sentence.\n"
               "Write for a non-technical audience \u2014 avoid jargon like 'correlation', 'deviation', 'stddev'.\n"
               "Do not add judgment, recommendations, or speculation.\n"
               "Describe only what is happening in practical terms.")
PATTERN = {"pattern_id": "p1", "description_statistical": "Signals move together.", "signal_refs": ["e1", "e2"]}
EXPLAINED = {"e1": {"signal_ref": "e1", "summary": "Builds took longer."},
             "e2": {"signal_ref": "e2", "summary": "More files changed."}}


class Client:
    """Answers every prompt with `answer` (or raises it), noting the prompts."""

    def __init__(self, answer="Builds slow down when many files change."):
        self.answer = answer
        self.prompts = []

    def generate(self, prompt):
        self.prompts.append(prompt)
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.fixture
def engine(tmp_path):
    engine = Phase4Engine(tmp_path)
    yield engine
    engine.close()


def interpret(engine, answer, pattern=PATTERN, explanations=EXPLAINED):
    client = Client(answer)
    engine._llm = client
    return engine._interpret_pattern(pattern, explanations), client


class TestInterpretation:
    def test_prompt(self, engine):
        text, client = interpret(engine, "Fine.")
        assert text == "Fine."
        assert client.prompts == [PROMPT_OPENING + "Signals move together.\n\nSignal explanations:\n"
                                  "- Builds took longer.\n- More files changed." + PROMPT_TASK]
        assert engine._llm is client

    def test_preambles_are_stripped_at_the_start_only(self, engine):
        assert interpret(engine, "Here is the description:\nBuilds slow down.")[0] == "Builds slow down."
        assert interpret(engine, "HERE'S A SENTENCE for you:  Builds slow down.  ")[0] == "Builds slow down."
        indented = " Here's a sentence: Builds slow down."
        assert interpret(engine, indented)[0] == indented.strip()
        assert interpret(engine, "Description: Builds slow down.")[0] == "Builds slow down."
        assert interpret(engine, "Here is the descr\u0130ption: Builds slow down.")[0] == "Builds slow down."
        kept = "Builds slow down. Here is the description: more."
        assert interpret(engine, kept)[0] == kept

    def test_at_most_four_sentences(self, engine):
        assert interpret(engine, "One. Two. Three. Four.")[0] == "One. Two. Three. Four."
        assert interpret(engine, "One. Two. Three. Four. Five.")[0] is None
        # Every "." cuts, so a decimal number counts as two pieces.
        assert interpret(engine, "Builds took 2.5 times longer on 3.4 days. Often.")[0] is not None
        assert interpret(engine, "Builds took 2.5 times longer on 3.4 days. Often. Still.")[0] is None

    def test_the_gate_decides(self, engine):
        assert interpret(engine, "This correlation should be fixed.")[0] is None
        assert interpret(engine, "   ")[0] is None

        class Broken:
            def no_forbidden_language(self, text):
                raise RuntimeError("gate down")

        engine.gate = Broken()
        with pytest.raises(RuntimeError, match="gate down"):
            interpret(engine, "Fine.")

    def test_failures_give_none(self, engine):
        assert interpret(engine, ValueError("service down"))[0] is None
        assert interpret(engine, 42)[0] is None
        assert interpret(engine, None)[0] is None

        class Interrupt(BaseException):
            pass

        with pytest.raises(Interrupt):
            interpret(engine, Interrupt())

    def test_only_the_first_five_references_are_explained(self, engine):
        pattern = {**PATTERN, "signal_refs": [f"e{i}" for i in range(10)]}
        text, client = interpret(engine, "Fine.", pattern, {"e5": {"summary": "Sixth."}, "e3": {}})
        assert text is None and client.prompts == []
        text, client = interpret(engine, "Fine.", {"signal_refs": ["e3", "e4"]}, {"e4": {"other": 1}})
        assert text == "Fine."
        assert client.prompts[0] == PROMPT_OPENING + "\n\nSignal explanations:\n- " + PROMPT_TASK

    @given(st.lists(st.sampled_from(["Here is ", "Here's ", "here is the ", "a ", "description", "Description",
                                     "sentence", "s\u017fentence", ":", " ", "\n", "\u2003", ".", "Fine", "x",
                                     "DESCRIPTION:"]), max_size=8).map("".join))
    def test_cleaning_matches_the_reference(self, shared_engine, answer):
        expected = ref.cleaned_answer(answer)
        if expected is not None and not shared_engine.gate.no_forbidden_language(expected):
            expected = None
        assert interpret(shared_engine, answer)[0] == expected


@pytest.fixture(scope="module")
def shared_engine(tmp_path_factory):
    engine = Phase4Engine(tmp_path_factory.mktemp("ws"))
    yield engine
    engine.close()


class TestClientChoice:
    class Made:
        def __init__(self, model):
            self.model = model

        def generate(self, prompt):
            return "Fine."

    class Failing:
        def __init__(self, model):
            raise RuntimeError("no key")

    @pytest.fixture
    def layer(self, tmp_path, monkeypatch):
        engines = []

        def make(anthropic, openrouter, key):
            monkeypatch.setattr(patstage, "AnthropicClient", anthropic)
            monkeypatch.setattr(patstage, "OpenRouterClient", openrouter)
            if key:
                monkeypatch.setenv("ANTHROPIC_API_KEY", key)
            else:
                monkeypatch.delenv("ANTHROPIC_API_KEY", raising=False)
            monkeypatch.setenv("PHASE4B_ENABLED", "true")
            monkeypatch.setenv("PHASE4B_MODEL", "some/model")
            engine = Phase4Engine(tmp_path)
            engines.append(engine)
            return engine

        yield make
        for engine in engines:
            engine.close()
        engines.clear()

    def test_anthropic_with_a_key(self, layer):
        client = layer(self.Made, self.Failing, "k")._get_llm()
        assert isinstance(client, self.Made) and client.model == "some/model"

    def test_openrouter_without_a_key_or_when_anthropic_fails(self, layer):
        for anthropic, key in ((self.Made, ""), (self.Failing, "k"), (None, "k")):
            engine = layer(anthropic, self.Made, key)
            client = engine._get_llm()
            assert isinstance(client, self.Made)
            assert engine._get_llm() is client  # made once

    def test_a_failed_openrouter_client_turns_the_layer_off(self, layer):
        engine = layer(None, self.Failing, "")
        assert engine._get_llm() is None and engine._llm_enabled is False

    def test_without_clients_nothing_is_interpreted(self, layer):
        engine = layer(None, None, "k")
        assert engine._get_llm() is None and engine._llm_enabled is True
        assert engine._interpret_pattern(PATTERN, EXPLAINED) is None

    def test_the_layer_off(self, tmp_path, monkeypatch):
        monkeypatch.setenv("PHASE4B_ENABLED", "false")
        engine = Phase4Engine(tmp_path)
        assert engine._get_llm() is None
        engine.close()


class TestRunWithTheLayer:
    def test_new_patterns_are_described(self, tmp_path):
        engine = Phase4Engine(co_moving_workspace(tmp_path))
        client = Client("Here is the sentence: Builds and commits grow together.")
        engine._llm = client
        result = engine.run()
        [detail] = result["details"]
        assert detail["description_semantic"] == "Builds and commits grow together."
        assert result["patterns_enriched"] == 1
        assert engine.kb.get_pattern(detail["pattern_id"])["description_semantic"] == detail["description_semantic"]
        assert "- Commit 0 touched many files.\n- Commit 1 touched many files." in client.prompts[0]
        engine.close()

    def test_a_refused_answer_leaves_no_description(self, tmp_path):
        engine = Phase4Engine(co_moving_workspace(tmp_path))
        engine._llm = Client("You should look into this.")
        result = engine.run()
        assert (result["details"][0]["description_semantic"], result["patterns_enriched"]) == (None, 0)
        assert engine.kb.get_pattern(result["details"][0]["pattern_id"])["description_semantic"] is None
        engine.close()

    def test_without_explanations_the_model_is_not_asked(self, tmp_path):
        engine = Phase4Engine(co_moving_workspace(tmp_path, explain=False))
        client = Client()
        engine._llm = client
        assert engine.run()["patterns_enriched"] == 0 and client.prompts == []
        engine.close()

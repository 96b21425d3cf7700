"""A client of Anthropic's Messages API for the pattern engine's interpretation
layer, on the standard library alone.

``AnthropicClient(model)`` takes its key from ``ANTHROPIC_API_KEY`` (it fails
with ``ModelServiceError`` when that is unset) and sends requests to
``ANTHROPIC_BASE_URL`` (default https://api.anthropic.com). The model
identifier may be given as the engine names models, with a provider prefix
and dotted version ("anthropic/claude-sonnet-4.5"): the prefix is dropped and
dots become dashes ("claude-sonnet-4-5"). ``generate(prompt)`` returns the
answer's text or raises ``ModelServiceError``; a call waits at most
``timeout`` seconds.
"""

from varnel._model_http import DEFAULT_TIMEOUT, ModelServiceError, api_key, post_json, service_url

API_VERSION = "2023-06-01"
MAX_TOKENS = 300


def model_name(model: str) -> str:
    """The service's name for a model identifier."""
    return model.removeprefix("anthropic/").replace(".", "-")


class AnthropicClient:
    """Answers prompts with one of Anthropic's models."""

    def __init__(self, model: str, timeout: float = DEFAULT_TIMEOUT):
        self.model = model_name(model)
        self.timeout = timeout
        self._key = api_key("ANTHROPIC_API_KEY")
        self._url = service_url("ANTHROPIC_BASE_URL", "https://api.anthropic.com", "/v1/messages")

    def generate(self, prompt: str) -> str:
        """The model's answer to `prompt`: the text blocks of its message, joined."""
        answer = post_json(self._url, {"x-api-key": self._key, "anthropic-version": API_VERSION},
                           {"model": self.model, "max_tokens": MAX_TOKENS,
                            "messages": [{"role": "user", "content": prompt}]}, self.timeout)
        blocks = answer.get("content")
        texts = [b["text"] for b in blocks if isinstance(b, dict) and b.get("type") == "text"
                 and isinstance(b.get("text"), str)] if isinstance(blocks, list) else []
        if not texts:
            raise ModelServiceError(f"{self._url} answered without text")
        return "".join(texts)

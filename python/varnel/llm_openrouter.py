"""A client of OpenRouter's chat-completions API for the pattern engine's
interpretation layer, on the standard library alone.

``OpenRouterClient(model)`` takes its key from ``OPENROUTER_API_KEY`` (it
fails with ``ModelServiceError`` when that is unset) and sends requests to
``OPENROUTER_BASE_URL`` (default https://openrouter.ai/api/v1). The model
identifier is OpenRouter's own ("anthropic/claude-sonnet-4.5").
``generate(prompt)`` returns the first choice's message text or raises
``ModelServiceError``; a call waits at most ``timeout`` seconds.
"""

from varnel._model_http import DEFAULT_TIMEOUT, ModelServiceError, api_key, post_json, service_url

MAX_TOKENS = 300


class OpenRouterClient:
    """Answers prompts with a model reached through OpenRouter."""

    def __init__(self, model: str, timeout: float = DEFAULT_TIMEOUT):
        self.model = model
        self.timeout = timeout
        self._key = api_key("OPENROUTER_API_KEY")
        self._url = service_url("OPENROUTER_BASE_URL", "https://openrouter.ai/api/v1", "/chat/completions")

    def generate(self, prompt: str) -> str:
        """The model's answer to `prompt`."""
        answer = post_json(self._url, {"Authorization": f"Bearer {self._key}"},
                           {"model": self.model, "max_tokens": MAX_TOKENS,
                            "messages": [{"role": "user", "content": prompt}]}, self.timeout)
        try:
            text = answer["choices"][0]["message"]["content"]
        except (KeyError, IndexError, TypeError):
            text = None
        if not isinstance(text, str):
            error = answer.get("error")
            raise ModelServiceError(f"{self._url} answered without text" + (f": {error}" if error else ""))
        return text

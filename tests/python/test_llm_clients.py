"""The language-model clients against a stand-in service on loopback: the
requests they send, the answers they read, and how they fail. Nothing here
reaches the network."""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from varnel._model_http import ModelServiceError
from varnel.llm_anthropic import AnthropicClient
from varnel.llm_openrouter import OpenRouterClient


class Service:
    """A local HTTP server that records each request and answers from `reply`
    (a (status, body) pair, or a callable that makes one)."""

    def __init__(self):
        self.requests = []
        self.reply = (200, {})
        self.location = None  # where a 3xx answer points
        service = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                headers = {k.lower(): v for k, v in self.headers.items()}
                service.requests.append({"path": self.path, "headers": headers, "body": json.loads(body)})
                status, answer = service.reply() if callable(service.reply) else service.reply
                data = answer if isinstance(answer, bytes) else json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                if service.location:
                    self.send_header("Location", service.location)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_port}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def service(monkeypatch):
    s = Service()
    monkeypatch.setenv("ANTHROPIC_BASE_URL", s.url + "/")
    monkeypatch.setenv("OPENROUTER_BASE_URL", s.url + "/api/v1")
    monkeypatch.setenv("ANTHROPIC_API_KEY", "a-key")
    monkeypatch.setenv("OPENROUTER_API_KEY", "o-key")
    yield s
    s.close()


class TestAnthropic:
    def test_request_and_answer(self, service):
        service.reply = (200, {"content": [{"type": "text", "text": "Builds "}, {"type": "tool_use"},
                                           {"type": "text", "text": "slow down."}]})
        client = AnthropicClient("anthropic/claude-sonnet-4.5")
        assert client.generate("Describe it.") == "Builds slow down."
        [request] = service.requests
        assert request["path"] == "/v1/messages"
        assert request["headers"]["x-api-key"] == "a-key"
        assert request["headers"]["anthropic-version"] == "2023-06-01"
        assert request["body"]["model"] == "claude-sonnet-4-5"
        assert request["body"]["messages"] == [{"role": "user", "content": "Describe it."}]
        assert request["body"]["max_tokens"] > 0

    def test_failures(self, service):
        client = AnthropicClient("claude-x")
        for reply in [(500, {"error": "overloaded"}), (200, b"not json"), (200, {"content": []}), (200, [1])]:
            service.reply = reply
            with pytest.raises(ModelServiceError):
                client.generate("p")

    def test_a_key_is_required(self, service, monkeypatch):
        monkeypatch.setenv("ANTHROPIC_API_KEY", "")
        with pytest.raises(ModelServiceError, match="ANTHROPIC_API_KEY"):
            AnthropicClient("m")
        monkeypatch.delenv("ANTHROPIC_API_KEY")
        with pytest.raises(ModelServiceError, match="ANTHROPIC_API_KEY"):
            AnthropicClient("m")


class TestOpenRouter:
    def test_request_and_answer(self, service):
        service.reply = (200, {"choices": [{"message": {"role": "assistant", "content": "Fine."}}]})
        assert OpenRouterClient("anthropic/claude-sonnet-4.5").generate("Describe it.") == "Fine."
        [request] = service.requests
        assert request["path"] == "/api/v1/chat/completions"
        assert request["headers"]["authorization"] == "Bearer o-key"
        assert request["body"]["model"] == "anthropic/claude-sonnet-4.5"
        assert request["body"]["messages"] == [{"role": "user", "content": "Describe it."}]

    def test_failures(self, service):
        client = OpenRouterClient("m")
        for reply in [(401, {"error": {"message": "bad key"}}), (200, {"choices": []}),
                      (200, {"error": {"message": "no credit"}}), (200, {"choices": [{"message": {"content": None}}]})]:
            service.reply = reply
            with pytest.raises(ModelServiceError):
                client.generate("p")

    def test_a_key_is_required(self, service, monkeypatch):
        monkeypatch.delenv("OPENROUTER_API_KEY")
        with pytest.raises(ModelServiceError, match="OPENROUTER_API_KEY"):
            OpenRouterClient("m")


def test_a_slow_service_times_out(service):
    service.reply = lambda: (time.sleep(1.0), (200, {"content": [{"type": "text", "text": "late"}]}))[1]
    with pytest.raises(ModelServiceError, match="could not be reached"):
        AnthropicClient("m", timeout=0.1).generate("p")


def test_an_unreachable_service_fails_cleanly(monkeypatch):
    probe = Service()
    url = probe.url
    probe.close()  # nothing listens there any more
    monkeypatch.setenv("OPENROUTER_BASE_URL", url)
    monkeypatch.setenv("OPENROUTER_API_KEY", "k")
    with pytest.raises(ModelServiceError, match="could not be reached"):
        OpenRouterClient("m", timeout=2).generate("p")


def test_a_key_goes_only_over_https_and_never_follows_a_redirect(service, monkeypatch):
    for address in ("http://example.com", "http://10.0.0.1:8080", "ftp://127.0.0.1", "http://127.0.0.1.example.com"):
        monkeypatch.setenv("ANTHROPIC_BASE_URL", address)
        with pytest.raises(ModelServiceError, match="not an https address"):
            AnthropicClient("m")
    elsewhere = Service()
    try:
        monkeypatch.setenv("ANTHROPIC_BASE_URL", service.url)
        service.reply, service.location = (307, {}), elsewhere.url + "/v1/messages"
        with pytest.raises(ModelServiceError, match="307"):
            AnthropicClient("m").generate("p")
        assert len(service.requests) == 1 and elsewhere.requests == []
    finally:
        elsewhere.close()


def test_a_plain_http_stand_in_is_reached_without_a_proxy(service, monkeypatch):
    proxy = Service()
    try:
        monkeypatch.setenv("HTTP_PROXY", proxy.url)
        monkeypatch.setenv("http_proxy", proxy.url)
        service.reply = (200, {"content": [{"type": "text", "text": "ok"}]})
        assert AnthropicClient("m").generate("p") == "ok"
        assert proxy.requests == [] and len(service.requests) == 1
    finally:
        proxy.close()

"""The transport the language-model clients share: one JSON request over
HTTP(S) with the standard library, a time-out, and errors that say what
failed. The service's address can be overridden through an environment
variable, so that a client can be pointed at a local stand-in.

A key travels only over https (plain http only to this machine's loopback
addresses, for local stand-ins), and never follows a redirect, which would
carry the key's header to wherever the answer points."""

import ipaddress
import json
import os
import urllib.error
import urllib.parse
import urllib.request

DEFAULT_TIMEOUT = 60.0


class ModelServiceError(RuntimeError):
    """A language-model service cannot be used, or gave no usable answer."""


def api_key(variable: str) -> str:
    """The key in environment variable `variable`; an error when it is unset or empty."""
    key = os.environ.get(variable, "")
    if not key:
        raise ModelServiceError(f"{variable} is not set: the client has no key for its service")
    return key


def _loopback(host: str | None) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host or "").is_loopback
    except ValueError:
        return False


def service_url(variable: str, default: str, path: str) -> str:
    """`path` under the base address in `variable`, or under `default` when that
    is unset or empty; an error for an address a key must not be sent to."""
    url = (os.environ.get(variable) or default).rstrip("/") + path
    parts = urllib.parse.urlsplit(url)
    if not (parts.scheme == "https" or (parts.scheme == "http" and _loopback(parts.hostname))):
        raise ModelServiceError(f"{variable}: {url} is not an https address; a key is sent only over https")
    return url


class _NoRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        raise urllib.error.HTTPError(req.full_url, code, f"redirected to {newurl}; not followed", headers, fp)


# A plain-http stand-in is on this machine: a proxy would carry the key in the clear.
_OPENERS = {"https": urllib.request.build_opener(_NoRedirects),
            "http": urllib.request.build_opener(_NoRedirects, urllib.request.ProxyHandler({}))}


def post_json(url: str, headers: dict, body: dict, timeout: float) -> dict:
    """POSTs `body` as JSON and returns the JSON object answered."""
    request = urllib.request.Request(url, data=json.dumps(body).encode("utf-8"), method="POST",
                                     headers={"Content-Type": "application/json", **headers})
    try:
        with _OPENERS[urllib.parse.urlsplit(url).scheme].open(request, timeout=timeout) as response:
            payload = response.read()
    except urllib.error.HTTPError as e:
        detail = e.read(500).decode("utf-8", "replace")
        raise ModelServiceError(f"{url} answered HTTP {e.code}: {detail}") from e
    except (urllib.error.URLError, OSError) as e:  # refused, unreachable or timed out
        raise ModelServiceError(f"{url} could not be reached: {e}") from e
    try:
        answer = json.loads(payload)
    except ValueError as e:
        raise ModelServiceError(f"{url} answered with something that is not JSON") from e
    if not isinstance(answer, dict):
        raise ModelServiceError(f"{url} answered with JSON that is not an object")
    return answer

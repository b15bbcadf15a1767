"""Delivering a message over HTTP with the standard library: retries with backoff on server errors
and failed connections while the caller's `timeout` lasts, and never longer (each attempt runs in a
daemon thread that the caller stops waiting for at the deadline, so a slow or trickling server cannot
hold it). Webhook URLs carry their secret in the path or the query: errors and logs name only the
scheme, host and port."""

from __future__ import annotations

import base64
import logging
import threading
import time
import urllib.error
import urllib.request
from urllib.parse import unquote, urlsplit, urlunsplit

LOG = logging.getLogger("morvane.alerts")
FIRST_DELAY, MAX_DELAY = 0.1, 2.0          # seconds between attempts: doubling from the first, capped
RETRIED = frozenset({408, 425, 429})       # client statuses that mean "try again later"
SNIPPET = 200                              # characters of a refusing server's answer kept in the error


class AlertError(OSError):
    """A message that could not be delivered: `host` is where it went (scheme, host and port only:
    the rest of a webhook URL is its secret), `status` the last HTTP status (None when no server
    answered) and `attempts` how many were made."""

    def __init__(self, message: str, *, host: str = "", status: int | None = None, attempts: int = 0):
        super().__init__(message)
        self.host, self.status, self.attempts = host, status, attempts

    def __str__(self) -> str:
        return str(self.args[0])


def public(url: str) -> str:
    """The part of a URL that may be shown: scheme, host and port (no credentials, path or query)."""
    try:
        parts = urlsplit(url)
        host = parts.hostname or "?"
        port = f":{parts.port}" if parts.port else ""
    except ValueError:
        return "an unreadable URL"
    host = f"[{host}]" if ":" in host else host
    return f"{parts.scheme or '?'}://{host}{port}"


def _split_credentials(url) -> tuple:
    """(the URL without credentials, its headers): `user:password@` becomes HTTP basic authentication,
    which urllib does not take from the URL itself."""
    if not isinstance(url, str):
        raise TypeError(f"the URL must be a string, not {type(url).__name__}")
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"expected an http:// or https:// URL, got one for {public(url)}")
    if parts.username is None:
        return url, {}
    pair = f"{unquote(parts.username)}:{unquote(parts.password or '')}".encode("utf-8")
    netloc = parts.netloc.rpartition("@")[2]
    return (urlunsplit(parts._replace(netloc=netloc)),
            {"Authorization": "Basic " + base64.b64encode(pair).decode("ascii")})


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """Redirects are not followed: urllib would send the credentials on to wherever they point."""

    def redirect_request(self, *args, **kwargs):
        return None


OPENER = urllib.request.build_opener(_NoRedirect)  # with the environment's proxies, as urlopen


def _attempt(request, timeout):
    """(status, first bytes of the answer) of one request, or (None, reason) when no server answered."""
    try:
        with OPENER.open(request, timeout=timeout) as answer:
            return answer.status, answer.read(SNIPPET)
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.read(SNIPPET)
    except (urllib.error.URLError, OSError, ValueError) as error:
        reason = getattr(error, "reason", error)
        return None, type(reason).__name__ if isinstance(reason, BaseException) else "connection failed"
    except Exception as error:  # noqa: BLE001 -- http.client's protocol errors: the server broke off
        return None, type(error).__name__


def _bounded(request, remaining):
    """`_attempt` in a daemon thread, waited for at most `remaining` seconds."""
    result = []
    worker = threading.Thread(target=lambda: result.append(_attempt(request, remaining)), daemon=True,
                              name="morvane-alert")
    worker.start()
    worker.join(remaining)
    return result[0] if result else (None, "timed out")


def deliver(url: str, body: bytes, *, content_type: str, method: str = "POST", timeout: float = 10.0) -> int:
    """Send `body` to `url` and return the HTTP status (2xx). Server errors (5xx, 408, 425, 429) and
    failed connections are retried with backoff until `timeout` seconds have passed; any other
    status, or the deadline, raises AlertError."""
    plain, credentials = _split_credentials(url)
    timeout = float(timeout)
    if not timeout > 0:
        raise ValueError(f"timeout must be positive, got {timeout!r}")
    where = public(url)
    headers = {"Content-Type": content_type, "User-Agent": "morvane", **credentials}
    deadline = time.monotonic() + timeout
    delay, attempts, status, reason = FIRST_DELAY, 0, None, ""
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        attempts += 1
        status, answer = _bounded(urllib.request.Request(plain, data=body, headers=headers, method=method), remaining)
        if status is not None and 200 <= status < 300:
            return status
        if status is not None:
            reason = _readable(answer, url)
            if not (status >= 500 or status in RETRIED):
                break
        else:
            reason = answer
        if deadline - time.monotonic() <= delay:
            break
        LOG.warning("morvane: %s %s; retrying in %.1f s", where,
                    f"answered {status}" if status is not None else f"failed ({reason})", delay)
        time.sleep(delay)
        delay = min(2 * delay, MAX_DELAY)
    last = f"last status {status}" if status is not None else f"no answer ({reason or 'timed out'})"
    detail = f": {reason}" if status is not None and reason else ""
    raise AlertError(f"could not deliver to {where} ({attempts} attempt{'s' * (attempts != 1)} in {timeout:g} s); "
                     f"{last}{detail}", host=where, status=status, attempts=attempts)


def _readable(answer: bytes, url: str) -> str:
    """A refusing server's answer for people: one line, short, the URL's secret parts cut out."""
    text = " ".join(answer.decode("utf-8", "replace").split())[:SNIPPET]
    parts = urlsplit(url)
    for secret in (parts.path, parts.query, parts.password, parts.username):
        if secret and len(secret) > 1:
            text = text.replace(secret, "…")
    return text

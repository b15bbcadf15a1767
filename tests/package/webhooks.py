"""A local HTTP server for the alert tests: it answers each request with the next scripted reply
(a status, or "silent" to never answer, or "trickle" to send a byte at a time forever) and records
what it received."""

import http.server
import json
import socket
import threading
import time


class Receiver:
    def __init__(self, replies=()):
        self.replies = list(replies)
        self.received = []  # (method, path, headers, body)
        self.release = threading.Event()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def _any(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                receiver.received.append((self.command, self.path, dict(self.headers), body))
                reply = receiver.replies.pop(0) if receiver.replies else 200
                if reply == "silent":
                    receiver.release.wait(60)
                    return
                if reply == "trickle":
                    self.wfile.write(b"HTTP/1.1 200 OK\r\n")
                    while not receiver.release.wait(0.05):
                        self.wfile.write(b"X")
                        self.wfile.flush()
                    return
                answer = json.dumps({"path": self.path}).encode()  # echoes the secret path back
                self.send_response(reply)
                if 300 <= reply < 400:
                    self.send_header("Location", "/elsewhere")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            do_GET = do_POST = do_PUT = _any

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def json(self, i=-1):
        return json.loads(self.received[i][3])

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(ready, seconds=20.0):
    """Poll `ready()` until it is true or `seconds` have passed; returns its last answer."""
    end = time.monotonic() + seconds
    while True:
        ok = ready()
        if ok or time.monotonic() > end:
            return ok
        time.sleep(0.05)

"""The dashboard heartbeat against hostile dashboards on 127.0.0.1: one that redirects the beat
elsewhere must never get the key re-sent, and one that trickles its answer must not hold a beat
past its deadline."""

import http.server
import queue
import socket
import threading
import types

import pytest

from velkor_zuma.serve import ServeConfig, _start_heartbeat
from waiting import PATIENCE

ENGINE = types.SimpleNamespace(model=object(), adapter_names=["a"], total_vram=0, base_vram=0)


class _Recorder(http.server.BaseHTTPRequestHandler):
    """Records every request (method, path, headers, body); answers with server.answer(path)."""

    def _handle(self):
        n = int(self.headers.get("Content-Length") or 0)
        self.server.seen.put((self.command, self.path, self.headers, self.rfile.read(n)))
        status, location = self.server.answer(self.path)
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_GET = do_POST = do_HEAD = _handle

    def log_message(self, *args):
        pass


@pytest.fixture
def http_server():
    """Starts recording servers on 127.0.0.1: http_server(answer) -> server with .url and .seen."""
    started = []

    def start(answer):
        srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Recorder)
        srv.seen, srv.answer = queue.Queue(), answer
        srv.url = "http://127.0.0.1:%d" % srv.server_port
        threading.Thread(target=srv.serve_forever, args=(0.05,), daemon=True).start()
        started.append(srv)
        return srv

    yield start
    for srv in started:
        srv.shutdown()
        srv.server_close()


@pytest.fixture
def whole_beats(monkeypatch):
    """Each beat waits for its sender to finish instead of for its 4-second deadline: what a
    beat sends (and whatever redirects it follows) is then all recorded when the heartbeat
    reaches its sleep, however slowly a loaded machine runs the sender."""
    real = threading.Thread

    class Patient(real):
        def join(self, timeout=None):
            super().join(None if self.name == "velkor-zuma-heartbeat-send" else timeout)

    monkeypatch.setattr(threading, "Thread", Patient)


def drain(q):
    out = []
    while not q.empty():
        out.append(q.get_nowait())
    return out


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("target", ["other origin", "same origin"])
def test_redirects_never_carry_the_key(http_server, whole_beats, beat_sleeps, status, target):
    """A dashboard answering with a redirect: whatever urllib does with it, the next hop never
    sees the key or the beat's body."""
    elsewhere = http_server(lambda path: (200, None))
    dashboard = http_server(lambda path: (status, (elsewhere.url if target == "other origin" else "")
                                          + "/steal") if path != "/steal" else (200, None))
    key = "secret-%d-%s" % (status, target)
    _start_heartbeat(ServeConfig("m", {}, "fp16", api_base=dashboard.url, api_key=key), ENGINE, "h", 1)
    assert beat_sleeps.wait() == 20
    first = dashboard.seen.get(timeout=PATIENCE)
    followed = drain(dashboard.seen) + drain(elsewhere.seen)
    # the beat itself arrived as before, with the key
    assert first[:2] == ("POST", "/api/zuma/endpoints/heartbeat") and first[2]["X-ZUMA-Key"] == key
    assert first[2]["Content-Type"] == "application/json" and b'"status": "serving"' in first[3]
    for method, path, headers, body in followed:   # any redirect followed: bare, without the key
        assert path == "/steal" and headers["X-ZUMA-Key"] is None and body == b""
        assert key not in str(headers)


@pytest.fixture
def trickler():
    """A dashboard on 127.0.0.1 that reads the request and then answers one byte of an endless
    header every 0.2 s, for as long as the client keeps the connection open; .closed is set
    when the client has gone."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    state = types.SimpleNamespace(url="http://127.0.0.1:%d" % srv.getsockname()[1], got=queue.Queue(),
                                  closed=threading.Event(), stop=threading.Event())

    def serve():
        conn, _ = srv.accept()
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(4096)
            state.got.put(data)
            answer = b"HTTP/1.1 200 OK\r\nX-Slow: " + b"z" * 10**6
            try:
                for i in range(len(answer)):
                    if state.stop.wait(0.2):
                        return
                    conn.sendall(answer[i:i + 1])
            except OSError:
                state.closed.set()

    threading.Thread(target=serve, daemon=True).start()
    yield state
    state.stop.set()
    srv.close()


def test_a_trickling_dashboard_cannot_hold_a_beat(trickler, beat_sleeps, capfd):
    """Every byte arrives well within the per-operation time-out, so only a deadline for the
    whole beat ends it: the heartbeat thread goes on to its sleep, the stalled request is
    stopped (the dashboard sees the connection closed), and nothing is printed."""
    before = set(threading.enumerate())
    _start_heartbeat(ServeConfig("m", {}, "fp16", api_base=trickler.url, api_key="slow"), ENGINE, "h", 1)
    assert b"X-Zuma-Key: slow" in trickler.got.get(timeout=PATIENCE)
    assert beat_sleeps.wait() == 20
    assert trickler.closed.wait(PATIENCE)
    senders = [t for t in set(threading.enumerate()) - before if t.name == "velkor-zuma-heartbeat-send"]
    for t in senders:
        t.join(PATIENCE)
        assert not t.is_alive()
    assert capfd.readouterr() == ("", "")

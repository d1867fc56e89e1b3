"""An application under uvicorn on 127.0.0.1, on an ephemeral port, in a thread of the test."""

import socket
import threading

from waiting import PATIENCE, until


class LocalServer:
    """`http` is an httpx client for it, `client` the official openai client (made on first use)."""

    def __init__(self, app, **config):
        import httpx
        import uvicorn

        self.app = app
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self.server = uvicorn.Server(uvicorn.Config(app, log_level="warning", **config))
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [self.sock]}, daemon=True)
        self.thread.start()
        until(lambda: self.server.started or not self.thread.is_alive(), "the server started")
        assert self.server.started, "the server did not start"
        self.http = httpx.Client(base_url=self.url, timeout=PATIENCE)
        self._client = None

    @property
    def client(self):
        if self._client is None:
            import openai

            self._client = openai.OpenAI(base_url=self.url + "/v1", api_key="unused", max_retries=0,
                                         timeout=PATIENCE)
        return self._client

    def close(self):
        self.http.close()
        self.server.should_exit = True
        self.thread.join(10)
        self.sock.close()

"""Our update server under clients that are slow, pipelined or broken.
Everything listens and connects on 127.0.0.1 only."""
import http.client
import re
import select
import socket
import ssl
import subprocess
import threading
import time

import pytest

from update_server_support import SERVER, UpdateServer, make_certificate, make_sample_repo

PING = "/cgi/u?op=hi&rv=2&"
PING_REQUEST = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % PING).encode()


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=4)


def port_of(server):
    return int(re.match(r"https?://127\.0\.0\.1:(\d+)/", server.url).group(1))


def tls_client_hello():
    """The first bytes a TLS client sends, as a dripping client would."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    outgoing = ssl.MemoryBIO()
    tls = context.wrap_bio(ssl.MemoryBIO(), outgoing, server_hostname="127.0.0.1")
    with pytest.raises(ssl.SSLWantReadError):
        tls.do_handshake()
    return outgoing.read()


class Drips:
    """Connections that each send one more byte of a request that never ends
    every 0.2 s, on a thread of their own, and note when the server closes
    them. Stops by itself after `seconds`."""

    def __init__(self, port, count, payload, seconds):
        self.payload = payload
        self.sockets = []
        self.opened = []
        self.closed = {}  # socket index -> seconds after its connect
        for _ in range(count):
            self.opened.append(time.monotonic())
            self.sockets.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        self.end = time.monotonic() + seconds
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._drip, daemon=True)
        self.thread.start()

    def _drip(self):
        sent = 0
        while time.monotonic() < self.end and not self.stopping.is_set():
            byte = self.payload[sent % len(self.payload):][:1]
            sent += 1
            for i, s in enumerate(self.sockets):
                if i in self.closed:
                    continue
                try:
                    readable, _, _ = select.select([s], [], [], 0)
                    if readable and not s.recv(4096):
                        raise ConnectionResetError
                    s.send(byte)
                except OSError:
                    self.closed[i] = time.monotonic() - self.opened[i]
            if len(self.closed) == len(self.sockets):
                return
            self.stopping.wait(0.2)

    def finish(self):
        self.thread.join(timeout=max(0.0, self.end - time.monotonic()) + 5)
        self.stopping.set()
        self.thread.join(timeout=5)
        for s in self.sockets:
            s.close()


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_dripping_clients_neither_delay_a_request_nor_stay(repo, tmp_path, scheme):
    request_timeout = 4
    extra = ["--workers", "2", "--request-timeout", str(request_timeout)]
    if scheme == "https":
        cert, key = make_certificate(tmp_path)
        extra += ["--cert", str(cert), "--key", str(key)]
        payload = tls_client_hello()
    else:
        payload = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Drip: " % PING).encode() + b"d" * 4096
    server = UpdateServer(repo, *extra)
    drips = None
    try:
        port = port_of(server)
        drips = Drips(port, 16, payload, seconds=request_timeout + 10)
        time.sleep(1.0)  # every connection has begun its request

        for _ in range(3):
            if scheme == "https":
                context = ssl.create_default_context(cafile=str(cert))
                connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=10,
                                                         context=context)
            else:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            started = time.monotonic()
            try:
                connection.request("GET", PING)
                response = connection.getresponse()
                body = response.read()
            finally:
                connection.close()
            elapsed = time.monotonic() - started
            assert (response.status, body) == (200, b"ok\n")
            assert elapsed < 1.0, "a request beside 16 dripping clients took %.2f s" % elapsed
            time.sleep(0.3)

        # The dripping connections are closed once their time is up.
        drips.finish()
        assert sorted(drips.closed) == list(range(16))
        for seconds in drips.closed.values():
            assert request_timeout * 0.9 <= seconds <= request_timeout + 5
    finally:
        if drips:
            drips.stopping.set()
            drips.finish()
        server.stop()
    log = server.log_path.read_text()
    assert log.count("closed: request not complete in time") == 16


def test_pipelined_requests_and_the_keep_alive_limit(repo):
    server = UpdateServer(repo, "--keep-alive-max", "2")
    try:
        with socket.create_connection(("127.0.0.1", port_of(server)), timeout=10) as s:
            s.sendall(PING_REQUEST * 2)  # both in one piece
            data = b""
            end = time.monotonic() + 10
            while time.monotonic() < end:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
    finally:
        server.stop()
    replies = data.split(b"HTTP/1.1 200 OK\r\n")
    assert replies[0] == b"" and len(replies) == 3, data
    assert b"Keep-Alive: timeout=5, max=2" in replies[1]
    assert b"Connection: close" in replies[2]  # the second and last
    assert all(r.endswith(b"\r\n\r\nok\n") for r in replies[1:])


def test_a_request_head_without_end_is_refused(repo):
    server = UpdateServer(repo)
    try:
        with socket.create_connection(("127.0.0.1", port_of(server)), timeout=10) as s:
            head = ("GET %s HTTP/1.1\r\nX-Long: " % PING).encode() + b"x" * (32 * 1024)
            try:
                s.sendall(head)
                reply = s.recv(4096)
            except ConnectionError:  # reset, with the rest unread
                reply = b""
            assert reply == b""
    finally:
        server.stop()
    assert "closed: request head too long" in server.log_path.read_text()


@pytest.mark.parametrize("option,value", [
    ("--workers", "0"), ("--request-timeout", "0"), ("--keep-alive-timeout", "soon"),
    ("--write-timeout", "1e9"), ("--keep-alive-max", "-1"),
])
def test_bad_connection_limits(repo, option, value):
    r = subprocess.run([str(SERVER), "--repo", str(repo), "--listen", "127.0.0.1:0", option, value],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 2
    assert "usage:" in r.stderr

"""Helpers for the black-box tests of the updater against update servers.

Everything listens on 127.0.0.1 only, on ports the system picks.
"""
import http.server
import os
import pathlib
import re
import subprocess
import threading
import time

from netsafety import check_network_safety

BINARY_DIR = pathlib.Path(os.environ.get("UPDATER_BINARY_DIR", "build/asan")).resolve()
SOURCE_DIR = pathlib.Path(os.environ.get("UPDATER_SOURCE_DIR", ".")).resolve()
UPDATER = BINARY_DIR / "app" / "Updater"
SERVER = BINARY_DIR / "tools" / "korvex-update-server"
BIRDPACK = BINARY_DIR / "tools" / "birdpack"
MAKE_REPO = SOURCE_DIR / "tools" / "sample-repo" / "make-sample-repo.sh"

SERIAL = "40F5849A"


def make_sample_repo(directory, image_kib=16):
    subprocess.run([str(MAKE_REPO), str(BIRDPACK), str(directory), str(image_kib)],
                   check=True, timeout=300)
    return pathlib.Path(directory)


class UpdateServer:
    """korvex-update-server on 127.0.0.1 with a free port."""

    def __init__(self, repo, *extra):
        self.log_path = pathlib.Path(repo) / "server.log"
        self._log = open(self.log_path, "w")
        self.proc = subprocess.Popen([str(SERVER), "--repo", str(repo), "--listen", "127.0.0.1:0",
                                      *extra],
                                     stdout=subprocess.PIPE, stderr=self._log, text=True)
        line = self.proc.stdout.readline()
        match = re.match(r"listening on (\S+)", line)
        if not match:
            self.stop()
            raise RuntimeError("server did not start: %r" % line)
        self.url = match.group(1)

    def requests(self):
        """The request lines the server logged so far."""
        self._log.flush()
        return [l for l in self.log_path.read_text().splitlines() if " GET " in l]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


def run_updater(args, storage, url=None, env=None, timeout=120):
    command = [str(UPDATER), *args, "-i", str(storage)]
    if url:
        command += ["-u", url]
    check_network_safety(command[1:], env)
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=full_env)


def stored(storage, serial=SERIAL):
    directory = pathlib.Path(storage) / "updater" / serial
    return sorted(p.name for p in directory.iterdir()) if directory.exists() else []


def settings(storage, serial=SERIAL):
    path = pathlib.Path(storage) / "updater" / serial / ".settings"
    if not path.exists():
        return {}
    return dict(line.split("=", 1) for line in path.read_text().splitlines())


class ThrowawayServer:
    """A tiny HTTP server whose reply to each op is given by the test.

    replies maps an op to (status, body) or to a callable taking the
    request handler and writing the reply itself.
    """

    def __init__(self, replies):
        self.replies = replies
        self.seen = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.seen.append(self.path)
                query = self.path.split("?", 1)[1] if "?" in self.path else ""
                params = dict(p.split("=", 1) for p in query.split("&") if "=" in p)
                reply = outer.replies.get(params.get("op"), (200, "error unknown op\n"))
                if callable(reply):
                    reply(self)
                    return
                status, body = reply
                data = body.encode()
                self.send_response(status)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = "http://127.0.0.1:%d/cgi/u" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)


def free_port_url():
    """A URL on which nothing listens."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return "http://127.0.0.1:%d/cgi/u" % port


def make_certificate(directory):
    cert = pathlib.Path(directory) / "cert.pem"
    key = pathlib.Path(directory) / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def wait_for(predicate, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False

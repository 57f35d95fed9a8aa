"""A scripted host for tests of korvex-sim: starts a world and speaks the
host side of the link in raw packets (address, length, data)."""
import json
import os
import select
import signal
import socket
import subprocess
import tempfile
import time

from netsafety import check_network_safety

BIN = os.environ.get("UPDATER_BINARY_DIR", "build/asan")
SIM = os.path.join(BIN, "sim", "korvex-sim")
# What the build under test was configured with: USB simulation (umockdev)
# and the messaging library that beacons and link sharing need.
HAVE_USB = os.path.exists(os.path.join(BIN, "sim", "usb_probe"))


def _have_czmq():
    try:
        with open(os.path.join(BIN, "CMakeCache.txt")) as cache:
            return any(line.strip() == "CZMQ_FOUND:INTERNAL=1" for line in cache)
    except OSError:
        return False


HAVE_CZMQ = _have_czmq()


def run_in_world(tmp_path, world, updater, updater_args, prefix=(), netns=False, timeout=120):
    """Runs UPDATER UPDATER_ARGS (behind the PREFIX command, if any) inside a
    korvex-sim world, in a private network namespace with the discovery
    answers when netns; returns (result, status), status None for a world
    without modules."""
    env = dict(os.environ)
    if netns:
        env["UPDATER_TEST_NETNS"] = "1"
    check_network_safety(updater_args, env if netns else None)
    status = os.path.join(str(tmp_path), "status.json")
    sim = [SIM, "--status-file", status] + (["--netns", "--discovery"] if netns else [])
    command = list(prefix) + [str(updater)] + list(updater_args)
    r = subprocess.run(sim + list(world) + ["--"] + command,
                       capture_output=True, text=True, timeout=timeout, env=env)
    if not os.path.exists(status):
        return r, None
    with open(status) as f:
        return r, json.load(f)


class Sim:
    """korvex-sim in the foreground, stopped when the block ends."""

    def __init__(self, *args, timeout=10.0):
        self.tmp = tempfile.TemporaryDirectory(prefix="ksim-")
        self.status_path = os.path.join(self.tmp.name, "status.json")
        self.out_path = os.path.join(self.tmp.name, "out.txt")
        self.args = [SIM, "--status-file", self.status_path] + list(args)
        self.timeout = timeout
        self.proc = None
        self.status = None

    def __enter__(self):
        self.out = open(self.out_path, "w+")
        self.proc = subprocess.Popen(self.args, stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.timeout
        while not os.path.exists(self.status_path):
            if self.proc.poll() is not None:
                raise RuntimeError("korvex-sim ended: " + self.output())
            if time.monotonic() > deadline:
                raise RuntimeError("korvex-sim did not get ready")
            time.sleep(0.02)
        with open(self.status_path) as f:
            self.status = json.load(f)
        return self

    def module(self, serial):
        for m in self.status["modules"]:
            if m["serial"] == serial:
                return m
        raise KeyError(serial)

    def port(self, serial=None):
        return (self.module(serial) if serial else self.status["modules"][0])["port"]

    def pty(self, serial=None):
        return (self.module(serial) if serial else self.status["modules"][0])["pty"]

    def signal(self, sig):
        self.proc.send_signal(sig)

    def output(self):
        if self.out.closed:
            return self.final_output
        with open(self.out_path) as f:
            return f.read()

    def wait_output(self, text, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.output():
                return True
            time.sleep(0.02)
        return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def __exit__(self, *exc):
        self.stop()
        self.final_output = self.output()
        self.out.close()
        self.tmp.cleanup()


class Host:
    """The host end of one link, over a TCP socket or a terminal's fd."""

    def __init__(self, fd=None, sock=None):
        self.sock = sock
        self.fd = sock.fileno() if sock else fd
        self.buf = bytearray()
        self.closed = False

    @classmethod
    def tcp(cls, port, address="127.0.0.1"):
        s = socket.create_connection((address, port), timeout=5)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.settimeout(None)
        return cls(sock=s)

    @classmethod
    def pty(cls, path):
        import termios
        import tty
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIOFLUSH)
        return cls(fd=fd)

    def close(self):
        if self.sock:
            self.sock.close()
        elif self.fd is not None:
            os.close(self.fd)
        self.fd = None

    def write(self, data):
        data = bytes(data)
        if self.sock:
            self.sock.sendall(data)
        else:
            os.write(self.fd, data)

    def send(self, address, *data):
        self.write(bytes([address, len(data)]) + bytes(data))

    def _fill(self, timeout):
        r, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        if not r:
            return False
        try:
            chunk = self.sock.recv(4096) if self.sock else os.read(self.fd, 4096)
        except (ConnectionResetError, OSError):
            chunk = b""
        if not chunk:
            self.closed = True
            return False
        self.buf += chunk
        return True

    def packet(self, timeout=2.0, skip_heartbeats=True, answer_heartbeats=True):
        """The next packet as (address, bytes of data), or None."""
        deadline = time.monotonic() + timeout
        while True:
            if len(self.buf) >= 2 and len(self.buf) >= 2 + self.buf[1]:
                n = self.buf[1]
                addr, data = self.buf[0], bytes(self.buf[2:2 + n])
                del self.buf[:2 + n]
                if n == 2 and data[0] == 0 and skip_heartbeats:
                    if answer_heartbeats:
                        self.send(addr, 0, data[1] + 2)
                    continue
                return addr, data
            if self.closed or not self._fill(deadline - time.monotonic()):
                if self.closed or time.monotonic() >= deadline:
                    return None

    def request(self, address, *data, timeout=2.0):
        self.send(address, *data)
        return self.packet(timeout)

    def sync(self):
        """Identify probes until two empty answers from one address."""
        for _ in range(6):
            self.send(0xAD)
        answers = [self.packet(1.0) for _ in range(6)]
        assert all(a is not None and a[1] == b"" for a in answers), answers
        assert len({a[0] for a in answers}) == 1
        return answers[0][0]

    # Entity operations.
    def get(self, address, cmd, option, index=0):
        return self.request(address, cmd, 0x40 | option, 0x20 | index)

    def set(self, address, cmd, option, *value, index=0):
        return self.request(address, cmd, 0x80 | option, 0x20 | index, *value)

    def get_array(self, address, cmd, option, index=0, timeout=2.0):
        self.send(address, cmd, 0x40 | option, 0x20 | index)
        out, expect = bytearray(), 0
        while True:
            p = self.packet(timeout)
            assert p is not None, "byte-array run ended early"
            data = p[1]
            if data[2] & 0x80:
                return ("error", data[3])
            seq = data[-1]
            assert seq & 0x7F == expect
            out += data[3:-1]
            expect += 1
            if not seq & 0x80:
                return bytes(out)

    def set_array(self, address, cmd, option, payload, index=0):
        chunks = [payload[i:i + 24] for i in range(0, len(payload), 24)] or [b""]
        for k, c in enumerate(chunks):
            seq = (0x80 if k < len(chunks) - 1 else 0) | (k & 0x7F)
            self.send(address, cmd, 0x80 | option, 0x20 | index, *c, seq)
        return self.packet()


def be32(b):
    return int.from_bytes(b[:4], "big")

"""The updater against servers that fail: unreachable, erroring, lying,
stalling, or presenting a certificate it must not trust."""
import base64
import os
import pty
import select
import socket
import struct
import subprocess
import time
import zlib

import pytest

from netsafety import check_network_safety

from update_server_support import (SERIAL, UPDATER, ThrowawayServer, UpdateServer,
                                   free_port_url, make_certificate, make_sample_repo, run_updater,
                                   settings, stored)

GOOD_LIST = "ok\n1300;2.11.5\n"
GOOD_QUERY = "ok\n1300\nFW\n"


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"))


def serving(**replies):
    base = {"hi": (200, "ok\n"), "qu": (200, GOOD_QUERY), "builds": (200, GOOD_LIST)}
    base.update(replies)
    return ThrowawayServer(base)


def failure_line(r, url):
    """The line that says the server could not be asked, with its cause."""
    prefix = "Server request failed for %s: " % url
    found = [l for l in r.stderr.splitlines() if l.startswith(prefix)]
    assert found, r.stderr
    return found[0][len(prefix):]


def test_unreachable_server(tmp_path):
    url = free_port_url()
    for command in (["-B"], ["-J"], ["-G"]):
        r = run_updater(command + ["-d", SERIAL], tmp_path, url)
        assert r.returncode == 1
        assert "Connection refused" in failure_line(r, url), command
    assert stored(tmp_path) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
def test_server_name_that_does_not_resolve_is_named(tmp_path):
    # A name lookup may ask a name server: only inside an empty network
    # namespace of this test, where nothing can leave.
    url = "http://updates.invalid/cgi/u"
    r = subprocess.run(["unshare", "-n", str(UPDATER), "-B", "-d", SERIAL, "-i", str(tmp_path),
                        "-u", url], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert failure_line(r, url).startswith("Couldn't resolve host name"), r.stderr


def test_server_that_never_answers_is_reported_as_a_time_out(tmp_path):
    with socket.socket() as listener:  # the kernel accepts; nobody answers
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        url = "http://127.0.0.1:%d/cgi/u" % listener.getsockname()[1]
        r = run_updater(["-B", "-d", SERIAL], tmp_path, url,
                        env={"UPDATER_HTTP_STALL_TIMEOUT": "1"}, timeout=60)
    assert r.returncode == 1
    assert failure_line(r, url).startswith("Timeout was reached"), r.stderr


@pytest.mark.parametrize("reply", [(500, "ok\n"), (200, "error maintenance\n"), (404, "")])
def test_server_that_refuses(tmp_path, reply):
    s = ThrowawayServer({"hi": reply})
    try:
        r = run_updater(["-G", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1
        assert "Server request failed for %s" % s.url in r.stderr
        r = run_updater(["-B", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1
        assert "No builds found" not in r.stdout, "a failure is not an empty list"
    finally:
        s.stop()


@pytest.mark.parametrize("args,replies,code", [
    (["-B"], {"builds": (200, "ok\n")}, 0),  # an empty list the server sent
    (["-B"], {"builds": (200, "error unknown device\n")}, 1),
    (["-J"], {"ent_jwt": (200, "error unknown device\n")}, 1),
    (["-J"], {"ent_jwt": (200, "ok\naaa.bbb.ccc\n")}, 0),
    (["-G", "-L"], {"bird": (200, "error\n")}, 1),  # the download failed, the listing did not
    (["-G", "-B"], {"bird": (500, "")}, 1),
])
def test_exit_code_says_whether_every_command_worked(tmp_path, args, replies, code):
    s = serving(**replies)
    try:
        r = run_updater(args + ["-d", SERIAL], tmp_path, s.url)
        assert r.returncode == code, r.stderr
        if args == ["-B"] and code == 0:
            assert "No builds found for device [%s]" % SERIAL in r.stdout
    finally:
        s.stop()


@pytest.mark.parametrize("op,reply,message", [
    ("builds", (500, "boom"), "No valid build 1300"),
    ("builds", (200, "error\n"), "No valid build 1300"),
    ("qu", (200, "error unknown device\n"), "No build information for device"),
    ("bird", (500, "ok\nYmlyZA==\n"), "Download failed"),
    ("bird", (200, "error\n"), "Download failed"),
])
def test_get_with_failing_step(tmp_path, op, reply, message):
    s = serving(**{op: reply})
    try:
        r = run_updater(["-G", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1
        assert message in r.stderr
        assert stored(tmp_path) == [], "a failed first download leaves no device directory"
    finally:
        s.stop()


@pytest.mark.parametrize("replies,message,silent", [
    # The questions before a download go out together; their answers are
    # judged in the order they were once asked in, and only the first
    # failure speaks.
    ({"hi": (503, "busy"), "qu": (200, "error\n"), "builds": (500, "")},
     "Server request failed for", ["No build information", "No valid build"]),
    ({"qu": (200, "error\n"), "builds": (500, "")},
     "No build information for device", ["Server request failed", "No valid build"]),
    ({"builds": (500, "")}, "No valid build 1300", ["Server request failed", "No build information"]),
])
def test_first_failing_question_decides(tmp_path, replies, message, silent):
    s = serving(bird=(200, "ok\nYmlyZA==\n"), **replies)
    try:
        r = run_updater(["-G", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1
        assert message in r.stderr
        for other in silent:
            assert other not in r.stderr
        assert not any("op=bird" in p for p in s.seen)
        assert stored(tmp_path) == []
    finally:
        s.stop()


def test_build_not_listed(tmp_path):
    s = serving(bird=(200, "ok\nYmlyZA==\n"))
    try:
        r = run_updater(["-G", "-d", SERIAL, "-b", "1400"], tmp_path, s.url)
        assert r.returncode == 1
        assert "No valid build 1400" in r.stderr
        assert not any("op=bird" in p for p in s.seen)
    finally:
        s.stop()


@pytest.mark.parametrize("payload,message", [
    ("not*base64*at*all", "not valid base64 text"),
    ("YWJjZA=", "not valid base64 text"),
    ("bm90IGEgYmlyZCBmaWxl", "not a BIRD file"),  # "not a bird file"
    ("YmlyZAEBAAAAAAAA", "not a BIRD file"),  # header, then no zlib body
])
def test_payload_that_is_not_firmware(tmp_path, payload, message):
    s = serving(bird=(200, "ok\n%s\n" % payload))
    try:
        r = run_updater(["-G", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1, r.stdout
        assert message in r.stderr
        assert "Failed to retrieve a valid BIRD file" in r.stderr
        assert stored(tmp_path) == []
    finally:
        s.stop()


def image_package(*images):
    """A BIRD file of build 1300 holding (type, address, length) image blocks."""
    info = b"1300".ljust(16) + b"2.11.5".ljust(16) + b"0".ljust(16) + b"KX-DAQ8".ljust(16)
    body = struct.pack(">I", len(images) + 1)
    for kind, address, length in images:
        body += struct.pack(">BII", kind, length + 4, address) + bytes(length)
    body += struct.pack(">BI", 4, 64) + info + b"\0\0\0\0"
    return base64.b64encode(b"bird\x01\x01" + zlib.compress(body)).decode()


@pytest.mark.parametrize("images, problem", [
    ([(1, 0xFFFFFFFC, 64)], "block 0 (64 image bytes at 0xFFFFFFFC) runs past address 0xFFFFFFFF"),
    ([(1, 0x1000, 256), (1, 0x10F0, 16)], "firmware blocks 0 and 1 overlap at address 0x000010F0"),
])
def test_download_refuses_images_that_wrap_or_overlap(tmp_path, images, problem):
    s = serving(bird=(200, "ok\n%s\n" % image_package(*images)))
    try:
        r = run_updater(["-G", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1
        assert problem in r.stderr, r.stderr
        assert stored(tmp_path) == []
    finally:
        s.stop()


@pytest.mark.parametrize("payload", ["bm90IGEgYmlyZCBmaWxl", "YmlyZAEBAAAAAAAA"])
def test_refused_firmware_leaves_a_known_history_alone(tmp_path, payload):
    """The history is written beside the check; a refused file keeps it as it was."""
    device = tmp_path / "updater" / SERIAL
    device.mkdir(parents=True)
    (device / ".settings").write_text("LATEST_DOWNLOAD=1200.bird\n")
    s = serving(bird=(200, "ok\n%s\n" % payload))
    try:
        r = run_updater(["-G", "-d", SERIAL], tmp_path, s.url)
        assert r.returncode == 1
        assert "not a BIRD file" in r.stderr
        assert stored(tmp_path) == [".settings"], "no temporary file is left"
        assert (device / ".settings").read_text() == "LATEST_DOWNLOAD=1200.bird\n"
    finally:
        s.stop()


# A server that stops sending, and one that sends a byte every 0.2 s: above
# the stall rule, below the minimum average rate.
@pytest.mark.parametrize("drip,env,message", [
    (b"", {}, "GetBuild ==> ["),
    (b"Y", {"UPDATER_HTTP_MIN_RATE": "100"},
     "less than 100 bytes per second on average over 2 seconds"),
])
def test_stall_mid_body_is_abandoned(tmp_path, drip, env, message):
    release = []

    def stall(handler):
        handler.send_response(200)
        handler.send_header("Content-Length", "100000")
        handler.end_headers()
        handler.wfile.write(b"ok\nYmly")
        handler.wfile.flush()
        for _ in range(150):  # at most 30 s, or until the test ends
            if release:
                return
            try:
                handler.wfile.write(drip)
                handler.wfile.flush()
            except OSError:
                return
            time.sleep(0.2)

    s = serving(bird=stall)
    try:
        start = time.monotonic()
        r = run_updater(["-G", "-d", SERIAL, "-X", "0x20"], tmp_path, s.url,
                        env=dict(env, UPDATER_HTTP_STALL_TIMEOUT="2"), timeout=60)
        elapsed = time.monotonic() - start
        assert r.returncode == 1
        assert message in r.stderr
        assert "Download failed" in r.stderr
        assert "Failed to retrieve a valid BIRD file" in r.stderr
        assert elapsed < 25
        assert stored(tmp_path) == []
    finally:
        release.append(True)
        s.stop()


def test_https_certificate_must_be_trusted(repo, tmp_path):
    cert, key = make_certificate(tmp_path)
    server = UpdateServer(repo, "--cert", str(cert), "--key", str(key))
    try:
        assert server.url.startswith("https://127.0.0.1:")
        storage = tmp_path / "store"
        r = run_updater(["-G", "-d", SERIAL], storage, server.url,
                        env={"SSL_CERT_FILE": "", "CURL_CA_BUNDLE": ""})
        assert r.returncode == 1
        assert "certificate" in failure_line(r, server.url).lower()
        assert stored(storage) == []
        r = run_updater(["-B", "-d", SERIAL, "-X", "0x20"], storage, server.url,
                        env={"SSL_CERT_FILE": "", "CURL_CA_BUNDLE": ""})
        assert "certificate" in r.stderr.lower()
        assert r.returncode == 1

        # CURL_CA_BUNDLE, when set, is preferred over SSL_CERT_FILE.
        for env in ({"SSL_CERT_FILE": str(cert), "CURL_CA_BUNDLE": ""},
                    {"CURL_CA_BUNDLE": str(cert), "SSL_CERT_FILE": "/nonexistent"}):
            r = run_updater(["-G", "-d", SERIAL], storage, server.url, env=env)
            assert r.returncode == 0, r.stderr
            assert "1310.bird" in stored(storage)
    finally:
        server.stop()


def run_on_terminal(args, timeout=60):
    """Runs the updater with standard output on a pseudo-terminal."""
    check_network_safety(args)
    master, slave = pty.openpty()
    proc = subprocess.Popen([str(UPDATER), *args], stdout=slave, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    os.close(slave)
    output = b""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        elif proc.poll() is not None:
            break
    proc.wait(timeout=10)
    os.close(master)
    return proc.returncode, output.decode(errors="replace")


def test_spinner_on_terminal_not_on_pipe(repo, tmp_path):
    server = UpdateServer(repo)
    slow = None
    try:
        # A server that takes a second over the firmware, so that the
        # spinner turns several times.
        import urllib.request

        def delayed(handler):
            time.sleep(1.0)
            with urllib.request.urlopen(server.url + "?" + handler.path.split("?", 1)[1]) as r:
                body = r.read()
            handler.send_response(200)
            handler.send_header("Content-Length", str(len(body)))
            handler.end_headers()
            handler.wfile.write(body)

        def forward(op):
            def reply(handler):
                with urllib.request.urlopen(server.url + "?" + handler.path.split("?", 1)[1]) as r:
                    body = r.read()
                handler.send_response(200)
                handler.send_header("Content-Length", str(len(body)))
                handler.end_headers()
                handler.wfile.write(body)
            return reply

        slow = ThrowawayServer({"hi": forward("hi"), "qu": forward("qu"),
                                "builds": forward("builds"), "bird": delayed})
        code, text = run_on_terminal(["-G", "-d", SERIAL, "-i", str(tmp_path / "tty"),
                                      "-u", slow.url])
        assert code == 0, text
        assert "\r (Downloading) .      \r" in text
        assert "\r (Downloading) ..      \r" in text
        r = run_updater(["-G", "-d", SERIAL], tmp_path / "pipe", slow.url)
        assert r.returncode == 0
        assert "\r" not in r.stdout and "Downloading" not in r.stdout
    finally:
        if slow:
            slow.stop()
        server.stop()


def test_server_conversation_in_debug_trace(tmp_path):
    s = ThrowawayServer({"hi": (200, "error maintenance\n")})
    try:
        r = run_updater(["-B", "-d", SERIAL, "-X", "0x20"], tmp_path, s.url)
        assert "GET(%s?op=hi&rv=2&)\n" % s.url in r.stderr
        assert "ServerCommClass: ping failed [%s?op=hi&rv=2&]\n" % s.url in r.stderr
        s.replies["hi"] = (503, "busy")
        r = run_updater(["-B", "-d", SERIAL, "-X", "0x20"], tmp_path, s.url)
        assert "PING ==> [503] [busy]\n" in r.stderr
        quiet = run_updater(["-B", "-d", SERIAL], tmp_path, s.url)
        assert "PING" not in quiet.stderr and "GET(" not in quiet.stderr
    finally:
        s.stop()

"""What the updater prints of text from outside: whole, however long, and
with control bytes shown escaped rather than sent to the terminal."""
import subprocess

from conftest import program
from update_server_support import SERIAL, ThrowawayServer, run_updater

# Clears the screen, moves the cursor home and retitles the window.
HOSTILE = "\x1b[2J\x1b[H\x1b]0;owned\x07\x9b"
SHOWN = "\\x1b[2J\\x1b[H\\x1b]0;owned\\x07\\xc2\\x9b"  # U+009B, sent as UTF-8


def serving(**replies):
    return ThrowawayServer({"hi": (200, "ok\n"), **replies})


def no_control_bytes(text):
    return not any(ord(c) < 0x20 and c not in "\n\t" or 0x7F <= ord(c) <= 0x9F for c in text)


def test_long_token_printed_whole(tmp_path):
    # A module with 40 software features gets a token far beyond 2 KiB.
    token = "eyJhbGciOiJFZERTQSJ9." + "eyJmZWF0dXJlcyI6" * 400 + ".c2lnbmF0dXJl"
    s = serving(ent_jwt=(200, "ok\n%s\n" % token))
    try:
        r = run_updater(["-J", "-d", SERIAL], tmp_path, s.url)
    finally:
        s.stop()
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1] == token


def test_server_texts_shown_escaped(tmp_path):
    s = serving(builds=(200, "ok\n1300;2.1%s\n" % HOSTILE[:4]),
                ent_jwt=(200, "ok\neyJ.e30.sig%s\n" % HOSTILE))
    try:
        builds = run_updater(["-B", "-d", SERIAL], tmp_path, s.url)
        token = run_updater(["-J", "-d", SERIAL], tmp_path, s.url)
    finally:
        s.stop()
    assert "1300           \t2.1\\x1b[2J     " in builds.stdout.splitlines()
    assert token.stdout.splitlines()[-1] == "eyJ.e30.sig" + SHOWN
    for r in (builds, token):
        assert no_control_bytes(r.stdout + r.stderr), repr(r.stdout)


def test_package_texts_shown_escaped(tmp_path):
    """-C, -I and -L print the version and model a package carries."""
    birdpack = program("tools", "birdpack")
    (tmp_path / "fw.bin").write_bytes(b"\x00" * 64)
    manifest = tmp_path / "p.txt"
    manifest.write_text("firmware fw.bin 0\ninfo 1300 2.1%s %s KX%s\n"
                        % (HOSTILE[:4], SERIAL, HOSTILE[4:7]))
    device = tmp_path / "updater" / SERIAL
    device.mkdir(parents=True)
    package = device / "1300.bird"
    subprocess.run([birdpack, "create", str(manifest), "-o", str(package)], check=True,
                   capture_output=True, timeout=60)

    check = run_updater(["-C", "-f", str(package)], tmp_path)
    info = run_updater(["-I", "-d", SERIAL], tmp_path)
    local = run_updater(["-L", "-d", SERIAL], tmp_path)
    assert "Version: 2.1\\x1b[2J" in check.stdout.splitlines()
    assert "Model: KX\\x1b[H" in check.stdout.splitlines()
    assert "build 1300, version 2.1\\x1b[2J" in info.stdout
    assert "1300           \t2.1\\x1b[2J     " in local.stdout.splitlines()
    for r in (check, info, local):
        assert r.returncode == 0, r.stderr
        assert no_control_bytes(r.stdout + r.stderr), repr(r.stdout)


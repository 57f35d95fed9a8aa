"""The store against hostile contents (unreadable histories, FIFOs, leftover
temporary files, unusable packages, files that cannot be written) and the
commands that only look."""
import base64
import os
import struct
import subprocess
import zlib

import pytest

from netsafety import check_network_safety
from update_server_support import SERIAL, UPDATER, ThrowawayServer, stored


def block(type_, data):
    return struct.pack(">BI", type_, len(data)) + data


def info(build=b"1300", model=b"KX-DAQ8", length=64):
    return block(4, (build.ljust(16) + b"2.11.5".ljust(32) + model.ljust(16))[:length])


def package(*blocks, declared=None):
    body = struct.pack(">I", len(blocks) if declared is None else declared) + b"".join(blocks)
    return b"bird\x01\x01" + zlib.compress(body + b"\x00" * 4)


FIRMWARE = block(1, bytes(68))
GOOD = package(FIRMWARE, info())


def many_blocks(declared):
    """A million empty blocks: a few kilobytes of file."""
    body = struct.pack(">I", declared) + b"\x03\x00\x00\x00\x00" * 1_000_000 + bytes(4)
    return b"bird\x01\x01" + zlib.compress(body)


def run(args, storage, cwd=None, timeout=60):
    command = [str(UPDATER), *args, "-i", str(storage)]
    check_network_safety(command[1:])
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=cwd)


@pytest.fixture
def server():
    s = ThrowawayServer({"hi": (200, "ok\n"), "qu": (200, "ok\n1300\nFW\n"),
                         "builds": (200, "ok\n1300;2.11.5\n")})
    s.serve = lambda data: s.replies.__setitem__(
        "bird", (200, "ok\n%s\n" % base64.b64encode(data).decode()))
    s.serve(GOOD)
    s.get = ["-G", "-d", SERIAL, "-u", s.url]
    yield s
    s.stop()


def device(storage, serial=SERIAL):
    path = storage / "updater" / serial
    path.mkdir(parents=True, exist_ok=True)
    return path


def tree(root):
    return {os.path.join(d, n): os.lstat(os.path.join(d, n)).st_mtime_ns
            for d, dirs, files in os.walk(root) for n in dirs + files}


@pytest.mark.parametrize("make", [lambda p: os.symlink(".settings", p), os.mkdir, os.mkfifo],
                         ids=["symlink loop", "directory", "fifo"])
def test_unreadable_history_is_kept_and_nothing_written_elsewhere(server, tmp_path, make):
    make(device(tmp_path) / ".settings")
    other = device(tmp_path, "0000ABCD")  # the current directory of the run
    (other / ".settings").write_text("LATEST_DOWNLOAD=1.bird\n")
    before = tree(other)
    r = run(server.get, tmp_path, cwd=other, timeout=30)
    assert r.returncode == 1
    assert "Cannot read the device history %s/.settings: " % device(tmp_path) in r.stderr
    assert tree(other) == before and stored(tmp_path) == [".settings"]


@pytest.mark.parametrize("obstacle, reason", [
    ("device is a file", "with 3: %s/1300.bird: Not a directory"),
    ("directory in the way", "with 8: %s/1300.bird: Is a directory"),
])
def test_write_failure_names_the_reason(server, tmp_path, obstacle, reason):
    path = device(tmp_path)
    if obstacle == "device is a file":
        path.rmdir()
        path.write_text("x")
    else:
        (path / "1300.bird").mkdir()
    r = run(server.get, tmp_path)
    assert r.returncode == 1 and "Failed to write file " + reason % path in r.stderr


def test_fifos_never_block_a_command(server, tmp_path):
    for name in (".settings", "1300.bird"):
        os.mkfifo(device(tmp_path) / name)
    for args, code, says in [
        (["-L", "-d", SERIAL], 0, "1300           \t               "),
        (["-I", "-d", SERIAL], 1, "  1300.bird        not a loadable BIRD file"),
        (["-C", "-f", str(device(tmp_path) / "1300.bird")], 1, "not valid: not a regular file"),
        (server.get, 1, "/.settings: not a regular file"),
    ]:
        r = run(args, tmp_path, timeout=30)
        assert r.returncode == code and says in r.stdout + r.stderr, args


def test_leftover_temporaries_are_no_builds_and_go_with_the_next_write(server, tmp_path):
    (device(tmp_path) / "1200.bird").write_bytes(package(FIRMWARE, info(b"1200")))
    for name in (".1300.bird.tmpAb12Cd", "1300.bird.tmpXy34Zw", "..settings.tmpQQ99qq"):
        (device(tmp_path) / name).write_bytes(GOOD)
    assert run(["-L", "-d", SERIAL], tmp_path).stdout.splitlines()[-1].split() == ["1200", "2.11.5"]
    assert "Stored builds: 1\n" in run(["-I", "-d", SERIAL], tmp_path).stdout
    assert run(server.get, tmp_path).returncode == 0
    assert stored(tmp_path) == [".settings", "1200.bird", "1300.bird"]


def test_looking_needs_no_store_and_writes_nothing(tmp_path):
    (tmp_path / "file").write_text("x")
    (tmp_path / "p.bird").write_bytes(GOOD)
    r = run(["-C", "-f", str(tmp_path / "p.bird")], tmp_path / "file" / "below")
    assert r.returncode == 0 and "BIRD file is valid" in r.stdout
    r = run(["-L", "-d", SERIAL], tmp_path / "file")
    assert r.returncode == 0 and "No builds found for device [%s]" % SERIAL in r.stdout
    assert run(["-I", "-d", SERIAL], tmp_path / "file").returncode == 1

    storage = tmp_path / "store"
    (device(storage) / "1300.bird").write_bytes(GOOD)
    (device(storage) / "4294968530.bird").write_bytes(b"junk")  # no build within 32 bits
    before = tree(storage)
    assert "1300           \t2.11.5" in run(["-L", "-d", SERIAL], storage).stdout
    r = run(["-I", "-d", SERIAL], storage)
    assert r.returncode == 0 and "Attributes: none" in r.stdout and "TIME" not in r.stdout
    assert r.stdout.splitlines()[-2:] == ["  4294968530.bird  not a loadable BIRD file",
                                          "  1300.bird        build 1300, version 2.11.5"]
    assert tree(storage) == before


# Packages the update flows cannot use: -C, -I, -L and -G agree on each.
UNUSABLE = {
    "4-byte information block": (package(FIRMWARE, info(length=4)),
                                 "the information block holds 4 bytes, 64 are needed"),
    "no blocks": (package(), "the package holds no blocks"),
    "no firmware block": (package(info()), "no firmware block"),
    "no information block": (package(FIRMWARE), "no information block"),
    "no model": (package(FIRMWARE, info(model=b"")), "the information block names no model"),
    "build beyond 32 bits": (package(FIRMWARE, info(b"4294968530")),
                             "the build number of the information block is above 4294967295"),
    "no build number": (package(FIRMWARE, info(b"none")),
                        "the information block holds no build number"),
    "firmware without address": (package(block(1, b"\x00\x00"), info()),
                                 "block 0 is too short to hold its load address"),
    "a million blocks": (many_blocks(1), "the package holds more than 4096 blocks"),
    "a million blocks declared": (many_blocks(1_000_000),
                                  "the package declares 1000000 blocks, more than the 4096 allowed"),
}


@pytest.mark.parametrize("name", sorted(UNUSABLE))
def test_unusable_packages_are_refused_everywhere(server, tmp_path, name):
    data, reason = UNUSABLE[name]
    (tmp_path / "p.bird").write_bytes(data)
    r = run(["-C", "-f", str(tmp_path / "p.bird")], tmp_path)
    assert r.returncode == 1 and "is not valid: " + reason in r.stderr
    (device(tmp_path) / "1300.bird").write_bytes(data)
    assert run(["-L", "-d", SERIAL], tmp_path).stdout.splitlines()[-1].split() == ["1300"]
    assert "1300.bird        not a loadable" in run(["-I", "-d", SERIAL], tmp_path).stdout
    (device(tmp_path) / "1300.bird").unlink()
    server.serve(data)
    r = run(server.get, tmp_path)
    assert r.returncode == 1 and "BIRD file problem: " + reason in r.stderr
    assert stored(tmp_path) == []


def test_running_out_of_memory_is_reported(tmp_path):
    """A package that expands beyond the memory the process may use: a
    message and exit 1, not an abort. (Sanitizer builds reserve address
    space of their own and cannot run under an address-space limit.)"""
    linked = subprocess.run(["ldd", str(UPDATER)], capture_output=True, text=True).stdout
    if "libasan" in linked or "libtsan" in linked:
        pytest.skip("a sanitizer build cannot run under an address-space limit")
    import resource
    image = block(1, bytes(4) + bytes(200 << 20))
    (tmp_path / "big.bird").write_bytes(package(image, info()))
    limit = 96 << 20

    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    command = [str(UPDATER), "-C", "-f", str(tmp_path / "big.bird"), "-i", str(tmp_path)]
    check_network_safety(command[1:])
    r = subprocess.run(command, capture_output=True, text=True, timeout=60, preexec_fn=limited)
    assert r.returncode == 1
    assert "out of memory" in r.stderr.lower()

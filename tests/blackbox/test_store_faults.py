"""The store against hostile contents: histories that cannot be read, FIFOs,
leftover temporary files, packages that cannot be used or hold millions of
blocks, files that cannot be written; and the commands that only look."""
import base64
import os
import struct
import subprocess
import zlib

import pytest

from netsafety import check_network_safety
from update_server_support import SERIAL, UPDATER, ThrowawayServer, stored

QUERY = "ok\n1300\nFW\n"
LIST = "ok\n1300;2.11.5\n"


def block(type_, data, length=None):
    return struct.pack(">BI", type_, len(data) if length is None else length) + data


def info(build=b"1300", model=b"KX-DAQ8", length=64):
    fields = build.ljust(16) + b"2.11.5".ljust(16) + b"00000000".ljust(16) + model.ljust(16)
    return block(4, fields[:length])


FIRMWARE = block(1, b"\x00\x00\x00\x00" + bytes(range(64)))


def package(*blocks, declared=None):
    body = struct.pack(">I", len(blocks) if declared is None else declared) + b"".join(blocks)
    return b"bird\x01\x01" + zlib.compress(body + b"\x00" * 4)


GOOD = package(FIRMWARE, info())


def many_blocks(count, declared):
    """count empty blocks, compressed piece by piece."""
    z = zlib.compressobj(9)
    out = [b"bird\x01\x01", z.compress(struct.pack(">I", declared))]
    piece = b"\x03\x00\x00\x00\x00" * 100000
    for start in range(0, count, 100000):
        out.append(z.compress(piece[:5 * min(100000, count - start)]))
    out += [z.compress(b"\x00" * 4), z.flush()]
    return b"".join(out)


def run(args, storage, cwd=None, url=None, timeout=60):
    command = [str(UPDATER), *args, "-i", str(storage)] + (["-u", url] if url else [])
    check_network_safety(command[1:])
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=cwd)


@pytest.fixture
def server():
    """Serves build 1300; the test sets what the firmware request answers."""
    s = ThrowawayServer({"hi": (200, "ok\n"), "qu": (200, QUERY), "builds": (200, LIST)})
    s.serve = lambda data: s.replies.__setitem__(
        "bird", (200, "ok\n%s\n" % base64.b64encode(data).decode()))
    s.serve(GOOD)
    yield s
    s.stop()


def device(storage, serial=SERIAL):
    path = storage / "updater" / serial
    path.mkdir(parents=True, exist_ok=True)
    return path


def tree(root):
    """Every path under root with its kind, size and modification time."""
    found = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            st = os.lstat(os.path.join(directory, name))
            found[os.path.join(directory, name)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return found


UNREADABLE = {
    "symlink loop": lambda p: os.symlink(".settings", p),
    "directory": lambda p: p.mkdir(),
    "fifo": lambda p: os.mkfifo(p),
}


@pytest.mark.parametrize("kind", sorted(UNREADABLE))
def test_unreadable_history_is_never_replaced_or_written_elsewhere(server, tmp_path, kind):
    storage = tmp_path / "store"
    UNREADABLE[kind](device(storage) / ".settings")
    # Run from inside another device's directory, whose history must stay.
    other = device(storage, "0000ABCD")
    (other / ".settings").write_text("LATEST_DOWNLOAD=1.bird\n")
    before = tree(other)
    r = run(["-G", "-d", SERIAL], storage, cwd=other, url=server.url, timeout=30)
    assert r.returncode == 1
    assert "Cannot read the device history %s/.settings: " % device(storage) in r.stderr
    assert tree(other) == before
    assert stored(storage) == [".settings"], "nothing downloaded or replaced"


@pytest.mark.parametrize("obstacle, reason", [
    ("device is a file", "with 3: %s/updater/%s/1300.bird: Not a directory"),
    ("directory at the file's place", "with 8: %s/updater/%s/1300.bird: Is a directory"),
])
def test_write_failure_names_the_reason(server, tmp_path, obstacle, reason):
    storage = tmp_path / "store"
    if obstacle == "device is a file":
        (storage / "updater").mkdir(parents=True)
        (storage / "updater" / SERIAL).write_text("x")
    else:
        (device(storage) / "1300.bird").mkdir()
    r = run(["-G", "-d", SERIAL], storage, url=server.url)
    assert r.returncode == 1
    assert "Failed to write file " + reason % (storage, SERIAL) in r.stderr


def test_fifos_never_block_a_command(server, tmp_path):
    storage = tmp_path / "store"
    os.mkfifo(device(storage) / ".settings")
    os.mkfifo(device(storage) / "1300.bird")
    fifo = str(device(storage) / "1300.bird")
    for args, code, says in [
        (["-L", "-d", SERIAL], 0, "1300           \t               "),
        (["-I", "-d", SERIAL], 1, "  1300.bird        not a loadable BIRD file"),
        (["-C", "-f", fifo], 1, "is not valid: not a regular file"),
        (["-G", "-d", SERIAL, "-u", server.url], 1, "history %s/.settings: not a regular file"
         % device(storage)),
    ]:
        r = run(args, storage, timeout=30)
        assert r.returncode == code, args
        assert says in r.stdout + r.stderr, args


def test_leftover_temporaries_are_no_builds_and_go_with_the_next_write(server, tmp_path):
    storage = tmp_path / "store"
    directory = device(storage)
    (directory / "1200.bird").write_bytes(package(FIRMWARE, info(b"1200")))
    leftovers = [".1300.bird.tmpAb12Cd", "1300.bird.tmpXy34Zw", "..settings.tmpQQ99qq"]
    for name in leftovers:
        (directory / name).write_bytes(GOOD)
    r = run(["-L", "-d", SERIAL], storage)
    assert r.stdout.splitlines()[-1].split() == ["1200", "2.11.5"]
    r = run(["-I", "-d", SERIAL], storage)
    assert "Stored builds: 1" in r.stdout
    r = run(["-G", "-d", SERIAL], storage, url=server.url)
    assert r.returncode == 0, r.stderr
    assert stored(storage) == [".settings", "1200.bird", "1300.bird"]


def test_check_needs_no_store(tmp_path):
    (tmp_path / "file").write_text("not a directory")
    (tmp_path / "p.bird").write_bytes(GOOD)
    r = run(["-C", "-f", str(tmp_path / "p.bird")], tmp_path / "file" / "below")
    assert r.returncode == 0, r.stderr
    assert "BIRD file is valid" in r.stdout


def test_looking_writes_nothing(tmp_path):
    storage = tmp_path / "store"
    (device(storage) / "1300.bird").write_bytes(GOOD)
    before = tree(storage)
    r = run(["-L", "-d", SERIAL], storage)
    assert r.stdout.splitlines()[-1].split() == ["1300", "2.11.5"]
    r = run(["-I", "-d", SERIAL], storage)
    assert r.returncode == 0, r.stderr
    assert "Attributes: none" in r.stdout and "TIME" not in r.stdout
    assert tree(storage) == before
    # A store that cannot exist: nothing to list, nothing made.
    (tmp_path / "file").write_text("x")
    r = run(["-L", "-d", SERIAL], tmp_path / "file")
    assert r.returncode == 0 and "No builds found for device [%s]" % SERIAL in r.stdout
    assert run(["-I", "-d", SERIAL], tmp_path / "file").returncode == 1


# Packages the update flows cannot use: -C, -I, -L and -G agree on each.
UNUSABLE = [
    ("4-byte information block", package(FIRMWARE, info(length=4)),
     "the information block holds 4 bytes, 64 are needed"),
    ("no blocks", package(), "the package holds no blocks"),
    ("no firmware block", package(info()), "no firmware block"),
    ("no information block", package(FIRMWARE), "no information block"),
    ("no model", package(FIRMWARE, info(model=b"")), "the information block names no model"),
    ("build beyond 32 bits", package(FIRMWARE, info(b"4294968530")),
     "the build number of the information block is above 4294967295"),
    ("no build number", package(FIRMWARE, info(b"none")), "the information block holds no build number"),
    ("firmware block without address", package(block(1, b"\x00\x00"), info()),
     "block 0 is too short to hold its load address"),
    ("more blocks than allowed", many_blocks(1_000_000, 1), "the package holds more than 4096 blocks"),
    ("more blocks declared than allowed", many_blocks(1_000_000, 1_000_000),
     "the package declares 1000000 blocks, more than the 4096 allowed"),
]


@pytest.mark.parametrize("name, data, reason", UNUSABLE, ids=[u[0] for u in UNUSABLE])
def test_unusable_packages_are_refused_everywhere(server, tmp_path, name, data, reason):
    storage = tmp_path / "store"
    (tmp_path / "p.bird").write_bytes(data)
    r = run(["-C", "-f", str(tmp_path / "p.bird")], storage)
    assert r.returncode == 1
    assert "is not valid: " + reason in r.stderr

    (device(storage) / "1300.bird").write_bytes(data)
    r = run(["-L", "-d", SERIAL], storage)
    assert r.stdout.splitlines()[-1].split() == ["1300"], "no version for an unusable package"
    r = run(["-I", "-d", SERIAL], storage)
    assert "  1300.bird        not a loadable BIRD file" in r.stdout

    (device(storage) / "1300.bird").unlink()
    server.serve(data)
    r = run(["-G", "-d", SERIAL], storage, url=server.url)
    assert r.returncode == 1
    assert "BIRD file problem: " + reason in r.stderr
    assert stored(storage) == []


def test_view_info_orders_by_build_numbers_within_32_bits(tmp_path):
    storage = tmp_path / "store"
    for name in ("1233.bird", "4294968530.bird"):
        (device(storage) / name).write_bytes(b"junk")
    r = run(["-I", "-d", SERIAL], storage)
    assert r.stdout.splitlines()[-2:] == ["  4294968530.bird  not a loadable BIRD file",
                                          "  1233.bird        not a loadable BIRD file"]

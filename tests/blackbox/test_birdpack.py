"""The birdpack package tool: manifests in, BIRD files out, and its
description of packages."""
import struct
import subprocess
import zlib

import pytest

from conftest import program


@pytest.fixture
def birdpack():
    return program("tools", "birdpack")


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=60)


def body_of(path):
    data = path.read_bytes()
    assert data[:6] == b"bird\x01\x01"
    return zlib.decompress(data[6:])


def parse_blocks(body):
    count = struct.unpack(">I", body[:4])[0]
    pos, blocks = 4, []
    while len(body) - pos > 4:
        type_flags, length = struct.unpack(">BI", body[pos:pos + 5])
        blocks.append((type_flags & 0x1F, type_flags >> 5, body[pos + 5:pos + 5 + length]))
        pos += 5 + length
    assert len(body) - pos == 4
    return count, blocks


def test_create_writes_blocks_in_manifest_order(birdpack, tmp_path):
    (tmp_path / "fw.bin").write_bytes(bytes(range(200)))
    (tmp_path / "ld.bin").write_bytes(b"\xAA" * 16)
    (tmp_path / "x.bin").write_bytes(b"xyz")
    (tmp_path / "m.txt").write_text(
        "# a package\n"
        "loader ld.bin 0x10000000 flags 2\n"
        "firmware fw.bin 0x4000 flags 07   # trailing comment\n"
        "offsets 0x4010 016416\n"
        "info 1234 1.2.3 generic KX 100  Pro\n"
        "loader-start 0x10000101\n"
        "block 31 x.bin flags 1\n"
        "checksum 0xCAFEF00D\n")
    result = run(birdpack, "create", str(tmp_path / "m.txt"), "-o", str(tmp_path / "p.bird"))
    assert result.returncode == 0, result.stderr
    body = body_of(tmp_path / "p.bird")
    count, blocks = parse_blocks(body)
    assert count == 6
    assert [(t, f) for t, f, _ in blocks] == [(0, 2), (1, 7), (2, 0), (4, 0), (5, 0), (31, 1)]
    assert blocks[0][2] == b"\x10\x00\x00\x00" + b"\xAA" * 16
    assert blocks[1][2] == b"\x00\x00\x40\x00" + bytes(range(200))
    assert blocks[2][2] == bytes.fromhex("0000401000004020")
    assert blocks[3][2] == (b"1234".ljust(16) + b"1.2.3".ljust(16) + b"00000000".ljust(16)
                            + b"KX 100  Pro".ljust(16))
    assert blocks[4][2] == bytes.fromhex("10000101")
    assert blocks[5][2] == b"xyz"
    assert body[-4:] == bytes.fromhex("CAFEF00D")


def test_default_checksum_is_crc32_of_the_body(birdpack, tmp_path):
    (tmp_path / "fw.bin").write_bytes(b"\xFF" * 1000)
    (tmp_path / "m.txt").write_text("firmware fw.bin 0\ninfo 7 0.1 1A2B3C4D KX\n")
    assert run(birdpack, "create", str(tmp_path / "m.txt"), "-o",
               str(tmp_path / "p.bird")).returncode == 0
    body = body_of(tmp_path / "p.bird")
    assert struct.unpack(">I", body[-4:])[0] == zlib.crc32(body[:-4])
    assert body[4 + 5 + 1004 + 5 + 32:4 + 5 + 1004 + 5 + 48] == b"1A2B3C4D        "


@pytest.mark.parametrize("line, message", [
    ("firmware missing.bin 0", "cannot read"),
    ("firmware fw.bin", "firmware needs FILE ADDRESS"),
    ("firmware fw.bin 0 flags 8", "flags N"),
    ("firmware fw.bin 0x100000000", "firmware needs FILE ADDRESS"),
    ("info 1 version-too-long-text S KX", "serial number must be hexadecimal"),
    ("info 1 version-too-long-text 0 KX", "at most 15 characters"),
    ("block 32 fw.bin", "TYPE (0-31)"),
    ("frobnicate 1", "unknown directive \"frobnicate\""),
])
def test_manifest_errors_name_the_line_and_write_nothing(birdpack, tmp_path, line, message):
    (tmp_path / "fw.bin").write_bytes(b"\x01\x02")
    (tmp_path / "m.txt").write_text("firmware fw.bin 0\n" + line + "\n")
    result = run(birdpack, "create", str(tmp_path / "m.txt"), "-o", str(tmp_path / "p.bird"))
    assert result.returncode == 1
    assert ":2: " in result.stderr and message in result.stderr
    assert not (tmp_path / "p.bird").exists()


def test_usage_errors(birdpack, tmp_path):
    assert run(birdpack).returncode == 2
    assert run(birdpack, "create", "m.txt").returncode == 2
    assert run(birdpack, "bogus").returncode == 2
    (tmp_path / "m.txt").write_text("# nothing\n")
    result = run(birdpack, "create", str(tmp_path / "m.txt"), "-o", str(tmp_path / "p.bird"))
    assert result.returncode == 1 and "no block" in result.stderr


def test_info_describes_a_package(birdpack, tmp_path):
    (tmp_path / "fw.bin").write_bytes(b"\x00" * 64)
    (tmp_path / "m.txt").write_text("firmware fw.bin 0x8000 flags 3\ninfo 99 2.0.0 0000ABCD KX-9\n")
    run(birdpack, "create", str(tmp_path / "m.txt"), "-o", str(tmp_path / "p.bird"))
    result = run(birdpack, "info", str(tmp_path / "p.bird"))
    assert result.returncode == 0
    out = result.stdout
    assert "Build: 99\n" in out and "Version: 2.0.0\n" in out
    assert "Serial number: 0000ABCD\n" in out and "Model: KX-9\n" in out
    assert "Loader: not present\n" in out
    assert "  0   1 firmware          3      0x00008000  68\n" in out
    assert out.endswith("Valid\n")
    broken = run(birdpack, "info", str(tmp_path / "m.txt"))
    assert broken.returncode == 1 and "Not valid" in broken.stdout

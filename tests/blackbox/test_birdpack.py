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


# Recovery packages of the sample repository, read the way the recovery
# flows read them.

LPC_FINGERPRINT = ["2C01002B", "8A5C3F0D", "4E3A1B27", "1C0F00A1"]
IMX_FINGERPRINT = ["00000000", "0000001A", "5A17C0DE", "00000001"]


def descramble(image, words):
    """The updater's decoding: each byte XOR key byte XOR the byte restored before."""
    key = b"".join(bytes.fromhex(w) for w in words)
    out, previous = bytearray(), 0
    for i, b in enumerate(image):
        previous = b ^ key[i % 16] ^ previous
        out.append(previous)
    return bytes(out)


@pytest.fixture(scope="module")
def sample_repo(tmp_path_factory):
    from update_server_support import make_sample_repo
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=8)


def test_usage_names_the_scramble_line(birdpack):
    assert "scramble     W1 W2 W3 W4" in run(birdpack).stderr


def test_sample_lpc_package_is_bound_and_descrambles_with_its_fingerprint(sample_repo):
    _, blocks = parse_blocks(body_of(sample_repo / "kxrelay4-810-lpc-4C500001.bird"))
    assert [t for t, _, _ in blocks] == [1, 4]  # no serial offsets: bound to one chip
    assert blocks[1][2][32:48] == b"4C500001".ljust(16)
    firmware = blocks[0][2]
    assert firmware[:4] == b"\x00\x00\x00\x00" and len(firmware) == 4 + 8 * 1024
    for words, valid in [(LPC_FINGERPRINT, True), (IMX_FINGERPRINT, False)]:
        image = descramble(firmware[4:], words)
        vectors = struct.unpack("<8I", image[:32])
        # The boot ROM starts user code only when entries 0-7 sum to 0.
        assert (sum(vectors) & 0xFFFFFFFF == 0) == valid
        assert image[32:53].startswith(b"KORVEX lpc-relay4-810") == valid


def test_sample_imx_package_holds_loader_pieces_start_and_firmware(sample_repo):
    _, blocks = parse_blocks(body_of(sample_repo / "kxdaq8-1320-imx-1A000001.bird"))
    assert [t for t, _, _ in blocks] == [0, 0, 5, 1, 4]
    # Loader pieces: big-endian address word, then the image to write there.
    loaders = [(struct.unpack(">I", d[:4])[0], len(d) - 4) for t, _, d in blocks if t == 0]
    assert loaders == [(0x20000400, 4096), (0x20001400, 2048)]
    assert blocks[0][2][4 + 0x20:4 + 0x20 + 17] == b"KORVEX imx-loader"
    assert struct.unpack(">I", blocks[2][2][:4])[0] == 0x20000400
    firmware = blocks[3][2]
    assert struct.unpack(">I", firmware[:4])[0] == 0x60000000
    assert firmware[4 + 32:4 + 32 + 20] == b"KORVEX imx-daq8-1320"  # not scrambled
    assert blocks[4][2][32:48] == b"1A000001".ljust(16)


def test_sample_server_leads_each_fingerprint_to_its_package(sample_repo):
    import base64
    import urllib.request
    from update_server_support import UpdateServer

    server = UpdateServer(sample_repo)
    try:
        def ask(query):
            assert server.url.startswith("http://127.0.0.1:")
            with urllib.request.urlopen(server.url + "?" + query, timeout=30) as reply:
                return reply.read().decode()

        for words, serial, build, name in [
                (LPC_FINGERPRINT, "4C500001", "810", "kxrelay4-810-lpc-4C500001.bird"),
                (IMX_FINGERPRINT, "1A000001", "1320", "kxdaq8-1320-imx-1A000001.bird")]:
            answer = ask("brief=true&fp=%s&op=fix&" % "%20".join(words))
            assert answer == "ok\n%s\n%s\n" % (serial, build)
            firmware_id = ask("op=qu&sn=%s&" % serial).split("\n")[2]
            bird = ask("bld=%s&fw=%s&no_cal=false&op=bird&sn=%s&" % (build, firmware_id, serial))
            assert bird.startswith("ok\n")
            assert base64.b64decode(bird.split("\n")[1]) == (sample_repo / name).read_bytes()
        assert ask("brief=true&fp=%s&op=fix&" % "%20".join(reversed(IMX_FINGERPRINT))) \
            == "error unknown fingerprint\n"
    finally:
        server.stop()

"""-C checks a BIRD package and -I shows a device's store entry."""
import struct
import subprocess
import zlib

import pytest

from conftest import program

VERSION_LINE = "Updater (Version: 2.11.5 Oct 13 2025)"


@pytest.fixture
def make_package(tmp_path):
    birdpack = program("tools", "birdpack")

    def make(name, manifest, files=None):
        for file_name, data in (files or {}).items():
            (tmp_path / file_name).write_bytes(data)
        (tmp_path / (name + ".txt")).write_text(manifest)
        out = tmp_path / name
        result = subprocess.run([birdpack, "create", str(tmp_path / (name + ".txt")), "-o",
                                 str(out)], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        return out

    return make


def raw_package(path, body, version=b"\x01\x01"):
    path.write_bytes(b"bird" + version + zlib.compress(body))
    return path


def test_check_reports_a_good_generic_package(run_updater, make_package):
    package = make_package("g.bird",
                           "loader ld.bin 0x10000000\nfirmware fw.bin 0 flags 1\n"
                           "offsets 0x100 0x200\ninfo 1300 2.1.0 generic KX-100\n"
                           "loader-start 0x10000001\n",
                           {"ld.bin": b"\x01" * 32, "fw.bin": b"\xFF" * 4096})
    result = run_updater("-C", "-f", str(package))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == VERSION_LINE
    for expected in ["Format version: 1.1", "Build: 1300", "Version: 2.1.0",
                     "Serial number: generic (serial word at 0x00000100, descriptor at 0x00000200)",
                     "Model: KX-100", "Loader: present (1 block(s), start address 0x10000001)",
                     "Blocks: 5 (declared 5)",
                     "  1   1 firmware          1      0x00000000  4100",
                     "BIRD file is valid"]:
        assert expected in lines, expected
    assert result.stderr == ""


def test_check_names_the_serial_of_a_bound_package(run_updater, make_package):
    package = make_package("b.bird", "firmware fw.bin 0\ninfo 5 1.0 1A2B3C4D KX\n",
                           {"fw.bin": b"\x00" * 8})
    result = run_updater("-C", "-f", str(package))
    assert result.returncode == 0
    assert "Serial number: 1A2B3C4D" in result.stdout
    assert "Loader: not present" in result.stdout


@pytest.mark.parametrize("content, reason", [
    (b"bird\x01", "shorter than the 6-byte header"),
    (b"bard\x01\x01" + zlib.compress(b"\x00" * 8), 'does not start with "bird"'),
    (b"bird\x00\x00" + zlib.compress(b"\x00" * 8), "format version bytes 00 00"),
    (b"bird\x01\x01", "cannot be expanded"),
    (b"bird\x01\x01" + zlib.compress(b"\x00" * 64)[:-6], "cannot be expanded"),
    (b"bird\x01\x01\x78\x9c\xff\xff\xff", "cannot be expanded"),
])
def test_check_rejects_broken_packages_with_the_reason(run_updater, tmp_path, content, reason):
    path = tmp_path / "bad.bird"
    path.write_bytes(content)
    result = run_updater("-C", "-f", str(path))
    assert result.returncode == 1
    assert f"BIRD file {path} is not valid: " in result.stderr
    assert reason in result.stderr


def test_check_missing_file_and_missing_option(run_updater, tmp_path):
    result = run_updater("-C", "-f", str(tmp_path / "none.bird"))
    assert result.returncode == 1 and "cannot be found" in result.stderr
    result = run_updater("-C")
    assert result.returncode == 1 and "Must specify the BIRD file to check with -f" in result.stderr


def info_block(build=b"5", model=b"KX", length=64):
    data = build.ljust(16) + b"1.0".ljust(16) + b"0".ljust(16) + model.ljust(16)
    return struct.pack(">BI", 4, length) + data[:length]


def test_check_warns_about_structure_but_loads(run_updater, tmp_path):
    # Declares 3 blocks, holds 2, and the last claims more data than exists.
    block = struct.pack(">BI", 1, 8) + b"\x00\x00\x00\x00abcd"
    overrun = struct.pack(">BI", 1, 1000) + b"\x00\x00"
    body = struct.pack(">I", 3) + block + info_block() + overrun + b"\x00\x00\x00\x00"
    path = raw_package(tmp_path / "w.bird", body)
    result = run_updater("-C", "-f", str(path))
    assert result.returncode == 0
    assert "Blocks: 2 (declared 3)" in result.stdout
    assert "BIRD file is loadable, with warnings:" in result.stdout
    assert "do not fill the body exactly as declared" in result.stdout


def test_check_accepts_images_far_beyond_eight_to_one(run_updater, make_package):
    package = make_package("big.bird", "firmware fw.bin 0\ninfo 1 1.0 0 KX\n",
                           {"fw.bin": b"\xFF" * (2 << 20)})
    assert package.stat().st_size * 8 < (2 << 20)
    result = run_updater("-C", "-f", str(package))
    assert result.returncode == 0
    assert "  0   1 firmware          0      0x00000000  2097156" in result.stdout


def test_view_info_of_a_stored_device(run_updater, make_package, tmp_path):
    root = tmp_path / "store"
    device = root / "updater" / "0000ABCD"
    device.mkdir(parents=True)
    for build, version in ((1300, "2.0.0"), (1234, "1.9.9")):
        make_package(f"p{build}",
                     f"firmware fw.bin 0\ninfo {build} {version} 0000ABCD KX\n",
                     {"fw.bin": b"\x00" * 16}).rename(device / f"{build}.bird")
    (device / "7.bird").write_bytes(b"junk")
    (device / ".settings").write_text("LATEST_DOWNLOAD=1300.bird\nLAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026\n")
    (root / "updater" / "0000ABCD.old").mkdir()
    result = run_updater("-i", str(root), "-I", "-d", "ABCD")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1:] == [
        "Device 0000ABCD",
        f"Directory: {device}",
        "Attributes:",
        "  LAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026",
        "  LATEST_DOWNLOAD=1300.bird",
        "Stored builds: 3",
        "  7.bird           not a loadable BIRD file",
        "  1234.bird        build 1234, version 1.9.9",
        "  1300.bird        build 1300, version 2.0.0",
    ]


def test_view_info_of_an_unknown_device(run_updater, tmp_path):
    root = tmp_path / "store"
    (root / "updater" / "0000ABCD.old").mkdir(parents=True)
    result = run_updater("-i", str(root), "-I", "-d", "ABCD")
    assert result.returncode == 1
    assert "Device 0000ABCD is not known to the store at" in result.stderr
    assert not (root / "updater" / "0000ABCD").exists()
    result = run_updater("-i", str(root), "-I")
    assert result.returncode == 1
    assert "must supply a serial number" in result.stderr

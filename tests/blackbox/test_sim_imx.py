"""The simulated i.MX boot ROM: SDP over a pseudo-terminal from Python, over
HID from hidapi inside the world, and the jump that brings its loader up on
USB as a module (DEADDEAD or its own serial) with the fingerprint words."""
import json
import os
import subprocess
import sys
import time

import pytest

from simhost import BIN, SIM, Host, Sim

HERE = os.path.dirname(os.path.abspath(__file__))
HID_PROBE = os.path.join(HERE, "imx_hid_probe.py")
LINK_PROBE = os.path.join(BIN, "tests", "sim_link_probe")
DISCOVERY_PROBE = os.path.join(BIN, "tests", "discovery_probe")
USB = os.path.exists(os.path.join(BIN, "sim", "usb_probe"))
needs_usb = pytest.mark.skipif(not USB, reason="korvex-sim built without umockdev")

FP = "11111111:22222222:AABBCCDD:01020304"
SECURITY = bytes.fromhex("56787856")


def command(kind, address=0, fmt=0, count=0):
    return kind.to_bytes(2, "big") + address.to_bytes(4, "big") + bytes([fmt]) + count.to_bytes(4, "big") + bytes(5)


def read_bytes(host, n, timeout=2.0):
    deadline = time.monotonic() + timeout
    while len(host.buf) < n and not host.closed and host._fill(deadline - time.monotonic()):
        pass
    out = bytes(host.buf[:n])
    del host.buf[:n]
    return out


def word(value):
    return value.to_bytes(4, "little")


def imx_status(sim):
    with open(sim.status_path) as f:
        return json.load(f)["imx"][0]


def wait_status(sim, check, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        s = imx_status(sim)
        if check(s):
            return s
        time.sleep(0.05)
    return imx_status(sim)


def test_pty_status_write_file_and_fuse_words():
    with Sim("--imx", f"serial=1234ABCD,fingerprint={FP},pty") as sim:
        host = Host.pty(imx_status(sim)["pty"])
        host.write(command(0x0505))
        assert read_bytes(host, 8) == SECURITY + word(0xF0F0F0F0)
        image = bytes((i * 3) & 0xFF for i in range(2500))
        host.write(command(0x0404, 0x20000400, 0x20, len(image)))
        for at in range(0, len(image), 700):  # raw data in any pieces
            host.write(image[at:at + 700])
        assert read_bytes(host, 8) == SECURITY + word(0x88888888)
        host.write(command(0x0101, 0x401F4410, 0x20, 4) + command(0x0101, 0x401F4420, 0x20, 4))
        assert read_bytes(host, 16) == SECURITY + word(0x01020304) + SECURITY + word(0xAABBCCDD)
        s = wait_status(sim, lambda s: s["counters"]["data_bytes"] == 2500 and "0101" in s["counters"]["commands"])
        assert s["counters"]["commands"] == {"0505": 1, "0404": 1, "0101": 2}
        assert s["state"] == "rom"
        host.close()


@pytest.mark.parametrize("fault,expect", [
    ("silent", "nothing to status, the fuse words still"),
    ("incomplete", "a write file ends with 0x33333333"),
    ("mid-answer", "an answer after the first 1024 data bytes"),
    ("chatty=10", "status answers nobody asked for"),
    ("slow=300", "answers, late"),
])
def test_pty_faults(fault, expect):
    with Sim("--imx", f"serial=1234ABCD,fingerprint={FP},pty,fault={fault}") as sim:
        host = Host.pty(imx_status(sim)["pty"])
        name = fault.split("=")[0]
        if name == "silent":
            host.write(command(0x0505))
            assert read_bytes(host, 8, timeout=0.5) == b"", expect
            host.write(command(0x0101, 0x401F4410, 0x20, 4))
            assert read_bytes(host, 8) == SECURITY + word(0x01020304)
        elif name == "incomplete":
            host.write(command(0x0404, 0x20000400, 0x20, 16) + bytes(16))
            assert read_bytes(host, 8) == SECURITY + word(0x33333333), expect
        elif name == "mid-answer":
            host.write(command(0x0404, 0x20000400, 0x20, 4096) + bytes(1024))
            assert read_bytes(host, 8) == SECURITY + word(0x33333333), expect
            host.write(bytes(3072))
            assert read_bytes(host, 8) == SECURITY + word(0x88888888)
        elif name == "chatty":
            assert read_bytes(host, 24) == (SECURITY + word(0xF0F0F0F0)) * 3, expect
        else:
            host.write(command(0x0505))
            assert read_bytes(host, 8, timeout=5) == SECURITY + word(0xF0F0F0F0), expect
        s = wait_status(sim, lambda s: name in s["faults_fired"])
        assert name in s["faults_fired"]
        host.close()


def run_world(*args, command):
    return subprocess.run([SIM] + list(args) + ["--", "sh", "-c", command],
                          capture_output=True, text=True, timeout=120)


def link_probe_until_found(serial, what="ident"):
    # The loader comes up a moment after the jump: a bounded number of tries.
    return (f"(for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do sleep 0.2; "
            f"{LINK_PROBE} usb {serial} {what} && exit 0; done; exit 1)")


@needs_usb
@pytest.mark.parametrize("loader_serial,seen", [("deadead", "DEADDEAD"), ("own", "1234ABCD")])
def test_hid_load_jump_and_the_loader_on_usb(loader_serial, seen):
    r = run_world("--imx", f"serial=1234ABCD,fingerprint={FP},hid,loader_serial={loader_serial}",
                  command=f"{sys.executable} {HID_PROBE} status write:20000400:2500 read:401F4410 "
                          f"read:401F4420 jump:20000400 gone && " + link_probe_until_found(seen))
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    report4 = lambda w: "04" + word(w).hex() + "00" * 60
    assert f"status 0356787856 {report4(0xF0F0F0F0)}" in lines
    assert f"write 0356787856 {report4(0x88888888)}" in lines
    assert f"read 0356787856 {report4(0x01020304)}" in lines
    assert f"read 0356787856 {report4(0xAABBCCDD)}" in lines
    assert "jump 0356787856" in lines
    assert "gone yes" in lines  # the ROM's HID device left the bus
    assert f"serial {seen}" in lines
    # Subindex j is the host's fingerprint word 3 - j.
    assert ["ident 0 01020304", "ident 1 AABBCCDD", "ident 2 22222222", "ident 3 11111111"] == \
        [l for l in lines if l.startswith("ident")]
    assert f"usb: present as serial number {seen}" in r.stderr


@needs_usb
def test_the_loader_takes_an_upgrade_and_reboots_under_its_own_serial(tmp_path):
    dump = tmp_path / "flash.bin"
    r = run_world("--imx", f"serial=1234ABCD,fingerprint={FP},hid,flash_dump={dump},reboot_away_ms=300",
                  command=f"{sys.executable} {HID_PROBE} write:20000400:64 jump:20000400 && " +
                          link_probe_until_found("DEADDEAD", "reboot 1234ABCD"))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "upgrade chunk written" in r.stdout
    assert "reconnected, serial 1234ABCD" in r.stdout
    assert dump.read_bytes() == bytes(range(104))
    assert "back in its ROM" not in r.stderr


@needs_usb
def test_a_reset_loader_brings_the_rom_back():
    again = (f"(for i in 1 2 3 4 5 6 7 8 9 10; do sleep 0.2; "
             f"{sys.executable} {HID_PROBE} status && exit 0; done; exit 1)")
    r = run_world("--imx", f"serial=1234ABCD,fingerprint={FP},hid",
                  command=f"{sys.executable} {HID_PROBE} write:20000400:64 jump:20000400 && " +
                          link_probe_until_found("DEADDEAD", "ident reset") + " && " + again)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "reset acknowledged" in r.stdout
    assert r.stdout.splitlines()[-1].startswith("status 0356787856 04f0f0f0f0")
    assert "the loader was reset; the chip is back in its ROM" in r.stderr
    assert "HID device back at /dev/hidraw1" in r.stderr


@needs_usb
def test_hid_jump_outside_any_written_image_keeps_the_rom():
    r = run_world("--imx", f"serial=1234ABCD,fingerprint={FP},hid",
                  command=f"{sys.executable} {HID_PROBE} write:20000400:100 jump:30000000 status; "
                          f"sleep 0.5; {DISCOVERY_PROBE} usb find DEADDEAD")
    assert r.returncode == 0, r.stdout + r.stderr
    fail = "04" + word(0x33333333).hex() + "00" * 60
    assert f"jump 0356787856 {fail}" in r.stdout
    assert "status 0356787856 04f0f0f0f0" in r.stdout  # still in the ROM
    assert r.stdout.splitlines()[-1] == "none"


@needs_usb
def test_hid_loader_prefix_and_a_silent_chip_after_a_bad_jump():
    # The image written starts 00 07 0E ...; the ROM only starts images
    # beginning with D1 and goes silent on anything else.
    r = run_world("--imx", f"serial=1234ABCD,hid,loader_prefix=D1,bad_jump=silent",
                  command=f"{sys.executable} {HID_PROBE} write:20000400:100 jump:20000400 status")
    assert r.returncode == 0, r.stdout + r.stderr
    lines = [l.strip() for l in r.stdout.splitlines()]
    assert lines[-2].startswith("jump 0356787856 04" + word(0x33333333).hex())
    assert lines[-1] == "status"  # no answer any more
    assert "jump to an unknown image; the chip is silent" in r.stderr


@pytest.mark.parametrize("desc,message", [
    ("serial=1234ABCD", "has no transport: add hid or pty"),
    ("serial=1234ABCD,pty,fingerprint=1:2:3", "four hexadecimal words"),
    ("serial=1234ABCD,pty,tcp", "\"tcp\" is not an i.MX chip's key"),
    ("serial=1234ABCD,pty,fault=loud", "unknown i.MX fault \"loud\""),
    ("serial=1234ABCD,pty,bad_jump=maybe", "stay or silent"),
    ("serial=1234ABCD,pty,register=5", "register=ADDRESS:VALUE"),
])
def test_bad_descriptions_are_refused(desc, message):
    r = subprocess.run([SIM, "--imx", desc], capture_output=True, text=True, timeout=30)
    assert r.returncode == 2
    assert message in r.stderr


def test_world_file_imx_list(tmp_path):
    world = tmp_path / "world.json"
    world.write_text(json.dumps({"imx": [{"serial": "0000BEEF", "pty": True, "fingerprint": [1, 2, 3, 4],
                                          "registers": {"0x401F4424": "0x5A5A5A5A"}, "faults": ["incomplete"]}]}))
    with Sim("--world", str(world)) as sim:
        assert imx_status(sim)["serial"] == "0000BEEF"
        host = Host.pty(imx_status(sim)["pty"])
        host.write(command(0x0101, 0x401F4420, 0x20, 8))  # two words: fuse high, then the given register
        assert read_bytes(host, 12) == SECURITY + word(3) + word(0x5A5A5A5A)
        host.close()
    assert "fingerprint 00000001:00000002:00000003:00000004  faults: incomplete" in sim.final_output

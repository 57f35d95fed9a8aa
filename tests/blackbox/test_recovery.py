"""Recovery through the boot ROM: Updater -N and -U -t RECOVER against the
simulated LPC boot ROM on a pseudo-terminal and the simulated i.MX boot ROM
over a pseudo-terminal and over HID, with our update server on 127.0.0.1
answering recovery information from the sample repository."""
import json
import os
import select
import signal
import struct
import subprocess
import sys
import threading
import time
import tty

import pytest

from netsafety import check_network_safety
from simhost import BIN, SIM, Sim
from test_birdpack import body_of, descramble, parse_blocks
from update_server_support import (UPDATER, ThrowawayServer, UpdateServer, free_port_url,
                                   make_sample_repo)

LPC_ID = ["2C01002B", "8A5C3F0D", "4E3A1B27", "1C0F00A1"]
LPC_PRINTED = "[ %s ]" % " ".join(LPC_ID)
LPC_SERIAL = "4C500001"
LPC_FILE = "kxrelay4-810-lpc-4C500001.bird"
IMX_FP = ["00000000", "0000001A", "5A17C0DE", "00000001"]
IMX_PRINTED = "[ %s ]" % " ".join(IMX_FP)
IMX_FILE = "kxdaq8-1320-imx-1A000001.bird"
USB = os.path.exists(os.path.join(BIN, "sim", "usb_probe"))
needs_usb = pytest.mark.skipif(not USB, reason="korvex-sim built without umockdev")
FLASH = 0x80000


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=8)


@pytest.fixture(scope="module")
def server(repo):
    s = UpdateServer(repo)
    yield s
    s.stop()


def updater(args, storage, timeout=120, env=None):
    command = [str(UPDATER), *args, "-i", str(storage)]
    check_network_safety(command[1:], env)
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})))


def lpc_sim(tmp_path, *faults, erase_ms=5):
    spec = "id=" + ":".join("0x" + w for w in LPC_ID) + f",flash_dump={tmp_path / 'flash.bin'}"
    spec += f",erase_ms={erase_ms}" + "".join(f",fault={f}" for f in faults)
    return Sim("--lpc", spec)


def lpc_status(sim):
    with open(sim.status_path) as f:
        return json.load(f)["lpc"][0]


def lpc_pty(sim):
    return sim.status["lpc"][0]["pty"]


def final_flash(sim, tmp_path):
    """The flash as the ROM holds it when the world ends."""
    sim.stop()
    return (tmp_path / "flash.bin").read_bytes()


def expected_lpc_flash(repo):
    _, blocks = parse_blocks(body_of(repo / LPC_FILE))
    firmware = blocks[0][2]
    image = descramble(firmware[4:], LPC_ID)
    return image + b"\xFF" * (FLASH - len(image))


# ---------------------------------------------------------------- LPC


def test_lpc_fingerprint_twice_and_flash_untouched(tmp_path):
    with lpc_sim(tmp_path) as sim:
        # The second run finds the ROM synchronised already; a rate that is
        # not a number is the usual one.
        for rate in ["115200", "fast"]:
            r = updater(["-N", "-s", lpc_pty(sim), "-o", rate], tmp_path, timeout=60)
            assert r.returncode == 0, r.stdout + r.stderr
            assert LPC_PRINTED in r.stdout.splitlines()
        counters = lpc_status(sim)["counters"]["commands"]
        assert not {"U", "P", "E", "W", "C", "G"} & set(counters)
        assert final_flash(sim, tmp_path) == b"\xFF" * FLASH


@pytest.mark.parametrize("first_fingerprint", [False, True])
def test_lpc_recovery_from_the_servers_information(tmp_path, repo, server, first_fingerprint):
    with lpc_sim(tmp_path) as sim:
        if first_fingerprint:
            assert updater(["-N", "-s", lpc_pty(sim)], tmp_path, timeout=60).returncode == 0
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-u", server.url], tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        assert "Transferring firmware block 1 of 1, 8192 bytes" in r.stdout
        assert "Transferred 1 blocks, 8192 total bytes" in r.stdout
        assert "Rebooting Device" in r.stdout and "Update time: " in r.stdout
        status = lpc_status(sim)
        assert status["counters"]["nonblank_writes"] == 0
        assert final_flash(sim, tmp_path) == expected_lpc_flash(repo)
    # The file came from the server for the serial number it named.
    assert (tmp_path / "updater" / LPC_SERIAL / "810.bird").exists()


@pytest.mark.parametrize("rate", ["57600", "9600", "fast", "460800"])
def test_lpc_programs_at_a_rate_the_rom_was_told(tmp_path, repo, server, rate):
    with lpc_sim(tmp_path) as sim:
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-o", rate, "-u", server.url],
                    tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        switched = lpc_status(sim)["counters"]["commands"].get("B", 0)
        assert switched == (1 if rate in ("57600", "9600") else 0)
        assert final_flash(sim, tmp_path) == expected_lpc_flash(repo)


def test_lpc_build_from_the_command_line_with_the_servers_serial(tmp_path, repo, server):
    with lpc_sim(tmp_path) as sim:
        before = len(server.requests())
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-b", "811", "-u", server.url],
                    tmp_path)
        asked = server.requests()[before:]
        assert r.returncode == 1
        assert "Recovering firmware with build: 811" in r.stdout
        # The serial number is the server's; build 811 does not exist for it.
        assert any("sn=4C500001" in line for line in asked)
        assert not any("bld=810" in line for line in asked)
        assert "Rebooting Device" not in r.stdout
        assert final_flash(sim, tmp_path) == b"\xFF" * FLASH
    with lpc_sim(tmp_path) as sim:
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-b", "810", "-u", server.url],
                    tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr
        assert final_flash(sim, tmp_path) == expected_lpc_flash(repo)


def test_a_generic_file_is_refused(tmp_path, repo, server):
    with lpc_sim(tmp_path) as sim:
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-d", LPC_SERIAL,
                     "-f", str(repo / "kxdaq8-1200.bird"), "-u", server.url], tmp_path)
        assert r.returncode == 1
        assert "Updater does not support offline recovery" in r.stderr
        assert final_flash(sim, tmp_path) == b"\xFF" * FLASH


def test_no_chip_on_the_line_fails_at_once(tmp_path, server):
    with lpc_sim(tmp_path, "silent") as sim:
        r = updater(["-N", "-s", lpc_pty(sim)], tmp_path, timeout=60)
        assert r.returncode == 1 and "Got no response from chip" in r.stderr
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-u", server.url], tmp_path)
        assert r.returncode == 1 and "Could not get Device Identifier" in r.stderr


class TextLine:
    """A device on a pseudo-terminal that answers whatever it is sent with a
    line of text, as a console or a modem would: no boot ROM. Its thread
    ends when the test does (at most 120 s)."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.heard = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        end = time.monotonic() + 120
        while not self._stop and time.monotonic() < end:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                self.heard += len(os.read(self.master, 4096))
                os.write(self.master, b"ERROR 17\r\n")
            except OSError:
                time.sleep(0.01)

    def close(self):
        self._stop = True
        self._thread.join()
        os.close(self.master)
        os.close(self.slave)


@pytest.mark.parametrize("command", ["-N", "-U"])
def test_a_port_that_cannot_be_opened_is_named_with_its_reason(tmp_path, command):
    plain = tmp_path / "plain-file"
    plain.write_text("not a terminal\n")
    for port, reason in [(str(tmp_path / "ttyNONE"), "No such file or directory"),
                         (str(plain), "not a serial port")]:
        args = [command, "-s", port, "-u", free_port_url()]
        if command == "-U":
            args[1:1] = ["-t", "RECOVER"]
        r = updater(args, tmp_path, timeout=60)
        assert r.returncode == 1
        assert f"Cannot open serial port {port}: {reason}" in r.stderr
        assert "Got no response from chip" not in r.stderr


@pytest.mark.parametrize("stored_image", [False, True])
def test_a_device_that_is_no_boot_rom_is_told_apart_from_silence(tmp_path, repo, stored_image):
    """Text comes back to the LPC synchronisation and to the i.MX status
    command (sent only when a recovery image is at hand)."""
    if stored_image:
        imx_store(tmp_path, repo)
    line = TextLine()
    try:
        for args in (["-N"], ["-U", "-t", "RECOVER", "-d", "1A000001"]):
            r = updater(args + ["-s", line.path, "-u", free_port_url()], tmp_path, timeout=90)
            assert r.returncode == 1
            assert f"The device on {line.path} answered, but not as a boot ROM" in r.stderr
            assert "Got no response from chip" not in r.stderr
    finally:
        line.close()
    assert line.heard > 0


@pytest.mark.parametrize("reply", ["ok\n", "ok\n4C500001\n", "ok\n0\n810\n", "error unknown fingerprint\n"])
def test_recovery_information_without_a_device_stops_before_the_chip_is_touched(tmp_path, reply):
    server = ThrowawayServer({"fix": (200, reply)})
    try:
        with lpc_sim(tmp_path) as sim:
            r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-u", server.url], tmp_path)
            assert r.returncode == 1
            assert "Failed to retrieve recovery information from Velmaris server" in r.stderr
            assert not any("op=bird" in p or "op=qu" in p for p in server.seen)
            assert final_flash(sim, tmp_path) == b"\xFF" * FLASH
    finally:
        server.stop()


# Each fault ends in a recovery whose flash is right, or in exit 1 with the
# flash never reported as written; "erased" tells whether the flash may
# have been erased before the failure.
LPC_FAULTS = [
    ("stray-bytes=always", True, None),
    ("resend=2", True, None),
    ("drop-echo=1", False, "Could not get Device Identifier"),
    ("wrong-sync", False, "Could not get Device Identifier"),
    ("error=U:16", False, "could not unlock"),
    ("error=P:7", False, "could not prepare"),
    ("error=E:9", False, "could not erase"),
    ("error=W:14", False, "writing firmware block 1 failed"),
    ("error=C:8", False, "writing firmware block 1 failed"),
    ("error=N:1", False, "Could not get Device Identifier"),
    ("error=C:8@2", False, "writing firmware block 1 failed"),  # half the image in flash
    # The second copy (flash 0x1000) spoils its byte 0x20D and still answers 0.
    ("corrupt-copy=2", False, "the flash at 0x0000120D does not hold what was written (firmware block 1)"),
    ("error=A:1@1", False, "Recovery Error transfering data to device"),  # echo off refused
    ("error=A:1@2", True, None),  # echo back on refused after a complete write: still started
    ("error=G:13", False, "the chip did not confirm that it starts it"),  # the start refused
]


@pytest.mark.parametrize("fault,succeeds,message", LPC_FAULTS)
def test_lpc_faults_end_in_success_or_a_clear_failure(tmp_path, repo, server, fault, succeeds,
                                                      message):
    with lpc_sim(tmp_path, fault) as sim:
        r = updater(["-U", "-t", "RECOVER", "-s", lpc_pty(sim), "-u", server.url], tmp_path)
        flash = final_flash(sim, tmp_path)
    if succeeds:
        assert r.returncode == 0, r.stdout + r.stderr
        assert flash == expected_lpc_flash(repo)
        return
    assert r.returncode == 1, r.stdout + r.stderr
    assert message in r.stderr
    assert "Rebooting Device" not in r.stdout
    if fault[6] in "UPE":  # nothing erased before the write: the chip can be tried again
        assert flash == b"\xFF" * FLASH


# ---------------------------------------------------------------- i.MX


def imx_store(tmp_path, repo):
    """A store that holds the recovery image for the chip of unknown serial
    number, as the fingerprint read takes it."""
    device = tmp_path / "updater" / "DEADDEAD"
    device.mkdir(parents=True)
    (device / "1320.bird").write_bytes((repo / IMX_FILE).read_bytes())
    (device / ".settings").write_text("LATEST_DOWNLOAD=1320.bird\n")


def imx_world(tmp_path, where, updater_args, *extra, timeout=120):
    spec = "serial=1A000001,fingerprint=" + ":".join(IMX_FP) + "," + where
    spec += f",flash_dump={tmp_path / 'imx-flash.bin'}" + "".join("," + e for e in extra)
    port = "USB" if where == "hid" else "$KORVEX_SIM_IMX_PTY"
    args = [a if a != "PORT" else port for a in updater_args] + ["-i", str(tmp_path)]
    check_network_safety(args)
    command = " ".join([str(UPDATER)] + args)
    return subprocess.run([SIM, "--imx", spec, "--", "sh", "-c", command],
                          capture_output=True, text=True, timeout=timeout)


@needs_usb
@pytest.mark.parametrize("where", ["pty", "hid"])
def test_imx_fingerprint_sends_the_loader_reads_the_words_and_resets(tmp_path, repo, where):
    imx_store(tmp_path, repo)
    r = imx_world(tmp_path, where, ["-N", "-s", "PORT"])
    assert r.returncode == 0, r.stdout + r.stderr
    assert IMX_PRINTED in r.stdout.splitlines()
    assert "loader started at 0x20000400" in r.stderr
    assert "the loader was reset; the chip is back in its ROM" in r.stderr


@needs_usb
@pytest.mark.parametrize("fault", ["silent", "incomplete"])
def test_imx_rom_faults_fail_clearly(tmp_path, repo, fault):
    imx_store(tmp_path, repo)
    r = imx_world(tmp_path, "hid", ["-N", "-s", "PORT"], f"fault={fault}")
    assert r.returncode == 1, r.stdout + r.stderr
    assert "Got no response from chip" in r.stdout + r.stderr
    assert "loader started" not in r.stderr


@needs_usb
@pytest.mark.parametrize("where", ["pty", "hid"])
def test_imx_loader_spoilt_in_ram_is_not_started(tmp_path, repo, where):
    """The ROM says "complete" for a write that left byte 2049 wrong: the
    read-back finds it, names its address and nothing is started."""
    imx_store(tmp_path, repo)
    r = imx_world(tmp_path, where, ["-N", "-s", "PORT"], "fault=corrupt-write")
    assert r.returncode == 1, r.stdout + r.stderr
    assert ("The loader read back from the chip's RAM differs from the recovery file at address "
            "0x20000C00; it was not started") in r.stderr
    assert "loader started" not in r.stderr


@needs_usb
@pytest.mark.parametrize("where,command", [("pty", "-N"), ("hid", "-N"), ("pty", "-U")])
def test_imx_rom_answering_late_is_awaited(tmp_path, repo, server, where, command):
    """Every answer of the ROM comes 300 ms after its command (a busy ROM or
    host): each is awaited, none is taken for another's, the load goes
    through."""
    if command == "-N":
        imx_store(tmp_path, repo)
        args = ["-N", "-s", "PORT"]
    else:
        args = ["-U", "-t", "RECOVER", "-s", "PORT", "-d", "1A000001", "-u", server.url]
    r = imx_world(tmp_path, where, args + ["-X", "0x10000000"], "fault=slow=300")
    assert r.returncode == 0, r.stdout + r.stderr[-3000:]
    assert "Loader Transfer Successful" in r.stdout + r.stderr
    assert "loader started at 0x20000400" in r.stderr
    if command == "-N":
        assert IMX_PRINTED in r.stdout.splitlines()


@needs_usb
def test_imx_fingerprint_without_a_stored_image_speaks_again_after_the_muted_download(tmp_path):
    r = imx_world(tmp_path, "hid", ["-N", "-s", "PORT", "-u", free_port_url()])
    assert r.returncode == 1
    assert "Got no response from chip" in r.stderr  # the display is no longer muted
    assert "loader started" not in r.stderr


@needs_usb
def test_imx_fingerprint_needs_a_recovery_image(tmp_path):
    r = imx_world(tmp_path, "hid", ["-N", "-s", "PORT", "-f", "/nonexistent.bird"])
    assert r.returncode == 1
    assert "Add serial number or remove the bird filename" in r.stdout + r.stderr


@needs_usb
def test_imx_two_loaders_without_serial_number_neither_is_taken(tmp_path, repo):
    """Another chip's loader is on USB as DEADDEAD too: the fingerprint read
    cannot tell which loader is its own and takes neither."""
    imx_store(tmp_path, repo)
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "imx_hid_probe.py")
    args = ["-N", "-s", "$KORVEX_SIM_1A000001_IMX_PTY", "-i", str(tmp_path)]
    check_network_safety(args)
    command = (f"{sys.executable} {probe} write:20000400:64 jump:20000400 && sleep 1 && " +
               " ".join([str(UPDATER)] + args))
    r = subprocess.run([SIM, "--imx", "serial=1A000001,fingerprint=" + ":".join(IMX_FP) + ",pty",
                        "--imx", "serial=1A000002,fingerprint=1:2:3:4,hid", "--",
                        "sh", "-c", command], capture_output=True, text=True, timeout=180)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "Got no response from chip" in r.stderr
    assert r.stderr.count("present as serial number DEADDEAD") == 2
    assert "the loader was reset" not in r.stderr


@needs_usb
@pytest.mark.parametrize("where", ["pty", "hid"])
def test_imx_recovery_from_the_servers_information(tmp_path, repo, server, where):
    r = imx_world(tmp_path, where, ["-U", "-t", "RECOVER", "-s", "PORT", "-d", "1A000001",
                                    "-u", server.url])
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Update time: " in r.stdout
    assert "Module 1A000001 now runs firmware 2.11.7 build 1320" in r.stdout
    _, blocks = parse_blocks(body_of(repo / IMX_FILE))
    firmware = [d for t, _, d in blocks if t == 1][0]
    assert (tmp_path / "imx-flash.bin").read_bytes()[:len(firmware) - 4] == firmware[4:]


@needs_usb
@pytest.mark.parametrize("keys,said", [
    (["reboot_away_ms=never"], "did not come back within 15 seconds after its reboot"),
    (["new_build=1200"], "runs firmware 2.11.0 build 1200 after the reboot, not build 1320"),
])
def test_imx_recovery_fails_unless_the_module_runs_the_new_build(tmp_path, repo, server, keys,
                                                                   said):
    r = imx_world(tmp_path, "pty", ["-U", "-t", "RECOVER", "-s", "PORT", "-d", "1A000001",
                                    "-u", server.url], *keys)
    assert r.returncode == 1, r.stdout + r.stderr
    assert said in r.stderr


@needs_usb
def test_imx_recovery_reaches_the_loader_it_started(tmp_path, repo, server):
    """Up to the firmware transfer: the loader sent, found on USB, its
    fingerprint words equal to those that chose the file, and no reset."""
    r = imx_world(tmp_path, "hid", ["-U", "-t", "RECOVER", "-s", "PORT", "-d", "1A000001",
                                    "-u", server.url, "-X", "0x10000"])
    assert "loader started at 0x20000400" in r.stderr
    assert "Recovering firmware with build: 1320" in r.stdout
    assert "The loader found is another chip" not in r.stderr
    assert "Could not connect to device" not in r.stderr
    assert "the loader was reset" not in r.stderr

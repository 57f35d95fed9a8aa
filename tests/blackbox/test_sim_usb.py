"""Simulated USB modules found and opened by the real libusb (umockdev),
re-enumerating after LOAD under their own serial number or 0xDEADDEAD."""
import os
import subprocess

import pytest

from simhost import BIN, SIM

PROBE = os.path.join(BIN, "sim", "usb_probe")
pytestmark = pytest.mark.skipif(not os.path.exists(PROBE), reason="built without umockdev")


def run(*args):
    return subprocess.run([SIM] + list(args), capture_output=True, text=True, timeout=120)


def test_libusb_finds_and_talks_to_a_simulated_module():
    r = run("--module", "serial=1234ABCD,model=13,usb",
            "--module", "serial=00C0FFEE,model=21,usb", "--", PROBE, "00C0FFEE")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "found 1234ABCD product 000D" in r.stdout
    assert "found 00C0FFEE product 0015" in r.stdout
    assert "identify 02 00 02 00" in r.stdout
    assert "serial 02 07 03 09 00 00 C0 FF EE" in r.stdout
    assert "usb   serial number 00C0FFEE at /dev/bus/usb/001/" in r.stderr


@pytest.mark.parametrize("mode,serial", [("own", "1234ABCD"), ("deadead", "DEADDEAD")])
def test_load_re_enumerates(mode, serial):
    r = run("--module", f"serial=1234ABCD,model=13,usb,loader_serial={mode}", "--", PROBE, "1234ABCD", "load")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "load 02 02 5F 02" in r.stdout
    assert f"re-enumerated {serial}" in r.stdout
    assert f"usb: present as serial number {serial}" in r.stderr


def test_a_missing_module_is_not_found():
    r = run("--module", "serial=1234ABCD,usb", "--", PROBE, "0BADBEEF")
    assert r.returncode == 4
    assert "module 0BADBEEF not found" in r.stdout


def test_reboot_leaves_the_bus_and_comes_back():
    r = run("--module", "serial=1234ABCD,model=13,usb,reboot_away_ms=300,new_version=2.12.0",
            "--", PROBE, "1234ABCD", "reboot")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "reboot sent" in r.stdout
    assert "re-enumerated 1234ABCD" in r.stdout
    assert "usb: left the bus" in r.stderr


# Two modules in their loaders under the default serial number at once: both
# are on the bus as DEADDEAD, whether they start there or one arrives by LOAD.
@pytest.mark.parametrize("second,probe", [
    ("in_loader=yes", ["DEADDEAD"]),
    ("in_loader=no", ["0000000B", "load"]),
])
def test_two_loaders_present_as_deaddead_at_once(second, probe):
    r = run("--module", "serial=0000000A,model=13,usb,loader_serial=deadead,in_loader=yes",
            "--module", f"serial=0000000B,model=13,usb,loader_serial=deadead,{second}",
            "--", PROBE, *probe)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "serial 02 07 03 09 00" in r.stdout
    assert "[0000000A] usb: present as serial number DEADDEAD" not in r.stderr  # there from the start
    assert "usb   serial number DEADDEAD" in r.stderr
    if second == "in_loader=yes":
        assert r.stdout.count("found DEADDEAD") == 2
    else:
        assert "[0000000B] usb: present as serial number DEADDEAD" in r.stderr


def test_a_usb_loader_that_never_comes_back():
    r = run("--module", "serial=1234ABCD,model=13,usb,loader_away_ms=never,load_leave_ms=200",
            "--", PROBE, "1234ABCD", "load")
    assert r.returncode == 9, r.stdout + r.stderr  # nothing re-enumerated
    assert "usb: left the bus" in r.stderr
    assert "present as serial number" not in r.stderr

"""The host's link engine (tests/sim_link_probe, built from the device link
library) against korvex-sim over each transport, as a separate process."""
import os
import subprocess

import pytest

from simhost import BIN, SIM

PROBE = os.path.join(BIN, "tests", "sim_link_probe")
HAVE_USB = os.path.exists(os.path.join(BIN, "sim", "usb_probe"))


def run(*args):
    return subprocess.run([SIM] + list(args), capture_output=True, text=True, timeout=120)


def check_identity(out, serial):
    assert "link running 1" in out
    assert "model 13" in out
    assert f"serial {serial}" in out
    assert "unimplemented yes" in out
    assert "upgrade chunk written, sum 000014EC" in out
    assert "done" in out


def test_over_tcp():
    r = run("--module", "serial=1234ABCD,model=13,tcp", "--", "sh", "-c",
            f'exec {PROBE} tcp "$KORVEX_SIM_PORT"')
    assert r.returncode == 0, r.stdout + r.stderr
    check_identity(r.stdout, "1234ABCD")


def test_over_a_serial_port():
    r = run("--module", "serial=1234ABCD,model=13,pty", "--", "sh", "-c",
            f'exec {PROBE} serial "$KORVEX_SIM_PTY"')
    assert r.returncode == 0, r.stdout + r.stderr
    check_identity(r.stdout, "1234ABCD")


@pytest.mark.skipif(not HAVE_USB, reason="built without umockdev")
@pytest.mark.parametrize("mode,again", [("own", "1234ABCD"), ("deadead", "DEADDEAD")])
def test_over_usb_with_load_and_reconnection(mode, again):
    r = run("--module", f"serial=1234ABCD,model=13,usb,loader_serial={mode}",
            "--", PROBE, "usb", "1234ABCD", "load", again)
    assert r.returncode == 0, r.stdout + r.stderr
    check_identity(r.stdout, "1234ABCD")
    assert "load answered" in r.stdout
    assert f"reconnected, serial {again}" in r.stdout

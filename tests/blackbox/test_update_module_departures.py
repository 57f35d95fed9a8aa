"""Updater -U against simulated modules that leave and come back in their
own time: the loader leaving late, away long or for good, LOAD unanswered,
a reboot that keeps its link or from which the module does not return, and
two loaders as DEADDEAD at once. Each ends in success or in a clear failure
and exit 1, under a time bound."""
import pytest

import subprocess

from test_update_module import DAQ8, PROBE, SERIAL, history, module_key, run_update
from update_server_support import UPDATER
from test_update_module_faults import generic, module_status, run_case  # noqa: F401 (fixture)

pytestmark = pytest.mark.skipif(not PROBE.exists(), reason="built without umockdev")

NOT_BACK = "Failed to connect to module [%s]" % SERIAL

CASES = [
    ("LOAD not answered", ["fault=no-load-reply"], ("ok", [])),
    ("loader leaves late", ["load_leave_ms=1500"], ("ok", [])),
    ("loader away 3 s", ["loader_away_ms=3000"], ("ok", [])),
    ("loader never comes", ["loader_away_ms=never"], ("fail", NOT_BACK)),
    ("reboot keeps its link", ["fault=reboot-keeps-link"], ("ok", [])),
    ("reboot away 3 s", ["reboot_away_ms=3000"], ("ok", [])),
]


@pytest.mark.parametrize("case, keys, outcome", CASES, ids=[c[0] for c in CASES])
def test_departure_ends_in_success_or_a_clear_failure(tmp_path, generic, case, keys, outcome):
    run_case(tmp_path, generic, case, keys, outcome)


def test_two_loaders_as_deaddead_are_not_guessed_between(tmp_path, generic):
    other = ["--module", module_key("0000000B", DAQ8, "usb", "loader_serial=deadead", "in_loader=yes")]
    status = run_case(tmp_path, generic, "two DEADDEAD", ["loader_serial=deadead"], ("fail", NOT_BACK), other)
    assert module_status(status, "0000000B")["counters"]["upgrade"]["writes"] == 0


def test_module_not_back_after_reboot_fails_and_is_recorded_unconfirmed(tmp_path, generic):
    world = ["--module", module_key(SERIAL, DAQ8, "new_version=2.11.5", "new_build=1300", "usb",
                                    "reboot_away_ms=never")]
    r, status = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f", str(generic)], timeout=120)
    assert r.returncode == 1, r.stderr
    assert r.stderr.splitlines()[-2:] == [
        "Update not confirmed: the firmware was sent to module %s, but the module did not come "
        "back within 15 seconds after its reboot" % SERIAL,
        "If the module stays unreachable, recover it through its boot ROM: "
        "Updater -U -t RECOVER -s <serial port>"], r.stderr
    assert module_status(status, SERIAL)["counters"]["upgrade"]["writes"] > 0
    store = tmp_path / "store"
    recorded = history(store)
    assert recorded["UNCONFIRMED_TRANSFER"] == str(generic)
    assert recorded["UNCONFIRMED_TRANSFER_DATE"]
    # These two mean a confirmed transfer only.
    assert "LATEST_TRANSFER" not in recorded and "LAST_TRANSFER_DATE" not in recorded
    # -I shows it; it asks neither the network nor a module.
    shown = subprocess.run([str(UPDATER), "-I", "-d", SERIAL, "-i", str(store)],
                           capture_output=True, text=True, timeout=30)
    assert "  UNCONFIRMED_TRANSFER=%s" % generic in shown.stdout.splitlines(), shown.stdout

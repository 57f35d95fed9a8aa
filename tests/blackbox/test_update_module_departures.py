"""Updater -U against simulated modules that leave and come back in their
own time: the loader leaving late, away long or for good, LOAD unanswered,
a reboot that keeps its link or from which the module does not return, and
two loaders as DEADDEAD at once. Each ends in success, in a warning that
says the new firmware was not confirmed, or in a clear failure and exit 1,
under a time bound."""
import pytest

from test_update_module import DAQ8, PROBE, SERIAL, module_key, run_update
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
    ("never back after reboot", ["reboot_away_ms=never"],
     ("warn", "Warning: module %s did not answer" % SERIAL)),
]


@pytest.mark.parametrize("case, keys, outcome", CASES, ids=[c[0] for c in CASES])
def test_departure_ends_in_success_or_a_clear_failure(tmp_path, generic, case, keys, outcome):
    run_case(tmp_path, generic, case, keys, outcome)


def test_two_loaders_as_deaddead_are_not_guessed_between(tmp_path, generic):
    other = ["--module", module_key("0000000B", DAQ8, "usb", "loader_serial=deadead", "in_loader=yes")]
    status = run_case(tmp_path, generic, "two DEADDEAD", ["loader_serial=deadead"], ("fail", NOT_BACK), other)
    assert module_status(status, "0000000B")["counters"]["upgrade"]["writes"] == 0

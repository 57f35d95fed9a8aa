"""The fault sweep's seeds in the test command: Updater -U over USB and over
TCP/IP, and both recoveries, each against a seeded mix of the simulators'
faults (fault_sweep.py says what each run must never do). The long form
runs many seeds: scripts/fault-sweep.sh."""
import os

import pytest

from fault_sweep import KINDS, findings, run_mix
from simhost import HAVE_USB
from update_server_support import make_sample_repo

pytestmark = [
    pytest.mark.skipif(not HAVE_USB, reason="korvex-sim built without umockdev"),
    pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root"),
]

# Mixes without the faults whose outcome is still open (fault_sweep.py marks
# them; the long sweep runs and reports those too).
SEEDS = [0, 2, 10, 19, 21]


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=4)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("kind", KINDS)
def test_mix_ends_in_a_true_result(tmp_path, repo, kind, seed):
    run = run_mix(repo, tmp_path, kind, seed, safe=True)
    assert findings(run, repo, lenient=True) == [], (run.describe(), run.stdout, run.stderr)

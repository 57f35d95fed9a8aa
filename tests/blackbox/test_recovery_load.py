"""The i.MX serial download over a pseudo-terminal while every core is kept
busy by spinning processes: each -N and each -U -t RECOVER must succeed.
Run by run the simulated ROM answers 0, 100, 200 or 300 ms late besides,
as a ROM or a host that is slower still would. The test command runs
IMX_LOAD_RUNS (default 4) of each; scripts/imx-load.sh runs 20 of each and
prints the tally."""
import os
import subprocess
import sys
import time
from contextlib import contextmanager

import pytest

from test_birdpack import body_of, parse_blocks
from test_recovery import IMX_FILE, IMX_PRINTED, USB, imx_store, imx_world
from update_server_support import UpdateServer, make_sample_repo

RUNS = int(os.environ.get("IMX_LOAD_RUNS", "4"))
LATE_MS = [0, 100, 200, 300]
needs_usb = pytest.mark.skipif(not USB, reason="korvex-sim built without umockdev")

SPIN = "import time\nend = time.monotonic() + %d\nwhile time.monotonic() < end: pass\n"


@contextmanager
def busy_cores(limit_s):
    """One spinning process per core, each ending by itself after limit_s."""
    spinners = [subprocess.Popen([sys.executable, "-c", SPIN % limit_s])
                for _ in range(os.cpu_count() or 2)]
    try:
        yield
    finally:
        for p in spinners:
            p.kill()
            p.wait()


@needs_usb
def test_imx_pty_loads_succeed_every_time_on_busy_cores(tmp_path):
    repo = make_sample_repo(tmp_path / "repo", image_kib=8)
    server = UpdateServer(repo)
    _, blocks = parse_blocks(body_of(repo / IMX_FILE))
    firmware = [d for t, _, d in blocks if t == 1][0][4:]
    store = tmp_path / "store"
    store.mkdir()
    imx_store(store, repo)
    failures, started = [], time.monotonic()
    try:
        with busy_cores(limit_s=60 + 40 * RUNS):
            for run in range(RUNS):
                late = LATE_MS[run % len(LATE_MS)]
                faults = [f"fault=slow={late}"] if late else []
                r = imx_world(store, "pty", ["-N", "-s", "PORT"], *faults)
                if r.returncode != 0 or IMX_PRINTED not in r.stdout.splitlines():
                    failures.append(("-N", run, late, r.stderr[-600:]))
                r = imx_world(store, "pty", ["-U", "-t", "RECOVER", "-s", "PORT", "-d", "1A000001",
                                             "-u", server.url], *faults)
                flash = (store / "imx-flash.bin").read_bytes()
                if r.returncode != 0 or flash[:len(firmware)] != firmware:
                    failures.append(("-U", run, late, r.stderr[-600:]))
    finally:
        server.stop()
    ok = {c: RUNS - sum(f[0] == c for f in failures) for c in ("-N", "-U")}
    print(f"\n-N and -U -t RECOVER over a pty on busy cores: {ok['-N']}/{RUNS} and "
          f"{ok['-U']}/{RUNS} succeeded in {time.monotonic() - started:.0f} s")
    assert not failures, failures

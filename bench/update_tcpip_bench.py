#!/usr/bin/env python3
"""Updater -U of a 64 KB image to one simulated module over TCP/IP, from
Updater's start to its exit, inside the private network namespace
korvex-sim --netns makes (needs root; nothing leaves this machine).

    UPDATER_BINARY_DIR=build/release python3 bench/update_tcpip_bench.py [RUNS]

The floor, from the same world: the time the module itself is away, after
LOAD (loader_away_ms) and after REBOOT (reboot_away_ms); nothing the updater
does can end before the module is back. Printed per run: the update's
seconds, the floor and their difference, the time the updater adds; each
TCP/IP search waited out to its 2-second deadline adds 2 s there."""
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
BIN = pathlib.Path(os.environ.get("UPDATER_BINARY_DIR", HERE.parent / "build" / "release"))
SIM = BIN / "sim" / "korvex-sim"
UPDATER = BIN / "app" / "Updater"
BIRDPACK = BIN / "tools" / "birdpack"
MAKE_REPO = HERE.parent / "tools" / "sample-repo" / "make-sample-repo.sh"

SERIAL = "40F5849A"
LOADER_AWAY_MS = 100
REBOOT_AWAY_MS = 1000
# Nothing listens there: the server's answer is missing at once.
NO_SERVER = "http://127.0.0.1:9/cgi/u"

# Runs the command and prints its wall time; inside the namespace.
TIMER = r"""
import subprocess, sys, time
t0 = time.monotonic()
r = subprocess.run(sys.argv[1:], capture_output=True, text=True, timeout=120)
print("elapsed %.4f exit %d" % (time.monotonic() - t0, r.returncode))
if r.returncode != 0:
    print(r.stdout + r.stderr)
"""


def one_run(work, bird):
    store = work / "store"
    subprocess.run(["rm", "-rf", str(store)], check=True)
    module = ("serial=%s,model=13,version=2.10.4,new_version=2.11.5,new_build=1300,tcp,"
              "loader_away_ms=%d,reboot_away_ms=%d" % (SERIAL, LOADER_AWAY_MS, REBOOT_AWAY_MS))
    command = [str(UPDATER), "-U", "-d", SERIAL, "-f", str(bird), "-i", str(store),
               "-u", NO_SERVER]
    r = subprocess.run([str(SIM), "--netns", "--discovery", "--quiet", "--module", module, "--",
                        sys.executable, "-c", TIMER] + command,
                       capture_output=True, text=True, timeout=180)
    for line in r.stdout.splitlines():
        if line.startswith("elapsed "):
            fields = line.split()
            if fields[3] != "0":
                sys.exit("Updater -U failed:\n" + r.stdout + r.stderr)
            return float(fields[1])
    sys.exit("no time measured:\n" + r.stdout + r.stderr)


def main():
    if os.geteuid() != 0:
        sys.exit("update_tcpip_bench: network namespaces need root")
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory(prefix="update_tcpip_bench.") as tmp:
        work = pathlib.Path(tmp)
        subprocess.run([str(MAKE_REPO), str(BIRDPACK), str(work / "repo"), "64"], check=True,
                       capture_output=True, timeout=300)
        bird = work / "repo" / "kxdaq8-1300.bird"
        floor = (LOADER_AWAY_MS + REBOOT_AWAY_MS) / 1000.0
        times = []
        print("%4s %10s %10s %12s" % ("run", "update_s", "floor_s", "added_s"))
        for run in range(1, runs + 1):
            t = one_run(work, bird)
            times.append(t)
            print("%4d %10.3f %10.3f %12.3f" % (run, t, floor, t - floor))
        median = statistics.median(times)
        print("median %.3f s, floor %.3f s, added %.3f s, update_over_floor %.2f"
              % (median, floor, median - floor, median / floor))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Eight simulated modules (four over USB, four over TCP/IP, every answer
1 ms late) updated in one command, against one of them updated alone, in
one run. Alone, a USB module and a TCP/IP module take different times; the
bound is the slower of the two (what eight would take if running them
together cost nothing), and the ratio eight / bound is the cost of updating
eight at once (goal: at most 1.3). Then eight modules all over TCP/IP
against one: the simulator serves every USB device from one worker thread,
so simulated USB transfers of several modules take turns where real
devices would not. Everything runs inside the network namespace korvex-sim --netns
makes, with our update server on 127.0.0.1 in it; needs root.

    UPDATER_BINARY_DIR=build/release python3 bench/many_modules_bench.py [RUNS]
"""
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
os.environ.setdefault("UPDATER_SOURCE_DIR", str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "tests" / "blackbox"))

from simhost import SIM  # noqa: E402
from update_server_support import SERVER, UPDATER, make_sample_repo  # noqa: E402

SERIALS = [f"40F5A00{i}" for i in range(1, 9)]


def world(serials, only=None):
    spec = []
    for serial in serials:
        link = only or ("usb" if SERIALS.index(serial) % 2 == 0 else "tcp")
        spec += ["--module", f"serial={serial},model=13,{link},fault=latency=1"]
    return spec


def timed_update(work, repo, serials, name, only=None):
    """Seconds of `Updater -U -d SERIALS` with the model's build 1300 file."""
    store = work / name
    script = (f"{SERVER} --repo {repo} --listen 127.0.0.1:8089 2>/dev/null & sleep 0.5; "
              f"start=$(date +%s.%N); {UPDATER} -u 127.0.0.1:8089 -U -d {','.join(serials)} "
              f"-f {repo / 'kxdaq8-1300.bird'} -i {store} >{work / (name + '.out')} 2>&1; rc=$?; "
              f"end=$(date +%s.%N); kill $!; echo \"$rc $start $end\"")
    r = subprocess.run([SIM, "--netns", "--discovery", *world(serials, only), "--", "sh", "-c", script],
                       capture_output=True, text=True, timeout=600)
    last = r.stdout.strip().splitlines()[-1].split()
    if last[0] != "0":
        raise SystemExit(f"update of {serials} failed:\n" + (work / (name + ".out")).read_text()[-3000:])
    return float(last[2]) - float(last[1])


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory(prefix="many-") as tmp:
        work = pathlib.Path(tmp)
        repo = make_sample_repo(work / "repo", image_kib=64)
        one, eight, tcp_eight, tcp_one = [], [], [], []
        for run in range(runs):
            usb = timed_update(work, repo, SERIALS[:1], f"usb{run}")
            tcp = timed_update(work, repo, SERIALS[1:2], f"tcp{run}")
            one.append(max(usb, tcp))
            eight.append(timed_update(work, repo, SERIALS, f"eight{run}"))
            tcp_one.append(tcp)
            tcp_eight.append(timed_update(work, repo, SERIALS, f"tcp8-{run}", only="tcp"))
            print(f"run {run + 1}: one USB module {usb:.2f} s, one TCP/IP module {tcp:.2f} s, "
                  f"eight modules {eight[-1]:.2f} s, ratio {eight[-1] / one[-1]:.2f}; "
                  f"eight over TCP/IP {tcp_eight[-1]:.2f} s, ratio {tcp_eight[-1] / tcp:.2f}")
        o, e = statistics.median(one), statistics.median(eight)
        print(f"median: one {o:.2f} s, eight {e:.2f} s, ratio {e / o:.2f} (goal <= 1.3)")
        t1, t8 = statistics.median(tcp_one), statistics.median(tcp_eight)
        print(f"median over TCP/IP alone: one {t1:.2f} s, eight {t8:.2f} s, ratio {t8 / t1:.2f}")


if __name__ == "__main__":
    main()

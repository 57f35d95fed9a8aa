#!/usr/bin/env python3
"""Our LPC recovery beside lpc21isp on the same simulated LPC boot ROM, whose
line is paced like a real 115200 UART in both directions, in one run; and
what the compare after each programmed piece costs, measured on that line.
Then our i.MX serial download of a 64 KB loader beside imx_uart's, on the
simulated i.MX boot ROM over a pseudo-terminal: the loader stage, from the
first command the ROM gets to the jump, as the ROM measures it; imx_uart
with and without its read-back (-v), ours always reading back.

    UPDATER_BINARY_DIR=build/release python3 bench/boot_rom_peers.py [RUNS]

Prints, per run, the seconds of each side and their ratio (ours over
lpc21isp's), then the cost of the compares as a share of our recovery.
Needs lpc21isp and imx_uart (scripts/install-deps.sh installs them)."""
import json
import os
import random
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
os.environ.setdefault("UPDATER_SOURCE_DIR", str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "tests" / "blackbox"))

from simhost import SIM, Sim  # noqa: E402
from test_birdpack import body_of, descramble, parse_blocks  # noqa: E402
from test_sim_lpc import Line  # noqa: E402
from update_server_support import BIRDPACK, UPDATER, UpdateServer, make_sample_repo  # noqa: E402

LPC_ID = ["2C01002B", "8A5C3F0D", "4E3A1B27", "1C0F00A1"]
LPC_FILE = "kxrelay4-810-lpc-4C500001.bird"
RAM = 0x10001000


def lpc_sim(work, name):
    spec = "id=" + ":".join("0x" + w for w in LPC_ID) + f",flash_dump={work / (name + '.bin')}"
    return Sim("--lpc", spec)


def timed(args, **kw):
    start = time.monotonic()
    r = subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=600, **kw)
    took = time.monotonic() - start
    if r.returncode != 0:
        raise SystemExit(f"{args[0]} failed:\n{r.stdout[-1500:]}{r.stderr[-1500:]}")
    return took


def compare_exchange_seconds(work, count=20):
    """One M command and its answer on the paced line, echo off."""
    with lpc_sim(work, "m") as sim:
        line = Line(sim.status["lpc"][0]["pty"])
        try:
            line.sync()
            line.say("A 0\r\n")  # echo off, as our recovery runs; the answer still echoed
            assert line.lines(2)[1] == b"0\r\n"
            start = time.monotonic()
            for _ in range(count):
                assert line.command(f"M {RAM} {RAM} 4096") == ["0"]
            return (time.monotonic() - start) / count
        finally:
            line.close()


IMX_SERIAL = "1A000001"
IMX_LOAD = 0x20000400


def imx_bench_files(work):
    """A 64 KB loader, the BIRD file that carries it and imx_uart's script."""
    rng = random.Random(64)
    (work / "imx-loader.bin").write_bytes(bytes(rng.getrandbits(8) for _ in range(64 * 1024)))
    (work / "imx-firmware.bin").write_bytes(bytes(4096))
    (work / "imx.manifest").write_text(
        f"loader imx-loader.bin {IMX_LOAD:#x}\nloader-start {IMX_LOAD:#x}\n"
        f"firmware imx-firmware.bin 0x60000000\ninfo 1320 2.11.7 {IMX_SERIAL} KX-DAQ8\n")
    subprocess.run([str(BIRDPACK), "create", "imx.manifest", "-o", "imx.bird"], cwd=work, check=True,
                   capture_output=True, timeout=60)
    (work / "imx.conf").write_text(f"sim_imx\nhid,1024,0x20000000,0x20000000,512K\n"
                                   f"imx-loader.bin:load {IMX_LOAD:#x},jump {IMX_LOAD:#x}\n")


def imx_load_ms(status_path):
    with open(status_path) as f:
        return json.load(f)["imx"][0]["load_ms"]


def imx_ours(work, run):
    """Our -N with the bench file: the ROM's load time and the whole run's."""
    status = work / f"imx-status{run}.json"
    spec = f"serial={IMX_SERIAL},pty"
    # -N takes the recovery image stored for the chip of unknown serial number.
    device = work / f"imx-store{run}" / "updater" / "DEADDEAD"
    device.mkdir(parents=True)
    (device / "1320.bird").write_bytes((work / "imx.bird").read_bytes())
    (device / ".settings").write_text("LATEST_DOWNLOAD=1320.bird\n")
    command = f"{UPDATER} -N -s $KORVEX_SIM_IMX_PTY -i {work / f'imx-store{run}'}"
    took = timed([SIM, "--status-file", str(status), "--imx", spec, "--", "sh", "-c", command])
    return imx_load_ms(status), took


def imx_theirs(work, run, verify):
    link = work / f"imx-pty{run}"
    with Sim("--imx", f"serial={IMX_SERIAL},pty,pty_link={link}") as sim:
        timed(["imx_uart", "-n"] + (["-v"] if verify else []) + [str(link), "imx.conf"], cwd=work)
        for _ in range(100):  # the status file follows the ROM within moments
            try:
                return imx_load_ms(sim.status_path)
            except (KeyError, ValueError):
                time.sleep(0.05)
        raise SystemExit("the simulated ROM recorded no load for imx_uart")


def imx_side(work, runs):
    imx_bench_files(work)
    ours, whole, plain, verified = [], [], [], []
    for run in range(runs):
        load, took = imx_ours(work, run)
        ours.append(load)
        whole.append(took)
        plain.append(imx_theirs(work, run, False))
        verified.append(imx_theirs(work, run, True))
        print(f"i.MX run {run + 1}: loader stage ours {ours[-1]:.1f} ms (whole -N {took:.2f} s), "
              f"imx_uart {plain[-1]:.1f} ms, imx_uart -v {verified[-1]:.1f} ms")
    o, p, v = statistics.median(ours), statistics.median(plain), statistics.median(verified)
    print(f"i.MX 64 KB loader stage (median): ours {o:.1f} ms, imx_uart {p:.1f} ms (ratio {o / p:.2f}), "
          f"imx_uart -v {v:.1f} ms (ratio {o / v:.2f}); our whole -N {statistics.median(whole):.2f} s")


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory(prefix="rom-peers-") as tmp:
        work = pathlib.Path(tmp)
        repo = make_sample_repo(work / "repo", image_kib=64)
        _, blocks = parse_blocks(body_of(repo / LPC_FILE))
        image = descramble(blocks[0][2][4:], LPC_ID)
        (work / "image.bin").write_bytes(image)
        server = UpdateServer(repo)
        ours, theirs, compares = [], [], 0
        try:
            for run in range(runs):
                store = work / f"store{run}"
                with lpc_sim(work, f"ours{run}") as sim:
                    ours.append(timed([str(UPDATER), "-U", "-t", "RECOVER", "-s", sim.status["lpc"][0]["pty"],
                                       "-o", "115200", "-u", server.url, "-i", str(store)]))
                    with open(sim.status_path) as f:
                        compares = json.load(f)["lpc"][0]["counters"]["compares"]
                with lpc_sim(work, f"theirs{run}") as sim:
                    theirs.append(timed(["lpc21isp", "-bin", str(work / "image.bin"), sim.status["lpc"][0]["pty"],
                                         "115200", "14746"]))
                print(f"run {run + 1}: ours {ours[-1]:.2f} s, lpc21isp {theirs[-1]:.2f} s, "
                      f"ratio {ours[-1] / theirs[-1]:.2f}")
        finally:
            server.stop()
        m = compare_exchange_seconds(work)
        mean_ours = statistics.mean(ours)
        print(f"{len(image)} bytes at 115200 bit/s: ours {mean_ours:.2f} s, lpc21isp "
              f"{statistics.mean(theirs):.2f} s, ratio {mean_ours / statistics.mean(theirs):.2f}")
        print(f"compares: {compares} of {m * 1000:.1f} ms each = {compares * m:.3f} s, "
              f"{100 * compares * m / mean_ours:.1f}% of our recovery")
        imx_side(work, runs)


if __name__ == "__main__":
    main()

"""A fault sweep: Updater -U (over USB and over TCP/IP) and both recoveries
(LPC over a pseudo-terminal, i.MX over a pseudo-terminal and over HID)
against seeded random mixes of the simulators' faults, several at once and
at random moments, each run judged by what it must never do.

For every run: it ends within its bound; exit 0 only when the flash equals
the image and the module answers with the new build; otherwise exit 1 with
a message, and the device's history shows no successful transfer.

A seed gives the same mix every time (random.Random seeded with the kind
and the seed), so a finding is reproduced with

    scripts/fault-sweep.sh 17 usb build/asan -v

(as root; the script runs this file with the system's python3 and pytest). Every updater
command runs in a private network namespace: -U may fall back to TCP/IP
discovery when the module is not found over USB."""
import argparse
import json
import os
import pathlib
import random
import shlex
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from netsafety import check_network_safety  # noqa: E402
from simhost import SIM  # noqa: E402
from test_birdpack import body_of, descramble, parse_blocks  # noqa: E402
from test_update_module import expected_flash  # noqa: E402
from update_server_support import UPDATER, make_sample_repo  # noqa: E402

SERIAL = "40F5849A"
NO_SERVER = "http://127.0.0.1:9/cgi/u"  # nothing listens: every run is offline
UPDATE_FILE = "kxdaq8-1300.bird"         # loader and firmware, 4 KiB each; generic
LPC_ID = ["2C01002B", "8A5C3F0D", "4E3A1B27", "1C0F00A1"]
LPC_SERIAL, LPC_FILE = "4C500001", "kxrelay4-810-lpc-4C500001.bird"
IMX_FP = ["00000000", "0000001A", "5A17C0DE", "00000001"]
IMX_SERIAL, IMX_FILE = "1A000001", "kxdaq8-1320-imx-1A000001.bird"
LPC_FLASH = 0x80000
KINDS = ["usb", "tcp", "lpc", "imx-pty", "imx-hid"]
# Every run's bound: the loader searched for 15 s, the reboot waited 15 s,
# up to five attempts per block with their answer times, on a loaded machine.
BOUND_S = 150

# ---------------------------------------------------------------- mixes
# A maker is (function of the random generator giving one of the
# simulator's key=value words, known): one fault at a random moment.
# `known` marks faults whose outcome is a known open fault of the updater:
# left out of the mixes the test command runs (safe=True), kept in the long
# sweep.


def _count(rng, always=0.1):
    return "always" if rng.random() < always else str(rng.randint(1, 3))


def upgrade_faults(uei, for_loader_module=False):
    """Makers of the module's upgrade faults. Moments fit a 4 KiB loader and
    a 4 KiB firmware in 512-byte chunks: about 18 PREPAREs and SUMs, 9
    WRITEs, 320 DATA packets (byte arrays off) or 18 byte arrays."""
    def f(word):
        return "fault=" + word
    makers = [
        (lambda r: f("wrong-sum=%s@%d" % (_count(r), r.randint(1, 20))), False),
        (lambda r: f("short-sum=%s@%d" % (_count(r), r.randint(1, 20))), False),
        (lambda r: f("short-prepare=%s@%d" % (_count(r, 0), r.randint(1, 20))), False),
        (lambda r: f("write-status=%s@%d" % (_count(r), r.randint(1, 10))), False),
        (lambda r: f("no-answer=95.%d@%d+%d" % (r.choice([3, 4, 5]), r.randint(1, 18), r.randint(1, 3))),
         False),
        (lambda r: f("late-answer=95.%d:%d@%d+%d" % (r.choice([3, 4, 5]), r.randint(200, 2500),
                                                     r.randint(1, 18), r.randint(1, 3))), False),
        (lambda r: f("error-answer=95.%d:%d@%d+1" % (r.choice([3, 4, 5]), r.choice([6, 21, 26]),
                                                     r.randint(1, 18))), False),
        (lambda r: f("mute@%d+%d" % (r.randint(1, 500), r.randint(1, 60))), False),
        (lambda r: f("mute@%d" % r.randint(1, 600)), False),  # may begin after the reboot
        (lambda r: f("latency=%s" % r.choice(["0.5", "2", "5", "20"])), False),
        (lambda r: "fault=disconnect-after=%d" % r.randint(0, 8200), False),
        (lambda r: f("double-write-status"), False),
    ]
    if uei:
        makers.append((lambda r: f("uei-data-error=6:%s@%d" % (_count(r), r.randint(1, 18))), False))
    else:
        makers += [
            (lambda r: f("drop-data-ack=%d:%s" % (r.randint(1, 330), _count(r))), False),
            (lambda r: f("wrong-data-count=%s@%d" % (_count(r), r.randint(1, 330))), False),
            (lambda r: f("short-data-ack=%s@%d" % (_count(r), r.randint(1, 330))), False),
            (lambda r: f("late-data-ack=%d:%s@%d" % (r.randint(200, 2500), _count(r, 0),
                                                    r.randint(1, 330))), False),
        ]
    if not for_loader_module:
        makers += [
            (lambda r: f("no-load-reply"), False),
            (lambda r: "load_leave_ms=%d" % r.randint(0, 2000), False),
            (lambda r: "loader_away_ms=%d" % r.randint(0, 6000), False),
            (lambda r: "loader_away_ms=never", False),
            (lambda r: "loader_serial=deadead", False),
            (lambda r: "block_size=%d" % r.choice([27, 64, 256, 1000, 4000]), False),
        ]
    makers += [
        (lambda r: "reboot_away_ms=%d" % r.randint(0, 6000), False),
        (lambda r: f("reboot-keeps-link"), False),
        (lambda r: "reboot_away_ms=never", False),  # the module never comes back
    ]
    return makers


def _lpc_error(r):
    # A command refused at its N-th time: a random step of the programming.
    return "fault=error=%s:%d@%d" % (r.choice("UPEWCWCA"), r.choice([1, 4, 8, 9, 14, 16]),
                                     r.randint(1, 4))


# Faults that stop the opening (wrong-sync, silent, drop-echo) are drawn
# less often than those that strike while the flash is programmed.
LPC_MAKERS = [
    (lambda r: "fault=stray-bytes=%s" % _count(r, 0.3), False),
    (lambda r: "fault=resend=%s" % _count(r, 0), False),
    (lambda r: "fault=resend=%d" % r.randint(3, 12), False),
    (lambda r: "fault=drop-echo=%s" % _count(r, 0), False),
    (lambda r: r.choice(["fault=wrong-sync", "fault=silent"]), False),
    (lambda r: "fault=silent@%d" % r.randint(1, 12), False),  # a chip that stops mid-way
    # A flash cell that did not take its value: the recovery does not read
    # the flash back.
    (lambda r: "fault=corrupt-copy=%d" % r.randint(1, 2), False),
    (_lpc_error, False),
    (_lpc_error, False),
    (_lpc_error, False),
    (lambda r: "erase_ms=%d" % r.choice([0, 5, 50, 400]), False),
    (lambda r: "program_ms=%d" % r.choice([0, 1, 20]), False),
    (lambda r: "strict_blank=yes", False),
]

IMX_ROM_MAKERS = [
    (lambda r: "fault=silent", False),
    (lambda r: "fault=mid-answer=%d" % r.randint(1, 6), False),
    (lambda r: "fault=incomplete", False),
    (lambda r: "fault=chatty=%d" % r.choice([5, 20, 100]), False),
    (lambda r: "fault=slow=%d" % r.choice([20, 100, 400]), False),
]


def _loader_key(key):
    return "loader_" + key if key.startswith("fault=") else key


def make_mix(kind, seed, safe):
    """The keys of one seeded mix: one to three faults at random moments."""
    rng = random.Random("%s:%d" % (kind, seed))
    keys = []
    if kind in ("usb", "tcp"):
        uei = rng.random() < 0.5
        makers = upgrade_faults(uei)
        keys.append("uei_data=%s" % ("yes" if uei else "no"))
    elif kind == "lpc":
        makers = LPC_MAKERS
    else:
        uei = rng.random() < 0.5
        # The module the loader becomes takes its fault words as loader_fault.
        makers = IMX_ROM_MAKERS + [(lambda r, m=m: _loader_key(m(r)), k)
                                   for m, k in upgrade_faults(uei, for_loader_module=True)]
        keys.append("uei_data=%s" % ("yes" if uei else "no"))
    usable = [m for m, known in makers if not (safe and known)]
    for maker in rng.sample(usable, rng.randint(1, 3)):
        key = maker(rng)
        name = key.split("=")[0]
        if name.endswith("fault") or name not in [k.split("=")[0] for k in keys]:
            keys.append(key)  # a key other than a fault is given once
    return keys


# ---------------------------------------------------------------- runs

class Run:
    """What one run left behind: its result, the world's status, the flash."""

    def __init__(self, kind, seed, keys):
        self.kind, self.seed, self.keys = kind, seed, keys
        self.code = None       # None: still running at its bound
        self.seconds = 0.0
        self.stdout = self.stderr = ""
        self.status = None
        self.flash = None
        self.history = {}

    def describe(self):
        return "%s seed %d [%s]" % (self.kind, self.seed, ", ".join(self.keys))


def _run_world(tmp, sim_args, command, timeout):
    """Runs COMMAND (a list) inside a korvex-sim world; returns (code or
    None at the bound, stdout, stderr, seconds, status)."""
    status_path = tmp / "status.json"
    out, err = tmp / "stdout.txt", tmp / "stderr.txt"
    start = time.monotonic()
    with open(out, "w") as o, open(err, "w") as e:
        proc = subprocess.Popen([SIM, "--status-file", str(status_path)] + sim_args + ["--"] + command,
                                stdout=o, stderr=e, start_new_session=True)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            code = None
            os.killpg(proc.pid, signal.SIGTERM)  # the world's own process group
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
    seconds = time.monotonic() - start
    status = None
    if status_path.exists():
        try:
            status = json.loads(status_path.read_text())
        except ValueError:
            status = None
    return code, out.read_text(errors="replace"), err.read_text(errors="replace"), seconds, status


def _in_namespace(args):
    """An updater command line run in a namespace of its own (loopback only)."""
    env = {"UPDATER_TEST_NETNS": "1"}
    check_network_safety(args, env)
    text = " ".join(shlex.quote(a) if not a.startswith("$") else '"%s"' % a for a in args)
    return ["unshare", "-n", "sh", "-c", "ip link set lo up && exec %s %s" % (shlex.quote(str(UPDATER)), text)]


def _history(store, serial):
    path = store / "updater" / serial / ".settings"
    if not path.exists():
        return {}
    return dict(l.split("=", 1) for l in path.read_text().splitlines() if "=" in l)


def _read(path):
    return path.read_bytes() if path.exists() else None


def run_mix(repo, tmp, kind, seed, safe=True):
    keys = make_mix(kind, seed, safe)
    run = Run(kind, seed, keys)
    tmp = pathlib.Path(tmp)
    store = tmp / "store"
    dump = tmp / "flash.bin"
    if kind in ("usb", "tcp"):
        bird = repo / UPDATE_FILE
        module = ",".join(["serial=" + SERIAL, "model=13", "version=2.10.4", "build=1200",
                           "new_version=2.11.5", "new_build=1300", "usb" if kind == "usb" else "tcp",
                           "flash_dump=%s" % dump] + keys)
        args = ["-U", "-d", SERIAL, "-f", str(bird), "-i", str(store), "-u", NO_SERVER]
        check_network_safety(args, {"UPDATER_TEST_NETNS": "1"})
        sim = ["--netns"] + (["--discovery"] if kind == "tcp" else []) + ["--module", module]
        result = _run_world(tmp, sim, [str(UPDATER)] + args, BOUND_S)
        run.history = _history(store, SERIAL)
    elif kind == "lpc":
        erase = [] if any(k.startswith("erase_ms=") for k in keys) else ["erase_ms=5"]
        spec = ",".join(["id=" + ":".join("0x" + w for w in LPC_ID), "flash_dump=%s" % dump]
                        + erase + keys)
        args = ["-U", "-t", "RECOVER", "-s", "$KORVEX_SIM_LPC_PTY", "-d", LPC_SERIAL,
                "-f", str(repo / LPC_FILE), "-i", str(store), "-u", NO_SERVER]
        result = _run_world(tmp, ["--lpc", spec], _in_namespace(args), BOUND_S)
        run.history = _history(store, LPC_SERIAL)
    else:
        where = kind.split("-")[1]
        spec = ",".join(["serial=" + IMX_SERIAL, "fingerprint=" + ":".join(IMX_FP), where,
                         "flash_dump=%s" % dump, "new_version=2.11.7", "new_build=1320"] + keys)
        port = "USB" if where == "hid" else "$KORVEX_SIM_IMX_PTY"
        args = ["-U", "-t", "RECOVER", "-s", port, "-d", IMX_SERIAL, "-f", str(repo / IMX_FILE),
                "-i", str(store), "-u", NO_SERVER]
        result = _run_world(tmp, ["--imx", spec], _in_namespace(args), BOUND_S)
        run.history = _history(store, IMX_SERIAL)
    run.code, run.stdout, run.stderr, run.seconds, run.status = result
    run.flash = _read(dump)
    return run


# ---------------------------------------------------------------- verdicts

def expected_image(repo, kind):
    if kind in ("usb", "tcp"):
        return expected_flash(repo / UPDATE_FILE, SERIAL)
    _, blocks = parse_blocks(body_of(repo / (LPC_FILE if kind == "lpc" else IMX_FILE)))
    firmware = [d for t, _, d in blocks if t == 1][0]
    if kind == "lpc":
        image = descramble(firmware[4:], LPC_ID)
        return image + b"\xFF" * (LPC_FLASH - len(image))
    return firmware[4:]


def _module(status, serial):
    for m in (status or {}).get("modules", []):
        if m.get("serial") == serial:
            return m
    return None


def _unconfirmed(run):
    """Why the module cannot be said to answer with the new build at the
    end of a run that exited 0 (None when it does): (class, detail)."""
    if run.kind == "lpc":
        lpc = (run.status or {}).get("lpc", [{}])[0]
        return None if lpc.get("running") is True else \
            ("exit 0 with the chip not started", _module_state(run))
    serial, build = (SERIAL, 1300) if run.kind in ("usb", "tcp") else (IMX_SERIAL, 1320)
    m = _module(run.status, serial)
    if m is None or m.get("build_now") != build or m.get("in_loader"):
        return ("exit 0 with unconfirmed module", _module_state(run))
    if run.kind in ("usb", "tcp"):
        if m.get("away") or "Module %s now runs firmware 2.11.5 build 1300" % SERIAL not in \
                run.stdout.splitlines():
            return ("exit 0 with unconfirmed module", _module_state(run))
        return None
    # The i.MX recovery ends at the module's reboot: it does not wait to
    # hear the module again.
    if m.get("away"):
        return ("exit 0 before the module came back", _module_state(run))
    return None


def _history_shows_success(run):
    """The history of a run that began with an empty store names a
    confirmed transfer (a transfer not confirmed goes under other keys)."""
    return "LATEST_TRANSFER" in run.history or "LAST_TRANSFER_DATE" in run.history


SANITIZER = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


# Findings the test command would not hold against a run while they were
# open; none is now.
LENIENT = frozenset()


def findings(run, repo, lenient=False):
    """What the run did that it must never do: a list of (class, detail)."""
    out = []
    text = run.stdout + run.stderr
    if any(s in text for s in SANITIZER):
        line = next(l for l in text.splitlines() if any(s in l for s in SANITIZER))
        out.append(("sanitizer report", line.strip()))
    if run.code is None:
        return out + [("hang past bound", "still running after %d s" % BOUND_S)]
    if run.code == 0:
        if not _flash_is_image(run, repo):
            out.append(("success reported with wrong flash", _flash_difference(run, repo)))
        unconfirmed = _unconfirmed(run)
        if unconfirmed and not (lenient and unconfirmed[0] in LENIENT):
            out.append(unconfirmed)
        if run.kind in ("usb", "tcp") and not (
                run.history.get("LATEST_TRANSFER") == str(repo / UPDATE_FILE) and
                run.history.get("LAST_TRANSFER_DATE")):
            out.append(("success missing from history", repr(run.history)))
        return out
    if run.code != 1:
        out.append(("exit code %d" % run.code, _last_lines(run.stderr)))
    if not [l for l in run.stderr.splitlines() if l.strip() and not l.startswith("korvex-sim")]:
        out.append(("failure without a message", _last_lines(run.stdout)))
    if _history_shows_success(run):
        out.append(("failure recorded as success in history", repr(run.history)))
    return out


def _flash_is_image(run, repo):
    want = expected_image(repo, run.kind)
    if run.kind.startswith("imx"):  # the loader's module dumps what it was sent, from its start
        return run.flash is not None and run.flash[:len(want)] == want
    return run.flash == want


def _flash_difference(run, repo):
    want = expected_image(repo, run.kind)
    if run.flash is None:
        return "no flash dump"
    n = min(len(want), len(run.flash))
    first = next((i for i in range(n) if want[i] != run.flash[i]), n)
    return "flash %d bytes, image %d; first difference at byte %d" % (len(run.flash), len(want), first)


def _module_state(run):
    if run.kind == "lpc":
        return "ROM running: %s" % (run.status or {}).get("lpc", [{}])[0].get("running")
    m = _module(run.status, SERIAL if run.kind in ("usb", "tcp") else IMX_SERIAL) or {}
    return "module build %s in_loader %s away %s; %s" % (
        m.get("build_now"), m.get("in_loader"), m.get("away"),
        _last_lines(run.stdout + run.stderr, 2))


def _last_lines(text, n=3):
    lines = [l for l in text.splitlines() if l.strip() and not l.startswith("korvex-sim")]
    return " | ".join(lines[-n:])


# ---------------------------------------------------------------- long runs

def _seeds(text):
    out = []
    for part in text.split(","):
        a, _, b = part.partition("-")
        out += list(range(int(a), int(b) + 1)) if b else [int(a)]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", default="0-39", help="seeds: 5, 0-99 or 1,4,9")
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--safe", action="store_true", help="leave out the known open faults")
    parser.add_argument("--repo", help="a sample repository made before (else one is made)")
    parser.add_argument("-v", "--verbose", action="store_true", help="print each run's output")
    a = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="fault-sweep-") as top:
        top = pathlib.Path(top)
        repo = pathlib.Path(a.repo) if a.repo else make_sample_repo(top / "repo", image_kib=4)
        tally, found = {}, 0
        for seed in _seeds(a.seeds):
            for kind in a.kinds.split(","):
                tmp = top / ("%s-%d" % (kind, seed))
                tmp.mkdir()
                run = run_mix(repo, tmp, kind, seed, a.safe)
                bad = findings(run, repo, lenient=a.safe)
                outcome = "hang" if run.code is None else "ok" if run.code == 0 else "fail"
                tally[(kind, outcome)] = tally.get((kind, outcome), 0) + 1
                mark = "FOUND" if bad else outcome
                print("%-5s %5.1fs %s" % (mark, run.seconds, run.describe()), flush=True)
                for cls, detail in bad:
                    found += 1
                    print("      %s: %s" % (cls, detail), flush=True)
                if run.code == 1:
                    print("      said: %s" % _last_lines(run.stderr, 1), flush=True)
                if a.verbose:
                    print(run.stdout + run.stderr)
        print("runs by kind and outcome: " +
              ", ".join("%s %s %d" % (k, o, n) for (k, o), n in sorted(tally.items())))
        print("findings: %d" % found)
        return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

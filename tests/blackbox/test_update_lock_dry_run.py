"""Updater -U against simulated USB modules: a second updater on a module
another one is updating stops before it touches the module, and --dry-run
makes every check of an update, reports what would be sent and writes
nothing to the module or the store."""
import json
import os
import pathlib
import shutil
import sys

import pytest

from simhost import SIM, run_in_world
from update_server_support import UPDATER, make_sample_repo

PROBE = pathlib.Path(SIM).parent / "usb_probe"
needs_usb = pytest.mark.skipif(not PROBE.exists(), reason="built without umockdev")
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

SERIAL = "40F5849A"
NO_SERVER = "http://127.0.0.1:9/cgi/u"
DAQ8 = "model=13"

# Run inside the world: starts the first update, waits until it sends the
# firmware (the status file shows the loader started and the module back in
# its loader), then runs the other updates on the same module one after the
# other and notes the module's counters just before and after them. Every wait is bounded.
DRIVER = r"""
import json, subprocess, sys, time
status_path, out_path, first, second = sys.argv[1], sys.argv[2], json.loads(sys.argv[3]), json.loads(sys.argv[4])

def module():
    for _ in range(20):
        try:
            with open(status_path) as f:
                return json.load(f)["modules"][0]
        except (OSError, ValueError):
            time.sleep(0.02)
    raise RuntimeError("no status")

def touched(m):
    c = m["counters"]
    # What any updater asks when it connects; the first one, busy sending
    # firmware, asks only upgrade requests (95) meanwhile.
    return (c["identifies"], c["system_gets"], {k: v for k, v in c["requests"].items() if k != "95"})

one = subprocess.Popen(first, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
deadline = time.monotonic() + 60
sending = False
while time.monotonic() < deadline and one.poll() is None:
    m = module()
    up = m["counters"].get("upgrade", {})
    if up.get("loads", 0) >= 1 and m["in_loader"] and not m["away"] and up.get("prepares", 0) >= 2:
        sending = True
        break
    time.sleep(0.05)
time.sleep(0.2)
before = touched(module())
seconds = [subprocess.run(c, capture_output=True, text=True, timeout=60) for c in second]
time.sleep(0.2)
after = touched(module())
still_sending = one.poll() is None
out1, err1 = one.communicate(timeout=120)
json.dump({"sending": sending, "still_sending": still_sending, "before": before, "after": after,
           "second": [[two.returncode, two.stdout, two.stderr] for two in seconds],
           "first": [one.returncode, out1, err1]}, open(out_path, "w"))
"""


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=4)


def listing(directory):
    """Names, sizes and modification times of everything below directory."""
    result = {}
    for path in [directory, *directory.rglob("*")]:
        info = path.lstat()
        result[str(path.relative_to(directory))] = (info.st_size, info.st_mtime_ns)
    return result


def store_device(store, serial, settings, builds=()):
    directory = store / "updater" / serial
    directory.mkdir(parents=True, exist_ok=True)
    (directory / ".settings").write_text("".join("%s=%s\n" % kv for kv in settings.items()))
    for build, source in builds:
        shutil.copy(source, directory / ("%d.bird" % build))


def update_args(tmp_path, *args):
    return list(args) + ["-i", str(tmp_path / "store"), "-u", NO_SERVER]


# --- one updater per module ---------------------------------------------------

@needs_usb
@needs_root
def test_second_updater_on_a_module_being_updated_leaves_it_untouched(tmp_path, repo):
    bird = str(repo / "kxdaq8-1300.bird")
    # Answers 3 ms late: the firmware takes a few seconds to go over. In a
    # network namespace, so that an updater that did not stop could not
    # search beyond it for the module it misses over USB.
    world = ["--module", "serial=%s,%s,usb,version=2.10.4,build=1200,new_version=2.11.5,"
             "new_build=1300,fault=latency=3" % (SERIAL, DAQ8)]
    first = [str(UPDATER)] + update_args(tmp_path, "-U", "-d", SERIAL, "-f", bird)
    # A dry run, which writes nothing, does not talk to a module being
    # updated either.
    second = [[str(UPDATER)] + update_args(tmp_path, "-U", "-d", SERIAL, "-f", bird) + dry
              for dry in ([], ["--dry-run"])]
    out = tmp_path / "driver.json"
    driver = tmp_path / "driver.py"
    driver.write_text(DRIVER)
    r, status = run_in_world(tmp_path, world, sys.executable,
                             [str(driver), str(tmp_path / "status.json"), str(out),
                              json.dumps(first), json.dumps(second)] + update_args(tmp_path, "-U"),
                             netns=True, timeout=240)
    assert r.returncode == 0, r.stderr
    result = json.loads(out.read_text())
    assert result["sending"] and result["still_sending"], result
    pids = set()
    for code, _, err in result["second"]:
        assert code == 1
        lock_lines = [l for l in err.splitlines() if l.startswith("Module %s is being" % SERIAL)]
        assert len(lock_lines) == 1, err
        pid = int(lock_lines[0].split("process ")[1].split(";")[0])
        assert lock_lines[0] == "Module %s is being updated by process %d; it was not touched" % (
            SERIAL, pid)
        pids.add(pid)
    assert len(pids) == 1 and pid > 0, pids
    assert result["before"] == result["after"]
    # The first update went on to the end, and one module was updated once.
    code, stdout, stderr = result["first"]
    assert code == 0, stdout + stderr
    assert "Module %s now runs firmware 2.11.5 build 1300" % SERIAL in stdout.splitlines()
    assert status["modules"][0]["counters"]["upgrade"]["loads"] == 1
    assert status["modules"][0]["counters"]["upgrade"]["reboots"] == 1
    # The lock file names its last holder; it does not block the next update.
    lock = (tmp_path / "store" / "updater" / "locks" / (SERIAL + ".lock")).read_text()
    assert lock.startswith("PID=%d\n" % pid)


# --- --dry-run ----------------------------------------------------------------

@needs_usb
@pytest.mark.parametrize("case, how", [
    ("file named with -f", "file"),
    ("stored build chosen from the history", "history"),
    ("file named with -f and no store yet", "no store"),
])
def test_dry_run_reports_and_writes_nothing(tmp_path, repo, case, how):
    dump = tmp_path / "flash.bin"
    store = tmp_path / "store"
    if how != "no store":
        store_device(store, SERIAL, {"LATEST_DOWNLOAD": "1300.bird",
                                     "LATEST_TRANSFER": "1200.bird"},
                     [(1300, repo / "kxdaq8-1300.bird")])
        # Left by an earlier update: the dry run holds it, and writes nothing.
        (store / "updater" / "locks").mkdir()
        (store / "updater" / "locks" / (SERIAL + ".lock")).write_text("PID=1\nSTART_TIME=0\n")
    before = listing(store) if how != "no store" else None
    args = ["-U", "-d", SERIAL, "--dry-run"]
    if how != "history":
        args += ["-f", str(repo / "kxdaq8-1300.bird")]
    world = ["--module", "serial=%s,%s,usb,version=2.10.4,build=1200,flash_dump=%s"
             % (SERIAL, DAQ8, dump)]
    r, status = run_in_world(tmp_path, world, UPDATER, update_args(tmp_path, *args))
    assert r.returncode == 0, (case, r.stdout + r.stderr)
    assert ("Dry run: module 40F5849A (model KX-DAQ8) would be updated from firmware 2.10.4 "
            "build 1200 to build 1300 (8200 bytes in 2 blocks); nothing was written") in \
        r.stdout.splitlines(), (case, r.stdout)
    assert [l for l in r.stderr.splitlines() if not l.startswith("korvex-sim:")] == [], case
    module = status["modules"][0]
    assert module["counters"].get("upgrade", {}).get("inits", 0) == 0, case
    assert module["counters"]["requests"].get("95", 0) == 0, case
    assert module["counters"]["system_sets"] == {}, case
    assert module["build_now"] == 1200 and not module["in_loader"], case
    assert not dump.exists() or dump.stat().st_size == 0, case
    assert (listing(store) if store.exists() else None) == before, case


@needs_usb
@pytest.mark.parametrize("case, serial, keys, args, error", [
    ("another model", SERIAL, ["model=21"], ["-f", "kxdaq8-1300.bird"],
     "Birdfile failed validation: the module is a KX-GPIO32, the file is for KX-DAQ8"),
    ("file bound to another module", "1234ABCD", [DAQ8], ["-f", "kxdaq8-1310-40F5849A.bird"],
     "Birdfile failed validation: the file is bound to serial number 40F5849A"),
    ("build not in the store", SERIAL, [DAQ8], ["-b", "1234"],
     "Failed to load bird file: build 1234 is not in the store; download it first with "
     "-G -d 40F5849A -b 1234"),
])
def test_dry_run_fails_as_the_update_would(tmp_path, repo, case, serial, keys, args, error):
    world = ["--module", ",".join(["serial=" + serial, "usb"] + keys)]
    args = [str(repo / a) if a.endswith(".bird") else a for a in args]
    (tmp_path / "store" / "updater").mkdir(parents=True)
    before = listing(tmp_path / "store")
    reports = []
    for dry in (["--dry-run"], []):
        r, status = run_in_world(tmp_path, world, UPDATER,
                                 update_args(tmp_path, "-U", "-d", serial, *args, *dry))
        assert r.returncode == 1, (case, dry, r.stdout + r.stderr)
        assert error in r.stderr.splitlines(), (case, dry, r.stderr)
        assert status["modules"][0]["counters"]["requests"].get("95", 0) == 0, case
        reports.append([l for l in r.stderr.splitlines() if not l.startswith("korvex-sim:")])
        if dry:
            assert listing(tmp_path / "store") == before, case
        else:
            # The real update only took the module's lock.
            assert set(listing(tmp_path / "store")) - set(before) == {
                "updater/locks", "updater/locks/%s.lock" % serial}, case
    # The same report, word for word.
    assert reports[0] == reports[1], case


@pytest.mark.parametrize("args, error", [
    (["-U", "-t", "RECOVER", "-s", "/dev/null", "--dry-run"],
     "--dry-run cannot be used with -t RECOVER: a recovery writes the chip as soon as its boot "
     "ROM answers"),
    (["-G", "-U", "-d", SERIAL, "--dry-run"],
     "--dry-run goes only with -U (and not with -D, -G or -N)"),
    (["-L", "-d", SERIAL, "--dry-run"], "--dry-run goes only with -U (and not with -D, -G or -N)"),
])
def test_dry_run_refused_where_it_cannot_stop_before_a_write(tmp_path, run_updater, args, error):
    r = run_updater(*update_args(tmp_path, *args))
    assert r.returncode == 1
    assert error in r.stderr.splitlines(), r.stderr
    assert not (tmp_path / "store").exists()

"""The fleet rollout playbook (packaging/ansible) run by ansible-playbook
over an inventory of hosts on this machine (local connections), each with
its own simulated USB world and store, against one update server.

The server, ansible-playbook and every updater it starts run inside a
network namespace this test makes, with only its loopback interface: the
updater's searches cannot leave it. The filters that turn the updater's
JSON Lines into the report are also tried alone, on recorded output."""
import json
import os
import re
import runpy
import select
import shutil
import subprocess
import time
import types

import pytest

from simhost import HAVE_USB, Sim
from update_server_support import SERVER, SOURCE_DIR, UPDATER, make_sample_repo

ANSIBLE_PLAYBOOK = shutil.which("ansible-playbook")
ANSIBLE_DIR = SOURCE_DIR / "packaging" / "ansible"
PLAYBOOK = ANSIBLE_DIR / "firmware-rollout.yml"
FILTERS = ANSIBLE_DIR / "roles" / "updater_rollout" / "filter_plugins" / "updater_results.py"

needs_ansible = pytest.mark.skipif(ANSIBLE_PLAYBOOK is None, reason="ansible-playbook is missing")

# Module serial numbers the sample repository gets to know (it has model
# builds for every KX-DAQ8 device it lists).
EXTRA_DEVICES = ["40F58501", "40F58502", "40F58503"]
FAILS = "40F58502"

# Each host's world. fleet-b's module refuses every PREPARE, so its update
# fails at once; fleet-c comes after it and is never reached.
WORLDS = {
    "fleet-a": ["--module", "serial=40F58501,model=13,version=2.10.4,build=1200,usb",
                "--module", "serial=40F5849A,model=13,version=2.11.5,build=1300,usb",
                "--module", "serial=2181F0EE,model=15,version=1.3.0,build=700,usb"],
    "fleet-b": ["--module", "serial=40F58502,model=13,version=2.10.4,build=1200,usb,"
                            "fault=prepare-status"],
    "fleet-c": ["--module", "serial=40F58503,model=13,version=2.10.4,build=1200,usb"],
}


def read_line(stream, seconds):
    """The next line of a child's output, or "" when none came in time."""
    ready, _, _ = select.select([stream], [], [], seconds)
    return stream.readline().strip() if ready else ""


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


@pytest.fixture
def netns():
    """A network namespace with only loopback, up; yields the command
    prefix that runs a program in it."""
    holder = subprocess.Popen(["unshare", "-n", "sh", "-c",
                               "ip link set lo up && echo ready && exec sleep 600"],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert read_line(holder.stdout, 10) == "ready", "no network namespace"
        yield ["nsenter", "--net=/proc/%d/ns/net" % holder.pid, "--"]
    finally:
        stop(holder)


@pytest.fixture
def server(tmp_path, netns):
    repo = make_sample_repo(tmp_path / "repo", image_kib=4)
    with open(repo / "repo.conf", "a") as conf:
        for serial in EXTRA_DEVICES:
            conf.write("device %s model=KX-DAQ8 fw=KXDAQ8-R2 features=streaming\n" % serial)
    with open(tmp_path / "server.log", "w") as log:
        proc = subprocess.Popen(netns + [str(SERVER), "--repo", str(repo),
                                         "--listen", "127.0.0.1:0"],
                                stdout=subprocess.PIPE, stderr=log, text=True)
    try:
        match = re.match(r"listening on (\S+)", read_line(proc.stdout, 10))
        assert match, "the update server did not start"
        yield match.group(1)
    finally:
        stop(proc)


def umockdev_dir(sim):
    assert sim.wait_output("UMOCKDEV_DIR=", timeout=10), sim.output()
    return re.search(r"UMOCKDEV_DIR=(\S+)", sim.output()).group(1)


def final_status(sim):
    sim.stop()
    with open(sim.status_path) as f:
        return {m["serial"]: m for m in json.load(f)["modules"]}


def inventory(tmp_path, worlds, url):
    hosts = {}
    for name, world in worlds.items():
        hosts[name] = {
            # An AddressSanitizer build of the updater must be told that
            # the preload may come before its runtime.
            "updater_environment": {"UMOCKDEV_DIR": world,
                                    "LD_PRELOAD": "libumockdev-preload.so.0",
                                    "ASAN_OPTIONS": ":".join(
                                        o for o in (os.environ.get("ASAN_OPTIONS", ""),
                                                    "verify_asan_link_order=0") if o)},
            "updater_store_dir": str(tmp_path / ("store-" + name)),
        }
    return {"all": {"vars": {"ansible_connection": "local",
                             "ansible_python_interpreter": "{{ ansible_playbook_python }}",
                             "updater_command": str(UPDATER),
                             "updater_server_url": url,
                             "updater_run_timeout": 60},
                    "hosts": hosts}}


def run_playbook(tmp_path, netns, inv, *extra):
    path = tmp_path / "inventory.json"
    path.write_text(json.dumps(inv))
    home = tmp_path / "ansible"
    env = dict(os.environ, ANSIBLE_HOME=str(home), ANSIBLE_LOCAL_TEMP=str(home / "tmp"),
               ANSIBLE_REMOTE_TEMP=str(home / "remote"), ANSIBLE_PIPELINING="True",
               ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="False",
               ANSIBLE_CONFIG=str(tmp_path / "no-ansible.cfg"), HOME=str(home))
    args = [a for e in extra for a in ("-e", e)]
    return subprocess.run(netns + [ANSIBLE_PLAYBOOK, "-i", str(path), str(PLAYBOOK), *args],
                          capture_output=True, text=True, env=env, cwd=str(tmp_path), timeout=400)


def rollout(tmp_path, netns, server, *extra, exit_code=2):
    """Runs the playbook over the three worlds; returns ansible-playbook's
    result, the report, its table and each world's modules afterwards."""
    report_path = tmp_path / "out" / "report.json"
    with Sim(*WORLDS["fleet-a"]) as a, Sim(*WORLDS["fleet-b"]) as b, \
            Sim(*WORLDS["fleet-c"]) as c:
        sims = {"fleet-a": a, "fleet-b": b, "fleet-c": c}
        inv = inventory(tmp_path, {h: umockdev_dir(s) for h, s in sims.items()}, server)
        started = time.monotonic()
        r = run_playbook(tmp_path, netns, inv, "updater_report_path=%s" % report_path, *extra)
        print("playbook took %.1f s" % (time.monotonic() - started))
        status = {h: final_status(s) for h, s in sims.items()}
    # 2 is Ansible's exit code for a run with failed hosts.
    assert r.returncode == exit_code, r.stdout + r.stderr
    report = json.loads(report_path.read_text())
    return r, report, report_path.with_suffix(".md").read_text(), status


def needs_worlds(test):
    for mark in (needs_ansible,
                 pytest.mark.skipif(not HAVE_USB, reason="built without umockdev"),
                 pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")):
        test = mark(test)
    return test


@needs_worlds
def test_rollout_updates_a_host_and_stops_at_the_failure_threshold(tmp_path, netns, server):
    r, report, table, status = rollout(tmp_path, netns, server, "updater_model=KX-DAQ8",
                                       "updater_batch_size=1", "updater_max_fail_percentage=0")
    output = r.stdout + r.stderr
    hosts = {h["host"]: h for h in report["hosts"]}
    assert [h["host"] for h in report["hosts"]] == ["fleet-a", "fleet-b", "fleet-c"]
    assert report["rollout"] == "stopped"
    assert report["stopped_after"] == ["fleet-b"]
    assert report["not_attempted"] == ["fleet-c"]
    assert (report["batch_size"], report["max_fail_percentage"]) == (1, 0)

    # fleet-a: both KX-DAQ8 modules updated, the KX-Relay4 left alone.
    a = hosts["fleet-a"]
    assert a["status"] == "ok", a
    assert a["discovered"] == sorted(["2181F0EE", "40F58501", "40F5849A"])
    got = {m["serial"]: (m["old_build"], m["new_build"], m["outcome"]) for m in a["modules"]}
    assert got == {"40F58501": (1200, 1300, "updated"), "40F5849A": (1300, 1310, "updated")}
    assert status["fleet-a"]["40F58501"]["build_now"] == 1300
    assert status["fleet-a"]["40F5849A"]["build_now"] == 1310
    assert status["fleet-a"]["2181F0EE"]["counters"]["upgrade"]["inits"] == 0

    # fleet-b: its module failed, with the updater's kind and message.
    b = hosts["fleet-b"]
    assert b["status"] == "failed"
    [m] = b["modules"]
    assert (m["serial"], m["old_build"], m["new_build"], m["outcome"], m["kind"]) == \
        (FAILS, 1200, None, "failed", "transfer-failed")
    assert m["message"].startswith("Failed to update module [%s]: " % FAILS), m
    assert status["fleet-b"][FAILS]["build_now"] == 1200

    # fleet-c: not attempted, and its module never asked anything.
    assert hosts["fleet-c"]["status"] == "not-attempted"
    assert hosts["fleet-c"]["reason"] == "rollout stopped"
    assert status["fleet-c"]["40F58503"]["counters"]["identifies"] == 0
    assert not (tmp_path / "store-fleet-c").exists()
    assert report["totals"] == {"hosts": 3, "hosts_ok": 1, "hosts_failed": 1,
                                "hosts_not_attempted": 1, "modules": 3, "updated": 2,
                                "dry_run": 0, "failed": 1}

    for row in ["| fleet-a | 40F58501 | 1200 | 1300 | updated |  |",
                "| fleet-a | 40F5849A | 1300 | 1310 | updated |  |",
                "| fleet-b | %s | 1200 |  | failed | transfer-failed: Failed to update module"
                % FAILS,
                "| fleet-c | | | | not attempted | rollout stopped |"]:
        assert row in table, table
    assert "Not attempted: fleet-c." in table
    # The play ran no task on the host after the stop.
    assert "fleet-c" not in output


@needs_worlds
def test_rollout_by_serial_numbers_goes_on_within_the_threshold(tmp_path, netns, server):
    # Batches of two hosts, half of a batch may fail: fleet-b's failure in
    # the first batch does not stop fleet-c in the second.
    r, report, table, status = rollout(
        tmp_path, netns, server, "updater_serials=40f58501,40F58502,40F58503,DEADBEEF",
        "updater_batch_size=2", "updater_max_fail_percentage=50")
    assert (report["rollout"], report["stopped_after"], report["not_attempted"]) == \
        ("complete", [], [])
    assert report["selection"]["serials"] == ["40F58501", "40F58502", "40F58503", "DEADBEEF"]
    assert report["serials_not_found"] == ["DEADBEEF"]
    got = {(h["host"], m["serial"]): (m["old_build"], m["new_build"], m["outcome"], m.get("kind"))
           for h in report["hosts"] for m in h["modules"]}
    assert got == {("fleet-a", "40F58501"): (1200, 1300, "updated", None),
                   ("fleet-b", FAILS): (1200, None, "failed", "transfer-failed"),
                   ("fleet-c", "40F58503"): (1200, 1300, "updated", None)}
    # Modules not named were left alone, on a host that was updated.
    assert status["fleet-a"]["40F5849A"]["counters"]["upgrade"]["inits"] == 0
    assert status["fleet-c"]["40F58503"]["build_now"] == 1300
    # What the other test sees stay at 0 on a host never reached.
    assert status["fleet-c"]["40F58503"]["counters"]["identifies"] > 0
    assert (tmp_path / "store-fleet-c").exists()
    assert "| fleet-c | 40F58503 | 1200 | 1300 | updated |  |" in table


# --- the filters alone, on the updater's JSON Lines ---------------------------

def load_filters():
    pytest.importorskip("ansible")
    return types.SimpleNamespace(**runpy.run_path(str(FILTERS)))


class HostVars(dict):
    pass


def jsonl(*objects, noise=()):
    return "\n".join(list(noise) + [json.dumps(o) for o in objects]) + "\n"


def run(rc, *objects, noise=(), **extra):
    return dict({"rc": rc, "stdout": jsonl(*objects, noise=noise), "stderr": ""}, **extra)


def module(serial, model=13, name="KX-DAQ8", build=1200):
    return {"type": "module", "serial": serial, "model": model, "model_name": name,
            "version": "2.10.4", "build": build, "link": "USB", "name": "bench"}


def summary(ok):
    return {"type": "summary", "ok": ok, "exit_code": 0 if ok else 1, "results": 1,
            "failures": 0 if ok else 1, "seconds": 0.1}


def updated(serial, old=1200, new=1300):
    return {"type": "update", "serial": serial, "outcome": "updated", "old_build": old,
            "new_build": new, "attempts": 1, "seconds": 3.0}


def error(kind, message, serial=None):
    e = {"type": "error", "kind": kind, "message": message}
    if serial:
        e["serial"] = serial
    return e


DISCOVERED = run(0, module("40F58501"), module("40F58502"), module("2181F0EE", 15, "KX-Relay4"),
                 summary(True), noise=["not json", "{broken", "[1, 2]"])
STORED = run(0, {"type": "download", "serial": "40F58501", "outcome": "ok", "build": 1300},
             {"type": "download", "serial": "40F58502", "outcome": "ok", "build": 1300},
             summary(True))
SKIPPED = {"skipped": True, "changed": False}

# (case, model, serials, chosen)
SELECTIONS = [
    ("model name", "KX-DAQ8", [], ["40F58501", "40F58502"]),
    ("model name in other case", "kx-relay4", [], ["2181F0EE"]),
    ("model number", 15, None, ["2181F0EE"]),
    ("serial list as text", "", "40f58502, 2181F0EE", ["40F58502", "2181F0EE"]),
    ("model and serials", "KX-DAQ8", ["2181F0EE", "40F58502", "FFFFFFFF"], ["40F58502"]),
    ("no such model", "KX-Router", [], []),
]


@pytest.mark.parametrize("case, model, serials, chosen", SELECTIONS, ids=[s[0] for s in SELECTIONS])
def test_modules_are_chosen_by_model_and_serial(case, model, serials, chosen):
    f = load_filters()
    events = f.updater_events(DISCOVERED["stdout"])
    assert sorted(f.updater_select(events, model, serials)) == sorted(chosen)


# (case, download run, update run, selected, host status, {serial: (outcome,
# kind, text in the message)}, host errors as (stage, kind))
RESULTS = [
    ("both updated", STORED, run(0, updated("40F58501"), updated("40F58502"), summary(True)),
     ["40F58501", "40F58502"], "ok",
     {"40F58501": ("updated", None, None), "40F58502": ("updated", None, None)}, []),
    ("download refused for one", run(1, error("build-not-found", "No build information for "
                                              "device", "40F58502"),
                                     {"type": "download", "serial": "40F58502",
                                      "outcome": "failed", "kind": "build-not-found"},
                                     {"type": "download", "serial": "40F58501", "outcome": "ok",
                                      "build": 1300}, summary(False)),
     run(0, updated("40F58501"), summary(True)), ["40F58501", "40F58502"], "failed",
     {"40F58501": ("updated", None, None),
      "40F58502": ("failed", "build-not-found", "No build information")}, []),
    ("dry run", STORED, run(0, dict(updated("40F58501"), outcome="dry-run", new_build=None),
                            summary(True)),
     ["40F58501"], "ok", {"40F58501": ("dry-run", None, None)}, []),
    ("update failed", STORED,
     run(1, error("transfer-failed", "Failed to update module [40F58502]: x", "40F58502"),
         {"type": "update", "serial": "40F58502", "outcome": "failed", "old_build": 1200,
          "kind": "transfer-failed", "message": "Failed to update module [40F58502]: x"},
         summary(False)),
     ["40F58502"], "failed", {"40F58502": ("failed", "transfer-failed", "[40F58502]: x")}, []),
    ("server unreachable for all", run(1, error("server-unreachable", "Could not reach the "
                                                "update server"), summary(False)),
     SKIPPED, ["40F58501"], "failed",
     {"40F58501": ("failed", "server-unreachable", "Could not reach")},
     [("download", "server-unreachable")]),
    ("updater missing", STORED, {"rc": 2, "failed": False, "stdout": "", "stderr": "",
                                 "msg": "[Errno 2] No such file or directory: b'Updater'"},
     ["40F58501"], "failed", {"40F58501": ("failed", "failed", "No such file or directory")}, []),
    ("updater killed mid-way", STORED, run(-9, summary(True)) | {"stdout": "", "stderr":
                                                                 "progress\nKilled"},
     ["40F58501"], "failed", {"40F58501": ("failed", "failed", "exit code -9: Killed")}, []),
    ("nothing of the model here", SKIPPED, SKIPPED, [], "ok", {}, []),
]


@pytest.mark.parametrize("case, download, update, selected, host_status, modules, errors",
                         RESULTS, ids=[r[0] for r in RESULTS])
def test_host_result_names_each_module_outcome(case, download, update, selected, host_status,
                                               modules, errors):
    f = load_filters()
    r = f.updater_host_result("h1", DISCOVERED, download, update, selected)
    assert r["status"] == host_status, r
    got = {m["serial"]: m for m in r["modules"]}
    assert sorted(got) == sorted(modules)
    for serial, (outcome, kind, text) in modules.items():
        m = got[serial]
        assert (m["outcome"], m.get("kind")) == (outcome, kind), m
        if text:
            assert text in m["message"], m
        assert m["old_build"] == 1200
    assert [(e["stage"], e["kind"]) for e in r["errors"]] == errors


def test_check_mode_plans_the_selected_modules():
    f = load_filters()
    r = f.updater_host_result("h1", DISCOVERED, SKIPPED, SKIPPED, ["40F58501"], True)
    assert r["status"] == "ok"
    assert [(m["serial"], m["outcome"], m.get("kind")) for m in r["modules"]] == \
        [("40F58501", "planned", None)]
    report = f.updater_report(HostVars({"h1": {"updater_host_result": r}}), ["h1"], ["h1"],
                              {"check_mode": True, "max_fail_percentage": 0})
    assert report["check_mode"] and report["rollout"] == "complete"
    assert "| h1 | 40F58501 | 1200 |  | planned |  |" in f.updater_report_table(report)


# (case, discovery run, host status, host errors as (stage, kind))
DISCOVERIES = [
    ("no module at all", run(1, error("module-not-found", "Could not connect to device"),
                             summary(False)), "ok", []),
    ("search failed", run(1, error("failed", "libusb: access denied"), summary(False)), "failed",
     [("discover", "failed")]),
    ("no output", {"rc": 1, "stdout": "", "stderr": "Segmentation fault\n"}, "failed",
     [("discover", "failed")]),
]


@pytest.mark.parametrize("case, discover, host_status, errors", DISCOVERIES,
                         ids=[d[0] for d in DISCOVERIES])
def test_host_result_of_a_failed_discovery(case, discover, host_status, errors):
    f = load_filters()
    r = f.updater_host_result("h1", discover, SKIPPED, SKIPPED, [])
    assert (r["status"], r["modules"]) == (host_status, [])
    assert [(e["stage"], e["kind"]) for e in r["errors"]] == errors


def test_text_from_modules_is_never_evaluated_as_a_template():
    f = load_filters()
    from ansible.utils.unsafe_proxy import AnsibleUnsafe
    name = "{{ lookup('pipe', 'touch /tmp/evaluated') }}"
    events = f.updater_events(jsonl(dict(module("40F58501"), name=name)))
    assert events[0]["name"] == name and isinstance(events[0]["name"], AnsibleUnsafe)
    r = f.updater_host_result("h1", run(0, dict(module("40F58501"), model_name=name)),
                              SKIPPED, SKIPPED, ["40F58501"])
    assert isinstance(r["modules"][0]["model_name"], AnsibleUnsafe)


def results(*statuses):
    return HostVars({"h%d" % i: {"updater_host_result": {
        "host": "h%d" % i, "status": s, "discovered": [],
        "modules": [{"serial": "40F5850%d" % i, "outcome": "updated" if s == "ok" else "failed",
                     "old_build": 1200, "new_build": 1300 if s == "ok" else None}],
        "errors": []}} for i, s in enumerate(statuses) if s})


# (case, host results (None: no result yet), batch, threshold, rollout,
# stopped after, not attempted)
THRESHOLDS = [
    ("all fine", ["ok", "ok"], ["h1"], 0, "complete", [], []),
    ("one of two failed, 50 % allowed", ["ok", "failed", "ok", None], ["h1", "h2"], 50,
     "in-progress", [], ["h3"]),
    ("one of two failed, 49 % allowed", ["ok", "failed", "ok", None], ["h1", "h2"], 49,
     "stopped", ["h1"], ["h3"]),
    ("whole batch failed, 100 % allowed", ["ok", "failed", None], ["h1"], 100, "stopped",
     ["h1"], ["h2"]),
    ("threshold given as percent text", ["ok", "failed", "ok", None], ["h1", "h2"], "50%",
     "in-progress", [], ["h3"]),
]


@pytest.mark.parametrize("case, statuses, batch, threshold, rollout, stopped_after, pending",
                         THRESHOLDS, ids=[t[0] for t in THRESHOLDS])
def test_report_says_where_the_rollout_stopped(case, statuses, batch, threshold, rollout,
                                               stopped_after, pending):
    f = load_filters()
    hosts = ["h%d" % i for i in range(len(statuses))]
    report = f.updater_report(results(*statuses), hosts, batch,
                              {"model": "KX-DAQ8", "batch_size": len(batch),
                               "max_fail_percentage": threshold})
    assert (report["rollout"], report["stopped_after"], report["not_attempted"]) == \
        (rollout, stopped_after, pending)
    table = f.updater_report_table(report)
    for host in pending:
        assert "| %s | | | | not attempted |" % host in table

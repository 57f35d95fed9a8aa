"""--json results and several modules in one command (-d A,B,C and -d all),
against simulated USB modules and our update server on 127.0.0.1."""
import json
import pathlib

import pytest

from simhost import SIM, run_in_world
from update_server_support import UPDATER, UpdateServer, make_sample_repo, run_updater

PROBE = pathlib.Path(SIM).parent / "usb_probe"
needs_usb = pytest.mark.skipif(not PROBE.exists(), reason="built without umockdev")

RACK = ["40F5A001", "40F5A002", "40F5A003"]
NO_SERVER = "http://127.0.0.1:9/cgi/u"


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=4)


@pytest.fixture(scope="module")
def server(repo):
    s = UpdateServer(repo)
    yield s
    s.stop()


def usb_world(*specs):
    world = []
    for serial, extra in specs:
        world += ["--module", f"serial={serial},model=13,usb" + ("," + extra if extra else "")]
    return world


def objects(stdout):
    """Every line of standard output as a JSON object: nothing else may be there."""
    return [json.loads(line) for line in stdout.splitlines()]


@needs_usb
def test_json_discovery_prints_one_object_per_module_and_a_summary(tmp_path):
    r, _ = run_in_world(tmp_path, usb_world(*[(s, "") for s in RACK]), UPDATER,
                        ["--json", "-D", "-i", str(tmp_path)])
    assert r.returncode == 0, r.stderr
    found = objects(r.stdout)
    assert [o["type"] for o in found] == ["module"] * 3 + ["summary"]
    assert sorted(o["serial"] for o in found[:3]) == RACK
    for o in found[:3]:
        assert (o["model"], o["model_name"], o["version"], o["build"], o["link"]) == \
            (13, "KX-DAQ8", "2.11.0", 1000, "USB")
    assert found[3] == {**found[3], "ok": True, "exit_code": 0, "results": 3, "failures": 0}
    assert "Searching for Korvex devices" in r.stderr  # human lines go to standard error


@needs_usb
@pytest.mark.parametrize("as_json", [False, True])
def test_update_of_several_modules_runs_each_and_one_failure_fails_the_run(tmp_path, server, as_json):
    world = usb_world((RACK[0], ""), (RACK[1], ""), (RACK[2], "fault=write-status=always"))
    args = ["-u", server.url, "-G", "-U", "-d", ",".join(RACK), "-i", str(tmp_path)]
    r, status = run_in_world(tmp_path, world, UPDATER, (["--json"] if as_json else []) + args,
                             timeout=180)
    assert r.returncode == 1, r.stdout + r.stderr
    builds = {m["serial"]: m["build_now"] for m in status["modules"]}
    assert builds[RACK[0]] == builds[RACK[1]] == 1300 and builds[RACK[2]] == 1000
    if not as_json:
        rows = [l.split() for l in r.stdout.splitlines() if l.startswith("    40F5A00")]
        assert [row[:2] for row in rows] == [[RACK[0], "updated"], [RACK[1], "updated"],
                                             [RACK[2], "failed"]]
        assert rows[0][2:6] == ["2.11.0", "(1000)", "2.11.5", "(1300)"]
        assert rows[2][-1] == "transfer-failed"
        assert f"[{RACK[0]}] Module {RACK[0]} now runs firmware 2.11.5 build 1300" in r.stdout
        return
    found = objects(r.stdout)
    updates = {o["serial"]: o for o in found if o["type"] == "update"}
    assert {s: u["outcome"] for s, u in updates.items()} == \
        {RACK[0]: "updated", RACK[1]: "updated", RACK[2]: "failed"}
    assert (updates[RACK[0]]["old_build"], updates[RACK[0]]["new_build"]) == (1000, 1300)
    assert updates[RACK[2]]["kind"] == "transfer-failed" and updates[RACK[2]]["message"]
    errors = [o for o in found if o["type"] == "error"]
    assert errors and all(e["serial"] == RACK[2] for e in errors)
    assert [o["type"] for o in found].count("download") == 3
    assert found[-1]["type"] == "summary" and found[-1]["exit_code"] == 1 and not found[-1]["ok"]
    progress = [json.loads(l) for l in r.stderr.splitlines() if l.startswith('{"type":"progress"')]
    assert {p["serial"] for p in progress} == set(RACK)


@needs_usb
def test_all_updates_every_module_a_search_finds(tmp_path, server):
    world = usb_world((RACK[0], ""), (RACK[1], ""))
    r, status = run_in_world(tmp_path, world, UPDATER,
                             ["--json", "-u", server.url, "-G", "-U", "-d", "all", "-i", str(tmp_path)],
                             timeout=180)
    assert r.returncode == 0, r.stdout + r.stderr
    assert all(m["build_now"] == 1300 for m in status["modules"])
    assert sorted(o["serial"] for o in objects(r.stdout) if o["type"] == "update") == RACK[:2]


@pytest.mark.parametrize("args,kind", [
    (["-U", "-d", "40F5A001", "-f", "REPO/kxdaq8-1300.bird", "-u", NO_SERVER], "module-not-found"),
    (["-B", "-d", "40F5A001", "-u", NO_SERVER], "server-unreachable"),
    (["-U", "-d", "40F5A001", "-f", "/nonexistent.bird", "-u", NO_SERVER], "package-refused"),
    (["-D", "-d", "12X4"], "bad-argument"),
    (["-I", "-d", "40F5A001"], "not-in-store"),
])
def test_every_failure_is_an_object_with_its_kind(tmp_path, repo, args, kind):
    args = [a.replace("REPO", str(repo)) for a in args]
    # Inside a network namespace of its own: an update searches TCP/IP too.
    r, _ = run_in_world(tmp_path, [], UPDATER, ["--json", *args, "-i", str(tmp_path)], netns=True)
    assert r.returncode == 1, r.stdout + r.stderr
    found = objects(r.stdout)
    assert found[0]["type"] == "error" and found[0]["kind"] == kind, found
    assert found[-1]["type"] == "summary" and found[-1]["exit_code"] == 1


def test_list_of_serial_numbers_is_checked(tmp_path):
    r = run_updater(["-L", "-d", "40F5A001,XYZ"], tmp_path)
    assert r.returncode == 1
    assert "Invalid serial number obtained from argument [XYZ]" in r.stderr
    r = run_updater(["--json", "-L", "-d", "40F5A001,40F5A002,40F5A001"], tmp_path)
    assert r.returncode == 0, r.stderr
    # Each module once, in the order named; none has stored builds.
    assert [o["type"] for o in objects(r.stdout)] == ["summary"]
    assert r.stderr.count("No builds found for device") == 2


@needs_usb
def test_two_loaders_known_only_by_the_default_serial_number_are_never_taken(tmp_path, server, repo):
    """Both modules restart into loaders that announce DEADDEAD at the same
    time: either could be either, so neither update takes one, and no
    firmware goes to a module it was not meant for."""
    world = usb_world((RACK[0], "loader_serial=deadead"), (RACK[1], "loader_serial=deadead"))
    r, status = run_in_world(tmp_path, world, UPDATER,
                             ["-u", server.url, "-U", "-d", ",".join(RACK[:2]), "-f",
                              str(repo / "kxdaq8-1300.bird"), "-i", str(tmp_path)], timeout=180)
    assert r.returncode == 1, r.stdout + r.stderr
    for serial in RACK[:2]:
        assert f"[{serial}] Failed to connect to module [{serial}]" in r.stderr
    assert all(m["build_now"] == 1000 for m in status["modules"])
    # Each got its loader; no firmware phase began on either.
    assert all((m["counters"]["upgrade"]["prepares"], m["counters"]["upgrade"]["reboots"]) == (1, 0)
               for m in status["modules"]), status["modules"]

"""The TCP/IP search for one module and the full listing, against scripted
modules that answer late or only start listening while the search runs.
Everything runs inside the private network namespace korvex-sim --netns
makes, never on the machine's own interfaces."""
import json
import os
import subprocess
import sys

import pytest

from simhost import BIN, SIM
from test_discovery import records, section

PROBE = os.path.abspath(os.path.join(BIN, "tests", "discovery_probe"))

# Runs inside the namespace. Scripted modules answer the requests to
# 232.2.2.2:9888; each run of the probe is one scene: per module, how late
# it answers a request, and for how long after the scene's first request it
# does not listen yet (a module still restarting).
DRIVER = r"""
import json, select, socket, struct, subprocess, sys, threading, time
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)
probe = sys.argv[1]
scenes = json.loads(sys.argv[2])

rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
rx.bind(("", 9888))
for local in ("198.18.0.1", "198.18.0.2"):
    rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                  socket.inet_aton("232.2.2.2") + socket.inet_aton(local))
tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

def answer(serial):
    a = bytearray(16)
    a[1] = 2
    a[2:4] = (4000).to_bytes(2, "little")
    a[4:8] = int(serial, 16).to_bytes(4, "little")
    a[12] = 13
    return bytes(a)

lock = threading.Lock()
scene = {"modules": [], "first": None, "number": 0}
stop = threading.Event()
def responder():
    due = []                        # (time, serial, address, scene number)
    for _ in range(100000):         # bounded; the driver stops it long before
        if stop.is_set():
            return
        now = time.monotonic()
        with lock:
            number = scene["number"]
        for d in [d for d in due if d[0] <= now or d[3] != number]:
            if d[3] == number:      # answers of a scene that ended are not sent
                tx.sendto(answer(d[1]), (d[2], 9889))
            due.remove(d)
        r, _, _ = select.select([rx], [], [], 0.01)
        if not r:
            continue
        data, sender = rx.recvfrom(64)
        if len(data) != 16 or data[0] != 1:
            continue
        now = time.monotonic()
        with lock:
            if scene["first"] is None:
                scene["first"] = now
            for serial, late, away in scene["modules"]:
                if now - scene["first"] >= away:
                    due.append((now + late, serial, sender[0], scene["number"]))
peer = threading.Thread(target=responder)
peer.start()
try:
    for name, args, modules in scenes:
        with lock:
            scene["modules"] = modules
            scene["first"] = None
            scene["number"] += 1
        r = subprocess.run([probe, "tcpip"] + args, capture_output=True, text=True, timeout=20)
        print("== " + name)
        print(r.stdout, end="")
        print(r.stderr, end="", file=sys.stderr)
        if r.returncode != 0:
            sys.exit("probe failed: %d" % r.returncode)
    print("== end")
finally:
    stop.set()
    peer.join()
"""

# (scene, probe arguments, modules as (serial, seconds late, seconds away)).
SCENES = [
    ("late answer", ["find", "0A000001"], [["0A000001", 1.2, 0]]),
    ("comes back during the search", ["find", "0A000002"], [["0A000002", 0, 0.6]]),
    ("another answers first", ["find", "0A000003"], [["0A000004", 0, 0], ["0A000003", 0.8, 0]]),
    ("listing with a late answer", ["all"], [["0A000005", 0, 0], ["0A000006", 1.5, 0]]),
    ("nobody has it", ["find", "0A000009"], [["0A000005", 0, 0]]),
]

EXPECTED = {
    "late answer": ["0A000001"],
    "comes back during the search": ["0A000002"],
    "another answers first": ["0A000003"],
    "listing with a late answer": ["0A000005", "0A000006"],
    "nobody has it": [],
}


@pytest.fixture(scope="module")
def searches():
    r = subprocess.run([SIM, "--netns", "--", sys.executable, "-c", DRIVER, PROBE,
                        json.dumps(SCENES)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.parametrize("scene", [s[0] for s in SCENES])
def test_search_finds_what_answers_within_its_time(searches, scene):
    found = sorted(rec["serial"] for rec in records(section(searches, scene)))
    assert found == EXPECTED[scene], searches
    if not EXPECTED[scene]:
        assert section(searches, scene).strip() == "none", searches
    elif scene.startswith("listing"):
        assert "count 2 " in section(searches, scene), searches

"""The object layer (Link, Module, SystemClass) run by tests/module_probe
inside korvex-sim worlds: discover-and-connect over TCP/IP found by the real
multicast search, only inside the private network namespace korvex-sim
--netns makes, with the fallback between USB and TCP/IP; and every entity
get/set/call form, a stream with a callback, a store slot and factory data
against a simulated USB module."""
import json
import os
import subprocess
import sys

import pytest

from simhost import BIN, HAVE_CZMQ, SIM

PROBE = os.path.abspath(os.path.join(BIN, "tests", "module_probe"))
needs_usb = pytest.mark.skipif(not os.path.exists(os.path.join(BIN, "sim", "usb_probe")),
                               reason="built without umockdev")
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

# aErr codes as the probe prints them.
NONE, NOT_FOUND, PERMISSION, RANGE, SIZE, TIMEOUT, UNIMPLEMENTED = 0, 3, 12, 13, 14, 18, 21

# Runs inside the namespace: refuses to go on anywhere else, then runs the
# probe once per case and prints what it said.
DRIVER = r"""
import socket, subprocess, sys
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)
probe = sys.argv[1]
for case in sys.argv[2:]:
    r = subprocess.run([probe] + case.split(), capture_output=True, text=True, timeout=30)
    print("== " + case)
    print(r.stdout, end="")
    print(r.stderr, end="", file=sys.stderr)
    if r.returncode != 0:
        sys.exit("probe failed: %d" % r.returncode)
"""

# (probe arguments, found by, serial read through the module or None,
#  searches in order: "usb", "tcpip" and the fallbacks between them)
CASES = [
    ("module tcpip 1234ABCD direct", 2, "1234ABCD", ["tcpip"]),
    ("module usb 1234ABCD fallback", 2, "1234ABCD", ["usb", "fallback aLanet", "tcpip"]),
    ("link tcpip 00C0FFEE fallback", 1, None, ["tcpip", "fallback USB", "usb"]),
    # Found nowhere: the retry runs once and does not bounce back to USB.
    ("module usb 0BADBEEF fallback", None, None, ["usb", "fallback aLanet", "tcpip"]),
    ("link usb 1234ABCD direct", None, None, ["usb"]),
]


def searches(text):
    """The searches and fallbacks the library's trace shows, in order. The
    world's one USB module is listed once by every USB search."""
    seen = []
    for line in text.splitlines():
        if line.startswith("USB module SN: 0x00C0FFEE"):
            seen.append("usb")
        elif line.startswith("TCP/IP search:"):
            seen.append("tcpip")
        elif line.startswith("Executing Fallback: "):
            seen.append("fallback " + line.split(": ", 1)[1])
    return seen


def findings(text):
    return dict(line.split(" ", 1) for line in text.splitlines()
                if line.split(" ", 1)[0] in ("result", "spec", "connected", "address", "read"))


@needs_usb
@needs_root
def test_discover_and_connect_over_tcpip_with_fallback_inside_a_namespace():
    r = subprocess.run(
        [SIM, "--netns", "--discovery",
         "--module", "serial=1234ABCD,model=21,address=4,tcp",
         "--module", "serial=00C0FFEE,model=13,usb",
         "--", sys.executable, "-c", DRIVER, PROBE] + [c[0] for c in CASES],
        capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    for args, found_by, serial, expected_searches in CASES:
        out = r.stdout.split("== " + args + "\n", 1)[1].split("== ", 1)[0]
        assert searches(out) == expected_searches, (args, out)
        got = findings(out)
        if found_by is None:
            assert got == {"result": str(NOT_FOUND)}, (args, out)
            continue
        assert got["result"] == str(NONE) and got["connected"] == "1", (args, out)
        assert got["spec"].startswith("type=%d " % found_by), (args, out)
        if serial is not None:
            # The module learnt its address from the module it reached.
            assert got["address"] == "4" and got["read"] == "%d %s" % (NONE, serial), (args, out)


# (form, result, value): the probe runs them in this order.
ENTITY_FORMS = [
    ("byte-get", NONE, 21), ("byte-set", NONE, 0), ("byte-get-after-set", NONE, 9),
    ("16-get", NONE, 513), ("16-set-wrong-width", SIZE, 0),
    ("32-get", NONE, 0x00C0FFEE), ("32-set", NONE, 0), ("32-get-after-set", NONE, 1234567),
    ("signed-get", NONE, -1500), ("signed-set", NONE, 0), ("signed-get-after-set", NONE, -2),
    ("subindex-get", NONE, 0xCAFE0002), ("subindex-set", UNIMPLEMENTED, 0),
    ("subindex-get-unknown", RANGE, 0), ("error-answer", PERMISSION, 0), ("call", NONE, 0),
    ("bytes-set-name", NONE, 0), ("bytes-get-name", NONE, 1),
    # 60 bytes in one set, acknowledged once: no second acknowledgement
    # comes, and the next get reads them all back.
    ("bytes-set-60", NONE, 0), ("bytes-second-ack", TIMEOUT, 0), ("bytes-get-60", NONE, 1),
    # Samples reach a callback; once disabled, gets go to the module again.
    ("stream-callbacks", NONE, 1), ("byte-get-after-stream", NONE, 9),
    ("slot-round-trip", NONE, 1), ("factory-round-trip", NONE, 1),
]


@needs_usb
def test_every_entity_form_streams_slots_and_factory_data_over_usb(tmp_path):
    status = tmp_path / "status.json"
    r = subprocess.run(
        [SIM, "--status-file", str(status), "--module",
         "serial=00C0FFEE,model=21,version=2.11.4,address=6,stream_ms=20,usb,"
         "option=27:-1500,option=50:u16:513,"
         "option=39.2:0xCAFE0002,fault=error-answer=3.12:12",
         "--", PROBE, "entities", "00C0FFEE"],
        capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    # Connected over USB, the module learnt its address from the module.
    assert lines[:2] == ["connect 0", "address 6"], r.stdout
    assert lines[2:] == ["%s %d %d" % form for form in ENTITY_FORMS], r.stdout
    with open(status) as f:
        counters = json.load(f)["modules"][0]["counters"]
    # The 60-byte set reached the module as three packets.
    assert counters["system_sets"]["31"] == 3, counters


# Runs inside the namespace: a program holds the module through
# Module::connect with the default configuration; a second program
# connecting the same way is served through the holder's sharing server,
# and Updater -D (sharing off) finds the module held; then the holder,
# still working, is stopped with Ctrl-C.
SHARED_DRIVER = r"""
import signal, socket, subprocess, sys
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)
probe, updater, store = sys.argv[1:4]
hold = subprocess.Popen([probe, "hold", "1234ABCD"], stdout=subprocess.PIPE, text=True)
first = [hold.stdout.readline() for _ in range(4)]
print("holder " + "|".join(l.strip() for l in first))
if first[2].startswith("read 0"):
    r = subprocess.run([probe, "read", "1234ABCD"], capture_output=True, text=True, timeout=60)
    print("second " + "|".join(r.stdout.split("\n")).strip("|") + " exit %d" % r.returncode)
    d = subprocess.run([updater, "-D", "-t", "USB", "-i", store], capture_output=True,
                       text=True, timeout=60)
    print(d.stdout, end="")
hold.send_signal(signal.SIGINT)
rest, _ = hold.communicate(timeout=30)
print("holder " + "|".join(rest.split("\n")).strip("|") + " exit %d" % hold.returncode)
"""


@needs_usb
@needs_root
@pytest.mark.skipif(not HAVE_CZMQ, reason="built without the messaging library")
def test_default_usb_connect_shares_the_module_with_a_second_process(tmp_path):
    updater = os.path.abspath(os.path.join(BIN, "app", "Updater"))
    r = subprocess.run(
        [SIM, "--netns", "--module", "serial=1234ABCD,model=13,version=2.11.4,usb",
         "--", sys.executable, "-c", SHARED_DRIVER, PROBE, updater, str(tmp_path)],
        capture_output=True, text=True, timeout=180)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    # The holder reaches the module over USB, its server's port noted; a
    # second module of the holder's own reaches it through that server.
    assert lines[0] == ("holder connect 0|type 1 port set|read 0 1234ABCD|"
                        "again 0 type 1 read 0 1234ABCD"), r.stdout + r.stderr
    # The second program found the holder's server and read through it.
    assert lines[1] == "second connect 0|type 4 port 0|read 0 1234ABCD exit 0", r.stdout
    start = lines.index("Discovered Devices: (USB)")
    assert lines[start + 2] == "    1234ABCD  [Error (25): Is someone else connected to this device?]", r.stdout
    assert lines[-1] == "holder read 0 1234ABCD exit 0", r.stdout

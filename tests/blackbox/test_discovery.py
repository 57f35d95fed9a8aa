"""Discovery searches of the device link library, run by tests/discovery_probe:
the TCP/IP search only inside the private network namespace korvex-sim
--netns makes (never on the machine's own interfaces), the USB search in a
korvex-sim world of simulated devices."""
import os
import subprocess
import sys

import pytest

from simhost import BIN, SIM

PROBE = os.path.abspath(os.path.join(BIN, "tests", "discovery_probe"))

# Runs inside the namespace. A peer at 198.18.0.2 keeps sending to the
# search's port all the time: answers of a third module, copies of a
# simulated module's answer and datagrams of the wrong size.
DRIVER = r"""
import re, socket, subprocess, sys, threading
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)
probe = sys.argv[1]

def answer(serial, address, port, model):
    a = bytearray(16)
    a[1] = address
    a[2:4] = port.to_bytes(2, "little")
    a[4:8] = serial.to_bytes(4, "little")
    a[12] = model
    return bytes(a)

stop = threading.Event()
finished = threading.Event()
def chatter():
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.bind(("198.18.0.2", 0))
    junk = [b"", b"\x01" * 5, answer(0x0BADF00D, 7, 4000, 9) + b"!", b"\x00" * 100]
    for i in range(6000):           # about 30 s at most
        if stop.wait(0.005):
            break
        tx.sendto(junk[i % len(junk)], ("198.18.0.1", 9889))
        tx.sendto(answer(0x0BADF00D, 7, 4000, 9), ("198.18.0.1", 9889))
    finished.set()
peer = threading.Thread(target=chatter)
peer.start()
try:
    for args in (["all"], ["stop"], ["find", "00C0FFEE"], ["find", "0BADBEEF"]):
        r = subprocess.run([probe, "tcpip"] + args, capture_output=True, text=True, timeout=20)
        print("== " + " ".join(args))
        print(r.stdout, end="")
        print(r.stderr, end="", file=sys.stderr)
        if r.returncode != 0:
            sys.exit("probe failed: %d" % r.returncode)
    print("== end")
    print("chatter still going: %s" % (not finished.is_set()))
finally:
    stop.set()
    peer.join()
"""


def records(text):
    found = []
    for line in text.splitlines():
        if line.startswith("record "):
            found.append(dict(f.split("=", 1) for f in line.split()[1:]))
    return found


def section(output, name):
    return output.split("== " + name + "\n", 1)[1].split("== ", 1)[0]


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
def test_tcpip_search_lists_each_module_once_and_ends_while_a_peer_chatters():
    r = subprocess.run(
        [SIM, "--netns", "--discovery",
         "--module", "serial=1234ABCD,model=21,address=4,tcp",
         "--module", "serial=00C0FFEE,tcp",
         "--", sys.executable, "-c", DRIVER, PROBE],
        capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    out = r.stdout
    # Each search asked out of both interfaces, so each module answered it
    # twice: the copies are not listed.
    assert r.stderr.count("discovery: answered") >= 4, r.stderr

    listed = records(section(out, "all"))
    serials = sorted(rec["serial"] for rec in listed)
    assert serials == ["00C0FFEE", "0BADF00D", "1234ABCD"], out
    assert "count 3 " in section(out, "all")
    one = next(rec for rec in listed if rec["serial"] == "1234ABCD")
    assert (one["type"], one["module"], one["router"], one["routerSerial"], one["model"]) == \
        ("2", "4", "4", "1234ABCD", "21")
    assert one["address"] in ("198.18.0.1", "198.18.0.2") and one["port"] != "0"
    peer = next(rec for rec in listed if rec["serial"] == "0BADF00D")
    assert (peer["address"], peer["port"], peer["module"], peer["model"]) == \
        ("198.18.0.2", "4000", "7", "9")

    assert len(records(section(out, "stop"))) == 1 and "count 1 " in section(out, "stop")
    assert [rec["serial"] for rec in records(section(out, "find 00C0FFEE"))] == ["00C0FFEE"]
    assert section(out, "find 0BADBEEF").strip() == "none"
    # Every search ended by its own deadline, not when the peer fell silent.
    assert "chatter still going: True" in out


@pytest.mark.skipif(not os.path.exists(os.path.join(BIN, "sim", "usb_probe")),
                    reason="built without umockdev")
def test_usb_search_inside_a_simulated_world():
    r = subprocess.run(
        [SIM, "--module", "serial=1234ABCD,model=13,usb", "--module", "serial=00C0FFEE,model=21,usb",
         "--", PROBE, "usb", "all"],
        capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    listed = {rec["serial"]: rec for rec in records(r.stdout)}
    assert sorted(listed) == ["00C0FFEE", "1234ABCD"], r.stdout
    assert (listed["00C0FFEE"]["model"], listed["00C0FFEE"]["address"]) == ("21", "238.255.192.0")
    assert "count 2 denied 0" in r.stdout


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
def test_multicast_sockets_inside_a_private_namespace():
    guard = ("import socket, subprocess, sys\n"
             "names = sorted(n for _, n in socket.if_nameindex())\n"
             "if names != ['lo', 'v0', 'v1']: sys.exit('not inside the test namespace')\n"
             "sys.exit(subprocess.run(sys.argv[1:], timeout=20).returncode)\n")
    r = subprocess.run([SIM, "--netns", "--", sys.executable, "-c", guard,
                        PROBE, "multicast", "198.18.0.1"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.splitlines() == [
        "second receiver refused",  # the address is not shared
        "wrong way -3 -3",
        "sent 4",
        "received 4 ABCDDCBA",
        "silence -1",
        "destroyed 1"], r.stdout

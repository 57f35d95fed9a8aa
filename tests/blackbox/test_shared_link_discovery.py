"""The shared-link search of the device link library, run by
tests/discovery_probe inside the private network namespace korvex-sim --netns
makes (never on the machine's own interfaces). Stand-in sharing servers in
the namespace answer the local probe on the fixed multicast ports and the
beacon search on 198.18.0.1, each with hostile datagrams around their
announcements."""
import os
import subprocess
import sys

import pytest

from simhost import BIN, HAVE_CZMQ, SIM

PROBE = os.path.abspath(os.path.join(BIN, "tests", "discovery_probe"))

# Runs inside the namespace: starts the stand-in servers, then the probe.
DRIVER = r"""
import select, socket, struct, subprocess, sys, threading, time
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)
probe, mode = sys.argv[1], sys.argv[2]
GROUP = "224.0.0.7"
MAGIC = struct.pack("=I", 0xABCDDCBA)

def record(serial, port, address, kind=4, model=13):
    return (struct.pack("=6I", kind, serial, 0, 0, 0, model) + socket.inet_aton(address)
            + struct.pack("=I", port) + bytes(96))

def junk(serial):
    good = record(serial, 40000, "127.0.0.1")
    return [b"", MAGIC, good[:127], good + b"!", record(serial, 0, "127.0.0.1"),
            record(serial, 0x10000, "127.0.0.1"), record(serial, 40000, "127.0.0.1", kind=1)]

stop = threading.Event()
heard = []

# A local server holding probe port 9850 + k; it answers on 9950 + k with
# junk, then its answers (none: it holds the port and stays silent).
def local_server(k, answers, ready):
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("", 9850 + k))
    rx.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                  socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1"))
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    ready.set()
    for _ in range(400):                       # at most about 40 s
        if stop.is_set():
            break
        if not select.select([rx], [], [], 0.1)[0]:
            continue
        data = rx.recv(512)
        if data != MAGIC:
            continue
        heard.append(k)
        for a in answers:
            tx.sendto(a, (GROUP, 9950 + k))
    rx.close(); tx.close()

# A server on the network: answers every search beacon by broadcasting junk,
# then its announcement twice.
def beacon_server(answers, ready):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("", 8585))
    ready.set()
    for _ in range(400):
        if stop.is_set():
            break
        if not select.select([s], [], [], 0.1)[0]:
            continue
        data, sender = s.recvfrom(512)
        if data != b"Korvex2-Discovery":
            continue
        heard.append("beacon")
        for a in answers:
            s.sendto(a, ("198.18.0.255", 8585))
    s.close()

servers = []
def start(target, *args):
    ready = threading.Event()
    t = threading.Thread(target=target, args=args + (ready,))
    t.start()
    ready.wait(5)
    servers.append(t)

if mode == "local":
    start(local_server, 0, junk(0x0A0A0A0A) + [record(0x0A0A0A0A, 40001, "127.0.0.1")] * 2)
    start(local_server, 3, [record(0x0B0B0B0B, 40002, "127.0.0.1")])
    # The same server's serial number again, and a record naming another host.
    start(local_server, 7, [record(0x0A0A0A0A, 40001, "127.0.0.1")])
    start(local_server, 9, [record(0x0C0C0C0C, 40003, "198.18.0.2")])
    start(local_server, 12, [])
    args = ["alanet", "all"]
elif mode == "interrupt":
    start(beacon_server, [])
    args = ["alanet=198.18.0.1", "all"]
else:
    start(beacon_server, junk(0x0D0D0D0D) + [record(0x0D0D0D0D, 40004, "198.18.0.2")] * 2
          + [record(0x0E0E0E0E, 40005, "198.18.0.2")])
    args = ["alanet=198.18.0.1", "all"]
try:
    if mode == "interrupt":
        # Ctrl-C while the beacon search runs stops the probe at once.
        p = subprocess.Popen([probe] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        for _ in range(200):
            if heard or p.poll() is not None:
                break
            time.sleep(0.01)
        p.send_signal(2)
        out, err = p.communicate(timeout=30)
        r = subprocess.CompletedProcess(p.args, 0 if p.returncode == -2 else 1, out,
                                        err + "exit %s\n" % p.returncode)
    else:
        r = subprocess.run([probe] + args, capture_output=True, text=True, timeout=60)
finally:
    stop.set()
    for t in servers:
        t.join()
print(r.stdout, end="")
print(r.stderr, end="", file=sys.stderr)
print("heard " + " ".join(str(h) for h in sorted(set(map(str, heard)))))
sys.exit(r.returncode)
"""


def records(text):
    return sorted(l for l in text.splitlines() if l.startswith("record "))


def run(mode):
    r = subprocess.run([SIM, "--netns", "--", sys.executable, "-c", DRIVER, PROBE, mode],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


def line(serial, port, address):
    return ("record type=4 serial=%08X module=0 router=0 routerSerial=00000000 model=13 "
            "address=%s port=%u" % (serial, address, port))


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
def test_local_probe_lists_each_server_once_and_only_local_ones():
    out = run("local")
    assert records(out) == [line(0x0A0A0A0A, 40001, "127.0.0.1"),
                            line(0x0B0B0B0B, 40002, "127.0.0.1")], out
    assert "count 2 " in out, out
    # Every port a server held was asked, the silent one included.
    assert "heard 0 12 3 7 9" in out, out


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.skipif(not HAVE_CZMQ, reason="built without the messaging library")
def test_beacon_search_on_an_interface_lists_each_server_once():
    out = run("beacon")
    assert records(out) == [line(0x0D0D0D0D, 40004, "198.18.0.2"),
                            line(0x0E0E0E0E, 40005, "198.18.0.2")], out
    assert "count 2 " in out, out
    assert "heard beacon" in out, out


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.skipif(not HAVE_CZMQ, reason="built without the messaging library")
def test_ctrl_c_stops_a_beacon_search():
    out = run("interrupt")
    assert "heard beacon" in out, out
    assert "count" not in out, out

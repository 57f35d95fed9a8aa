"""TCP/IP discovery answers, received inside a private network namespace
that korvex-sim --netns creates (never on the machine's own interfaces)."""
import os
import subprocess

import pytest

from simhost import SIM

HOST_SCRIPT = r"""
import os, socket, struct, sys
rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
rx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
rx.bind(("0.0.0.0", 9889))
rx.settimeout(2.0)
tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("198.18.0.1"))
tx.sendto(bytes([1]) + bytes(15), ("232.2.2.2", 9888))
replies = {}
while True:
    try:
        data, sender = rx.recvfrom(64)
    except socket.timeout:
        break
    assert len(data) == 16, data
    port = data[2] | data[3] << 8
    serial = int.from_bytes(data[4:8], "little")
    replies[serial] = (data[1], port, data[12], sender[0])
print(replies)
assert set(replies) == {0x1234ABCD, 0x00C0FFEE}, replies
address, port, model, ip = replies[0x1234ABCD]
assert (address, model) == (4, 21), replies
assert replies[0x00C0FFEE][0] == 2
# The module is reached over TCP at the sender's address and the port it gave.
s = socket.create_connection((ip, port), timeout=2)
s.sendall(bytes([0xAD, 0]))
assert s.recv(2) == bytes([4, 0])
# Nothing but the private interfaces exists here.
names = sorted(n for _, n in socket.if_nameindex())
assert names == ["lo", "v0", "v1"], names
sys.exit(0)
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
def test_discovery_is_answered_inside_a_private_namespace():
    r = subprocess.run(
        [SIM, "--netns", "--discovery",
         "--module", "serial=1234ABCD,model=21,address=4,tcp",
         "--module", "serial=00C0FFEE,tcp",
         "--", "python3", "-c", HOST_SCRIPT],
        capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "discovery: answering requests to 232.2.2.2:9888" in r.stderr
    assert "private network namespace" in r.stderr
    assert "discovery: answered 198.18.0.1" in r.stderr


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
def test_netns_alone_runs_a_command_in_a_private_namespace():
    r = subprocess.run([SIM, "--netns", "--", "python3", "-c",
                        "import socket; print(sorted(n for _, n in socket.if_nameindex()))"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "['lo', 'v0', 'v1']"

"""korvex-share with two processes and one simulated USB module, inside the
private network namespace korvex-sim --netns makes: the first process holds
the module through a sharing server, the second finds the server by the
local probe and reads the module through it; Ctrl-C stops the holder."""
import json
import os
import subprocess
import sys

import pytest

from simhost import BIN, HAVE_CZMQ, HAVE_USB, SIM

SHARE = os.path.abspath(os.path.join(BIN, "tools", "korvex-share"))

# Runs inside the namespace: watches the module by the searches before[]
# ("" the local probe), then holds it with korvex-share hold SERIAL hold_args
# and watches it by held[] ("iface": the beacon search on the interface the
# holder names), then stops the holder with Ctrl-C.
DRIVER = r"""
import json, signal, socket, subprocess, sys
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)
share, hold_args, before, held = sys.argv[1], *map(json.loads, sys.argv[2:5])
def watch(*where):
    r = subprocess.run([share, "watch", "1234ABCD"] + list(where), capture_output=True,
                       text=True, timeout=60)
    print(r.stdout, end="")
    print("watch exit %d" % r.returncode)
for _ in before:
    watch()
hold = subprocess.Popen([share, "hold", "1234ABCD"] + hold_args, stdout=subprocess.PIPE, text=True)
first = hold.stdout.readline()
print(first, end="")
if first.startswith("holding"):
    for where in held:
        watch(*([first.split()[3]] if where == "iface" else []))
hold.send_signal(signal.SIGINT)
rest, _ = hold.communicate(timeout=30)
print(rest, end="")
print("hold exit %d" % hold.returncode)
"""


def run_driver(hold_args, before, held):
    r = subprocess.run(
        [SIM, "--netns", "--module", "serial=1234ABCD,model=13,version=2.11.4,usb",
         "--", sys.executable, "-c", DRIVER, SHARE] +
        [json.dumps(x) for x in (hold_args, before, held)],
        capture_output=True, text=True, timeout=180)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout.splitlines(), r.stdout + r.stderr


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.skipif(not (HAVE_USB and HAVE_CZMQ), reason="built without umockdev or the messaging library")
def test_a_second_process_reads_a_held_module_through_its_sharing_server():
    # Nobody holds it at first; a second client comes after the first left.
    lines, out = run_driver([], [""], ["", ""])
    found = ["found 1234ABCD port %s" % lines[3].split()[-1], "serial 1234ABCD",
             "version 2.11.4", "name korvex-sim", "watch exit 0"]
    assert lines == (["no shared link to 1234ABCD", "watch exit 1",
                      "holding 1234ABCD on port %s" % lines[3].split()[-1]]
                     + found + found + ["released 1234ABCD", "hold exit 0"]), out


# The holder's server is open to the network on the first interface: it is
# found by the beacon search on that interface, and not by the local probe.
@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.skipif(not (HAVE_USB and HAVE_CZMQ), reason="built without umockdev or the messaging library")
def test_a_server_open_to_the_network_is_found_by_beacons():
    lines, out = run_driver(["0.0.0.0"], [], ["iface", "", "iface"])
    port = lines[0].split()[-1]
    found = ["found 1234ABCD port %s" % port, "serial 1234ABCD", "version 2.11.4",
             "name korvex-sim", "watch exit 0"]
    # The first interface of the namespace, whichever end of the pair it is.
    assert lines[0].split()[3] in ("198.18.0.1", "198.18.0.2"), out
    assert lines == (["holding 1234ABCD on %s port %s" % (lines[0].split()[3], port)] + found
                     + ["no shared link to 1234ABCD", "watch exit 1"] + found
                     + ["released 1234ABCD", "hold exit 0"]), out

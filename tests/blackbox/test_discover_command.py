"""Updater -D against simulated modules: USB modules in a umockdev world,
TCP/IP modules only inside the private network namespace korvex-sim --netns
creates, and the modules on a router's bus."""
import os
import subprocess
import sys
import tempfile

import pytest

from simhost import BIN, HAVE_CZMQ, SIM, run_in_world

UPDATER = os.path.join(BIN, "app", "Updater")
PROBE = os.path.join(BIN, "sim", "usb_probe")
needs_usb = pytest.mark.skipif(not os.path.exists(PROBE), reason="built without umockdev")
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

USB_HEADER = ("    Device    Module   Router  Model          Firmware Version (Build)    "
              "Device Name")
IP_HEADER = ("    Device    Module   Router  Model          Firmware Version (Build)   "
             "[IP address]       Device Name")


def discover(tmp_path, world, args, netns=False, holder=None, store=None):
    """Runs Updater -D ARGS inside a world; returns (result, status)."""
    updater_args = ["-D"] + args + ["-i", str(store or tmp_path)]
    return run_in_world(tmp_path, world, UPDATER, updater_args, holder or (), netns)


@needs_usb
def test_usb_modules_with_old_firmware_short_build_and_a_held_device(tmp_path):
    world = ["--module", "serial=1234ABCD,model=13,version=2.11.4,build=4321,name=bench,usb",
             "--module", "serial=00C0FFEE,model=21,version=2.10.3,name=old,usb,fault=short-build",
             "--module", "serial=0BADF00D,model=13,version=2.10.4,build=7,name=held,usb"]
    # Another program holds 0BADF00D's interface while Updater runs.
    r, _ = discover(tmp_path, world, [], holder=[PROBE, "0BADF00D", "hold"])
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    start = lines.index("Discovered Devices: (USB)")
    assert lines[start + 1] == USB_HEADER
    assert sorted(lines[start + 2:]) == sorted([
        # Older than 2.10.4: no name and no error; 5-byte build answer: build 0.
        "    00C0FFEE  02       00      KX-GPIO32      2.10.3 (         0)         ",
        "    0BADF00D  [Error (25): Is someone else connected to this device?]",
        "    1234ABCD  02       00      KX-DAQ8        2.11.4 (      4321)         bench",
    ])


@needs_usb
@pytest.mark.parametrize("args", [[], ["-t", "USB"], ["-t", "RECOVER"]])
def test_usb_search_with_no_modules(tmp_path, args):
    r, _ = discover(tmp_path, ["--module", "serial=1234ABCD,model=13,tcp"], args)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-3:] == ["Searching for Korvex devices",
                                          "Discovered Devices: (USB)", "    No devices found."]


@needs_root
def test_tcpip_search_lists_each_module_once_with_its_address(tmp_path):
    world = ["--module", "serial=1234ABCD,model=21,address=4,version=2.11.4,build=77,name=net,tcp",
             "--module", "serial=00C0FFEE,model=13,version=2.10.0,tcp"]
    r, _ = discover(tmp_path, world, ["-t", "TCPIP"], netns=True)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    start = lines.index("Discovered Devices: (TCPIP)")
    assert lines[start + 1] == IP_HEADER
    rows = lines[start + 2:]
    assert len(rows) == 2, rows
    by_serial = {row.split()[0]: row for row in rows}
    assert by_serial["1234ABCD"].startswith(
        "    1234ABCD  04       00      KX-GPIO32      2.11.4 (        77)        [198.18.")
    assert by_serial["1234ABCD"].endswith("]       net")
    assert by_serial["00C0FFEE"].startswith(
        "    00C0FFEE  02       00      KX-DAQ8        2.10.0 (      1000)        [198.18.")


ROUTER_WORLD = ["--module", "serial=A0000001,model=13,address=6,usb",
                "--module", "serial=B0000002,on=A0000001,address=8,model=15,version=2.11.2,build=55",
                "--module", "serial=B0000004,on=A0000001,address=20,model=21"]


@needs_usb
def test_router_bus_is_scanned_at_even_addresses_except_its_own(tmp_path):
    r, status = discover(tmp_path, ROUTER_WORLD, ["-r", "A0000001", "-t", "USB"])
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    start = lines.index("Discovered Devices: (USB)")
    assert lines[start + 1:] == [
        USB_HEADER,
        "    B0000002  08       06      KX-Relay4      2.11.2 (        55)         ",
        "    B0000004  14       06      KX-GPIO32      2.11.0 (      1000)         ",
    ]
    router = next(m for m in status["modules"] if m["serial"] == "A0000001")
    counters = router["counters"]
    probed = sorted(int(a) for a in counters["bus_probes"])
    assert probed == [a for a in range(2, 253, 2) if a != 6]
    assert all(n == 1 for n in counters["bus_probes"].values())
    assert counters["route_to_me"] == {"1": 1, "0": 1}
    # Routing is switched on before the scan and off after it.
    routing = [l for l in r.stderr.splitlines() if l.startswith("korvex-sim: [A0000001] route to me")]
    assert routing == ["korvex-sim: [A0000001] route to me on",
                       "korvex-sim: [A0000001] route to me off"]


@needs_usb
def test_bus_modules_that_fail_connect_or_model_read(tmp_path):
    # B0000002 answers the probe but not its serial number: not listed.
    # B0000004 does not answer the model read: listed with that error.
    world = ["--module", "serial=A0000001,model=13,address=6,usb",
             "--module", "serial=B0000002,on=A0000001,address=8,fault=no-answer=3.9",
             "--module", "serial=B0000004,on=A0000001,address=20,fault=no-answer=3.8"]
    r, _ = discover(tmp_path, world, ["-r", "A0000001", "-t", "USB"])
    assert r.returncode == 0, r.stdout + r.stderr
    rows = r.stdout.splitlines()[r.stdout.splitlines().index(USB_HEADER) + 1:]
    assert len(rows) == 1 and rows[0].startswith("    B0000004  [Error ("), rows
    assert rows[0].endswith("): Is someone else connected to this device?]")


@needs_usb
@needs_root
def test_router_without_link_type_is_looked_up_and_listed_as_unknown(tmp_path):
    # The router is looked for over USB, then TCP/IP: only in a namespace.
    r, _ = discover(tmp_path, ROUTER_WORLD, ["-r", "A0000001"], netns=True)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    start = lines.index("Discovered Devices: (Unknown)")
    assert lines[start + 1] == IP_HEADER
    assert [l.split()[0] for l in lines[start + 2:]] == ["B0000002", "B0000004"]


@needs_usb
def test_unknown_router_gives_an_empty_list(tmp_path):
    r, status = discover(tmp_path, ROUTER_WORLD, ["-r", "C0000009", "-t", "USB"])
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-3:] == [
        "Searching for Korvex Network devices connected to C0000009",
        "Discovered Devices: (USB)", "    No devices found."]
    router = next(m for m in status["modules"] if m["serial"] == "A0000001")
    assert not router["counters"].get("bus_probes")


# Inside the world: the test opens the simulated tree to another user but
# leaves the device nodes writable by root only, as without the udev rule.
CLOSED_NODES = ('chmod a+rx "$UMOCKDEV_DIR"; chmod -R a+rwX "$UMOCKDEV_DIR"; '
                'chmod 600 "$UMOCKDEV_DIR"/dev/bus/usb/*/*; '
                'exec setpriv --reuid=65534 --regid=65534 --clear-groups "$0" "$@"')


@needs_usb
@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as another user")
def test_usb_module_without_permission_names_the_udev_rule(tmp_path):
    world = ["--module", "serial=1234ABCD,model=13,usb", "--module", "serial=00C0FFEE,usb"]
    with tempfile.TemporaryDirectory(prefix="discover-") as store:
        os.chmod(store, 0o777)
        r, _ = discover(tmp_path, world, [], holder=["sh", "-c", CLOSED_NODES], store=store)
    assert r.returncode == 0, r.stdout + r.stderr
    hint = [l for l in r.stderr.splitlines() if "70-korvex.rules" in l]
    assert hint == ["No permission to open Korvex USB devices: install the udev rule "
                    "70-korvex.rules (shipped in packaging/) and plug the devices in again"]
    assert r.stdout.splitlines()[-1] == "    No devices found."


# Inside the world: korvex-share holds the module through its sharing server
# while the updater runs; afterwards a client reads the module through the
# holder, which then stops on Ctrl-C. Exits with the updater's code.
SHARE_HOLDER = r"""
import signal, subprocess, sys
share, updater = sys.argv[1], sys.argv[2:]
hold = subprocess.Popen([share, "hold", "1234ABCD"], stdout=subprocess.PIPE, text=True)
print(hold.stdout.readline(), end="")
r = subprocess.run(updater, capture_output=True, text=True, timeout=60)
print(r.stdout, end="")
sys.stderr.write(r.stderr)
w = subprocess.run([share, "watch", "1234ABCD"], capture_output=True, text=True, timeout=60)
print(w.stdout, end="")
hold.send_signal(signal.SIGINT)
print(hold.communicate(timeout=30)[0], end="")
print("hold exit %d" % hold.returncode)
sys.exit(r.returncode)
"""


@needs_usb
@needs_root
@pytest.mark.skipif(not HAVE_CZMQ, reason="built without the messaging library")
def test_module_held_by_another_process_is_listed_and_the_holder_keeps_working(tmp_path):
    share = os.path.join(BIN, "tools", "korvex-share")
    world = ["--module", "serial=1234ABCD,model=13,version=2.11.4,name=bench,usb"]
    r, _ = discover(tmp_path, world, [], netns=True,
                    holder=[sys.executable, "-c", SHARE_HOLDER, share])
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].startswith("holding 1234ABCD on port "), r.stdout
    start = lines.index("Discovered Devices: (USB)")
    assert lines[start + 1:start + 3] == [
        USB_HEADER, "    1234ABCD  [Error (25): Is someone else connected to this device?]"]
    assert lines[start + 4:] == ["serial 1234ABCD", "version 2.11.4", "name bench",
                                 "released 1234ABCD", "hold exit 0"], r.stdout


# Inside the namespace: a hostile host at 198.18.0.2 answers every search
# for modules that are not there: 50 answers point at ports that accept a
# connection and then stay silent (five answers per port), 10 at ports that
# refuse it, 10 at ports that never complete one (their listeners' queues
# are full, so new connection requests are dropped). It runs the updater and
# prints its output and running time.
HOSTILE = r"""
import socket, subprocess, sys, threading, time
names = sorted(n for _, n in socket.if_nameindex())
if names != ["lo", "v0", "v1"]:
    sys.exit("not inside the test namespace: %r" % names)

def answer(serial, port):
    a = bytearray(16)
    a[1] = 2
    a[2:4] = port.to_bytes(2, "little")
    a[4:8] = serial.to_bytes(4, "little")
    a[12] = 13
    return bytes(a)

silent, held = [], []
for _ in range(10):
    s = socket.socket()
    s.bind(("198.18.0.2", 0))
    s.listen(64)
    s.settimeout(0.1)
    silent.append(s)
refused = []
for _ in range(10):
    s = socket.socket()
    s.bind(("198.18.0.2", 0))
    refused.append(s.getsockname()[1])
    s.close()
full, fillers = [], []
for _ in range(10):
    s = socket.socket()
    s.bind(("198.18.0.2", 0))
    s.listen(0)
    full.append(s)
    for _ in range(3):
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex(s.getsockname())
        fillers.append(c)
answers = [answer(0xBAD00000 + i, silent[i % 10].getsockname()[1]) for i in range(50)]
answers += [answer(0xDEAD0000 + i, port) for i, port in enumerate(refused)]
answers += [answer(0xD0D00000 + i, s.getsockname()[1]) for i, s in enumerate(full)]

stop = threading.Event()
def serve():
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.bind(("198.18.0.2", 0))
    for _ in range(600):            # 60 s at most
        if stop.wait(0.1):
            break
        for a in answers:
            tx.sendto(a, ("198.18.0.1", 9889))
        for s in silent:
            try:
                held.append(s.accept()[0])
            except OSError:
                pass
peer = threading.Thread(target=serve)
peer.start()
try:
    start = time.monotonic()
    r = subprocess.run(sys.argv[1:], capture_output=True, text=True, timeout=100)
    print(r.stdout, end="")
    print(r.stderr, end="", file=sys.stderr)
    print("elapsed %.1f" % (time.monotonic() - start))
    sys.exit(r.returncode)
finally:
    stop.set()
    peer.join()
"""


@needs_root
def test_tcpip_search_ends_soon_whatever_the_answers_point_at(tmp_path):
    world = ["--module", "serial=1234ABCD,model=21,address=4,version=2.11.4,build=77,name=net,tcp"]
    r, _ = discover(tmp_path, world, ["-t", "TCPIP"], netns=True,
                    holder=[sys.executable, "-c", HOSTILE])
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    elapsed = float(lines[-1].split()[1])
    assert elapsed < 15, r.stdout
    start = lines.index("Discovered Devices: (TCPIP)")
    assert lines[start + 1] == IP_HEADER
    rows = {row.split()[0]: row for row in lines[start + 2:-1]}
    assert len(rows) == 71, r.stdout
    # The module that answers is read as ever.
    assert rows.pop("1234ABCD").startswith(
        "    1234ABCD  04       00      KX-GPIO32      2.11.4 (        77)        [198.18.")
    # The others are listed with what went wrong, never as modules.
    for serial, row in rows.items():
        assert row.startswith("    %s  [Error (" % serial), row
        assert row.endswith("[198.18.0.2:%s]" % row.rsplit(":", 1)[1][:-1]), row
    refused = [row for serial, row in rows.items() if serial.startswith("DEAD")]
    assert len(refused) == 10
    assert all("(25): Cannot connect to the module]" in row for row in refused), refused
    dropped = [row for serial, row in rows.items() if serial.startswith("D0D0")]
    assert len(dropped) == 10
    assert all("(25): Cannot connect to the module]" in row for row in dropped), dropped

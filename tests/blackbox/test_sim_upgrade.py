"""korvex-sim's side of a firmware update over real sockets: LOAD and REBOOT
ending the host's TCP connection with a FIN or a reset and listening again
after the away time, a loader that never comes back, a reboot that keeps
its link, boot times behind a router, personalisation read from the flash,
and the upgrade counters of the status file."""
import json
import socket
import time

import pytest

from simhost import Host, Sim, be32


def reconnect(port, seconds=5.0):
    """A new connection once the module listens again (bounded)."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return Host.tcp(port)
        except OSError:
            assert time.monotonic() < deadline, "the module did not come back"
            time.sleep(0.05)


def status(sim, serial):
    with open(sim.status_path) as f:
        for m in json.load(f)["modules"]:
            if m["serial"] == serial:
                return m
    raise KeyError(serial)


def wait_status(sim, serial, check, seconds=5.0):
    """The module's status entry once `check` holds for it (bounded)."""
    deadline = time.monotonic() + seconds
    while True:
        m = status(sim, serial)
        if check(m):
            return m
        assert time.monotonic() < deadline, m
        time.sleep(0.05)


def end_of_connection(sock, seconds=3.0):
    """How the module ended the connection: "fin", "rst" or None (still open)."""
    sock.settimeout(seconds)
    try:
        while True:
            data = sock.recv(4096)
            if not data:
                return "fin"
    except ConnectionResetError:
        return "rst"
    except socket.timeout:
        return None


def upgrade_chunk(h, data):
    for i in range(0, len(data), 26):
        part = data[i:i + 26]
        assert h.request(2, 95, 1, *part) == (2, bytes([95, 1, len(part)]))


# LOAD (answered) and REBOOT (not answered) end the connection as configured;
# the listener is closed while the module is away, then accepts again.
@pytest.mark.parametrize("step,close", [("load", "fin"), ("load", "rst"), ("reboot", "fin"), ("reboot", "rst")])
def test_load_and_reboot_end_the_connection_and_listen_again(step, close):
    with Sim("--module", f"serial=0000000A,tcp,loader_serial=deadead,new_build=5000,tcp_close={close},"
             "load_leave_ms=300,loader_away_ms=1500,reboot_away_ms=1500") as sim:
        h = Host.tcp(sim.port())
        assert h.sync() == 2
        if step == "load":
            assert h.request(2, 95, 2) == (2, bytes([95, 2]))
            # Until it leaves, the module still answers.
            assert h.request(0xAD) == (2, b"")
        else:
            h.send(2, 95, 6)
        assert end_of_connection(h.sock) == close
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", sim.port()), timeout=1).close()
        h2 = reconnect(sim.port())
        serial = be32(h2.get(2, 3, 9)[1][3:])
        build = be32(h2.request(2, 73, 0xFF)[1][2:])
        if step == "load":
            assert (serial, build) == (0xDEADDEAD, 1000)
        else:
            assert (serial, build) == (0x0000000A, 5000)
        m = wait_status(sim, "0000000A", lambda m: m["listening"])
        assert m["counters"]["upgrade"]["loads" if step == "load" else "reboots"] == 1
        assert m["in_loader"] == (step == "load")


def test_a_loader_that_never_comes_back():
    with Sim("--module", "serial=0000000A,tcp,loader_away_ms=never,load_leave_ms=0") as sim:
        h = Host.tcp(sim.port())
        assert h.request(2, 95, 2) == (2, bytes([95, 2]))
        assert end_of_connection(h.sock) == "rst"
        for _ in range(3):
            with pytest.raises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", sim.port()), timeout=1).close()
            time.sleep(0.3)
        m = wait_status(sim, "0000000A", lambda m: m["away"])
        assert not m["listening"] and m["in_loader"]
        assert "gone for good" in sim.output()


def test_a_reboot_that_keeps_its_link(tmp_path):
    dump = tmp_path / "flash.bin"
    with Sim("--module", f"serial=0000000A,tcp,new_build=5000,fault=reboot-keeps-link,flash_dump={dump}") as sim:
        h = Host.tcp(sim.port())
        assert h.request(2, 95, 3, 1, 0, 0, 0x10, 0)[1][2] == 0
        upgrade_chunk(h, b"firmware")
        assert h.request(2, 95, 5, 0, 8) == (2, bytes([95, 7, 0]))
        h.send(2, 95, 6)
        assert end_of_connection(h.sock, 1.0) is None
        assert be32(h.request(2, 73, 0xFF)[1][2:]) == 5000  # the new firmware, on the same link
        assert dump.read_bytes() == b"firmware"
        m = wait_status(sim, "0000000A", lambda m: m["counters"]["upgrade"]["reboots"] == 1)
        assert m["counters"]["faults_fired"] == {"reboot-keeps-link": 1}


# A whole update as the host would run it, with a wrong sum and a double
# write on the way: the counters say what happened, the flash dump holds the
# image, and after REBOOT the serial number and build are the flashed words.
def test_counters_flash_dump_and_personalisation(tmp_path):
    dump = tmp_path / "flash.bin"
    with Sim("--module", f"serial=0000000A,tcp,fault=wrong-sum,serial_from_flash=0x8004,"
             f"build_from_flash=0x8008,reboot_away_ms=200,flash_dump={dump}") as sim:
        h = Host.tcp(sim.port())
        image = bytes([1, 2, 3, 4]) + (0x1234ABCD).to_bytes(4, "little") + (777).to_bytes(4, "little") + bytes(range(40))
        assert len(h.request(2, 95, 0)[1]) == 6
        for attempt in range(2):
            assert h.request(2, 95, 3, 1, 0, 0, 0x80, 0) == (2, bytes([95, 7, 0, 2, 0]))
            upgrade_chunk(h, image)
            if attempt == 0:  # the first sum is wrong; the host would retry the block
                assert h.request(2, 95, 4)[1][3:] == (sum(image) + 1).to_bytes(4, "big")
            assert h.request(2, 95, 4)[1][3:] == sum(image).to_bytes(4, "big")
            n = len(image)
            assert h.request(2, 95, 5, 0, n) == (2, bytes([95, 7, 0]))
        h.send(2, 95, 6)
        assert end_of_connection(h.sock) == "rst"
        h2 = reconnect(sim.port())
        assert be32(h2.get(2, 3, 9)[1][3:]) == 0x1234ABCD
        assert be32(h2.request(2, 73, 0xFF)[1][2:]) == 777
        assert dump.read_bytes() == image
        m = wait_status(sim, "0000000A", lambda m: m["serial_now"] == "1234ABCD")
        assert m["build_now"] == 777
        up = m["counters"]["upgrade"]
        assert {k: up[k] for k in ("inits", "prepares", "sums", "writes", "chunks_written", "reboots",
                                   "double_writes", "loads")} == \
            {"inits": 1, "prepares": 2, "sums": 3, "writes": 2, "chunks_written": 2, "reboots": 1,
             "double_writes": 1, "loads": 0}
        assert up["data_packets"] == 2 * ((len(image) + 25) // 26)
        assert up["double_write_bytes"] == sum(1 for b in image if b != 0xFF)
        assert m["counters"]["faults_fired"] == {"wrong-sum": 1}
        assert "double write" in sim.output()


def test_a_module_behind_a_router_is_silent_while_it_boots():
    with Sim("--module", "serial=A0000001,address=2,tcp",
             "--module", "serial=B0000002,on=A0000001,address=8,boot_ms=1500,new_build=6000") as sim:
        h = Host.tcp(sim.port())
        assert h.set(2, 3, 20, 1) == (2, bytes([3, 0xD4, 0]))
        h.send(8, 95, 6)
        assert h.request(8, 3, 0x48, 0x20, timeout=0.5) is None
        assert h.request(2, 8, 0, 8, 2, 3, 0, 0)[1][4] & 0x80  # no I2C acknowledgement either
        assert h.request(0xAD) == (2, b"")  # the router's link stays
        m = status(sim, "A0000001")
        assert m["bus_state"]["B0000002"]["silent"]
        deadline = time.monotonic() + 5
        while h.request(8, 3, 0x48, 0x20, timeout=0.2) is None:
            assert time.monotonic() < deadline, "the bus module did not come back"
        assert be32(h.request(8, 73, 0xFF)[1][2:]) == 6000
        assert wait_status(sim, "A0000001", lambda m: m["bus_counters"]["B0000002"]["upgrade"]["reboots"] == 1)

"""korvex-sim over TCP on 127.0.0.1, driven by a scripted host."""
import os
import signal
import socket
import time

import pytest

from simhost import Host, Sim, be32, SIM

SERIAL = "1234ABCD"
BASE = ["--module", "serial=1234ABCD,model=13,version=2.11.4,build=4321,name=bench,tcp"]


def upgrade_chunk(h, addr, data):
    """DATA packets of 26 bytes, each acknowledged; returns the byte sum."""
    for i in range(0, len(data), 26):
        part = data[i:i + 26]
        assert h.request(addr, 95, 1, *part) == (addr, bytes([95, 1, len(part)]))
    return sum(data) & 0xFFFFFFFF


def reconnect(port, seconds=5.0):
    """A new connection once the module listens again (bounded)."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return Host.tcp(port)
        except OSError:
            assert time.monotonic() < deadline, "the module did not come back"
            time.sleep(0.05)


def test_sync_identify_and_system_entity():
    with Sim(*BASE) as sim:
        h = Host.tcp(sim.port())
        assert h.sync() == 2
        assert h.get(2, 3, 8) == (2, bytes([3, 8, 0, 13]))
        assert be32(h.get(2, 3, 9)[1][3:]) == 0x1234ABCD
        assert be32(h.get(2, 3, 7)[1][3:]) == 0x2B000004  # 2.11.4, legacy layout
        assert be32(h.get(2, 3, 43)[1][3:]) == 4321
        assert be32(h.get(2, 3, 45)[1][3:]) & 0x80000000
        assert h.request(2, 73, 0xFF) == (2, bytes([73, 0xFF, 0, 0, 0x10, 0xE1]))
        # Error replies: unimplemented get and set, wrong index.
        assert h.get(2, 3, 50) == (2, bytes([3, 50, 0x80, 21]))
        assert h.set(2, 3, 51, 0, 0, 0, 1) == (2, bytes([3, 0xF3, 0x80, 21]))
        assert h.get(2, 3, 8, index=1) == (2, bytes([3, 8, 0x81, 26]))
        # Force route needs no answer; the link still works after it.
        h.send(0xAF, 1)
        assert h.packet(0.3) is None
        assert h.request(0xAD) == (2, b"")
        # Name as a byte-array run, set and read back.
        assert h.get_array(2, 3, 32) == b"bench"
        long_name = b"a name of thirty-one characters"
        assert h.set_array(2, 3, 32, long_name) == (2, bytes([3, 0xE0, 0]))
        assert h.get_array(2, 3, 32) == long_name
        h.close()
    assert "tcp: host connected" in sim.output()


def test_old_firmware_has_no_name():
    with Sim("--module", "serial=1,version=2.10.3,tcp") as sim:
        h = Host.tcp(sim.port())
        assert h.get_array(2, 3, 32) == ("error", 21)


def test_heartbeats_are_sent_and_replies_checked():
    with Sim("--module", "serial=1,tcp,heartbeat_ms=50") as sim:
        h = Host.tcp(sim.port())
        beats = []
        for _ in range(4):
            p = h.packet(2.0, skip_heartbeats=False)
            assert p is not None and p[1][0] == 0
            beats.append(p[1][1])
            h.send(p[0], 0, p[1][1] + 2)
        assert beats == [0, 1, 0, 1]
        # A wrong reply is noticed.
        p = h.packet(2.0, skip_heartbeats=False)
        h.send(p[0], 0, p[1][1] + 5)
        assert sim.wait_output("does not answer beat")


def test_strict_heartbeats_drop_an_unanswering_host():
    with Sim("--module", "serial=1,tcp,heartbeat_ms=30,fault=heartbeat-strict,reset_away_ms=0") as sim:
        h = Host.tcp(sim.port())
        deadline = time.monotonic() + 5
        while not h.closed and time.monotonic() < deadline:
            h.packet(0.5, answer_heartbeats=False)
        assert h.closed
        assert "3 heartbeats unanswered" in sim.output()


def test_reset_drops_the_link_and_the_module_comes_back():
    with Sim("--module", "serial=1,tcp,reset_away_ms=1000") as sim:
        h = Host.tcp(sim.port())
        assert h.set(2, 3, 11) == (2, bytes([3, 0xCB, 0]))
        assert h.packet(2.0) is None and h.closed
        # The listener is away for a while, then accepts again.
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", sim.port()), timeout=1).close()
        deadline = time.monotonic() + 5
        while True:
            try:
                h2 = Host.tcp(sim.port())
                break
            except OSError:
                assert time.monotonic() < deadline
                time.sleep(0.05)
        assert h2.sync() == 2


def test_router_relays_to_its_bus_after_route_to_me():
    with Sim("--module", "serial=A0000001,address=2,tcp",
             "--module", "serial=B0000002,on=A0000001,address=8,model=15") as sim:
        h = Host.tcp(sim.port())
        assert h.sync() == 2
        # I2C probe: two zero bytes, acknowledged only where a module sits.
        assert h.request(2, 8, 0, 8, 2, 3, 0, 0) == (2, bytes([8, 0, 8, 0, 0]))
        assert h.request(2, 8, 0, 10, 2, 3, 0, 0)[1][4] & 0x80
        assert h.request(8, 3, 0x49, 0x20, timeout=0.3) is None
        assert h.set(2, 3, 20, 1) == (2, bytes([3, 0xD4, 0]))
        p = h.get(8, 3, 9)
        assert p[0] == 8 and be32(p[1][3:]) == 0xB0000002
        assert h.get(8, 3, 2) == (8, bytes([3, 2, 0, 2]))   # router address
        assert h.get(8, 3, 8) == (8, bytes([3, 8, 0, 15]))
        assert h.set(2, 3, 20, 0) == (2, bytes([3, 0xD4, 0]))
        assert h.get(8, 3, 9, ) is None


def test_upgrade_step_by_step_and_flash_contents(tmp_path):
    dump = tmp_path / "flash.bin"
    with Sim("--module", f"serial=1,tcp,loader_serial=deadead,reboot_away_ms=300,"
             f"new_version=2.12.0,new_build=5000,flash_dump={dump}") as sim:
        h = Host.tcp(sim.port())
        assert h.sync() == 2
        init = h.request(2, 95, 0)
        assert init[1][:2] == bytes([95, 0]) and len(init[1]) == 6
        # A loader block: PREPARE, 60 bytes of DATA (26, 26, 8), SUM; then LOAD.
        loader = bytes((i * 3) & 0xFF for i in range(60))
        assert h.request(2, 95, 3, 0, 0, 0, 0x40, 0) == (2, bytes([95, 7, 0, 2, 0]))
        s = upgrade_chunk(h, 2, loader)
        assert h.request(2, 95, 4) == (2, bytes([95, 7, 0]) + s.to_bytes(4, "big"))
        assert h.request(2, 95, 2) == (2, bytes([95, 2]))
        # The module leaves for its loader: the connection ends, the loader listens.
        assert h.packet(2.0) is None and h.closed
        h = reconnect(sim.port())
        assert be32(h.get(2, 3, 9)[1][3:]) == 0xDEADDEAD  # its loader's serial number
        # Firmware: one block of 1000 bytes at 0x8000 in chunks of 512 and 488.
        fw = bytes((i * 7 + 1) & 0xFF for i in range(1000))
        assert h.request(2, 95, 3, 1, 0, 0, 0x80, 0)[1][2:] == bytes([0, 2, 0])
        for chunk in (fw[:512], fw[512:]):
            s = upgrade_chunk(h, 2, chunk)
            assert h.request(2, 95, 4)[1] == bytes([95, 7, 0]) + s.to_bytes(4, "big")
            n = len(chunk)
            assert h.request(2, 95, 5, n >> 8, n & 0xFF) == (2, bytes([95, 7, 0]))
        # The whole chunk as one byte array (option 10).
        extra = bytes(range(100))
        assert h.request(2, 95, 3, 1, 0, 0, 0x83, 0xE8)[1][2] == 0
        assert h.set_array(2, 95, 10, extra) == (2, bytes([95, 0xCA, 0]))
        assert h.request(2, 95, 4)[1][3:] == sum(extra).to_bytes(4, "big")
        assert h.request(2, 95, 5, 0, 100) == (2, bytes([95, 7, 0]))
        # REBOOT: no answer, the link drops with a reset.
        h.send(2, 95, 6)
        assert h.packet(2.0) is None and h.closed
        assert dump.read_bytes() == fw + extra
        h2 = reconnect(sim.port())
        r = h2.get(2, 3, 7)
        assert r is not None, sim.output()
        assert be32(r[1][3:]) == 0x2C000000  # 2.12.0
        assert be32(h2.get(2, 3, 9)[1][3:]) == 1
        assert be32(h2.get(2, 3, 43)[1][3:]) == 5000


def test_faults_seen_from_the_host():
    with Sim("--module", "serial=1,tcp,fault=wrong-sum,fault=drop-data-ack=2,fault=wrong-data-count,"
             "fault=init-short,fault=no-load-reply,fault=latency=150") as sim:
        h = Host.tcp(sim.port())
        t = time.monotonic()
        assert h.request(0xAD) == (2, b"")
        assert time.monotonic() - t >= 0.14
        assert len(h.request(2, 95, 0)[1]) == 5
        h.request(2, 95, 3, 0, 0, 0, 0, 0)
        data = bytes(range(26))
        assert h.request(2, 95, 1, *data)[1] == bytes([95, 1, 25])
        assert h.request(2, 95, 1, *data)[1] == bytes([95, 1, 26])
        assert h.request(2, 95, 1, *data, timeout=1.0) is None
        assert h.request(2, 95, 4)[1][3:] == (2 * sum(data) + 1).to_bytes(4, "big")
        assert h.request(2, 95, 2, timeout=1.0) is None
        assert "fault: LOAD not answered" in sim.output()


def test_prepare_faults_and_disconnect_after_bytes():
    with Sim("--module", "serial=1,tcp,fault=prepare-status,fault=block-size-0,fault=disconnect-after=40") as sim:
        h = Host.tcp(sim.port())
        assert h.request(2, 95, 3, 0, 0, 0, 0, 0) == (2, bytes([95, 7, 1, 0, 0]))
        assert h.request(2, 95, 1, *range(26)) == (2, bytes([95, 1, 26]))
        h.send(2, 95, 1, *range(26))
        h.packet(1.0)
        assert h.packet(1.0) is None and h.closed
        h2 = Host.tcp(sim.port())  # away for no time: the listener stays
        assert h2.sync() == 2


def test_mute_module_never_answers():
    with Sim("--module", "serial=1,tcp,fault=mute") as sim:
        h = Host.tcp(sim.port())
        assert h.request(0xAD, timeout=0.5) is None
        assert h.get(2, 3, 8) is None


def test_a_new_host_replaces_the_connected_one():
    with Sim(*BASE) as sim:
        a = Host.tcp(sim.port())
        assert a.sync() == 2
        b = Host.tcp(sim.port())
        assert b.sync() == 2
        assert a.packet(1.0) is None and a.closed


def test_flash_dump_on_sigusr1(tmp_path):
    dump = tmp_path / "f.bin"
    with Sim("--module", f"serial=1,tcp,flash_dump={dump}") as sim:
        h = Host.tcp(sim.port())
        h.request(2, 95, 3, 0, 0, 0, 0x10, 0)
        upgrade_chunk(h, 2, b"hello")
        assert h.request(2, 95, 5, 0, 5)[1] == bytes([95, 7, 0])
        sim.signal(signal.SIGUSR1)
        assert sim.wait_output("flash dumps written")
        assert dump.read_bytes() == b"hello"


def test_world_file(tmp_path):
    world = tmp_path / "world.json"
    world.write_text("""{"modules": [
      {"serial": "00C0FFEE", "model": 20, "tcp": true, "pty": true,
       "faults": ["latency=1"],
       "bus": [{"serial": "0BADF00D", "address": 6}]}]}""")
    with Sim("--world", str(world)) as sim:
        m = sim.module("00C0FFEE")
        assert m["bus"] == [{"serial": "0BADF00D", "address": 6}]
        assert m["pty"].startswith("/dev/")
        h = Host.tcp(m["port"])
        assert h.get(2, 3, 8) == (2, bytes([3, 8, 0, 20]))
        out = sim.output()
        assert "bus   address 6: module 0BADF00D" in out and "faults: latency=1" in out


@pytest.mark.parametrize("args,message", [
    ([], "no modules"),
    (["--module", "serial=1"], "has no transport"),
    (["--module", "serial=1,tcp", "--module", "serial=1,pty"], "given twice"),
    (["--module", "serial=1,address=3,tcp"], "even address"),
    (["--module", "serial=1,tcp,fault=explode"], "unknown fault"),
    (["--module", "serial=2,on=7"], "no module 00000007"),
    (["--module", "serial=1,tcp", "--discovery"], "--netns"),
    (["--world", "/nonexistent/world.json"], "cannot be read"),
    (["--frobnicate"], "unknown option"),
])
def test_bad_worlds_are_refused_clearly(args, message):
    import subprocess
    r = subprocess.run([SIM] + args, capture_output=True, text=True, timeout=10)
    assert r.returncode == 2
    assert message in r.stderr


def test_command_runs_inside_the_world_and_its_code_is_returned():
    import subprocess
    script = ("import os,socket,sys; s=socket.create_connection(('127.0.0.1',int(os.environ['KORVEX_SIM_PORT'])));"
              "s.sendall(bytes([0xAD,0])); d=s.recv(2); sys.exit(7 if d==bytes([2,0]) else 1)")
    r = subprocess.run([SIM, "--module", "serial=1,tcp", "--", "python3", "-c", script],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 7, r.stderr
    assert "korvex-sim: module 00000001" in r.stderr

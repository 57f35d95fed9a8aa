"""A world file with option values, stream, store, factory and answer-fault
settings starts, and its status file counts what the host asked."""
import json
import time

from simhost import Host, Sim, be32


def status_when(sim, ready, timeout=5.0):
    """The status file once `ready(status)` holds (bounded wait)."""
    deadline = time.monotonic() + timeout
    while True:
        with open(sim.status_path) as f:
            status = json.load(f)
        if ready(status) or time.monotonic() > deadline:
            return status
        time.sleep(0.05)


def test_world_settings_and_request_counters(tmp_path):
    world = tmp_path / "world.json"
    world.write_text(json.dumps({"modules": [{
        "serial": "00C0FFEE", "tcp": True, "stream_ms": 20, "store_slots": 2,
        "slot_capacity": 100, "factory": {"1": "A1A2"},
        "options": {"27": -2, "50": "u16:513", "39.3": 7},
        "faults": ["error-answer=3.12:21", "short-build"],
        "bus": [{"serial": "0BADF00D", "address": 8}]}]}))
    with Sim("--world", str(world)) as sim:
        h = Host.tcp(sim.port())
        assert h.sync() == 2
        assert be32(h.get(2, 3, 27)[1][3:]) == 0xFFFFFFFE
        assert h.get(2, 3, 50) == (2, bytes([3, 50, 0, 2, 1]))
        assert h.request(2, 3, 0x40 | 39, 0x20, 3) == (2, bytes([3, 39, 0, 0, 0, 0, 7]))
        assert h.get(2, 3, 12) == (2, bytes([3, 12, 0x80, 21]))
        assert h.request(2, 73, 0xFF) == (2, bytes([73, 0xFF, 0, 0, 0x03]))
        assert h.request(2, 4, 1, 0, 1) == (2, bytes([4, 1, 0, 1, 0, 100]))
        assert h.request(2, 94, 0x41) == (2, bytes([94, 1, 0xA1, 0xA2]))
        assert h.set(2, 3, 20, 1) == (2, bytes([3, 0xD4, 0]))
        assert h.request(2, 8, 0, 8, 2, 0, 0, 0) == (2, bytes([8, 0, 8, 0, 0]))
        # A stream of option 8 brings samples of type 1 until it is disabled.
        assert h.set(2, 93, 1, 2, 3, 8, 0) == (2, bytes([93, 0xC1, 0]))
        sample = h.packet()
        assert sample[1][:4] == bytes([3, 8, 0x40, 1]) and sample[1][12:] == bytes([13, 0])
        h.send(2, 93, 0x82, 0x20, 2, 0xFF, 0xFF, 0xFF)
        status = status_when(sim, lambda s: s["modules"][0]["counters"]["requests"].get("93") == 2)
        h.close()
    c = status["modules"][0]["counters"]
    assert c["requests"]["93"] == 2 and c["requests"]["4"] == 1 and c["requests"]["94"] == 1
    assert c["system_gets"]["27"] == 1 and c["system_gets"]["39"] == 1
    assert c["system_sets"]["20"] == 1 and c["route_to_me"] == {"1": 1}
    assert c["bus_probes"] == {"8": 1} and c["identifies"] >= 2 and c["stream_samples"] >= 1
    assert status["modules"][0]["bus_counters"]["0BADF00D"]["requests"] == {}

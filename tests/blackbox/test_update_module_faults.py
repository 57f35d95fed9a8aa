"""Updater -U against simulated modules that misbehave while the firmware
goes over. Every fault ends in success (with "  Retry N" where the update
retries a firmware block) or in a clear failure with exit code 1: never in a
hang (every run has a time bound) and never in "success" with a flash that
differs from the image. Modules that leave and come back: the departures
tests beside this file."""

import os

import pytest

from test_update_module import (DAQ8, PROBE, SERIAL, birdpack, expected_flash, history, lines,
                                module_key, run_update)

pytestmark = pytest.mark.skipif(not PROBE.exists(), reason="built without umockdev")

# A generic firmware-only file: every sum checked is a firmware chunk's, so
# a fault that spoils one is retried with the whole block.
MANIFEST = ["firmware image.bin 0x0", "offsets 0x40 0x80", "info 1300 2.11.5 generic KX-DAQ8"]
FAILED = "Failed to update module [%s]: " % SERIAL

# (case, module keys, outcome): "ok" with the retry lines shown, or "fail"
# with the error line that starts so. The image goes in 8 chunks of 512
# bytes, 20 DATA packets each.
CASES = [
    ("wrong sum twice", ["fault=wrong-sum=2"], ("ok", ["  Retry 1", "  Retry 2"])),
    ("wrong sum every time", ["fault=wrong-sum=always"], ("fail", FAILED)),
    ("wrong count 3 times", ["uei_data=no", "fault=wrong-data-count=3"], ("ok", [])),
    ("wrong count always", ["uei_data=no", "fault=wrong-data-count=always"], ("fail", FAILED)),
    ("two acks dropped", ["uei_data=no", "fault=drop-data-ack=30:2"], ("ok", ["  Retry 1", "  Retry 2"])),
    ("late data ack", ["uei_data=no", "fault=late-data-ack=1500"], ("ok", ["  Retry 1"])),
    ("short data ack", ["uei_data=no", "fault=short-data-ack"], ("ok", ["  Retry 1"])),
    ("short sum", ["fault=short-sum"], ("ok", ["  Retry 1"])),
    ("short prepare", ["fault=short-prepare"], ("fail", FAILED)),
    ("WRITE status once", ["fault=write-status"], ("ok", ["  Retry 1"])),
    ("WRITE status always", ["fault=write-status=always"], ("fail", FAILED)),
    # The error's name and description, and the step that failed.
    ("no SUM answer", ["fault=no-answer=95.4"],
     ("fail", FAILED + "aErrPacket (Packet byte invalid) while sending firmware block 1 of 1 "
                       "(attempt 5 of 5)")),
    ("no WRITE answer", ["fault=no-answer=95.5"],
     ("fail", FAILED + "aErrInvalidOption (Invalid option code) while sending firmware block 1 "
                       "of 1 (attempt 5 of 5)")),
    ("no PREPARE answer", ["fault=no-answer=95.3"],
     ("fail", FAILED + "aErrTimeout (Timeout occurred) while preparing firmware block 1 of 1")),
    ("byte array refused once", ["fault=uei-data-error"], ("ok", ["  Retry 1"])),
    ("byte array refused always", ["fault=uei-data-error=6:always"], ("fail", FAILED)),
    ("double write refused", ["uei_data=no", "fault=drop-data-ack=30", "fault=double-write-status"],
     ("fail", FAILED)),
    ("link lost mid firmware", ["uei_data=no", "fault=disconnect-after=2000"], ("fail", FAILED)),
    ("block size 27", ["block_size=27"], ("ok", [])),
    ("block size 4000", ["block_size=4000"], ("ok", [])),
    ("block size 4000, plain data", ["block_size=4000", "uei_data=no"], ("ok", [])),
]


@pytest.fixture(scope="module")
def generic(tmp_path_factory):
    return birdpack(tmp_path_factory.mktemp("bird"), "generic", MANIFEST)


def module_status(status, serial):
    return next(m for m in status["modules"] if m["serial"] == serial)


def run_case(tmp_path, bird, case, keys, outcome, world_extra=()):
    """Updates the module of a world with these keys from `bird` and checks
    the outcome against the flash dump, the history and the status file."""
    dump = tmp_path / "flash.bin"
    world = ["--module", module_key(SERIAL, DAQ8, "version=2.10.4", "build=1200", "new_version=2.11.5",
                                    "new_build=1300", "usb", "flash_dump=%s" % dump, *keys)]
    r, status = run_update(tmp_path, world + list(world_extra), ["-U", "-d", SERIAL, "-f", str(bird)],
                           timeout=120)
    kind, expected = outcome
    retries = [l for l in lines(r) if l.startswith("  Retry")]
    if r.returncode == 0:
        # Whatever the fault, success means the module holds the image.
        assert kind in ("ok", "warn"), (case, r.stdout, r.stderr)
        assert dump.read_bytes() == expected_flash(bird, SERIAL), case
        assert history(tmp_path / "store")["LATEST_TRANSFER"] == str(bird)
    else:
        assert r.returncode == 1, (case, r.returncode, r.stderr)
        assert kind == "fail", (case, r.stdout, r.stderr)
        assert "LATEST_TRANSFER" not in history(tmp_path / "store")
    if kind == "ok":
        assert retries == expected, (case, r.stdout)
        assert "Module %s now runs firmware 2.11.5 build 1300" % SERIAL in lines(r), r.stdout
        if not retries:  # nothing was programmed twice
            assert module_status(status, SERIAL)["counters"]["upgrade"]["double_writes"] == 0, case
    else:
        assert [l for l in r.stderr.splitlines() if l.startswith(expected)], (case, r.stderr)
    return status


@pytest.mark.parametrize("case, keys, outcome", CASES, ids=[c[0] for c in CASES])
def test_fault_ends_in_success_or_a_clear_failure(tmp_path, generic, case, keys, outcome):
    run_case(tmp_path, generic, case, keys, outcome)


def test_a_retried_block_rewrites_its_chunks_with_the_same_bytes(tmp_path, generic):
    dump = tmp_path / "flash.bin"
    world = ["--module", module_key(SERIAL, DAQ8, "new_version=2.11.5", "new_build=1300", "usb",
                                    "uei_data=no", "fault=drop-data-ack=30", "flash_dump=%s" % dump)]
    r, status = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f", str(generic)], timeout=120)
    assert r.returncode == 0, r.stderr
    assert [l for l in lines(r) if l.startswith("  Retry")] == ["  Retry 1"]
    m = module_status(status, SERIAL)
    assert m["counters"]["upgrade"]["double_writes"] == 1  # the first chunk, written again
    assert m["counters"]["faults_fired"] == {"drop-data-ack": 1}
    assert dump.read_bytes() == expected_flash(generic, SERIAL)


@pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")
@pytest.mark.parametrize("keys", [
    ["uei_data=no", "fault=flood=40"],
    ["uei_data=no", "fault=duplicate-replies"],
    ["fault=flood=200", "fault=duplicate-replies"],
], ids=["flood, data packets", "duplicated replies, data packets", "both, byte arrays"])
def test_update_over_tcpip_rides_through_traffic_that_answers_nothing(tmp_path, generic, keys):
    # The same verdict every time: three updates in a row, each clean.
    for attempt in range(3):
        run_dir = tmp_path / str(attempt)
        run_dir.mkdir()
        dump = run_dir / "flash.bin"
        world = ["--module", module_key(SERIAL, DAQ8, "version=2.10.4", "build=1200",
                                        "new_version=2.11.5", "new_build=1300", "tcp",
                                        "flash_dump=%s" % dump, *keys)]
        r, status = run_update(run_dir, world, ["-U", "-d", SERIAL, "-f", str(generic)],
                               netns=True, timeout=120)
        assert r.returncode == 0, (attempt, r.stdout, r.stderr)
        assert [l for l in lines(r) if l.startswith("  Retry")] == [], (attempt, r.stdout)
        assert dump.read_bytes() == expected_flash(generic, SERIAL)
        fired = module_status(status, SERIAL)["counters"]["faults_fired"]
        assert all(fired.get(k.split("=")[1]) for k in keys if k.startswith("fault=")), fired

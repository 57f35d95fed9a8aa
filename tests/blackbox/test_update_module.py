"""Updater -U against simulated modules: the build chosen, the file checked
and personalised, the module reached over USB, over TCP/IP (only inside the
network namespace korvex-sim --netns makes) or behind a router, and its
flash compared with the image the file describes."""
import os
import pathlib
import shutil
import subprocess
import zlib

import pytest

from netsafety import check_network_safety
from simhost import SIM, run_in_world
from update_server_support import BIRDPACK, UPDATER, UpdateServer, make_sample_repo

PROBE = pathlib.Path(SIM).parent / "usb_probe"
needs_usb = pytest.mark.skipif(not PROBE.exists(), reason="built without umockdev")
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")

SERIAL = "40F5849A"
# Nothing listens there: the server's answer is missing, fast.
NO_SERVER = "http://127.0.0.1:9/cgi/u"
DAQ8 = "model=13"  # KX-DAQ8, the model of the sample files


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"), image_kib=4)


def bird_blocks(path):
    """(type, data) of each block of a BIRD file."""
    body = zlib.decompress(pathlib.Path(path).read_bytes()[6:])
    count, pos, blocks = int.from_bytes(body[:4], "big"), 4, []
    for _ in range(count):
        length = int.from_bytes(body[pos + 1:pos + 5], "big")
        blocks.append((body[pos] & 0x1F, body[pos + 5:pos + 5 + length]))
        pos += 5 + length
    return blocks


def expected_flash(path, serial=None):
    """The firmware image of the file as a flash dump shows it, with the
    serial number written where the offsets block says when given."""
    blocks = bird_blocks(path)
    images = [(int.from_bytes(d[:4], "big"), d[4:]) for t, d in blocks if t == 1]
    low = min(a for a, _ in images)
    flash = bytearray(b"\xff" * (max(a + len(i) for a, i in images) - low))
    for address, image in images:
        flash[address - low:address - low + len(image)] = image
    offsets = [d for t, d in blocks if t == 2]
    if serial and offsets:
        word, text = int.from_bytes(offsets[0][:4], "big"), int.from_bytes(offsets[0][4:8], "big")
        flash[word - low:word - low + 4] = int(serial, 16).to_bytes(4, "little")
        for i, c in enumerate(serial.encode()):
            flash[text - low + 2 * i] = c
    return bytes(flash)


def birdpack(tmp_path, name, lines):
    """A BIRD file made by birdpack from manifest lines (the 4 KiB image
    image.bin beside it)."""
    image = tmp_path / "image.bin"
    if not image.exists():
        image.write_bytes(bytes((i * 7 + 3) & 0xFF for i in range(4096)))
        (tmp_path / "loader.bin").write_bytes(bytes(range(256)) * 2)
        (tmp_path / "short.bin").write_bytes(b"\x00\x01")
    manifest = tmp_path / (name + ".manifest")
    manifest.write_text("\n".join(lines) + "\n")
    out = tmp_path / (name + ".bird")
    subprocess.run([str(BIRDPACK), "create", str(manifest), "-o", str(out)], check=True,
                   capture_output=True, timeout=30)
    return out


def store_device(store, serial, settings=None, builds=()):
    """A device entry in the store: its history and stored files."""
    directory = store / "updater" / serial
    directory.mkdir(parents=True, exist_ok=True)
    if settings is not None:
        (directory / ".settings").write_text("".join("%s=%s\n" % kv for kv in settings.items()))
    for build, source in builds:
        shutil.copy(source, directory / ("%d.bird" % build))


def history(store, serial=SERIAL):
    path = store / "updater" / serial / ".settings"
    if not path.exists():
        return {}
    return dict(l.split("=", 1) for l in path.read_text().splitlines() if "=" in l)


def run_update(tmp_path, world, args, netns=False, url=NO_SERVER, timeout=150, wrapper=()):
    """Runs Updater ARGS inside a world; returns (result, status)."""
    updater_args = args + ["-i", str(tmp_path / "store"), "-u", url]
    return run_in_world(tmp_path, world, UPDATER, updater_args, wrapper, netns, timeout)


def upgrade_requests(status, serial):
    for m in status["modules"]:
        if m["serial"] == serial:
            return m["counters"]["requests"].get("95", 0)
        for b in m.get("bus", []):
            if b["serial"] == serial:
                return b["counters"]["requests"].get("95", 0)
    raise KeyError(serial)


def lines(r):
    return r.stdout.splitlines()


# --- the build chosen, and files refused before the module is touched -------

@needs_usb
@pytest.mark.parametrize("case, settings, stored, with_server, said, build, extra", [
    ("latest download", {"LATEST_DOWNLOAD": "1200.bird", "LATEST_TRANSFER": "1300.bird"},
     [1200, 1300], False, ["Updating with the Latest Download"], 1200, []),
    ("latest transfer", {"LATEST_TRANSFER": "1300.bird"}, [1300], False,
     ["Updating with the Latest Transfer"], 1300, []),
    ("server's latest stored", {"LATEST_DOWNLOAD": "1200.bird"}, [1200, 1310], True, [], 1310, []),
    ("server's latest missing", {"LATEST_DOWNLOAD": "1200.bird"}, [1200], True,
     ["New firmware is available.  Updater will proceed if valid firmware is found locally.",
      "Updating with the Latest Download"], 1200, []),
    ("-b names it", {"LATEST_DOWNLOAD": "1200.bird"}, [1200, 1300], True, [], 1300, ["-b", "1300"]),
])
def test_automatic_build_choice(tmp_path, repo, case, settings, stored, with_server, said, build,
                                extra):
    files = {1200: "kxdaq8-1200.bird", 1300: "kxdaq8-1300.bird", 1310: "kxdaq8-1310-40F5849A.bird"}
    store_device(tmp_path / "store", SERIAL, settings, [(b, repo / files[b]) for b in stored])
    server = UpdateServer(repo) if with_server else None
    try:
        # A module of another model: the choice is made and shown, and the
        # model check stops the update before anything is sent.
        r, status = run_update(tmp_path, ["--module", "serial=%s,model=21,usb" % SERIAL],
                               ["-U", "-d", SERIAL] + extra,
                               url=server.url if server else NO_SERVER)
    finally:
        if server:
            server.stop()
    assert r.returncode == 1, case
    out = lines(r)
    for line in said:
        assert line in out, (case, r.stdout)
    for line in ("Updating with the Latest Download", "Updating with the Latest Transfer"):
        if line not in said:
            assert line not in out, case
    assert "Updating firmware with build: %d" % build in out, (case, r.stdout)
    assert "Connected device model and Bird file model do not match [KX-GPIO32] (0)" in r.stderr
    assert "Birdfile failed validation" in r.stderr
    assert upgrade_requests(status, SERIAL) == 0
    assert "LAST_TRANSFER_DATE" not in history(tmp_path / "store")


@pytest.mark.parametrize("args, settings, error", [
    (["-U", "-d", SERIAL], None, "Could not find valid build for this device."),
    (["-U", "-d", SERIAL], {"LATEST_DOWNLOAD": "junk"}, "Could not find valid build for this device."),
    (["-U", "-d", SERIAL, "-b", "1234"], {},
     "Failed to load bird file: build 1234 is not in the store; download it first with "
     "-G -d 40F5849A -b 1234"),
    (["-U"], None, "Must specify the specific device to be updated"),
])
def test_nothing_to_send(tmp_path, args, settings, error):
    store = tmp_path / "store"
    if settings is not None:
        store_device(store, SERIAL, settings)
    command = [str(UPDATER)] + args + ["-i", str(store), "-u", NO_SERVER]
    check_network_safety(command[1:])
    r = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert error in r.stderr.splitlines()
    assert not (pathlib.Path.cwd() / ".settings").exists()


@needs_usb
@pytest.mark.parametrize("case, manifest, error", [
    ("serial word outside the image",
     ["firmware image.bin 0x0", "offsets 0x00100000 0", "info 1400 2.11.7 generic KX-DAQ8"],
     "Error: Unable to modify serial number in bird."),
    ("descriptor running past the image",
     ["firmware image.bin 0x0", "offsets 0x40 0xFF8", "info 1400 2.11.7 generic KX-DAQ8"],
     "Error: Unable to modify serial number in bird."),
    ("firmware block shorter than its address",
     ["block 1 short.bin", "firmware image.bin 0x0", "info 1400 2.11.7 generic KX-DAQ8"],
     "Failed to load bird file: block 1 is too short to hold its load address"),
    ("firmware running past 4 GiB",
     ["firmware image.bin 0xFFFFF800", "offsets 0xFFFFF840 0xFFFFF880",
      "info 1400 2.11.7 generic KX-DAQ8"],
     "Failed to load bird file: block 1 (4096 image bytes at 0xFFFFF800) runs past address "
     "0xFFFFFFFF"),
    ("overlapping firmware blocks",
     ["firmware image.bin 0x0", "firmware image.bin 0x800", "offsets 0x40 0x80",
      "info 1400 2.11.7 generic KX-DAQ8"],
     "Failed to load bird file: firmware blocks 1 and 2 overlap at address 0x00000800"),
])
def test_files_refused_before_the_module_is_touched(tmp_path, case, manifest, error):
    bird = birdpack(tmp_path, "bad", ["loader loader.bin 0x10000000"] + manifest)
    r, status = run_update(tmp_path, ["--module", "serial=%s,%s,usb" % (SERIAL, DAQ8)],
                           ["-U", "-d", SERIAL, "-f", str(bird)])
    assert r.returncode == 1, case
    assert error in r.stderr.splitlines(), (case, r.stderr)
    assert status["modules"][0]["counters"]["identifies"] == 0, case
    assert history(tmp_path / "store") == {}


@needs_usb
@pytest.mark.parametrize("extra", [[], ["-OVERRIDE"]])
def test_file_bound_to_another_serial_is_refused(tmp_path, repo, extra):
    dump = tmp_path / "flash.bin"
    world = ["--module", "serial=1234ABCD,%s,usb,flash_dump=%s" % (DAQ8, dump)]
    r, status = run_update(tmp_path, world, ["-U", "-d", "1234ABCD", "-f",
                                             str(repo / "kxdaq8-1310-40F5849A.bird")] + extra)
    assert r.returncode == 1
    assert "Birdfile failed validation: the file is bound to serial number 40F5849A" in \
        r.stderr.splitlines()
    assert upgrade_requests(status, "1234ABCD") == 0
    assert not dump.exists() or dump.stat().st_size == 0
    assert history(tmp_path / "store", "1234ABCD") == {}


@needs_usb
def test_module_too_slow_to_answer_is_reported_as_a_time_out(tmp_path, repo):
    world = ["--module", "serial=%s,%s,usb,fault=no-answer=3.9" % (SERIAL, DAQ8)]
    r, status = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f",
                                             str(repo / "kxdaq8-1300.bird")])
    assert r.returncode == 1
    assert ("Birdfile failed validation: the module did not answer in time when asked for its "
            "serial number (aErrTimeout: Timeout occurred)") in r.stderr.splitlines(), r.stderr
    assert upgrade_requests(status, SERIAL) == 0


@needs_root
@pytest.mark.parametrize("world, args, error", [
    ([], ["-d", SERIAL], "Failed to connect to module [40F5849A]"),
    ([], ["-d", SERIAL, "-r", "A0000001"], "Unable to find modules on Network"),
    (["--module", "serial=A0000001,tcp", "--module", "serial=B0000002,on=A0000001,address=8"],
     ["-d", SERIAL, "-r", "A0000001"],
     "Module address required for indirect firmware update, could not find serial number "
     "[0x40F5849A] on network"),
])
def test_module_not_reached(tmp_path, repo, world, args, error):
    # USB finds nothing, so TCP/IP discovery runs: inside the namespace only.
    r, _ = run_update(tmp_path, world, ["-U", "-f", str(repo / "kxdaq8-1300.bird")] + args,
                      netns=True)
    assert r.returncode == 1
    assert error in r.stderr.splitlines(), r.stderr
    assert history(tmp_path / "store") == {}


# --- whole updates ------------------------------------------------------------

def module_key(serial, *keys):
    return ",".join(["serial=" + serial] + list(keys))


def assert_updated(r, store, serial, version, build, path_text):
    assert r.returncode == 0, r.stdout + r.stderr
    out = lines(r)
    assert "Module %s now runs firmware %s build %d" % (serial, version, build) in out, r.stdout
    assert [l for l in out if l.startswith("Update time: ")], r.stdout
    # The history lands in the device's own entry, made when it had none.
    h = history(store, serial)
    assert h["LATEST_TRANSFER"] == path_text
    assert h["LAST_TRANSFER_DATE"]
    assert not (pathlib.Path.cwd() / ".settings").exists()


@needs_usb
@pytest.mark.parametrize("case, keys, extra", [
    ("generic file personalised", [DAQ8], []),
    ("loader comes back as DEADDEAD", [DAQ8, "loader_serial=deadead"], []),
    ("-OVERRIDE on a model mismatch", ["model=21"], ["-OVERRIDE"]),
    ("UEI data off", [DAQ8, "uei_data=no"], []),
])
def test_update_over_usb(tmp_path, repo, case, keys, extra):
    dump = tmp_path / "flash.bin"
    bird = repo / "kxdaq8-1300.bird"
    keys = keys + ["version=2.10.4", "build=1200", "new_version=2.11.5", "new_build=1300",
                   "usb", "flash_dump=%s" % dump]
    r, _ = run_update(tmp_path, ["--module", module_key("1234ABCD", *keys)],
                      ["-U", "-d", "1234ABCD", "-f", str(bird)] + extra)
    assert_updated(r, tmp_path / "store", "1234ABCD", "2.11.5", 1300, str(bird))
    out = lines(r)
    assert out.index("Transferring loader to device") < out.index("Starting Load on Device")
    assert "Transferring loader block 1 of 1, 4100 bytes" in out
    assert "Transferring firmware block 1 of 1, 4100 bytes" in out
    assert "  Retry 1" not in out
    assert dump.read_bytes() == expected_flash(bird, "1234ABCD"), case


@needs_usb
def test_module_back_with_the_old_build_is_a_failed_update(tmp_path, repo):
    bird = repo / "kxdaq8-1300.bird"
    world = ["--module", module_key(SERIAL, DAQ8, "version=2.10.4", "build=1200", "new_version=2.10.4",
                                    "new_build=1200", "usb")]
    r, _ = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f", str(bird)])
    assert r.returncode == 1
    assert ("Update failed: module 40F5849A runs firmware 2.10.4 build 1200 after the reboot, "
            "not build 1300") in r.stderr.splitlines()
    assert "LATEST_TRANSFER" not in history(tmp_path / "store")


@needs_usb
def test_get_then_update_with_the_build_just_stored(tmp_path, repo):
    dump = tmp_path / "flash.bin"
    # No new_version/new_build: the module runs what its new image says it is.
    world = ["--module", module_key(SERIAL, DAQ8, "version=2.10.4", "build=1200", "usb",
                                    "flash_dump=%s" % dump)]
    server = UpdateServer(repo)
    try:
        r, _ = run_update(tmp_path, world, ["-G", "-U", "-d", SERIAL], url=server.url)
    finally:
        server.stop()
    assert_updated(r, tmp_path / "store", SERIAL, "2.11.6", 1310, "1310.bird")
    assert "Updating firmware with build: 1310" in lines(r)
    assert history(tmp_path / "store")["LATEST_DOWNLOAD"] == "1310.bird"
    # A file bound to this module: sent as it is.
    assert dump.read_bytes() == expected_flash(repo / "kxdaq8-1310-40F5849A.bird")


@needs_usb
@pytest.mark.parametrize("fault, retries", [
    # The loader takes the first 158 DATA packets: the 200th is firmware.
    ("drop-data-ack=200", ["  Retry 1"]),
    ("wrong-data-count", []),  # the packet goes again, no block retry
])
def test_faults_that_end_in_success(tmp_path, repo, fault, retries):
    dump = tmp_path / "flash.bin"
    bird = repo / "kxdaq8-1300.bird"
    world = ["--module", module_key(SERIAL, DAQ8, "uei_data=no", "new_build=1300",
                                    "new_version=2.11.5", "usb", "fault=" + fault,
                                    "flash_dump=%s" % dump)]
    r, _ = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f", str(bird)])
    assert_updated(r, tmp_path / "store", SERIAL, "2.11.5", 1300, str(bird))
    assert [l for l in lines(r) if l.startswith("  Retry")] == retries, fault
    assert dump.read_bytes() == expected_flash(bird, SERIAL), fault


@needs_usb
# The first sum checked is the loader's, whose blocks are never retried.
@pytest.mark.parametrize("fault", ["wrong-sum", "prepare-status", "block-size-0", "init-short"])
def test_faults_that_end_in_failure(tmp_path, repo, fault):
    world = ["--module", module_key(SERIAL, DAQ8, "new_build=1300", "usb", "fault=" + fault)]
    r, _ = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f", str(repo / "kxdaq8-1300.bird")])
    assert r.returncode == 1, fault
    assert [l for l in r.stderr.splitlines() if l.startswith("Failed to update module [40F5849A]: ")]
    assert history(tmp_path / "store") == {}


@needs_usb
def test_update_behind_a_router(tmp_path, repo):
    dump = tmp_path / "flash.bin"
    bird = repo / "kxdaq8-1300.bird"
    world = ["--module", "serial=A0000001,model=15,usb",
             "--module", module_key("B0000002", "on=A0000001", "address=8", DAQ8, "version=2.10.4",
                                    "new_version=2.11.5", "new_build=1300", "flash_dump=%s" % dump)]
    r, status = run_update(tmp_path, world, ["-U", "-d", "B0000002", "-r", "A0000001", "-f", str(bird)])
    assert_updated(r, tmp_path / "store", "B0000002", "2.11.5", 1300, str(bird))
    assert dump.read_bytes() == expected_flash(bird, "B0000002")
    # The router's bus is scanned for the module's address, then routed to
    # for the update; both leave the router as they found it.
    assert status["modules"][0]["counters"]["route_to_me"] == {"1": 2, "0": 2}


# Over TCP/IP a loader announcing DEADDEAD is taken by where it answers: the
# module's own address and port, even beside another DEADDEAD loader.
@needs_root
@pytest.mark.parametrize("loader, others", [
    ("own", []),
    ("deadead", []),
    ("deadead", ["--module", "serial=DEADDEAD,%s,tcp,in_loader=yes" % DAQ8]),
])
def test_update_over_tcpip(tmp_path, repo, loader, others):
    dump = tmp_path / "flash.bin"
    bird = repo / "kxdaq8-1300.bird"
    world = ["--module", module_key(SERIAL, DAQ8, "version=2.10.4", "new_version=2.11.5",
                                    "new_build=1300", "tcp", "loader_serial=" + loader,
                                    "flash_dump=%s" % dump)] + others
    r, status = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f", str(bird)], netns=True)
    assert_updated(r, tmp_path / "store", SERIAL, "2.11.5", 1300, str(bird))
    assert dump.read_bytes() == expected_flash(bird, SERIAL)
    if others:
        assert upgrade_requests(status, "DEADDEAD") == 0


@needs_usb
def test_progress_bar_and_spinner_on_a_terminal_plain_lines_in_a_pipe(tmp_path, repo):
    import pty
    import threading
    bird = repo / "kxdaq8-1300.bird"
    world = ["--module", module_key(SERIAL, DAQ8, "new_version=2.11.5", "new_build=1300", "usb")]
    args = ["-U", "-d", SERIAL, "-f", str(bird), "-i", str(tmp_path / "store"), "-u", NO_SERVER]
    check_network_safety(args)
    command = [SIM] + world + ["--", str(UPDATER)] + args

    master, slave = pty.openpty()
    chunks = []

    def read():
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # the terminal's other end closed
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=read)
    reader.start()
    try:
        proc = subprocess.run(command, stdout=slave, stderr=subprocess.PIPE, timeout=150)
    finally:
        os.close(slave)
        reader.join(timeout=10)
        os.close(master)
    terminal = b"".join(chunks).decode(errors="replace")
    assert proc.returncode == 0, terminal
    assert "\r[" + "=" * 10 in terminal and "(100% )" in terminal
    assert "\r (Verifying Update) ." in terminal
    assert "Module 40F5849A now runs firmware 2.11.5 build 1300" in terminal

    (tmp_path / "pipe").mkdir()
    piped, _ = run_update(tmp_path / "pipe", world, ["-U", "-d", SERIAL, "-f", str(bird)])
    assert piped.returncode == 0, piped.stderr
    assert "\r" not in piped.stdout and "Verifying Update" not in piped.stdout
    assert "Module 40F5849A now runs firmware 2.11.5 build 1300" in lines(piped)


@needs_usb
def test_loader_not_taken_when_two_modules_announce_deaddead(tmp_path, repo):
    # Another module already sits in its loader as DEADDEAD: the loader of
    # this one cannot be told from it, so neither is written to.
    world = ["--module", module_key(SERIAL, DAQ8, "loader_serial=deadead", "usb"),
             "--module", "serial=DEADDEAD,%s,usb" % DAQ8]
    r, status = run_update(tmp_path, world, ["-U", "-d", SERIAL, "-f",
                                             str(repo / "kxdaq8-1300.bird")])
    assert r.returncode == 1
    assert "Failed to connect to module [40F5849A]" in r.stderr.splitlines()
    assert upgrade_requests(status, "DEADDEAD") == 0
    assert history(tmp_path / "store") == {}

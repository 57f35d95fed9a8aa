"""-B, -L, -G and -J end to end against korvex-update-server on loopback."""
import base64
import json
import pathlib
import subprocess
import time

import jwt
import pytest

from netsafety import check_network_safety

from update_server_support import (SERIAL, UPDATER, UpdateServer, make_sample_repo, run_updater, settings,
                                   stored, wait_for)


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    return make_sample_repo(tmp_path_factory.mktemp("repo"))


@pytest.fixture
def server(repo, tmp_path):
    public = tmp_path / "token-public.pem"
    s = UpdateServer(repo, "--public-key-out", str(public))
    s.public_key = public.read_text()
    yield s
    s.stop()


def lines(text):
    return text.splitlines()


def test_build_list_sorted_newest_first(server, tmp_path):
    r = run_updater(["-B", "-d", SERIAL], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    out = lines(r.stdout)
    start = out.index("Build List for device [%s]:" % SERIAL)
    assert out[start + 1] == ""
    assert out[start + 2] == "%-15s\t%-15s" % ("Build", "Version")
    rows = [tuple(x.strip() for x in line.split("\t")) for line in out[start + 3:]]
    assert rows == [("1310", "2.11.6"), ("1300", "2.11.5"), ("1200", "2.10.4"), ("1250", "2.9.12")]


def test_build_list_of_unknown_device_and_missing_serial(server, tmp_path):
    r = run_updater(["-B", "-d", "12345678"], tmp_path, server.url)
    assert r.returncode == 1
    assert "Failed to retrieve builds for 12345678" in r.stderr
    assert "No builds found" not in r.stdout
    r = run_updater(["-B"], tmp_path, server.url)
    assert r.returncode == 1
    assert "Error must supply a serial number for the List Builds command" in r.stderr


def test_get_latest_then_list_local(server, repo, tmp_path):
    r = run_updater(["-G", "-d", SERIAL], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    out = lines(r.stdout)
    expected = ["Retrieving firmware for device with serial number %s" % SERIAL,
                "No build specified", "Using Latest build", "Retrieving build 1310",
                "Validating build 1310 with server", "Build 1310 is valid"]
    assert [l for l in out if l in expected] == expected
    assert stored(tmp_path) == [".settings", "1310.bird"]
    stored_bytes = (tmp_path / "updater" / SERIAL / "1310.bird").read_bytes()
    assert stored_bytes == (repo / "kxdaq8-1310-40F5849A.bird").read_bytes()
    history = settings(tmp_path)
    assert history["LATEST_DOWNLOAD"] == "1310.bird"
    assert time.strptime(history["LAST_DOWNLOAD_DATE"], "%a %b %d %H:%M:%S %Y")

    r = run_updater(["-G", "-d", SERIAL, "-b", "1200"], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    assert "Retrieving firmware build 1200" in r.stdout
    assert settings(tmp_path)["LATEST_DOWNLOAD"] == "1200.bird"

    r = run_updater(["-L", "-d", SERIAL], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    out = lines(r.stdout)
    start = out.index("Build List for device [%s]:" % SERIAL)
    rows = [tuple(x.strip() for x in line.split("\t")) for line in out[start + 3:]]
    assert rows == [("1310", "2.11.6"), ("1200", "2.10.4")]


def test_download_again_keeps_the_same_file_and_mends_a_damaged_one(server, repo, tmp_path):
    stored_file = tmp_path / "updater" / SERIAL / "1310.bird"
    served = (repo / "kxdaq8-1310-40F5849A.bird").read_bytes()
    assert run_updater(["-G", "-d", SERIAL], tmp_path, server.url).returncode == 0
    first = stored_file.stat().st_ino
    assert run_updater(["-G", "-d", SERIAL], tmp_path, server.url).returncode == 0
    assert stored_file.stat().st_ino == first, "the same bytes are not written again"
    assert stored_file.read_bytes() == served

    damaged = bytearray(served)
    damaged[len(damaged) // 2] ^= 1
    stored_file.write_bytes(bytes(damaged))
    r = run_updater(["-G", "-d", SERIAL], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    assert stored_file.read_bytes() == served
    assert stored(tmp_path) == [".settings", "1310.bird"]


def test_list_local_without_files(server, tmp_path):
    r = run_updater(["-L", "-d", "0000ABCD"], tmp_path, server.url)
    assert r.returncode == 0
    assert "No builds found for device [0000ABCD]" in r.stdout
    assert not server.requests(), "-L never asks the server"


def test_unlisted_build_is_refused_and_nothing_stored(server, tmp_path):
    r = run_updater(["-G", "-d", SERIAL, "-b", "1234"], tmp_path, server.url)
    assert r.returncode == 1
    assert "No valid build 1234" in r.stderr
    assert "1234.bird" not in stored(tmp_path)
    assert not any("op=bird" in l for l in server.requests())


def test_override_skips_validation(server, tmp_path):
    r = run_updater(["-G", "-d", SERIAL, "-b", "1250", "-OVERRIDE"], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    assert "Override specified, skipping validation of build 1250" in r.stdout
    assert not any("op=builds" in l for l in server.requests())
    assert "1250.bird" in stored(tmp_path)

    # A build the server does not have: the server refuses it, nothing is
    # stored and -G fails.
    r = run_updater(["-G", "-d", SERIAL, "-b", "1234", "-OVER"], tmp_path, server.url)
    assert r.returncode == 1
    assert "Download failed" in r.stderr
    assert "Failed to retrieve a valid BIRD file" in r.stderr
    assert "1234.bird" not in stored(tmp_path)
    assert settings(tmp_path)["LATEST_DOWNLOAD"] == "1250.bird"


def test_get_runs_before_update(server, tmp_path):
    """-U -G: the download runs first, whatever the order on the command line."""
    # Recovery over a serial port that does not exist: the update step
    # fails at once and never looks for modules on any network.
    command = [str(UPDATER), "-U", "-G", "-d", SERIAL, "-t", "RECOVER", "-s",
               str(tmp_path / "no-such-port"), "-i", str(tmp_path), "-u", server.url]
    check_network_safety(command[1:])
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       timeout=120)
    out = lines(r.stdout)
    assert "1310.bird" in stored(tmp_path)
    done = out.index("Build 1310 is valid")
    assert out.index("Retrieving firmware for device with serial number %s" % SERIAL) < done
    # The update step speaks only after the download; it fails, and that
    # decides the exit code.
    assert out[done + 1:], "the update step ran after the download"
    assert r.returncode == 1


def test_token_is_signed_by_the_server(server, tmp_path):
    before = int(time.time())
    r = run_updater(["-J", "-d", SERIAL], tmp_path, server.url)
    assert r.returncode == 0, r.stderr
    token = lines(r.stdout)[-1]
    assert token.count(".") == 2
    claims = jwt.decode(token, server.public_key, algorithms=["EdDSA"])
    assert claims["sub"] == SERIAL and claims["serial"] == SERIAL
    assert claims["model"] == "KX-DAQ8"
    assert claims["features"] == ["streaming", "triggers", "calibration"]
    assert before - 5 <= claims["iat"] <= time.time() + 5
    assert claims["exp"] > claims["iat"]

    # A token altered in any part no longer verifies.
    header, payload, signature = token.split(".")
    forged = json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))
    forged["features"].append("everything")
    forged_payload = base64.urlsafe_b64encode(json.dumps(forged).encode()).rstrip(b"=").decode()
    with pytest.raises(jwt.InvalidSignatureError):
        jwt.decode(".".join([header, forged_payload, signature]), server.public_key,
                   algorithms=["EdDSA"])


def test_token_for_unknown_device(server, tmp_path):
    r = run_updater(["-J", "-d", "12345678"], tmp_path, server.url)
    assert r.returncode == 1
    assert "Failed to retrieve jwt for 12345678" in r.stderr


def test_server_logs_one_line_per_request(server, tmp_path):
    run_updater(["-B", "-d", SERIAL], tmp_path, server.url)
    # Each worker logs its request once answered, so a line may come after
    # the updater has ended, and two answered close together in either order.
    assert wait_for(lambda: len(server.requests()) >= 2, seconds=10)
    requests = sorted(server.requests(), key=lambda line: "op=builds" in line)
    assert len(requests) == 2
    assert "op=hi&rv=2&" in requests[0] and requests[0].endswith("-> 200 ok")
    assert "op=builds&sn=40F5849A&" in requests[1]


def test_server_named_by_host_and_port(server, tmp_path):
    """-u host:port reaches the same server as the whole URL."""
    whole = run_updater(["-B", "-d", SERIAL], tmp_path, server.url)
    host_port = server.url.split("//", 1)[1].split("/", 1)[0]
    short = run_updater(["-B", "-d", SERIAL], tmp_path, host_port)
    assert short.returncode == 0, short.stderr
    assert short.stdout == whole.stdout
    assert "1310           \t2.11.6         " in short.stdout.splitlines()
    assert len(server.requests()) == 4

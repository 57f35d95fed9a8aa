"""The updater's command line seen from outside: output streams, usage
blocks, exit codes and the storage directory."""
import os
import pwd
import shutil
import stat
import subprocess
import tempfile

import pytest

VERSION_LINE = "Updater (Version: 2.11.5 Oct 13 2025)"
BRIEF_FIRST = "Application Usage:"
PARAMETERS_FIRST = "  Parameters to commands:"
EXTENDED_FIRST = "  Extended Parameters:"
SAMPLES_FIRST = " Sample usage:"


def blocks_in(stderr):
    return [title for title in (BRIEF_FIRST, PARAMETERS_FIRST, EXTENDED_FIRST, SAMPLES_FIRST)
            if title in stderr]


def test_no_arguments_prints_version_notice_and_brief_usage(run_updater):
    result = run_updater()
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0] == VERSION_LINE
    assert "2025" in lines[1]
    assert len(lines) == 2
    assert blocks_in(result.stderr) == [BRIEF_FIRST]
    assert "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]" in result.stderr


def test_full_usage_and_extended_block_only_after_X(run_updater):
    full = run_updater("-h")
    assert full.returncode == 0
    assert blocks_in(full.stderr) == [BRIEF_FIRST, PARAMETERS_FIRST, SAMPLES_FIRST]

    extended = run_updater("-X", "0x3", "-h")
    assert blocks_in(extended.stderr) == [BRIEF_FIRST, PARAMETERS_FIRST, EXTENDED_FIRST,
                                          SAMPLES_FIRST]
    assert "                                Default: " in extended.stderr
    assert "     -C                       - Check the given BIRDFILE" in extended.stderr

    # Parsing stops at -h, so the -X after it is never seen.
    late = run_updater("-h", "-X", "3")
    assert EXTENDED_FIRST not in late.stderr
    assert run_updater("--help").stderr == full.stderr
    assert run_updater("-H").stderr == full.stderr


def test_parse_errors_print_brief_usage_and_exit_1(run_updater):
    for args, message in [
        (("-D", "-d", "12X4"), "Invalid serial number obtained from argument [12X4]"),
        (("-D", "-r", "0x"), "Invalid router serial number obtained from argument []"),
        (("-D", "-t", "SERIAL"), "Invalid transport type:[SERIAL]\nMust be one of the following: USB, TCPIP, RECOVER"),
        (("-Y",), "Unhandled command: [-Y]"),
        (("-U", "-d", "40F5849A", "-b", "abc", "-u", "http://127.0.0.1:9/cgi/u"),
         "Invalid build number obtained from argument [abc]"),
    ]:
        result = run_updater(*args)
        assert result.returncode == 1, args
        assert result.stdout.splitlines()[0] == VERSION_LINE
        assert message in result.stderr
        assert blocks_in(result.stderr) == [BRIEF_FIRST]


# -B with a serial number asks the update server: never the default one on
# the network, only a loopback port where nothing answers.
NO_SERVER = "http://127.0.0.1:9/cgi/u"


def test_commands_needing_a_serial_number(run_updater):
    for flag, message in [("-B", "Error must supply a serial number for the List Builds command"),
                          ("-L", "Error must supply a serial number for the List Local Builds command"),
                          ("-J", "Error must supply a serial number for the Get JWT command")]:
        # The unknown option is named and skipped; the trailing -d without
        # value is skipped.
        result = run_updater(flag, "-u", NO_SERVER, "--bogus", "-d")
        assert result.returncode == 1
        assert message in result.stderr
        assert "Unknown option: [--bogus]" in result.stderr
        assert blocks_in(result.stderr) == [BRIEF_FIRST]

    update = run_updater("-U", "-u", NO_SERVER)
    assert update.returncode == 1
    assert "Must specify the specific device to be updated" in update.stderr

    get = run_updater("-G", "-u", NO_SERVER)
    assert get.returncode == 1
    assert get.stderr.splitlines()[:2] == ["-G must specify a specific device via -d",
                                           "--help for usage information"]

    fingerprint = run_updater("-N")
    assert fingerprint.returncode == 1
    assert "Must specify the serial port used for connecting" in fingerprint.stderr


def test_storage_directory_created_with_mode_0755(run_updater, tmp_path):
    parent = tmp_path / "a" / "b" / "c"
    result = run_updater("-B", "-d", "40F5849A", "-i", str(parent), "-u", NO_SERVER)
    store = parent / "updater"
    assert store.is_dir()
    for level in (tmp_path / "a", tmp_path / "a" / "b", parent, store):
        assert stat.S_IMODE(os.stat(level).st_mode) == 0o755, level
    assert result.stdout.splitlines()[0] == VERSION_LINE


def test_unusable_storage_directory(run_updater, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    result = run_updater("-B", "-d", "1", "-i", str(blocker), "-u", NO_SERVER)
    assert result.returncode == 1
    assert f"Could not find updater directory at {blocker}/updater" in result.stderr


def test_debug_mask_shows_application_parameters(run_updater):
    result = run_updater("-X", "0x10001", "-B", "stray", "-d", "0x40F5849A", "-u", NO_SERVER)
    assert "\nApplication parameters:[Updater]\n\t[-X]\n\t[0x10001]\n\t[-B]\n\t[-d]\n\t[0x40F5849A]\n\t[-u]\n\t[" + NO_SERVER + "]\n\t[-i]\n\t[" in result.stderr
    assert "]\n\t[stray]\n" in result.stderr
    assert "Discarding '0x' serial number prefix" in result.stderr
    assert "Home directory:" not in result.stderr  # logged before -X is read

    quiet = run_updater("-B", "-d", "1", "-u", NO_SERVER)
    assert "Application parameters" not in quiet.stderr


def test_invalid_debug_mask_is_reported_but_not_fatal(run_updater):
    result = run_updater("-X", "0x1q", "-h")
    assert result.returncode == 0
    assert 'Invalid format for "-X" parameter, unprocessed characters [q]' in result.stderr
    assert EXTENDED_FIRST in result.stderr


def test_recovery_without_a_port_says_so_and_fails(run_updater):
    # -B, -L, -G and -J are tested against a local update server elsewhere,
    # -D, -U and -N inside simulated worlds (test_discover_command.py,
    # test_update_module.py, test_recovery.py); recovery needs the port of
    # the boot ROM, as -N does.
    for args in (("-U", "-t", "RECOVER", "-d", "1", "-u", NO_SERVER),):
        result = run_updater(*args)
        assert result.returncode == 1, args
        assert "Must specify the serial port used for connecting" in result.stderr
        assert "This command is not available in this build" not in result.stderr


def test_unknown_options_are_named_and_alone_fail(run_updater):
    alone = run_updater("--bogus", "-V")
    assert alone.returncode == 1
    assert "Unknown option: [--bogus]\nUnknown option: [-V]\n" in alone.stderr
    assert alone.stdout.splitlines()[0] == VERSION_LINE
    assert blocks_in(alone.stderr) == [BRIEF_FIRST]

    # Beside a command they are named and the command goes on.
    beside = run_updater("-L", "-d", "40F5849A", "-OVERIDE", "-q=1")
    assert beside.returncode == 0, beside.stderr
    assert beside.stderr.splitlines() == ["Unknown option: [-OVERIDE]", "Unknown option: [-q=1]"]
    assert "No builds found for device [40F5849A]" in beside.stdout


@pytest.mark.parametrize("server", ["ftp://127.0.0.1/cgi/u", "127.0.0.1:0", "127.0.0.1:99999",
                                    "127.0.0.1/cgi/u", "http://", ""])
def test_update_server_that_is_no_address_is_refused(run_updater, server):
    result = run_updater("-L", "-d", "40F5849A", "-u", server)
    assert result.returncode == 1
    assert (f"Invalid update server [{server}]: give host, host:port or an http:// or "
            "https:// URL") in result.stderr
    assert blocks_in(result.stderr) == [BRIEF_FIRST]


def uid_without_password_entry():
    for uid in range(61000, 61100):
        try:
            pwd.getpwuid(uid)
        except KeyError:
            return uid
    pytest.skip("no free user id")


def test_no_home_directory_needs_storage_directory(updater):
    """A user without a password entry and without HOME has no home: the
    store is refused, not put below the root; -i still works."""
    if os.geteuid() != 0:
        pytest.skip("needs root to run as a user without a password entry")
    uid = uid_without_password_entry()
    environment = {k: v for k, v in os.environ.items() if k != "HOME"}
    as_nobody = dict(user=uid, group=uid, extra_groups=[], env=environment,
                     capture_output=True, text=True, timeout=60)
    # No -i on purpose: this user has no home, so no real store can be touched.
    for env in (environment, {**environment, "HOME": ""}):
        refused = subprocess.run([updater, "-L", "-d", "40F5849A"], **{**as_nobody, "env": env})
        assert refused.returncode == 1
        assert "No home directory to keep the store in: name a directory for it with -i DIR" \
            in refused.stderr
        assert "/.velmaris" not in refused.stderr + refused.stdout
    storage = tempfile.mkdtemp(prefix="updater-nohome-")
    try:
        os.chmod(storage, 0o777)
        given = subprocess.run([updater, "-L", "-d", "40F5849A", "-i", storage], **as_nobody)
        assert given.returncode == 0, given.stderr
        assert "No builds found for device [40F5849A]" in given.stdout
        assert not os.path.exists(os.path.join(storage, "updater")), "looking writes nothing"
    finally:
        shutil.rmtree(storage)


def test_messaging_libraries_are_not_loaded_by_commands_that_share_no_link(run_updater):
    # They cost a good part of every start-up; only link sharing opens them.
    result = run_updater("-L", "-d", "40F5849A", env={"LD_DEBUG": "files"})
    assert "calling init: /" in result.stderr  # the loader's report was on
    assert "libczmq" not in result.stderr and "libzmq" not in result.stderr

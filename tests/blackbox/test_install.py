"""The installed updater: cmake --install into a temporary prefix, its man
pages, its bash completion, and the Debian package built from the tree."""
import os
import shutil
import subprocess

import pytest

from conftest import BINARY_DIR
from simhost import HAVE_CZMQ


def run(*args, **kwargs):
    kwargs.setdefault("timeout", 300)
    return subprocess.run(list(args), capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    root = tmp_path_factory.mktemp("prefix")
    result = run("cmake", "--install", str(BINARY_DIR), "--prefix", str(root))
    assert result.returncode == 0, result.stdout + result.stderr
    return root


INSTALLED = [
    "bin/Updater", "bin/korvex-update-server", "bin/birdpack",
    "share/man/man1/Updater.1.gz", "share/man/man1/korvex-update-server.1.gz",
    "share/man/man1/birdpack.1.gz", "share/bash-completion/completions/Updater",
    "lib/udev/rules.d/70-korvex.rules", "share/doc/korvex-updater/copyright",
    "share/doc/korvex-updater/ansible/firmware-rollout.yml",
    "share/doc/korvex-updater/ansible/roles/updater_rollout/tasks/main.yml",
    "share/doc/korvex-updater/ansible/roles/updater_rollout/filter_plugins/updater_results.py",
]


def test_install_puts_programs_pages_completion_and_rules_in_place(prefix):
    for path in INSTALLED:
        assert (prefix / path).is_file(), path
    # The simulator is a development tool: only installed when asked for.
    assert not (prefix / "bin/korvex-sim").exists()
    result = run(str(prefix / "bin/Updater"), "-h", timeout=60)
    assert result.returncode == 0
    assert "Application Usage:" in result.stderr


@pytest.mark.skipif(shutil.which("man") is None, reason="man is not installed")
def test_man_page_carries_the_usage_the_program_prints(prefix):
    env = dict(os.environ, MANWIDTH="100", MANPAGER="cat", PAGER="cat")
    page = run("man", "-l", str(prefix / "share/man/man1/Updater.1.gz"), env=env, timeout=60)
    assert page.returncode == 0, page.stderr
    usage = run(str(prefix / "bin/Updater"), "-X", "0", "-h", timeout=60).stderr
    # Every line of the extended usage stands in the page (man indents it).
    rendered = [line.strip() for line in page.stdout.splitlines()]
    for line in usage.splitlines():
        if line.strip():
            assert line.strip() in rendered, line
    for section in ("EXIT STATUS", "FILES", "ENVIRONMENT", "EXAMPLES"):
        assert section in page.stdout
    for name in ("CURL_CA_BUNDLE", "SSL_CERT_FILE", "UPDATER_HTTP_STALL_TIMEOUT",
                 "UPDATER_HTTP_MIN_RATE"):
        assert name in page.stdout
    for tool in ("korvex-update-server", "birdpack"):
        other = run("man", "-l", str(prefix / f"share/man/man1/{tool}.1.gz"), env=env, timeout=60)
        assert other.returncode == 0 and "usage:" in other.stdout


def complete(prefix, *words):
    """What the installed completion offers for the last of words."""
    script = (f'source "{prefix}/share/bash-completion/completions/Updater"\n'
              'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))\n'
              '_Updater; printf "%s\\n" "${COMPREPLY[@]}"\n')
    result = run("bash", "--norc", "-c", script, "Updater", *words, timeout=60)
    assert result.returncode == 0, result.stderr
    return sorted(line for line in result.stdout.splitlines() if line)


def test_completion_offers_transports_serials_and_options(prefix, tmp_path):
    assert complete(prefix, "Updater", "-t", "") == ["RECOVER", "TCPIP", "USB"]
    assert complete(prefix, "Updater", "-t", "T") == ["TCPIP"]
    store = tmp_path / "parent" / "updater"
    for name in ("40F5849A", "2181F0EE", "notaserial", ".hidden"):
        (store / name).mkdir(parents=True)
    assert complete(prefix, "Updater", "-i", str(tmp_path / "parent"), "-d", "") == [
        "2181F0EE", "40F5849A"]
    assert complete(prefix, "Updater", "-OV") == ["-OVERRIDE"]
    (tmp_path / "fw.bird").write_bytes(b"")
    assert complete(prefix, "Updater", "-f", str(tmp_path / "fw.b")) == [str(tmp_path / "fw.bird")]


@pytest.mark.skipif(shutil.which("dpkg-deb") is None, reason="dpkg is not installed")
def test_debian_package_installs_into_a_throw_away_root(tmp_path):
    packages = tmp_path / "packages"
    result = run("cpack", "-G", "DEB", "--config", str(BINARY_DIR / "CPackConfig.cmake"),
                 "-B", str(packages), timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    (deb,) = packages.glob("korvex-updater_*.deb")

    depends = run("dpkg-deb", "-f", str(deb), "Depends").stdout
    print("Depends:", depends.strip())
    for library in ("libcurl", "zlib1g", "libstdc++6"):
        assert library in depends
    # Opened only when first used, so named by the package itself.
    assert "libusb-1.0-0" in depends
    assert ("libczmq4" in depends) == HAVE_CZMQ
    # The declared dependencies are all met on this machine.
    assert run("dpkg", "--simulate", "-i", str(deb)).returncode == 0
    if shutil.which("lintian"):
        checked = run("lintian", "--allow-root", str(deb), timeout=300)
        errors = [l for l in checked.stdout.splitlines() if l.startswith("E:")]
        assert not errors, checked.stdout

    root = tmp_path / "root"
    (root / "var/lib/dpkg/info").mkdir(parents=True)
    (root / "var/lib/dpkg/updates").mkdir(parents=True)
    (root / "var/lib/dpkg/status").write_text("")
    installed = run("dpkg", f"--root={root}", "--force-depends", "--force-not-root",
                    "-i", str(deb))
    assert installed.returncode == 0, installed.stdout + installed.stderr
    files = run("dpkg", f"--root={root}", "-L", "korvex-updater").stdout.split()
    for path in INSTALLED:
        assert "/usr/" + path in files, path
    result = run(str(root / "usr/bin/Updater"), "-h", timeout=60)
    assert result.returncode == 0 and "Application Usage:" in result.stderr

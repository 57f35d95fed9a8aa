"""A guard every black-box test passes its updater command line through,
so that no test reaches beyond this machine, or into the real home's store,
by mistake."""
import os
import re

import pytest

SERVER_COMMANDS = {"-B", "-G", "-J", "-U"}
LOOPBACK_PREFIXES = ("http://127.", "https://127.", "http://localhost", "https://localhost",
                     "http://[::1]", "https://[::1]")
# -u also takes a bare host or host:port.
LOOPBACK_HOST = re.compile(r"(127(\.\d{1,3}){3}|localhost|\[::1\])(:\d+)?")


def is_loopback_server(url):
    return url.startswith(LOOPBACK_PREFIXES) or LOOPBACK_HOST.fullmatch(url) is not None


def gives_storage_directory(args):
    return any(a == "-i" or a.startswith("-i=") for a in args)


def check_network_safety(args, env=None):
    """Refuses a test run that could reach beyond this machine: commands that
    ask an update server must name one on loopback, and network discovery
    runs only inside a namespace the test made (UPDATER_TEST_NETNS=1).
    Every run names its storage directory with -i, so that the store in the
    real home directory is never touched."""
    args = list(args)
    if not gives_storage_directory(args):
        pytest.fail("test would use the store in the real home directory: pass -i with a "
                    "temporary directory")
    if SERVER_COMMANDS & set(args):
        urls = [args[i + 1] for i, a in enumerate(args[:-1]) if a == "-u"]
        urls += [a[3:] for a in args if a.startswith("-u=")]
        if not urls or not all(is_loopback_server(u) for u in urls):
            pytest.fail("test would contact a non-loopback update server: pass -u with a "
                        "loopback URL")
    if "-D" in args and any(a.startswith("TCP") or a.startswith("-t=TCP") for a in args):
        if (env or {}).get("UPDATER_TEST_NETNS") != "1" and \
                os.environ.get("UPDATER_TEST_NETNS") != "1":
            pytest.fail("network discovery runs only inside a test network namespace")

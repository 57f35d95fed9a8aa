"""A guard every black-box test passes its updater command line through,
so that no test reaches beyond this machine by mistake."""
import os

import pytest

SERVER_COMMANDS = {"-B", "-G", "-J", "-U"}
LOOPBACK_PREFIXES = ("http://127.", "https://127.", "http://localhost", "https://localhost",
                     "http://[::1]", "https://[::1]")


def check_network_safety(args, env=None):
    """Refuses a test run that could reach beyond this machine: commands that
    ask an update server must name one on loopback, and network discovery
    runs only inside a namespace the test made (UPDATER_TEST_NETNS=1)."""
    args = list(args)
    if SERVER_COMMANDS & set(args):
        urls = [args[i + 1] for i, a in enumerate(args[:-1]) if a == "-u"]
        urls += [a[3:] for a in args if a.startswith("-u=")]
        if not urls or not all(u.startswith(LOOPBACK_PREFIXES) for u in urls):
            pytest.fail("test would contact a non-loopback update server: pass -u with a "
                        "loopback URL")
    if "-D" in args and any(a.startswith("TCP") or a.startswith("-t=TCP") for a in args):
        if (env or {}).get("UPDATER_TEST_NETNS") != "1" and \
                os.environ.get("UPDATER_TEST_NETNS") != "1":
            pytest.fail("network discovery runs only inside a test network namespace")

"""Shared fixtures of the black-box tests: where the built programs are, and
a guard that no test touches the store in the real home directory."""
import os
import pathlib
import pwd
import subprocess

import pytest

from netsafety import check_network_safety, gives_storage_directory

BINARY_DIR = pathlib.Path(os.environ.get("UPDATER_BINARY_DIR", "build/release"))
SOURCE_DIR = pathlib.Path(os.environ.get("UPDATER_SOURCE_DIR", "."))


def program(*parts):
    path = BINARY_DIR.joinpath(*parts)
    if not path.exists():
        pytest.fail(f"{path} has not been built")
    return str(path)


def real_store_listing():
    """Names, sizes and modification times below the store the updater uses
    without -i: the password database's home first, as the updater does."""
    store = pathlib.Path(pwd.getpwuid(os.getuid()).pw_dir) / ".velmaris" / "updater"
    if not store.exists():
        return store, None
    listing = {}
    for path in [store, *store.rglob("*")]:
        info = path.lstat()
        listing[str(path.relative_to(store))] = (info.st_size, info.st_mtime_ns)
    return store, listing


@pytest.fixture(scope="session", autouse=True)
def real_home_store_untouched():
    store, before = real_store_listing()
    yield
    _, after = real_store_listing()
    if after != before:
        pytest.fail(f"the tests changed the real store {store}: every run of the updater "
                    "must name a temporary directory with -i")


@pytest.fixture
def updater():
    return program("app", "Updater")


@pytest.fixture
def run_updater(updater, tmp_path):
    """Runs the updater with a private HOME and, unless the test names its
    own, -i below that HOME; returns the CompletedProcess."""
    home = tmp_path / "home"

    def run(*args, env=None, timeout=60):
        if not gives_storage_directory(args):
            args = (*args, "-i", str(home / ".velmaris"))
        check_network_safety(args, env)
        environment = dict(os.environ)
        environment["HOME"] = str(home)
        if env:
            environment.update(env)
        return subprocess.run([updater, *args], capture_output=True, text=True,
                              env=environment, timeout=timeout)

    return run

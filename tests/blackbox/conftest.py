"""Shared fixtures of the black-box tests: where the built programs are."""
import os
import pathlib
import subprocess

import pytest

from netsafety import check_network_safety

BINARY_DIR = pathlib.Path(os.environ.get("UPDATER_BINARY_DIR", "build/release"))
SOURCE_DIR = pathlib.Path(os.environ.get("UPDATER_SOURCE_DIR", "."))


def program(*parts):
    path = BINARY_DIR.joinpath(*parts)
    if not path.exists():
        pytest.fail(f"{path} has not been built")
    return str(path)


@pytest.fixture
def updater():
    return program("app", "Updater")


@pytest.fixture
def run_updater(updater, tmp_path):
    """Runs the updater with a private HOME; returns the CompletedProcess."""

    def run(*args, env=None, timeout=60):
        check_network_safety(args, env)
        environment = dict(os.environ)
        environment.setdefault("HOME", str(tmp_path / "home"))
        environment["HOME"] = str(tmp_path / "home")
        if env:
            environment.update(env)
        return subprocess.run([updater, *args], capture_output=True, text=True,
                              env=environment, timeout=timeout)

    return run

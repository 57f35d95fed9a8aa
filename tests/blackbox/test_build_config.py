"""Configuring a build tree again changes none of its compile or link
commands, so nothing is rebuilt after a second configure."""
import os
import pathlib
import shutil
import subprocess

import pytest

SOURCE = pathlib.Path(os.environ.get("UPDATER_SOURCE_DIR", ".")).resolve()


def commands(tree):
    """Every compile-flag and link-command file of the tree, by path."""
    files = list(tree.rglob("flags.make")) + list(tree.rglob("link.txt"))
    return {str(f.relative_to(tree)): f.read_text() for f in files}


@pytest.mark.skipif(shutil.which("cmake") is None, reason="no cmake")
def test_a_second_configure_changes_no_build_command(tmp_path):
    tree = tmp_path / "tree"
    configure = ["cmake", "-S", str(SOURCE), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release"]
    subprocess.run(configure, check=True, capture_output=True, timeout=300)
    first = commands(tree)
    assert any("korvex.dir" in name for name in first)
    subprocess.run(configure, check=True, capture_output=True, timeout=300)
    second = commands(tree)
    changed = [name for name in first if first[name] != second.get(name)]
    assert not changed and first.keys() == second.keys(), changed

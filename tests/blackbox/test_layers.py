"""The layers of the tree: the library layers below the application never
include anything of it."""
import re

from conftest import SOURCE_DIR

LOWER_LAYERS = ("common", "api", "log", "store", "server", "recovery")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def test_lower_layers_include_nothing_of_the_application():
    offending = []
    for layer in LOWER_LAYERS:
        for path in sorted((SOURCE_DIR / layer).rglob("*")):
            if path.suffix not in (".h", ".hpp", ".c", ".cc", ".cpp"):
                continue
            for included in INCLUDE.findall(path.read_text(errors="replace")):
                if included.startswith(("app/", "sim/", "tools/", "tests/")):
                    offending.append(f"{path.relative_to(SOURCE_DIR)}: {included}")
    assert offending == []

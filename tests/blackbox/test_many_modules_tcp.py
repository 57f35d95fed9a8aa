"""Several modules over TCP/IP updated by one updater's threads, inside the
network namespace the simulator makes; this one also runs under
ThreadSanitizer (the USB world's preload hides descriptor hand-offs from
it)."""
import json

from simhost import run_in_world
from test_many_modules import RACK, needs_root, repo, server  # noqa: F401 (fixtures)
from update_server_support import UPDATER


@needs_root
def test_modules_over_tcp_are_updated_together(tmp_path, server, repo):  # noqa: F811
    world = []
    for serial in RACK:
        world += ["--module", f"serial={serial},model=13,tcp"]
    r, status = run_in_world(tmp_path, world, UPDATER,
                             ["--json", "-u", server.url, "-U", "-d", ",".join(RACK), "-f",
                              str(repo / "kxdaq8-1300.bird"), "-i", str(tmp_path)],
                             netns=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr[-3000:]
    found = [json.loads(line) for line in r.stdout.splitlines()]
    assert sorted(o["serial"] for o in found if o["type"] == "update" and o["outcome"] == "updated") == RACK
    assert all(m["build_now"] == 1300 for m in status["modules"])

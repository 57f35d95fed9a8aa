"""korvex-sim over a pseudo-terminal, driven by a scripted host."""
import os
import time

from simhost import Host, Sim, be32


def test_pty_link_answers_like_tcp(tmp_path):
    link = tmp_path / "korvex0"
    with Sim("--module", f"serial=0000CAFE,model=17,name=serial-one,pty_link={link}") as sim:
        path = sim.pty()
        assert os.path.realpath(link) == path
        assert f"pty   {path}" in sim.output()
        h = Host.pty(str(link))
        assert h.sync() == 2
        assert h.get(2, 3, 8) == (2, bytes([3, 8, 0, 17]))
        assert be32(h.get(2, 3, 9)[1][3:]) == 0xCAFE
        assert h.get_array(2, 3, 32) == b"serial-one"
        # A few bytes of firmware through the upgrade command set.
        assert h.request(2, 95, 3, 0, 0, 0, 0, 0)[1] == bytes([95, 7, 0, 2, 0])
        assert h.request(2, 95, 1, 1, 2, 3)[1] == bytes([95, 1, 3])
        assert h.request(2, 95, 4)[1] == bytes([95, 7, 0, 0, 0, 0, 6])
        assert h.request(2, 95, 5, 0, 3)[1] == bytes([95, 7, 0])
        h.close()
        # Another host opens the same terminal later.
        h2 = Host.pty(path)
        assert h2.sync() == 2
        h2.close()
    assert not link.exists()  # the link is removed at exit


def test_reset_over_pty_makes_the_module_away_for_a_while():
    with Sim("--module", "serial=1,pty,reset_away_ms=400") as sim:
        h = Host.pty(sim.pty())
        assert h.set(2, 3, 11) == (2, bytes([3, 0xCB, 0]))
        assert h.request(0xAD, timeout=0.2) is None  # rebooting: no answer
        time.sleep(0.4)
        assert h.request(0xAD) == (2, b"")


def test_module_on_tcp_and_pty_answers_where_it_was_asked():
    with Sim("--module", "serial=1,tcp,pty") as sim:
        p = Host.pty(sim.pty())
        t = Host.tcp(sim.port())
        assert p.request(0xAD) == (2, b"")
        assert t.request(0xAD) == (2, b"")
        assert p.packet(0.3) is None

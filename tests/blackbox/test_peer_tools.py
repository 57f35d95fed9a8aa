"""Independent boot-ROM tools from Debian drive korvex-sim's boot ROMs on a
pseudo-terminal: whatever they refuse, our stand-ins do differently from
the chips they were written against."""
import os
import random
import struct
import subprocess

from simhost import Sim

FLASH = 0x80000


def run_tool(args, timeout):
    return subprocess.run(args, capture_output=True, text=True, errors="replace", timeout=timeout)


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def lpc_flash_after(tmp_path, data, options):
    """The flash dump after lpc21isp programmed `data` with `options`."""
    img = tmp_path / "image.bin"
    img.write_bytes(data)
    dump = tmp_path / "flash.bin"
    link = tmp_path / "lpc"
    with Sim("--lpc", f"pty_link={link},flash_dump={dump}") as sim:
        r = run_tool(["lpc21isp", "-bin", *options, str(img), str(link), "230400", "12000"], timeout=120)
        out = r.stdout + r.stderr
        assert r.returncode == 0, out[-2000:]
        assert "Wrong answer" not in out, out[-2000:]
    return dump.read_bytes()  # written when the program was started, and at exit


def test_lpc21isp_wipes_programs_and_verifies_64k_and_256k(tmp_path):
    for size in (64 * 1024, 256 * 1024):
        data = image(size, size)
        work = tmp_path / str(size)
        work.mkdir()
        flash = lpc_flash_after(work, data, ["-wipe", "-verify"])
        assert len(flash) == FLASH
        # The tool writes the vector checksum itself (word 7: the words 0-7
        # sum to zero), as the chip's boot ROM demands; the rest is the image.
        words = struct.unpack("<8I", flash[:32])
        assert sum(words) & 0xFFFFFFFF == 0
        assert flash[:28] == data[:28]
        assert flash[32:size] == data[32:]
        assert flash[size:] == b"\xFF" * (FLASH - size)


def test_imx_uart_associates_loads_verifies_and_jumps(tmp_path):
    data = image(64 * 1024, 7)
    (tmp_path / "loader.bin").write_bytes(data)
    conf = tmp_path / "imx.conf"
    conf.write_text("sim_imx\nhid,1024,0x20000000,0x20000000,512K\n"
                    "loader.bin:load 0x20000400,jump 0x20000400\n")
    link = tmp_path / "imx"
    with Sim("--imx", f"serial=1234ABCD,pty,pty_link={link}") as sim:
        # Without -N: the association phase comes first; -v reads every
        # byte back with read register.
        r = subprocess.run(["stdbuf", "-o0", "imx_uart", "-n", "-v", str(link), str(conf)], cwd=tmp_path,
                           capture_output=True, text=True, errors="replace", timeout=60)
        out = r.stdout + r.stderr
        assert r.returncode == 0, out[-2000:]
        assert "association phase succeeded, response was 0x23454523" in out, out[-2000:]
        assert "succeeded (security 0x56787856, status 0x88888888)" in out, out[-2000:]
        assert "Verify success" in out and "mismatch" not in out, out[-2000:]
        assert "jumping to" in out, out[-2000:]
        assert sim.wait_output("loader started at", timeout=5), sim.output()[-2000:]

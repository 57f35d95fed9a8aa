"""korvex-sim's LPC boot ROM on a pseudo-terminal, spoken to from Python in
ISP text over a terminal set to the rate a real programmer would use."""
import json
import os
import select
import subprocess
import termios
import time

from simhost import SIM, Sim

RAM = 0x10001000


class Line:
    """The host end of the terminal: raw, at the given rate."""

    def __init__(self, path, rate=termios.B115200):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        t = termios.tcgetattr(self.fd)
        t[0] = t[1] = t[3] = 0
        t[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        t[4] = t[5] = rate
        t[6][termios.VMIN] = 0
        t[6][termios.VTIME] = 0
        termios.tcsetattr(self.fd, termios.TCSANOW, t)
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        self.buf = b""

    def close(self):
        os.close(self.fd)

    def say(self, text):
        os.write(self.fd, text.encode() if isinstance(text, str) else text)

    def until(self, end, timeout=5.0):
        """Bytes up to and including `end`; None when it does not come in time."""
        deadline = time.monotonic() + timeout
        while end not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                self.buf += os.read(self.fd, 4096)
        i = self.buf.index(end) + len(end)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def lines(self, n, timeout=5.0):
        return [self.until(b"\r\n", timeout) for _ in range(n)]

    def sync(self):
        self.say("?")
        assert self.until(b"\r\n") == b"Synchronized\r\n"
        self.say("Synchronized\r\n")
        assert self.until(b"OK\r\n") == b"Synchronized\r\nOK\r\n"
        self.say("14746\r\n")
        assert self.until(b"OK\r\n") == b"14746\r\nOK\r\n"

    def command(self, text, extra=0):
        """A command with echo off: its code and `extra` more lines."""
        self.say(text + "\r\n")
        return [l.decode().strip() for l in self.lines(1 + extra)]


def uu(data):
    def c(v):
        return chr(v + 32) if v else "`"
    s = chr(len(data) + 32)
    padded = data + bytes(-len(data) % 3)
    for i in range(0, len(padded), 3):
        w = padded[i] << 16 | padded[i + 1] << 8 | padded[i + 2]
        s += c(w >> 18) + c((w >> 12) & 63) + c((w >> 6) & 63) + c(w & 63)
    return s


def write_ram(line, data):
    assert line.command(f"W {RAM} {len(data)}") == ["0"]
    for block in range(0, len(data), 900):
        chunk = data[block:block + 900]
        for i in range(0, len(chunk), 45):
            line.say(uu(chunk[i:i + 45]) + "\r\n")
        line.say(f"{sum(chunk)}\r\n")
        assert line.until(b"\r\n") == b"OK\r\n"


def test_lpc_rom_syncs_identifies_and_programs_its_flash(tmp_path):
    dump = tmp_path / "flash.bin"
    link = tmp_path / "lpc0"
    with Sim("--lpc", f"id=1:2:3:0xCAFE,pty_link={link},flash_dump={dump},erase_ms=2") as sim:
        rom = sim.status["lpc"][0]
        assert os.path.realpath(link) == rom["pty"]
        line = Line(str(link))
        line.sync()
        # Echo is on after synchronisation.
        line.say("N\r\n")
        assert line.lines(6) == [b"N\r\n", b"0\r\n", b"1\r\n", b"2\r\n", b"3\r\n", b"51966\r\n"]
        line.say("A 0\r\n")  # its echo and code come under the old setting
        assert line.lines(2) == [b"A 0\r\n", b"0\r\n"]
        assert line.command("U 23130") == ["0"]
        assert line.command("E 0 29") == ["9"]  # not prepared
        assert line.command("P 0 29") == ["0"]
        assert line.command("E 0 29") == ["0"]
        data = bytes((i * 7 + 1) & 0xFF for i in range(1024))
        write_ram(line, data)
        assert line.command("P 0 0") == ["0"]
        assert line.command(f"C 0 {RAM} 1024") == ["0"]
        assert line.command(f"C 1024 {RAM} 256") == ["9"]  # the prepare is used up
        # Read back the first 8 bytes of flash.
        got = line.command("R 0 8", extra=2)
        assert got == ["0", uu(data[:8]), str(sum(data[:8]))]
        line.say("OK\r\n")
        assert line.command("G 0 T") == ["0"]
        assert sim.wait_output("leaving ISP")
        line.close()
        deadline = time.monotonic() + 5
        while not (dump.exists() and dump.stat().st_size == 512 * 1024) and time.monotonic() < deadline:
            time.sleep(0.05)
        flash = dump.read_bytes()
        assert flash[:1024] == data and flash[1024:] == b"\xff" * (512 * 1024 - 1024)
        time.sleep(0.2)  # the status file follows within 50 ms
        with open(sim.status_path) as f:
            rom = json.load(f)["lpc"][0]
        c = rom["counters"]
        assert rom["running"] and rom["rate"] == 115200
        assert c["commands"] == {"?": 1, "A": 1, "C": 2, "E": 2, "G": 1, "N": 1, "P": 2, "R": 1, "U": 1, "W": 1}
        assert (c["data_lines_in"], c["checksums_ok"], c["data_lines_out"]) == (23, 2, 1)
        assert c["sectors_erased"] == 30 and c["nonblank_writes"] == 0


def test_lpc_rom_paces_its_output_to_the_rate_the_host_set(tmp_path):
    with Sim("--lpc", "erase_ms=0") as sim:
        line = Line(sim.status["lpc"][0]["pty"], termios.B9600)
        line.sync()
        line.say("A 0\r\n")
        assert line.lines(2) == [b"A 0\r\n", b"0\r\n"]
        # 1024 bytes come as about 1450 characters: 1.5 s at 9600 bit/s.
        # A generous lower bound only shows that pacing is there.
        start = time.monotonic()
        first = line.command("R 0 1024", extra=21)
        line.say("OK\r\n")
        rest = line.lines(4)
        line.say("OK\r\n")
        elapsed = time.monotonic() - start
        assert first[0] == "0" and first[21] == str(900 * 255)
        assert rest[-1] == f"{124 * 255}\r\n".encode()
        assert elapsed > 0.5
        line.close()
        assert sim.wait_output("pacing at 9600 bit/s")


def test_lpc_rom_faults_from_a_world_file(tmp_path):
    world = tmp_path / "world.json"
    world.write_text(json.dumps({"lpc": [
        {"name": "bad", "faults": ["error=E:9", "stray-bytes", "resend=1"]},
        {"name": "mute", "faults": ["silent"]}]}))
    with Sim("--world", str(world)) as sim:
        bad, mute = sim.status["lpc"]
        assert (bad["name"], mute["name"]) == ("bad", "mute")
        line = Line(bad["pty"])
        line.sync()
        line.say("A 0\r\n")
        # Stray bytes before the first answer.
        assert line.lines(3) == [b"A 0\r\n", b"\r\n", b"\x000\r\n"]
        assert line.command("U 23130") == ["0"]
        assert line.command("P 0 0") == ["0"]
        assert line.command("E 0 0") == ["9"]
        line.say(f"W {RAM} 4\r\n" + uu(b"\x01\x02\x03\x04") + "\r\n10\r\n")
        assert line.lines(2) == [b"0\r\n", b"RESEND\r\n"]
        line.say(uu(b"\x01\x02\x03\x04") + "\r\n10\r\n")
        assert line.until(b"\r\n") == b"OK\r\n"
        line.close()
        silent = Line(mute["pty"])
        silent.say("?")
        assert silent.until(b"\r\n", timeout=0.5) is None
        silent.close()


def test_lpc_rom_terminal_is_named_to_a_command_run_inside_the_world():
    out = subprocess.run([SIM, "--lpc", "name=main", "--", "sh", "-c",
                          'test -c "$KORVEX_SIM_LPC_PTY" && test "$KORVEX_SIM_LPC_PTY" = "$KORVEX_SIM_LPC_main_PTY"'],
                         capture_output=True, timeout=30)
    assert out.returncode == 0, out.stderr
    bad = subprocess.run([SIM, "--lpc", "id=1:2"], capture_output=True, timeout=30)
    assert bad.returncode == 2 and b"W1:W2:W3:W4" in bad.stderr

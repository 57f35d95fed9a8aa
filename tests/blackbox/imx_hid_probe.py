"""Test helper run inside a korvex-sim world: speaks to the simulated i.MX
boot ROM with hidapi's own calls (hid_open, hid_write, hid_read_timeout),
raw reports written out by hand.
  imx_hid_probe.py STEP...   STEP: status | write:ADDR:COUNT | read:ADDR |
                                   jump:ADDR | gone
Each step prints one line with the input reports it got (report id first,
in hex); "gone" prints whether the ROM can no longer be opened."""
import ctypes
import sys
import time

hid = ctypes.CDLL("libhidapi-hidraw.so.0")
hid.hid_open.restype = ctypes.c_void_p
hid.hid_open.argtypes = [ctypes.c_ushort, ctypes.c_ushort, ctypes.c_wchar_p]
hid.hid_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
hid.hid_read_timeout.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
hid.hid_close.argtypes = [ctypes.c_void_p]


def command(kind, address=0, fmt=0, count=0):
    return (bytes([1]) + kind.to_bytes(2, "big") + address.to_bytes(4, "big") + bytes([fmt]) +
            count.to_bytes(4, "big") + bytes(5))


def reports(dev, wait_ms=300):
    got = []
    buf = ctypes.create_string_buffer(65)
    deadline = time.monotonic() + wait_ms / 1000
    while time.monotonic() < deadline and len(got) < 8:
        n = hid.hid_read_timeout(dev, buf, 65, 50)
        if n < 0:
            break
        if n > 0:
            got.append(buf.raw[:n].hex())
            if buf.raw[0] == 4:
                break
        else:
            time.sleep(0.01)
    return got


def main():
    hid.hid_init()
    dev = hid.hid_open(0x1FC9, 0x0130, None)
    if not dev and sys.argv[1:] != ["gone"]:
        print("FAIL open")
        return 1
    for step in sys.argv[1:]:
        parts = step.split(":")
        if parts[0] == "gone":
            if dev:
                hid.hid_close(dev)
            time.sleep(0.3)
            print("gone", "yes" if not hid.hid_open(0x1FC9, 0x0130, None) else "no")
            dev = None
            continue
        if parts[0] == "status":
            hid.hid_write(dev, command(0x0505), 17)
        elif parts[0] == "read":
            hid.hid_write(dev, command(0x0101, int(parts[1], 16), 0x20, 4), 17)
        elif parts[0] == "jump":
            hid.hid_write(dev, command(0x0B0B, int(parts[1], 16)), 17)
        elif parts[0] == "write":
            address, count = int(parts[1], 16), int(parts[2])
            hid.hid_write(dev, command(0x0404, address, 0x20, count), 17)
            image = bytes((i * 7) & 0xFF for i in range(count))
            for at in range(0, count, 1024):
                chunk = bytes([2]) + image[at:at + 1024]
                hid.hid_write(dev, chunk, len(chunk))
        print(parts[0], " ".join(reports(dev)))
        sys.stdout.flush()
    if dev:
        hid.hid_close(dev)
    hid.hid_exit()
    return 0


sys.exit(main())

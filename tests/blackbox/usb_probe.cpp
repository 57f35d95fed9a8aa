// Test helper run inside a korvex-sim world: finds the simulated modules
// with the real libusb, talks to one over its bulk endpoints and, with
// "load", starts its loader and watches it re-enumerate; with "hold" it
// keeps the module's interface claimed while COMMAND runs.
//   usb_probe SERIAL [load|reboot|hold COMMAND...]
#include <libusb-1.0/libusb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/aUSBDefs.h"

namespace {

struct Found {
  std::string serial;
  int product;
  int address;
};

std::vector<Found> List(libusb_context* ctx) {
  std::vector<Found> out;
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    if (!aKorvexUSB_IsModule(d.idVendor, d.idProduct)) continue;
    libusb_device_handle* h = nullptr;
    if (libusb_open(list[i], &h) != 0) continue;
    unsigned char s[33] = {};
    int len = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, s, 32);
    libusb_close(h);
    if (len > 0) out.push_back({std::string(reinterpret_cast<char*>(s), size_t(len)), d.idProduct,
                                libusb_get_device_address(list[i])});
  }
  libusb_free_device_list(list, 1);
  return out;
}

bool Exchange(libusb_device_handle* h, uint8_t out, uint8_t in, const std::vector<uint8_t>& request,
              std::vector<uint8_t>& reply, size_t want) {
  int done = 0;
  if (libusb_bulk_transfer(h, out, const_cast<uint8_t*>(request.data()), int(request.size()), &done, 1000) != 0)
    return false;
  reply.clear();
  for (int tries = 0; tries < 20 && reply.size() < want; ++tries) {
    uint8_t buf[1024];
    int got = 0;
    int r = libusb_bulk_transfer(h, in, buf, sizeof buf, &got, 200);
    if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) return false;
    reply.insert(reply.end(), buf, buf + got);
  }
  return reply.size() >= want;
}

void Print(const char* what, const std::vector<uint8_t>& bytes) {
  std::printf("%s", what);
  for (uint8_t b : bytes) std::printf(" %02X", b);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: usb_probe SERIAL [load]\n");
    return 2;
  }
  std::string serial = argv[1];
  bool load = argc > 2 && std::strcmp(argv[2], "load") == 0;
  bool reboot = argc > 2 && std::strcmp(argv[2], "reboot") == 0;
  bool hold = argc > 3 && std::strcmp(argv[2], "hold") == 0;
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return 3;
  std::vector<int> before;  // device numbers on the bus at the start
  for (const Found& f : List(ctx)) {
    std::printf("found %s product %04X device %d\n", f.serial.c_str(), f.product, f.address);
    before.push_back(f.address);
  }

  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device_handle* h = nullptr;
  uint8_t in = 0, out = 0;
  int iface = -1, address = 0;
  for (ssize_t i = 0; i < n && !h; ++i) {
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(list[i], &d);
    if (!aKorvexUSB_IsModule(d.idVendor, d.idProduct)) continue;
    libusb_device_handle* cand = nullptr;
    if (libusb_open(list[i], &cand) != 0) continue;
    unsigned char s[33] = {};
    libusb_get_string_descriptor_ascii(cand, d.iSerialNumber, s, 32);
    if (serial != reinterpret_cast<char*>(s)) {
      libusb_close(cand);
      continue;
    }
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(list[i], 0, &cfg) == 0) {
      for (int k = 0; k < cfg->bNumInterfaces; ++k) {
        const libusb_interface_descriptor& alt = cfg->interface[k].altsetting[0];
        if (alt.bInterfaceClass != aKORVEX_USB_INTERFACE_CLASS || alt.bInterfaceSubClass != aKORVEX_USB_INTERFACE_SUBCLASS ||
            alt.bInterfaceProtocol != aKORVEX_USB_INTERFACE_PROTOCOL)
          continue;
        iface = alt.bInterfaceNumber;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
          uint8_t a = alt.endpoint[e].bEndpointAddress;
          if (a & 0x80) in = a; else out = a;
        }
      }
      libusb_free_config_descriptor(cfg);
    }
    address = libusb_get_device_address(list[i]);
    h = cand;
  }
  libusb_free_device_list(list, 1);
  if (!h || iface < 0 || !in || !out) {
    std::printf("module %s not found\n", serial.c_str());
    return 4;
  }
  if (libusb_claim_interface(h, iface) != 0) return 5;
  std::vector<uint8_t> reply;
  if (!Exchange(h, out, in, {0xAD, 0, 0xAD, 0}, reply, 4)) return 6;
  Print("identify", reply);
  if (!Exchange(h, out, in, {reply[0], 3, 3, 0x49, 0x20}, reply, 9)) return 7;
  Print("serial", reply);
  int code = 0;
  if (load) {
    if (!Exchange(h, out, in, {reply[0], 2, 95, 2}, reply, 4)) return 8;
    Print("load", reply);
  }
  if (hold) {  // another program meets the claimed interface
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      execvp(argv[3], argv + 3);
      _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return 10;
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 11;
  }
  if (reboot) {  // no answer: the module leaves the bus
    int done = 0;
    uint8_t req[] = {reply[0], 2, 95, 6};
    if (libusb_bulk_transfer(h, out, req, sizeof req, &done, 1000) != 0) return 8;
    std::printf("reboot sent\n");
    load = true;
  }
  libusb_release_interface(h, iface);
  libusb_close(h);
  libusb_exit(ctx);
  if (load) {
    // The module leaves the bus and comes back as a new device (one that was
    // not there at the start).
    code = 9;
    for (int tries = 0; tries < 50 && code; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      libusb_context* c2 = nullptr;
      if (libusb_init(&c2) != 0) continue;
      for (const Found& f : List(c2)) {
        if (f.address != address && std::find(before.begin(), before.end(), f.address) == before.end()) {
          std::printf("re-enumerated %s device %d\n", f.serial.c_str(), f.address);
          code = 0;
        }
      }
      libusb_exit(c2);
    }
  }
  std::fflush(stdout);
  return code;
}

// Test helper run inside a korvex-sim world: the host's link engine and UEI
// layer reach a simulated module over USB, TCP or a serial port, read its
// identity and take it through the start of an upgrade.
//   link_probe usb SERIAL | tcp PORT | serial PATH   [load|reboot [AGAIN_SERIAL]]
//   link_probe usb SERIAL ident [reset]   (identity, then the identifier
//       words of system option 39, subindex 0 to 3; then a reset)
// With AGAIN_SERIAL the module is looked for over USB after LOAD under that
// serial number (its own, or DEADDEAD for a loader that presents that).
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "common/kxusb_driver.h"

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

int Fail(const char* what) {
  std::printf("FAIL %s\n", what);
  return 1;
}

struct Match {
  uint8_t b0, b1;
};
uint8_t MatchTwo(const aPacket* p, const void* ref) {
  const Match* m = static_cast<const Match*>(ref);
  return p->dataSize >= 2 && p->data[0] == m->b0 && p->data[1] == m->b1;
}

PacketPtr Exchange(uint32_t link, uint8_t address, const std::vector<uint8_t>& data, uint8_t r1) {
  PacketPtr p(aPacket_CreateWithData(address, uint8_t(data.size()), data.data()));
  if (aLink_PutPacket(link, p.get()) != aErrNone) return nullptr;
  Match m{data[0], r1};
  return PacketPtr(aLink_AwaitFirst(link, MatchTwo, &m, 1000));
}

aErr Get(uint32_t link, uint8_t address, uint8_t option, uei& out, int subindex = -1) {
  uei req{};
  req.address = address;
  req.command = cmdSYSTEM;
  req.option = uint8_t(option | aUEI_GET);
  aErr e = subindex < 0 ? aUEI_Send(link, &req) : aUEI_SendSubindex(link, &req, uint8_t(subindex));
  if (e != aErrNone) return e;
  out = uei{};
  out.address = address;
  out.command = cmdSYSTEM;
  out.option = option;
  return aUEI_Receive(link, &out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: link_probe usb SERIAL | tcp PORT | serial PATH [load]\n");
    return 2;
  }
  std::string kind = argv[1];
  bool load = argc > 3 && std::strcmp(argv[3], "load") == 0;
  bool reboot = argc > 3 && std::strcmp(argv[3], "reboot") == 0;  // REBOOT after the chunk
  uint32_t link = 0;
  if (kind == "usb") link = aLink_CreateUSB(uint32_t(std::strtoul(argv[2], nullptr, 16)));
  else if (kind == "tcp") link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), uint16_t(std::atoi(argv[2])));
  else if (kind == "serial") link = aLink_CreateSerial(1, argv[2], 115200);
  if (!link) return Fail("link");
  if (kind != "usb" && aLink_Sync(link) != aErrNone) return Fail("sync");
  std::printf("link running %d\n", aLink_GetStatus(link) == kLinkStateRunning);

  uei v;
  if (Get(link, 2, 8, v) != aErrNone) return Fail("model");
  std::printf("model %u\n", v.v.byteVal);
  if (Get(link, 2, 9, v) != aErrNone) return Fail("serial");
  std::printf("serial %08X\n", v.v.intVal);
  std::printf("unimplemented %s\n", Get(link, 2, 50, v) == aErrUnimplemented ? "yes" : "no");
  if (argc > 3 && std::strcmp(argv[3], "ident") == 0) {
    for (int j = 0; j < 4; ++j) {
      if (Get(link, 2, 39, v, j) != aErrNone) return Fail("identifier");
      std::printf("ident %d %08X\n", j, v.v.intVal);
    }
    if (argc > 4 && std::strcmp(argv[4], "reset") == 0)
      std::printf("reset %s\n", Exchange(link, 2, {cmdSYSTEM, aUEI_SET | 11, aUEI_REQUEST}, aUEI_ACK | 11) ? "acknowledged" : "not acknowledged");
    aLink_Destroy(&link);
    Korvex_libusb_exit();
    std::printf("done\n");
    return 0;
  }

  PacketPtr r = Exchange(link, 2, {95, 3, 0, 0, 0, 0x10, 0}, 7);
  if (!r || r->data[2] != 0) return Fail("prepare");
  uint32_t sum = 0;
  for (uint8_t k = 0; k < 4; ++k) {
    std::vector<uint8_t> d{95, 1};
    for (uint8_t i = 0; i < 26; ++i) d.push_back(uint8_t(k * 26 + i));
    r = Exchange(link, 2, d, 1);
    if (!r || r->data[2] != 26) return Fail("data");
    for (size_t i = 2; i < d.size(); ++i) sum += d[i];
  }
  r = Exchange(link, 2, {95, 4}, 7);
  if (!r || aUEI_RetrieveInt(r->data + 3) != sum) return Fail("sum");
  r = Exchange(link, 2, {95, 5, 0, 104}, 7);
  if (!r || r->data[2] != 0) return Fail("write");
  std::printf("upgrade chunk written, sum %08X\n", sum);
  if (load) {
    r = Exchange(link, 2, {95, 2}, 2);
    std::printf("load %s\n", r ? "answered" : "not answered");
  }
  if (reboot) {  // not answered: the module leaves
    PacketPtr p(aPacket_CreateWithData(2, 2, std::vector<uint8_t>{95, 6}.data()));
    std::printf("reboot %s\n", aLink_PutPacket(link, p.get()) == aErrNone ? "sent" : "not sent");
    usleep(200000);
  }
  aLink_Destroy(&link);
  Korvex_libusb_exit();
  if ((load || reboot) && argc > 4) {
    uint32_t again = uint32_t(std::strtoul(argv[4], nullptr, 16));
    for (int tries = 0; tries < 30 && !link; ++tries) {
      usleep(100000);
      link = aLink_CreateUSB(again);
      if (!link) Korvex_libusb_exit();  // a fresh enumeration next time
    }
    if (!link) return Fail("reconnect");
    if (Get(link, 2, 9, v) != aErrNone) return Fail("serial after load");
    std::printf("reconnected, serial %08X\n", v.v.intVal);
    aLink_Destroy(&link);
    Korvex_libusb_exit();
  }
  std::printf("done\n");
  return 0;
}

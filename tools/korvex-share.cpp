// korvex-share: one USB module used by several programs at once.
//   korvex-share hold SERIAL [INTERFACE]
//       opens the module on USB behind a sharing server and holds it until
//       Ctrl-C; other programs reach it through the server. The server is
//       local only, unless an IPv4 INTERFACE is given: then it is open to
//       the network there (0.0.0.0: the first interface) and answers search
//       beacons.
//   korvex-share watch SERIAL [INTERFACE]
//       finds the module's shared link (on this host, or by beacons on the
//       IPv4 INTERFACE), connects as a client and prints the module's serial
//       number, version and name.
// Exit code 0 on success, 1 when the module could not be held or found, 2
// for a usage error.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aLink.h"
#include "common/aVersion.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"

using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

constexpr uint8_t kModuleAddress = 2;

int Usage() {
  std::fprintf(stderr, "usage: korvex-share hold SERIAL [INTERFACE] | watch SERIAL [INTERFACE]\n");
  return 2;
}

bool ParseSerial(const char* text, uint32_t* serial) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 16);
  if (end == text || *end != '\0' || value == 0 || value > 0xFFFFFFFFul) return false;
  *serial = static_cast<uint32_t>(value);
  return true;
}

int Hold(uint32_t serial, bool localOnly, uint32_t interface) {
  // Ctrl-C and SIGTERM are waited for, not handled: the link goes down in
  // order before the process ends.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  aDiscovery_PrepareMessaging();
  aDiscovery_InstallAnnouncer();
  uint16_t port = 0;
  uint32_t id = aLink_CreateServer(serial, &port, &interface, localOnly ? 1 : 0);
  if (id == 0) {
    std::printf("module %08X not held\n", serial);
    Korvex_libusb_exit();
    return 1;
  }
  char where[INET_ADDRSTRLEN] = "?";
  in_addr address;
  address.s_addr = interface;
  inet_ntop(AF_INET, &address, where, sizeof(where));
  if (localOnly)
    std::printf("holding %08X on port %u\n", serial, static_cast<unsigned>(port));
  else
    std::printf("holding %08X on %s port %u\n", serial, where, static_cast<unsigned>(port));
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stops, &signal);
  aLink_Destroy(&id);
  Korvex_libusb_exit();
  std::printf("released %08X\n", serial);
  return 0;
}

int Watch(uint32_t serial, uint32_t interface) {
  linkSpec* found = aDiscovery_FindModule(ALANET, serial, interface);
  if (found == nullptr) {
    std::printf("no shared link to %08X\n", serial);
    return 1;
  }
  std::printf("found %08X port %u\n", found->serialNumber, found->port);
  Module module(kModuleAddress, 0);
  const aErr connected = module.connectFromSpec(*found);
  aLinkSpec_Destroy(&found);
  if (connected != aErrNone) {
    std::printf("not connected: %u\n", static_cast<unsigned>(connected));
    return 1;
  }
  SystemClass system;
  system.init(&module, 0);
  uint32_t number = 0;
  uint32_t version = 0;
  uint8_t name[64] = {};
  size_t count = 0;
  const aErr a = system.getSerialNumber(&number);
  const aErr b = system.getVersion(&version);
  const aErr c = system.getName(name, sizeof(name) - 1, &count);
  if (a == aErrNone) std::printf("serial %08X\n", number);
  if (b == aErrNone)
    std::printf("version %u.%u.%u\n", static_cast<unsigned>(aVersion_ParseMajor(version)),
                static_cast<unsigned>(aVersion_ParseMinor(version)),
                static_cast<unsigned>(aVersion_ParsePatch(version)));
  if (c == aErrNone) std::printf("name %.*s\n", static_cast<int>(count < 63 ? count : 63), name);
  module.disconnect();
  return a == aErrNone && b == aErrNone ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  uint32_t serial = 0;
  if (!ParseSerial(argv[2], &serial)) return Usage();
  const bool hold = std::strcmp(argv[1], "hold") == 0;
  if (!hold && std::strcmp(argv[1], "watch") != 0) return Usage();
  if (argc > 4) return Usage();
  uint32_t interface = 0;
  if (argc == 4 && inet_pton(AF_INET, argv[3], &interface) != 1) return Usage();
  if (hold) return Hold(serial, argc == 3, interface);
  return Watch(serial, interface);
}

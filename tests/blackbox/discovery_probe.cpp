// Test helper run inside a korvex-sim world or a private network namespace:
// calls the discovery searches and prints what they return.
//   discovery_probe usb|tcpip|alanet[=IPV4] [all | stop | find SERIAL | first]
//                                   (alanet: shared links; the local probe, or
//                                    beacons on IPV4: only inside a private
//                                    namespace)
//   discovery_probe open SERIAL     (opens a USB stream)
//   discovery_probe multicast IPV4  (multicast sockets on that interface;
//                                    only inside a private namespace)
// Each record prints as one "record ..." line; "count N", "none" or
// "open E denied D" end the output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "common/aMulticast.h"
#include "common/aStream.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"

namespace {

void Print(const linkSpec& r) {
  std::printf("record type=%u serial=%08X module=%u router=%u routerSerial=%08X model=%u "
              "address=%u.%u.%u.%u port=%u\n",
              r.type, r.serialNumber, r.moduleAddress, r.routerAddress, r.routerSerialNumber,
              r.model, r.address[0], r.address[1], r.address[2], r.address[3], r.port);
}

bool CountAll(const linkSpec* record, bool* counted, void*) {
  Print(*record);
  *counted = true;
  return true;
}

bool StopAtFirst(const linkSpec* record, bool* counted, void*) {
  Print(*record);
  *counted = true;
  return false;
}

// Receiver and sender on group 224.0.0.7, port 9850, and what they answer.
int Multicast(const char* interfaceText) {
  const uint32_t interface = inet_addr(interfaceText);
  const uint32_t group = inet_addr("224.0.0.7");
  aMulticastRef receiver = aMulticast_Create(interface, group, 9850, false);
  aMulticastRef second = aMulticast_Create(interface, group, 9850, false);
  aMulticastRef sender = aMulticast_Create(interface, group, 9850, true);
  if (receiver == nullptr || sender == nullptr) {
    std::printf("multicast not opened\n");
    return 1;
  }
  const uint32_t request = 0xABCDDCBAu;
  uint8_t answer[128] = {};
  std::printf("second receiver %s\n", second ? "opened" : "refused");
  std::printf("wrong way %d %d\n", aMulticast_Send(receiver, &request, 4),
              aMulticast_Receive(sender, answer, sizeof(answer)));
  std::printf("sent %d\n", aMulticast_Send(sender, &request, 4));
  const int got = aMulticast_Receive(receiver, answer, sizeof(answer));
  uint32_t value = 0;
  if (got == 4) std::memcpy(&value, answer, 4);
  std::printf("received %d %08X\n", got, value);
  std::printf("silence %d\n", aMulticast_Receive(receiver, answer, sizeof(answer)));
  aMulticast_Destroy(&second);
  aMulticast_Destroy(&receiver);
  aMulticast_Destroy(&sender);
  std::printf("destroyed %d\n", receiver == nullptr && sender == nullptr ? 1 : 0);
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: discovery_probe usb|tcpip|alanet[=IPV4] [all|stop|find SERIAL|first] | "
                       "open SERIAL\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const char* what = argv[1];
  const char* mode = argc > 2 ? argv[2] : "all";
  const uint32_t serial = argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 16)) : 0;
  if (std::strcmp(what, "open") == 0) {
    if (argc < 3) return Usage();
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateUSB(static_cast<uint32_t>(std::strtoul(mode, nullptr, 16)),
                                       &stream);
    if (stream != nullptr) aStream_Destroy(&stream);
    std::printf("open %u denied %d\n", static_cast<unsigned>(err),
                Korvex_usb_access_denied() ? 1 : 0);
    Korvex_libusb_exit();
    return 0;
  }
  if (std::strcmp(what, "multicast") == 0) return argc < 3 ? Usage() : Multicast(argv[2]);
  linkType type;
  uint32_t networkInterface = 0;
  if (std::strcmp(what, "usb") == 0) type = USB;
  else if (std::strcmp(what, "tcpip") == 0) type = TCPIP;
  else if (std::strcmp(what, "alanet") == 0) type = ALANET;
  else if (std::strncmp(what, "alanet=", 7) == 0) {
    type = ALANET;
    networkInterface = inet_addr(what + 7);
  } else {
    return Usage();
  }

  if (std::strcmp(mode, "all") == 0 || std::strcmp(mode, "stop") == 0) {
    const bool stop = mode[0] == 's';
    const uint32_t count =
        aDiscovery_EnumerateModules(type, stop ? StopAtFirst : CountAll, nullptr,
                                    networkInterface);
    std::printf("count %u denied %d\n", count, Korvex_usb_access_denied() ? 1 : 0);
  } else if (std::strcmp(mode, "find") == 0 || std::strcmp(mode, "first") == 0) {
    linkSpec* found = std::strcmp(mode, "find") == 0 ? aDiscovery_FindModule(type, serial, networkInterface)
                          : aDiscovery_FindFirstModule(type, networkInterface);
    if (found == nullptr) {
      std::printf("none\n");
    } else {
      Print(*found);
      aLinkSpec_Destroy(&found);
    }
  } else {
    return Usage();
  }
  Korvex_libusb_exit();
  return 0;
}

// Discovery answers: the 16-byte answers of modules to the TCP/IP search
// and the 128-byte records sharing servers send in beacons and in answers
// to the local probe. The input is a sequence of datagrams (length byte,
// bytes); each goes to both readers, which must take exactly the datagrams
// of their size and kind, and whose records then go through what the
// search does with them (the local check, the address as text).
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "common/discover.h"
#include "fuzz/FuzzInput.h"

namespace {

uint32_t AddressOf(const linkSpec& record) {
  uint32_t address;
  std::memcpy(&address, record.address, sizeof address);
  return address;
}

void CheckAddressText(uint32_t address) {
  char text[16];
  const size_t n = aDiscovery_ConvertIPv4Interface(address, text, sizeof text);
  if (n == 0 || n >= sizeof text || text[n] != '\0') std::abort();
  uint32_t back = 0;
  if (inet_pton(AF_INET, text, &back) != 1 || back != address) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint32_t from = in.Word();
  std::set<uint32_t> modules;
  while (!in.Empty()) {
    // A long datagram is announced by a zero length: the next 128 bytes.
    uint8_t length = in.Byte();
    const std::vector<uint8_t> datagram =
        length == 0 ? in.Bytes(sizeof(linkSpec)) : in.Bytes(length);

    linkSpec record;
    std::memset(&record, 0xEE, sizeof record);
    if (aDiscovery_ParseTCPIPAnswer(datagram.data(), datagram.size(), from, &record)) {
      if (datagram.size() != 16 || record.type != TCPIP || AddressOf(record) != from ||
          record.port > 0xFFFF || record.moduleAddress != datagram[1] ||
          record.serialNumber != (datagram[4] | uint32_t(datagram[5]) << 8 |
                                  uint32_t(datagram[6]) << 16 | uint32_t(datagram[7]) << 24)) {
        std::abort();
      }
      for (uint8_t b : record.reserved)
        if (b != 0) std::abort();
      modules.insert(record.serialNumber);
      CheckAddressText(AddressOf(record));
    } else if (datagram.size() == 16) {
      std::abort();
    }

    linkSpec announced;
    if (aDiscovery_ParseAnnouncement(datagram.data(), datagram.size(), &announced)) {
      if (datagram.size() != sizeof(linkSpec) || announced.type != ALANET || announced.port == 0 ||
          announced.port > 0xFFFF || std::memcmp(&announced, datagram.data(), sizeof announced) != 0) {
        std::abort();
      }
      const uint32_t address = AddressOf(announced);
      const bool local = aDiscovery_LocalAnnouncement(announced, from);
      if (local != (address == htonl(INADDR_LOOPBACK) || (from != 0 && address == from)))
        std::abort();
      CheckAddressText(address);
    }
  }
  return 0;
}

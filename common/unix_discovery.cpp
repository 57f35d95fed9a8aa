// The USB and TCP/IP searches of module discovery.
//
// USB: one pass over the shared libusb context's device list; a device of
// the maker with a module product identifier counts only when its serial
// string is exactly eight hexadecimal digits.
//
// TCP/IP: a 16-byte request (byte 0 = 1) goes to 232.2.2.2:9888 out of
// every IPv4 interface; modules answer with 16 bytes to port 9889. Answers
// are collected until one deadline 2 seconds after the requests went out,
// however many datagrams arrive; a module that answered on several
// interfaces (or twice) is listed once, by serial number, and datagrams of
// any other size are ignored. A search for one module ends as soon as the
// callback says so; it also asks again every 250 ms until then, so that a
// module that starts listening during the search (one restarting) is found
// in that search instead of the next one.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <vector>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb-1.0/libusb.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/aKorvexDebug.h"
#include "common/aUSBDefs.h"
#include "common/discover.h"
#include "common/kxusb_driver.h"

namespace {

constexpr uint32_t kGroup = 0xE8020202u;  // 232.2.2.2, host order
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kAnswerPort = 9889;
constexpr size_t kDatagramSize = 16;
constexpr int kSearchMs = 2000;
constexpr int kRepeatMs = 250;
constexpr size_t kMaxInterfaces = 64;
constexpr size_t kMaxModules = 1024;  // distinct serial numbers per search
constexpr int kSerialStringSize = 32;

// Closes a descriptor when it goes.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// True for exactly eight hexadecimal digits; *serial gets their value.
bool ParseSerial(const unsigned char* text, int length, uint32_t* serial) {
  if (length != 8) return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const int c = text[i];
    if (!isxdigit(c)) return false;
    value = (value << 4) | static_cast<uint32_t>(isdigit(c) ? c - '0' : (tolower(c) - 'a' + 10));
  }
  *serial = value;
  return true;
}

// The record of one device, when it is a module we may open. Sets *denied
// when a device of ours refused to open.
bool DescribeUSB(libusb_device* device, linkSpec* record, bool* denied) {
  libusb_device_descriptor desc;
  if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS) return false;
  if (!aKorvexUSB_IsModule(desc.idVendor, desc.idProduct)) return false;
  libusb_device_handle* handle = nullptr;
  const int opened = libusb_open(device, &handle);
  if (opened != LIBUSB_SUCCESS) {
    if (opened == LIBUSB_ERROR_ACCESS) *denied = true;
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "USB device %04X:%04X not opened: %s\n",
                       desc.idVendor, desc.idProduct, libusb_error_name(opened));
    return false;
  }
  unsigned char text[kSerialStringSize] = {};
  const int length = desc.iSerialNumber == 0
                         ? -1
                         : libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber,
                                                              text, sizeof(text));
  libusb_close(handle);
  if (length > 0 && length < kSerialStringSize) {
    text[length] = '\0';
    Korvex_usb_note_serial(libusb_get_bus_number(device), libusb_get_device_address(device),
                           reinterpret_cast<const char*>(text));
  }
  uint32_t serial = 0;
  if (!ParseSerial(text, length, &serial)) return false;
  *record = linkSpec();
  record->type = USB;
  record->serialNumber = serial;
  record->model = desc.idProduct & 0xFFu;
  memcpy(record->address, &serial, sizeof(record->address));
  return true;
}

// Addresses (network order) of the IPv4 interfaces a request goes out of:
// not 0, not 127.0.0.1; each once. Empty with *unreadable set when the list
// cannot be read.
std::vector<in_addr_t> RequestInterfaces(bool* unreadable) {
  std::vector<in_addr_t> result;
  ifaddrs* list = nullptr;
  *unreadable = getifaddrs(&list) != 0;
  if (*unreadable) return result;
  for (ifaddrs* i = list; i != nullptr && result.size() < kMaxInterfaces; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    const in_addr_t a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (a == 0 || a == htonl(INADDR_LOOPBACK)) continue;
    bool known = false;
    for (in_addr_t k : result) known = known || k == a;
    if (!known) result.push_back(a);
  }
  freeifaddrs(list);
  return result;
}

// Sends the request out of one interface (INADDR_ANY: the default one).
bool SendRequest(in_addr_t interface) {
  Fd s;
  s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s.fd < 0) return false;
  const int one = 1;
  setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (interface != INADDR_ANY) {
    in_addr a;
    a.s_addr = interface;
    if (setsockopt(s.fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof(a)) != 0) return false;
  }
  sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_port = htons(kRequestPort);
  to.sin_addr.s_addr = htonl(kGroup);
  uint8_t request[kDatagramSize] = {1};
  const ssize_t n = sendto(s.fd, request, sizeof(request), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  return n == static_cast<ssize_t>(sizeof(request));
}

bool OpenListener(Fd* listener) {
  listener->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  if (listener->fd < 0) return false;
  const int one = 1;
  setsockopt(listener->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in any;
  memset(&any, 0, sizeof(any));
  any.sin_family = AF_INET;
  any.sin_port = htons(kAnswerPort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(listener->fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) == 0;
}

}  // namespace

bool aDiscovery_ParseTCPIPAnswer(const uint8_t* answer, size_t size, uint32_t fromAddress,
                                 linkSpec* record) {
  if (answer == nullptr || record == nullptr || size != kDatagramSize) return false;
  *record = linkSpec();
  record->type = TCPIP;
  record->serialNumber = static_cast<uint32_t>(answer[4]) | static_cast<uint32_t>(answer[5]) << 8 |
                         static_cast<uint32_t>(answer[6]) << 16 |
                         static_cast<uint32_t>(answer[7]) << 24;
  record->routerSerialNumber = record->serialNumber;
  record->moduleAddress = answer[1];
  record->routerAddress = answer[1];
  record->model = answer[12];
  record->port = static_cast<uint32_t>(answer[2]) | static_cast<uint32_t>(answer[3]) << 8;
  memcpy(record->address, &fromAddress, sizeof(record->address));
  return true;
}

uint32_t aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* context) {
  if (callback == nullptr) return 0;
  libusb_context* usb = Korvex_libusb_acquire();
  if (usb == nullptr) return 0;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(usb, &list);
  if (count < 0) {
    Korvex_libusb_release();
    return 0;
  }
  uint32_t counted = 0;
  bool denied = false;
  for (ssize_t i = 0; i < count; ++i) {
    linkSpec record;
    if (!DescribeUSB(list[i], &record, &denied)) continue;
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "USB module SN: 0x%08X - Model: %u\n",
                       record.serialNumber, record.model);
    bool take = false;
    const bool more = callback(&record, &take, context);
    if (take) ++counted;
    if (!more) break;
  }
  libusb_free_device_list(list, 1);
  Korvex_libusb_release();
  Korvex_usb_set_access_denied(denied);
  return counted;
}

namespace {

// Sends the request out of every interface of the list (the default one
// when the list could not be read); returns how many went out.
int SendRequests(const std::vector<in_addr_t>& interfaces, bool unreadable) {
  if (unreadable) return SendRequest(INADDR_ANY) ? 1 : 0;
  int sent = 0;
  for (in_addr_t a : interfaces) sent += SendRequest(a) ? 1 : 0;
  return sent;
}

// The TCP/IP search; with repeat, the request goes out again every
// kRepeatMs until the deadline or the callback ends the search.
uint32_t SearchTCPIP(aDiscoveryCallback callback, void* context, bool repeat) {
  if (callback == nullptr) return 0;
  Fd listener;
  if (!OpenListener(&listener)) {
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "TCP/IP search: no listener on port %u: %d\n",
                       kAnswerPort, errno);
    return 0;
  }
  bool unreadable = false;
  const std::vector<in_addr_t> interfaces = RequestInterfaces(&unreadable);
  const int sent = SendRequests(interfaces, unreadable);
  aKorvexDebug_Trace(aDEBUG_DISCOVERY, "TCP/IP search: %d request(s) sent\n", sent);
  if (sent == 0) return 0;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSearchMs);
  Clock::time_point nextRequest = repeat ? Clock::now() + std::chrono::milliseconds(kRepeatMs)
                                         : Clock::time_point::max();
  std::set<uint32_t> seen;
  uint32_t counted = 0;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    if (now >= nextRequest) {
      SendRequests(interfaces, unreadable);
      nextRequest = now + std::chrono::milliseconds(kRepeatMs);
    }
    const Clock::time_point until = std::min(deadline, nextRequest);
    // Rounded up: a poll that ends a little early only loops once more.
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    pollfd p = {listener.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(wait));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) continue;  // the deadline or the next request
    uint8_t answer[kDatagramSize + 1];
    sockaddr_in from;
    socklen_t fromSize = sizeof(from);
    const ssize_t n = recvfrom(listener.fd, answer, sizeof(answer), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    linkSpec record;
    if (fromSize < sizeof(from) || from.sin_family != AF_INET ||
        !aDiscovery_ParseTCPIPAnswer(answer, static_cast<size_t>(n), from.sin_addr.s_addr, &record))
      continue;  // not an answer: ignore it, keep listening
    if (seen.count(record.serialNumber) != 0 || seen.size() >= kMaxModules) continue;
    seen.insert(record.serialNumber);
    aKorvexDebug_Trace(aDEBUG_DISCOVERY, "TCP/IP module SN: 0x%08X - Port: %u - Model: %u\n",
                       record.serialNumber, record.port, record.model);
    bool take = false;
    const bool more = callback(&record, &take, context);
    if (take) ++counted;
    if (!more) break;
  }
  return counted;
}

}  // namespace

uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* context) {
  return SearchTCPIP(callback, context, false);
}

uint32_t aDiscovery_SearchTCPIPModule(aDiscoveryCallback callback, void* context) {
  return SearchTCPIP(callback, context, true);
}

// Link construction, configuration, connecting (by transport, through
// another link, by discovery with fallback), disconnecting and reset.
#include <cstring>
#include <new>

#include "api/Link_impl.h"
#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer.h"
#include "common/aTime.h"
#include "common/discover.h"

namespace Velmaris {
namespace Korvex {

namespace {

// A link runs a few milliseconds after it is made: its state is looked at
// every millisecond, for up to 2 seconds.
#define LINK_WAIT_POLLS 2000u
#define LINK_WAIT_POLL_MS 1u
// Serial specifiers: baud rate (host order) in reserved bytes 0-3, the
// NUL-terminated port path from byte 4.
#define LINK_SERIAL_PATH_AT 4u
#define LINK_SERIAL_PATH_MAX (sizeof(((linkSpec*)nullptr)->reserved) - LINK_SERIAL_PATH_AT - 1u)

}  // namespace

std::mutex& linkCreateHelperSerializer() {
  static std::mutex serializer;
  return serializer;
}

Link::impl::impl(Link* link, const std::string& linkName)
    : owner(link), name(linkName.substr(0, LINK_NAME_MAX)) {}

Link::impl::~impl() {
  stopStreaming();
  if (logger != nullptr) aLogger_Destroy(&logger);
  if (linkId != 0) aLink_Destroy(&linkId);
}

Link::Link(const std::string& name) : impl_(new (std::nothrow) impl(this, name)) {}

Link::Link(const linkSpec& spec, const std::string& name) : Link(name) {
  setLinkSpecifier(spec);
}

Link::~Link() = default;

aErr Link::getConfig(aLanetConfig& config) const {
  if (!impl_) return aErrMemory;
  config = impl_->config;
  return aErrNone;
}

aErr Link::setConfig(const aLanetConfig& config) {
  if (!impl_) return aErrMemory;
  if (impl_->linkId != 0) return aErrMode;
  impl_->config = config;
  return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
  if (!impl_) return aErrMemory;
  if (impl_->linkId != 0) return aErrBusy;
  std::unique_ptr<linkSpec> copy(new (std::nothrow) linkSpec(spec));
  if (!copy) return aErrMemory;
  impl_->spec = std::move(copy);
  return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec& spec) const {
  if (!impl_ || !impl_->spec) return aErrNotFound;
  spec = *impl_->spec;
  return aErrNone;
}

std::string Link::getName() const { return impl_ ? impl_->name : std::string(); }

uint32_t Link::getLinkId() const { return impl_ ? impl_->linkId : 0; }

aErr Link::makeSerialSpec(uint32_t serialNumber, const std::string& port, uint32_t baudRate,
                          linkSpec& spec) {
  if (port.empty() || port.size() > LINK_SERIAL_PATH_MAX) return aErrParam;
  std::memset(&spec, 0, sizeof(spec));
  spec.type = SERIAL;
  spec.serialNumber = serialNumber;
  std::memcpy(spec.reserved, &baudRate, sizeof(baudRate));
  std::memcpy(spec.reserved + LINK_SERIAL_PATH_AT, port.data(), port.size());
  return aErrNone;
}

// The module's USB link is owned by a sharing server in this process, announced
// to the local probe; this link is the process's own client of it. The port
// and the interface the server listens on go into the configuration, where
// links made through this one (connectThroughLinkModule) find them.
aErr Link::impl::createSharedUSBLink(uint32_t serialNumber) {
  // Without the messaging library nothing can be shared.
  if (!aServer_Available()) return aErrUnimplemented;
  aDiscovery_PrepareMessaging();
  aDiscovery_InstallAnnouncer();
  uint16_t port = 0;
  uint32_t interfaceAddress = config.networkInterface;
  linkId = aLink_CreateServer(serialNumber, &port, &interfaceAddress, config.localOnly);
  if (linkId == 0) return aErrConnection;
  config.port = port;
  config.networkInterface = interfaceAddress;
  return aErrNone;
}

aErr Link::impl::createEngineLink() {
  const linkSpec& s = *spec;
  switch (s.type) {
    case USB:
      if (!config.enabled) {
        linkId = aLink_CreateUSB(s.serialNumber);
        break;
      }
      return createSharedUSBLink(s.serialNumber);
    case TCPIP: {
      uint32_t address;
      std::memcpy(&address, s.address, sizeof(address));
      linkId = aLink_CreateTCPIP(address, static_cast<uint16_t>(s.port));
      break;
    }
    case SERIAL: {
      char path[sizeof(s.reserved)] = {0};
      std::memcpy(path, s.reserved + LINK_SERIAL_PATH_AT, LINK_SERIAL_PATH_MAX);
      uint32_t baud;
      std::memcpy(&baud, s.reserved, sizeof(baud));
      if (path[0] == '\0') return aErrConfiguration;
      linkId = aLink_CreateSerial(s.serialNumber, path, baud);
      break;
    }
    case ALANET: {
      // A client of a sharing server, here or in another process; the
      // sharing layer makes its stream (none installed: no connection).
      if (!config.enabled) return aErrConfiguration;
      uint32_t address;
      std::memcpy(&address, s.address, sizeof(address));
      if (s.port == 0 || s.port > 0xFFFFu) return aErrConfiguration;
      linkId = aLink_CreateClient(address, static_cast<uint16_t>(s.port), 0);
      break;
    }
    default:
      return aErrMode;
  }
  return linkId == 0 ? aErrConnection : aErrNone;
}

aErr Link::impl::waitRunning() {
  for (uint32_t poll = 0; poll < LINK_WAIT_POLLS; ++poll) {
    switch (aLink_GetStatus(linkId)) {
      case kLinkStateRunning:
        return aErrNone;
      case kLinkStateStopped:
      case kLinkStateStarting:
      case kLinkStateSyncing:
        aTime_MSSleep(LINK_WAIT_POLL_MS);
        break;
      case kLinkStateStopping:
        return aErrBusy;
      case kLinkStateResetting:
        return aErrDuplicate;
      default:
        return aErrConnection;
    }
  }
  return aErrConnection;
}

aErr Link::connect() {
  if (!impl_) return aErrMemory;
  if (!impl_->spec) return aErrConfiguration;
  if (impl_->linkId != 0) return aErrConnection;
  aErr err;
  {
    std::lock_guard<std::mutex> lock(linkCreateHelperSerializer());
    err = impl_->createEngineLink();
  }
  if (err == aErrNone) err = impl_->waitRunning();
  // A link that never ran is given back at once: a kept id would refuse
  // every later connect and hold the module's interface.
  if (err != aErrNone && impl_->linkId != 0) aLink_Destroy(&impl_->linkId);
  impl_->linkId = err == aErrNone ? impl_->linkId : 0;
  return err;
}

aErr Link::connectThroughLinkModule(const Link& other) {
  if (!impl_ || !other.impl_) return aErrMemory;
  if (other.impl_->linkId == 0) return aErrInitialization;
  if (impl_->linkId != 0) return aErrConnection;
  {
    std::lock_guard<std::mutex> lock(linkCreateHelperSerializer());
    impl_->linkId = aLink_CreateClient(0, 0, other.impl_->linkId);
  }
  if (impl_->linkId == 0) return aErrConnection;
  if (!impl_->spec && other.impl_->spec) impl_->spec.reset(new (std::nothrow) linkSpec(*other.impl_->spec));
  aErr err = impl_->waitRunning();
  if (err != aErrNone) aLink_Destroy(&impl_->linkId);
  return err;
}

bool Link::isConnected() const {
  return impl_ && impl_->linkId != 0 && aLink_GetStatus(impl_->linkId) == kLinkStateRunning;
}

uint32_t Link::getStatus() const {
  if (!impl_ || impl_->linkId == 0) return kLinkStateFault;
  return aLink_GetStatus(impl_->linkId);
}

aErr Link::disconnect() {
  if (!impl_) return aErrNone;
  // The engine link may outlive this object (another holder): our filter
  // must not stay behind pointing at us.
  impl_->stopStreaming();
  if (impl_->logger != nullptr) aLogger_Disable(impl_->logger);
  impl_->logLinkId = 0;
  if (impl_->linkId != 0) aLink_Destroy(&impl_->linkId);
  return aErrNone;
}

aErr Link::reset() {
  if (!impl_ || impl_->linkId == 0) return aErrConnection;
  // A reset drops the engine's user filter; ours goes first so that the
  // worker and the filter's owner record stay consistent.
  impl_->stopStreaming();
  return aLink_Reset(impl_->linkId);
}

namespace {

uint8_t MatchEmpty(const aPacket* packet, const void*) {
  return aVALIDPACKET(packet) && packet->dataSize == 0 ? 1 : 0;
}

struct ModelSearch {
  uint32_t model;
  linkSpec found;
  bool have;
};

bool TakeModel(const linkSpec* record, bool* counted, void* context) {
  ModelSearch* search = static_cast<ModelSearch*>(context);
  if (search->model != 0 && record->model != search->model) return true;
  search->found = *record;
  search->have = true;
  *counted = true;
  return false;
}

}  // namespace

aErr Link::getModuleAddress(uint8_t& address) {
  if (!isConnected()) return aErrNotReady;
  aKorvexDebug_Trace(aDEBUG_ADDRESS, "getModuleAddress\n");
  aPacket probe{};
  probe.check = aPACKET_CHECK;
  probe.address = aLINK_ADDRESS_IDENTIFY;
  if (aLink_PutPacket(impl_->linkId, &probe) != aErrNone) return aErrNotReady;
  aKorvexDebug_Trace(aDEBUG_ADDRESS, "getModuleAddress wait\n");
  aPacket* reply = aLink_AwaitFirst(impl_->linkId, MatchEmpty, nullptr, LINK_REPLY_TIMEOUT_MS);
  if (reply == nullptr) return aErrNotReady;
  address = reply->address;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::impl::discoverOnce(linkType type, uint32_t serialNumber, uint32_t model) {
  std::unique_ptr<linkSpec> found;
  if (serialNumber != 0) {
    linkSpec* record = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
    if (record != nullptr) {
      found.reset(new (std::nothrow) linkSpec(*record));
      aLinkSpec_Destroy(&record);
    }
  } else {
    ModelSearch search{model, linkSpec{}, false};
    aDiscovery_EnumerateModules(type, TakeModel, &search, config.networkInterface);
    if (search.have) found.reset(new (std::nothrow) linkSpec(search.found));
  }
  if (!found) return aErrNotFound;
  spec = std::move(found);
  return owner->connect();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint32_t model) {
  if (!impl_) return aErrMemory;
  if (impl_->linkId != 0) return aErrConnection;
  aErr err = impl_->discoverOnce(type, serialNumber, model);
  const bool retry = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
  // One retry over the network, never a second bounce back: the network
  // transports fall back to USB; USB (a module missing, or busy because
  // another process owns it) to the shared link a sharing server offers
  // for it, and when no server offers one, to TCP/IP.
  if (retry && impl_->config.fallback && (type == USB || type == TCPIP || type == ALANET)) {
    if (type == USB) {
      aKorvexDebug_Trace(aDEBUG_LINK, "Executing Fallback: %s\n", "aLanet");
      err = impl_->config.enabled ? impl_->discoverOnce(ALANET, serialNumber, model)
                                  : aErrNotFound;
      if (err == aErrNotFound) err = impl_->discoverOnce(TCPIP, serialNumber, model);
    } else {
      aKorvexDebug_Trace(aDEBUG_LINK, "Executing Fallback: %s\n", "USB");
      err = impl_->discoverOnce(USB, serialNumber, model);
    }
  }
  return err;
}

}  // namespace Korvex
}  // namespace Velmaris

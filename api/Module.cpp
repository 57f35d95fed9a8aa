// Module: connecting through its Link, address learning, and the
// command 73 inventory and debug-echo queries.
#include "api/Module.h"

#include <cstring>
#include <new>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aTime.h"

namespace Velmaris {
namespace Korvex {

namespace {

#define MODULE_ADDRESS_TRIES 4
#define MODULE_ADDRESS_SLEEP_MS 5u
#define MODULE_CMD_DEBUG 23
#define MODULE_CMD_QUERY 73
#define MODULE_QUERY_HAS_UEI 1
#define MODULE_QUERY_CLASSES 4
#define MODULE_QUERY_SUBCLASSES 5
#define MODULE_QUERY_GROUP 6
#define MODULE_QUERY_BUILD 0xFF
// Transport code of a network-client specifier.
#define MODULE_LINK_CLIENT 4

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link_(new (std::nothrow) Link("Link")),
      address_(address),
      networking_(networkingMode),
      model_(model) {}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!link_) return aErrInitialization;
  return learnAddress(link_->discoverAndConnect(type, serialNumber, model_));
}

aErr Module::connectFromSpec(const linkSpec& spec) {
  if (!link_) return aErrInitialization;
  if (link_->isConnected()) return aErrBusy;
  aErr err = link_->setLinkSpecifier(spec);
  if (err != aErrNone) return err;
  return learnAddress(link_->connect());
}

aErr Module::reconnect() {
  if (!link_) return aErrInitialization;
  return learnAddress(link_->connect());
}

// The module's link shares the other module's engine link (its use count
// goes up by one); this module keeps the address it was made with.
aErr Module::connectThroughLinkModule(const Module& other) {
  if (!link_ || !other.link_) return aErrInitialization;
  if (link_->isConnected()) return aErrNone;
  if (!other.link_->isConnected()) return aErrConnection;
  // A link left holding a dead engine link would refuse to share.
  link_->disconnect();
  linkSpec spec{};
  aLanetConfig config;
  other.link_->getConfig(config);
  aErr err = link_->setConfig(config);
  if (err != aErrNone) return err;
  if (other.link_->getLinkSpecifier(spec) == aErrNone) {
    if (config.enabled != 0) {
      spec.type = MODULE_LINK_CLIENT;
      std::memcpy(spec.address, &config.networkInterface, sizeof(config.networkInterface));
      spec.port = config.port;
    }
    err = link_->setLinkSpecifier(spec);
    if (err != aErrNone) return err;
  }
  err = link_->connectThroughLinkModule(*other.link_);
  if (err == aErrNone) networking_ = false;
  return err;
}

aErr Module::learnAddress(aErr connectResult) {
  if (connectResult != aErrNone || !networking_) return connectResult;
  aErr err = aErrNotReady;
  for (int attempt = 0; attempt < MODULE_ADDRESS_TRIES; ++attempt) {
    uint8_t address = 0;
    err = link_->getModuleAddress(address);
    if (err == aErrNone) {
      if (address != 0 && address != address_) address_ = address;
      return aErrNone;
    }
    if (err != aErrNotReady) return err;
    aTime_MSSleep(MODULE_ADDRESS_SLEEP_MS);
  }
  aKorvexDebug_Trace(aDEBUG_ADDRESS, "BOO! Failed to autoNetwork\n");
  return err;
}

aErr Module::disconnect() {
  if (!link_) return aErrInitialization;
  return link_->disconnect();
}

bool Module::isConnected() const { return link_ && link_->isConnected(); }

uint32_t Module::getStatus() const { return link_ ? link_->getStatus() : kLinkStateFault; }

aErr Module::getLinkSpecifier(linkSpec& spec) const {
  if (!link_) return aErrNotReady;
  return link_->getLinkSpecifier(spec);
}

aErr Module::getConfig(aLanetConfig* config) const {
  if (!link_) return aErrNotReady;
  if (config == nullptr) return aErrParam;
  return link_->getConfig(*config);
}

aErr Module::setConfig(const aLanetConfig& config) {
  if (!link_) return aErrNotReady;
  return link_->setConfig(config);
}

aErr Module::enablePacketLog(const std::string& path) {
  if (!link_) return aErrConfiguration;
  return link_->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
  if (!link_) return aErrConfiguration;
  return link_->disablePacketLog();
}

aErr Module::ready() const {
  if (!link_) return aErrInitialization;
  if (!link_->isConnected()) return aErrConnection;
  return aErrNone;
}

// Sends command 73 with the request's bytes after it and awaits the reply
// whose first matchLength bytes (73 included) equal the request's.
aErr Module::query73(const uint8_t* request, uint8_t requestLength, uint8_t matchLength,
                     uint8_t* reply, uint8_t& replyLength) {
  aErr err = ready();
  if (err != aErrNone) return err;
  uint8_t match[aPACKET_MAX_DATA] = {MODULE_CMD_QUERY};
  std::memcpy(match + 1, request, requestLength);
  err = link_->sendPacket(address_, MODULE_CMD_QUERY, requestLength, request);
  if (err != aErrNone) return err;
  replyLength = matchLength;
  return link_->receivePacket(address_, match, replyLength, reply);
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t operationBits) {
  if (operationBits != 0 && operationBits != aUEI_GET && operationBits != aUEI_SET)
    return aErrParam;
  const uint8_t request[] = {MODULE_QUERY_HAS_UEI, command, option, index, operationBits};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  aErr err = query73(request, sizeof(request), 5, reply, length);
  if (err != aErrNone) return err;
  if (length != 6) return aErrUnknown;
  return static_cast<aErr>(reply[5]);
}

aErr Module::getBuild(uint32_t& build) {
  const uint8_t request[] = {MODULE_QUERY_BUILD};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  aErr err = query73(request, sizeof(request), 2, reply, length);
  if (err != aErrNone) return err;
  if (length != 6) return aErrSize;
  build = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

aErr Module::query73Byte(const uint8_t* request, uint8_t requestLength, uint8_t& value) {
  // The reply is the command byte, the request again, and the value.
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  aErr err = query73(request, requestLength, uint8_t(requestLength + 1), reply, length);
  if (err != aErrNone) return err;
  if (length != requestLength + 2) return aErrUnknown;
  value = reply[requestLength + 1];
  return aErrNone;
}

aErr Module::classQuantity(uint8_t command, uint8_t& count) {
  const uint8_t request[] = {MODULE_QUERY_CLASSES, command};
  return query73Byte(request, sizeof(request), count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t subclass, uint8_t& count) {
  const uint8_t request[] = {MODULE_QUERY_SUBCLASSES, command, subclass};
  return query73Byte(request, sizeof(request), count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t& group) {
  const uint8_t request[] = {MODULE_QUERY_GROUP, command, index};
  return query73Byte(request, sizeof(request), group);
}

aErr Module::debug(const uint8_t* bytes, uint8_t count) {
  aErr err = ready();
  if (err != aErrNone) return err;
  if (count > aPACKET_MAX_DATA - 1 || (count != 0 && bytes == nullptr)) return aErrParam;
  err = link_->sendPacket(address_, MODULE_CMD_DEBUG, count, bytes);
  if (err != aErrNone) return err;
  const uint8_t match[] = {MODULE_CMD_DEBUG};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 1;
  err = link_->receivePacket(address_, match, length, reply);
  if (err != aErrNone) return err;
  if (length != count + 1u || (count != 0 && std::memcmp(reply + 1, bytes, count) != 0))
    return aErrIO;
  return aErrNone;
}

}  // namespace Korvex
}  // namespace Velmaris

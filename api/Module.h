// A module at one module address, reached through the Link it owns. Later
// modules can share that link by connecting through it (a router and the
// modules on its bus).
#ifndef KORVEX_MODULE_H
#define KORVEX_MODULE_H

#include <cstdint>
#include <memory>
#include <string>

#include "api/Link.h"

namespace Velmaris {
namespace Korvex {

class Module {
 public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  aErr connect(linkType type, uint32_t serialNumber);
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(const linkSpec& spec);
  aErr connectThroughLinkModule(const Module& other);
  aErr reconnect();
  aErr disconnect();
  bool isConnected() const;
  uint32_t getStatus() const;

  uint8_t getModuleAddress() const { return address_; }
  void setModuleAddress(uint8_t address) { address_ = address; }
  aErr getLinkSpecifier(linkSpec& spec) const;
  aErr getConfig(aLanetConfig* config) const;
  aErr setConfig(const aLanetConfig& config);
  Link* getLink() const { return link_.get(); }
  void setNetworkingMode(bool on) { networking_ = on; }
  bool getNetworkingMode() const { return networking_; }

  aErr debug(const uint8_t* bytes, uint8_t count);
  aErr getBuild(uint32_t& build);
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t operationBits);
  aErr classQuantity(uint8_t command, uint8_t& count);
  aErr subClassQuantity(uint8_t command, uint8_t subclass, uint8_t& count);
  aErr entityGroup(uint8_t command, uint8_t index, uint8_t& group);

  aErr enablePacketLog(const std::string& path);
  aErr disablePacketLog();

 private:
  aErr learnAddress(aErr connectResult);
  aErr ready() const;
  aErr query73(const uint8_t* request, uint8_t requestLength, uint8_t matchLength,
               uint8_t* reply, uint8_t& replyLength);
  // A command 73 query whose answer is the request followed by one byte.
  aErr query73Byte(const uint8_t* request, uint8_t requestLength, uint8_t& value);

  std::unique_ptr<Link> link_;
  uint8_t address_;
  bool networking_;
  uint8_t model_;
};

}  // namespace Korvex
}  // namespace Velmaris

#endif

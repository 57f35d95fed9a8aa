// The object face of one link-engine link: how to reach a module, connect
// and disconnect, raw packets and UEI messages with their reply waits, a
// cache of streamed values with asynchronous callbacks, store slots,
// factory data and a packet log. Every operation returns an aErr and lets
// no exception escape.
#ifndef KORVEX_LINK_H
#define KORVEX_LINK_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/aError.h"
#include "common/aPacket.h"
#include "common/aUEI.h"
#include "common/discover.h"

// Network settings of a link. enabled: a USB link is shared through a local
// server and client links are possible; fallback: a failed discovery over
// USB is retried over the network and the other way round; localOnly is
// handed to the sharing server; port receives the server's port;
// networkInterface is an IPv4 address in network order.
struct aLanetConfig {
  uint8_t enabled = 1;
  uint8_t fallback = 1;
  uint8_t localOnly = 1;
  uint16_t port = 0;
  uint32_t networkInterface = 0x0100007F;  // 127.0.0.1 in network order
};

namespace Velmaris {
namespace Korvex {

// A key and the last value streamed under it.
struct StreamStatusEntry {
  uint64_t key;
  uint32_t value;
};

class Link {
 public:
  // Runs on the link's callback worker for each sample of a registered
  // stream; the packet is valid for the call only.
  typedef std::function<uint8_t(const aPacket*, void*)> streamCallback;

  explicit Link(const std::string& name = "");
  Link(const linkSpec& spec, const std::string& name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // ---- configuration and connection ----------------------------------------
  aErr getConfig(aLanetConfig& config) const;
  aErr setConfig(const aLanetConfig& config);  // aErrMode while connected
  aErr setLinkSpecifier(const linkSpec& spec);  // aErrBusy while connected
  aErr getLinkSpecifier(linkSpec& spec) const;  // aErrNotFound when none
  std::string getName() const;
  // A serial-port specifier: the port path (up to 91 characters) and baud
  // rate travel in the record's reserved bytes.
  static aErr makeSerialSpec(uint32_t serialNumber, const std::string& port,
                             uint32_t baudRate, linkSpec& spec);

  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint32_t model = 0);
  aErr connect();
  aErr connectThroughLinkModule(const Link& other);
  bool isConnected() const;
  uint32_t getStatus() const;
  aErr disconnect();
  aErr reset();
  aErr getModuleAddress(uint8_t& address);
  uint32_t getLinkId() const;

  // ---- traffic --------------------------------------------------------------
  aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t& length, uint8_t* data);
  aErr sendUEI(const uei& request);
  aErr sendUEI(const uei& request, uint8_t subindex);
  aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei& record);
  aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei& record,
                  aPacketFilter filter);
  aErr dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index);
  aErr enablePooledPackets(bool enable);

  // ---- value streams ----------------------------------------------------------
  aErr enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable);
  aErr registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                              bool enable, const streamCallback& callback, void* reference);
  aErr isLinkStreaming(uint8_t address, bool& streaming);
  aErr getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, uint32_t& value);
  aErr getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                       uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                       size_t* count);

  static bool isStreamPacket(const aPacket* packet);
  static bool isStreamSample(const aPacket* packet);
  static uint8_t getStreamPacketType(const aPacket* packet);
  static bool isSubindexType(uint8_t type);
  static aErr getStreamSample(const aPacket* packet, uint64_t& timestamp, uint32_t& value,
                              uint8_t& subindex);
  static uint64_t createStreamKey(uint8_t address, uint8_t command, uint8_t option,
                                  uint8_t index, uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);
  static void getTimestampParts(uint64_t timestamp, uint32_t& high, uint32_t& low);

  // ---- store slots and factory data --------------------------------------------
  aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data,
                     size_t length);
  aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer,
                       size_t length, size_t* count);
  aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t& size);
  aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t& capacity);
  aErr getFactoryData(uint8_t address, uint8_t kind, uint8_t* buffer, size_t length,
                      size_t* count);
  aErr setFactoryData(uint8_t address, uint8_t kind, const uint8_t* data, size_t length);

  // ---- packet log ---------------------------------------------------------------
  aErr enablePacketLog(const std::string& path);
  aErr disablePacketLog();

  struct impl;

 private:
  std::unique_ptr<impl> impl_;
};

}  // namespace Korvex
}  // namespace Velmaris

#endif

// Raw packets and UEI messages over a Link, with their reply waits.
#include <cstring>

#include "api/Link_impl.h"
#include "common/aKorvexDebug.h"
#include "common/aLink.h"

namespace Velmaris {
namespace Korvex {

namespace {

struct PacketMatch {
  const uint8_t* bytes;
  uint8_t length;
};

// Any sender; the packet must hold at least the match's bytes.
uint8_t MatchLeadingBytes(const aPacket* packet, const void* reference) {
  const PacketMatch* match = static_cast<const PacketMatch*>(reference);
  if (!aVALIDPACKET(packet) || packet->dataSize < match->length) return 0;
  return std::memcmp(packet->data, match->bytes, match->length) == 0 ? 1 : 0;
}

// A reply (of any operation) to a request for this value; stream samples
// are not replies.
uint8_t MatchAnyReply(const aPacket* packet, const void* reference) {
  const uei* request = static_cast<const uei*>(reference);
  if (!aVALIDPACKET(packet) || packet->dataSize < 3) return 0;
  return packet->address == request->address && packet->data[0] == request->command &&
                 (packet->data[1] & aUEI_OPTION_MASK) == (request->option & aUEI_OPTION_MASK) &&
                 (packet->data[2] & aUEI_INDEX_MASK) == (request->specifier & aUEI_INDEX_MASK) &&
                 (packet->data[2] & aUEI_STREAM) == 0
             ? 1
             : 0;
}

}  // namespace

aErr Link::impl::checkTraffic(uint8_t address) const {
  if (linkId == 0 || aLink_GetStatus(linkId) != kLinkStateRunning) return aErrConnection;
  if (address == 0 || (address & 1u) != 0) return aErrPacket;
  return aErrNone;
}

aErr Link::impl::awaitReply(aPacketFilter filter, const void* reference, uint32_t timeoutMs,
                            aPacket** reply) {
  *reply = aLink_AwaitFirst(linkId, filter, reference, timeoutMs);
  return *reply == nullptr ? aErrTimeout : aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  if (length > aPACKET_MAX_DATA - 1 || (length != 0 && data == nullptr)) return aErrParam;
  aPacket packet{};
  packet.check = aPACKET_CHECK;
  packet.address = address;
  packet.dataSize = static_cast<uint8_t>(length + 1);
  packet.data[0] = command;
  if (length != 0) std::memcpy(packet.data + 1, data, length);
  return aLink_PutPacket(impl_->linkId, &packet);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t& length, uint8_t* data) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  if (length > aPACKET_MAX_DATA || data == nullptr || (length != 0 && match == nullptr))
    return aErrParam;
  PacketMatch reference{match, length};
  aPacket* reply = nullptr;
  err = impl_->awaitReply(MatchLeadingBytes, &reference, LINK_REPLY_TIMEOUT_MS, &reply);
  if (err != aErrNone) return err;
  length = reply->dataSize;
  std::memcpy(data, reply->data, reply->dataSize);
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::sendUEI(const uei& request) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(request.address);
  if (err != aErrNone) return err;
  // A reply that came after its request was given up must not answer this
  // one.
  aLink_DrainPackets(impl_->linkId, MatchAnyReply, &request);
  return aUEI_Send(impl_->linkId, &request);
}

aErr Link::sendUEI(const uei& request, uint8_t subindex) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(request.address);
  if (err != aErrNone) return err;
  aLink_DrainPackets(impl_->linkId, MatchAnyReply, &request);
  return aUEI_SendSubindex(impl_->linkId, &request, subindex);
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                      uei& record) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  record.address = address;
  record.command = command;
  record.option = option;
  record.specifier = index;
  if (record.type == ueiTypeBytes && record.v.bytes.length > aUEI_LONG_PAYLOAD)
    aKorvexDebug_Trace(aDEBUG_PACKETS, "receiveUEI - Expanding timeout for large payload: %lu\n",
                       static_cast<unsigned long>(record.v.bytes.length));
  return aUEI_Receive(impl_->linkId, &record);
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                      uei& record, aPacketFilter filter) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  if (filter == nullptr) return aErrParam;
  record.address = address;
  record.command = command;
  record.option = option;
  record.specifier = index;
  aPacket* reply = nullptr;
  err = impl_->awaitReply(filter, &record, aUEI_ReplyTimeout(&record), &reply);
  if (err != aErrNone) return err;
  aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option,
                                  uint8_t index) {
  if (!impl_) return aErrMemory;
  aErr err = impl_->checkTraffic(address);
  if (err != aErrNone) return err;
  uei record{};
  record.address = address;
  record.command = command;
  record.option = option;
  record.specifier = index;
  aLink_DrainPackets(impl_->linkId, MatchAnyReply, &record);
  return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
  if (!impl_ || impl_->linkId == 0) return aErrConnection;
  return aLink_EnablePooledPackets(impl_->linkId, enable);
}

}  // namespace Korvex
}  // namespace Velmaris

// UEI reply matching and byte-array runs. The input names a request
// (address, command, option, index, value type, buffer size) and then the
// packets a module sends, which are queued as the link queues them and
// taken with the reply filter the way aUEI_Receive takes them: until an
// error reply, a scalar reply or the last packet of a byte-array run. What
// the filter writes into the caller's buffer must be exactly the payloads
// it accepted, in order, and never more than the buffer holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/aUEI.h"
#include "common/packetfifo.h"
#include "fuzz/FuzzInput.h"

namespace {

const ueiType kTypes[] = {ueiTypeNone, ueiTypeByte, ueiTypeShort, ueiTypeInt, ueiTypeBytes};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  uei record{};
  record.address = in.Byte();
  record.command = in.Byte();
  record.option = in.Byte();
  record.specifier = in.Byte() & aUEI_INDEX_MASK;  // the index, as callers give it
  record.type = kTypes[in.Byte() % 5];
  const uint32_t length = ((uint32_t(in.Byte()) << 8) | in.Byte()) % (aUEI_BYTES_RUN_MAX + 64);
  std::vector<uint8_t> buffer(length + 1, 0xA5);  // one guard byte
  uint32_t count = 0;
  if (record.type == ueiTypeBytes) {
    record.v.bytes.buffer = buffer.data();
    record.v.bytes.length = length;
    record.v.bytes.count = &count;
  }
  aPacket* request = nullptr;
  if (aUEI_BuildRequest(&record, &request) == aErrNone) aPacket_Destroy(&request);
  aUEI_ReplyTimeout(&record);

  aPacketFifoRef fifo = aPacketFifo_Create();
  if (fifo == 0) return 0;
  while (!in.Empty() && aPacketFifo_GetLength(fifo) < aPACKETFIFO_MAX_PACKETS - 1) {
    const uint8_t address = in.Byte();
    const std::vector<uint8_t> bytes = in.Bytes(in.Byte() % (aPACKET_MAX_DATA + 1));
    aPacket* packet = aPacket_CreateWithData(address, uint8_t(bytes.size()), bytes.data());
    if (packet == nullptr) continue;
    aUEI_isUEIPayload(packet);
    aUEI_isStreamPacket(packet);
    aUEI_getBytesFullPacket(packet);
    aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
  }

  std::vector<uint8_t> expected;
  for (;;) {
    const uint8_t sequence = record.v.bytes.sequence;
    const uint32_t before = count;
    aPacket* reply = aPacketFifo_GetFirst(fifo, aUEI_MatchReply, &record);
    if (reply == nullptr) break;
    if (reply->address != record.address || reply->data[0] != record.command) std::abort();
    const bool error = (record.specifier & aUEI_ERROR) != 0;
    if (record.type == ueiTypeBytes && !error) {
      if (aUEI_getBytesSequence(reply) != sequence) std::abort();
      expected.insert(expected.end(), reply->data + 3, reply->data + reply->dataSize - 1);
      if (count != before + uint32_t(reply->dataSize - 4)) std::abort();
    }
    aPacket_Destroy(&reply);
    if (count > length || buffer[length] != 0xA5) std::abort();
    if (error || record.type != ueiTypeBytes || record.v.bytes.more == 0) break;
  }
  if (record.type == ueiTypeBytes &&
      (expected.size() != count ||
       (count > 0 && std::memcmp(expected.data(), buffer.data(), count) != 0))) {
    std::abort();
  }
  aPacketFifo_Destroy(&fifo);
  return 0;
}

// Packet assembly from a module's byte stream. First the assembler alone
// (aPacket_AddByte), byte by byte as the link's reader feeds it, with the
// wire form of every packet it completes checked against the bytes that
// made it; then the link engine itself over a stream that delivers the
// bytes from memory: its reader syncs, assembles, answers heartbeats and
// queues packets while the writer sends probes and answers into nowhere.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "fuzz/FuzzInput.h"

namespace {

void CheckComplete(const aPacket* packet, const std::vector<uint8_t>& wire) {
  if (!aVALIDPACKET(packet) || packet->address == 0 || (packet->address & 1) != 0 ||
      packet->dataSize > aPACKET_MAX_DATA || packet->fill != packet->dataSize + 2) {
    std::abort();
  }
  for (size_t i = packet->dataSize; i < aPACKET_MAX_DATA; ++i)
    if (packet->data[i] != 0) std::abort();
  uint8_t bytes[aPACKET_MAX_WIRE];
  const uint32_t n = aPacket_WireBytes(packet, bytes);
  if (n != wire.size() || std::memcmp(bytes, wire.data(), n) != 0) std::abort();
}

// The assembler as the reader drives it: a refused byte starts over.
void Assemble(const uint8_t* data, size_t size) {
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return;
  aPacketLog* log = aPacketLog_Create(256);
  std::vector<uint8_t> wire;
  for (size_t i = 0; i < size; ++i) {
    wire.push_back(data[i]);
    if (aPacket_AddByte(packet, data[i]) != aErrNone) {
      aPacket_Reset(packet);
      wire.clear();
      continue;
    }
    if (packet->fill > aPACKET_MAX_WIRE) std::abort();
    if (!aPacket_IsComplete(packet)) continue;
    CheckComplete(packet, wire);
    // A complete packet takes no further byte.
    aPacket surplus = *packet;
    if (aPacket_AddByte(&surplus, data[(i + 1) % size]) == aErrNone) std::abort();
    uint8_t field = 0;
    aPacket_GetCmd(packet, &field);
    aPacket_GetOption(packet, &field);
    aPacket_GetIndex(packet, &field);
    if (log != nullptr) {
      uint8_t bytes[aPACKET_MAX_WIRE];
      const uint32_t n = aPacket_WireBytes(packet, bytes);
      aPacketLog_Put(log, aPacketLogReceived, uint8_t(n), bytes);
      if (i % 3 == 0) {
        uint8_t type = 0;
        uint8_t back[256];
        uint32_t length = sizeof back;
        aPacketLog_Get(log, &type, &length, back);
      }
    }
    aPacket_Reset(packet);
    wire.clear();
  }
  aPacketLog_Destroy(&log);
  aPacket_Destroy(&packet);
}

// A stream whose bytes come from memory; what the link writes is dropped.
struct MemoryLine {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  std::atomic<bool> open{false};  // bytes flow once the filter is in place
  std::atomic<bool> drained{false};
  std::atomic<uint32_t> written{0};
};

aErr LineGet(uint8_t* byte, void* context) {
  MemoryLine* line = static_cast<MemoryLine*>(context);
  if (!line->open) return aErrNotReady;
  if (line->at >= line->size) {
    line->drained = true;
    return aErrNotReady;
  }
  *byte = line->data[line->at++];
  return aErrNone;
}

aErr LinePut(uint8_t, void* context) {
  ++static_cast<MemoryLine*>(context)->written;
  return aErrNone;
}

aErr LineWrite(const uint8_t*, size_t length, void* context) {
  static_cast<MemoryLine*>(context)->written += uint32_t(length);
  return aErrNone;
}

aErr LineWait(uint32_t, void*) {
  std::this_thread::sleep_for(std::chrono::microseconds(50));
  return aErrTimeout;
}

struct Seen {
  std::mutex mutex;
  uint32_t count = 0;
  bool consume = false;
};

uint8_t SeePacket(const aPacket* packet, const void* reference) {
  Seen* seen = static_cast<Seen*>(const_cast<void*>(reference));
  if (!aVALIDPACKET(packet) || packet->address == 0 || (packet->address & 1) != 0 ||
      packet->dataSize > aPACKET_MAX_DATA || !aPacket_IsComplete(packet)) {
    std::abort();
  }
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->count;
  return seen->consume && (packet->data[0] & 1) ? 1 : 0;
}

void RunLink(const uint8_t* data, size_t size, uint8_t flags) {
  MemoryLine* line = new MemoryLine;
  line->data = data;
  line->size = size;
  aStreamOps ops = {LineGet, LinePut, LineWrite,
                    [](void* context) {
                      delete static_cast<MemoryLine*>(context);
                      return aErrNone;
                    },
                    LineWait};
  aStreamRef stream = aStream_CreateWithOps(&ops, line);
  if (stream == nullptr) {
    delete line;
    return;
  }
  uint32_t id = aLink_Create(stream);  // owns the stream (and line) now
  if (id == 0) return;
  Seen seen;
  seen.consume = (flags & 1) != 0;
  aLink_InstallUserPacketFilter(id, SeePacket, &seen);
  if (flags & 2) aLink_EnablePooledPackets(id, true);
  line->open = true;
  // The reader has taken every byte when it first finds none left.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!line->drained && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  if (!line->drained) std::abort();  // the reader stopped reading
  uint32_t queued = 0;
  while (aPacket* packet = aLink_GetPacket(id)) {
    if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAX_DATA) std::abort();
    aPacket_Destroy(&packet);
    ++queued;
  }
  aLink_InstallUserPacketFilter(id, nullptr, nullptr);
  aLink_Destroy(&id);
  if (queued > seen.count) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Assemble(data, size);
  if (size > 0) RunLink(data + 1, size - 1, data[0]);
  return 0;
}

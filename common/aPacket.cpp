// Packets, their byte-by-byte assembler, and the traffic log ring.
#include "common/aPacket.h"

#include <cstdlib>
#include <cstring>
#include <new>

aPacket* aPacket_Create(void) {
  aPacket* packet = new (std::nothrow) aPacket;
  if (packet == nullptr) return nullptr;
  std::memset(packet, 0, sizeof(*packet));
  packet->check = aPACKET_CHECK;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length,
                                const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  std::memcpy(packet->data, data, length);
  packet->fill = static_cast<uint8_t>(2 + length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAX_DATA) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

// Data byte `position` when the packet is valid and long enough.
static aErr sDataByte(const aPacket* packet, uint8_t position, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= position) return aErrPacket;
  *out = packet->data[position];
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return sDataByte(packet, 0, command);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  aErr err = sDataByte(packet, 1, option);
  if (err == aErrNone) *option &= 0x3F;
  return err;
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  aErr err = sDataByte(packet, 2, index);
  if (err == aErrNone) *index &= 0x1F;
  return err;
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->fill = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof(packet->data));
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  if (packet->fill >= aPACKET_MAX_WIRE) return aErrOverrun;
  packet->fill++;
  if (packet->address == 0) {
    if (byte == 0 || (byte & 1) != 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->fill == 2) {
    // The length byte. A zero length completes the packet here.
    packet->dataSize = byte;
    return byte <= aPACKET_MAX_DATA ? aErrNone : aErrPacket;
  }
  // A byte beyond the announced length (an empty packet's included) or
  // after a refused length.
  if (packet->dataSize > aPACKET_MAX_DATA || packet->fill > packet->dataSize + 2)
    return aErrPacket;
  packet->data[packet->fill - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->fill == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}

uint32_t aPacket_WireBytes(const aPacket* packet, uint8_t* buffer) {
  if (!aVALIDPACKET(packet) || buffer == nullptr ||
      packet->dataSize > aPACKET_MAX_DATA)
    return 0;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  std::memcpy(buffer + 2, packet->data, packet->dataSize);
  return 2u + packet->dataSize;
}

// ---- traffic log -----------------------------------------------------------

aPacketLog* aPacketLog_Create(uint32_t capacity) {
  if (capacity < 2) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog;
  if (log == nullptr) return nullptr;
  log->buffer = static_cast<uint8_t*>(std::calloc(capacity, 1));
  if (log->buffer == nullptr) {
    delete log;
    return nullptr;
  }
  log->enabled = 0;
  log->capacity = capacity;
  log->read = 0;
  log->write = 0;
  return log;
}

static uint32_t sLogUsed(const aPacketLog* log) {
  return (log->write + log->capacity - log->read) % log->capacity;
}

static uint8_t sLogByteAt(const aPacketLog* log, uint32_t index) {
  return log->buffer[index % log->capacity];
}

// Moves the read index past the oldest record.
static void sLogDropOldest(aPacketLog* log) {
  uint32_t length = sLogByteAt(log, log->read + 1);
  log->read = (log->read + 2 + length) % log->capacity;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint8_t length,
                    const uint8_t* bytes) {
  if (log == nullptr || log->buffer == nullptr) return aErrParam;
  if (bytes == nullptr && length != 0) return aErrParam;
  const uint32_t record = 2u + length;
  if (record >= log->capacity) return aErrOverrun;
  while (record >= log->capacity - sLogUsed(log)) sLogDropOldest(log);
  uint32_t at = log->write;
  log->buffer[at] = type;
  at = (at + 1) % log->capacity;
  log->buffer[at] = length;
  at = (at + 1) % log->capacity;
  for (uint32_t i = 0; i < length; ++i) {
    log->buffer[at] = bytes[i];
    at = (at + 1) % log->capacity;
  }
  log->write = at;
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length,
                    uint8_t* buffer) {
  if (log == nullptr || log->buffer == nullptr || type == nullptr ||
      length == nullptr)
    return aErrParam;
  if (log->read == log->write) return aErrNotFound;
  *type = sLogByteAt(log, log->read);
  const uint32_t recordLength = sLogByteAt(log, log->read + 1);
  const uint32_t room = *length;
  *length = recordLength;
  if (room < recordLength) return aErrOverrun;
  if (recordLength != 0 && buffer == nullptr) return aErrParam;
  for (uint32_t i = 0; i < recordLength; ++i)
    buffer[i] = sLogByteAt(log, log->read + 2 + i);
  log->read = (log->read + 2 + recordLength) % log->capacity;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return aErrNone;
  (*log)->enabled = 0;
  std::free((*log)->buffer);
  delete *log;
  *log = nullptr;
  return aErrNone;
}

// UEI packing, classification, requests and reply matching.
#include "common/aUEI.h"

#include <cstring>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) |
         (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void aUEI_ModifyIntBuffer(uint32_t* words, uint32_t count) {
  if (words == nullptr) return;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], 4);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

static uint8_t sLastDataByte(const aPacket* packet) {
  if (packet == nullptr || packet->dataSize == 0 ||
      packet->dataSize > aPACKET_MAX_DATA)
    return 0;
  return packet->data[packet->dataSize - 1];
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  return sLastDataByte(packet) & 0x7F;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  return sLastDataByte(packet) >> 7;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr &&
         (packet->dataSize == aPACKET_MAX_DATA ||
          packet->dataSize == aPACKET_MAX_DATA - 1);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (packet == nullptr) return false;
  switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->dataSize > 4 &&
         aUEI_isUEIPayload(packet) && packet->data[1] < aUEI_GET &&
         (packet->data[2] & aUEI_STREAM) != 0;
}

// ---- requests --------------------------------------------------------------

// Appends the record's scalar value by type; -1 for a type without one.
static int sStoreValue(const uei* request, uint8_t* at) {
  switch (request->type) {
    case ueiTypeNone: return 0;
    case ueiTypeByte: at[0] = request->v.byteVal; return 1;
    case ueiTypeShort: aUEI_StoreShort(at, request->v.shortVal); return 2;
    case ueiTypeInt: aUEI_StoreInt(at, request->v.intVal); return 4;
    default: return -1;
  }
}

static aErr sBuild(const uei* request, bool withSubindex, uint8_t subindex,
                   aPacket** packet) {
  if (request == nullptr || packet == nullptr) return aErrParam;
  *packet = nullptr;
  if (request->address == 0 || (request->address & 1) != 0) return aErrPacket;
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = request->command;
  data[1] = request->option;
  data[2] = static_cast<uint8_t>(request->specifier | aUEI_REQUEST);
  uint8_t size = 3;
  if (withSubindex) data[size++] = subindex;
  const int value = sStoreValue(request, data + size);
  if (value < 0) return aErrParam;
  size = static_cast<uint8_t>(size + value);
  *packet = aPacket_CreateWithData(request->address, size, data);
  return *packet != nullptr ? aErrNone : aErrResource;
}

aErr aUEI_BuildRequest(const uei* request, aPacket** packet) {
  return sBuild(request, false, 0, packet);
}

aErr aUEI_BuildRequestSubindex(const uei* request, uint8_t subindex,
                               aPacket** packet) {
  return sBuild(request, true, subindex, packet);
}

static aErr sPutAndFree(uint32_t linkId, aPacket* packet) {
  aErr err = aLink_PutPacket(linkId, packet);
  aPacket_Destroy(&packet);
  return err;
}

// A byte array as a run of packets of up to 24 payload bytes, each ended
// by its sequence byte (0x80 while more follow, number modulo 128).
static aErr sSendBytes(uint32_t linkId, const uei* request) {
  const uint8_t* bytes = request->v.bytes.buffer;
  const uint32_t total = request->v.bytes.length;
  // A longer run would number two of its packets alike.
  if ((bytes == nullptr && total != 0) || total > aUEI_BYTES_RUN_MAX) return aErrParam;
  uint32_t sent = 0;
  uint32_t k = 0;
  do {
    uint32_t chunk = total - sent;
    if (chunk > aUEI_BYTES_CHUNK) chunk = aUEI_BYTES_CHUNK;
    uint8_t data[aPACKET_MAX_DATA];
    data[0] = request->command;
    data[1] = request->option;
    data[2] = static_cast<uint8_t>(request->specifier | aUEI_REQUEST);
    if (chunk != 0) std::memcpy(data + 3, bytes + sent, chunk);
    sent += chunk;
    data[3 + chunk] = static_cast<uint8_t>((sent < total ? aUEI_BYTES_MORE : 0) |
                                           (k & 0x7F));
    aPacket* packet = aPacket_CreateWithData(
        request->address, static_cast<uint8_t>(chunk + 4), data);
    if (packet == nullptr) return aErrResource;
    aErr err = sPutAndFree(linkId, packet);
    if (err != aErrNone) return err;
    ++k;
  } while (sent < total);
  return aErrNone;
}

static aErr sSend(uint32_t linkId, const uei* request, bool withSubindex,
                  uint8_t subindex) {
  if (request == nullptr) return aErrParam;
  if (request->address == 0 || (request->address & 1) != 0) return aErrPacket;
  if (aLink_GetStatus(linkId) != kLinkStateRunning) return aErrConnection;
  if (request->type == ueiTypeBytes) {
    if (withSubindex) return aErrParam;
    return sSendBytes(linkId, request);
  }
  aPacket* packet = nullptr;
  aErr err = sBuild(request, withSubindex, subindex, &packet);
  return err == aErrNone ? sPutAndFree(linkId, packet) : err;
}

aErr aUEI_Send(uint32_t linkId, const uei* request) {
  return sSend(linkId, request, false, 0);
}

aErr aUEI_SendSubindex(uint32_t linkId, const uei* request, uint8_t subindex) {
  return sSend(linkId, request, true, subindex);
}

// ---- replies ---------------------------------------------------------------

uint8_t aUEI_MatchReply(const aPacket* packet, const void* reference) {
  uei* record = static_cast<uei*>(const_cast<void*>(reference));
  if (!aVALIDPACKET(packet) || record == nullptr) return 0;
  const uint8_t size = packet->dataSize;
  if (packet->address != record->address || size <= 2 ||
      size > aPACKET_MAX_DATA || packet->data[0] != record->command ||
      packet->data[1] != record->option ||
      (packet->data[2] & aUEI_INDEX_MASK) != (record->specifier & aUEI_INDEX_MASK))
    return 0;
  // A stream sample carries its option as a reply to a get does; one still
  // on its way after streaming was turned off is no answer.
  if (aUEI_isStreamPacket(packet)) return 0;

  if ((packet->data[2] & aUEI_ERROR) != 0) {
    record->specifier = packet->data[2];
    record->v.byteVal = size > 3 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
    record->v.bytes.more = 0;
    return 1;
  }

  if (record->type == ueiTypeBytes) {
    ueiBytes& bytes = record->v.bytes;
    if (size < 4 || aUEI_getBytesSequence(packet) != bytes.sequence) return 0;
    const uint32_t payload = size - 4u;
    const uint32_t have = bytes.count != nullptr ? *bytes.count : 0;
    if (bytes.count == nullptr || bytes.buffer == nullptr ||
        payload > bytes.length - have) {
      record->specifier = static_cast<uint8_t>(packet->data[2] | aUEI_ERROR);
      record->v.byteVal = aErrMemory;
      bytes.more = 0;
      return 1;
    }
    std::memcpy(bytes.buffer + have, packet->data + 3, payload);
    *bytes.count = have + payload;
    bytes.sequence = static_cast<uint8_t>((aUEI_getBytesSequence(packet) + 1) & 0x7F);
    bytes.more = aUEI_getBytesContinue(packet);
    return 1;
  }

  switch (size) {
    case 3:
      record->type = ueiTypeNone;
      break;
    case 4:
      record->type = ueiTypeByte;
      record->v.byteVal = packet->data[3];
      break;
    case 5:
      record->type = ueiTypeShort;
      record->v.shortVal = aUEI_RetrieveShort(packet->data + 3);
      break;
    case 7:
      record->type = ueiTypeInt;
      record->v.intVal = aUEI_RetrieveInt(packet->data + 3);
      break;
    default:
      break;  // a match without a value
  }
  return 1;
}

uint32_t aUEI_ReplyTimeout(const uei* record) {
  if (record != nullptr && record->type == ueiTypeBytes &&
      record->v.bytes.length > aUEI_LONG_PAYLOAD)
    return aUEI_LONG_TIMEOUT_MS;
  return aUEI_TIMEOUT_MS;
}

aErr aUEI_Receive(uint32_t linkId, uei* record) {
  if (record == nullptr) return aErrParam;
  const uint32_t timeout = aUEI_ReplyTimeout(record);
  if (record->type == ueiTypeBytes) {
    if (record->v.bytes.count == nullptr) return aErrParam;
    if (timeout != aUEI_TIMEOUT_MS)
      aKorvexDebug_Trace(aDEBUG_LINK,
                         "receiveUEI - Expanding timeout for large payload: %lu\n",
                         static_cast<unsigned long>(record->v.bytes.length));
    *record->v.bytes.count = 0;
    record->v.bytes.sequence = 0;
    record->v.bytes.more = 0;
  }
  for (;;) {
    aPacket* reply = aLink_AwaitFirst(linkId, aUEI_MatchReply, record, timeout);
    if (reply == nullptr) return aErrTimeout;
    aPacket_Destroy(&reply);
    if ((record->specifier & aUEI_ERROR) != 0)
      return static_cast<aErr>(record->v.byteVal);
    if (record->type != ueiTypeBytes || record->v.bytes.more == 0)
      return aErrNone;
  }
}

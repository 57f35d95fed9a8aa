// UEI messages: entity requests and replies packed into packet data.
//
// Data bytes of a UEI packet: command (entity class), option (bits 0-5 the
// option code, bits 6-7 the operation), specifier (bits 0-4 the entity
// index, 0x20 in every host request, 0x40 stream sample, 0x80 error reply),
// then the value (none, 1, 2 or 4 bytes, most significant first). Byte
// arrays travel in runs of packets of at most 24 payload bytes followed by
// a sequence byte (bit 7: more follow; bits 0-6: number in the run).
#ifndef KORVEX_AUEI_H
#define KORVEX_AUEI_H

#include <cstdint>

#include "common/aPacket.h"

// Operation bits of the option byte.
#define aUEI_OPTION_MASK 0x3F
#define aUEI_GET 0x40
#define aUEI_SET 0x80
#define aUEI_ACK 0xC0
// Specifier bits.
#define aUEI_INDEX_MASK 0x1F
#define aUEI_REQUEST 0x20
#define aUEI_STREAM 0x40
#define aUEI_ERROR 0x80

#define aUEI_BYTES_CHUNK 24
#define aUEI_BYTES_MORE 0x80
// The longest byte array one run carries: its packets are numbered 0..127.
#define aUEI_BYTES_RUN_MAX (128u * aUEI_BYTES_CHUNK)
#define aUEI_TIMEOUT_MS 1000u
#define aUEI_LONG_TIMEOUT_MS 4000u
#define aUEI_LONG_PAYLOAD 1000u

// Command codes used by the system.
#define cmdSYSTEM 3
#define cmdI2C 8
#define cmdUPGRADE 95

enum ueiType : uint32_t {
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5,
};

// Descriptor of a byte-array value: the caller's buffer, its length, and
// the count of bytes received so far (the caller's counter).
struct ueiBytes {
  uint8_t* buffer;
  uint8_t sequence;   // next expected sequence number (0..127)
  uint8_t more;       // continue flag of the last packet received
  uint32_t length;    // buffer length in bytes
  uint32_t* count;    // bytes received so far (the caller's counter)
};

// One UEI request or reply. The scalar value and the byte-array descriptor
// are kept apart, so that an error reply's code never overwrites the
// caller's buffer pointer.
struct uei {
  uint8_t address;    // module address
  uint8_t command;
  uint8_t option;     // with its operation bits
  uint8_t specifier;  // index | 0x20 when sent; the reply's after an error
  struct {
    union {
      uint8_t byteVal;   // also the error code after an error reply
      uint16_t shortVal;
      uint32_t intVal;
    };
    ueiBytes bytes;
  } v;
  uint32_t type;      // ueiType
};

// Big-endian helpers.
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
// Converts count 32-bit words in place from wire (big-endian) order.
void aUEI_ModifyIntBuffer(uint32_t* words, uint32_t count);

// Byte-array run helpers on a packet's last data byte.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Packets whose first data byte is 0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95,
// 173 or 175 carry no UEI payload.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// A stream sample: dataSize above 4, UEI payload, plain option, bit 0x40 of
// the specifier.
bool aUEI_isStreamPacket(const aPacket* packet);

// ---- requests and replies ---------------------------------------------------

// The packet of a request for a scalar or empty value: command, option,
// index | 0x20, then the value by type. aErrPacket for a zero or odd
// address, aErrParam for a byte-array or unknown type, aErrResource when the
// packet cannot be made.
aErr aUEI_BuildRequest(const uei* request, aPacket** packet);
// The same in the subindex form: command, option, specifier, subindex, value.
aErr aUEI_BuildRequestSubindex(const uei* request, uint8_t subindex,
                               aPacket** packet);

// Queues a request on a link: scalar types as one packet; byte arrays
// (type 5, v.bytes.length bytes from v.bytes.buffer) as a run of 24-byte
// chunks queued back to back (an empty array as one packet without
// payload). aErrPacket for a zero or odd address, aErrConnection when the
// link does not run; a failing put ends the run with its error. Byte arrays
// have no subindex form (aErrParam).
aErr aUEI_Send(uint32_t linkId, const uei* request);
aErr aUEI_SendSubindex(uint32_t linkId, const uei* request, uint8_t subindex);

// The reply filter: reference is the uei record (not const: a match fills
// its value, its error code or, for byte arrays, the next chunk).
uint8_t aUEI_MatchReply(const aPacket* packet, const void* reference);
// 1000 ms; 4000 ms for a byte array whose buffer exceeds 1000 bytes.
uint32_t aUEI_ReplyTimeout(const uei* record);
// Awaits the reply to the request described by record (address, command,
// the expected option byte, index; for byte arrays buffer, length and
// count with the count set to 0). aErrTimeout without an answer; the
// reply's error code when it carries the error flag.
aErr aUEI_Receive(uint32_t linkId, uei* record);

#endif

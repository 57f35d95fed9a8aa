// Device packets: a module address, a length and at most 28 data bytes.
//
// On the wire a packet is its address byte, its dataSize byte and dataSize
// data bytes (2 to 30 bytes, no framing). aPacket_AddByte assembles a packet
// one received byte at a time; the link engine's reader feeds it.
//
// Also here: the packet filter type shared by FIFOs, links and the object
// layer, and aPacketLog, a byte ring of traffic records.
#ifndef KORVEX_APACKET_H
#define KORVEX_APACKET_H

#include <cstdint>

#include "common/aError.h"

#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)
#define aPACKET_CHECK 0xBEEF

struct aPacket {
  uint16_t check;     // aPACKET_CHECK while the packet is live
  uint8_t fill;       // wire bytes received so far (address and length included)
  uint8_t address;    // module address: even, non-zero
  uint8_t dataSize;   // 0..28
  uint8_t data[aPACKET_MAX_DATA];  // bytes beyond dataSize are zero
};

// A packet filter: non-zero when the packet matches. The reference is the
// caller's; filters run under the lock of whatever calls them and must not
// call back into it.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, const void* reference);

// True for a non-null packet carrying the live marker.
inline bool aVALIDPACKET(const aPacket* packet) {
  return packet != nullptr && packet->check == aPACKET_CHECK;
}

// A new zeroed packet; null when memory is exhausted.
aPacket* aPacket_Create(void);
// A new packet with the given address and data; null for null data or a
// length above 28.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length,
                                const uint8_t* data);
// A new packet with the same address and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);

// Data byte 0, byte 1 & 0x3F and byte 2 & 0x1F. aErrParam for a null out,
// aErrPacket for an invalid packet or one too short for the byte.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Zeroes fill, address, dataSize and data.
aErr aPacket_Reset(aPacket* packet);
// Appends one received wire byte. aErrPacket for a byte that cannot belong
// to a packet (zero or odd address, length above 28, surplus byte),
// aErrOverrun past 30 bytes.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True when the packet is valid and holds all of its announced bytes.
bool aPacket_IsComplete(const aPacket* packet);
// Frees the packet and nulls the caller's pointer.
aErr aPacket_Destroy(aPacket** packet);

// Writes the packet's wire form (address, size, data) into buffer, which
// must hold 30 bytes; returns the byte count (0 for an invalid packet).
uint32_t aPacket_WireBytes(const aPacket* packet, uint8_t* buffer);

// Deleter for owning pointers to packets.
struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// Traffic log: a byte ring of records (type, length, bytes). One byte of
// the ring always stays free, so read == write means empty. Not locked.
enum aPacketLogType : uint8_t {
  aPacketLogSent = 1,      // packet written to the module (wire bytes)
  aPacketLogReceived = 2,  // packet received from the module (wire bytes)
  aPacketLogText = 3,
};

struct aPacketLog {
  uint8_t enabled;
  uint8_t* buffer;
  uint32_t capacity;
  uint32_t read;
  uint32_t write;
};

// Null when memory is exhausted or the capacity is below 2.
aPacketLog* aPacketLog_Create(uint32_t capacity);
// Adds one record, dropping the oldest records until it fits. aErrOverrun
// (nothing stored) when the record could never fit; aErrParam for a null
// log or null bytes with a non-zero length.
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint8_t length,
                    const uint8_t* bytes);
// Takes the oldest record. *length is in: the buffer's capacity, out: the
// record's length. aErrNotFound when empty; aErrOverrun (record kept) when
// the buffer is too small.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length,
                    uint8_t* buffer);
// Frees the log and nulls the pointer; a null log is no error.
aErr aPacketLog_Destroy(aPacketLog** log);

#endif

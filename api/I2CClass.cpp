// I2CClass: bus transfers as raw command 8 packets.
#include "api/I2CClass.h"

#include <cstring>

namespace Velmaris {
namespace Korvex {

namespace {

#define I2C_REPLY_MIN 5u
#define I2C_STATUS_AT 4u
#define I2C_STATUS_ERROR 0x80u
#define I2C_PULLUP 1u

}  // namespace

void I2CClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, cmdI2C, index);
  speed_ = 0;
}

aErr I2CClass::setSpeed(uint8_t code) {
  if (code > 3) return aErrParam;
  speed_ = code;
  return aErrNone;
}

// Sends command 8 with the request after it and awaits the reply that
// begins with match; the reply must carry its status byte.
aErr I2CClass::exchange(const uint8_t* request, uint8_t requestLength, const uint8_t* match,
                        uint8_t matchLength, uint8_t* reply, uint8_t& replyLength) {
  aErr err = sendPacket(cmdI2C, requestLength, request);
  if (err != aErrNone) return err;
  replyLength = matchLength;
  err = receivePacket(match, replyLength, reply);
  if (err != aErrNone) return err;
  if (replyLength < I2C_REPLY_MIN) return aErrPacket;
  const uint8_t status = reply[I2C_STATUS_AT];
  if ((status & I2C_STATUS_ERROR) != 0) return static_cast<aErr>(status & 0x7Fu);
  return aErrNone;
}

aErr I2CClass::read(uint8_t busAddress, uint8_t length, uint8_t* bytes, uint8_t* count) {
  if (length > I2C_MAX_TRANSFER) return aErrSize;
  if (bytes == nullptr && length != 0) return aErrParam;
  const uint8_t address = static_cast<uint8_t>(busAddress | 1u);
  const uint8_t request[] = {getIndex(), address, length, speed_};
  const uint8_t match[] = {cmdI2C, getIndex(), address};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = exchange(request, sizeof(request), match, sizeof(match), reply, replyLength);
  if (err != aErrNone) return err;
  // The count comes from the module: never past the packet's bytes nor the
  // caller's buffer.
  size_t n = reply[3];
  if (n > replyLength - I2C_REPLY_MIN) n = replyLength - I2C_REPLY_MIN;
  if (n > length) n = length;
  if (n != 0) std::memcpy(bytes, reply + I2C_REPLY_MIN, n);
  if (count != nullptr) *count = static_cast<uint8_t>(n);
  return aErrNone;
}

aErr I2CClass::write(uint8_t busAddress, uint8_t length, const uint8_t* bytes) {
  if (length > I2C_MAX_TRANSFER) return aErrSize;
  if (bytes == nullptr && length != 0) return aErrParam;
  uint8_t request[4 + I2C_MAX_TRANSFER] = {getIndex(), busAddress, length, speed_};
  if (length != 0) std::memcpy(request + 4, bytes, length);
  const uint8_t match[] = {cmdI2C, getIndex(), busAddress, 0};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return exchange(request, static_cast<uint8_t>(4 + length), match, sizeof(match), reply,
                  replyLength);
}

aErr I2CClass::setPullup(bool on) {
  const uint8_t request[] = {getIndex(), I2C_PULLUP, static_cast<uint8_t>(on ? 1 : 0)};
  const uint8_t match[] = {cmdI2C, getIndex(), I2C_PULLUP};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return exchange(request, sizeof(request), match, sizeof(match), reply, replyLength);
}

}  // namespace Korvex
}  // namespace Velmaris

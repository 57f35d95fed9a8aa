// SystemClass: each operation is one get, set or call of a system option.
#include "api/SystemClass.h"

#include <cstdint>

namespace Velmaris {
namespace Korvex {

namespace {

// Option 31 holds at most 64 bytes.
#define SYSTEM_MAX_WORDS 16u

}  // namespace

aErr SystemClass::getModule(uint8_t* value) {
  return getUEI8(1, value);
}

aErr SystemClass::setRouter(uint8_t value) {
  return setUEI8(2, value);
}

aErr SystemClass::getRouter(uint8_t* value) {
  return getUEI8(2, value);
}

aErr SystemClass::setHBInterval(uint8_t value) {
  return setUEI8(3, value);
}

aErr SystemClass::getHBInterval(uint8_t* value) {
  return getUEI8(3, value);
}

aErr SystemClass::setLED(uint8_t on) {
  return setUEI8(4, static_cast<uint8_t>(on != 0 ? 1 : 0));
}

aErr SystemClass::getLED(uint8_t* value) {
  return getUEI8(4, value);
}

aErr SystemClass::setBootSlot(uint8_t value) {
  return setUEI8(6, value);
}

aErr SystemClass::getBootSlot(uint8_t* value) {
  return getUEI8(6, value);
}

aErr SystemClass::getVersion(uint32_t* value) {
  return getUEI32(7, value);
}

aErr SystemClass::getModel(uint8_t* value) {
  return getUEI8(8, value);
}

aErr SystemClass::getSerialNumber(uint32_t* value) {
  return getUEI32(9, value);
}

aErr SystemClass::save() {
  return callUEI(10);
}

aErr SystemClass::reset() {
  return callUEI(11);
}

aErr SystemClass::getInputVoltage(uint32_t* value) {
  return getUEI32(12, value);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* value) {
  return getUEI8(13, value);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* value) {
  return getUEI8(14, value);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t value) {
  return setUEI8(15, value);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* value) {
  return getUEI8(15, value);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* value) {
  return getUEI8(16, value);
}

aErr SystemClass::routeToMe(uint8_t value) {
  return setUEI8(20, value);
}

aErr SystemClass::getInputCurrent(uint32_t* value) {
  return getUEI32(21, value);
}

aErr SystemClass::getUptime(uint32_t* value) {
  return getUEI32(22, value);
}

aErr SystemClass::getMaximumTemperature(int32_t* value) {
  return getUEI32(23, value);
}

aErr SystemClass::logEvents() {
  return callUEI(24);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* value) {
  return getUEI32(25, value);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* value) {
  return getUEI32(26, value);
}

aErr SystemClass::getTemperature(int32_t* value) {
  return getUEI32(27, value);
}

aErr SystemClass::getMinimumTemperature(int32_t* value) {
  return getUEI32(28, value);
}

aErr SystemClass::getInputPowerSource(uint8_t* value) {
  return getUEI8(29, value);
}

aErr SystemClass::setInputPowerBehavior(uint8_t value) {
  return setUEI8(30, value);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* value) {
  return getUEI8(30, value);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
  if (words == nullptr && count != 0) return aErrParam;
  if (count > SYSTEM_MAX_WORDS) return aErrSize;
  uint8_t bytes[SYSTEM_MAX_WORDS * 4];
  for (size_t i = 0; i < count; ++i) aUEI_StoreInt(bytes + 4 * i, words[i]);
  return setUEIBytes(31, bytes, count * 4);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  if (words == nullptr || count == nullptr || capacity == 0) return aErrParam;
  if (capacity > SIZE_MAX / 4) capacity = SIZE_MAX / 4;
  aErr err = getUEIBytes(31, reinterpret_cast<uint8_t*>(words), capacity * 4, count);
  if (err != aErrNone) return err;
  const size_t received = *count;
  if (getUEIBytesCheck(count, 4) == aErrNone)
    aUEI_ModifyIntBuffer(words, static_cast<uint32_t>(received / 4));
  return aErrNone;
}

aErr SystemClass::setName(const uint8_t* data, size_t length) {
  return setUEIBytes(32, data, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t length, size_t* count) {
  return getUEIBytes(32, buffer, length, count);
}

aErr SystemClass::getPowerLimit(uint32_t* value) {
  return getUEI32(33, value);
}

aErr SystemClass::setPowerLimitMax(uint32_t value) {
  return setUEI32(34, value);
}

aErr SystemClass::getPowerLimitMax(uint32_t* value) {
  return getUEI32(34, value);
}

aErr SystemClass::getPowerLimitState(uint32_t* value) {
  return getUEI32(35, value);
}

aErr SystemClass::resetEntityToFactoryDefaults() {
  return callUEI(36);
}

aErr SystemClass::resetDeviceToFactoryDefaults() {
  return callUEI(37);
}

aErr SystemClass::setLinkInterface(uint8_t value) {
  return setUEI8(38, value);
}

aErr SystemClass::getLinkInterface(uint8_t* value) {
  return getUEI8(38, value);
}

aErr SystemClass::getHardwareVersion(uint32_t* value) {
  return getUEI32(40, value);
}

aErr SystemClass::getErrors(uint32_t* value) {
  return getUEI32(41, value);
}

aErr SystemClass::setLEDMaxBrightness(uint8_t value) {
  return setUEI8(42, value);
}

aErr SystemClass::getLEDMaxBrightness(uint8_t* value) {
  return getUEI8(42, value);
}

aErr SystemClass::getBuild(uint32_t* value) {
  return getUEI32(43, value);
}

aErr SystemClass::getProtocolFeatures(uint32_t* value) {
  return getUEI32(45, value);
}

}  // namespace Korvex
}  // namespace Velmaris

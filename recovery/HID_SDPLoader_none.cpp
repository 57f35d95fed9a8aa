// Builds without hidapi: the HID transport is there but cannot open.
#include "recovery/HID_SDPLoader.h"

#include "common/aError.h"
#include "log/Log.h"

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId)
    : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() = default;

bool HID_SDPLoader::Available() { return false; }

bool HID_SDPLoader::init() {
  Log::log(DEBUG_iMXSerial, "HID boot ROM %04X:%04X: %s (built without hidapi)\n", vendorId_,
           productId_, aError_GetErrorText(aErrUnimplemented));
  return false;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>&) { return -1; }

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>&, int) { return 0; }

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                                      uint32_t& value) {
  return SDP_WordFromHIDAnswer(buffer, offset, value);
}

bool HID_SDPLoader::getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) {
  return SDP_SecurityFromHIDAnswer(buffer, value);
}

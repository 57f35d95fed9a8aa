// The boot ROM as a USB HID device through hidapi: report 1 carries a
// command, report 2 image data; the ROM answers with report 3 (security
// mode) and report 4 (status or data word).
#ifndef UPDATER_RECOVERY_HID_SDPLOADER_H
#define UPDATER_RECOVERY_HID_SDPLOADER_H

#include <cstdint>

#include "recovery/SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  // False when this build has no HID support (hidapi was not found): init
  // then fails and logs aErrUnimplemented's text.
  static bool Available();

  bool init() override;
  // One report, identifier first: hidapi's count (identifier included).
  ssize_t writeData(const std::vector<uint8_t>& data) override;
  // The reports that arrive within timeoutMs, up to and including a status
  // report (report 4 ends every answer), at most kMaxReports of them. -1
  // when the device is gone and nothing came.
  ssize_t readData(std::vector<uint8_t>& data, int timeoutMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                         uint32_t& value) override;
  bool getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) override;
  // Full-speed USB: one 64-byte packet a millisecond frame.
  size_t payloadStart() const override { return 6; }
  size_t payloadLimit() const override { return MAX_READ_BYTES - 1; }
  uint32_t transferMs(size_t bytes) const override {
    const uint64_t frames = (static_cast<uint64_t>(bytes) + 63) / 64;
    return frames > 3600000 ? 3600000u : static_cast<uint32_t>(frames);
  }

  static constexpr int kMaxReports = 4;

 private:
  [[maybe_unused]] hid_device_* handle_ = nullptr;  // unused without hidapi
  [[maybe_unused]] bool libraryUp_ = false;
  uint16_t vendorId_;
  uint16_t productId_;
};

#endif

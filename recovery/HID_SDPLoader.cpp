#include "recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include <chrono>
#include <thread>

#include "log/Log.h"

namespace {
constexpr size_t kSecurityReportBytes = 5;  // identifier + security-mode word

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId)
    : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (handle_ != nullptr) hid_close(handle_);
  if (libraryUp_) hid_exit();
}

bool HID_SDPLoader::Available() { return true; }

bool HID_SDPLoader::init() {
  if (handle_ != nullptr) {
    hid_close(handle_);
    handle_ = nullptr;
  }
  if (!libraryUp_) {
    if (hid_init() != 0) return false;
    libraryUp_ = true;
  }
  handle_ = hid_open(vendorId_, productId_, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
  if (handle_ == nullptr) {
    const wchar_t* why = hid_error(nullptr);
    Log::log(DEBUG_iMXSerial, "No HID boot ROM %04X:%04X: %ls\n", vendorId_, productId_,
             why != nullptr ? why : L"not found");
  }
  return handle_ != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& data) {
  if (handle_ == nullptr || data.empty()) return -1;
  return hid_write(handle_, data.data(), data.size());
}

// A report-3 read counts as its 5 bytes (identifier and word) only when
// that much arrived; every other read counts what it got. A read that finds
// nothing before the deadline (a device can show readable with no report
// ready) is tried again a millisecond later.
ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& data, int timeoutMs) {
  if (handle_ == nullptr) return 0;
  const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
  unsigned char report[MAX_READ_BYTES];
  ssize_t total = 0;
  for (int reports = 0; reports < kMaxReports;) {
    const int64_t left = deadline - NowMs();
    const int got = hid_read_timeout(handle_, report, sizeof report,
                                     static_cast<int>(left > 0 ? left : 0));
    if (got < 0) return total > 0 ? total : -1;
    if (got == 0) {
      if (NowMs() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    ++reports;
    size_t counted = static_cast<size_t>(got);
    if (report[0] == kSDPReportSecurity && counted >= kSecurityReportBytes)
      counted = kSecurityReportBytes;
    data.insert(data.end(), report, report + counted);
    total += static_cast<ssize_t>(counted);
    if (report[0] == kSDPReportStatus) break;
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                                      uint32_t& value) {
  return SDP_WordFromHIDAnswer(buffer, offset, value);
}

bool HID_SDPLoader::getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) {
  return SDP_SecurityFromHIDAnswer(buffer, value);
}

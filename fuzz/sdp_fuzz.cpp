// SDP answers of an i.MX boot ROM. The input's first byte picks the answer
// shape (USB HID reports or raw serial words) and how many bytes the
// transport claims to write; the rest are the answers, one length-prefixed
// piece per read. A loader goes out, is started and the fingerprint is
// read, through the loader's public steps, each reading whatever answers
// come; the word readers are also checked against their documented shape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "log/Log.h"
#include "recovery/SDPLoader.h"
#include "fuzz/FuzzLog.h"

namespace {

class ScriptedRom : public SDPLoader_Interface {
 public:
  ScriptedRom(FuzzInput& in, bool hid, uint8_t shortWrites)
      : in_(in), hid_(hid), shortWrites_(shortWrites) {}
  bool init() override { return true; }
  ssize_t writeData(const std::vector<uint8_t>& data) override {
    if (data.empty() || data[0] < kSDPReportCommand || data[0] > kSDPReportData) std::abort();
    if (data[0] == kSDPReportCommand && data.size() != MAX_COMMAND_BYTES) std::abort();
    if (data.size() > MAX_WRITE_BYTES + 1) std::abort();
    ++writes_;
    // Now and then a transport that takes less than it was given.
    if (shortWrites_ != 0 && writes_ % shortWrites_ == 0) return ssize_t(data.size() / 2);
    return ssize_t(data.size());
  }
  ssize_t readData(std::vector<uint8_t>& data, int) override {
    const std::vector<uint8_t> piece = in_.Piece();
    data.insert(data.end(), piece.begin(), piece.end());
    return ssize_t(piece.size());
  }
  bool getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                         uint32_t& value) override {
    return hid_ ? SDP_WordFromHIDAnswer(buffer, offset, value)
                : SDP_WordFromSerialAnswer(buffer, offset, value);
  }
  bool getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) override {
    return hid_ ? SDP_SecurityFromHIDAnswer(buffer, value)
                : SDP_SecurityFromSerialAnswer(buffer, value);
  }
  // A fast line: the deadlines matter little, as every read answers at once.
  uint32_t transferMs(size_t bytes) const override { return uint32_t(bytes / 1024); }
  size_t payloadStart() const override { return hid_ ? 6 : 4; }
  size_t payloadLimit() const override { return hid_ ? 64 : 1024; }

 private:
  FuzzInput& in_;
  bool hid_;
  uint8_t shortWrites_;
  uint32_t writes_ = 0;
};

uint32_t LittleEndianAt(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

// The readers take a word only where the documented shape has one.
void CheckWordReaders(const std::vector<uint8_t>& answer) {
  uint32_t security = 0;
  if (SDP_SecurityFromHIDAnswer(answer, security) &&
      (answer.size() < 5 || answer[0] != kSDPReportSecurity || security != LittleEndianAt(answer, 1))) {
    std::abort();
  }
  if (SDP_SecurityFromSerialAnswer(answer, security) &&
      (answer.size() < 4 || security != LittleEndianAt(answer, 0))) {
    std::abort();
  }
  for (size_t offset = 0; offset < 18; ++offset) {
    uint32_t hid = 0, serial = 0;
    const bool hidOk = SDP_WordFromHIDAnswer(answer, offset, hid);
    const bool serialOk = SDP_WordFromSerialAnswer(answer, offset, serial);
    if (hidOk && (answer.size() != 70 || offset > 15 || hid != LittleEndianAt(answer, offset + 6)))
      std::abort();
    if (serialOk &&
        (offset > 15 || answer.size() < offset + 8 || serial != LittleEndianAt(answer, offset + 4)))
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogIntoNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  {
    FuzzInput copy(data, size);
    copy.Byte();
    while (!copy.Empty()) CheckWordReaders(copy.Piece());
  }
  SDPLoader loader;
  if (!loader.setLoader(std::unique_ptr<SDPLoader_Interface>(
          new ScriptedRom(in, (mode & 1) != 0, uint8_t((mode >> 1) & 7))))) {
    std::abort();
  }
  if (loader.init() != aErrNone) std::abort();
  // An image of up to three data reports.
  std::vector<uint8_t> image(size_t(mode >> 4) * 200u + 1u, 0x5A);
  const int result = loader.writeLoader(image, 0x00910000);
  if (result != kSDPWriteOk && result != kSDPWriteNoAnswer && result != kSDPWriteInterrupted &&
      result != kSDPWriteNotComplete && result != kSDPWriteFailed && result != kSDPWriteNotRom) {
    std::abort();
  }
  if (result == kSDPWriteOk) {
    // A read-back that finds a difference names an address inside the image.
    uint32_t differs = 0;
    const aErr verified = loader.verifyLoader(image, 0x00910000, differs);
    if (verified == aErrWrite && (differs < 0x00910000 || differs - 0x00910000 >= image.size())) std::abort();
    if (verified != aErrNone && verified != aErrWrite && verified != aErrRead) std::abort();
    loader.startLoader(0x00910000);
  }
  uint64_t fingerprint = 0xFEEDFACECAFEBEEFull;
  const aErr err = loader.getFingerprint(fingerprint);
  if (err != aErrNone && fingerprint != 0xFEEDFACECAFEBEEFull) std::abort();
  return 0;
}

#include "tests/usb/hid_boot_rom.h"

namespace sdptest {

namespace {

uint32_t BE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void PutLE(std::vector<uint8_t>& v, uint32_t w) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(w >> (8 * i)));
}

}  // namespace

HidBootRom::HidBootRom(UMockdevTestbed* testbed, uint16_t vendor, uint16_t product, HidRomMode mode)
    : mode_(mode), node_(new ksim::HidNode(testbed, 0, vendor, product, "", *this)) {}

HidBootRom::~HidBootRom() { node_.reset(); }

bool HidBootRom::Plug(std::string& error) { return node_->Plug(error); }

// One input report per read; nothing queued is "nothing there".
bool HidBootRom::Input(std::vector<uint8_t>& report) {
  std::lock_guard<std::mutex> guard(lock_);
  if (mode_ == HidRomMode::kChatty && input_.empty()) {
    std::vector<uint8_t> noise(65, 0x5A);
    noise[0] = 4;
    input_.push_back(noise);
  }
  if (input_.empty()) return false;
  report = std::move(input_.front());
  input_.pop_front();
  return true;
}

void HidBootRom::Output(const uint8_t* p, size_t length) {
  std::lock_guard<std::mutex> guard(lock_);
  ++reports_;
  if (length >= 17 && p[0] == 1) {
    Command(p + 1);
  } else if (length >= 1 && p[0] == 2 && dataLeft_ > 0) {
    dataSizes_.push_back(length - 1);
    size_t take = length - 1;
    if (take > dataLeft_) take = dataLeft_;
    image_.insert(image_.end(), p + 1, p + 1 + take);
    dataLeft_ -= uint32_t(take);
    if (dataLeft_ == 0) Answer(0x88888888, true);
  }
}

void HidBootRom::Answer(uint32_t word, bool withStatus) {
  std::vector<uint8_t> security = {3};
  PutLE(security, kHidSecurityWord);
  if (mode_ == HidRomMode::kShortSecurityReport) security.resize(3);
  input_.push_back(security);
  if (!withStatus) return;
  std::vector<uint8_t> status = {4};
  PutLE(status, word);
  status.resize(65, 0);
  input_.push_back(status);
}

void HidBootRom::Command(const uint8_t* c) {
  const uint16_t type = uint16_t(c[0] << 8 | c[1]);
  const uint32_t address = BE32(c + 2);
  switch (type) {
    case 0x0505:
      ++statusCommands_;
      if (mode_ != HidRomMode::kSilent) Answer(kHidStatusWord, true);
      break;
    case 0x0404:
      writeAddress_ = address;
      dataLeft_ = BE32(c + 7);
      image_.clear();
      dataSizes_.clear();
      break;
    case 0x0B0B:
      jumpAddress_ = address;
      Answer(0, false);
      break;
    case 0x0101:
      Answer(address == 0x401F4410 ? kHidFuseLow : address == 0x401F4420 ? kHidFuseHigh : 0, true);
      break;
    default:
      break;
  }
}

int HidBootRom::statusCommands() {
  std::lock_guard<std::mutex> guard(lock_);
  return statusCommands_;
}
std::vector<size_t> HidBootRom::dataReportSizes() {
  std::lock_guard<std::mutex> guard(lock_);
  return dataSizes_;
}
std::vector<uint8_t> HidBootRom::image() {
  std::lock_guard<std::mutex> guard(lock_);
  return image_;
}
uint32_t HidBootRom::writeAddress() {
  std::lock_guard<std::mutex> guard(lock_);
  return writeAddress_;
}
uint32_t HidBootRom::jumpAddress() {
  std::lock_guard<std::mutex> guard(lock_);
  return jumpAddress_;
}
size_t HidBootRom::reportsTaken() {
  std::lock_guard<std::mutex> guard(lock_);
  return reports_;
}

}  // namespace sdptest

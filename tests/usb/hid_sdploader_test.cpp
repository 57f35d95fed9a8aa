// The HID SDP transport through the real hidapi (hidraw backend) against a
// scripted boot ROM on a umockdev hidraw node. Runs under umockdev-wrapper
// (see tests/CMakeLists.txt); skipped elsewhere.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "tests/usb/hid_boot_rom.h"

using sdptest::HidBootRom;
using sdptest::HidRomMode;

namespace {

constexpr uint16_t kVendor = 0x1FC9;
constexpr uint16_t kProduct = 0x0130;

bool UnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

class HidSDPTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UnderUmockdev()) GTEST_SKIP() << "needs umockdev-wrapper";
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
  }
  void TearDown() override {
    rom_.reset();
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }
  HidBootRom& Plug(HidRomMode mode) {
    rom_.reset(new HidBootRom(testbed_, kVendor, kProduct, mode));
    std::string error;
    EXPECT_TRUE(rom_->Plug(error)) << error;
    return *rom_;
  }
  static std::vector<uint8_t> Image(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + 3);
    return b;
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::unique_ptr<HidBootRom> rom_;
};

TEST_F(HidSDPTest, LoadsStartsAndReadsTheFuseWords) {
  HidBootRom& rom = Plug(HidRomMode::kAnswer);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(kVendor, kProduct)));
  ASSERT_EQ(loader.init(), aErrNone);

  const std::vector<uint8_t> image = Image(2500);
  EXPECT_EQ(loader.writeLoader(image, 0x20000400), kSDPWriteOk);
  EXPECT_EQ(rom.image(), image);
  EXPECT_EQ(rom.dataReportSizes(), (std::vector<size_t>{1024, 1024, 452}));
  EXPECT_EQ(rom.writeAddress(), 0x20000400u);

  uint64_t fingerprint = 0;
  EXPECT_EQ(loader.getFingerprint(fingerprint), aErrNone);
  EXPECT_EQ(fingerprint, uint64_t(sdptest::kHidFuseHigh) << 32 | sdptest::kHidFuseLow);

  loader.startLoader(0x20002000);
  EXPECT_EQ(rom.jumpAddress(), 0x20002000u);
}

TEST_F(HidSDPTest, AnAnswerIsTheSecurityReportAndTheStatusReport) {
  Plug(HidRomMode::kAnswer);
  HID_SDPLoader hid(kVendor, kProduct);
  ASSERT_TRUE(hid.init());
  EXPECT_EQ(hid.writeData(SDPLoader::_createStatusPacket()), 17);
  std::vector<uint8_t> answer;
  EXPECT_EQ(hid.readData(answer, 100), 70);
  ASSERT_EQ(answer.size(), 70u);
  EXPECT_EQ(answer[0], kSDPReportSecurity);
  EXPECT_EQ(answer[5], kSDPReportStatus);
  uint32_t word = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, word));
  EXPECT_EQ(word, sdptest::kHidStatusWord);
  answer.clear();
  EXPECT_EQ(hid.readData(answer, 0), 0);  // nothing more
}

TEST_F(HidSDPTest, SilentROMEndsAfterExactlyFiveStatusCommands) {
  HidBootRom& rom = Plug(HidRomMode::kSilent);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(kVendor, kProduct)));
  ASSERT_EQ(loader.init(), aErrNone);
  EXPECT_EQ(loader.writeLoader(Image(100), 0x20000400), kSDPWriteNoAnswer);
  EXPECT_EQ(rom.statusCommands(), 5);
  EXPECT_EQ(rom.reportsTaken(), 5u);
}

// A security report cut short counts only the bytes that came: the answer
// is not mistaken for a whole one.
TEST_F(HidSDPTest, ShortSecurityReportCountsWhatCame) {
  Plug(HidRomMode::kShortSecurityReport);
  HID_SDPLoader hid(kVendor, kProduct);
  ASSERT_TRUE(hid.init());
  ASSERT_EQ(hid.writeData(SDPLoader::_createStatusPacket()), 17);
  std::vector<uint8_t> answer;
  EXPECT_EQ(hid.readData(answer, 100), 68);
  uint32_t word = 0;
  EXPECT_FALSE(hid.getDataFromBuffer(answer, 0, word));
}

TEST_F(HidSDPTest, ChattyROMReadsAreBounded) {
  Plug(HidRomMode::kChatty);
  HID_SDPLoader hid(kVendor, kProduct);
  ASSERT_TRUE(hid.init());
  std::vector<uint8_t> answer;
  // A status report ends a read.
  EXPECT_EQ(hid.readData(answer, 100), ssize_t(MAX_READ_BYTES));
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(kVendor, kProduct)));
  ASSERT_EQ(loader.init(), aErrNone);
  // Its answer to the status check is whole; its chatter then interrupts.
  EXPECT_EQ(loader.writeLoader(Image(100), 0x20000400), kSDPWriteInterrupted);
}

TEST_F(HidSDPTest, OtherProductIsNotOpened) {
  Plug(HidRomMode::kAnswer);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(kVendor, 0x0135)));
  EXPECT_EQ(loader.init(), aErrIO);
  EXPECT_EQ(loader.writeLoader(Image(10), 0x20000400), kSDPWriteNoAnswer);
}

}  // namespace

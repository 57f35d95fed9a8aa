#include "app/UpdateChecks.h"

#include <vector>

#include <gtest/gtest.h>

#include "app/Updater.h"
#include "store/BirdWriter.h"
#include "tests/unit/recording_display.h"
#include "tests/unit/test_support.h"

namespace {

using testsupport::RecordingDisplay;
using testsupport::TempDir;

// Firmware of 64 bytes at 0x1000 (and a second image of 32 bytes at 0x2000
// when two), with the offsets block when offsets.
BirdFile Package(bool offsets, uint32_t serialWord, uint32_t descriptor, bool two = false) {
  std::vector<uint8_t> image(64, 0x5A);
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0x1000, image.data(), image.size());
  if (two) w.AddImage(BLOCK_FIRMWARE, 0x2000, image.data(), 32);
  if (offsets) w.AddSerialOffsets(serialWord, descriptor);
  const std::vector<uint8_t> bytes = w.Build();
  BirdFile file;
  file.LoadFromMemory(bytes.data(), bytes.size());
  return file;
}

}  // namespace

TEST(UpdateChecks, SerialWordsMustLandInsideOneFirmwareImage) {
  struct Case {
    const char* what;
    bool offsets;
    uint32_t serialWord, descriptor;
    bool two;
    bool inside;
  } cases[] = {
      {"both inside", true, 0x1004, 0x1020, false, true},
      {"only the word, last one inside", true, 0x103C, 0, false, true},
      {"only the descriptor, last 16 bytes", true, 0, 0x1030, false, true},
      {"word in the second image", true, 0x201C, 0, true, true},
      {"no offsets block", false, 0, 0, false, false},
      {"both offsets zero", true, 0, 0, false, false},
      {"word beyond every image", true, 0x1800, 0x1020, false, false},
      {"word straddling the end", true, 0x103E, 0, false, false},
      {"descriptor running past the end", true, 0x1004, 0x1032, false, false},
      {"word before the image", true, 0x0FFE, 0, false, false},
      {"near the top of the address space", true, 0xFFFFFFFE, 0xFFFFFFF8, false, false},
  };
  for (const Case& c : cases) {
    BirdFile file = Package(c.offsets, c.serialWord, c.descriptor, c.two);
    EXPECT_EQ(SerialWordsInImage(file), c.inside) << c.what;
  }
}

TEST(UpdateChecks, BlocksShorterThanTheirAddressAreRefused) {
  const std::vector<uint8_t> image(16, 1);
  const uint8_t three[3] = {0, 0, 0};
  struct Case {
    const char* what;
    BLOCK_TYPE shortType;
    bool addShort;
    bool addFirmware;
    const char* problem;
  } cases[] = {
      {"complete", BLOCK_LOADER, false, true, ""},
      {"short loader block", BLOCK_LOADER, true, true,
       "block 1 holds 3 bytes, less than its 4-byte address"},
      {"short firmware block", BLOCK_FIRMWARE, true, true,
       "block 1 holds 3 bytes, less than its 4-byte address"},
      {"no firmware", BLOCK_LOADER, false, false, "no firmware block"},
  };
  for (const Case& c : cases) {
    BirdWriter w;
    if (c.addShort) w.AddBlock(c.shortType, three, sizeof three);
    if (c.addFirmware) w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
    else w.AddImage(BLOCK_LOADER, 0, image.data(), image.size());
    const std::vector<uint8_t> bytes = w.Build();
    BirdFile file;
    file.LoadFromMemory(bytes.data(), bytes.size());
    EXPECT_EQ(UpdateFileProblem(file), c.problem) << c.what;
  }
}

TEST(UpdateChecks, BuildFromHistoryText) {
  EXPECT_EQ(BuildFromText("1310.bird"), 1310u);
  EXPECT_EQ(BuildFromText("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(BuildFromText("4294967296.bird"), 0u);  // no wrap to a small build
  EXPECT_EQ(BuildFromText(""), 0u);
  EXPECT_EQ(BuildFromText(" 12"), 0u);
  EXPECT_EQ(BuildFromText("-5"), 0u);
  EXPECT_EQ(BuildFromText("/tmp/x.bird"), 0u);
}

TEST(UpdateFirmware, RefusedWithoutSerialNumberOrBuild) {
  TempDir dir;
  RecordingDisplay display;
  // Nothing listens on the discard port: the server gives no answer.
  Updater updater("http://127.0.0.1:9/cgi/u", dir.join("updater"), display);
  EXPECT_FALSE(updater.Update_Firmware(0, 0, "", 0, 0, false));
  EXPECT_TRUE(display.HasError("Update command must specify the specific device"));
  EXPECT_FALSE(updater.Update_Firmware(0x40F5849A, 0, "", 0, 0, false));
  EXPECT_TRUE(display.HasError("Could not find valid build for this device."));
  // A refused file is refused with the reason -C gives; a missing stored
  // build names -G.
  EXPECT_FALSE(updater.Update_Firmware(0x40F5849A, 0, dir.join("missing.bird"), 0, 0, false));
  EXPECT_TRUE(display.HasError(
      "Failed to load bird file: the file cannot be found (No such file or directory)"));
  EXPECT_FALSE(updater.Update_Firmware(0x40F5849A, 1234, "", 0, 0, false));
  EXPECT_TRUE(display.HasError("Failed to load bird file: build 1234 is not in the store; "
                               "download it first with -G -d 40F5849A -b 1234"));
}

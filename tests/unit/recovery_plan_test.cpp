// The recovery plans: every LPC block checked before anything is erased,
// the last piece padded to its copy length, the rate programmed at, and the
// i.MX loader pieces.
#include <gtest/gtest.h>

#include <vector>

#include "app/UpdaterRecovery.h"
#include "store/BirdWriter.h"

namespace {

struct Image {
  uint32_t address;
  uint32_t length;  // image bytes after the address word
};

BirdFile FileWith(const std::vector<Image>& images, std::vector<uint8_t>& bytes) {
  BirdWriter w;
  bytes.assign(0x90000, 0xA5);
  for (const Image& i : images) w.AddImage(BLOCK_FIRMWARE, i.address, bytes.data(), i.length);
  const std::vector<uint8_t> built = w.Build();
  BirdFile file;
  file.LoadFromMemory(built.data(), built.size());
  return file;
}

}  // namespace

TEST(RecoveryPlanLpc, BlocksAreCheckedWholeBeforeAnyErase) {
  struct Case {
    std::vector<Image> images;
    const char* problem;  // nullptr: accepted
  } cases[] = {
      {{{0, 8192}}, nullptr},
      {{{0, 1000}, {0x10000, 4}}, nullptr},  // a closing 4-byte block
      {{{0, 4}, {0x1000, 256}}, "holds 4 bytes but is not the last block"},
      {{{0, 0}}, "holds no image"},
      {{{0x80, 256}}, "256-byte boundary"},
      {{{0x7FF00, 257}}, "outside flash"},  // padded to 512 past the end
      {{{0x7FF00, 256}}, nullptr},
      {{{0, 4097}, {0x1000, 16}}, "overlaps"},  // the padded 256 reaches 0x1100
      {{{0x1000, 16}, {0, 4097}}, "overlaps"},
      {{{0, 4097}, {0x1100, 16}}, nullptr},
      {{{0x80000, 256}}, "outside flash"},
      {{{0xFFFFFF00u, 256}}, "outside flash"},
      {{}, "no firmware"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes;
    BirdFile file = FileWith(c.images, bytes);
    std::vector<LpcBlockPlan> plan;
    std::string problem;
    const bool ok = RecoveryPlanLpc(file, plan, problem);
    if (c.problem == nullptr) {
      EXPECT_TRUE(ok) << problem;
    } else {
      EXPECT_FALSE(ok) << c.problem;
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
}

TEST(RecoveryPlanLpc, BlockShorterThanItsAddressWordIsRefused) {
  BirdWriter w;
  const uint8_t two[2] = {0, 0};
  w.AddBlock(BLOCK_FIRMWARE, two, sizeof two);
  const std::vector<uint8_t> built = w.Build();
  BirdFile file;
  file.LoadFromMemory(built.data(), built.size());
  std::vector<LpcBlockPlan> plan;
  std::string problem;
  EXPECT_FALSE(RecoveryPlanLpc(file, plan, problem));
  EXPECT_NE(problem.find("shorter than its address word"), std::string::npos) << problem;
}

TEST(RecoveryPlanLpc, PiecesOfAtMost4096WithTheLastPaddedToItsCopyLength) {
  std::vector<uint8_t> bytes;
  BirdFile file = FileWith({{0x2000, 4096 + 4096 + 301}}, bytes);
  std::vector<LpcBlockPlan> plan;
  std::string problem;
  ASSERT_TRUE(RecoveryPlanLpc(file, plan, problem)) << problem;
  ASSERT_EQ(plan.size(), 1u);
  const std::vector<LpcPiece>& p = plan[0].pieces;
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].flash, 0x2000u);
  EXPECT_EQ(p[1].flash, 0x3000u);
  EXPECT_EQ(p[2].flash, 0x4000u);
  EXPECT_EQ(p[2].length, 301u);
  EXPECT_EQ(p[2].copyLength, 512u);
  EXPECT_EQ(plan[0].imageLength, 8493u);
}

TEST(RecoveryLpcRate, OnlyARateTheRomCanTakeIsSwitchedTo) {
  const struct {
    uint32_t requested, expected;
  } cases[] = {{115200, 115200}, {57600, 57600}, {9600, 9600}, {0, 115200},
               {12345, 115200},  {230400, 230400}, {460800, 115200}};
  for (const auto& c : cases) EXPECT_EQ(RecoveryLpcRate(c.requested, 115200), c.expected) << c.requested;
}

TEST(RecoveryPlanImx, LoaderPiecesAndStart) {
  const uint8_t image[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  {
    BirdWriter w;
    w.AddImage(BLOCK_LOADER, 0x20000400, image, sizeof image);
    w.AddImage(BLOCK_LOADER, 0x20001400, image, 4);
    w.AddLoaderStart(0x20000500);
    const std::vector<uint8_t> built = w.Build();
    BirdFile file;
    file.LoadFromMemory(built.data(), built.size());
    std::vector<ImxLoaderPiece> pieces;
    uint32_t start = 0;
    std::string problem;
    ASSERT_TRUE(RecoveryPlanImx(file, pieces, start, problem)) << problem;
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].address, 0x20000400u);
    EXPECT_EQ(pieces[0].image, std::vector<uint8_t>(image, image + 8));
    EXPECT_EQ(pieces[1].image.size(), 4u);
    EXPECT_EQ(start, 0x20000500u);
  }
  // A loader block with nothing after its address word, or none at all.
  for (int variant = 0; variant < 2; ++variant) {
    BirdWriter w;
    if (variant == 0) w.AddImage(BLOCK_LOADER, 0x20000400, image, 0);
    w.AddImage(BLOCK_FIRMWARE, 0x60000000, image, sizeof image);
    const std::vector<uint8_t> built = w.Build();
    BirdFile file;
    file.LoadFromMemory(built.data(), built.size());
    std::vector<ImxLoaderPiece> pieces;
    uint32_t start = 0;
    std::string problem;
    EXPECT_FALSE(RecoveryPlanImx(file, pieces, start, problem)) << variant;
  }
}

// The streaming check of a BIRD file against loading the whole file.
#include "store/BirdStreamCheck.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/BirdFile.h"
#include "store/BirdWriter.h"
#include "tests/unit/test_support.h"

namespace {

struct Verdict {
  bool loads = false;
  bool structure = false;
  uint32_t blocks = 0;
  uint32_t declared = 0;
  uint32_t build = 0;
};

// What the updater used to check on the whole downloaded file.
Verdict Whole(const std::vector<uint8_t>& file) {
  Verdict v;
  BirdFile bird;
  v.loads = BirdFile::VerifyHeader(file.data(), file.size()) &&
            bird.LoadFromMemory(file.data(), file.size());
  if (v.loads) {
    v.structure = bird.StructureValid();
    v.blocks = bird.BlockCount();
    v.declared = bird.DeclaredBlockCount();
    v.build = bird.GetBuild();
  }
  return v;
}

// The file fed in pieces cut at the given sizes (cycled).
Verdict Streamed(const std::vector<uint8_t>& file, const std::vector<size_t>& cuts) {
  BirdStreamCheck check;
  size_t pos = 0;
  for (size_t i = 0; pos < file.size(); ++i) {
    size_t n = cuts.empty() ? file.size() : cuts[i % cuts.size()];
    if (n > file.size() - pos) n = file.size() - pos;
    check.Feed(file.data() + pos, n);
    pos += n;
  }
  Verdict v;
  v.loads = check.Finish();
  EXPECT_EQ(check.Finish(), v.loads) << "the verdict does not change when asked again";
  if (v.loads) {
    v.structure = check.StructureValid();
    v.blocks = check.BlockCount();
    v.declared = check.DeclaredBlockCount();
    v.build = check.GetBuild();
  }
  return v;
}

void ExpectSame(const std::vector<uint8_t>& file, const std::vector<size_t>& cuts,
                const std::string& what) {
  const Verdict w = Whole(file);
  const Verdict s = Streamed(file, cuts);
  EXPECT_EQ(s.loads, w.loads) << what;
  EXPECT_EQ(s.structure, w.structure) << what;
  EXPECT_EQ(s.blocks, w.blocks) << what;
  EXPECT_EQ(s.declared, w.declared) << what;
  EXPECT_EQ(s.build, w.build) << what;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; i += 16) {
    const uint32_t op = rng() % 4;
    for (size_t k = i; k < i + 16 && k < n; ++k) v[k] = op == 0 ? uint8_t(rng()) : uint8_t(op);
  }
  return v;
}

BirdWriter Package(size_t imageSize, uint32_t build) {
  BirdWriter w;
  const std::vector<uint8_t> loader = Pattern(40, 1);
  const std::vector<uint8_t> image = Pattern(imageSize, 2);
  w.AddImage(BLOCK_LOADER, 0x10000000, loader.data(), loader.size());
  w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
  w.AddSerialOffsets(0x100, 0x200);
  w.AddInfo(build, "2.11.5", 0x40F5849A, "KX-DAQ8");
  w.AddLoaderStart(0x10000001);
  return w;
}

using testsupport::Cat;
using testsupport::Word;
using testsupport::Block;

TEST(BirdStreamCheck, AcceptsWhatLoadsInAnyPieces) {
  for (size_t size : {size_t(0), size_t(5), size_t(300), size_t(200000)}) {
    const std::vector<uint8_t> file = Package(size, 4242).Build(6);
    ASSERT_FALSE(file.empty());
    ASSERT_TRUE(Whole(file).loads);
    ASSERT_TRUE(Whole(file).structure);
    ExpectSame(file, {}, "whole, image " + std::to_string(size));
    ExpectSame(file, {7, 1, 4096}, "cut, image " + std::to_string(size));
    if (size < 1000) ExpectSame(file, {1}, "byte by byte, image " + std::to_string(size));
    EXPECT_EQ(Streamed(file, {13}).build, 4242u);
  }
}

TEST(BirdStreamCheck, LargeBodyCrossesManyWindows) {
  // The information block sits behind 3 MiB of image, so its build field
  // arrives in a later window than its block head.
  const std::vector<uint8_t> file = Package(3u << 20, 777).Build(1);
  ExpectSame(file, {}, "whole");
  ExpectSame(file, {16384, 100, 65537}, "cut");
  BirdStreamCheck check;
  check.Feed(file.data(), file.size());
  ASSERT_TRUE(check.Finish());
  EXPECT_EQ(check.GetBuild(), 777u);
  EXPECT_GT(check.ExpandedSize(), uint64_t(3u << 20));
}

TEST(BirdStreamCheck, SameLayoutVerdictOnBrokenBodies) {
  const std::vector<uint8_t> info = Pattern(64, 9);
  std::vector<uint8_t> field = {'1', '2', '3', '4', ' ', ' '};
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> bodies = {
      {"empty body", {}},
      {"three bytes", {0, 0, 1}},
      {"count only", Word(0)},
      {"count and checksum", Cat(Word(0), Word(5))},
      {"missing checksum", Cat(Word(1), Block(1, {0, 0, 0, 0, 1}, 5))},
      {"short checksum", Cat(Cat(Word(1), Block(1, {0, 0, 0, 0, 1}, 5)), {1, 2, 3})},
      {"extra after checksum", Cat(Cat(Cat(Word(1), Block(1, {0, 0, 0, 0, 1}, 5)), Word(1)), {9})},
      {"wrong count", Cat(Cat(Word(3), Block(1, {0, 0, 0, 0, 1}, 5)), Word(0))},
      {"overrunning block", Cat(Cat(Word(2), Block(1, {0, 0, 0, 0}, 4)), Block(4, field, 999))},
      {"overrunning information block", Cat(Word(1), Block(4, field, 70))},
      {"short information block", Cat(Cat(Word(1), Block(4, field, 6)), Word(0))},
      {"two information blocks",
       Cat(Cat(Cat(Word(2), Block(4, field, 6)), Block(4, info, 64)), Word(0))},
      {"head cut short", Cat(Cat(Word(2), Block(1, {0, 0, 0, 0}, 4)), {4, 0, 0, 0, 0, 1})},
      {"zero-length blocks", Cat(Cat(Cat(Word(2), Block(7, {}, 0)), Block(7, {}, 0)), Word(0))},
  };
  for (const auto& b : bodies) {
    const std::vector<uint8_t> file = BirdWriter::Wrap(b.second, 6);
    ExpectSame(file, {}, b.first);
    ExpectSame(file, {1}, b.first + " byte by byte");
    ExpectSame(file, {2, 5, 3}, b.first + " cut");
  }
}

TEST(BirdStreamCheck, RefusesBadHeadersTruncationAndCorruption) {
  const std::vector<uint8_t> good = Package(5000, 31).Build(6);
  std::mt19937 rng(5);
  // Every cut of the first bytes, then cuts spread over the rest.
  for (size_t cut = 0; cut < good.size(); cut += cut < 64 ? 1 : 1 + rng() % 97) {
    std::vector<uint8_t> file(good.begin(), good.begin() + cut);
    ExpectSame(file, {3, 11}, "cut at " + std::to_string(cut));
    EXPECT_FALSE(Streamed(file, {}).loads) << "cut at " << cut;
  }
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> file = good;
    const size_t at = rng() % file.size();
    file[at] = uint8_t(file[at] ^ (1u + rng() % 255));
    ExpectSame(file, {size_t(1 + rng() % 700)}, "byte " + std::to_string(at) + " changed");
  }
  std::vector<uint8_t> file = good;
  file[4] = 0;
  EXPECT_FALSE(Streamed(file, {}).loads) << "a zero version byte";
  file = good;
  file[0] = 'B';
  EXPECT_FALSE(Streamed(file, {}).loads) << "another signature";
}

TEST(BirdStreamCheck, IgnoresBytesAfterTheStreamAsLoadingDoes) {
  std::vector<uint8_t> file = Package(100, 8).Build(6);
  file.insert(file.end(), {'j', 'u', 'n', 'k'});
  ExpectSame(file, {}, "junk after the stream");
  ExpectSame(file, {1}, "junk after the stream, byte by byte");
  EXPECT_TRUE(Streamed(file, {}).loads);
}

TEST(BirdStreamCheck, RefusesAStreamThatNeedsADictionary) {
  // A zlib header with the preset-dictionary flag: loading refuses it.
  std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 1, 1, 0x78, 0xBB, 0, 0, 0, 1, 0x03, 0x00};
  ExpectSame(file, {}, "dictionary");
  EXPECT_FALSE(Streamed(file, {}).loads);
}

std::vector<uint8_t> Info(const std::string& build, const std::string& model, uint32_t length) {
  std::string fields = build;
  fields.resize(16, ' ');
  fields += "2.11.5          00000000        " + model;
  fields.resize(64, ' ');
  return Block(4, std::vector<uint8_t>(fields.begin(), fields.begin() + length), length);
}

// A loader (type 0) or firmware (type 1) block of n image bytes at address.
std::vector<uint8_t> Image(uint8_t type, uint32_t address, uint32_t n) {
  return Block(type, Cat(Word(address), std::vector<uint8_t>(n, 0x5A)), n + 4);
}

// Whether a package can be used, and why not, is one verdict: the stream
// check gives the one loading gives, and neither keeps more than
// BIRD_FILE_MAX_BLOCKS blocks.
TEST(BirdStreamCheck, SameUsabilityVerdictAndBoundedBlocks) {
  const std::vector<uint8_t> fw = Block(1, {0, 0, 0, 0, 1, 2}, 6);
  const std::vector<uint8_t> good = Cat(fw, Info("1300", "KX", 64));
  const std::vector<uint8_t> info = Info("1300", "KX", 64);
  // Bodies of image blocks and an information block.
  auto images = [&info](std::vector<std::vector<uint8_t>> blocks) {
    std::vector<uint8_t> body = Word(uint32_t(blocks.size() + 1));
    for (const auto& b : blocks) body = Cat(body, b);
    return Cat(body, info);
  };
  std::vector<uint8_t> empties;
  for (int i = 0; i < 4094; ++i) empties = Cat(empties, Block(3, {}, 0));
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> bodies = {
      {Cat(Word(2), good), ""},
      {Cat(Cat(Word(2), fw), Info("1300", "KX", 4)), "the information block holds 4 bytes, 64 are needed"},
      {Word(0), "the package holds no blocks"},
      {Cat(Word(1), fw), "no information block: build, version and model are unknown"},
      {Cat(Word(1), Info("1300", "KX", 64)), "no firmware block"},
      {Cat(Cat(Word(2), Block(1, {0, 0}, 2)), Info("1300", "KX", 64)),
       "block 0 is too short to hold its load address"},
      {Cat(Cat(Word(2), fw), Info("4294968530", "KX", 64)),
       "the build number of the information block is above 4294967295"},
      {Cat(Cat(Word(2), fw), Info("1300", "", 64)), "the information block names no model"},
      {Cat(Word(4096), Cat(empties, good)), ""},
      {Cat(Word(4096), Cat(Cat(empties, Block(3, {}, 0)), good)),
       "the package holds more than 4096 blocks"},
      {Cat(Word(4097), good), "the package declares 4097 blocks, more than the 4096 allowed"},
      // Images must fit below 4 GiB, and no address may be written twice
      // in one phase.
      {images({Image(1, 0xFFFFFFFC, 64)}),
       "block 0 (64 image bytes at 0xFFFFFFFC) runs past address 0xFFFFFFFF"},
      {images({Image(1, 0, 8), Image(0, 0xFFFFFFF0, 17)}),
       "block 1 (17 image bytes at 0xFFFFFFF0) runs past address 0xFFFFFFFF"},
      {images({Image(1, 0xFFFFFFFC, 4), Image(1, 0, 0)}), ""},
      {images({Image(1, 0x1000, 16), Image(1, 0x100F, 4)}),
       "firmware blocks 0 and 1 overlap at address 0x0000100F"},
      {images({Image(1, 0x2000, 0x100), Image(1, 0x3000, 4), Image(1, 0x2080, 4)}),
       "firmware blocks 0 and 2 overlap at address 0x00002080"},
      {images({Image(0, 0x20000400, 0x1000), Image(0, 0x20000400, 4), Image(1, 0, 4)}),
       "loader blocks 0 and 1 overlap at address 0x20000400"},
      {images({Image(1, 0x1000, 16), Image(1, 0x1010, 4), Image(0, 0x1000, 32)}), ""},
  };
  for (const auto& b : bodies) {
    const std::vector<uint8_t> file = BirdWriter::Wrap(Cat(b.first, Word(0)), 6);
    ExpectSame(file, {}, b.second);
    BirdFile whole;
    whole.LoadFromMemory(file.data(), file.size());
    EXPECT_EQ(whole.Problem(), b.second);
    EXPECT_LE(whole.BlockCount(), BIRD_FILE_MAX_BLOCKS);
    for (const std::vector<size_t>& cuts : {std::vector<size_t>{}, {7, 1, 4096}}) {
      BirdStreamCheck check;
      for (size_t pos = 0, i = 0; pos < file.size(); ++i) {
        const size_t n = cuts.empty() ? file.size() : std::min(cuts[i % cuts.size()], file.size() - pos);
        check.Feed(file.data() + pos, n);
        pos += n;
      }
      check.Finish();
      EXPECT_EQ(check.Problem(), b.second);
      EXPECT_EQ(check.Usable(), b.second.empty());
    }
  }
}

}  // namespace

namespace {

// The worker gives the verdict of the check it runs, for whole, cut,
// truncated and corrupted files.
TEST(BirdCheckWorker, GivesTheVerdictOfTheStreamingCheck) {
  const std::vector<uint8_t> good = Package(300000, 55).Build(6);
  std::vector<std::vector<uint8_t>> files = {good};
  files.emplace_back(good.begin(), good.begin() + good.size() / 2);
  std::vector<uint8_t> corrupt = good;
  corrupt[corrupt.size() / 3] ^= 0x5A;
  files.push_back(corrupt);
  std::vector<uint8_t> badHeader = good;
  badHeader[1] = 'X';
  files.push_back(badHeader);
  for (size_t i = 0; i < files.size(); ++i) {
    const std::vector<uint8_t>& file = files[i];
    BirdCheckWorker worker;
    for (size_t pos = 0; pos < file.size(); pos += 12288) {
      const size_t n = std::min<size_t>(12288, file.size() - pos);
      worker.Feed(file.data() + pos, n);
    }
    const Verdict want = Streamed(file, {12288});
    EXPECT_EQ(worker.Finish(), want.loads) << "file " << i;
    EXPECT_EQ(worker.Finish(), want.loads) << "asked again, file " << i;
    EXPECT_EQ(worker.Check().StructureValid(), want.structure) << "file " << i;
    EXPECT_EQ(worker.Check().GetBuild(), want.build) << "file " << i;
    EXPECT_FALSE(worker.Feed(file.data(), 1)) << "nothing is taken after Finish";
  }
}

TEST(BirdCheckWorker, RefusesMoreOnceTheCheckFailedAndStopsWithoutFinish) {
  BirdCheckWorker worker;
  const uint8_t junk[6] = {'n', 'o', 't', ' ', 'a', ' '};
  worker.Feed(junk, sizeof junk);
  bool refused = false;
  for (int i = 0; i < 2000 && !refused; ++i) refused = !worker.Feed(junk, sizeof junk);
  EXPECT_FALSE(worker.Finish());

  // Destroyed while bytes are still queued: the thread is stopped and joined.
  const std::vector<uint8_t> good = Package(100000, 1).Build(6);
  BirdCheckWorker abandoned;
  abandoned.Feed(good.data(), good.size());
}

}  // namespace

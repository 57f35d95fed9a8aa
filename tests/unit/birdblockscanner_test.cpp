// The one block walk of BIRD bodies, fed in pieces of any size, and the
// expansion loop that feeds it.
#include "store/BirdBlockScanner.h"

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "store/BirdExpander.h"
#include "store/BirdWriter.h"
#include "tests/unit/test_support.h"

namespace {

using testsupport::Cat;
using testsupport::Word;
using testsupport::Block;

std::vector<uint8_t> Info(const std::string& build, const std::string& model) {
  std::string fields = build;
  fields.resize(16, ' ');
  fields += "1.0.0           00000000        " + model;
  fields.resize(64, ' ');
  return Block(4, std::vector<uint8_t>(fields.begin(), fields.end()), 64);
}

struct Walk {
  bool fed = true;
  bool refused = false;
  bool hasCount = false;
  uint32_t declared = 0;
  std::vector<std::vector<uint64_t>> heads;  // type/flags, length, offset
  bool overrun = false;
  bool hasChecksum = false;
  uint32_t checksum = 0;
  int64_t remaining = 0;
  bool valid = false;
  std::string problem;
  uint32_t build = 0;

  bool operator==(const Walk& o) const {
    return fed == o.fed && refused == o.refused && hasCount == o.hasCount &&
           declared == o.declared && heads == o.heads && overrun == o.overrun &&
           hasChecksum == o.hasChecksum && checksum == o.checksum && remaining == o.remaining &&
           valid == o.valid && problem == o.problem && build == o.build;
  }
};

Walk Describe(BirdBlockScanner& scanner, bool fed) {
  scanner.Finish();
  Walk w;
  w.fed = fed;
  w.refused = scanner.Refused();
  w.hasCount = scanner.HasCount();
  w.declared = scanner.DeclaredCount();
  for (const BirdBlockHead& h : scanner.Blocks()) w.heads.push_back({h.typeFlags, h.length, h.offset});
  w.overrun = scanner.Overrun();
  w.hasChecksum = scanner.HasChecksum();
  w.checksum = scanner.Checksum();
  w.remaining = scanner.Remaining();
  w.valid = scanner.StructureValid();
  w.problem = w.refused ? scanner.RefusalProblem() : BirdContentProblem(scanner.Content());
  BirdInfoBuild(scanner.Content().info, scanner.Content().infoLength, &w.build);
  return w;
}

// The body fed in pieces cut at the given sizes (cycled); none: whole.
Walk Scan(const std::vector<uint8_t>& body, const std::vector<size_t>& cuts) {
  BirdBlockScanner scanner;
  bool fed = true;
  for (size_t pos = 0, i = 0; pos < body.size(); ++i) {
    size_t n = cuts.empty() ? body.size() : cuts[i % cuts.size()];
    if (n > body.size() - pos) n = body.size() - pos;
    fed = scanner.Feed(body.data() + pos, n) && fed;
    pos += n;
  }
  return Describe(scanner, fed);
}

const std::vector<uint8_t> kFirmware = Block(0x21, {0, 0, 0x10, 0, 1, 2, 3}, 7);

TEST(BirdBlockScanner, ReadsHeadsCountChecksumAndContent) {
  const std::vector<uint8_t> body =
      Cat(Cat(Cat(Word(2), kFirmware), Info("4321", "KX-7")), Word(0xCAFEF00D));
  const Walk w = Scan(body, {});
  EXPECT_TRUE(w.fed);
  EXPECT_TRUE(w.hasCount);
  EXPECT_EQ(w.declared, 2u);
  ASSERT_EQ(w.heads.size(), 2u);
  EXPECT_EQ(w.heads[0], (std::vector<uint64_t>{0x21, 7, 9}));
  EXPECT_EQ(w.heads[1], (std::vector<uint64_t>{4, 64, 21}));
  EXPECT_TRUE(w.hasChecksum);
  EXPECT_EQ(w.checksum, 0xCAFEF00Du);
  EXPECT_EQ(w.remaining, 0);
  EXPECT_TRUE(w.valid);
  EXPECT_EQ(w.problem, "");
  EXPECT_EQ(w.build, 4321u);

  BirdBlockScanner scanner;
  scanner.Feed(body.data(), body.size());
  scanner.Finish();
  EXPECT_EQ(scanner.Blocks()[0].Type(), BLOCK_FIRMWARE);
  EXPECT_EQ(scanner.Blocks()[0].Flags(), 1u);
  EXPECT_EQ(scanner.Size(), body.size());
}

TEST(BirdBlockScanner, AnyPiecesGiveTheWholeBodyVerdict) {
  std::vector<uint8_t> many = Word(300);
  for (int i = 0; i < 300; ++i) many = Cat(many, Block(uint8_t(i), {uint8_t(i)}, i % 2));
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> bodies = {
      {"empty", {}},
      {"short count", {0, 1}},
      {"count only", Word(0)},
      {"good", Cat(Cat(Cat(Word(2), kFirmware), Info("12", "KX")), Word(7))},
      {"no checksum", Cat(Cat(Word(2), kFirmware), Info("12", "KX"))},
      {"two checksum bytes", Cat(Cat(Cat(Word(2), kFirmware), Info("12", "KX")), {1, 2})},
      {"extra bytes", Cat(Cat(Cat(Word(1), kFirmware), Word(7)), {9, 9, 9})},
      {"overrunning info", Cat(Cat(Word(2), kFirmware), Block(4, {'5', '5'}, 64))},
      {"overrun by one byte", Cat(Cat(Word(1), Block(1, {0, 0, 0}, 4)), {})},
      {"wrong count", Cat(Cat(Word(5), kFirmware), Word(0))},
      {"short image", Cat(Cat(Cat(Word(2), Block(0, {1}, 1)), Info("9", "KX")), Word(0))},
      {"many small blocks", Cat(many, Word(0))},
  };
  std::mt19937 rng(11);
  for (const auto& b : bodies) {
    const Walk whole = Scan(b.second, {});
    EXPECT_TRUE(Scan(b.second, {1}) == whole) << b.first << " byte by byte";
    EXPECT_TRUE(Scan(b.second, {2, 5, 3}) == whole) << b.first << " cut";
    for (int round = 0; round < 5; ++round) {
      std::vector<size_t> cuts;
      for (int i = 0; i < 7; ++i) cuts.push_back(1 + rng() % 40);
      EXPECT_TRUE(Scan(b.second, cuts) == whole) << b.first << " random cuts";
    }
  }
}

TEST(BirdBlockScanner, OverrunningBlockIsNotCounted) {
  const std::vector<uint8_t> body = Cat(Cat(Word(2), kFirmware), Block(4, {'5', '5'}, 64));
  const Walk w = Scan(body, {3});
  EXPECT_EQ(w.heads.size(), 1u);
  EXPECT_TRUE(w.overrun);
  EXPECT_FALSE(w.hasChecksum);
  EXPECT_EQ(w.remaining, 7);  // the overrunning head and its 2 data bytes
  EXPECT_FALSE(w.valid);
  EXPECT_EQ(w.problem, "no information block: build, version and model are unknown");
  EXPECT_EQ(w.build, 0u);
  BirdBlockScanner scanner;
  scanner.Feed(body.data(), body.size());
  scanner.Finish();
  EXPECT_EQ(scanner.OverrunBlock().length, 64u);
  EXPECT_EQ(scanner.OverrunBlock().offset, 21u);
}

TEST(BirdBlockScanner, WithoutACountThereIsNoStructure) {
  const Walk w = Scan({0, 0, 1}, {});
  EXPECT_FALSE(w.hasCount);
  EXPECT_EQ(w.declared, 0u);
  EXPECT_TRUE(w.heads.empty());
  EXPECT_FALSE(w.valid);
  EXPECT_EQ(w.problem, "the package holds no blocks");
}

TEST(BirdBlockScanner, RefusesTooManyBlocksAndIgnoresTheRest) {
  const Walk declared = Scan(Cat(Word(BIRD_FILE_MAX_BLOCKS + 1), kFirmware), {2});
  EXPECT_FALSE(declared.fed);
  EXPECT_TRUE(declared.refused);
  EXPECT_EQ(declared.problem, "the package declares 4097 blocks, more than the 4096 allowed");

  std::vector<uint8_t> body = Word(BIRD_FILE_MAX_BLOCKS);
  for (uint32_t i = 0; i < BIRD_FILE_MAX_BLOCKS; ++i) body = Cat(body, Block(3, {}, 0));
  const Walk full = Scan(Cat(body, Word(0)), {});
  EXPECT_FALSE(full.refused);
  EXPECT_EQ(full.heads.size(), size_t(BIRD_FILE_MAX_BLOCKS));
  EXPECT_TRUE(full.valid);

  body = Cat(body, Block(3, {}, 0));
  for (const std::vector<size_t>& cuts : {std::vector<size_t>{}, {1}, {4096}}) {
    BirdBlockScanner scanner;
    bool fed = true;
    for (size_t pos = 0, i = 0; pos < body.size(); ++i) {
      const size_t n = cuts.empty() ? body.size() : std::min(cuts[i % cuts.size()], body.size() - pos);
      fed = scanner.Feed(body.data() + pos, n) && fed;
      pos += n;
    }
    EXPECT_FALSE(fed);
    EXPECT_TRUE(scanner.Refused());
    EXPECT_EQ(scanner.Refusal(), BirdLoadFailure::HoldsTooMany);
    EXPECT_FALSE(scanner.Feed(body.data(), 1)) << "nothing is taken once refused";
    scanner.Finish();
    EXPECT_LE(scanner.BlockCount(), BIRD_FILE_MAX_BLOCKS);
    EXPECT_FALSE(scanner.StructureValid());
  }
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

// The body a kept expansion releases is the body that was compressed, and
// the window mode walks the same blocks, whatever the compressed pieces.
TEST(BirdBodyExpander, KeepsOrWalksTheSameBodyInAnyPieces) {
  BirdWriter w;
  const std::vector<uint8_t> image = Pattern(300000, 3);
  w.AddImage(BLOCK_FIRMWARE, 0x1000, image.data(), image.size());
  w.AddInfo(77, "1.2.3", 0, "KX-9");
  const std::vector<uint8_t> body = w.Body();
  const std::vector<uint8_t> file = w.Build(6);
  const std::vector<uint8_t> stream(file.begin() + BIRD_FILE_HEADER_SIZE, file.end());
  const Walk expected = Scan(body, {});
  for (size_t cut : {stream.size(), size_t(1), size_t(13), size_t(4096)}) {
    for (bool keep : {true, false}) {
      BirdBodyExpander expander(keep, keep ? stream.size() : 0);
      for (size_t pos = 0; pos < stream.size(); pos += cut) {
        ASSERT_TRUE(expander.Feed(stream.data() + pos, std::min(cut, stream.size() - pos)));
      }
      ASSERT_TRUE(expander.Ended()) << cut;
      EXPECT_FALSE(expander.Failed());
      EXPECT_EQ(expander.ExpandedSize(), body.size());
      EXPECT_TRUE(Describe(expander.Scanner(), true) == expected) << cut << " keep " << keep;
      size_t size = 0;
      uint8_t* kept = expander.ReleaseBody(&size);
      if (keep) {
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(kept, kept + size), body);
      } else {
        EXPECT_EQ(kept, nullptr);
      }
      std::free(kept);
    }
  }
}

TEST(BirdBodyExpander, RefusesCorruptTruncatedAndTrailingVerdictsAsZlib) {
  const std::vector<uint8_t> file = BirdWriter::Wrap(Cat(Cat(Word(1), kFirmware), Word(0)), 6);
  std::vector<uint8_t> stream(file.begin() + BIRD_FILE_HEADER_SIZE, file.end());
  {  // bytes after the stream are not read
    std::vector<uint8_t> more = Cat(stream, {'x', 'y'});
    BirdBodyExpander expander(true);
    EXPECT_TRUE(expander.Feed(more.data(), more.size()));
    EXPECT_TRUE(expander.Ended());
    EXPECT_TRUE(expander.Feed(more.data(), more.size())) << "later bytes are ignored";
  }
  {  // cut in the Adler-32 trailer: waits for more, never ends
    BirdBodyExpander expander(false);
    EXPECT_TRUE(expander.Feed(stream.data(), stream.size() - 2));
    EXPECT_FALSE(expander.Ended());
    EXPECT_FALSE(expander.Failed());
  }
  {  // a wrong checksum
    std::vector<uint8_t> wrong = stream;
    wrong.back() ^= 1;
    BirdBodyExpander expander(true);
    EXPECT_FALSE(expander.Feed(wrong.data(), wrong.size()));
    EXPECT_EQ(expander.Failure(), BirdExpandFailure::Corrupt);
    EXPECT_EQ(expander.Code(), -3);
  }
  // Header bytes zlib refuses: check bits, method, window size, dictionary.
  const std::vector<std::vector<uint8_t>> headers = {
      {0x78, 0x9D}, {0x79, 0x18}, {0x88, 0x1C}, {0x78, 0xBB}};
  for (const auto& h : headers) {
    std::vector<uint8_t> bad = Cat(h, std::vector<uint8_t>(stream.begin() + 2, stream.end()));
    BirdBodyExpander expander(false);
    EXPECT_FALSE(expander.Feed(bad.data(), 1) && expander.Feed(bad.data() + 1, bad.size() - 1));
    EXPECT_TRUE(expander.Failed());
    EXPECT_FALSE(expander.Ended());
  }
}

// zlib's own verdict and bytes on a whole stream.
bool ZlibExpands(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out) {
  out.assign(1 << 20, 0);
  uLongf size = uLongf(out.size());
  const int ret = uncompress(out.data(), &size, stream.data(), uLong(stream.size()));
  out.resize(ret == Z_OK ? size_t(size) : 0);
  return ret == Z_OK;
}

// The inflater in pieces, with output room of changing size.
bool InflaterExpands(const std::vector<uint8_t>& stream, size_t cut, std::vector<uint8_t>& out) {
  BirdInflater inflater;
  out.clear();
  uint8_t room[1000];
  BirdInflater::Status status = BirdInflater::Status::NeedInput;
  for (size_t pos = 0, i = 0; pos < stream.size() && status == BirdInflater::Status::NeedInput; ++i) {
    const size_t n = std::min(cut, stream.size() - pos);
    inflater.SetInput(stream.data() + pos, n);
    pos += n;
    do {
      size_t produced = 0;
      status = inflater.Expand(room, 1 + (i * 37 + out.size()) % sizeof room, &produced);
      out.insert(out.end(), room, room + produced);
    } while (status == BirdInflater::Status::OutputFull);
  }
  if (status == BirdInflater::Status::Error) {
    EXPECT_TRUE(inflater.Code() == Z_DATA_ERROR || inflater.Code() == Z_NEED_DICT);
  }
  return status == BirdInflater::Status::End;
}

TEST(BirdInflater, GivesZlibsBytesAndVerdicts) {
  std::vector<std::vector<uint8_t>> streams;
  for (int level : {0, 1, 6, 9}) {
    const std::vector<uint8_t> file = BirdWriter::Wrap(Pattern(70000, uint32_t(level)), level);
    streams.emplace_back(file.begin() + BIRD_FILE_HEADER_SIZE, file.end());
  }
  // A dynamic block whose literal/length code is incomplete (two codes of
  // 2 bits): zlib refuses it, however well the rest decodes.
  streams.push_back({0x78, 0x9C, 0x05, 0xC0, 0x81, 0x00, 0x00, 0x00, 0x00, 0x80,
                     0x20, 0xD6, 0xFD, 0x25, 0x0E, 0x04, 0x01, 0x25, 0x00, 0xC3});
  std::mt19937 rng(4);
  const size_t count = streams.size();
  for (size_t k = 0; k < count; ++k) {
    for (int round = 0; round < 20; ++round) {
      std::vector<uint8_t> damaged = streams[k];
      const size_t at = rng() % damaged.size();
      damaged[at] = uint8_t(damaged[at] ^ (1u << (rng() % 8)));
      streams.push_back(damaged);
      streams.emplace_back(streams[k].begin(), streams[k].begin() + rng() % streams[k].size());
    }
  }
  for (size_t k = 0; k < streams.size(); ++k) {
    std::vector<uint8_t> want, got;
    const bool expands = ZlibExpands(streams[k], want);
    for (size_t cut : {streams[k].size(), size_t(1), size_t(7), size_t(500)}) {
      EXPECT_EQ(InflaterExpands(streams[k], cut, got), expands) << "stream " << k << " cut " << cut;
      if (expands) {
        EXPECT_EQ(got, want) << "stream " << k << " cut " << cut;
      }
    }
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(ZlibExpands(streams[4], out)) << "the incomplete code is refused by zlib";
  EXPECT_NE(std::string(BirdInflater::ChecksumRoutine()), "");
}

}  // namespace

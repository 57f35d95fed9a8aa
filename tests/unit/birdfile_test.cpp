#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include "store/BirdFile.h"
#include "store/BirdStreamCheck.h"
#include "store/BirdWriter.h"
#include "tests/unit/log_capture.h"
#include "tests/unit/test_support.h"

using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
  return v;
}

void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
  testsupport::WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

// A complete package: loader, two firmware pieces, offsets, info, loader
// start and an extra block of type 9.
BirdWriter FullPackage() {
  BirdWriter w;
  std::vector<uint8_t> loader = Pattern(40, 1);
  std::vector<uint8_t> fw0 = Pattern(256, 2);
  std::vector<uint8_t> fw1 = Pattern(64, 3);
  uint8_t extra[3] = {0xAA, 0xBB, 0xCC};
  w.AddImage(BLOCK_LOADER, 0x10000000, loader.data(), loader.size(), 2);
  w.AddImage(BLOCK_FIRMWARE, 0x0, fw0.data(), fw0.size(), 5);
  w.AddImage(BLOCK_FIRMWARE, 0x1000, fw1.data(), fw1.size(), 7);
  w.AddSerialOffsets(0x20, 0x40);
  w.AddInfo(1234, "1.2.3", 0xABCD, "KX-100");
  w.AddLoaderStart(0x10000101);
  w.AddBlock(9, extra, sizeof extra, 1);
  return w;
}

std::vector<uint8_t> BodyWith(uint32_t declared, const std::vector<uint8_t>& blocks,
                              bool checksum = true) {
  std::vector<uint8_t> body = {uint8_t(declared >> 24), uint8_t(declared >> 16),
                               uint8_t(declared >> 8), uint8_t(declared)};
  body.insert(body.end(), blocks.begin(), blocks.end());
  if (checksum) body.insert(body.end(), {0x12, 0x34, 0x56, 0x78});
  return body;
}

std::vector<uint8_t> RawBlock(uint8_t typeFlags, uint32_t length, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {typeFlags, uint8_t(length >> 24), uint8_t(length >> 16),
                            uint8_t(length >> 8), uint8_t(length)};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

BirdFile LoadBytes(const std::vector<uint8_t>& bytes) {
  BirdFile file;
  file.LoadFromMemory(bytes.data(), bytes.size());
  return file;
}

}  // namespace

TEST(BirdFile, DefaultObjectAnswersEmpty) {
  BirdFile file;
  EXPECT_EQ(file.BlockCount(), 0u);
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
  EXPECT_TRUE(file.FindBlocks(BLOCK_FIRMWARE).empty());
  EXPECT_FALSE(file.SerialOffsetsPresent());
  EXPECT_EQ(file.DataSize(), 0u);
}

TEST(BirdFile, LoadsEveryBlockWithItsFields) {
  TempDir dir;
  std::string path = dir.join("1234.bird");
  ASSERT_EQ(FullPackage().Write(path.c_str()), aErrNone);
  LogCapture log(DEBUG_BirdFile);
  BirdFile file(path.c_str());
  EXPECT_EQ(file.Signature(), 0x62697264u);
  EXPECT_EQ(file.Version(), 0x0101u);
  ASSERT_EQ(file.BlockCount(), 7u);
  EXPECT_TRUE(file.StructureValid());
  const std::vector<BirdBlock>& b = file.Blocks();
  EXPECT_EQ(b[0].type, BLOCK_LOADER);
  EXPECT_EQ(b[0].flags, 2);
  EXPECT_EQ(b[0].length, 44u);
  EXPECT_EQ(b[0].address, 0x10000000u);
  EXPECT_EQ(b[1].flags, 5);
  EXPECT_EQ(b[2].address, 0x1000u);
  EXPECT_EQ(b[2].flags, 7);
  EXPECT_EQ(b[3].address, 0u);  // only loader and firmware carry an address
  EXPECT_EQ(b[6].type, 9);
  EXPECT_EQ(b[6].length, 3u);
  EXPECT_EQ(b[6].data[0], 0xAA);
  std::vector<uint8_t> fw1 = Pattern(64, 3);
  EXPECT_EQ(std::memcmp(b[2].data + 4, fw1.data(), fw1.size()), 0);
  // Blocks point into the owned buffer.
  EXPECT_GE(b[2].data, file.Data());
  EXPECT_LE(b[2].data + b[2].length, file.Data() + file.DataSize());

  EXPECT_EQ(file.FindBlocks(BLOCK_FIRMWARE).size(), 2u);
  EXPECT_EQ(file.FindBlocks(BLOCK_FIRMWARE)[1].address, 0x1000u);
  EXPECT_TRUE(file.SerialOffsetsPresent());
  EXPECT_EQ(file.SerialNumberOffset(), 0x20u);
  EXPECT_EQ(file.DescriptorOffset(), 0x40u);
  EXPECT_EQ(file.GetBuild(), 1234u);
  EXPECT_EQ(file.GetVersion(), "1.2.3");
  EXPECT_EQ(file.GetSerialNumber(), 0xABCDu);
  EXPECT_EQ(file.GetModel(), "KX-100");
  EXPECT_TRUE(file.ValidateSerialNumber(0xABCD));
  EXPECT_FALSE(file.ValidateSerialNumber(0xABCE));

  std::string text = log.Text();
  EXPECT_NE(text.find("BIRDFILE: Loading File [" + path + "]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 7 blocks\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 01   05   260\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t \t[1.2.3           ]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE: Offsets: Serial number: 32, Descriptor: 64\n"), std::string::npos);
  EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

TEST(BirdFile, MissingFileThrowsAndLogs) {
  TempDir dir;
  std::string path = dir.join("none.bird");
  LogCapture log(DEBUG_BirdFile);
  try {
    BirdFile file(path.c_str());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
  EXPECT_TRUE(log.Contains("BIRDFILE: BIRD file not found [" + path + "]\n"));
  EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
}

TEST(BirdFile, VerifyFileChecksHeaderOnly) {
  TempDir dir;
  std::string good = dir.join("good.bird"), v10 = dir.join("v10"), v00 = dir.join("v00"),
              sig = dir.join("sig"), shortFile = dir.join("short");
  Put(good, {'b', 'i', 'r', 'd', 1, 1});  // header only: verifies, does not load
  Put(v10, {'b', 'i', 'r', 'd', 1, 0});
  Put(v00, {'b', 'i', 'r', 'd', 0, 0});
  Put(sig, {'b', 'a', 'r', 'd', 1, 1, 0x78});
  Put(shortFile, {'b', 'i', 'r', 'd', 1});
  EXPECT_TRUE(BirdFile::VerifyFile(good.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(v10.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(v00.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(sig.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(shortFile.c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(dir.path().c_str()) && false);
}

TEST(BirdFile, HeaderOnlyOrEmptyBodyFailsWithDecompressionReport) {
  for (size_t size : {0u, 3u, 6u}) {
    std::vector<uint8_t> bytes = {'b', 'i', 'r', 'd', 1, 1};
    bytes.resize(size);
    LogCapture log(DEBUG_BirdFile);
    BirdFile file = LoadBytes(bytes);
    EXPECT_EQ(file.BlockCount(), 0u);
    EXPECT_TRUE(log.Contains("decompressing bird file.\n")) << size;
  }
}

TEST(BirdFile, ZlibErrorsFailTheLoad) {
  std::vector<uint8_t> good = FullPackage().Build();
  // A stream cut short.
  std::vector<uint8_t> cut(good.begin(), good.begin() + good.size() / 2);
  {
    LogCapture log(DEBUG_BirdFile);
    BirdFile file;
    EXPECT_FALSE(file.LoadFromMemory(cut.data(), cut.size()));
    EXPECT_TRUE(log.Contains("BIRDFILE: Error (-3) decompressing bird file.\n"));
    EXPECT_EQ(file.BlockCount(), 0u);
    EXPECT_EQ(file.DataSize(), 0u);
  }
  // A broken zlib header and a damaged stream.
  std::vector<uint8_t> badHeader = good;
  badHeader[6] = 0x00;
  std::vector<uint8_t> damaged = good;
  for (size_t i = 12; i < damaged.size() - 4; i += 3) damaged[i] ^= 0x5A;
  for (const auto& bytes : {badHeader, damaged}) {
    LogCapture log(DEBUG_BirdFile);
    BirdFile file;
    EXPECT_FALSE(file.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_TRUE(log.Contains("decompressing bird file.\n"));
    EXPECT_TRUE(file.Blocks().empty());
  }
}

// Load reads a file a piece at a time and expands each piece as it comes;
// for files of many pieces, good or damaged anywhere, it must come to what
// loading the same bytes at once comes to.
TEST(BirdFile, LoadingAFileInPiecesAgreesWithLoadingItAtOnce) {
  std::vector<uint8_t> image(300000);
  uint32_t state = 99;
  for (uint8_t& b : image) {
    state = state * 1664525u + 1013904223u;
    b = uint8_t(state >> 24);
  }
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0x0, image.data(), image.size());
  w.AddInfo(77, "7.7", 0, "KX-7");
  const std::vector<uint8_t> good = w.Build();
  ASSERT_GT(good.size(), 4u * 64 * 1024);
  struct Variant {
    const char* name;
    std::vector<uint8_t> bytes;
    bool loads;
  };
  std::vector<Variant> variants = {{"whole", good, true}};
  std::vector<uint8_t> damaged = good;
  damaged[3 * 64 * 1024 + 5] ^= 0x40;  // in the fourth piece
  variants.push_back({"damaged in a later piece", damaged, false});
  variants.push_back({"cut in a later piece",
                      std::vector<uint8_t>(good.begin(), good.end() - 70000), false});
  std::vector<uint8_t> trailing = good;
  trailing.insert(trailing.end(), 5000, 0xA5);
  variants.push_back({"bytes after the stream", trailing, true});
  std::vector<uint8_t> badHeader = good;
  badHeader[4] = 0;
  variants.push_back({"zero version byte", badHeader, true});
  TempDir dir;
  for (const Variant& v : variants) {
    const std::string path = dir.join("v.bird");
    Put(path, v.bytes);
    BirdFile fromFile;
    fromFile.SetPath(path);
    BirdFile atOnce;
    EXPECT_EQ(fromFile.Load(), v.loads) << v.name;
    EXPECT_EQ(atOnce.LoadFromMemory(v.bytes.data(), v.bytes.size()), v.loads) << v.name;
    EXPECT_EQ(fromFile.Problem(), atOnce.Problem()) << v.name;
    EXPECT_EQ(fromFile.Signature(), atOnce.Signature()) << v.name;
    EXPECT_EQ(fromFile.Version(), atOnce.Version()) << v.name;
    EXPECT_EQ(fromFile.BlockCount(), atOnce.BlockCount()) << v.name;
    ASSERT_EQ(fromFile.DataSize(), atOnce.DataSize()) << v.name;
    if (v.loads) {
      EXPECT_EQ(std::memcmp(fromFile.Data(), atOnce.Data(), atOnce.DataSize()), 0) << v.name;
      ASSERT_EQ(fromFile.FindBlocks(BLOCK_FIRMWARE).size(), 1u) << v.name;
      EXPECT_EQ(std::memcmp(fromFile.FindBlocks(BLOCK_FIRMWARE)[0].Image(), image.data(),
                            image.size()),
                0)
          << v.name;
    }
  }
}

TEST(BirdFile, FailedReloadLeavesNoBlocks) {
  TempDir dir;
  std::string path = dir.join("f.bird");
  ASSERT_EQ(FullPackage().Write(path.c_str()), aErrNone);
  BirdFile file(path.c_str());
  ASSERT_EQ(file.BlockCount(), 7u);
  Put(path, {'b', 'i', 'r', 'd', 1, 1, 0x78, 0x9C, 0x01});
  EXPECT_FALSE(file.Load());
  EXPECT_EQ(file.BlockCount(), 0u);
  EXPECT_TRUE(file.FindBlocks(BLOCK_FIRMWARE).empty());
  EXPECT_FALSE(file.SerialOffsetsPresent());
}

TEST(BirdFile, ExpandsFarBeyondEightToOne) {
  // 1 MiB of erased flash compresses about 1000:1.
  std::vector<uint8_t> image(1 << 20, 0xFF);
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
  std::vector<uint8_t> bytes = w.Build();
  ASSERT_GT(image.size(), 8 * bytes.size());
  BirdFile file = LoadBytes(bytes);
  ASSERT_EQ(file.BlockCount(), 1u);
  EXPECT_EQ(file.Blocks()[0].length, image.size() + 4);
  EXPECT_EQ(file.DataSize(), 4u + 5u + 4u + image.size() + 4u);
  EXPECT_TRUE(file.StructureValid());
}

TEST(BirdFile, RefusesDecompressionBomb) {
  // One block claiming almost 4 GiB, then 256 MiB + 64 KiB of zeros (which
  // would otherwise read as millions of empty blocks), made piecewise.
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  ASSERT_EQ(deflateInit(&zs, 9), Z_OK);
  std::vector<uint8_t> head = {0, 0, 0, 1, 1, 0xFF, 0xFF, 0xFF, 0xF0};
  std::vector<uint8_t> zeros(64 * 1024, 0);
  std::vector<uint8_t> out = {'b', 'i', 'r', 'd', 1, 1};
  std::vector<uint8_t> chunk(64 * 1024);
  const size_t pieces = BIRD_FILE_MAX_EXPANDED_SIZE / zeros.size() + 1;
  for (size_t i = 0; i <= pieces; ++i) {
    zs.next_in = i == 0 ? head.data() : zeros.data();
    zs.avail_in = i == 0 ? uInt(head.size()) : i < pieces ? uInt(zeros.size()) : 0;
    int flush = i < pieces ? Z_NO_FLUSH : Z_FINISH;
    do {
      zs.next_out = chunk.data();
      zs.avail_out = uInt(chunk.size());
      deflate(&zs, flush);
      out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - zs.avail_out));
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  LogCapture log(DEBUG_BirdFile);
  BirdFile file;
  EXPECT_FALSE(file.LoadFromMemory(out.data(), out.size()));
  EXPECT_TRUE(log.Contains("expands beyond 268435456 bytes; refusing it.\n"));
  EXPECT_EQ(file.DataSize(), 0u);
  // The streaming check, which sees the body through a window, stops there too.
  BirdStreamCheck check;
  EXPECT_FALSE(check.Feed(out.data(), out.size()));
  EXPECT_TRUE(check.Failed());
}

TEST(BirdFile, DeclaredCountMismatchIsLoggedButLoads) {
  BirdWriter w;
  uint8_t d[4] = {1, 2, 3, 4};
  w.AddBlock(7, d, 4);
  w.AddBlock(8, d, 2);
  w.SetDeclaredCount(3);
  LogCapture log(DEBUG_BirdFile);
  BirdFile file = LoadBytes(w.Build());
  EXPECT_EQ(file.BlockCount(), 2u);
  EXPECT_EQ(file.DeclaredBlockCount(), 3u);
  EXPECT_FALSE(file.StructureValid());
  EXPECT_TRUE(log.Contains("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"));
  EXPECT_FALSE(log.Contains("mismatch in data size"));
}

TEST(BirdFile, LengthPastTheEndStopsTheScanWithoutOverreading) {
  std::vector<uint8_t> blocks = RawBlock(0x01, 8, {0, 0, 0, 0, 1, 2, 3, 4});
  std::vector<uint8_t> bad = RawBlock(0x01, 0x7FFFFFF0, {0, 0, 0x10, 0});
  blocks.insert(blocks.end(), bad.begin(), bad.end());
  LogCapture log(DEBUG_BirdFile);
  BirdFile file;
  EXPECT_TRUE(file.LoadFromMemory(BirdWriter::Wrap(BodyWith(2, blocks)).data(),
                                  BirdWriter::Wrap(BodyWith(2, blocks)).size()));
  EXPECT_EQ(file.BlockCount(), 1u);
  EXPECT_FALSE(file.StructureValid());
  EXPECT_TRUE(log.Contains("claims 2147483632 data bytes"));
  EXPECT_TRUE(log.Contains("BIRDFILE: Block parsing mismatch in data size. (13 bytes remaining)\n"));
  EXPECT_TRUE(log.Contains("(1 != 2)"));
  // The one good block is still usable.
  EXPECT_TRUE(file.ReplaceVectorChecksum());
}

TEST(BirdFile, ChecksumWordHandling) {
  std::vector<uint8_t> blocks = RawBlock(0x07, 2, {9, 9});
  {
    LogCapture log(DEBUG_BirdFile);
    BirdFile file = LoadBytes(BirdWriter::Wrap(BodyWith(1, blocks)));
    EXPECT_TRUE(file.StructureValid());
    EXPECT_EQ(file.FileChecksum(), 0x12345678u);
    EXPECT_TRUE(log.Contains("BIRDFILE:\t\t File checksum 12345678\n"));
    EXPECT_FALSE(log.Contains("mismatch"));
  }
  {  // two bytes too many
    std::vector<uint8_t> body = BodyWith(1, blocks);
    body.push_back(0);
    body.push_back(0);
    LogCapture log(DEBUG_BirdFile);
    BirdFile file = LoadBytes(BirdWriter::Wrap(body));
    EXPECT_TRUE(log.Contains("mismatch in data size."));
    EXPECT_FALSE(file.StructureValid());
  }
  {  // checksum missing entirely
    LogCapture log(DEBUG_BirdFile);
    BirdFile file = LoadBytes(BirdWriter::Wrap(BodyWith(1, blocks, false)));
    EXPECT_EQ(file.BlockCount(), 1u);
    EXPECT_TRUE(log.Contains("mismatch in data size. (-4 bytes remaining)\n"));
  }
  {  // a valid zlib stream of nothing
    LogCapture log(DEBUG_BirdFile);
    BirdFile file;
    std::vector<uint8_t> bytes = BirdWriter::Wrap(std::vector<uint8_t>());
    EXPECT_TRUE(file.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(file.DataSize(), 0u);
    EXPECT_EQ(file.BlockCount(), 0u);
    EXPECT_FALSE(file.StructureValid());
    EXPECT_TRUE(log.Contains("BIRDFILE: Block data of 0 bytes holds no block count\n"));
  }
  {  // body too short for a count
    BirdFile file;
    std::vector<uint8_t> body = {0, 0};
    std::vector<uint8_t> bytes = BirdWriter::Wrap(body);
    EXPECT_TRUE(file.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(file.BlockCount(), 0u);
    EXPECT_FALSE(file.StructureValid());
  }
}

TEST(BirdFile, ShortBlocksAreCarriedSafely) {
  // A firmware block without room for its address, a 10-byte info block and
  // a 4-byte offsets block.
  std::vector<uint8_t> blocks = RawBlock(0x01, 2, {0xAB, 0xCD});
  std::vector<uint8_t> info = RawBlock(0x04, 10, {'4', '2', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '});
  std::vector<uint8_t> offsets = RawBlock(0x02, 4, {0, 0, 0, 1});
  blocks.insert(blocks.end(), info.begin(), info.end());
  blocks.insert(blocks.end(), offsets.begin(), offsets.end());
  BirdFile file = LoadBytes(BirdWriter::Wrap(BodyWith(3, blocks)));
  ASSERT_EQ(file.BlockCount(), 3u);
  EXPECT_EQ(file.Blocks()[0].address, 0u);
  EXPECT_EQ(file.GetBuild(), 42u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_TRUE(file.SerialOffsetsPresent());
  EXPECT_EQ(file.SerialNumberOffset(), 0u);
  uint32_t key[4] = {1, 2, 3, 4};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  EXPECT_EQ(file.Blocks()[0].data[0], 0xAB);
  EXPECT_FALSE(file.ReplaceSerialNumber(5));
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  uint8_t pattern[2] = {0xAB, 0xCD};
  EXPECT_TRUE(file.ValidateData(pattern, 2));
  EXPECT_FALSE(file.ValidateData(pattern, 0));
}

namespace {
BirdFile WithInfoFields(const std::string& fields) {
  std::vector<uint8_t> data(fields.begin(), fields.end());
  data.resize(64, ' ');
  return LoadBytes(BirdWriter::Wrap(BodyWith(1, RawBlock(0x04, 64, data))));
}
}  // namespace

TEST(BirdFile, InformationFieldRules) {
  BirdFile a = WithInfoFields(std::string("1234            ") + "1.2.3 beta rc1  " +
                              "0000ABCDxyz     " + "ABC             ");
  EXPECT_EQ(a.GetBuild(), 1234u);
  EXPECT_EQ(a.GetVersion(), "1.2.3");
  EXPECT_EQ(a.GetSerialNumber(), 0xABCDu);
  EXPECT_EQ(a.GetModel(), "ABC");
  // The whole name: neither a prefix nor an empty name (a model not read).
  EXPECT_TRUE(a.ValidateModel("ABC"));
  EXPECT_FALSE(a.ValidateModel("AB"));
  EXPECT_FALSE(a.ValidateModel(""));
  EXPECT_FALSE(a.ValidateModel(nullptr));
  EXPECT_FALSE(a.ValidateModel("ABCD"));
  EXPECT_FALSE(a.ValidateModel("abc"));
  // The 16th character of build and version never counts; serial stops at 8.
  BirdFile b = WithInfoFields(std::string("0000000000000129") + "ABCDEFGHIJKLMNOP" +
                              "123456789       " + "KX-100 ROUTERPRO");
  EXPECT_EQ(b.GetBuild(), 12u);
  EXPECT_EQ(b.GetVersion(), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(b.GetSerialNumber(), 0x12345678u);
  EXPECT_EQ(b.GetModel(), "KX-100 ROUTERPRO");
  EXPECT_TRUE(b.ValidateModel("KX-100 ROUTERPRO"));
  EXPECT_FALSE(b.ValidateModel("KX-100"));
  BirdFile c = WithInfoFields(std::string("no digits       "));
  EXPECT_EQ(c.GetBuild(), 0u);
}

TEST(BirdFile, ValidateModelNeedsAnInfoBlock) {
  BirdWriter w;
  uint8_t d[8] = {0};
  w.AddImage(BLOCK_FIRMWARE, 0, d, sizeof d);
  BirdFile file = LoadBytes(w.Build());
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.ValidateModel(nullptr));
}

namespace {
// Firmware at 0x1000 of 64 bytes; offsets given.
BirdFile SerialPackage(bool offsets, uint32_t s, uint32_t d, std::vector<uint8_t>* image) {
  *image = Pattern(64, 0x40);
  for (size_t i = 1; i < 64; i += 2) (*image)[i] = 0;  // UTF-16 high bytes
  (*image)[0x21] = 0x03;
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0x1000, image->data(), image->size());
  if (offsets) w.AddSerialOffsets(s, d);
  return LoadBytes(w.Build());
}
}  // namespace

TEST(BirdFile, ReplaceSerialNumberWritesWordAndDescriptor) {
  std::vector<uint8_t> image;
  BirdFile file = SerialPackage(true, 0x1004, 0x1020, &image);
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(file.ReplaceSerialNumber(0x1A2B3C4D));
  const uint8_t* img = file.Blocks()[0].data + 4;
  EXPECT_EQ(img[4], 0x4D);
  EXPECT_EQ(img[5], 0x3C);
  EXPECT_EQ(img[6], 0x2B);
  EXPECT_EQ(img[7], 0x1A);
  const char* text = "1A2B3C4D";
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(img[0x20 + 2 * i], uint8_t(text[i])) << i;
    EXPECT_EQ(img[0x21 + 2 * i], image[0x21 + 2 * i]) << i;  // high bytes kept
  }
  EXPECT_EQ(img[3], image[3]);
  EXPECT_EQ(img[8], image[8]);
  EXPECT_TRUE(log.Contains("BIRDFILE: updating serial number from 006A005C ==> 1A2B3C4D\n"));
}

TEST(BirdFile, ReplaceSerialNumberRespectsImageBounds) {
  std::vector<uint8_t> image;
  {  // offset outside every block: nothing changes, still true
    BirdFile file = SerialPackage(true, 0x2000, 0, &image);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x11111111));
    EXPECT_EQ(std::memcmp(file.Blocks()[0].data + 4, image.data(), image.size()), 0);
  }
  {  // word straddling the end, descriptor running past the end
    BirdFile file = SerialPackage(true, 0x103E, 0x1032, &image);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x22222222));
    EXPECT_EQ(std::memcmp(file.Blocks()[0].data + 4, image.data(), image.size()), 0);
  }
  {  // the last word and the last 16 bytes are still inside
    BirdFile file = SerialPackage(true, 0x103C, 0x1030, &image);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x33333333));
    EXPECT_EQ(file.Blocks()[0].data[4 + 0x3C], 0x33);
    EXPECT_EQ(file.Blocks()[0].data[4 + 0x30], '3');
  }
  {  // only a descriptor offset, before the image
    BirdFile file = SerialPackage(true, 0, 0xFF8, &image);
    EXPECT_FALSE(file.ReplaceSerialNumber(0x44444444));
  }
  {  // no offsets block
    BirdFile file = SerialPackage(false, 0, 0, &image);
    EXPECT_FALSE(file.SerialOffsetsPresent());
    EXPECT_FALSE(file.ReplaceSerialNumber(0x55555555));
  }
  {  // offsets near the top of the address space do not wrap around
    BirdFile file = SerialPackage(true, 0xFFFFFFFE, 0xFFFFFFF8, &image);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x66666666));
    EXPECT_EQ(std::memcmp(file.Blocks()[0].data + 4, image.data(), image.size()), 0);
  }
}

TEST(BirdFile, VectorChecksumMakesTheTableSumToZero) {
  std::vector<uint8_t> table(64);
  for (size_t i = 0; i < table.size(); ++i) table[i] = uint8_t(0x91 + i * 13);
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0, table.data(), table.size());
  w.AddImage(BLOCK_FIRMWARE, 0x4000, table.data(), table.size());
  w.AddImage(BLOCK_LOADER, 0, table.data(), table.size());
  BirdFile file = LoadBytes(w.Build());
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  auto word = [](const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  const uint8_t* img = file.Blocks()[0].data + 4;
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) sum += word(img + 4 * i);
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(std::memcmp(img + 32, table.data() + 32, 32), 0);
  EXPECT_EQ(std::memcmp(file.Blocks()[1].data + 4, table.data(), 64), 0);
  EXPECT_EQ(std::memcmp(file.Blocks()[2].data + 4, table.data(), 64), 0);
}

TEST(BirdFile, DecodeFirmwareBlocks) {
  std::vector<uint8_t> image = Pattern(40, 9);
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0x12345678, image.data(), image.size());
  w.AddImage(BLOCK_LOADER, 0, image.data(), image.size());
  {
    BirdFile file = LoadBytes(w.Build());
    uint32_t zero[4] = {0, 0, 0, 0};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(zero));
    const uint8_t* out = file.Blocks()[0].data;
    EXPECT_EQ(out[0], 0x12);  // address word untouched
    EXPECT_EQ(out[3], 0x78);
    uint8_t running = 0;
    for (size_t i = 0; i < image.size(); ++i) {
      running ^= image[i];
      EXPECT_EQ(out[4 + i], running) << i;
    }
    EXPECT_EQ(std::memcmp(file.Blocks()[1].data + 4, image.data(), image.size()), 0);
  }
  {
    BirdFile file = LoadBytes(w.Build());
    uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    const uint8_t* out = file.Blocks()[0].data + 4;
    uint8_t previous = 0;
    for (size_t i = 0; i < image.size(); ++i) {
      uint8_t expected = uint8_t(image[i] ^ uint8_t(i % 16 + 1) ^ previous);
      EXPECT_EQ(out[i], expected) << i;
      previous = expected;
    }
  }
}

TEST(BirdFile, ValidateDataFindsPatternsAnywhereInFirmware) {
  std::vector<uint8_t> image = {1, 2, 3, 4, 5, 6, 7, 8};
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0xCAFEBABE, image.data(), image.size());
  BirdFile file = LoadBytes(w.Build());
  LogCapture log(DEBUG_BirdFile);
  uint8_t address[2] = {0xCA, 0xFE};
  uint8_t last[3] = {6, 7, 8};
  uint8_t whole[12] = {0xCA, 0xFE, 0xBA, 0xBE, 1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t absent[2] = {8, 9};
  EXPECT_TRUE(file.ValidateData(address, 2));
  EXPECT_TRUE(file.ValidateData(last, 3));
  EXPECT_TRUE(file.ValidateData(whole, 12));
  EXPECT_FALSE(file.ValidateData(absent, 2));
  EXPECT_FALSE(file.ValidateData(whole, 13));
  EXPECT_TRUE(log.Contains("Found data at 9\n"));
}

TEST(BirdFile, MovedFileKeepsItsBlocksValid) {
  BirdFile a = LoadBytes(FullPackage().Build());
  const uint8_t* data = a.Blocks()[1].data;
  BirdFile b(std::move(a));
  EXPECT_EQ(a.BlockCount(), 0u);
  EXPECT_EQ(a.Data(), nullptr);
  EXPECT_EQ(b.Blocks()[1].data, data);
  BirdFile c;
  c = std::move(b);
  EXPECT_EQ(c.Blocks()[1].data, data);
  EXPECT_EQ(c.GetBuild(), 1234u);
  EXPECT_TRUE(c.SerialOffsetsPresent());
  EXPECT_TRUE(c.ReplaceSerialNumber(0x1234));
  c = LoadBytes(FullPackage().Build());  // replaces the buffer
  EXPECT_EQ(c.BlockCount(), 7u);
}

TEST(BirdFile, DumpBlocksPrintsHexAndText) {
  BirdWriter w;
  std::vector<uint8_t> data(52);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t('A' + i % 26);
  data[1] = 0x01;
  w.AddBlock(9, data.data(), data.size());
  BirdFile file = LoadBytes(w.Build());
  testing::internal::CaptureStdout();
  EXPECT_TRUE(file.DumpBlocks(BLOCK_TYPE(9)));
  std::string out = testing::internal::GetCapturedStdout();
  std::string expected = "BIRDFILE: BLOCK DUMP []\n \r\n000000: 41 01 43 ";
  EXPECT_EQ(out.substr(0, expected.size()), expected);
  EXPECT_NE(out.find(" A CDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWX\r\n000050: 59 5A  YZ\n\n"),
            std::string::npos);
}

TEST(BirdFile, ADirectoryIsNotLoaded) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  EXPECT_THROW(BirdFile file(dir.path().c_str()), std::runtime_error);
  EXPECT_TRUE(log.Contains("BIRDFILE: Error - cannot open bird file: '" + dir.path() + "'\n"));
}

TEST(BirdFile, WriterRoundTripsEveryTypeAndFlag) {
  BirdWriter w;
  for (uint8_t type = 0; type < 32; ++type) {
    uint8_t data[8] = {0, 0, 0x10, type, 1, 2, 3, 4};
    w.AddBlock(type, data, sizeof data, uint8_t(type % 8));
  }
  BirdFile file = LoadBytes(w.Build(0));
  ASSERT_EQ(file.BlockCount(), 32u);
  EXPECT_TRUE(file.StructureValid());
  for (uint32_t i = 0; i < 32; ++i) {
    const BirdBlock& block = file.Blocks()[i];
    EXPECT_EQ(block.type, i);
    EXPECT_EQ(block.flags, i % 8);
    EXPECT_EQ(block.address, i <= 1 ? 0x1000u + i : 0u);
  }
}

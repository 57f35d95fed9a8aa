// Feeds arbitrary bytes to the BIRD package reader twice: as a whole file
// (header and zlib stream as given) and as an already expanded body wrapped
// in a valid package, so that the block scanner sees arbitrary structure
// rather than only what survives zlib's checks. Every query and patch then
// runs on whatever was loaded. Each time the streaming check must agree
// with loading, and the inflater both use, and its deflate decoder on the
// bytes as raw deflate data, must agree with zlib's own inflate (the
// reference) byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "log/Log.h"
#include "store/BirdExpander.h"
#include "store/BirdFile.h"
#include "store/BirdStreamCheck.h"
#include "store/DeflateDecoder.h"
#include "fuzz/FuzzLog.h"

namespace {

void Exercise(BirdFile& file) {
  file.GetBuild();
  file.GetSerialNumber();
  file.GetVersion();
  file.GetModel();
  file.ValidateModel("KX");
  file.ValidateModel("");
  file.ValidateSerialNumber(0x1234);
  file.FindBlocks(BLOCK_FIRMWARE);
  file.FindBlocks(BLOCK_LOADER_START);
  file.ReplaceSerialNumber(0x1A2B3C4D);
  file.ReplaceVectorChecksum();
  const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  file.DecodeFirmwareBlocks(key);
  const uint8_t pattern[3] = {0x00, 0xFF, 0x10};
  file.ValidateData(pattern, sizeof pattern);
  BirdFile moved(std::move(file));
  moved.GetVersion();
}

// The streaming check must agree with loading the whole file, whatever
// the pieces (cut at sizes taken from the data itself).
void CompareWithStream(const uint8_t* data, size_t size, BirdFile& whole, bool loads) {
  BirdStreamCheck check;
  size_t pos = 0;
  for (size_t i = 0; pos < size; ++i) {
    size_t n = 1 + (size ? data[i % size] : 0) % 64;
    if (n > size - pos) n = size - pos;
    check.Feed(data + pos, n);
    pos += n;
  }
  if (check.Finish() != loads) std::abort();
  if (loads && (check.StructureValid() != whole.StructureValid() ||
                check.BlockCount() != whole.BlockCount() ||
                check.DeclaredBlockCount() != whole.DeclaredBlockCount() ||
                check.GetBuild() != whole.GetBuild() || check.Problem() != whole.Problem())) {
    std::abort();
  }
}

// zlib's inflate on a whole zlib stream (or with windowBits -15, on raw
// deflate data), as zlib alone judges it: the expanded bytes (at most
// limit) and whether the stream is complete and valid within that limit.
// Bytes after the stream are not read (*consumed: those before it).
bool Reference(const uint8_t* data, size_t size, size_t limit, std::vector<uint8_t>& out,
               int windowBits = 15, size_t* consumed = nullptr) {
  out.clear();
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (inflateInit2(&zs, windowBits) != Z_OK) std::abort();
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = uInt(size);
  uint8_t window[16384];
  int ret = Z_OK;
  while (ret == Z_OK) {
    zs.next_out = window;
    zs.avail_out = sizeof window;
    ret = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), window, window + (sizeof window - zs.avail_out));
    if (out.size() > limit) break;
    if (ret == Z_BUF_ERROR && zs.avail_out == 0) ret = Z_OK;
  }
  if (consumed) *consumed = size_t(zs.total_in);
  inflateEnd(&zs);
  return ret == Z_STREAM_END && out.size() <= limit;
}

// The inflater of the expansion loop, fed in pieces cut at sizes taken
// from the data and given output room of varying size, against zlib.
void CompareInflater(const uint8_t* data, size_t size) {
  const size_t kLimit = 4u << 20;
  std::vector<uint8_t> want;
  const bool wantEnd = Reference(data, size, kLimit, want);
  BirdInflater inflater;
  std::vector<uint8_t> got;
  uint8_t room[4096];
  BirdInflater::Status status = BirdInflater::Status::NeedInput;
  size_t pos = 0;
  for (size_t i = 0; status == BirdInflater::Status::NeedInput && pos < size; ++i) {
    size_t n = 1 + data[i % size] % 97;
    if (n > size - pos) n = size - pos;
    inflater.SetInput(data + pos, n);
    pos += n;
    do {
      size_t produced = 0;
      const size_t offer = 1 + (got.size() * 7 + i) % sizeof room;
      status = inflater.Expand(room, offer, &produced);
      got.insert(got.end(), room, room + produced);
    } while (status == BirdInflater::Status::OutputFull && got.size() <= kLimit);
    if (got.size() > kLimit) break;
  }
  const bool gotEnd = status == BirdInflater::Status::End && got.size() <= kLimit;
  if (gotEnd != wantEnd) std::abort();
  // Output agrees as far as both went (zlib may get further into a
  // stream it then refuses, having had all of it at once).
  const size_t common = got.size() < want.size() ? got.size() : want.size();
  if (common > 0 && std::memcmp(got.data(), want.data(), common) != 0) std::abort();
  if (wantEnd && got != want) std::abort();
}

// The deflate decoder alone on the bytes as raw deflate data, against
// zlib's raw inflate: the same verdict and bytes, and at the end the same
// place where the data stops.
void CompareDecoder(const uint8_t* data, size_t size) {
  const size_t kLimit = 4u << 20;
  std::vector<uint8_t> want;
  size_t wantUsed = 0;
  const bool wantEnd = Reference(data, size, kLimit, want, -15, &wantUsed);
  DeflateDecoder decoder;
  std::vector<uint8_t> got;
  DeflateDecoder::Result result = DeflateDecoder::Result::NeedInput;
  size_t pos = 0;
  for (size_t i = 0; result == DeflateDecoder::Result::NeedInput && pos < size; ++i) {
    const uint8_t* in = data + pos;
    size_t left = 1 + data[(i * 3) % size] % 131;
    if (left > size - pos) left = size - pos;
    const size_t given = left;
    do {
      const uint8_t* bytes = nullptr;
      size_t produced = 0;
      const size_t offer = 1 + (got.size() * 5 + i) % 4096;
      result = decoder.Next(&in, &left, offer, &bytes, &produced);
      got.insert(got.end(), bytes, bytes + produced);
    } while (result == DeflateDecoder::Result::OutputFull && got.size() <= kLimit);
    pos += given - left;
    if (got.size() > kLimit) break;
  }
  const bool gotEnd = result == DeflateDecoder::Result::End && got.size() <= kLimit;
  if (gotEnd != wantEnd) std::abort();
  const size_t common = got.size() < want.size() ? got.size() : want.size();
  if (common > 0 && std::memcmp(got.data(), want.data(), common) != 0) std::abort();
  if (wantEnd && (got != want || pos != wantUsed)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogIntoNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BirdFile::VerifyHeader(data, size);
  {
    BirdFile file;
    const bool loads = file.LoadFromMemory(data, size) && BirdFile::VerifyHeader(data, size);
    CompareWithStream(data, size, file, loads);
    Exercise(file);
    if (size > BIRD_FILE_HEADER_SIZE) {
      CompareInflater(data + BIRD_FILE_HEADER_SIZE, size - BIRD_FILE_HEADER_SIZE);
    }
    CompareInflater(data, size);  // the bytes as a bare zlib stream
    if (size > 0) CompareDecoder(data, size);
  }
  {
    uLongf bound = compressBound(uLong(size));
    std::vector<uint8_t> package(6 + size_t(bound));
    package[0] = 'b';
    package[1] = 'i';
    package[2] = 'r';
    package[3] = 'd';
    package[4] = 1;
    package[5] = 1;
    if (compress2(package.data() + 6, &bound, data, uLong(size), 1) == Z_OK) {
      package.resize(6 + size_t(bound));
      BirdFile file;
      const bool loads = file.LoadFromMemory(package.data(), package.size());
      CompareWithStream(package.data(), package.size(), file, loads);
      Exercise(file);
      CompareInflater(package.data() + BIRD_FILE_HEADER_SIZE, package.size() - BIRD_FILE_HEADER_SIZE);
    }
  }
  return 0;
}

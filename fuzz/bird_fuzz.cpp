// Feeds arbitrary bytes to the BIRD package reader twice: as a whole file
// (header and zlib stream as given) and as an already expanded body wrapped
// in a valid package, so that the block scanner sees arbitrary structure
// rather than only what survives zlib's checks. Every query and patch then
// runs on whatever was loaded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <zlib.h>

#include "log/Log.h"
#include "store/BirdFile.h"
#include "store/BirdStreamCheck.h"

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Format every debug line too, into nowhere.
  Log::SetOutput(std::fopen("/dev/null", "w"));
  Log::ActivatePackage(0xFFFFFFFFu);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BirdFile::VerifyHeader(data, size);
  {
    BirdFile file;
    const bool loads = file.LoadFromMemory(data, size) && BirdFile::VerifyHeader(data, size);
    CompareWithStream(data, size, file, loads);
    Exercise(file);
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
    }
  }
  return 0;
}

// Feeds arbitrary bytes to the BIRD package reader twice: as a whole file
// (header and zlib stream as given) and as an already expanded body wrapped
// in a valid package, so that the block scanner sees arbitrary structure
// rather than only what survives zlib's checks. Every query and patch then
// runs on whatever was loaded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "app/Log.h"
#include "store/BirdFile.h"

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
    file.LoadFromMemory(data, size);
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
      file.LoadFromMemory(package.data(), package.size());
      Exercise(file);
    }
  }
  return 0;
}

// Feeds arbitrary text to the attribute-file reader, from memory and from a
// file on disk, then runs the getters and setters over what was read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "log/Log.h"
#include "store/KeyValueStore.h"
#include "fuzz/FuzzLog.h"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogIntoNowhere();
  const char* tmp = std::getenv("TMPDIR");
  g_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/attributes_fuzz." + std::to_string(getpid());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KeyValueStore fromText;
  fromText.ParseText(reinterpret_cast<const char*>(data), size);

  FILE* file = std::fopen(g_path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  KeyValueStore fromFile;
  fromFile.Load(g_path.c_str());

  // Both readers apply the same line rules.
  if (fromText.Entries() != fromFile.Entries()) __builtin_trap();

  for (const auto& entry : fromText.Entries()) {
    fromFile.GetInt(entry.first, 1);
    fromFile.GetHex(entry.first, 2);
    fromFile.GetBOOL(entry.first, true);
    fromFile.GetDouble(entry.first, 1.5);
    fromFile.GetString(entry.first, "x");
    (void)fromFile[entry.first];
  }
  fromFile.Add("LATEST_DOWNLOAD", "1234.bird");
  fromFile.AddHex("HEX", 0xDEADBEEF);
  fromFile.Add(fromText);
  fromFile.Clear();
  std::remove(g_path.c_str());
  return 0;
}

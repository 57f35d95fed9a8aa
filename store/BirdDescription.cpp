#include "store/BirdDescription.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include "log/TerminalText.h"
#include "store/BirdBytes.h"
#include "store/BirdFile.h"
#include "store/RegularFile.h"

namespace {

using bird::Format;

const char* TypeName(uint8_t type) {
  switch (type) {
    case BLOCK_LOADER: return "loader";
    case BLOCK_FIRMWARE: return "firmware";
    case BLOCK_SERIAL_OFFSETS: return "serial offsets";
    case BLOCK_INFO: return "information";
    case BLOCK_LOADER_START: return "loader start";
    default: return "other";
  }
}

// Why the header test failed, read from the first bytes of the file.
std::string HeaderProblem(const std::string& path) {
  int error = 0;
  FILE* file = OpenRegularFile(path.c_str(), &error);
  if (!file) return "cannot open the file (" + OpenErrorText(error) + ")";
  uint8_t header[BIRD_FILE_HEADER_SIZE];
  size_t got = std::fread(header, 1, sizeof header, file);
  std::fclose(file);
  if (got < sizeof header) return Format("the file holds %zu bytes, shorter than the 6-byte header", got);
  if (std::memcmp(header, BIRD_FILE_SIGNATURE, 4) != 0) return "the file does not start with \"bird\"";
  return Format("format version bytes %02X %02X: both must be non-zero", header[4], header[5]);
}

}  // namespace

BirdPackageReport DescribeBirdPackage(const std::string& path) {
  BirdPackageReport report;
  std::vector<std::string>& out = report.lines;
  out.push_back("BIRD file: " + path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    report.problems.push_back(Format("the file cannot be found (%s)", std::strerror(errno)));
    return report;
  }
  if (!S_ISREG(st.st_mode)) {
    report.problems.push_back("not a regular file");
    return report;
  }
  out.push_back(Format("Size: %llu bytes", (unsigned long long)st.st_size));
  if (!BirdFile::VerifyFile(path.c_str())) {
    report.problems.push_back(HeaderProblem(path));
    return report;
  }
  BirdFile file;
  file.SetPath(path);
  if (!file.Load()) {
    report.problems.push_back(file.Problem());
    return report;
  }
  // The verdict the update flows and downloads give; the description
  // follows either way, so that the reason can be seen in it.
  report.loadable = file.Usable();
  if (!report.loadable) report.problems.push_back(file.Problem());
  out.push_back(Format("Format version: %u.%u", file.Version() >> 8, file.Version() & 0xFF));
  if (file.HasInfo()) {
    out.push_back(Format("Build: %u", file.GetBuild()));
    out.push_back("Version: " + EscapeForTerminal(file.GetVersion()));
    if (file.SerialOffsetsPresent()) {
      out.push_back(Format("Serial number: generic (serial word at 0x%08X, descriptor at 0x%08X)",
                           file.SerialNumberOffset(), file.DescriptorOffset()));
    } else {
      out.push_back(Format("Serial number: %08X", file.GetSerialNumber()));
    }
    out.push_back("Model: " + EscapeForTerminal(file.GetModel()));
  } else {
    out.push_back(file.SerialOffsetsPresent() ? "Serial number: generic" : "Serial number: none");
  }

  std::vector<BirdBlock> loaders = file.FindBlocks(BLOCK_LOADER);
  std::vector<BirdBlock> starts = file.FindBlocks(BLOCK_LOADER_START);
  if (loaders.empty()) {
    out.push_back("Loader: not present");
  } else if (!starts.empty() && starts[0].length >= 4) {
    const uint8_t* p = starts[0].data;
    out.push_back(Format("Loader: present (%zu block(s), start address 0x%08X)", loaders.size(),
                         (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
                             uint32_t(p[3])));
  } else {
    out.push_back(Format("Loader: present (%zu block(s), no start address)", loaders.size()));
  }

  out.push_back(Format("Blocks: %u (declared %u)", file.BlockCount(), file.DeclaredBlockCount()));
  out.push_back("  #  Type                 Flags  Address     Length");
  uint32_t index = 0;
  for (const BirdBlock& block : file.Blocks()) {
    bool image = block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE;
    std::string address = image && block.length >= 4 ? Format("0x%08X", block.address) : "-";
    out.push_back(Format("  %-2u %2u %-17s %u      %-10s  %u", index, block.type,
                         TypeName(block.type), block.flags, address.c_str(), block.length));
    ++index;
  }
  out.push_back(Format("File checksum: 0x%08X", file.FileChecksum()));

  if (!file.StructureValid())
    report.problems.push_back(
        "the blocks do not fill the body exactly as declared (see -X 0x8 for details)");
  if (file.SerialOffsetsPresent() && file.SerialNumberOffset() == 0 && file.DescriptorOffset() == 0)
    report.problems.push_back("the serial offsets block gives no usable offset");
  return report;
}


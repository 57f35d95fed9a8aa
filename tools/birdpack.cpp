// birdpack: builds BIRD firmware packages from a manifest and describes
// existing ones.
//
//   birdpack create MANIFEST -o OUTPUT [-l LEVEL]
//   birdpack info FILE
//
// A manifest has one directive per line; "#" starts a comment; numbers are
// decimal or 0x-prefixed hexadecimal; files are relative to the manifest's
// directory. Blocks are written in the order of their lines.
//
//   loader       FILE ADDRESS [flags N]     loader image piece at ADDRESS
//   firmware     FILE ADDRESS [flags N]     firmware image piece at ADDRESS
//   offsets      SERIAL_ADDRESS DESCRIPTOR_ADDRESS [flags N]
//   info         BUILD VERSION SERIAL|generic MODEL...
//   loader-start ADDRESS [flags N]
//   block        TYPE FILE [flags N]        any block, data taken as is
//   checksum     VALUE                      (default: CRC-32 of the body)
//   scramble     W1 W2 W3 W4                scramble every firmware line's
//                                           image with this fingerprint
//
// A scrambled package is a recovery package bound to one chip: W1..W4 are
// the chip's four fingerprint words (8 hexadecimal digits each, in the
// order the updater prints them). The key is the words' bytes, most
// significant first; every firmware image byte is stored as
//   plain[i] XOR key[i mod 16] XOR plain[i-1]   (plain[-1] = 0)
// so that the updater, XOR-ing each stored byte with the key byte and the
// byte it restored before, gets the image back. The address word is left
// plain. Such a package needs an info line with a serial number, and
// takes no offsets line (it is never personalised) and no raw "block 1".
// The scramble line may stand anywhere in the manifest.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "store/BirdDescription.h"
#include "store/BirdWriter.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: birdpack create MANIFEST -o OUTPUT [-l LEVEL]\n"
               "       birdpack info FILE\n"
               "manifest lines:\n"
               "  loader       FILE ADDRESS [flags N]\n"
               "  firmware     FILE ADDRESS [flags N]\n"
               "  offsets      SERIAL_ADDRESS DESCRIPTOR_ADDRESS [flags N]\n"
               "  info         BUILD VERSION SERIAL|generic MODEL...\n"
               "  loader-start ADDRESS [flags N]\n"
               "  block        TYPE FILE [flags N]\n"
               "  checksum     VALUE\n"
               "  scramble     W1 W2 W3 W4   (recovery package bound to the chip with\n"
               "                              this fingerprint; hexadecimal words)\n");
}

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  // Leading zeros mean decimal, never octal.
  unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *value = uint32_t(v);
  return true;
}

// A fingerprint word: up to 8 hexadecimal digits, "0x" optional.
bool ParseWord(const std::string& text, uint32_t* value) {
  std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  *value = uint32_t(std::strtoul(digits.c_str(), nullptr, 16));
  return true;
}

// Scrambles one firmware image with the 16-byte key (see the header).
// The key index and the chained byte start afresh for every image.
void ScrambleImage(const uint8_t key[16], std::vector<uint8_t>* image) {
  uint8_t previous = 0;
  for (size_t i = 0; i < image->size(); ++i) {
    uint8_t plain = (*image)[i];
    (*image)[i] = uint8_t(plain ^ key[i % 16] ^ previous);
    previous = plain;
  }
}

bool ReadBinary(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

class ManifestReader {
 public:
  ManifestReader(const std::string& manifestPath) : path_(manifestPath) {
    size_t slash = manifestPath.find_last_of('/');
    directory_ = slash == std::string::npos ? "." : manifestPath.substr(0, slash);
  }

  bool Read(BirdWriter* writer) {
    std::ifstream in(path_);
    if (!in) return Fail(0, "cannot open the manifest (" + std::string(std::strerror(errno)) + ")");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    // The scramble key is taken first, so that its line may stand after
    // the firmware lines it applies to.
    for (int pass = 0; pass < 2; ++pass) {
      if (!Pass(pass, lines, writer)) return false;
    }
    if (writer->BlockCount() == 0) return Fail(0, "the manifest defines no block");
    if (scrambled_) {
      if (hasOffsets_)
        return Fail(0, "a scrambled package is bound to one device and takes no offsets line");
      if (!boundInfo_)
        return Fail(0, "a scrambled package needs an info line with the device's serial number");
      if (!hasFirmware_) return Fail(0, "a scrambled package needs a firmware line");
    }
    return true;
  }

 private:
  bool Pass(int pass, const std::vector<std::string>& lines, BirdWriter* writer) {
    int number = 0;
    for (std::string line : lines) {
      ++number;
      size_t hash = line.find('#');
      if (hash != std::string::npos) line.erase(hash);
      std::vector<std::string> tokens;
      offsets_.clear();
      for (size_t at = line.find_first_not_of(" \t\r"); at != std::string::npos;) {
        size_t end = line.find_first_of(" \t\r", at);
        offsets_.push_back(at);
        tokens.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : line.find_first_not_of(" \t\r", end);
      }
      if (tokens.empty() || (tokens[0] == "scramble") != (pass == 0)) continue;
      if (!Directive(number, line, tokens, writer)) return false;
    }
    return true;
  }

  bool Fail(int line, const std::string& message) {
    if (line > 0)
      std::fprintf(stderr, "birdpack: %s:%d: %s\n", path_.c_str(), line, message.c_str());
    else
      std::fprintf(stderr, "birdpack: %s: %s\n", path_.c_str(), message.c_str());
    return false;
  }

  std::string Resolve(const std::string& file) const {
    return !file.empty() && file[0] == '/' ? file : directory_ + "/" + file;
  }

  // Reads an optional trailing "flags N" starting at tokens[at].
  bool Flags(int line, const std::vector<std::string>& tokens, size_t at, uint8_t* flags) {
    *flags = 0;
    if (tokens.size() == at) return true;
    uint32_t value;
    if (tokens.size() != at + 2 || tokens[at] != "flags" || !ParseNumber(tokens[at + 1], &value) ||
        value > 7)
      return Fail(line, "expected \"flags N\" with N from 0 to 7 at the end of the line");
    *flags = uint8_t(value);
    return true;
  }

  bool Directive(int line, const std::string& text, const std::vector<std::string>& t,
                 BirdWriter* writer) {
    const std::string& word = t[0];
    uint32_t a = 0, b = 0;
    uint8_t flags = 0;
    if (word == "loader" || word == "firmware") {
      if (t.size() < 3 || !ParseNumber(t[2], &a))
        return Fail(line, word + " needs FILE ADDRESS [flags N]");
      std::vector<uint8_t> image;
      if (!Flags(line, t, 3, &flags)) return false;
      if (!ReadBinary(Resolve(t[1]), &image)) return Fail(line, "cannot read " + Resolve(t[1]));
      if (word == "firmware") {
        hasFirmware_ = true;
        if (scrambled_) ScrambleImage(key_, &image);
      }
      writer->AddImage(word == "loader" ? BLOCK_LOADER : BLOCK_FIRMWARE, a, image.data(),
                       image.size(), flags);
    } else if (word == "offsets") {
      if (t.size() < 3 || !ParseNumber(t[1], &a) || !ParseNumber(t[2], &b))
        return Fail(line, "offsets needs SERIAL_ADDRESS DESCRIPTOR_ADDRESS");
      if (!Flags(line, t, 3, &flags)) return false;
      writer->AddSerialOffsets(a, b, flags);
      hasOffsets_ = true;
    } else if (word == "info") {
      if (t.size() < 5 || !ParseNumber(t[1], &a))
        return Fail(line, "info needs BUILD VERSION SERIAL|generic MODEL");
      if (t[3] != "generic" && !ParseNumber(t[3].rfind("0x", 0) == 0 ? t[3] : "0x" + t[3], &b))
        return Fail(line, "the serial number must be hexadecimal or \"generic\"");
      // The model is the rest of the line after the serial number.
      size_t start = offsets_[4];
      size_t end = text.find_last_not_of(" \t\r");
      std::string model = text.substr(start, end + 1 - start);
      if (!writer->AddInfo(a, t[2], b, model))
        return Fail(line, "the version must be at most 15 characters and the model at most 16");
      if (t[3] != "generic") boundInfo_ = true;
    } else if (word == "loader-start") {
      if (t.size() < 2 || !ParseNumber(t[1], &a)) return Fail(line, "loader-start needs ADDRESS");
      if (!Flags(line, t, 2, &flags)) return false;
      writer->AddLoaderStart(a, flags);
    } else if (word == "block") {
      if (t.size() < 3 || !ParseNumber(t[1], &a) || a > 31)
        return Fail(line, "block needs TYPE (0-31) FILE [flags N]");
      if (scrambled_ && a == BLOCK_FIRMWARE)
        return Fail(line, "a scrambled package takes its firmware from firmware lines");
      if (!Flags(line, t, 3, &flags)) return false;
      std::vector<uint8_t> data;
      if (!ReadBinary(Resolve(t[2]), &data)) return Fail(line, "cannot read " + Resolve(t[2]));
      writer->AddBlock(uint8_t(a), data.data(), data.size(), flags);
    } else if (word == "checksum") {
      if (t.size() != 2 || !ParseNumber(t[1], &a)) return Fail(line, "checksum needs VALUE");
      writer->SetChecksum(a);
    } else if (word == "scramble") {
      if (scrambled_) return Fail(line, "only one scramble line is allowed");
      uint32_t words[4];
      if (t.size() != 5) return Fail(line, "scramble needs four fingerprint words W1 W2 W3 W4");
      for (size_t i = 0; i < 4; ++i) {
        if (!ParseWord(t[i + 1], &words[i]))
          return Fail(line, "a fingerprint word is 1 to 8 hexadecimal digits");
        for (size_t j = 0; j < 4; ++j) key_[i * 4 + j] = uint8_t(words[i] >> (24 - 8 * j));
      }
      scrambled_ = true;
    } else {
      return Fail(line, "unknown directive \"" + word + "\"");
    }
    return true;
  }

  std::string path_;
  std::string directory_;
  std::vector<size_t> offsets_;  // where each token of the current line starts
  bool scrambled_ = false;
  uint8_t key_[16] = {};
  bool hasOffsets_ = false;
  bool boundInfo_ = false;
  bool hasFirmware_ = false;
};

int Create(int argc, char** argv) {
  std::string manifest, output;
  uint32_t level = 9;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "-l" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], &level) || level > 9) {
        std::fprintf(stderr, "birdpack: the compression level must be 0 to 9\n");
        return 2;
      }
    } else if (manifest.empty() && arg[0] != '-') {
      manifest = arg;
    } else {
      Usage();
      return 2;
    }
  }
  if (manifest.empty() || output.empty()) {
    Usage();
    return 2;
  }
  BirdWriter writer;
  if (!ManifestReader(manifest).Read(&writer)) return 1;
  aErr err = writer.Write(output.c_str(), int(level));
  if (err != aErrNone) {
    std::fprintf(stderr, "birdpack: cannot write %s (error %u)\n", output.c_str(), unsigned(err));
    return 1;
  }
  std::printf("birdpack: wrote %s with %zu blocks\n", output.c_str(), writer.BlockCount());
  return 0;
}

int Info(int argc, char** argv) {
  if (argc != 1) {
    Usage();
    return 2;
  }
  BirdPackageReport report = DescribeBirdPackage(argv[0]);
  for (const std::string& line : report.lines) std::printf("%s\n", line.c_str());
  if (!report.loadable) {
    std::printf("Not valid: %s\n", report.problems.empty() ? "unknown" : report.problems[0].c_str());
    return 1;
  }
  for (const std::string& problem : report.problems) std::printf("Warning: %s\n", problem.c_str());
  std::printf(report.problems.empty() ? "Valid\n" : "Loadable, with warnings\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  std::string command = argv[1];
  if (command == "create") return Create(argc - 2, argv + 2);
  if (command == "info") return Info(argc - 2, argv + 2);
  Usage();
  return 2;
}

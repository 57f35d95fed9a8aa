// Builds BIRD packages: the body of typed blocks, its checksum word, the
// zlib stream and the 6-byte header. Used by the package tool and by tests;
// the updater itself never writes packages.
#ifndef UPDATER_BIRDWRITER_H
#define UPDATER_BIRDWRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aError.h"
#include "store/BirdFile.h"

class BirdWriter {
 public:
  // A loader or firmware piece: big-endian load address, then the image.
  void AddImage(BLOCK_TYPE type, uint32_t address, const uint8_t* image, size_t length,
                uint8_t flags = 0);
  void AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress, uint8_t flags = 0);
  // The four 16-character text fields: build in decimal, version text,
  // serial number as 8 hexadecimal digits, model name; each padded with
  // spaces. False (nothing added) when the version is longer than 15
  // characters or contains a space, or the model is longer than 16.
  bool AddInfo(uint32_t build, const std::string& version, uint32_t serial,
               const std::string& model, uint8_t flags = 0);
  void AddLoaderStart(uint32_t address, uint8_t flags = 0);
  // Any block, data taken as is. type is cut to 5 bits, flags to 3.
  void AddBlock(uint8_t type, const uint8_t* data, size_t length, uint8_t flags = 0);

  size_t BlockCount() const { return count_; }

  // The expanded body: block count, the blocks, the checksum word (the
  // CRC-32 of everything before it unless SetChecksum chose a value).
  std::vector<uint8_t> Body() const;
  void SetChecksum(uint32_t value) {
    checksum_ = value;
    checksumSet_ = true;
  }
  // Declares a count other than the number of blocks added (for making
  // deliberately broken packages).
  void SetDeclaredCount(uint32_t count) {
    declaredCount_ = count;
    declaredSet_ = true;
  }

  // Header + compressed body. level is zlib's 0-9. Empty on a zlib error.
  std::vector<uint8_t> Build(int level = 9) const;
  // Header and zlib stream around a body given as is.
  static std::vector<uint8_t> Wrap(const std::vector<uint8_t>& body, int level = 9);
  // Writes Build() to path, replacing it atomically.
  aErr Write(const char* path, int level = 9) const;

 private:
  std::vector<uint8_t> blocks_;
  size_t count_ = 0;
  uint32_t checksum_ = 0;
  bool checksumSet_ = false;
  uint32_t declaredCount_ = 0;
  bool declaredSet_ = false;
};

#endif

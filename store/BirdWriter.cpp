#include "store/BirdWriter.h"

#include <cstdio>
#include <cstring>

#include <zlib.h>

#include "store/AtomicWrite.h"

namespace {

void PutInt(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(uint8_t(value >> 24));
  out.push_back(uint8_t(value >> 16));
  out.push_back(uint8_t(value >> 8));
  out.push_back(uint8_t(value));
}

void PutField(std::vector<uint8_t>& out, const std::string& text) {
  for (size_t i = 0; i < BIRD_INFO_FIELD_SIZE; ++i)
    out.push_back(i < text.size() ? uint8_t(text[i]) : uint8_t(' '));
}

}  // namespace

void BirdWriter::AddBlock(uint8_t type, const uint8_t* data, size_t length, uint8_t flags) {
  blocks_.push_back(uint8_t((type & BIRD_FILE_TYPE_MASK) |
                            ((flags << BIRD_FILE_FLAG_SHIFT) & BIRD_FILE_FLAG_MASK)));
  PutInt(blocks_, uint32_t(length));
  if (length > 0) blocks_.insert(blocks_.end(), data, data + length);
  ++count_;
}

void BirdWriter::AddImage(BLOCK_TYPE type, uint32_t address, const uint8_t* image, size_t length,
                          uint8_t flags) {
  std::vector<uint8_t> data;
  data.reserve(length + 4);
  PutInt(data, address);
  if (length > 0) data.insert(data.end(), image, image + length);
  AddBlock(type, data.data(), data.size(), flags);
}

void BirdWriter::AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress,
                                  uint8_t flags) {
  std::vector<uint8_t> data;
  PutInt(data, serialAddress);
  PutInt(data, descriptorAddress);
  AddBlock(BLOCK_SERIAL_OFFSETS, data.data(), data.size(), flags);
}

bool BirdWriter::AddInfo(uint32_t build, const std::string& version, uint32_t serial,
                         const std::string& model, uint8_t flags) {
  if (version.size() > 15 || version.find(' ') != std::string::npos) return false;
  if (model.size() > BIRD_INFO_FIELD_SIZE) return false;
  char text[16];
  std::vector<uint8_t> data;
  std::snprintf(text, sizeof text, "%u", build);
  PutField(data, text);
  PutField(data, version);
  std::snprintf(text, sizeof text, "%08X", serial);
  PutField(data, text);
  PutField(data, model);
  AddBlock(BLOCK_INFO, data.data(), data.size(), flags);
  return true;
}

void BirdWriter::AddLoaderStart(uint32_t address, uint8_t flags) {
  std::vector<uint8_t> data;
  PutInt(data, address);
  AddBlock(BLOCK_LOADER_START, data.data(), data.size(), flags);
}

std::vector<uint8_t> BirdWriter::Body() const {
  std::vector<uint8_t> body;
  body.reserve(blocks_.size() + 8);
  PutInt(body, declaredSet_ ? declaredCount_ : uint32_t(count_));
  body.insert(body.end(), blocks_.begin(), blocks_.end());
  uint32_t checksum = checksum_;
  if (!checksumSet_) {
    checksum = 0;
    const uint8_t* p = body.data();
    size_t left = body.size();
    while (left > 0) {  // crc32 counts in uInt
      uInt chunk = left > (1u << 30) ? (1u << 30) : uInt(left);
      checksum = uint32_t(crc32(checksum, p, chunk));
      p += chunk;
      left -= chunk;
    }
  }
  PutInt(body, checksum);
  return body;
}

std::vector<uint8_t> BirdWriter::Wrap(const std::vector<uint8_t>& body, int level) {
  uLongf bound = compressBound(uLong(body.size()));
  std::vector<uint8_t> file(BIRD_FILE_HEADER_SIZE + size_t(bound));
  std::memcpy(file.data(), BIRD_FILE_SIGNATURE, 4);
  file[4] = BIRD_FILE_VERSION[0];
  file[5] = BIRD_FILE_VERSION[1];
  uLongf written = bound;
  if (compress2(file.data() + BIRD_FILE_HEADER_SIZE, &written, body.data(), uLong(body.size()),
                level) != Z_OK)
    return std::vector<uint8_t>();
  file.resize(BIRD_FILE_HEADER_SIZE + size_t(written));
  return file;
}

std::vector<uint8_t> BirdWriter::Build(int level) const { return Wrap(Body(), level); }

aErr BirdWriter::Write(const char* path, int level) const {
  std::vector<uint8_t> file = Build(level);
  if (file.empty()) return aErrParam;
  return WriteFileAtomically(path, file.data(), file.size());
}

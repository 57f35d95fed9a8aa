#include "store/BirdFile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>
#include <zlib.h>

#include "common/aNumber.h"
#include "log/Log.h"
#include "store/RegularFile.h"

const uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};

namespace {

uint32_t GetInt(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t GetShort(const uint8_t* p) { return (uint32_t(p[0]) << 8) | uint32_t(p[1]); }

uint32_t GetLittleInt(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutLittleInt(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Copies field `index` (0-3) of an information block into out, terminated.
// A block shorter than 64 bytes reads as if padded with zero bytes.
void InfoField(const uint8_t* data, uint32_t length, int index,
               char out[BIRD_INFO_FIELD_SIZE + 1]) {
  std::memset(out, 0, BIRD_INFO_FIELD_SIZE + 1);
  uint32_t start = uint32_t(index) * BIRD_INFO_FIELD_SIZE;
  if (data && length > start) {
    uint32_t n = length - start;
    if (n > BIRD_INFO_FIELD_SIZE) n = BIRD_INFO_FIELD_SIZE;
    std::memcpy(out, data + start, n);
  }
}

void InfoField(const BirdBlock& info, int index, char out[BIRD_INFO_FIELD_SIZE + 1]) {
  InfoField(info.data, info.length, index, out);
}

// The model field without its trailing spaces.
std::string InfoModel(const uint8_t* data, uint32_t length) {
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(data, length, 3, field);
  size_t n = std::strlen(field);
  while (n > 0 && field[n - 1] == ' ') field[--n] = '\0';
  return std::string(field);
}

// Smallest first guess for the expanded size; grows from there.
const size_t kMinExpandCapacity = 64 * 1024;
// zlib counts in uInt; feed very large inputs in pieces.
const size_t kMaxZlibChunk = 1u << 30;

}  // namespace

aErr BirdInfoBuild(const uint8_t* data, uint32_t length, uint32_t* build) {
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(data, length, 0, field);
  field[15] = '\0';
  uint32_t value = 0;
  const aErr err = aNumber_ParseU32(field, 10, &value);
  if (build) *build = value;
  return err;
}

std::string BirdLoadProblem(BirdLoadFailure failure, uint32_t count) {
  switch (failure) {
    case BirdLoadFailure::BadHeader: return "the file does not begin with a BIRD header";
    case BirdLoadFailure::NotExpanded:
      return "the compressed body cannot be expanded (damaged, truncated or oversized data)";
    case BirdLoadFailure::TooLarge:
      return Format("the compressed body cannot be expanded: it grows beyond %u bytes",
                    unsigned(BIRD_FILE_MAX_EXPANDED_SIZE));
    case BirdLoadFailure::DeclaresTooMany:
      return Format("the package declares %u blocks, more than the %u allowed", count,
                    unsigned(BIRD_FILE_MAX_BLOCKS));
    case BirdLoadFailure::HoldsTooMany:
      return Format("the package holds more than %u blocks", unsigned(BIRD_FILE_MAX_BLOCKS));
  }
  return std::string();
}

std::string BirdContentProblem(const BirdContent& content) {
  if (content.blocks == 0) return "the package holds no blocks";
  if (content.firmwareBlocks == 0) return "no firmware block";
  if (content.shortImage)
    return Format("block %u is too short to hold its load address", content.shortImageIndex);
  if (!content.hasInfo) return "no information block: build, version and model are unknown";
  if (content.infoLength < BIRD_INFO_SIZE)
    return Format("the information block holds %u bytes, %u are needed", content.infoLength,
                  unsigned(BIRD_INFO_SIZE));
  uint32_t build = 0;
  const aErr err = BirdInfoBuild(content.info, BIRD_INFO_SIZE, &build);
  if (err == aErrRange) return "the build number of the information block is above 4294967295";
  if (err != aErrNone || build == 0) return "the information block holds no build number";
  if (InfoModel(content.info, BIRD_INFO_SIZE).empty())
    return "the information block names no model";
  return std::string();
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* path) : path_(path ? path : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path_ = std::move(other.path_);
  signature_ = other.signature_;
  version_ = other.version_;
  fileChecksum_ = other.fileChecksum_;
  blockCount_ = other.blockCount_;
  declaredCount_ = other.declaredCount_;
  structureValid_ = other.structureValid_;
  // The heap buffer itself moves, so the block pointers stay valid.
  blocks_ = std::move(other.blocks_);
  serialOffsetsPresent_ = other.serialOffsetsPresent_;
  serialNumberOffset_ = other.serialNumberOffset_;
  descriptorOffset_ = other.descriptorOffset_;
  data_ = std::move(other.data_);
  dataSize_ = other.dataSize_;
  problem_ = std::move(other.problem_);
  tooManyBlocks_ = other.tooManyBlocks_;
  other.path_.clear();
  other.Reset();
  return *this;
}

void BirdFile::Reset() {
  signature_ = version_ = fileChecksum_ = blockCount_ = declaredCount_ = 0;
  structureValid_ = false;
  blocks_.clear();
  serialOffsetsPresent_ = false;
  serialNumberOffset_ = descriptorOffset_ = 0;
  data_.reset();
  dataSize_ = 0;
  problem_ = "nothing loaded";
  tooManyBlocks_ = false;
}

bool BirdFile::Load() {
  const char* path = path_.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
  Reset();

  int openError = 0;
  FILE* file = OpenRegularFile(path, &openError);
  if (!file) {
    if (openError == ENOENT) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
      problem_ = "the file cannot be found";
    } else {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
      problem_ = "cannot open the file (" + OpenErrorText(openError) + ")";
    }
    return false;
  }
  struct stat st;
  if (::fstat(fileno(file), &st) != 0) {
    const int error = errno;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", error, path);
    problem_ = "cannot read the file (" + OpenErrorText(error) + ")";
    std::fclose(file);
    return false;
  }
  if (uint64_t(st.st_size) > BIRD_FILE_MAX_EXPANDED_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s is too large (%llu bytes)\n", path,
             (unsigned long long)st.st_size);
    problem_ = Format("the file is too large (%llu bytes)", (unsigned long long)st.st_size);
    std::fclose(file);
    return false;
  }
  size_t size = size_t(st.st_size);
  std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[size ? size : 1]);
  if (!raw) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", ENOMEM, path);
    problem_ = "out of memory reading the file";
    std::fclose(file);
    return false;
  }
  size_t got = std::fread(raw.get(), 1, size, file);
  bool readError = std::ferror(file) != 0;
  int readErrno = errno;
  std::fclose(file);
  if (readError) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", readErrno, path);
    problem_ = "cannot read the file (" + OpenErrorText(readErrno) + ")";
    return false;
  }
  if (got != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path,
             got, size);
    problem_ = Format("the file changed while it was read (%zu of %zu bytes)", got, size);
    return false;
  }
  return LoadFromMemory(raw.get(), size);
}

bool BirdFile::LoadFromMemory(const uint8_t* bytes, size_t length) {
  Reset();
  if (!bytes) length = 0;
  if (length > BIRD_FILE_HEADER_SIZE) {
    signature_ = GetInt(bytes);
    version_ = GetShort(bytes + 4);
  }
  bool result = false;
  size_t bodyLength = length > BIRD_FILE_HEADER_SIZE ? length - BIRD_FILE_HEADER_SIZE : 0;
  if (DecompressData(bodyLength ? bytes + BIRD_FILE_HEADER_SIZE : nullptr, bodyLength)) {
    ScanBlocks(data_.get(), dataSize_);
    if (tooManyBlocks_) {
      problem_ = declaredCount_ > BIRD_FILE_MAX_BLOCKS
                     ? BirdLoadProblem(BirdLoadFailure::DeclaresTooMany, declaredCount_)
                     : BirdLoadProblem(BirdLoadFailure::HoldsTooMany);
      blocks_.clear();
      blockCount_ = 0;
      data_.reset();
      dataSize_ = 0;
      return false;
    }
    FindSerialNumberOffsets();
    result = true;
  } else {
    blocks_.clear();
    blockCount_ = 0;
  }
  for (const BirdBlock& block : blocks_) {
    if (block.type == BLOCK_SERIAL_OFFSETS) {
      serialOffsetsPresent_ = true;
      FindSerialNumberOffsets();
      break;
    }
  }
  if (result) {
    BirdContent content;
    content.blocks = blockCount_;
    for (uint32_t i = 0; i < blocks_.size(); ++i) {
      const BirdBlock& block = blocks_[i];
      if (block.type == BLOCK_FIRMWARE) ++content.firmwareBlocks;
      if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length < 4 &&
          !content.shortImage) {
        content.shortImage = true;
        content.shortImageIndex = i;
      }
    }
    if (const BirdBlock* info = FindInfo()) {
      content.hasInfo = true;
      content.infoLength = info->length;
      std::memcpy(content.info, info->data,
                  info->length < BIRD_INFO_SIZE ? info->length : BIRD_INFO_SIZE);
    }
    problem_ = VerifyHeader(bytes, length) ? BirdContentProblem(content)
                                           : BirdLoadProblem(BirdLoadFailure::BadHeader);
    if (!problem_.empty())
      Log::log(DEBUG_BirdFile, "BIRDFILE: %s cannot be used: %s\n", path_.c_str(),
               problem_.c_str());
  }
  return result;
}

bool BirdFile::VerifyHeader(const uint8_t* bytes, size_t length) {
  return bytes && length >= BIRD_FILE_HEADER_SIZE &&
         std::memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 && bytes[4] != 0 && bytes[5] != 0;
}

bool BirdFile::VerifyFile(const char* path) {
  FILE* file = OpenRegularFile(path);
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path ? path : "");
    return false;
  }
  uint8_t header[BIRD_FILE_HEADER_SIZE];
  size_t got = std::fread(header, 1, sizeof header, file);
  std::fclose(file);
  return VerifyHeader(header, got);
}

bool BirdFile::DecompressData(const uint8_t* compressed, size_t length) {
  data_.reset();
  dataSize_ = 0;
  problem_ = BirdLoadProblem(BirdLoadFailure::NotExpanded);

  // The body carries no expanded size. Start from a guess and grow the
  // buffer in place as zlib fills it; the final buffer is cut to size.
  uint64_t guess = uint64_t(length) * 4;
  if (guess < kMinExpandCapacity) guess = kMinExpandCapacity;
  if (guess > BIRD_FILE_MAX_EXPANDED_SIZE) guess = BIRD_FILE_MAX_EXPANDED_SIZE;
  size_t capacity = size_t(guess);

  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  int ret = inflateInit(&zs);
  if (ret != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", ret);
    return false;
  }
  uint8_t* buffer = static_cast<uint8_t*>(std::malloc(capacity));
  size_t total = 0;
  size_t inputLeft = compressed ? length : 0;
  const uint8_t* input = compressed;
  bool bomb = false;
  bool countChecked = false;
  uint32_t declared = 0;
  // Block heads are counted as the body arrives, so that one holding more
  // blocks than allowed is refused before the rest of it is expanded.
  uint64_t headAt = 4;
  uint32_t heads = 0;
  if (!buffer) ret = Z_MEM_ERROR;

  while (buffer) {
    if (zs.avail_in == 0 && inputLeft > 0) {
      size_t chunk = inputLeft < kMaxZlibChunk ? inputLeft : kMaxZlibChunk;
      zs.next_in = const_cast<Bytef*>(input);
      zs.avail_in = uInt(chunk);
      input += chunk;
      inputLeft -= chunk;
    }
    if (total == capacity) {
      if (capacity >= BIRD_FILE_MAX_EXPANDED_SIZE) {
        // Full at the cap: acceptable only if the stream ends right here.
        uint8_t probe;
        zs.next_out = &probe;
        zs.avail_out = 1;
        ret = inflate(&zs, Z_NO_FLUSH);
        if (ret == Z_STREAM_END && zs.avail_out == 1) break;
        bomb = true;
        ret = Z_BUF_ERROR;
        break;
      }
      uint64_t grown = uint64_t(capacity) * 2;
      if (grown > BIRD_FILE_MAX_EXPANDED_SIZE) grown = BIRD_FILE_MAX_EXPANDED_SIZE;
      uint8_t* bigger = static_cast<uint8_t*>(std::realloc(buffer, size_t(grown)));
      if (!bigger) {
        ret = Z_MEM_ERROR;
        break;
      }
      buffer = bigger;
      capacity = size_t(grown);
    }
    size_t room = capacity - total;
    if (room > kMaxZlibChunk) room = kMaxZlibChunk;
    zs.next_out = buffer + total;
    zs.avail_out = uInt(room);
    ret = inflate(&zs, Z_NO_FLUSH);
    total += room - zs.avail_out;
    if (!countChecked && total >= 4) {
      // A body that declares more blocks than any package holds is refused
      // before the rest of it is expanded.
      countChecked = true;
      declared = GetInt(buffer);
      if (declared > BIRD_FILE_MAX_BLOCKS) {
        ret = Z_DATA_ERROR;
        break;
      }
    }
    while (countChecked && heads <= BIRD_FILE_MAX_BLOCKS && headAt + 5 <= total) {
      headAt += 5 + uint64_t(GetInt(buffer + headAt + 1));
      ++heads;
    }
    if (heads > BIRD_FILE_MAX_BLOCKS) {
      ret = Z_DATA_ERROR;
      break;
    }
    if (ret == Z_STREAM_END) break;
    if (ret == Z_OK) continue;
    if (ret == Z_BUF_ERROR && zs.avail_out == 0) continue;  // needs more room
    if (ret == Z_BUF_ERROR || ret == Z_NEED_DICT) ret = Z_DATA_ERROR;  // input ended early
    break;
  }
  inflateEnd(&zs);

  if (ret != Z_STREAM_END) {
    if (declared > BIRD_FILE_MAX_BLOCKS || heads > BIRD_FILE_MAX_BLOCKS) {
      problem_ = declared > BIRD_FILE_MAX_BLOCKS
                     ? BirdLoadProblem(BirdLoadFailure::DeclaresTooMany, declared)
                     : BirdLoadProblem(BirdLoadFailure::HoldsTooMany);
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s; refusing it.\n", problem_.c_str());
    } else if (bomb) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Error - bird file body expands beyond %u bytes; refusing it.\n",
               unsigned(BIRD_FILE_MAX_EXPANDED_SIZE));
      problem_ = BirdLoadProblem(BirdLoadFailure::TooLarge);
    } else if (ret == Z_MEM_ERROR) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - out of memory expanding bird file (%zu bytes).\n",
               capacity);
      problem_ = "out of memory expanding the compressed body";
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", ret);
    std::free(buffer);
    return false;
  }
  if (total < capacity) {
    uint8_t* fitted = static_cast<uint8_t*>(std::realloc(buffer, total ? total : 1));
    if (fitted) buffer = fitted;
  }
  data_.reset(buffer);
  dataSize_ = uint32_t(total);
  return true;
}

bool BirdFile::ScanBlocks(const uint8_t* body, size_t length) {
  bool result = true;
  tooManyBlocks_ = false;
  blocks_.clear();
  blockCount_ = 0;
  declaredCount_ = 0;
  fileChecksum_ = 0;
  if (!body || length < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block data of %zu bytes holds no block count\n",
             body ? length : size_t(0));
    structureValid_ = false;
    return false;
  }
  declaredCount_ = GetInt(body);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declaredCount_));
  if (declaredCount_ > BIRD_FILE_MAX_BLOCKS) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %u blocks declared, at most %u allowed.\n",
             declaredCount_, unsigned(BIRD_FILE_MAX_BLOCKS));
    tooManyBlocks_ = true;
    structureValid_ = false;
    return false;
  }
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  int64_t remaining = int64_t(length) - 4;
  size_t pos = 4;
  bool overrun = false;
  while (remaining > 4) {
    if (blockCount_ == BIRD_FILE_MAX_BLOCKS) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - more than %u blocks; scan stopped.\n",
               unsigned(BIRD_FILE_MAX_BLOCKS));
      tooManyBlocks_ = true;
      structureValid_ = false;
      return false;
    }
    uint8_t typeFlags = body[pos];
    uint32_t blockLength = GetInt(body + pos + 1);
    if (int64_t(blockLength) > remaining - 5) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Block %u at offset %zu claims %u data bytes, only %lld left; "
               "scan stopped.\n",
               blockCount_, pos, blockLength, (long long)(remaining - 5));
      overrun = true;
      break;
    }
    BirdBlock block;
    block.type = typeFlags & BIRD_FILE_TYPE_MASK;
    block.flags = uint8_t((typeFlags & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
    block.length = blockLength;
    block.data = const_cast<uint8_t*>(body + pos + 5);
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && blockLength >= 4)
      block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             int(blockLength));
    if (block.type == BLOCK_INFO) {
      for (int i = 0; i < 4; ++i) {
        char field[BIRD_INFO_FIELD_SIZE + 1];
        InfoField(block, i, field);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
      }
    }
    pos += 5 + size_t(blockLength);
    remaining -= 5 + int64_t(blockLength);
    blocks_.push_back(block);
    ++blockCount_;
  }

  if (!overrun) {
    if (remaining >= 4) {
      fileChecksum_ = GetInt(body + pos);
      Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum_);
    }
    remaining -= 4;  // goes negative when the checksum is missing
  }
  if (remaining != 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(remaining));
    result = false;
  }
  if (blockCount_ != declaredCount_) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             int(blockCount_), int(declaredCount_));
    result = false;
  }
  structureValid_ = result;
  return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks_)
    if (block.type == type) found.push_back(block);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount_ == 0) return false;
  for (const BirdBlock& block : blocks_) {
    if (block.type != BLOCK_SERIAL_OFFSETS) continue;
    if (block.length < 8) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets block holds %u bytes, 8 needed\n", block.length);
      return false;
    }
    serialNumberOffset_ = GetInt(block.data);
    descriptorOffset_ = GetInt(block.data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             int(serialNumberOffset_), int(descriptorOffset_));
    return true;
  }
  return false;
}

const BirdBlock* BirdFile::FindInfo() const {
  for (const BirdBlock& block : blocks_)
    if (block.type == BLOCK_INFO) return &block;
  return nullptr;
}

uint32_t BirdFile::GetSerialNumber() const {
  const BirdBlock* info = FindInfo();
  if (!info) return 0;
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(*info, 2, field);
  field[8] = '\0';
  uint32_t serial = 0;
  aNumber_ParseU32(field, 16, &serial);
  return serial;
}

uint32_t BirdFile::GetBuild() const {
  const BirdBlock* info = FindInfo();
  if (!info) return 0;
  uint32_t build = 0;
  BirdInfoBuild(info->data, info->length, &build);
  return build;
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* info = FindInfo();
  if (!info) return std::string();
  char field[BIRD_INFO_FIELD_SIZE + 1];
  InfoField(*info, 1, field);
  field[15] = '\0';
  for (char* p = field; *p; ++p)
    if (*p == ' ') *p = '\0';
  return std::string(field);
}

std::string BirdFile::GetModel() const {
  const BirdBlock* info = FindInfo();
  return info ? InfoModel(info->data, info->length) : std::string();
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* name) const {
  if (!FindInfo()) return false;
  if (!name) name = "";
  std::string field = GetModel();
  size_t n = std::strlen(name);
  if (std::strncmp(field.c_str(), name, n) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), name);
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  bool result = false;
  const uint64_t s = serialNumberOffset_;
  const uint64_t d = descriptorOffset_;
  for (BirdBlock& block : blocks_) {
    if (block.type != BLOCK_FIRMWARE || block.length < 4) continue;
    const uint64_t start = block.address;
    const uint64_t end = start + block.ImageLength();  // exclusive
    uint8_t* image = block.Image();
    if (s != 0) {
      if (s >= start && s + 4 <= end) {
        uint8_t* word = image + (s - start);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 GetLittleInt(word), serial);
        PutLittleInt(word, serial);
      }
      result = true;
    }
    if (d != 0 && d >= start && d + 16 <= end) {
      uint8_t* units = image + (d - start);
      for (int i = 0; i < 8; ++i) units[2 * i] = uint8_t(text[i]);
      result = true;
    }
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (BirdBlock& block : blocks_) {
    if (block.type != BLOCK_FIRMWARE || block.length < 4 || block.address != 0) continue;
    if (block.ImageLength() < 32) continue;  // no complete vector table
    uint8_t* table = block.Image();
    // The boot ROM accepts the image when entries 0-7 sum to zero.
    uint32_t sum = 0;
    for (int i = 0; i < 7; ++i) sum += GetLittleInt(table + 4 * i);
    uint32_t checksum = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             GetLittleInt(table + 28), checksum);
    PutLittleInt(table + 28, checksum);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  if (!key) return false;
  uint8_t bytes[16];
  for (int i = 0; i < 4; ++i) {
    bytes[4 * i] = uint8_t(key[i] >> 24);
    bytes[4 * i + 1] = uint8_t(key[i] >> 16);
    bytes[4 * i + 2] = uint8_t(key[i] >> 8);
    bytes[4 * i + 3] = uint8_t(key[i]);
  }
  for (BirdBlock& block : blocks_) {
    if (block.type != BLOCK_FIRMWARE) continue;
    uint8_t* image = block.Image();
    uint32_t n = block.ImageLength();
    uint8_t previous = 0;
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t value = uint8_t(image[i] ^ bytes[i & 15] ^ previous);
      image[i] = value;
      previous = value;
    }
  }
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path_.c_str());
  bool found = false;
  if (pattern && length > 0) {
    for (const BirdBlock& block : blocks_) {
      if (block.type != BLOCK_FIRMWARE || block.length < length) continue;
      for (uint32_t i = 0; i <= block.length - length; ++i) {
        if (std::memcmp(block.data + i, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path_.c_str());
  for (const BirdBlock& block : blocks_) {
    if (block.type != type) continue;
    std::string text;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % 50 == 0) {
        std::printf(" %s\r\n%06u: ", text.c_str(), i);
        text.clear();
      }
      uint8_t byte = block.data[i];
      std::printf("%02X ", byte);
      text.push_back(std::isprint(byte) ? char(byte) : ' ');
    }
    std::printf(" %s\n", text.c_str());
  }
  std::printf("\n");
  std::fflush(stdout);
  return true;
}

// Loading a BIRD package: reading the file, expanding its body
// (BirdBodyExpander) and walking its blocks (BirdBlockScanner), and the
// verdict whether the update flows can use it. The queries and patches of a
// loaded file are in BirdFileImage.cpp.
#include "store/BirdFile.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>
#include <zlib.h>

#include "log/Log.h"
#include "store/BirdBlockScanner.h"
#include "store/BirdBytes.h"
#include "store/BirdExpander.h"
#include "store/RegularFile.h"

const uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};

namespace {

// Loading reads a file in pieces of this size.
const size_t kReadPiece = 64 * 1024;

}  // namespace

using bird::Format;
using bird::GetInt;
using bird::GetShort;

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
  content_ = other.content_;
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
  content_ = BirdContent();
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
  const size_t size = size_t(st.st_size);
  // The file is read a piece at a time into one small buffer that stays in
  // the cache, and each piece goes straight on to the expander: the
  // compressed bytes are never gathered in a buffer of their own.
  std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kReadPiece]);
  if (!piece) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", ENOMEM, path);
    problem_ = "out of memory reading the file";
    std::fclose(file);
    return false;
  }
  BirdBodyExpander expander(true, size > BIRD_FILE_HEADER_SIZE ? size - BIRD_FILE_HEADER_SIZE : 0);
  uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
  size_t got = 0;
  // The whole file is read even when its body has already been refused,
  // so that a read error or a short read is reported first, as before
  // anything is expanded.
  while (got < size) {
    const size_t want = std::min(size - got, kReadPiece);
    const size_t n = std::fread(piece.get(), 1, want, file);
    size_t at = 0;
    while (got + at < BIRD_FILE_HEADER_SIZE && at < n) {
      header[got + at] = piece[at];
      ++at;
    }
    if (at < n) expander.Feed(piece.get() + at, n - at);
    got += n;
    if (n < want) break;
  }
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
  return Settle(header, size, expander);
}

bool BirdFile::LoadFromMemory(const uint8_t* bytes, size_t length) {
  Reset();
  if (!bytes) length = 0;
  const size_t bodyLength = length > BIRD_FILE_HEADER_SIZE ? length - BIRD_FILE_HEADER_SIZE : 0;
  BirdBodyExpander expander(true, bodyLength);
  if (bodyLength) expander.Feed(bytes + BIRD_FILE_HEADER_SIZE, bodyLength);
  return Settle(bytes, length, expander);
}

bool BirdFile::Settle(const uint8_t* header, size_t length, BirdBodyExpander& expander) {
  if (length > BIRD_FILE_HEADER_SIZE) {
    signature_ = GetInt(header);
    version_ = GetShort(header + 4);
  }
  bool result = false;
  if (Expanded(expander)) {
    // The expansion walked the blocks as they came out; that walk is the
    // one the block list is taken from, so the body is gone over once.
    TakeBlocks(expander.Scanner(), data_.get());
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
    problem_ = VerifyHeader(header, length) ? BirdContentProblem(content_)
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

// The body carries no expanded size: the expander starts from a guess and
// grows its buffer as the body comes out. It walks the blocks as they come,
// so that a body holding more blocks than allowed is refused before the
// rest of it is expanded.
bool BirdFile::Expanded(BirdBodyExpander& expander) {
  data_.reset();
  dataSize_ = 0;
  problem_ = BirdLoadProblem(BirdLoadFailure::NotExpanded);
  if (!expander.Ended()) {
    int code = expander.Code();
    switch (expander.Failure()) {
      case BirdExpandFailure::TooManyBlocks:
        problem_ = expander.Scanner().RefusalProblem();
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s; refusing it.\n", problem_.c_str());
        break;
      case BirdExpandFailure::TooLarge:
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Error - bird file body expands beyond %u bytes; refusing it.\n",
                 unsigned(BIRD_FILE_MAX_EXPANDED_SIZE));
        problem_ = BirdLoadProblem(BirdLoadFailure::TooLarge);
        break;
      case BirdExpandFailure::OutOfMemory:
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Error - out of memory expanding bird file (%zu bytes).\n",
                 expander.Capacity());
        problem_ = "out of memory expanding the compressed body";
        break;
      case BirdExpandFailure::Corrupt:
        break;
      case BirdExpandFailure::None:
        code = Z_DATA_ERROR;  // the input ended before the stream did
        break;
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", code);
    return false;
  }
  size_t size = 0;
  data_.reset(expander.ReleaseBody(&size));
  dataSize_ = uint32_t(size);
  return true;
}

bool BirdFile::TakeBlocks(BirdBlockScanner& scanner, const uint8_t* body) {
  tooManyBlocks_ = false;
  blocks_.clear();
  blockCount_ = 0;
  declaredCount_ = 0;
  fileChecksum_ = 0;
  structureValid_ = false;
  content_ = BirdContent();

  scanner.Finish();
  if (!scanner.HasCount()) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block data of %zu bytes holds no block count\n",
             size_t(scanner.Size()));
    return false;
  }
  declaredCount_ = scanner.DeclaredCount();
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declaredCount_));
  if (scanner.Refused() && scanner.Refusal() == BirdLoadFailure::DeclaresTooMany) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %u blocks declared, at most %u allowed.\n",
             declaredCount_, unsigned(BIRD_FILE_MAX_BLOCKS));
    tooManyBlocks_ = true;
    return false;
  }
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  for (const BirdBlockHead& head : scanner.Blocks()) {
    BirdBlock block;
    block.type = head.Type();
    block.flags = head.Flags();
    block.length = head.length;
    block.data = const_cast<uint8_t*>(body + head.offset);
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
      block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             int(block.length));
    if (block.type == BLOCK_INFO) {
      for (int i = 0; i < 4; ++i) {
        char field[BIRD_INFO_FIELD_SIZE + 1];
        bird::InfoField(block.data, block.length, i, field);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
      }
    }
    blocks_.push_back(block);
  }
  blockCount_ = uint32_t(blocks_.size());
  if (scanner.Refused()) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - more than %u blocks; scan stopped.\n",
             unsigned(BIRD_FILE_MAX_BLOCKS));
    tooManyBlocks_ = true;
    return false;
  }

  if (scanner.Overrun()) {
    const BirdBlockHead& head = scanner.OverrunBlock();
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Block %u at offset %llu claims %u data bytes, only %lld left; "
             "scan stopped.\n",
             blockCount_, (unsigned long long)(head.offset - 5), head.length,
             (long long)(scanner.Size() - head.offset));
  }
  if (scanner.HasChecksum()) {
    fileChecksum_ = scanner.Checksum();
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum_);
  }
  if (scanner.Remaining() != 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(scanner.Remaining()));
  }
  if (blockCount_ != declaredCount_) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             int(blockCount_), int(declaredCount_));
  }
  content_ = scanner.Content();
  structureValid_ = scanner.StructureValid();
  return structureValid_;
}

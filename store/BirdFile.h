// A BIRD firmware package: a 6-byte header ("bird" and a two-byte format
// version) followed by one zlib stream holding typed blocks. BirdFile reads
// and expands a package, describes its blocks and patches the image in
// memory; nothing here writes a package back to disk (see BirdWriter).
#ifndef UPDATER_BIRDFILE_H
#define UPDATER_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/aError.h"

class BirdBlockScanner;
class BirdBodyExpander;

#define BIRD_FILE_SIGNATURE "bird"
#define BIRD_FILE_HEADER_SIZE 6
#define BIRD_FILE_TYPE_MASK 0x1F
#define BIRD_FILE_FLAG_MASK 0xE0
#define BIRD_FILE_FLAG_SHIFT 5
// The two version bytes written after the signature.
extern const uint8_t BIRD_FILE_VERSION[2];

// Expansion refuses bodies that would grow beyond this many bytes.
#define BIRD_FILE_MAX_EXPANDED_SIZE (256u * 1024u * 1024u)

// A real package holds a handful of blocks. A body that declares or holds
// more than this many is refused, so that a small file cannot make a reader
// keep millions of block descriptors.
#define BIRD_FILE_MAX_BLOCKS 4096u

// Size of the information block and of each of its four text fields.
#define BIRD_INFO_SIZE 64
#define BIRD_INFO_FIELD_SIZE 16

enum BLOCK_TYPE : uint8_t {
  BLOCK_LOADER = 0,          // load address + loader image bytes
  BLOCK_FIRMWARE = 1,        // load address + firmware image bytes
  BLOCK_SERIAL_OFFSETS = 2,  // serial word address, descriptor text address
  BLOCK_INFO = 4,            // build, version, serial, model (16 chars each)
  BLOCK_LOADER_START = 5,    // loader start address
};

// One block of a loaded file. It owns nothing: data points into the
// decompressed buffer of the BirdFile it came from and stays valid while
// that file lives (also after the file was moved).
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;     // the 3 flag bits, 0-7
  uint32_t length = 0;   // data bytes, including the address word of 0 and 1
  uint32_t address = 0;  // load address for loader/firmware blocks, else 0
  uint8_t* data = nullptr;

  // Image bytes of a loader or firmware block (after the address word);
  // 0 for a block too short to hold one.
  uint32_t ImageLength() const { return length >= 4 ? length - 4 : 0; }
  uint8_t* Image() const { return data + (length >= 4 ? 4 : length); }
};

// What decides whether a package that loads can be used by the update
// flows, gathered by the block walk (BirdBlockScanner) for BirdFile and for
// BirdStreamCheck alike.
struct BirdContent {
  uint32_t blocks = 0;
  uint32_t firmwareBlocks = 0;
  bool shortImage = false;      // a loader or firmware block without room
  uint32_t shortImageIndex = 0;  // for its load address: the first such
  // A loader or firmware image that runs past address 0xFFFFFFFF: the
  // first such block.
  bool wrapsImage = false;
  uint32_t wrapsIndex = 0;
  uint32_t wrapsAddress = 0;
  uint32_t wrapsLength = 0;  // image bytes
  // Two images of the same kind (loader or firmware) that share an
  // address: the pair sharing the lowest address (block indexes in file
  // order), and that address.
  bool overlap = false;
  uint8_t overlapType = 0;
  uint32_t overlapFirst = 0;
  uint32_t overlapSecond = 0;
  uint32_t overlapAddress = 0;
  bool hasInfo = false;
  uint32_t infoLength = 0;             // of the first information block
  uint8_t info[BIRD_INFO_SIZE] = {};  // its first bytes, zero beyond its length
};

// Why a package with this content cannot be used; empty when it can. A
// usable package has a firmware block, every loader and firmware block
// holds its load address, no image runs past address 0xFFFFFFFF, no two
// loader images and no two firmware images overlap, and the first
// information block is complete (64 bytes) with a build number of 1 to
// 0xFFFFFFFF and a model name.
std::string BirdContentProblem(const BirdContent& content);

// Why a package does not load, in the words loading and the streaming
// check share.
enum class BirdLoadFailure { BadHeader, NotExpanded, TooLarge, DeclaresTooMany, HoldsTooMany };
// count: the declared block count for DeclaresTooMany.
std::string BirdLoadProblem(BirdLoadFailure failure, uint32_t count = 0);

// The build field of an information block (data, length bytes; a shorter
// block reads as if padded with zero bytes): its leading decimal digits
// (the 16th character never counts). aErrNone with *build set, aErrNotFound
// for no digits, aErrRange above 0xFFFFFFFF (*build is then 0).
aErr BirdInfoBuild(const uint8_t* data, uint32_t length, uint32_t* build);

class BirdFile {
 public:
  BirdFile();
  // Loads path; throws std::runtime_error("Failed to load bird data") when
  // loading fails.
  explicit BirdFile(const char* path);
  ~BirdFile();

  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // Reads, expands and parses the file at the stored path. False when the
  // file cannot be read (only a regular file is opened), its body cannot
  // be expanded or it declares or holds more than BIRD_FILE_MAX_BLOCKS
  // blocks; a structural mismatch of the blocks is only logged (see
  // StructureValid). Problem tells why.
  bool Load();
  // Sets the path Load reads, for loading without the throwing constructor.
  void SetPath(const std::string& path) { path_ = path; }
  // The same on the bytes of a whole file already in memory; the path is
  // only used in log lines. Used by package indexers, tests and the fuzzer;
  // Load takes the same steps on the file as it reads it, a piece at a
  // time.
  bool LoadFromMemory(const uint8_t* bytes, size_t length);

  // Quick test of a file on disk: 6 header bytes, the signature and two
  // non-zero version bytes. Reads nothing else, and opens only a regular
  // file.
  static bool VerifyFile(const char* path);
  // The same test on header bytes in memory.
  static bool VerifyHeader(const uint8_t* bytes, size_t length);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  bool FindSerialNumberOffsets();

  uint32_t GetSerialNumber() const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  // The model field without its trailing spaces; empty without an
  // information block.
  std::string GetModel() const;
  bool HasInfo() const { return FindInfo() != nullptr; }

  bool ValidateSerialNumber(uint32_t serial) const;
  // True when the model field (without its trailing spaces) equals name; a
  // null or empty name, or a file without an information block, is false.
  bool ValidateModel(const char* name) const;

  bool ReplaceSerialNumber(uint32_t serial);
  bool ReplaceVectorChecksum();
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  bool ValidateData(const uint8_t* pattern, uint32_t length) const;
  bool DumpBlocks(BLOCK_TYPE type) const;

  const std::string& Path() const { return path_; }
  uint32_t Signature() const { return signature_; }
  uint32_t Version() const { return version_; }
  uint32_t FileChecksum() const { return fileChecksum_; }
  uint32_t BlockCount() const { return blockCount_; }
  // Count the body declares, and whether the blocks filled the body exactly
  // with the declared count (the verdict of the last block walk).
  uint32_t DeclaredBlockCount() const { return declaredCount_; }
  bool StructureValid() const { return structureValid_; }
  // The verdict that -C, -I, -L, downloads and the update flows share: the
  // file loaded, its header passes VerifyHeader and its content can be
  // used (BirdContentProblem).
  bool Usable() const { return problem_.empty(); }
  // Why the file did not load or cannot be used; empty when Usable.
  const std::string& Problem() const { return problem_; }
  const std::vector<BirdBlock>& Blocks() const { return blocks_; }
  bool SerialOffsetsPresent() const { return serialOffsetsPresent_; }
  uint32_t SerialNumberOffset() const { return serialNumberOffset_; }
  uint32_t DescriptorOffset() const { return descriptorOffset_; }
  const uint8_t* Data() const { return data_.get(); }
  uint32_t DataSize() const { return dataSize_; }

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };

  const BirdBlock* FindInfo() const;
  void Reset();
  // The expansion's verdict, on an expander that has been fed the body.
  bool Expanded(BirdBodyExpander& expander);
  // The end of loading, once the whole file has gone through: the header
  // (its first bytes; length is the file's), the expansion and the block
  // walk made on the way.
  bool Settle(const uint8_t* header, size_t length, BirdBodyExpander& expander);
  // The block list and verdict of a walk already fed with the whole body.
  bool TakeBlocks(BirdBlockScanner& scanner, const uint8_t* body);

  std::string path_;
  uint32_t signature_ = 0;
  uint32_t version_ = 0;
  uint32_t fileChecksum_ = 0;
  uint32_t blockCount_ = 0;
  uint32_t declaredCount_ = 0;
  bool structureValid_ = false;
  std::vector<BirdBlock> blocks_;
  bool serialOffsetsPresent_ = false;
  uint32_t serialNumberOffset_ = 0;
  uint32_t descriptorOffset_ = 0;
  std::unique_ptr<uint8_t, FreeDeleter> data_;
  uint32_t dataSize_ = 0;
  std::string problem_ = "nothing loaded";
  bool tooManyBlocks_ = false;  // the last block walk hit BIRD_FILE_MAX_BLOCKS
  BirdContent content_;         // what the last block walk found for the usability verdict
};

#endif

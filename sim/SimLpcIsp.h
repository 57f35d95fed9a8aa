// A simulated LPC17xx boot ROM in its in-system-programming mode, seen from
// the chip: synchronisation, echo, the ISP commands with their return codes,
// UU-encoded data lines with checksums, a 512 KB flash in the chip's sector
// layout and the RAM the host stages data in. LpcIsp is the model (no
// transport, driven with bytes and a microsecond clock); LpcPort puts one
// on a pseudo-terminal and paces its output to the rate the host set there.
#ifndef KORVEX_SIM_LPC_ISP_H
#define KORVEX_SIM_LPC_ISP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ksim {

constexpr uint32_t kLpcFlashSize = 0x80000;     // 512 KB
constexpr int kLpcSectors = 30;                  // 0-15 of 4 KB, 16-29 of 32 KB
constexpr uint32_t kLpcRamBase = 0x10000000;
constexpr uint32_t kLpcRamSize = 0x10000;        // 64 KB: 60 KB from the staging address 0x10001000
constexpr uint32_t kLpcRamWritable = 0x10000200; // below: the ROM's own variables
constexpr uint32_t kLpcUnlockCode = 23130;
constexpr uint32_t kLpcAlways = 0xFFFFFFFFu;

// Return codes of the ISP commands.
enum LpcCode : int {
  kLpcSuccess = 0, kLpcInvalidCommand = 1, kLpcSrcAddrError = 2, kLpcDstAddrError = 3,
  kLpcSrcAddrNotMapped = 4, kLpcDstAddrNotMapped = 5, kLpcCountError = 6, kLpcInvalidSector = 7,
  kLpcSectorNotBlank = 8, kLpcSectorNotPrepared = 9, kLpcCompareError = 10, kLpcAddrError = 13, kLpcAddrNotMapped = 14,
  kLpcCmdLocked = 15, kLpcInvalidCode = 16, kLpcInvalidBaudRate = 17, kLpcInvalidStopBit = 18,
  kLpcParamError = 12,
};

// Faults, as fault words (see LpcFaults::parse).
struct LpcFaults {
  uint32_t strayAnswers = 0;    // stray-bytes[=COUNT]: CR, LF, NUL before that many answers
  uint32_t resends = 0;         // resend=COUNT: that many W checksums answered RESEND
  bool silent = false;          // silent: never answers anything
  bool wrongSync = false;       // wrong-sync: "?" is answered with another text
  uint32_t dropEcho = 0;        // drop-echo[=COUNT]: that many echoed lines lose a character
  std::map<char, int> errors;   // error=CMD:CODE: that command answers CODE, not carried out
  std::map<char, uint32_t> errorAt;  // error=CMD:CODE@N: only its N-th time (absent: every time)
  uint32_t corruptCopy = 0;     // corrupt-copy=N: the N-th C programs one byte wrong and answers 0

  bool parse(const std::string& word, std::string& error);
  std::string describe() const;
};

struct LpcConfig {
  std::string name;             // for messages and the status file (lpc0, lpc1, ... when empty)
  uint32_t id[4] = {0x26113F37, 0x12345678, 0x9ABCDEF0, 0x0F1E2D3C};  // answered to N
  uint32_t partNumber = 0x26113F37;                              // answered to J
  uint8_t bootMajor = 4, bootMinor = 1;                          // answered to K
  // Erase time of one E command, whether it erases one sector or a range
  // of consecutive ones: the LPC176x/5x data sheet gives 95/100/105 ms
  // (min/typ/max) for "sector or multiple consecutive sectors".
  uint32_t eraseMs = 100;
  uint32_t programMs = 1;       // programming time per 256 bytes copied
  bool strictBlank = false;     // C onto non-blank flash answers 8 and programs nothing
  std::string ptyLink;          // symbolic link to the terminal
  std::string flashDump;        // the 512 KB flash is written here at exit and after G
  LpcFaults faults;
};

struct LpcStats {
  std::map<char, uint64_t> commands;  // command lines by letter ("?" for the opening)
  uint64_t syncs = 0;                 // completed synchronisations
  uint64_t dataLinesIn = 0, dataLinesOut = 0;
  uint64_t checksumsOk = 0, checksumsBad = 0;  // W checksums accepted / refused
  uint64_t resendsSent = 0;           // RESEND answers to W (faults included)
  uint64_t resendsAsked = 0;          // RESEND asked by the host during R
  uint64_t bytesWritten = 0;          // RAM bytes taken by W
  uint64_t bytesCopied = 0;           // flash bytes programmed by C
  uint64_t sectorsErased = 0;
  uint64_t nonBlankWrites = 0, nonBlankBytes = 0;  // C onto flash not erased
  uint64_t overruns = 0;              // characters not sent: the output queue was full
  uint64_t compares = 0, compareMismatches = 0;  // M commands, and those answering 10
  uint64_t hostAheadMax = 0;          // most characters the host sent ahead of the line
  std::map<std::string, uint64_t> faultsFired;
};

class LpcIsp {
 public:
  using Logger = std::function<void(const std::string&)>;

  explicit LpcIsp(const LpcConfig& config);

  // Bytes from the host at `nowUs`; the answers are queued with the time
  // each character is due.
  void receive(const uint8_t* data, size_t n, uint64_t nowUs);
  // Characters due by `nowUs`, taken out of the queue.
  std::string takeDue(uint64_t nowUs);
  // Everything queued, whenever due (tests).
  std::string takeAll();
  // When the next queued character is due (UINT64_MAX: nothing queued).
  uint64_t nextDue() const;
  // Time one character takes on the line, from the bit rate (10 bits each).
  void setBitRate(uint32_t bitsPerSecond);

  void setLogger(Logger log) { log_ = std::move(log); }
  const LpcConfig& config() const { return cfg_; }
  const LpcStats& stats() const { return stats_; }
  bool running() const { return state_ == State::Running; }
  bool unlocked() const { return unlocked_; }
  bool echo() const { return echo_; }
  const std::vector<uint8_t>& flash() const { return flash_; }
  const std::vector<uint8_t>& ram() const { return ram_; }
  // Writes the flash to `path`; false with a message.
  bool dumpFlash(const std::string& path, std::string& error) const;

  static int SectorOf(uint32_t address);                 // -1 outside the flash
  static uint32_t SectorStart(int sector);

 private:
  enum class State { Opening, SyncText, Crystal, Command, WriteData, ReadData, Running };

  void onByte(uint8_t c);
  void onLine(const std::string& line);
  void command(const std::string& line);
  int prepareOrErase(char letter, const std::vector<long long>& a, size_t argc);
  int startWrite(const std::vector<long long>& a, size_t argc);
  int startRead(const std::vector<long long>& a, size_t argc);
  int copy(const std::vector<long long>& a, size_t argc);
  int compare(const std::vector<long long>& a, size_t argc, uint32_t& offset);
  const uint8_t* memory(long long address, long long n) const;
  void writeLine(const std::string& line);
  void readAnswer(const std::string& line);
  void sendReadBlock();
  void answer(int code);
  void emit(const std::string& text);
  void echoText(const std::string& text);
  void busy(uint64_t us);
  void fired(const std::string& fault);
  void log(const std::string& line) const { if (log_) log_(line); }
  bool ramRange(long long address, long long n) const;

  LpcConfig cfg_;
  LpcStats stats_;
  Logger log_;
  std::vector<uint8_t> flash_, ram_;
  State state_ = State::Opening;
  bool echo_ = true;
  bool unlocked_ = false;
  int prepFirst_ = -1, prepLast_ = -1;  // prepared sectors (-1: none)
  std::string line_;                    // the line being received
  // W and R in progress.
  uint32_t xferAddr_ = 0, xferCount_ = 0, xferDone_ = 0, blockStart_ = 0;
  uint32_t blockSum_ = 0, blockLines_ = 0;
  bool blockBad_ = false, awaitChecksum_ = false;
  std::vector<uint8_t> block_;
  // Output: characters with the time each is due.
  std::vector<std::pair<uint64_t, char>> out_;
  size_t outHead_ = 0;
  uint64_t nowUs_ = 0, lineFreeUs_ = 0, busyUntilUs_ = 0;
  uint64_t rxFreeUs_ = 0;  // when the line has carried the last character the host sent
  uint64_t charUs_ = 87;  // 115200 bit/s
};

// One simulated ROM on a pseudo-terminal.
class LpcPort {
 public:
  LpcPort(const LpcConfig& config, std::function<void(const std::string&)> print);
  ~LpcPort();
  LpcPort(const LpcPort&) = delete;
  LpcPort& operator=(const LpcPort&) = delete;

  bool open(std::string& error);
  int fd() const { return master_; }
  const std::string& path() const { return path_; }
  void onReadable();
  // Writes what is due; the next wake-up in milliseconds from now (-1: none).
  int flush();
  std::vector<std::string> describe() const;
  nlohmann::json status() const;
  uint64_t activity() const;  // changes whenever the counters do
  void dump();                // the flash dump, when one is configured
  const LpcIsp& rom() const { return rom_; }

 private:
  void readRate();

  LpcIsp rom_;
  std::function<void(const std::string&)> print_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  uint32_t rate_ = 115200;
  bool wasRunning_ = false;
  std::string pending_;  // due but not yet taken by the terminal
  uint64_t lost_ = 0;    // bytes dropped because nobody read them
};

// "--lpc key=value,..." and a world file's "lpc" entries.
bool ParseLpcSpec(const std::string& text, LpcConfig& config, std::string& error);
bool ParseLpcJson(const nlohmann::json& j, LpcConfig& config, std::string& error);

}  // namespace ksim

#endif

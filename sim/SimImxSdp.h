// The boot ROM of an i.MX chip in serial-download mode, seen from the chip's
// side: it takes SDP commands (HID output reports, or raw bytes from a serial
// line) and produces its answers with their due times. It knows nothing
// about devices or terminals; the world feeds it and carries out a start of
// the loaded image.
//
// Commands (16 bytes, fields big-endian: type 2, address 4, format 1,
// count 4, data 4, reserved 1):
//   0x0505 status         -> security word, status word
//   0x0404 write file     -> (count data bytes follow) security word, 0x88888888
//   0x0B0B jump           -> security word; the image starts when recognised
//                            (a serial line then gets the HAB status word, the
//                            status command's answer; over HID a report 4 follows
//                            only a failed jump)
//   0x0101 read register  -> security word, then count bytes of memory or
//                            registers (what a write file put there reads back)
// Over HID an answer goes as input report 3 (the security word) and reports 4
// (64 bytes each, the words least significant byte first); over a serial
// line as the plain bytes. A serial line first carries the association: the
// host's 23 45 45 23 comes back unchanged.
#ifndef KORVEX_SIM_IMX_SDP_H
#define KORVEX_SIM_IMX_SDP_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace ksim {

constexpr uint16_t kImxHidVendor = 0x1FC9;
constexpr uint16_t kImxHidProduct = 0x0130;
constexpr uint32_t kImxFuseLow = 0x401F4410;   // fuse word answered as fingerprint word 3
constexpr uint32_t kImxFuseHigh = 0x401F4420;  // fuse word answered as fingerprint word 2
constexpr uint32_t kImxWriteComplete = 0x88888888;
constexpr uint32_t kImxFailStatus = 0x33333333;  // a refused command or a failed load

// Faults the ROM can be told to show.
struct ImxFaults {
  bool silent = false;         // never answers a status command
  uint32_t midAnswer = 0;      // n > 0: answers after the n-th data report (1024 bytes on a serial line)
  bool incomplete = false;     // a write file ends with kImxFailStatus instead of 0x88888888
  uint32_t chattyMs = 0;       // > 0: keeps sending status answers this often (HID: every read)
  uint32_t slowMs = 0;         // every answer comes this many milliseconds late
  uint32_t corruptWrite = 0;   // n > 0: a write file keeps byte n-1 of its data inverted, and says "complete"

  // Parses one fault word ("silent", "mid-answer=2", "slow=300", ...).
  bool parse(const std::string& word, std::string& error);
  std::string describe() const;
};

struct ImxConfig {
  uint32_t fingerprint[4] = {0, 0, 0, 0};  // the host's words 0..3
  uint32_t security = 0x56787856;          // security-mode word (open)
  uint32_t status = 0xF0F0F0F0;            // answer to the status command
  std::map<uint32_t, uint32_t> registers;  // further registers (others read 0)
  std::vector<uint8_t> loaderPrefix;       // a loader is recognised by these first bytes (empty: any image)
  bool silentAfterBadJump = false;         // a jump to an unknown image silences the ROM (else it stays)
  uint32_t ramLimit = 1u << 20;            // the most bytes one write file may announce
  ImxFaults faults;
};

struct ImxStats {
  std::map<uint16_t, uint64_t> commands;  // by command type
  uint64_t dataBytes = 0, dataReports = 0, strayData = 0;
  uint64_t jumps = 0, loaderStarts = 0, badJumps = 0, unknown = 0, associations = 0;
  // Steady-clock microseconds of the first status or association command
  // since power-on, and from it to the last jump: what a host's load took.
  uint64_t firstCommandUs = 0, loadUs = 0;
  std::map<std::string, uint64_t> faultsFired;
};

class ImxRom {
 public:
  enum class State { Rom, Started, Silent };

  explicit ImxRom(const ImxConfig& config);

  // HID: one output report from the host, report id first.
  void hidWrite(const uint8_t* data, size_t length, uint64_t now);
  // HID: the next input report due by `now` (report id first); false when
  // none is. A chatty ROM always has one.
  bool hidRead(uint64_t now, std::vector<uint8_t>& report);
  // Serial line: bytes from the host, and the bytes due by `now`.
  void serialReceive(const uint8_t* data, size_t length, uint64_t now);
  std::vector<uint8_t> serialTakeDue(uint64_t now);
  // The earliest time output is due (UINT64_MAX: none).
  uint64_t nextDeadline() const;

  // Power-on: back in the ROM, the RAM images gone; the counters stay.
  void restart();

  State state() const { return state_; }
  // Where the recognised loader was started (valid in State::Started).
  uint32_t startAddress() const { return start_; }
  const ImxStats& stats() const { return stats_; }
  const ImxConfig& config() const { return cfg_; }
  // The image bytes written at an address (empty when none starts there).
  std::vector<uint8_t> imageAt(uint32_t address) const;

  // A register as the ROM answers it.
  uint32_t registerValue(uint32_t address) const;

 private:
  struct Answer {
    uint64_t due = 0;
    bool security = true;          // the security word goes first
    std::vector<uint8_t> payload;  // then these bytes (HID: in 64-byte reports 4)
  };
  void command(const uint8_t* c, uint64_t now, bool serial);
  void data(const uint8_t* d, size_t length, uint64_t now, bool report);
  void finishWrite(uint64_t now);
  void noteFirstCommand();
  void answer(std::vector<uint32_t> words, uint64_t now);
  void answerBytes(bool security, std::vector<uint8_t> payload, uint64_t now);
  uint8_t memoryByte(uint32_t address) const;
  void chatter(uint64_t now);
  bool fire(const std::string& word);

  ImxConfig cfg_;
  State state_ = State::Rom;
  ImxStats stats_;
  std::deque<Answer> out_;
  std::deque<std::vector<uint8_t>> hidOut_;  // reports split from answers, in order
  uint64_t nextChatter_ = 0;

  std::vector<uint8_t> serialCmd_;  // a command being collected from the serial line
  // A write file in progress.
  bool writing_ = false;
  uint32_t writeAddress_ = 0, writeLeft_ = 0;
  uint64_t writeReports_ = 0;
  std::vector<uint8_t> writeBytes_;
  bool midAnswered_ = false;
  std::map<uint32_t, std::vector<uint8_t>> images_;  // by start address
  uint32_t start_ = 0;
};

}  // namespace ksim

#endif

// Serial download protocol loader for i.MX boot ROMs: builds the commands
// (status, write file, jump, read register), sends a loader image into the
// chip's RAM, starts it, and reads the chip's unique identifier. The bytes
// travel through an SDPLoader_Interface: USB HID reports or a serial line.
// Traces go to the application log under DEBUG_iMXSerial.
//
// Waiting: every answer is awaited against a deadline fitted to its bytes
// and to those of the command still on the way, at the transport's rate,
// plus kSDPAnswerSlackMs; the wait ends as soon as a whole answer is there.
// An answer is the ROM's only when it starts with one of the two security
// modes (open or closed); other bytes mean that something else answered.
#ifndef UPDATER_RECOVERY_SDPLOADER_H
#define UPDATER_RECOVERY_SDPLOADER_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/aError.h"

constexpr size_t MAX_COMMAND_BYTES = 17;  // report identifier + 16-byte command
constexpr size_t MAX_READ_BYTES = 65;     // the largest input report
constexpr size_t MAX_WRITE_BYTES = 1024;  // image bytes per data report

// Report identifiers.
constexpr uint8_t kSDPReportCommand = 1;
constexpr uint8_t kSDPReportData = 2;
constexpr uint8_t kSDPReportSecurity = 3;
constexpr uint8_t kSDPReportStatus = 4;

// Status words.
constexpr uint32_t kSDPWriteComplete = 0x88888888;
constexpr uint32_t kSDPAck = 0xF0F0F0F0;
// The security-mode word that starts every answer of the ROM.
constexpr uint32_t kSDPSecurityOpen = 0x56787856;
constexpr uint32_t kSDPSecurityClosed = 0x12343412;

// Beyond the time an answer's bytes take, how long the ROM (and a busy
// host) may take to produce it.
constexpr uint32_t kSDPAnswerSlackMs = 500;

// The chip's unique identifier: two fuse words.
constexpr uint32_t kSDPFingerprintLowAddress = 0x401F4410;
constexpr uint32_t kSDPFingerprintHighAddress = 0x401F4420;

// Results of SDPLoader::writeLoader.
enum SDPWriteResult : int {
  kSDPWriteOk = 0,
  kSDPWriteNoAnswer = 2,      // the status check went unanswered
  kSDPWriteInterrupted = 3,   // the ROM spoke in the middle of the transfer
  kSDPWriteNotComplete = 4,   // the final status was not "complete"
  kSDPWriteFailed = 5,        // nothing to send, or the transport dropped bytes
  kSDPWriteNotRom = 6,        // something answered the status check, but not as a boot ROM
};

// One way of reaching the boot ROM. Every buffer given to writeData starts
// with its report identifier; transports without report identifiers drop it.
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;
  // Opens the device. True when it can be used.
  virtual bool init() = 0;
  // Returns the count written (transport-defined), or a negative value.
  virtual ssize_t writeData(const std::vector<uint8_t>& data) = 0;
  // Waits at most timeoutMs for the ROM to speak and appends what it sent
  // (bounded in size), returning as soon as something came: the count
  // appended, 0 when nothing came in time, negative when the device is gone.
  virtual ssize_t readData(std::vector<uint8_t>& data, int timeoutMs) = 0;
  // ORs the 32-bit word at `offset` of an answer into `value` when the
  // answer has this transport's shape.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& buffer, size_t offset,
                                 uint32_t& value) = 0;
  // The security-mode word that starts an answer, when it is there.
  virtual bool getSecurityFromBuffer(const std::vector<uint8_t>& buffer, uint32_t& value) = 0;
  // Where the data of an answer starts: after the security word (HID:
  // after report 3 and report 4's identifier).
  virtual size_t payloadStart() const = 0;
  // The most data bytes one answer carries in one piece (HID: one report).
  virtual size_t payloadLimit() const = 0;
  // How long `bytes` of commands, data or answers take at this transport's
  // rate, in milliseconds, rounded up.
  virtual uint32_t transferMs(size_t bytes) const = 0;
};

// The answer shapes of the two transports. HID: security report (5 bytes)
// and status report (65 bytes), the word at bytes offset+6..offset+9.
// Serial: two raw words, the word at bytes offset+4..offset+7. Both take the
// word least significant byte first and only offsets up to 15.
bool SDP_WordFromHIDAnswer(const std::vector<uint8_t>& buffer, size_t offset, uint32_t& value);
bool SDP_WordFromSerialAnswer(const std::vector<uint8_t>& buffer, size_t offset, uint32_t& value);
// The security word: HID report 3's four bytes; a serial answer's first word.
bool SDP_SecurityFromHIDAnswer(const std::vector<uint8_t>& buffer, uint32_t& value);
bool SDP_SecurityFromSerialAnswer(const std::vector<uint8_t>& buffer, uint32_t& value);

class SDPLoader {
 public:
  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes the transport when none is set yet and it is not null.
  bool setLoader(std::unique_ptr<SDPLoader_Interface> loader);
  // aErrMemory without a transport, aErrIO when it cannot be opened.
  aErr init();
  // Sends `image` to `address`: one of SDPWriteResult.
  int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
  // Reads `image` back from `address` with read-register commands, one
  // piece at a time (over HID what one report carries, 64 bytes; over a
  // serial line, where the data follows the security word as one stream,
  // 1024 bytes):
  // aErrNone when the chip's RAM holds it, aErrWrite with the address of
  // the first byte that differs in `firstDifference`, aErrRead when a
  // piece's answer does not come whole from the ROM.
  aErr verifyLoader(const std::vector<uint8_t>& image, uint32_t address, uint32_t& firstDifference);
  // Jumps to `entry` and reads whatever comes back.
  void startLoader(uint32_t entry);
  // The two fuse words, low word first: aErrParam when the ROM does not
  // answer the status check as a ROM, aErrMode when an answer cannot be
  // read. The
  // out value is written only on success.
  aErr getFingerprint(uint64_t& fingerprint);

  // Command builders (17 bytes, report identifier 1 first).
  static std::vector<uint8_t> _createStatusPacket();
  static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t size);
  static std::vector<uint8_t> _createJumpPacket(uint32_t address);
  static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);
  static std::vector<uint8_t> _createReadMemoryPacket(uint32_t address, uint32_t bytes);
  // Pads a packet with zero bytes to MAX_COMMAND_BYTES.
  static void _fillCommand(std::vector<uint8_t>& packet);

  // The deadline of an answer of `answerBytes` after `pendingBytes` still on
  // their way to the ROM: their time at the transport's rate plus
  // kSDPAnswerSlackMs. 0 without a transport.
  uint32_t answerTimeoutMs(size_t pendingBytes, size_t answerBytes) const;

 private:
  enum class Heard { kRom, kSilence, kStranger };
  // The status check: up to five status commands, each awaited.
  Heard _checkConnection();
  // The answer starts with a security mode.
  bool _fromRom(const std::vector<uint8_t>& answer);
  // A whole answer that starts with a security mode.
  bool _expectResponse(const std::vector<uint8_t>& answer);
  bool _expectAck(const std::vector<uint8_t>& answer);
  // Writes a command (logged as "bytesWritten"); false when it did not go.
  bool _sendCommand(const std::vector<uint8_t>& command);
  // Reads into a fresh `answer` until it has the transport's shape (with
  // `wantBytes`, until it holds that many bytes), nothing more comes before
  // the deadline, or the device is gone; returns its size.
  size_t _awaitAnswer(std::vector<uint8_t>& answer, uint32_t timeoutMs, size_t wantBytes = 0);
  // _awaitAnswer for a command's answer, logged as "Read Data".
  ssize_t _readAnswer(std::vector<uint8_t>& answer, uint32_t timeoutMs);
  static void _printBuffer(const std::vector<uint8_t>& bytes);

  std::unique_ptr<SDPLoader_Interface> loader_;
};

#endif

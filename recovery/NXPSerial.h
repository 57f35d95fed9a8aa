// Programmer for the in-system-programming boot ROM of NXP LPC17xx parts,
// spoken over a serial aStream: ASCII commands ending in "\r\n", decimal
// return codes, UU-encoded data lines with a checksum after every 20 lines.
//
// Waiting: every answer is awaited against a millisecond deadline fitted to
// the command (an erase gets time per sector, a copy per byte, a checksum
// answer its own), never against a count of polls; and whatever input is
// still queued is discarded before each command is sent, so an answer that
// arrived after its deadline cannot be taken for the answer of the next
// command. Every read loop is bounded by a byte count as well.
//
// Strictness: Sync succeeds only on the exact texts "Synchronized\r\n" and
// both "OK\r\n" (another text gives aErrMode, silence aErrTimeout). A return
// code line must be nothing but the decimal code and "\r\n"; a line that is
// not is aErrIO, a non-zero code aErrParam. GetDeviceID needs code 0 and
// four lines that are each a whole number, else the identifier stays zero.
// A command whose echo comes back damaged fails with aErrIO (its answer
// cannot be told from the echo); silence is aErrTimeout.
//
// Bit rate: Connect opens the port at a rate from the speed table. The boot
// ROM synchronises to the rate of the "?" it receives; SetBaudRate sends
// "B rate 1" and, on a 0 answer, reopens the local port at the new rate
// (holding the device open across the reopen, so the line is never hung up
// and the modem lines do not drop).
//
// All traces go to the application log: DEBUG_NXPSerial errors and progress,
// DEBUG_NXPSerial_E waits, echoes and skipped bytes, DEBUG_NXPSerial_SR the
// bytes sent and received. Single-threaded: one caller drives one object.
#ifndef UPDATER_NXPSERIAL_H
#define UPDATER_NXPSERIAL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/aError.h"
#include "common/aStream.h"

class NXPSerialClass {
 public:
  static constexpr int MAX_ERROR = 20;
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
  static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
  static constexpr uint32_t LINES_PER_CHECKSUM = 20;
  static constexpr int MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
  static constexpr uint32_t COMPARE_ERROR_CODE = 10;
  // The ROM maps its own vectors over the first 64 bytes of flash, so a
  // compare that includes them may differ where the flash does not.
  static constexpr uint32_t REMAPPED_BYTES = 64;

  // Return-code texts, index = code; row MAX_ERROR is "Unknown error".
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  // Bit rates Connect may choose, ending in 0; index = serial speed index.
  static const uint32_t SPEED_TABLE[9];
  static constexpr uint32_t DEFAULT_SPEED_INDEX = 2;  // 9600

  struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
  };
  static constexpr uint32_t SECTOR_COUNT = 30;  // sectors 0..29
  static constexpr uint32_t FLASH_SIZE = 0x80000;
  // 31 rows; the last (0xFFFFFFFF, 0, 30) ends the table.
  static const Sector NXP_LPC17XX_sectors[SECTOR_COUNT + 1];

  // Longest port name kept.
  static constexpr size_t MAX_PORT_NAME = 2047;
  // Longest answer line read (a UU data line is 61 characters and "\r\n").
  static constexpr size_t MAX_LINE = 128;

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Opens port 8N1 at the first table rate at least baud (above 230400:
  // 9600). Any stream open before is destroyed first.
  aErr Connect(const char* port, uint32_t baud);
  void Disconnect();
  // Takes over an open stream as the line to the chip, at baud (which
  // only sets the answer deadlines), for lines that are not serial ports.
  // SetBaudRate cannot reopen such a line. aErrParam for a null stream.
  aErr Attach(aStreamRef stream, uint32_t baud);
  bool IsConnected() const { return stream_ != nullptr; }
  uint32_t BaudRate() const { return baud_; }
  bool Echo() const { return echo_; }

  // The opening handshake: "?", "Synchronized", crystal kHz.
  aErr Sync();
  // After a failed Sync: the "?" came back alone, as a ROM that is already
  // synchronised (echo on) echoes it as the start of a command line.
  bool SyncEchoed() const { return syncEchoed_; }
  // After a failed Sync: something came back to the "?".
  bool SyncAnswered() const { return syncAnswered_; }
  // Bytes written to the port since Connect.
  uint64_t BytesSent() const { return bytesSent_; }
  aErr SetEcho(bool on);
  // "B rate 1"; rate must be a table rate. On a 0 answer the local port is
  // reopened at rate.
  aErr SetBaudRate(uint32_t rate);
  aErr Unlock();
  // Sectors first..last (0..29, last >= first); else aErrParam unsent.
  aErr Prepare(uint32_t first, uint32_t last);
  aErr Erase(uint32_t first, uint32_t last);
  // count bytes of data to RAM at address: count non-zero and a multiple of
  // 4, address word-aligned, else aErrParam unsent. aErrTimeout after a
  // third RESEND, aErrIO for any other checksum answer.
  aErr Write(uint32_t address, uint32_t count, const uint8_t* data);
  // count bytes from address into buffer (same rules as Write).
  aErr Read(uint32_t address, uint32_t count, uint8_t* buffer);
  // flash a multiple of 256, length 256/512/1024/4096, the range inside
  // flash, ram word-aligned; else aErrParam unsent.
  aErr CopyToFlash(uint32_t flash, uint32_t ram, uint32_t length);
  // M: `length` bytes at `first` against those at `second` (flash or RAM).
  // Equal: aErrNone. Different: aErrMedia, with the ROM's offset of the
  // first byte that differs in `*offset`.
  aErr Compare(uint32_t first, uint32_t second, uint32_t length, uint32_t* offset);
  // "G address T"; no answer is read.
  aErr ExecuteFrom(uint32_t address);
  // After ExecuteFrom: the ROM's return code for G (its echo and stray line
  // ends passed over). aErrNone for 0; aErrTimeout when none came in
  // `timeoutMs`; aErrParam for another code.
  aErr AwaitStarted(uint32_t timeoutMs);
  // "N": code 0 and four whole-number lines; else an error and the
  // identifier left zero.
  aErr GetDeviceID();
  const uint32_t* DeviceID() const { return deviceId_; }
  aErr GetPartNumber(uint64_t* part);
  aErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);

  // ---- line I/O (public for the recovery flow and tests)
  // Writes text; with awaitEcho, reads back its echo (all of it).
  aErr Send(const char* text, bool awaitEcho);
  // Discards queued input, writes text, optionally sleeps waitMs, and when
  // echo is on reads the echo back; an incomplete echo is aErrIO.
  aErr SendCommand(const char* text, uint32_t waitMs);
  // Reads until count bytes of text have been seen in order; unexpected
  // bytes are skipped but count against the budget (bytes and time).
  aErr GetEcho(const char* text, size_t count, size_t* echoed);
  // One line ending in "\r\n" (kept), within timeoutMs; leading CR, LF and
  // NUL bytes are skipped. At most size - 1 bytes, zero-terminated.
  // aErrTimeout at the deadline, aErrOverrun when the line does not fit.
  aErr GetLine(char* buffer, size_t size, size_t* length, uint32_t timeoutMs);
  // Reads an expected answer: up to expectedLength bytes (or size - 1
  // without expected text) or up to "\r\n"; leading CR, LF, NUL skipped.
  // aErrMode when the bytes read differ from expected.
  aErr Response(char* buffer, size_t size, size_t* length, const char* expected,
                size_t expectedLength);
  // Index of the return code in an answer line (the digits before "\r\n").
  static size_t GetErrorIndex(const char* line, size_t length);
  // The return code of an answer line that is exactly digits and "\r\n".
  static bool ParseReturnCode(const char* line, size_t length, uint32_t* code);

  // ---- pure helpers
  static const char* GetErrorText(const char* line);
  static const char* ErrorTextFor(uint32_t code);
  static uint32_t SpeedIndexFor(uint32_t baud);
  static uint32_t CopyLength(uint32_t n);
  static uint32_t SectorFromAddress(uint32_t address);
  // Encodes min(n, 45) bytes as one line (at most 62 characters with the
  // zero); returns the bytes consumed.
  static uint32_t uuencode(char* out, const uint8_t* data, uint32_t n);
  // Decodes one line (ending at its zero, CR or LF) into buffer; returns
  // the byte count, 0 when the line is malformed (bad characters, too
  // short, too long) or the count exceeds size.
  static uint32_t uudecode(uint8_t* buffer, uint32_t size, const char* text);
  static uint32_t sum(const uint8_t* data, uint32_t n);
  // Whole line (up to "\r\n") a number, base prefix recognised.
  static bool ParseNumberLine(const char* line, size_t length, uint32_t* value);

  // Deadlines of the answers, in milliseconds.
  uint32_t AnswerTimeoutMs(size_t characters) const;
  static uint32_t EraseTimeoutMs(uint32_t sectors);
  static uint32_t CopyTimeoutMs(uint32_t length);
  static constexpr uint32_t CHECKSUM_TIMEOUT_MS = 2000;

 private:
  aErr ReadByte(uint8_t* byte, uint32_t deadline);
  size_t DiscardInput();
  void LogBytes(uint32_t mask, const char* prefix, const char* text, size_t n);
  // Sends command, reads its answer line, checks the code. Reports
  // failures under name.
  aErr Command(const char* name, const char* command, uint32_t timeoutMs);
  aErr SendDataLines(const uint8_t* data, uint32_t count, uint32_t* position);
  aErr ReceiveDataLines(uint8_t* buffer, uint32_t count, uint32_t* position);

  aStreamRef stream_ = nullptr;
  bool echo_ = true;
  bool syncEchoed_ = false;
  bool syncAnswered_ = false;
  uint64_t bytesSent_ = 0;
  uint32_t baud_ = 0;
  std::string port_;
  uint32_t deviceId_[4] = {0, 0, 0, 0};
};

#endif

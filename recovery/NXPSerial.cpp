// The LPC boot ROM programmer: connection, synchronisation, line I/O with
// echo, and the commands that are one line each way (A, B, U, G, N, J, K).
// Flash and RAM commands with data lines live in NXPSerial_flash.cpp.
#include "recovery/NXPSerial.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/aNumber.h"
#include "common/aTime.h"
#include "log/Log.h"

const char* const NXPSerialClass::ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const uint32_t NXPSerialClass::SPEED_TABLE[9] = {2400,  4800,   9600,   19200, 38400,
                                                 57600, 115200, 230400, 0};

namespace {

// Bytes dropped at most while looking for an echo or the start of a line.
constexpr size_t kMaxSkipped = 64;
// Queued bytes drained at most before a command.
constexpr size_t kMaxDiscard = 65536;
// Slack of every answer deadline beyond the time its characters take.
constexpr uint32_t kAnswerSlackMs = 500;

bool IsPrintable(uint8_t c) { return c >= 0x20 && c < 0x7F; }

}  // namespace

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

uint32_t NXPSerialClass::SpeedIndexFor(uint32_t baud) {
  for (uint32_t i = 0; SPEED_TABLE[i] != 0; ++i)
    if (SPEED_TABLE[i] >= baud) return i;
  return DEFAULT_SPEED_INDEX;
}

aErr NXPSerialClass::Connect(const char* port, uint32_t baud) {
  Disconnect();
  if (port == nullptr || strlen(port) > MAX_PORT_NAME) return aErrParam;
  const uint32_t index = SpeedIndexFor(baud);
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port,
           int(index), int(SPEED_TABLE[index]));
  aErr err = aStream_CreateSerial(port, index, 0, aSERIAL_DATA_BITS_8, 0, &stream_);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s\n", port,
             aError_GetErrorText(err));
    stream_ = nullptr;
    return err;
  }
  port_ = port;
  baud_ = SPEED_TABLE[index];
  bytesSent_ = 0;
  return aErrNone;
}

aErr NXPSerialClass::Attach(aStreamRef stream, uint32_t baud) {
  if (stream == nullptr) return aErrParam;
  Disconnect();
  stream_ = stream;
  port_.clear();
  baud_ = SPEED_TABLE[SpeedIndexFor(baud)];
  bytesSent_ = 0;
  return aErrNone;
}

void NXPSerialClass::Disconnect() {
  if (stream_ != nullptr) aStream_Destroy(&stream_);
  stream_ = nullptr;
}

// ------------------------------------------------------------------ helpers

uint32_t NXPSerialClass::AnswerTimeoutMs(size_t characters) const {
  const uint32_t baud = baud_ != 0 ? baud_ : 2400;
  // 10 bits per character, two characters of slack.
  const uint64_t ms = (uint64_t(characters) + 2) * 10000u / baud + 1;
  return uint32_t(ms > 600000 ? 600000 : ms) + kAnswerSlackMs;
}

uint32_t NXPSerialClass::EraseTimeoutMs(uint32_t sectors) {
  // About 100 ms per sector on the chip; four times that, plus slack.
  return 400u * (sectors > SECTOR_COUNT ? SECTOR_COUNT : sectors) + 1000u;
}

uint32_t NXPSerialClass::CopyTimeoutMs(uint32_t length) {
  return 500u + (length / 256u) * 50u;
}

namespace {

// The bytes as hexadecimal pairs and as text (CR and LF spelled out, other
// unprintable bytes as blanks); at most 512 bytes are shown.
void FormatBytes(const char* text, size_t n, std::string* hex, std::string* printable) {
  char piece[8];
  for (size_t i = 0; i < n && i < 512; ++i) {
    const uint8_t c = uint8_t(text[i]);
    snprintf(piece, sizeof(piece), "%s%02X", i ? " " : "", c);
    *hex += piece;
    if (c == '\r')
      *printable += "\\r";
    else if (c == '\n')
      *printable += "\\n";
    else
      *printable += IsPrintable(c) ? char(c) : ' ';
  }
}

}  // namespace

void NXPSerialClass::LogBytes(uint32_t mask, const char* prefix, const char* text, size_t n) {
  if (!Log::IsActive(mask)) return;
  std::string hex;
  std::string printable;
  FormatBytes(text, n, &hex, &printable);
  Log::log(mask, "%s[%s] [%s]\n", prefix, hex.c_str(), printable.c_str());
}

aErr NXPSerialClass::ReadByte(uint8_t* byte, uint32_t deadline) {
  if (stream_ == nullptr) return aErrConnection;
  for (;;) {
    aErr err = aStream_Read(stream_, byte, 1);
    if (err != aErrNotReady) return err;
    const int32_t left = int32_t(deadline - aTime_GetMSTicks());
    if (left <= 0) return aErrTimeout;
    err = aStream_WaitReadable(stream_, uint32_t(left));
    if (err != aErrNone && err != aErrTimeout) return err;
  }
}

size_t NXPSerialClass::DiscardInput() {
  if (stream_ == nullptr) return 0;
  size_t n = 0;
  uint8_t byte = 0;
  while (n < kMaxDiscard && aStream_Read(stream_, &byte, 1) == aErrNone) ++n;
  if (n > 0) Log::log(DEBUG_NXPSerial_E, "Discarded %zu stale bytes\n", n);
  return n;
}

// ------------------------------------------------------------------ line I/O

aErr NXPSerialClass::Send(const char* text, bool awaitEcho) {
  if (text == nullptr) return aErrParam;
  if (stream_ == nullptr) return aErrConnection;
  const size_t n = strlen(text);
  LogBytes(DEBUG_NXPSerial_SR, "Sending:", text, n);
  aErr err = aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), n);
  if (err == aErrNone) bytesSent_ += n;
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (!awaitEcho) return aErrNone;
  size_t echoed = 0;
  return GetEcho(text, n, &echoed);
}

aErr NXPSerialClass::SendCommand(const char* text, uint32_t waitMs) {
  if (text == nullptr) return aErrParam;
  if (stream_ == nullptr) return aErrConnection;
  DiscardInput();
  const size_t n = strlen(text);
  LogBytes(DEBUG_NXPSerial_SR, "Sending:", text, n);
  aErr err = aStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), n);
  if (err == aErrNone) bytesSent_ += n;
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n",
             int(waitMs));
    aTime_MSSleep(waitMs);
  }
  if (!echo_) return aErrNone;
  size_t echoed = 0;
  err = GetEcho(text, n, &echoed);
  if (echoed < n) {
    Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", int(echoed), int(n));
    return err != aErrNone ? err : aErrIO;
  }
  return aErrNone;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t count, size_t* echoed) {
  if (text == nullptr || echoed == nullptr) return aErrParam;
  *echoed = 0;
  const bool trace = Log::IsActive(DEBUG_NXPSerial_E);
  std::string got;
  if (trace) {
    std::string hex;
    std::string printable;
    FormatBytes(text, count, &hex, &printable);
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", hex.c_str(), int(count));
  }
  const uint32_t deadline = aTime_GetMSTicks() + AnswerTimeoutMs(count);
  size_t skipped = 0;
  aErr err = aErrNone;
  char piece[16];
  while (*echoed < count) {
    uint8_t byte = 0;
    err = ReadByte(&byte, deadline);
    if (err != aErrNone) {
      // The line is alive but the echo is damaged: that is no time-out.
      if (err == aErrTimeout && (*echoed > 0 || skipped > 0)) err = aErrIO;
      break;
    }
    if (byte == uint8_t(text[*echoed])) {
      ++*echoed;
      if (trace) snprintf(piece, sizeof(piece), " %02X", byte);
    } else {
      if (trace) snprintf(piece, sizeof(piece), " %02X!=%02X", byte, uint8_t(text[*echoed]));
      if (++skipped > kMaxSkipped) {
        err = aErrIO;
        if (trace) got += piece;
        break;
      }
    }
    if (trace) got += piece;
  }
  if (trace)
    Log::log(DEBUG_NXPSerial_E, "recv Echo:[%s] %zu of %zu, %zu skipped\n", got.c_str(),
             *echoed, count, skipped);
  return err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* length, uint32_t timeoutMs) {
  if (buffer == nullptr || length == nullptr || size < 3) return aErrParam;
  *length = 0;
  buffer[0] = '\0';
  if (stream_ == nullptr) return aErrConnection;
  const uint32_t deadline = aTime_GetMSTicks() + timeoutMs;
  size_t n = 0;
  size_t skipped = 0;
  int match = 0;
  aErr err = aErrNone;
  for (;;) {
    if (n >= size - 1) {
      err = aErrOverrun;
      break;
    }
    uint8_t byte = 0;
    err = ReadByte(&byte, deadline);
    if (err != aErrNone) break;
    if (n == 0 && (byte == '\r' || byte == '\n' || byte == 0)) {
      if (++skipped > kMaxSkipped) {
        err = aErrOverrun;
        break;
      }
      continue;
    }
    buffer[n++] = char(byte);
    if (byte == uint8_t("\r\n"[match])) {
      if (++match == 2) break;
    } else {
      match = (byte == '\r') ? 1 : 0;
    }
  }
  buffer[n] = '\0';
  *length = n;
  if (Log::IsActive(DEBUG_NXPSerial_SR)) {
    std::string hex;
    std::string printable;
    FormatBytes(buffer, n, &hex, &printable);
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n", hex.c_str(),
             printable.c_str(), int(n), match == 2 ? "term" : "non-term",
             aError_GetErrorText(err));
  }
  return err;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* length, const char* expected,
                              size_t expectedLength) {
  if (buffer == nullptr || length == nullptr || size < 2) return aErrParam;
  *length = 0;
  buffer[0] = '\0';
  if (stream_ == nullptr) return aErrConnection;
  size_t bound = expected != nullptr ? expectedLength : size - 1;
  if (bound > size - 1) bound = size - 1;
  const uint32_t waitMs = AnswerTimeoutMs(bound) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", int(bound),
           int(baud_), int(waitMs));
  const uint32_t deadline = aTime_GetMSTicks() + waitMs;
  size_t n = 0;
  size_t skipped = 0;
  int match = 0;
  aErr err = aErrNone;
  while (n < bound && match < 2) {
    uint8_t byte = 0;
    err = ReadByte(&byte, deadline);
    if (err != aErrNone) break;
    if (n == 0 && (byte == '\r' || byte == '\n' || byte == 0)) {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading %s\n",
               byte == '\r' ? "\\r" : byte == '\n' ? "\\n" : "0 byte");
      if (++skipped > kMaxSkipped) {
        err = aErrIO;
        break;
      }
      continue;
    }
    if (expected != nullptr && n < expectedLength && byte != uint8_t(expected[n]))
      Log::log(DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c "
               "[%02X]]\n",
               int(n), byte, IsPrintable(byte) ? byte : ' ',
               IsPrintable(uint8_t(expected[n])) ? expected[n] : ' ', uint8_t(expected[n]));
    buffer[n++] = char(byte);
    if (byte == uint8_t("\r\n"[match]))
      ++match;
    else
      match = (byte == '\r') ? 1 : 0;
  }
  buffer[n] = '\0';
  *length = n;
  LogBytes(DEBUG_NXPSerial_SR, "Response: ", buffer, n);
  if (err == aErrNone && expected != nullptr &&
      (n != expectedLength || memcmp(buffer, expected, n) != 0))
    err = aErrMode;
  return err;
}

size_t NXPSerialClass::GetErrorIndex(const char* line, size_t length) {
  if (line == nullptr) return 0;
  size_t end = length;
  if (end >= 2 && line[end - 2] == '\r' && line[end - 1] == '\n') end -= 2;
  size_t i = end;
  while (i > 0 && line[i - 1] >= '0' && line[i - 1] <= '9') --i;
  return i;
}

bool NXPSerialClass::ParseReturnCode(const char* line, size_t length, uint32_t* code) {
  if (line == nullptr || code == nullptr || length < 3 || length > 5) return false;
  if (line[length - 2] != '\r' || line[length - 1] != '\n') return false;
  if (GetErrorIndex(line, length) != 0) return false;
  uint32_t value = 0;
  for (size_t i = 0; i + 2 < length; ++i) value = value * 10 + uint32_t(line[i] - '0');
  *code = value;
  return true;
}

bool NXPSerialClass::ParseNumberLine(const char* line, size_t length, uint32_t* value) {
  char text[40];
  if (line == nullptr || value == nullptr || length < 3 || length >= sizeof(text)) return false;
  if (line[length - 2] != '\r' || line[length - 1] != '\n') return false;
  memcpy(text, line, length - 2);
  text[length - 2] = '\0';
  if (text[0] == ' ' || text[0] == '\t') return false;
  const char* end = nullptr;
  uint32_t v = 0;
  if (aNumber_ParseU32(text, 0, &v, &end) != aErrNone || *end != '\0') return false;
  *value = v;
  return true;
}

const char* NXPSerialClass::ErrorTextFor(uint32_t code) {
  return ERROR_TEXT[code < uint32_t(MAX_ERROR) ? code : uint32_t(MAX_ERROR)];
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  uint32_t value = 0;
  if (line == nullptr || aNumber_ParseU32(line, 0, &value) != aErrNone)
    return ERROR_TEXT[MAX_ERROR];
  return ErrorTextFor(value);
}

aErr NXPSerialClass::Command(const char* name, const char* command, uint32_t timeoutMs) {
  aErr err = SendCommand(command, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", name, command,
             aError_GetErrorText(err));
    return err;
  }
  char line[MAX_LINE];
  size_t n = 0;
  err = GetLine(line, sizeof(line), &n, timeoutMs);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sNo answer to [%s] within %u ms [%s]\n", name, command,
             unsigned(timeoutMs), aError_GetErrorText(err));
    return err;
  }
  uint32_t code = 0;
  if (!ParseReturnCode(line, n, &code)) {
    LogBytes(DEBUG_NXPSerial, "Error malformed return code ", line, n);
    return aErrIO;
  }
  if (code != 0) {
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", name, ErrorTextFor(code));
    return aErrParam;
  }
  return aErrNone;
}

// ------------------------------------------------------------------ commands

aErr NXPSerialClass::Sync() {
  if (stream_ == nullptr) return aErrConnection;
  char line[MAX_LINE];
  size_t n = 0;
  DiscardInput();
  syncEchoed_ = false;
  syncAnswered_ = false;
  aErr err = Send("?", false);
  if (err != aErrNone) return err;
  err = Response(line, sizeof(line), &n, "Synchronized\r\n", 14);
  if (err != aErrNone) {
    syncEchoed_ = n == 1 && line[0] == '?';
    syncAnswered_ = n > 0;
    if (err == aErrMode)
      Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", line);
    else
      Log::log(DEBUG_NXPSerial,
               "Did not receive correct response to opening sync command: [%s]. Response: "
               "[%s]\n",
               aError_GetErrorText(err), line);
    return err;
  }
  struct Step {
    const char* send;
    const char* expected;
  };
  char crystal[16];
  snprintf(crystal, sizeof(crystal), "%d\r\n", int(CRYSTAL_DEFAULT * 1000 + 0.5));
  const Step steps[] = {{"Synchronized\r\n", "Synchronized\r\n"},
                        {nullptr, "OK\r\n"},
                        {crystal, crystal},
                        {nullptr, "OK\r\n"}};
  for (const Step& step : steps) {
    if (step.send != nullptr && (err = Send(step.send, false)) != aErrNone) return err;
    err = Response(line, sizeof(line), &n, step.expected, strlen(step.expected));
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", line,
               step.expected);
      Log::log(DEBUG_NXPSerial, "Sync() failed [%s]\n", aError_GetErrorText(err));
      return err;
    }
  }
  echo_ = true;
  return aErrNone;
}

aErr NXPSerialClass::SetEcho(bool on) {
  char command[16];
  snprintf(command, sizeof(command), "A %d\r\n", on ? 1 : 0);
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  aErr err = Command("", command, AnswerTimeoutMs(16));
  if (err == aErrNone) echo_ = on;
  return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate) {
  const uint32_t index = SpeedIndexFor(rate);
  if (rate == 0 || SPEED_TABLE[index] != rate) {
    Log::log(DEBUG_NXPSerial, "SetBaudRate() %u is not a rate of the table\n", unsigned(rate));
    return aErrParam;
  }
  if (stream_ == nullptr) return aErrConnection;
  char command[32];
  snprintf(command, sizeof(command), "B %u %d\r\n", unsigned(rate), 1);
  aErr err = Command("", command, AnswerTimeoutMs(24));
  if (err != aErrNone) return err;
  // The chip runs at the new rate from here on. Reopen the port at it while
  // a second descriptor keeps the device open, so that the line is never
  // closed (no hang-up, no drop of the modem lines).
  const int keeper = open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  aStream_Destroy(&stream_);
  stream_ = nullptr;
  err = aStream_CreateSerial(port_.c_str(), index, 0, aSERIAL_DATA_BITS_8, 0, &stream_);
  if (keeper >= 0) close(keeper);
  if (err != aErrNone) {
    stream_ = nullptr;
    Log::log(DEBUG_NXPSerial, "SetBaudRate() could not reopen [%s] at %u ==> %s\n",
             port_.c_str(), unsigned(rate), aError_GetErrorText(err));
    return err;
  }
  baud_ = rate;
  Log::log(DEBUG_NXPSerial, "SetBaudRate() now at %u\n", unsigned(rate));
  return aErrNone;
}

aErr NXPSerialClass::Unlock() { return Command("", "U 23130\r\n", AnswerTimeoutMs(16)); }

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char command[32];
  snprintf(command, sizeof(command), "G %u T\r\n", unsigned(address));
  if (stream_ != nullptr) DiscardInput();
  aErr err = Send(command, false);
  if (err != aErrNone)
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command,
             aError_GetErrorText(err));
  return err;
}

aErr NXPSerialClass::AwaitStarted(uint32_t timeoutMs) {
  if (stream_ == nullptr) return aErrConnection;
  const uint32_t start = aTime_GetMSTicks();
  char line[MAX_LINE];
  size_t n = 0;
  for (int lines = 0; lines < 8; ++lines) {
    const uint32_t spent = aTime_GetMSTicks() - start;
    if (spent >= timeoutMs) break;
    if (GetLine(line, sizeof(line), &n, timeoutMs - spent) != aErrNone) break;
    uint32_t code = 0;
    if (line[0] == 'G' || !ParseReturnCode(line, n, &code)) continue;  // the echo, a stray line end
    if (code == 0) return aErrNone;
    Log::log(DEBUG_NXPSerial, "G: Error response ==>[%s]\n", ErrorTextFor(code));
    return aErrParam;
  }
  return aErrTimeout;
}

aErr NXPSerialClass::GetDeviceID() {
  memset(deviceId_, 0, sizeof(deviceId_));
  aErr err = Command("", "N\r\n", AnswerTimeoutMs(8));
  if (err != aErrNone) return err;
  uint32_t words[4] = {0, 0, 0, 0};
  for (uint32_t& word : words) {
    char line[33];
    size_t n = 0;
    err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(sizeof(line)));
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "GetDeviceID() incomplete identifier [%s]\n",
               aError_GetErrorText(err));
      return err;
    }
    if (!ParseNumberLine(line, n, &word)) {
      LogBytes(DEBUG_NXPSerial, "GetDeviceID() not a number: ", line, n);
      return aErrParse;
    }
  }
  memcpy(deviceId_, words, sizeof(deviceId_));
  Log::log(DEBUG_NXPSerial, "Device identifier: %08X %08X %08X %08X\n", unsigned(words[0]),
           unsigned(words[1]), unsigned(words[2]), unsigned(words[3]));
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(uint64_t* part) {
  if (part == nullptr) return aErrParam;
  *part = 0;
  aErr err = Command("", "J\r\n", AnswerTimeoutMs(8));
  if (err != aErrNone) return err;
  char line[33];
  size_t n = 0;
  uint32_t value = 0;
  err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(sizeof(line)));
  if (err != aErrNone) return err;
  if (!ParseNumberLine(line, n, &value)) return aErrParse;
  *part = value;
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", (long long)value);
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor) {
  if (major == nullptr || minor == nullptr) return aErrParam;
  *major = *minor = 0;
  aErr err = Command("", "K\r\n", AnswerTimeoutMs(8));
  if (err != aErrNone) return err;
  uint32_t values[2] = {0, 0};
  for (uint32_t& value : values) {
    char line[33];
    size_t n = 0;
    err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(sizeof(line)));
    if (err != aErrNone) return err;
    if (!ParseNumberLine(line, n, &value) || value > 255) return aErrParse;
  }
  *major = uint8_t(values[0]);
  *minor = uint8_t(values[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *major, *minor);
  return aErrNone;
}

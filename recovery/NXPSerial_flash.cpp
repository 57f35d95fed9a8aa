// The LPC boot ROM programmer's flash and RAM commands: prepare, erase,
// write and read with UU-encoded data lines and checksums, copy to flash;
// the sector table and the line codec.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/aTime.h"
#include "log/Log.h"
#include "recovery/NXPSerial.h"

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[NXPSerialClass::SECTOR_COUNT + 1] =
    {
        {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},
        {0x03000, 0x1000, 3},   {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},
        {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},   {0x08000, 0x1000, 8},
        {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
        {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},
        {0x0F000, 0x1000, 15},  {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},
        {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},  {0x30000, 0x8000, 20},
        {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
        {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},
        {0x68000, 0x8000, 27},  {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},
        {0xFFFFFFFF, 0, 30},
};

namespace {

// Characters of one full data line with its "\r\n".
constexpr uint32_t kLineChars = 1 + 60 + 2;

char Encode6(uint32_t v) { return v == 0 ? '`' : char(v + 32); }

bool IsUUChar(char c) { return c >= 0x20 && c <= 0x60; }

// A word-aligned address and a non-zero count of whole words that stays
// below 4 GiB.
bool ValidRange(uint32_t address, uint32_t count) {
  return count != 0 && count % 4 == 0 && address % 4 == 0 &&
         uint64_t(address) + count <= 0x100000000ull;
}

bool ValidCount(uint32_t address, uint32_t count, const void* data) {
  return data != nullptr && ValidRange(address, count);
}

}  // namespace

uint32_t NXPSerialClass::CopyLength(uint32_t n) {
  static const uint32_t kLengths[] = {256, 512, 1024, 4096};
  for (uint32_t length : kLengths)
    if (n <= length) return length;
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", int(n));
  return n;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  for (uint32_t i = 0; i < SECTOR_COUNT; ++i) {
    const Sector& s = NXP_LPC17XX_sectors[i];
    if (address >= s.start && address - s.start < s.size) return s.number;
  }
  return NXP_LPC17XX_sectors[SECTOR_COUNT].number;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, uint32_t n) {
  uint32_t total = 0;
  for (uint32_t i = 0; data != nullptr && i < n; ++i) total += data[i];
  return total;
}

uint32_t NXPSerialClass::uuencode(char* out, const uint8_t* data, uint32_t n) {
  if (out == nullptr) return 0;
  const uint32_t count = (data == nullptr) ? 0 : (n < MAX_BYTES_PER_LINE ? n : MAX_BYTES_PER_LINE);
  char* p = out;
  *p++ = Encode6(count);
  for (uint32_t i = 0; i < count; i += 3) {
    const uint32_t b0 = data[i];
    const uint32_t b1 = i + 1 < count ? data[i + 1] : 0;
    const uint32_t b2 = i + 2 < count ? data[i + 2] : 0;
    *p++ = Encode6(b0 >> 2);
    *p++ = Encode6(((b0 & 0x03) << 4) | (b1 >> 4));
    *p++ = Encode6(((b1 & 0x0F) << 2) | (b2 >> 6));
    *p++ = Encode6(b2 & 0x3F);
  }
  *p = '\0';
  return count;
}

uint32_t NXPSerialClass::uudecode(uint8_t* buffer, uint32_t size, const char* text) {
  if (buffer == nullptr || text == nullptr || !IsUUChar(text[0])) return 0;
  const uint32_t count = uint32_t(text[0] - 32) & 0x3F;
  if (count > size) return 0;
  // The encoded part ends at the zero, CR or LF; it must hold exactly the
  // groups the count needs, every character from the codec's range.
  size_t length = 0;
  while (text[length] != '\0' && text[length] != '\r' && text[length] != '\n') ++length;
  const size_t needed = 1 + 4 * size_t((count + 2) / 3);
  if (length != needed) {
    if (length < needed) Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
    return 0;
  }
  for (size_t i = 1; i < length; ++i)
    if (!IsUUChar(text[i])) return 0;
  uint32_t out = 0;
  for (size_t i = 1; out < count; i += 4) {
    const uint32_t c0 = uint32_t(text[i] - 32) & 0x3F, c1 = uint32_t(text[i + 1] - 32) & 0x3F;
    const uint32_t c2 = uint32_t(text[i + 2] - 32) & 0x3F, c3 = uint32_t(text[i + 3] - 32) & 0x3F;
    const uint8_t bytes[3] = {uint8_t((c0 << 2) | (c1 >> 4)), uint8_t((c1 << 4) | (c2 >> 2)),
                              uint8_t((c2 << 6) | c3)};
    for (uint32_t k = 0; k < 3 && out < count; ++k) buffer[out++] = bytes[k];
  }
  return count;
}

aErr NXPSerialClass::Prepare(uint32_t first, uint32_t last) {
  if (last < first || last >= SECTOR_COUNT) {
    Log::log(DEBUG_NXPSerial, "Prepare() bad sectors %u to %u\n", unsigned(first),
             unsigned(last));
    return aErrParam;
  }
  char command[32];
  snprintf(command, sizeof(command), "P %u %u\r\n", unsigned(first), unsigned(last));
  return Command("", command, AnswerTimeoutMs(24));
}

aErr NXPSerialClass::Erase(uint32_t first, uint32_t last) {
  if (last < first || last >= SECTOR_COUNT) {
    Log::log(DEBUG_NXPSerial, "Erase() bad sectors %u to %u\n", unsigned(first),
             unsigned(last));
    return aErrParam;
  }
  char command[32];
  snprintf(command, sizeof(command), "E %u %u\r\n", unsigned(first), unsigned(last));
  return Command("", command, AnswerTimeoutMs(24) + EraseTimeoutMs(last - first + 1));
}

aErr NXPSerialClass::CopyToFlash(uint32_t flash, uint32_t ram, uint32_t length) {
  const bool lengthOk = length == 256 || length == 512 || length == 1024 || length == 4096;
  if (flash % 256 != 0 || !lengthOk || uint64_t(flash) + length > FLASH_SIZE || ram % 4 != 0) {
    Log::log(DEBUG_NXPSerial, "CopyToFlash() refused: flash 0x%08X, RAM 0x%08X, length %u\n",
             unsigned(flash), unsigned(ram), unsigned(length));
    return aErrParam;
  }
  char command[48];
  snprintf(command, sizeof(command), "C %u %u %u\r\n", unsigned(flash), unsigned(ram),
           unsigned(length));
  return Command("", command, AnswerTimeoutMs(32) + CopyTimeoutMs(length));
}

aErr NXPSerialClass::Compare(uint32_t first, uint32_t second, uint32_t length, uint32_t* offset) {
  if (offset == nullptr || !ValidRange(first, length) || !ValidRange(second, length)) {
    Log::log(DEBUG_NXPSerial, "Compare() refused: %u bytes at 0x%08X and 0x%08X\n", unsigned(length),
             unsigned(first), unsigned(second));
    return aErrParam;
  }
  if (stream_ == nullptr) return aErrConnection;
  char command[48];
  snprintf(command, sizeof(command), "M %u %u %u\r\n", unsigned(first), unsigned(second),
           unsigned(length));
  aErr err = SendCommand(command, 0);
  if (err != aErrNone) return err;
  char line[MAX_LINE];
  size_t n = 0;
  // The ROM reads both ranges before it answers: about a byte a cycle.
  err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(32) + length / 1000u);
  uint32_t code = 0;
  if (err != aErrNone || !ParseReturnCode(line, n, &code)) {
    Log::log(DEBUG_NXPSerial, "Compare() no return code [%s]\n",
             aError_GetErrorText(err != aErrNone ? err : aErrParse));
    return err != aErrNone ? err : aErrIO;
  }
  if (code == 0) return aErrNone;
  if (code != COMPARE_ERROR_CODE) {
    Log::log(DEBUG_NXPSerial, "Compare() Error response ==>[%s]\n", ErrorTextFor(code));
    return aErrParam;
  }
  err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(16));
  if (err != aErrNone || !ParseNumberLine(line, n, offset) || *offset >= length) {
    Log::log(DEBUG_NXPSerial, "Compare() no valid offset after COMPARE_ERROR\n");
    return err != aErrNone ? err : aErrIO;
  }
  return aErrMedia;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data) {
  if (!ValidCount(address, count, data)) {
    Log::log(DEBUG_NXPSerial,
             "Write() refused: %u bytes to 0x%08X (a non-zero multiple of 4 to a word "
             "address)\n",
             unsigned(count), unsigned(address));
    return aErrParam;
  }
  if (stream_ == nullptr) return aErrConnection;
  char command[48];
  snprintf(command, sizeof(command), "W %u %u\r\n", unsigned(address), unsigned(count));
  aErr err = Command("Write() ", command, AnswerTimeoutMs(32));
  if (err != aErrNone) return err;

  uint32_t blockStart = 0;
  uint32_t position = 0;
  int retries = MAX_READ_RETRY;
  std::string block;
  block.reserve(LINES_PER_CHECKSUM * kLineChars + 16);
  while (position < count) {
    // One block: up to 20 lines and the checksum, sent in one write.
    block.clear();
    uint32_t lines = 0;
    char line[MAX_BYTES_PER_LINE / 3 * 4 + 2];
    while (position < count && lines < LINES_PER_CHECKSUM) {
      position += uuencode(line, data + position, count - position);
      block += line;
      block += "\r\n";
      ++lines;
    }
    const uint32_t checksum = sum(data + blockStart, position - blockStart);
    Log::log(DEBUG_NXPSerial_E, "Write() Checksum: %08X (%d)\n", unsigned(checksum),
             int(checksum));
    char text[16];
    snprintf(text, sizeof(text), "%u\r\n", unsigned(checksum));
    block += text;
    err = Send(block.c_str(), echo_);
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Write() data lines not sent [%s]\n", aError_GetErrorText(err));
      return err;
    }
    char answer[MAX_LINE];
    size_t n = 0;
    const uint32_t start = aTime_GetMSTicks();
    err = GetLine(answer, sizeof(answer), &n, CHECKSUM_TIMEOUT_MS + AnswerTimeoutMs(block.size()));
    Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n",
             int(aTime_GetMSTicks() - start));
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Write() no checksum answer [%s]\n", aError_GetErrorText(err));
      return err;
    }
    if (strcmp(answer, "OK\r\n") == 0) {
      blockStart = position;
      Log::log(DEBUG_NXPSerial_E, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
               int(position), int(count), 100.0 * position / count);
    } else if (strcmp(answer, "RESEND\r\n") == 0) {
      if (--retries < 1) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        return aErrTimeout;
      }
      position = blockStart;
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* buffer) {
  if (!ValidCount(address, count, buffer)) {
    Log::log(DEBUG_NXPSerial, "Read() refused: %u bytes from 0x%08X\n", unsigned(count),
             unsigned(address));
    return aErrParam;
  }
  if (stream_ == nullptr) return aErrConnection;
  char command[48];
  snprintf(command, sizeof(command), "R %u %u\r\n", unsigned(address), unsigned(count));
  aErr err = Command("Read() ", command, AnswerTimeoutMs(32));
  if (err != aErrNone) return err;

  uint32_t blockStart = 0;
  uint32_t position = 0;
  int retries = MAX_READ_RETRY;
  char line[MAX_LINE];
  size_t n = 0;
  while (position < count) {
    for (uint32_t lines = 0; position < count && lines < LINES_PER_CHECKSUM; ++lines) {
      err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(kLineChars));
      if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Read() data line missing [%s]\n", aError_GetErrorText(err));
        return err;
      }
      const uint32_t expected = count - position < MAX_BYTES_PER_LINE
                                    ? count - position
                                    : MAX_BYTES_PER_LINE;
      if (uudecode(buffer + position, expected, line) != expected) {
        LogBytes(DEBUG_NXPSerial, "Read() bad data line ", line, n);
        return aErrIO;
      }
      position += expected;
    }
    err = GetLine(line, sizeof(line), &n, AnswerTimeoutMs(kLineChars));
    uint32_t checksum = 0;
    if (err != aErrNone || !ParseNumberLine(line, n, &checksum)) {
      Log::log(DEBUG_NXPSerial, "Read() checksum line missing [%s]\n",
               aError_GetErrorText(err != aErrNone ? err : aErrParse));
      return err != aErrNone ? err : aErrIO;
    }
    if (checksum == sum(buffer + blockStart, position - blockStart)) {
      err = Send("OK\r\n", echo_);
      if (err != aErrNone) return err;
      blockStart = position;
      Log::log(DEBUG_NXPSerial_E, "valid receipt of %d of %d (%.0f%%) bytes\n", int(position),
               int(count), 100.0 * position / count);
    } else {
      if (--retries < 1) {
        Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
        return aErrTimeout;
      }
      err = Send("RESEND\r\n", echo_);
      if (err != aErrNone) return err;
      position = blockStart;
    }
  }
  return aErrNone;
}

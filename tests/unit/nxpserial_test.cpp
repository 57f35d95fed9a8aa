// The LPC programmer's pure pieces: rate choice, line codec, checksum,
// sectors, copy lengths, return codes and the argument checks that refuse
// before anything is sent.
#include "recovery/NXPSerial.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using N = NXPSerialClass;

TEST(NXPSerial, ConnectRateIsTheFirstTableRateAtLeastTheRequest) {
  const struct {
    uint32_t requested, chosen;
  } cases[] = {{10000, 19200}, {9600, 9600}, {1, 2400},        {0, 2400},
               {500000, 9600}, {230400, 230400}, {115200, 115200}, {115201, 230400}};
  for (const auto& c : cases)
    EXPECT_EQ(N::SPEED_TABLE[N::SpeedIndexFor(c.requested)], c.chosen) << c.requested;
}

TEST(NXPSerial, ConnectToAMissingPortFailsAndStaysDisconnected) {
  N chip;
  EXPECT_EQ(chip.Connect("/nonexistent/tty-lpc", 115200), aErrNotFound);
  EXPECT_FALSE(chip.IsConnected());
  EXPECT_EQ(chip.Connect(nullptr, 115200), aErrParam);
  EXPECT_EQ(chip.Connect(std::string(3000, 'a').c_str(), 115200), aErrParam);
}

TEST(NXPSerial, UUEncodeOfZeroBytesUsesBackquotes) {
  const uint8_t zeros[3] = {0, 0, 0};
  char line[64];
  EXPECT_EQ(N::uuencode(line, zeros, 3), 3u);
  EXPECT_STREQ(line, "#````");
}

TEST(NXPSerial, UUEncodeTakesAtMostOneFullLine) {
  std::vector<uint8_t> data(100, 0xA5);
  char line[64];
  EXPECT_EQ(N::uuencode(line, data.data(), 100), 45u);
  EXPECT_EQ(line[0], 'M');
  EXPECT_EQ(strlen(line), 61u);
}

TEST(NXPSerial, UUEncodeAndDecodeRoundTripEveryLineLength) {
  for (uint32_t n = 1; n <= 45; ++n) {
    std::vector<uint8_t> data(n);
    for (uint32_t i = 0; i < n; ++i) data[i] = uint8_t(i * 37 + n);
    char line[64];
    ASSERT_EQ(N::uuencode(line, data.data(), n), n);
    std::string text = std::string(line) + "\r\n";
    std::vector<uint8_t> back(n, 0);
    ASSERT_EQ(N::uudecode(back.data(), n, text.c_str()), n) << n;
    EXPECT_EQ(back, data) << n;
  }
}

TEST(NXPSerial, UUDecodeRefusesHostileLines) {
  const struct {
    const char* text;
    uint32_t size;
  } cases[] = {
      {"", 45},                           // nothing
      {"#```", 45},                       // shorter than its count needs
      {"#`````", 45},                     // longer than its count needs
      {"#``a`", 45},                      // character outside the codec
      {"#``\x7F`", 45},                   // likewise
      {"\x01````", 45},                   // count character outside the codec
      {"#````", 2},                       // more bytes than the buffer holds
      {"M````", 45},                      // full count, four characters only
      {"M", 45},                          // count alone
  };
  for (const auto& c : cases) {
    uint8_t buffer[64];
    memset(buffer, 0x5A, sizeof(buffer));
    EXPECT_EQ(N::uudecode(buffer, c.size, c.text), 0u) << c.text;
    EXPECT_EQ(buffer[0], 0x5A) << "nothing decoded for " << c.text;
  }
}

TEST(NXPSerial, UUDecodeAcceptsBlankForZero) {
  uint8_t buffer[3] = {1, 1, 1};
  EXPECT_EQ(N::uudecode(buffer, 3, "#    \r\n"), 3u);
  EXPECT_EQ(buffer[0] | buffer[1] | buffer[2], 0);
}

TEST(NXPSerial, SumIsThePlainByteSum) {
  const uint8_t bytes[] = {0xFF, 0xFF, 0xFF, 0xFF, 1};
  EXPECT_EQ(N::sum(bytes, 5), 1021u);
  EXPECT_EQ(N::sum(bytes, 0), 0u);
}

TEST(NXPSerial, CopyLengthIsTheFirstLengthHoldingTheBytes) {
  const struct {
    uint32_t n, length;
  } cases[] = {{0, 256},     {1, 256},     {256, 256},   {257, 512}, {300, 512},
               {1024, 1024}, {2048, 4096}, {4096, 4096}, {5000, 5000}};
  for (const auto& c : cases) EXPECT_EQ(N::CopyLength(c.n), c.length) << c.n;
}

TEST(NXPSerial, SectorFromAddressFollowsTheTable) {
  const struct {
    uint32_t address, sector;
  } cases[] = {{0, 0},        {0xFFF, 0},     {0x1000, 1},    {0xFFFF, 15},  {0x10000, 16},
               {0x17FFF, 16}, {0x18000, 17},  {0x7FFFF, 29},  {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (const auto& c : cases) EXPECT_EQ(N::SectorFromAddress(c.address), c.sector) << c.address;
}

TEST(NXPSerial, ErrorTextsOfAnswerLines) {
  const struct {
    const char* line;
    const char* text;
  } cases[] = {{"0\r\n", "CMD_SUCCESS"},
               {"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
               {"25\r\n", "Unknown error"},
               {"20", "Unknown error"},
               {"-1", "Unknown error"},
               {"x", "Unknown error"},
               {"0x0A", "COMPARE_ERROR"},
               {"9", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"}};
  for (const auto& c : cases) EXPECT_STREQ(N::GetErrorText(c.line), c.text) << c.line;
}

TEST(NXPSerial, ReturnCodeLinesAreWholeDecimalCodes) {
  const struct {
    const char* line;
    bool ok;
    uint32_t code;
  } cases[] = {
      {"0\r\n", true, 0},    {"10\r\n", true, 10},  // COMPARE_ERROR is no success
      {"19\r\n", true, 19},  {"0", false, 0},       {"\r\n", false, 0},
      {"P 0\r\n", false, 0}, {"0x\r\n", false, 0},  {"1234\r\n", false, 0},
      {"OK\r\n", false, 0},  {"0\n\r\n", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t code = 99;
    EXPECT_EQ(N::ParseReturnCode(c.line, strlen(c.line), &code), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(code, c.code) << c.line;
    }
  }
  EXPECT_EQ(N::GetErrorIndex("P 0 29\r\n0\r\n", 11), 8u);
}

TEST(NXPSerial, NumberLinesAreWholeNumbers) {
  const struct {
    const char* line;
    bool ok;
    uint32_t value;
  } cases[] = {{"123\r\n", true, 123},        {"0x1F\r\n", true, 31},
               {"017\r\n", true, 15},         {"4294967295\r\n", true, 0xFFFFFFFF},
               {"4294967296\r\n", false, 0},  {"12 3\r\n", false, 0},
               {"12\r", false, 0},            {" 12\r\n", false, 0},
               {"-1\r\n", false, 0},          {"\r\n", false, 0},
               {"1234567890123456789012345678901234567890\r\n", false, 0}};
  for (const auto& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(N::ParseNumberLine(c.line, strlen(c.line), &value), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.line;
    }
  }
}

TEST(NXPSerial, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  N chip;  // not connected: a refusal must come before any use of the line
  uint8_t data[8192] = {};
  EXPECT_EQ(chip.Write(N::WRITE_ADDRESS, 6, data), aErrParam);
  EXPECT_EQ(chip.Write(N::WRITE_ADDRESS, 0, data), aErrParam);
  EXPECT_EQ(chip.Write(N::WRITE_ADDRESS + 2, 8, data), aErrParam);
  EXPECT_EQ(chip.Write(N::WRITE_ADDRESS, 8, nullptr), aErrParam);
  EXPECT_EQ(chip.Write(0xFFFFFFFC, 8, data), aErrParam);
  EXPECT_EQ(chip.Read(0, 6, data), aErrParam);
  EXPECT_EQ(chip.Prepare(5, 3), aErrParam);
  EXPECT_EQ(chip.Erase(0, 30), aErrParam);
  EXPECT_EQ(chip.CopyToFlash(0, N::WRITE_ADDRESS, 2048), aErrParam);
  EXPECT_EQ(chip.CopyToFlash(0x80, N::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(chip.CopyToFlash(0x7F000, N::WRITE_ADDRESS, 4096 * 2), aErrParam);
  EXPECT_EQ(chip.CopyToFlash(0x7FF00, N::WRITE_ADDRESS, 4096), aErrParam);
  EXPECT_EQ(chip.CopyToFlash(0, N::WRITE_ADDRESS + 1, 256), aErrParam);
  EXPECT_EQ(chip.SetBaudRate(1000), aErrParam);
  // Good arguments reach the line, which is not there.
  EXPECT_EQ(chip.Write(N::WRITE_ADDRESS, 8, data), aErrConnection);
  EXPECT_EQ(chip.CopyToFlash(0x7F000, N::WRITE_ADDRESS, 4096), aErrConnection);
  EXPECT_EQ(chip.Sync(), aErrConnection);
  EXPECT_EQ(chip.GetDeviceID(), aErrConnection);
}

TEST(NXPSerial, AnswerDeadlinesGrowWithTheWork) {
  EXPECT_GT(N::EraseTimeoutMs(30), 30u * 100u);
  EXPECT_GT(N::EraseTimeoutMs(2), N::EraseTimeoutMs(1));
  EXPECT_GT(N::CopyTimeoutMs(4096), N::CopyTimeoutMs(256));
}

}  // namespace

namespace {

// A line from memory: its bytes, then nothing more.
aErr MemoryGet(uint8_t* byte, void* context) {
  std::string* text = static_cast<std::string*>(context);
  if (text->empty()) return aErrIO;
  *byte = uint8_t((*text)[0]);
  text->erase(0, 1);
  return aErrNone;
}

TEST(NXPSerial, AttachedStreamIsTheLineToTheChip) {
  NXPSerialClass chip;
  EXPECT_EQ(chip.Attach(nullptr, 115200), aErrParam);
  std::string text = "\r\n0\r\n";
  aStreamOps ops = {MemoryGet, nullptr, nullptr, nullptr, nullptr};
  ASSERT_EQ(chip.Attach(aStream_CreateWithOps(&ops, &text), 115200), aErrNone);
  EXPECT_TRUE(chip.IsConnected());
  EXPECT_EQ(chip.BaudRate(), 115200u);
  char line[16];
  size_t n = 0;
  ASSERT_EQ(chip.GetLine(line, sizeof line, &n, 1000), aErrNone);
  EXPECT_STREQ(line, "0\r\n");
  chip.Disconnect();
  EXPECT_FALSE(chip.IsConnected());
}

}  // namespace

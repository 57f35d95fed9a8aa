// The LPC programmer over a real pseudo-terminal against a small scripted
// chip peer: a thread on the master side that answers as the boot ROM would
// (echo, return codes, data lines and checksums), with the faults a test
// asks for.
#include "recovery/NXPSerial.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "log/Log.h"
#include "tests/threaded/pty_chip_peer.h"
#include "tests/unit/log_capture.h"

namespace {

struct Script {
  std::string syncAnswer = "Synchronized\r\n";
  std::string stray;                       // written before every answer
  std::map<char, std::string> codes;       // answer code by command letter
  std::map<char, int> delayMs;             // wait before answering
  std::deque<std::string> checksumAnswers;  // W checksums; then by the sum
  std::vector<std::string> idLines = {"1\r\n", "2\r\n", "3\r\n", "4\r\n"};
  int corruptReadChecksums = 0;            // R checksums sent wrong
  int dropEcho = 0;                        // command echoes lacking their first byte
};

// Decodes one data line as the chip does (test's own codec).
std::vector<uint8_t> Decode(const std::string& line) {
  std::vector<uint8_t> out;
  if (line.empty()) return out;
  const size_t n = size_t(line[0] - 32) & 0x3F;
  for (size_t i = 1; out.size() < n && i + 3 < line.size(); i += 4) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 6) | (uint32_t(line[i + k] - 32) & 0x3F);
    for (int k = 2; k >= 0 && out.size() < n; --k) out.push_back(uint8_t(v >> (8 * k)));
  }
  return out;
}

std::string Encode(const uint8_t* data, size_t n) {
  auto enc = [](uint32_t v) { return char(v == 0 ? '`' : v + 32); };
  std::string line(1, enc(uint32_t(n)));
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t(data[i]) << 16;
    if (i + 1 < n) v |= uint32_t(data[i + 1]) << 8;
    if (i + 2 < n) v |= data[i + 2];
    for (int k = 3; k >= 0; --k) line += enc((v >> (6 * k)) & 0x3F);
  }
  return line + "\r\n";
}

class ChipPeer {
 public:
  explicit ChipPeer(Script script) : script_(std::move(script)) {
    line_.Start([this](const char* data, size_t n) { Take(data, n); });
  }
  ~ChipPeer() { line_.Stop(); }
  const char* path() const { return line_.path(); }
  int slave() const { return line_.slave(); }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<uint8_t> Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  int Checksums() {
    std::lock_guard<std::mutex> lock(mutex_);
    return checksums_;
  }
  int DataLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataLines_;
  }
  // Bytes queued for the host and not yet read by it.
  int Queued() const {
    int n = 0;
    ioctl(line_.slave(), TIOCINQ, &n);
    return n;
  }

 private:
  void Out(const std::string& text) { line_.Write(text); }
  void Answer(const std::string& text) { Out(script_.stray + text); }

  void Take(const char* data, size_t n) {
    pending_.append(data, n);
    for (;;) {
      if (stage_ == 0 && !pending_.empty() && pending_[0] == '?') {
        pending_.erase(0, 1);
        stage_ = 1;
        Out(script_.syncAnswer);
        continue;
      }
      const size_t end = pending_.find('\n');
      if (end == std::string::npos) break;
      std::string line = pending_.substr(0, end + 1);
      pending_.erase(0, end + 1);
      Line(line);
    }
  }

  void Line(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    }
    if (echo_ && script_.dropEcho > 0 && stage_ == 3 && dataLeft_ == 0 && readLeft_ == 0) {
      --script_.dropEcho;
      Out(line.substr(1));
    } else if (echo_) {
      Out(line);
    }
    if (stage_ == 1 || stage_ == 2) {  // "Synchronized", then the crystal
      ++stage_;
      Answer("OK\r\n");
      return;
    }
    if (dataLeft_ > 0 || dataBlock_.size() > 0 || blockLines_ > 0) {
      DataLine(line);
      return;
    }
    if (readLeft_ > 0 || readAwaitingAnswer_) {
      ReadAnswer(line);
      return;
    }
    const char letter = line[0];
    auto delay = script_.delayMs.find(letter);
    if (delay != script_.delayMs.end())
      std::this_thread::sleep_for(std::chrono::milliseconds(delay->second));
    auto code = script_.codes.find(letter);
    const std::string answer = code != script_.codes.end() ? code->second : "0\r\n";
    Answer(answer);
    if (answer != "0\r\n") return;
    unsigned a = 0, b = 0;
    if (letter == 'A' && sscanf(line.c_str(), "A %u", &a) == 1) echo_ = a != 0;
    if (letter == 'W' && sscanf(line.c_str(), "W %u %u", &a, &b) == 2) dataLeft_ = b;
    if (letter == 'N')
      for (const std::string& id : script_.idLines) Out(id);
    if (letter == 'R' && sscanf(line.c_str(), "R %u %u", &a, &b) == 2) {
      readLeft_ = b;
      readPosition_ = 0;
      SendReadBlock();
    }
  }

  void DataLine(const std::string& line) {
    if (blockLines_ < 20 && dataLeft_ > dataBlock_.size()) {
      std::vector<uint8_t> bytes = Decode(line.substr(0, line.size() - 2));
      dataBlock_.insert(dataBlock_.end(), bytes.begin(), bytes.end());
      ++blockLines_;
      std::lock_guard<std::mutex> lock(mutex_);
      ++dataLines_;
      return;
    }
    uint32_t sum = 0;
    for (uint8_t b : dataBlock_) sum += b;
    std::string answer = std::to_string(sum) + "\r\n" == line ? "OK\r\n" : "RESEND\r\n";
    if (!script_.checksumAnswers.empty()) {
      answer = script_.checksumAnswers.front();
      script_.checksumAnswers.pop_front();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++checksums_;
      if (answer == "OK\r\n") {
        written_.insert(written_.end(), dataBlock_.begin(), dataBlock_.end());
        dataLeft_ -= dataBlock_.size();
      }
    }
    if (answer != "OK\r\n" && answer != "RESEND\r\n") dataLeft_ = 0;
    dataBlock_.clear();
    blockLines_ = 0;
    Answer(answer);
  }

  uint8_t Memory(size_t i) const { return uint8_t(i * 7 + 3); }

  void SendReadBlock() {
    std::vector<uint8_t> block;
    for (size_t i = readPosition_; i < readPosition_ + 900 && i < readLeft_; ++i)
      block.push_back(Memory(i));
    uint32_t sum = 0;
    std::string text;
    for (size_t i = 0; i < block.size(); i += 45) {
      text += Encode(block.data() + i, block.size() - i < 45 ? block.size() - i : 45);
      for (size_t k = i; k < i + 45 && k < block.size(); ++k) sum += block[k];
    }
    if (script_.corruptReadChecksums > 0) {
      --script_.corruptReadChecksums;
      ++sum;
    }
    readBlockSize_ = block.size();
    readAwaitingAnswer_ = true;
    Out(text + std::to_string(sum) + "\r\n");
  }

  void ReadAnswer(const std::string& line) {
    if (line == "OK\r\n") readPosition_ += readBlockSize_;
    readAwaitingAnswer_ = false;
    if (readPosition_ < readLeft_) {
      SendReadBlock();
    } else {
      readLeft_ = 0;
    }
  }

  Script script_;
  // Peer-thread state.
  std::string pending_;
  int stage_ = 0;
  bool echo_ = true;
  size_t dataLeft_ = 0;
  std::vector<uint8_t> dataBlock_;
  int blockLines_ = 0;
  size_t readLeft_ = 0, readPosition_ = 0, readBlockSize_ = 0;
  bool readAwaitingAnswer_ = false;
  // Shared with the test.
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<uint8_t> written_;
  int checksums_ = 0;
  int dataLines_ = 0;
  nxptest::PtyChipLine line_;  // last: its thread ends before the state above
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = uint8_t((i * 131) ^ (i >> 8));
  return data;
}

// A programmer connected and synchronised to peer.
void Open(NXPSerialClass& chip, ChipPeer& peer) {
  ASSERT_EQ(chip.Connect(peer.path(), 115200), aErrNone);
  ASSERT_EQ(chip.Sync(), aErrNone);
}

TEST(NXPSerialPty, SyncIdentifiesThroughStrayBytesBeforeAnswers) {
  Script script;
  script.stray = std::string("\r\n\0", 3);
  script.idLines = {"0x1A\r\n", "17\r\n", "4294967295\r\n", "0\r\n"};
  ChipPeer peer(script);
  NXPSerialClass chip;
  Open(chip, peer);
  ASSERT_EQ(chip.GetDeviceID(), aErrNone);
  const uint32_t expected[4] = {0x1A, 17, 0xFFFFFFFF, 0};
  EXPECT_EQ(memcmp(chip.DeviceID(), expected, sizeof(expected)), 0);
  EXPECT_EQ(chip.Unlock(), aErrNone);
  const std::vector<std::string> lines = peer.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Synchronized\r\n");
  EXPECT_EQ(lines[1], "14746\r\n");  // the crystal in kHz
}

TEST(NXPSerialPty, SyncRefusesWhatIsNotTheBootRom) {
  const struct {
    const char* answer;
    aErr expected;
  } cases[] = {{"Synchronised\r\n", aErrMode},
               {"UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUU", aErrMode},
               {"", aErrTimeout}};
  for (const auto& c : cases) {
    Script script;
    script.syncAnswer = c.answer;
    ChipPeer peer(script);
    NXPSerialClass chip;
    ASSERT_EQ(chip.Connect(peer.path(), 115200), aErrNone);
    EXPECT_EQ(chip.Sync(), c.expected) << c.answer;
  }
}

TEST(NXPSerialPty, DeviceIdNeedsCodeZeroAndFourWholeNumbers) {
  const struct {
    const char* code;
    std::vector<std::string> lines;
    aErr expected;
  } cases[] = {
      {"1\r\n", {"1\r\n", "2\r\n", "3\r\n", "4\r\n"}, aErrParam},
      {"0\r\n", {"1\r\n", "2x\r\n", "3\r\n", "4\r\n"}, aErrParse},
      {"0\r\n", {"1\r\n", std::string(40, '7') + "\r\n", "3\r\n", "4\r\n"}, aErrOverrun},
      {"0\r\n", {"1\r\n", "2\r\n"}, aErrTimeout},
  };
  for (const auto& c : cases) {
    Script script;
    script.codes['N'] = c.code;
    script.idLines = c.lines;
    ChipPeer peer(script);
    NXPSerialClass chip;
    Open(chip, peer);
    EXPECT_EQ(chip.GetDeviceID(), c.expected);
    const uint32_t zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(memcmp(chip.DeviceID(), zero, sizeof(zero)), 0);
  }
}

TEST(NXPSerialPty, DamagedEchoFailsTheCommandAndTheNextOneStartsClean) {
  Script script;
  script.dropEcho = 1;
  ChipPeer peer(script);
  NXPSerialClass chip;
  Open(chip, peer);
  EXPECT_EQ(chip.GetDeviceID(), aErrIO);
  const uint32_t zero[4] = {0, 0, 0, 0};
  EXPECT_EQ(memcmp(chip.DeviceID(), zero, sizeof(zero)), 0);
  ASSERT_EQ(chip.GetDeviceID(), aErrNone);  // nothing of the first answer is left
  EXPECT_EQ(chip.DeviceID()[3], 4u);
}

TEST(NXPSerialPty, WriteSendsLinesAndChecksumsWithEchoOnAndOff) {
  const struct {
    bool echo;
    size_t bytes;
    int lines, checksums;
  } cases[] = {{true, 900, 20, 1}, {true, 904, 21, 2}, {false, 900, 20, 1},
               {false, 4096, 92, 5}};
  for (const auto& c : cases) {
    ChipPeer peer(Script{});
    NXPSerialClass chip;
    Open(chip, peer);
    if (!c.echo) {
      ASSERT_EQ(chip.SetEcho(false), aErrNone);
    }
    const std::vector<uint8_t> data = Pattern(c.bytes);
    ASSERT_EQ(chip.Write(NXPSerialClass::WRITE_ADDRESS, uint32_t(c.bytes), data.data()),
              aErrNone);
    EXPECT_EQ(peer.DataLines(), c.lines);
    EXPECT_EQ(peer.Checksums(), c.checksums);
    EXPECT_EQ(peer.Written(), data);
  }
}

TEST(NXPSerialPty, WriteOfABadCountSendsNothing) {
  ChipPeer peer(Script{});
  NXPSerialClass chip;
  Open(chip, peer);
  const size_t before = peer.Lines().size();
  const uint8_t data[8] = {};
  EXPECT_EQ(chip.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
  EXPECT_EQ(chip.Unlock(), aErrNone);  // the next command is the next line
  EXPECT_EQ(peer.Lines().size(), before + 1);
}

TEST(NXPSerialPty, ChecksumAnswersDecideResendFailureOrSuccess) {
  const struct {
    std::deque<std::string> answers;
    aErr expected;
  } cases[] = {
      {{"RESEND\r\n", "OK\r\n", "RESEND\r\n"}, aErrNone},
      {{"RESEND\r\n", "RESEND\r\n", "RESEND\r\n"}, aErrTimeout},
      {{"OK\r\n", "RESEND\r\n", "RESEND\r\n", "RESEND\r\n"}, aErrTimeout},
      {{"OK\r\n", "FAIL\r\n"}, aErrIO},
  };
  for (const auto& c : cases) {
    Script script;
    script.checksumAnswers = c.answers;
    ChipPeer peer(script);
    testsupport::LogCapture log(DEBUG_NXPSerial);
    NXPSerialClass chip;
    Open(chip, peer);
    const std::vector<uint8_t> data = Pattern(2000);
    EXPECT_EQ(chip.Write(NXPSerialClass::WRITE_ADDRESS, 2000, data.data()), c.expected);
    if (c.expected == aErrNone) {
      EXPECT_EQ(peer.Written(), data);
    }
    if (c.expected == aErrTimeout) {
      EXPECT_TRUE(log.Contains("Write() exceeded retries\n"));
    }
    if (c.expected == aErrIO) {
      EXPECT_TRUE(log.Contains("Write() unexpected response [FAIL\r\n]\n"));
    }
  }
}

TEST(NXPSerialPty, LateEraseAnswerIsAwaitedPerSector) {
  Script script;
  script.delayMs['E'] = 2500;  // far beyond a fixed 100-read budget
  script.stray = "\r\n";
  ChipPeer peer(script);
  NXPSerialClass chip;
  Open(chip, peer);
  ASSERT_EQ(chip.Prepare(0, 29), aErrNone);
  EXPECT_EQ(chip.Erase(0, 29), aErrNone);
  EXPECT_EQ(chip.Prepare(0, 0), aErrNone);
}

TEST(NXPSerialPty, AnswerAfterItsDeadlineDoesNotShiftTheNextOne) {
  Script script;
  script.delayMs['U'] = 1500;
  script.codes['P'] = "7\r\n";
  ChipPeer peer(script);
  testsupport::LogCapture log(DEBUG_NXPSerial);
  NXPSerialClass chip;
  Open(chip, peer);
  ASSERT_EQ(chip.SetEcho(false), aErrNone);
  EXPECT_EQ(chip.Unlock(), aErrTimeout);
  // The unlock's "0" now waits in the input queue.
  for (int i = 0; i < 500 && peer.Queued() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(peer.Queued(), 3);
  EXPECT_EQ(chip.Prepare(0, 29), aErrParam);  // answered 7, not the stale 0
  EXPECT_TRUE(log.Contains("Error response ==>[INVALID_SECTOR]\n")) << log.Text();
}

TEST(NXPSerialPty, ReturnCodesAboveNineAreFailuresWithEchoOn) {
  Script script;
  script.codes['C'] = "10\r\n";
  script.codes['B'] = "17\r\n";
  ChipPeer peer(script);
  NXPSerialClass chip;
  Open(chip, peer);
  EXPECT_EQ(chip.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(chip.SetBaudRate(57600), aErrParam);
  EXPECT_EQ(chip.BaudRate(), 115200u);
}

TEST(NXPSerialPty, ReadChecksLinesAndAsksForResend) {
  Script script;
  script.corruptReadChecksums = 1;
  ChipPeer peer(script);
  NXPSerialClass chip;
  Open(chip, peer);
  std::vector<uint8_t> buffer(1000, 0);
  ASSERT_EQ(chip.Read(0, 1000, buffer.data()), aErrNone);
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], uint8_t(i * 7 + 3)) << i;
  size_t resends = 0;
  for (const std::string& line : peer.Lines()) resends += line == "RESEND\r\n";
  EXPECT_EQ(resends, 1u);
}

TEST(NXPSerialPty, SetBaudRateMovesTheLocalPortAfterTheChipAgrees) {
  ChipPeer peer(Script{});
  NXPSerialClass chip;
  Open(chip, peer);
  ASSERT_EQ(chip.SetBaudRate(57600), aErrNone);
  EXPECT_EQ(chip.BaudRate(), 57600u);
  struct termios t = {};
  ASSERT_EQ(tcgetattr(peer.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
  EXPECT_EQ(chip.Unlock(), aErrNone);  // still talking
  uint64_t part = 0;
  EXPECT_EQ(chip.GetPartNumber(&part), aErrTimeout);  // the peer sends no number
}

}  // namespace

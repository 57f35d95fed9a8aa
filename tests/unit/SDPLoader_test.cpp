// SDPLoader's commands, answer parsing and transfer logic against a scripted
// transport that answers in the HID shape.
#include <deque>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "tests/unit/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The 70-byte HID answer: report 3 with the security word, report 4 with
// `word` first.
Bytes HidAnswer(uint32_t word) {
  Bytes a = {kSDPReportSecurity, 0x12, 0x34, 0x34, 0x12, kSDPReportStatus};
  for (int i = 0; i < 4; ++i) a.push_back(uint8_t(word >> (8 * i)));
  a.resize(70, 0);
  return a;
}

struct Script {
  std::deque<Bytes> answers;  // one per readData call; empty when silent
  std::vector<Bytes> written;
  int reads = 0;
  int failWriteAt = -1;  // index of the write that fails
};

class FakeTransport : public SDPLoader_Interface {
 public:
  explicit FakeTransport(Script& s) : s_(s) {}
  bool init() override { return true; }
  ssize_t writeData(const Bytes& data) override {
    const bool fail = int(s_.written.size()) == s_.failWriteAt;
    s_.written.push_back(data);
    return fail ? -1 : ssize_t(data.size());
  }
  ssize_t readData(Bytes& data, int) override {
    ++s_.reads;
    if (s_.answers.empty()) return 0;
    Bytes a = s_.answers.front();
    s_.answers.pop_front();
    data.insert(data.end(), a.begin(), a.end());
    return ssize_t(a.size());
  }
  bool getDataFromBuffer(const Bytes& b, size_t offset, uint32_t& value) override {
    return SDP_WordFromHIDAnswer(b, offset, value);
  }
  bool getSecurityFromBuffer(const Bytes& b, uint32_t& value) override {
    return SDP_SecurityFromHIDAnswer(b, value);
  }
  size_t payloadStart() const override { return 6; }
  size_t payloadLimit() const override { return 64; }
  uint32_t transferMs(size_t) const override { return 0; }

 private:
  Script& s_;
};

class SDPLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(loader_.setLoader(std::make_unique<FakeTransport>(s_))); }
  // Answers for: status check, then `midTransfer` silent reads, then final.
  void Answer(std::initializer_list<Bytes> answers) {
    for (const Bytes& a : answers) s_.answers.push_back(a);
  }
  static Bytes Image(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + 1);
    return b;
  }
  Script s_;
  SDPLoader loader_;
};

TEST(SDPCommands, BuildersLayOutTheCommandBigEndian) {
  const Bytes writeFile = {1, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0x00,
                           0x00, 0x10, 0x00, 0, 0, 0, 0, 0};
  EXPECT_EQ(SDPLoader::_createWriteFilePacket(0x20000400, 4096), writeFile);
  struct {
    Bytes built, expected;
  } table[] = {
      {SDPLoader::_createStatusPacket(), {1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {SDPLoader::_createJumpPacket(0x20000400),
       {1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {SDPLoader::_create4ByteReadRegisterPacket(0x401F4410),
       {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}},
  };
  for (const auto& row : table) EXPECT_EQ(row.built, row.expected);
  Bytes shortPacket = {1, 2};
  SDPLoader::_fillCommand(shortPacket);
  EXPECT_EQ(shortPacket, Bytes({1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SDPAnswers, EachTransportTakesOnlyItsAnswerShape) {
  struct {
    bool hid;
    size_t size, offset;
    bool ok;
  } table[] = {
      {true, 69, 0, false}, {true, 70, 0, true},   {true, 71, 0, false},
      {true, 70, 15, true}, {true, 70, 16, false}, {false, 7, 0, false},
      {false, 8, 0, true},  {false, 67, 15, false}, {false, 68, 15, true},
      {false, 200, 16, false},
  };
  for (const auto& row : table) {
    Bytes b(row.size);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i);
    uint32_t v = 0;
    const size_t first = row.offset + (row.hid ? 6 : 4);
    const bool ok = row.hid ? HID_SDPLoader(0x1FC9, 0x0130).getDataFromBuffer(b, row.offset, v)
                            : Serial_SDPLoader("/nonexistent").getDataFromBuffer(b, row.offset, v);
    EXPECT_EQ(ok, row.ok) << row.size << " bytes, offset " << row.offset;
    if (ok) {
      const uint32_t expected = uint32_t(first) | uint32_t(first + 1) << 8 |
                                uint32_t(first + 2) << 16 | uint32_t(first + 3) << 24;
      EXPECT_EQ(v, expected);
    } else {
      EXPECT_EQ(v, 0u);
    }
  }
}

TEST_F(SDPLoaderTest, ImageGoesOutInFullReportsAndALastShortOne) {
  testsupport::LogCapture log(DEBUG_iMXSerial);
  const Bytes image = Image(2500);
  Answer({HidAnswer(0), {}, {}, {}, HidAnswer(kSDPWriteComplete)});
  EXPECT_EQ(loader_.writeLoader(image, 0x20000400), 0);
  ASSERT_EQ(s_.written.size(), 5u);  // status, write file, three data reports
  EXPECT_EQ(s_.written[1], SDPLoader::_createWriteFilePacket(0x20000400, 2500));
  Bytes sent;
  const size_t sizes[] = {1024, 1024, 452};
  for (int i = 0; i < 3; ++i) {
    const Bytes& r = s_.written[2 + i];
    ASSERT_EQ(r.size(), sizes[i] + 1);
    EXPECT_EQ(r[0], kSDPReportData);
    sent.insert(sent.end(), r.begin() + 1, r.end());
  }
  EXPECT_EQ(sent, image);
  EXPECT_TRUE(log.Contains("Write Res: 453 , Total: 2503, Loop: 3, tell: 2500, size: 453\n"));
  EXPECT_TRUE(log.Contains("Written Bytes: 2503\n"));
  EXPECT_TRUE(log.Contains("Loader Transfer Successful\n"));
}

TEST_F(SDPLoaderTest, WriteLoaderResults) {
  struct Row {
    const char* name;
    std::vector<Bytes> answers;
    int failWriteAt;
    size_t imageSize;
    int result;
    size_t writes;
    const char* logged;
  };
  const Bytes ok = HidAnswer(0);
  Bytes stranger = ok;
  stranger[1] = 0x13;  // no security mode
  const Row table[] = {
      {"silent ROM", {}, -1, 100, 2, 5, "Error: No ack from iMX device\n"},
      {"something else answers", std::vector<Bytes>(5, stranger), -1, 100, 6, 5,
       "Error: the device answered, but not as an iMX boot ROM\n"},
      {"answer on the third status try", {{}, {}, ok, {}, HidAnswer(kSDPWriteComplete)}, -1, 100, 0, 5,
       "Loader Transfer Successful\n"},
      {"answer mid-transfer", {ok, {}, {0xAA}}, -1, 3000, 3, 3,
       "Read Data: 1\nError while transfering loader. Aborting\n"},
      {"final word not complete", {ok, {}, HidAnswer(kSDPAck)}, -1, 100, 4, 3,
       "Loader Transfer Unsuccessful\n"},
      {"final answer cut", {ok, {}, Bytes(69, 0x88)}, -1, 100, 4, 3, "Loader Transfer Unsuccessful\n"},
      {"data report not taken", {ok}, 3, 3000, 5, 4, "Write Res: -1 , Total: 1025, Loop: 2, tell: 2048, size: 1025\n"},
      {"write-file command not taken", {ok}, 1, 100, 5, 2, "Write Res: -1\n"},
      {"empty image", {ok}, -1, 0, 5, 1, "Error: loader image of 0 bytes cannot be sent\n"},
  };
  for (const Row& row : table) {
    Script s;
    s.answers.assign(row.answers.begin(), row.answers.end());
    s.failWriteAt = row.failWriteAt;
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<FakeTransport>(s)));
    testsupport::LogCapture log(DEBUG_iMXSerial);
    EXPECT_EQ(loader.writeLoader(Image(row.imageSize), 0x20000400), row.result) << row.name;
    EXPECT_TRUE(log.Contains(row.logged)) << row.name << ":\n" << log.Text();
    EXPECT_EQ(s.written.size(), row.writes) << row.name;
  }
}

// An answer's deadline: the time of the bytes still on the way and of the
// answer at the transport's rate, plus the slack.
TEST(SDPAnswers, DeadlineFollowsTheBytesAndTheRate) {
  struct {
    bool hid;
    size_t pending, answer;
    uint32_t ms;
  } table[] = {
      {false, 16, 8, 3},     // 24 bytes of 10 bits at 115200 bit/s: 2.1 ms
      {false, 1024, 8, 90},  // 1032 bytes: 89.6 ms
      {true, 16, 8, 1},      // one 64-byte packet a millisecond
      {true, 1024, 8, 17},
  };
  for (const auto& row : table) {
    SDPLoader loader;
    if (row.hid)
      ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(0x1FC9, 0x0130)));
    else
      ASSERT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>("/nonexistent")));
    EXPECT_EQ(loader.answerTimeoutMs(row.pending, row.answer), row.ms + kSDPAnswerSlackMs);
  }
  EXPECT_EQ(SDPLoader().answerTimeoutMs(16, 8), 0u);
}

TEST_F(SDPLoaderTest, SilentROMGetsExactlyFiveStatusCommands) {
  testsupport::LogCapture log(DEBUG_iMXSerial);
  EXPECT_EQ(loader_.writeLoader(Image(10), 0x20000400), 2);
  ASSERT_EQ(s_.written.size(), 5u);
  for (const Bytes& w : s_.written) EXPECT_EQ(w, SDPLoader::_createStatusPacket());
  EXPECT_EQ(s_.reads, 5);
  EXPECT_TRUE(log.Contains("Error: No ack from iMX device\n"));
}

TEST_F(SDPLoaderTest, FingerprintIsLowFuseWordThenHighFuseWord) {
  Answer({HidAnswer(0), HidAnswer(0x89ABCDEF), HidAnswer(0x01234567)});
  uint64_t fingerprint = 0xFFFF;
  EXPECT_EQ(loader_.getFingerprint(fingerprint), aErrNone);
  EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
  ASSERT_EQ(s_.written.size(), 3u);
  EXPECT_EQ(s_.written[1], SDPLoader::_create4ByteReadRegisterPacket(kSDPFingerprintLowAddress));
  EXPECT_EQ(s_.written[2], SDPLoader::_create4ByteReadRegisterPacket(kSDPFingerprintHighAddress));
}

TEST_F(SDPLoaderTest, FingerprintFailuresLeaveTheValueAlone) {
  uint64_t fingerprint = 42;
  EXPECT_EQ(loader_.getFingerprint(fingerprint), aErrParam);  // silent
  Answer({HidAnswer(0), HidAnswer(1), Bytes(8, 0)});           // high word unreadable
  EXPECT_EQ(loader_.getFingerprint(fingerprint), aErrMode);
  EXPECT_EQ(fingerprint, 42u);
}

TEST_F(SDPLoaderTest, StartSendsTheJumpAndReadsOnce) {
  loader_.startLoader(0x20002000);
  ASSERT_EQ(s_.written.size(), 1u);
  EXPECT_EQ(s_.written[0], SDPLoader::_createJumpPacket(0x20002000));
  EXPECT_EQ(s_.reads, 1);
}

TEST(SDPLoaderSetup, OneTransportOnly) {
  SDPLoader loader;
  EXPECT_EQ(loader.init(), aErrMemory);
  uint64_t f = 0;
  EXPECT_EQ(loader.getFingerprint(f), aErrParam);
  EXPECT_EQ(loader.writeLoader(Bytes(4), 0), 2);
  loader.startLoader(0);  // nothing to talk to: no effect
  EXPECT_FALSE(loader.setLoader(nullptr));
  Script s;
  EXPECT_TRUE(loader.setLoader(std::make_unique<FakeTransport>(s)));
  EXPECT_FALSE(loader.setLoader(std::make_unique<FakeTransport>(s)));
  EXPECT_EQ(loader.init(), aErrNone);
  SDPLoader serial;
  ASSERT_TRUE(serial.setLoader(std::make_unique<Serial_SDPLoader>("/nonexistent/tty", 0)));
  EXPECT_EQ(serial.init(), aErrIO);
}

}  // namespace

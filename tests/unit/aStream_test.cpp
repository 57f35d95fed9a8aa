// Generic stream operations over a scripted backing, and file streams.
#include "common/aStream.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

// A backing whose get hands out `available` bytes of `data`, then answers
// `stall` (aErrNotReady by default) or aErrEOF once `data` is exhausted and
// `finite` is set.
struct Script {
  std::deque<uint8_t> data;
  size_t available = 0;
  bool finite = false;
  aErr stall = aErrNotReady;
  std::vector<uint8_t> written;
  std::vector<size_t> writeCalls;  // length of each write call
  int putCalls = 0;
  int deleted = 0;
  int waits = 0;

  void Add(const std::string& bytes, bool ready = true) {
    for (char c : bytes) data.push_back(static_cast<uint8_t>(c));
    if (ready) available += bytes.size();
  }
};

aErr ScriptGet(uint8_t* byte, void* context) {
  Script* s = static_cast<Script*>(context);
  if (s->available == 0 || s->data.empty())
    return (s->finite && s->data.empty()) ? aErrEOF : s->stall;
  *byte = s->data.front();
  s->data.pop_front();
  --s->available;
  return aErrNone;
}

aErr ScriptPut(uint8_t byte, void* context) {
  Script* s = static_cast<Script*>(context);
  s->written.push_back(byte);
  ++s->putCalls;
  return aErrNone;
}

aErr ScriptWrite(const uint8_t* data, size_t length, void* context) {
  Script* s = static_cast<Script*>(context);
  s->written.insert(s->written.end(), data, data + length);
  s->writeCalls.push_back(length);
  return aErrNone;
}

aErr ScriptDelete(void* context) {
  ++static_cast<Script*>(context)->deleted;
  return aErrNone;
}

aErr ScriptWait(uint32_t, void* context) {
  Script* s = static_cast<Script*>(context);
  ++s->waits;
  return s->available > 0 ? aErrNone : aErrTimeout;
}

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const aStreamOps ops = {ScriptGet, ScriptPut, ScriptWrite, ScriptDelete,
                            ScriptWait};
    stream_ = aStream_CreateWithOps(&ops, &script_);
    ASSERT_NE(stream_, nullptr);
  }
  void TearDown() override {
    if (stream_ != nullptr) {
      EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
  }
  std::string Read(size_t n, aErr expected = aErrNone) {
    std::vector<uint8_t> buf(n);
    EXPECT_EQ(aStream_Read(stream_, buf.data(), n), expected);
    return std::string(buf.begin(), buf.end());
  }

  Script script_;
  aStreamRef stream_ = nullptr;
};

TEST_F(StreamTest, PartialReadGivesNothingAndKeepsTheBytes) {
  script_.Add("ab");
  uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(aStream_Read(stream_, buf, 4), aErrNotReady);
  EXPECT_EQ(buf[0], 0xEE);  // nothing delivered
  EXPECT_EQ(aStream_PushbackCount(stream_), 2u);
  script_.Add("cd");
  EXPECT_EQ(Read(4), "abcd");
  EXPECT_EQ(aStream_PushbackCount(stream_), 0u);
}

TEST_F(StreamTest, PushbackGrowsBeyond511BytesKeepingOrder) {
  std::string bytes;
  for (int i = 0; i < 600; ++i) bytes.push_back(static_cast<char>(i * 7));
  script_.Add(bytes);
  std::vector<uint8_t> buf(700);
  EXPECT_EQ(aStream_Read(stream_, buf.data(), 700), aErrNotReady);
  EXPECT_EQ(aStream_PushbackCount(stream_), 600u);
  EXPECT_EQ(aStream_PushbackCapacity(stream_), 1024u);
  EXPECT_EQ(Read(600), bytes);
}

TEST_F(StreamTest, OtherErrorsDropTheBytesAndEofDeliversThem) {
  script_.Add("xy");
  script_.stall = aErrIO;
  EXPECT_EQ(Read(3, aErrIO).substr(0, 0), "");
  EXPECT_EQ(aStream_PushbackCount(stream_), 0u);

  script_.Add("end");
  script_.finite = true;
  std::vector<uint8_t> buf(5, 0);
  EXPECT_EQ(aStream_Read(stream_, buf.data(), 5), aErrEOF);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "end");
}

TEST_F(StreamTest, InvalidArgumentsAndMissingOperations) {
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
  EXPECT_EQ(aStream_Read(stream_, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Write(stream_, nullptr, 1), aErrParam);
  aStreamRef null = nullptr;
  EXPECT_EQ(aStream_Destroy(&null), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);

  aStreamRef bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(aStream_Read(bare, &b, 1), aErrMode);
  EXPECT_EQ(aStream_Write(bare, &b, 1), aErrMode);
  EXPECT_EQ(aStream_WaitReadable(bare, 10), aErrMode);
  EXPECT_EQ(aStream_Flush(bare, stream_), aErrMode);
  EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
  EXPECT_EQ(bare, nullptr);
}

TEST_F(StreamTest, DestroyReleasesTheContextOnce) {
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(script_.deleted, 1);
}

TEST_F(StreamTest, WriteUsesOneWriteCallOrPutPerByte) {
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(stream_, data, 3), aErrNone);
  EXPECT_EQ(script_.writeCalls, std::vector<size_t>{3});
  EXPECT_EQ(aStream_Write(stream_, data, 1), aErrNone);
  EXPECT_EQ(script_.putCalls, 1);

  Script putOnly;
  aStreamRef s = aStream_Create(nullptr, ScriptPut, nullptr, nullptr, &putOnly);
  EXPECT_EQ(aStream_Write(s, data, 3), aErrNone);
  EXPECT_EQ(putOnly.putCalls, 3);
  aStream_Destroy(&s);
}

TEST_F(StreamTest, WaitReadableUsesPushbackThenTheBacking) {
  EXPECT_EQ(aStream_WaitReadable(stream_, 5), aErrTimeout);
  EXPECT_EQ(script_.waits, 1);
  script_.Add("a");
  uint8_t two[2];
  EXPECT_EQ(aStream_Read(stream_, two, 2), aErrNotReady);  // 'a' pushed back
  EXPECT_EQ(aStream_WaitReadable(stream_, 5), aErrNone);
  EXPECT_EQ(script_.waits, 1);  // answered from the ring

  // Without a wait operation the stream's own get paces the reader.
  Script other;
  aStreamRef s = aStream_Create(ScriptGet, nullptr, nullptr, nullptr, &other);
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  aStream_Destroy(&s);
}

TEST_F(StreamTest, RecordEndsAtTerminatorOrMaximum) {
  script_.Add("hello\r\nworld\r\n");
  uint8_t buf[16];
  size_t len = 0;
  const uint8_t crlf[] = {'\r', '\n'};
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "hello");
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, 3, crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "wor");
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "ld");
}

TEST_F(StreamTest, BrokenTerminatorMatchKeepsItsBytesAsData) {
  script_.Add("a\rb\r\r\nX");
  uint8_t buf[16];
  size_t len = 0;
  const uint8_t crlf[] = {'\r', '\n'};
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "a\rb\r");
  EXPECT_EQ(Read(1), "X");

  // An overlapping terminator: "aab" ends at the first full match.
  script_.Add("xaaab-");
  const uint8_t aab[] = {'a', 'a', 'b'};
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), aab, 3), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "xa");
  EXPECT_EQ(Read(1), "-");
}

TEST_F(StreamTest, MaximumReachedInsideAFailedMatchKeepsTheRest) {
  script_.Add("ab\rcd");
  uint8_t buf[8];
  size_t len = 0;
  const uint8_t crlf[] = {'\r', '\n'};
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, 3, crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "ab\r");
  EXPECT_EQ(Read(2), "cd");
}

TEST_F(StreamTest, RecordNotReadyPushesEverythingBack) {
  script_.Add("par\r");
  uint8_t buf[16];
  size_t len = 0;
  const uint8_t crlf[] = {'\r', '\n'};
  EXPECT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), crlf, 2), aErrNotReady);
  EXPECT_EQ(aStream_PushbackCount(stream_), 4u);
  script_.Add("\ntail");
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), crlf, 2), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "par");
}

TEST_F(StreamTest, RecordAtEndOfSource) {
  script_.Add("last");
  script_.finite = true;
  uint8_t buf[16];
  size_t len = 99;
  const uint8_t nl[] = {'\n'};
  ASSERT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), nl, 1), aErrNone);
  EXPECT_EQ(std::string(buf, buf + len), "last");
  EXPECT_EQ(aStream_ReadRecord(stream_, buf, &len, sizeof(buf), nl, 1), aErrEOF);
  EXPECT_EQ(len, 0u);
}

TEST_F(StreamTest, CStringsAndCStringRecords) {
  EXPECT_EQ(aStream_WriteCString(stream_, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(stream_, "OK", "\r\n"), aErrNone);
  const std::string expected("hi\0OK\r\n\0", 8);
  EXPECT_EQ(std::string(script_.written.begin(), script_.written.end()), expected);

  script_.Add(std::string("name\0rest", 9));
  char text[16];
  ASSERT_EQ(aStream_ReadCString(stream_, text, sizeof(text)), aErrNone);
  EXPECT_STREQ(text, "name");
  script_.Add("Synchronized\r\n");
  ASSERT_EQ(aStream_ReadCStringRecord(stream_, text, sizeof(text), "\r\n"), aErrNone);
  EXPECT_STREQ(text, "restSynchronize");  // size - 1 characters at most
}

TEST_F(StreamTest, FlushCopiesUntilEnd) {
  testsupport::TempDir dir;
  const std::string in = dir.join("in.bin"), out = dir.join("out.bin");
  std::string content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<char>(i % 251));
  testsupport::WriteFile(in, content);

  aStreamRef source = nullptr, destination = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(in.c_str(), &source), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(out.c_str(), &destination), aErrNone);
  EXPECT_EQ(aStream_Flush(source, destination), aErrNone);
  EXPECT_EQ(aStream_Write(destination, reinterpret_cast<const uint8_t*>("++"), 2), aErrNone);
  EXPECT_EQ(aStream_Destroy(&source), aErrNone);
  EXPECT_EQ(aStream_Destroy(&destination), aErrNone);
  EXPECT_EQ(testsupport::ReadFile(out), content + "++");

  // The flush stops at another error and reports it.
  script_.Add("zz");
  aStreamRef sink = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(out.c_str(), &sink), aErrNone);
  EXPECT_EQ(aStream_Flush(stream_, sink), aErrNotReady);
  aStream_Destroy(&sink);
  EXPECT_EQ(testsupport::ReadFile(out), "zz");
}

TEST(FileStream, ModesAndFailures) {
  testsupport::TempDir dir;
  aStreamRef s = nullptr;
  EXPECT_EQ(aStream_CreateFileInput(dir.join("missing").c_str(), &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput("x", nullptr), aErrResource);

  testsupport::WriteFile(dir.join("a"), "q");
  ASSERT_EQ(aStream_CreateFileInput(dir.join("a").c_str(), &s), aErrNone);
  uint8_t b = 0;
  EXPECT_EQ(aStream_Write(s, &b, 1), aErrMode);  // input has no put
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrNone);
  EXPECT_EQ(b, 'q');
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrEOF);
  aStream_Destroy(&s);

  ASSERT_EQ(aStream_CreateFileOutput(dir.join("b").c_str(), &s), aErrNone);
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrMode);  // output has no get
  aStream_Destroy(&s);
}

}  // namespace

// Serial streams on pseudo-terminals: the test holds the master side, the
// stream opens the slave by its path.
#include "common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
      path_ = ptsname(master_);
  }
  ~Pty() { CloseMaster(); }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  int master() const { return master_; }
  const char* path() const { return path_.c_str(); }
  bool ok() const { return master_ >= 0 && !path_.empty(); }

  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  // Reads what arrives within about a second, up to n bytes.
  std::string Receive(size_t n) {
    std::string got;
    for (int i = 0; i < 100 && got.size() < n; ++i) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      char buf[256];
      ssize_t r = read(master_, buf, sizeof(buf));
      if (r > 0) got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }
  struct termios Settings() const {
    struct termios t = {};
    tcgetattr(master_, &t);
    return t;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Reads n bytes, waiting for them through the stream's wait operation.
std::string ReadBytes(aStreamRef s, size_t n) {
  std::string got;
  for (int i = 0; i < 50 && got.size() < n; ++i) {
    uint8_t b = 0;
    aErr err = aStream_Read(s, &b, 1);
    if (err == aErrNone) {
      got.push_back(static_cast<char>(b));
      --i;
      continue;
    }
    EXPECT_EQ(err, aErrNotReady);
    aErr w = aStream_WaitReadable(s, 100);
    EXPECT_TRUE(w == aErrNone || w == aErrTimeout) << w;
  }
  return got;
}

TEST(SerialStream, ArgumentChecksOpenNothing) {
  aStreamRef s = reinterpret_cast<aStreamRef>(1);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 2, 0, &s), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 2, &s), aErrParam);
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, 0, 0, 0, &s), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, nullptr), aErrParam);
  s = nullptr;
  EXPECT_EQ(aStream_CreateSerial("/nonexistent/ttyKX0", 6, 0, 0, 0, &s), aErrNotFound);
  EXPECT_EQ(s, nullptr);
  // Not a terminal: its settings cannot be read.
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, &s), aErrIO);
  EXPECT_EQ(s, nullptr);
}

TEST(SerialStream, RawEightBitsNoParity) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path(), aSERIAL_SPEED_115200, 0,
                                 aSERIAL_DATA_BITS_8, 0, &s),
            aErrNone);
  struct termios t = pty.Settings();
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, SevenBitsEvenParityTwoStopBits) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path(), aSERIAL_SPEED_2400, 1,
                                 aSERIAL_DATA_BITS_7, 1, &s),
            aErrNone);
  // A pseudo-terminal always reports CS8 without parity, whatever was set;
  // the stop bits and the parity input flag pass through.
  struct termios t = pty.Settings();
  EXPECT_EQ(t.c_cflag & PARODD, 0u);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, EverySpeedIndexMapsToItsRate) {
  const speed_t expected[] = {B2400,  B4800,  B9600,   B19200,
                              B38400, B57600, B115200, B230400};
  Pty pty;
  ASSERT_TRUE(pty.ok());
  for (uint32_t i = 0; i < 8; ++i) {
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path(), i, 0, 0, 0, &s), aErrNone);
    struct termios t = pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), expected[i]) << "index " << i;
    aStream_Destroy(&s);
  }
}

TEST(SerialStream, DestroyRestoresTheEarlierSettings) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const struct termios before = pty.Settings();
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path(), 7, 0, 0, 0, &s), aErrNone);
  EXPECT_NE(pty.Settings().c_lflag, before.c_lflag);
  ASSERT_EQ(aStream_Destroy(&s), aErrNone);
  const struct termios after = pty.Settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(SerialStream, BytesBothWaysAndPendingInputDiscarded) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  // Keep the slave open so that bytes sent before the stream exists are
  // queued, then check that opening the stream discards them.
  int holder = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  struct termios raw = pty.Settings();
  cfmakeraw(&raw);
  tcsetattr(pty.master(), TCSANOW, &raw);
  pty.Send("stale");
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path(), 6, 0, 0, 0, &s), aErrNone);
  close(holder);

  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
  EXPECT_EQ(aStream_WaitReadable(s, 30), aErrTimeout);

  pty.Send("hello");
  EXPECT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  EXPECT_EQ(ReadBytes(s, 5), "hello");

  const uint8_t out[] = {0xAD, 0x00, 0xAF, 0x01, 0x01};
  EXPECT_EQ(aStream_Write(s, out, sizeof(out)), aErrNone);
  EXPECT_EQ(aStream_Write(s, out, 1), aErrNone);  // put
  EXPECT_EQ(pty.Receive(6), std::string("\xAD\x00\xAF\x01\x01\xAD", 6));
  aStream_Destroy(&s);
}

TEST(SerialStream, ReadsABurstWithOneSystemCall) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path(), 6, 0, 0, 0, &s), aErrNone);
  std::string burst;
  for (int i = 0; i < 100; ++i) burst.push_back(static_cast<char>('A' + i % 26));
  pty.Send(burst);
  ASSERT_EQ(aStream_WaitReadable(s, 1000), aErrNone);
  usleep(20000);  // let the whole burst reach the line discipline
  uint8_t first = 0;
  ASSERT_EQ(aStream_Read(s, &first, 1), aErrNone);
  // A second descriptor on the port now finds the kernel queue empty: the
  // stream took the burst into its own buffer with that one read.
  int probe = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  char buf[128];
  EXPECT_LT(read(probe, buf, sizeof(buf)), 1);
  close(probe);
  EXPECT_EQ(std::string(1, static_cast<char>(first)) + ReadBytes(s, 99), burst);
  aStream_Destroy(&s);
}

TEST(SerialStream, HangUpIsAnErrorNotAnEndlessReadyWait) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path(), 6, 0, 0, 0, &s), aErrNone);
  pty.CloseMaster();
  aErr w = aStream_WaitReadable(s, 1000);
  if (w == aErrNone) {
    // The hang-up shows as readable: the read must then fail, not idle.
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
  } else {
    EXPECT_EQ(w, aErrIO);
  }
  aStream_Destroy(&s);
}

}  // namespace

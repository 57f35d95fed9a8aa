// The serial SDP transport and SDPLoader over a real pseudo-terminal, with a
// scripted boot ROM on the master side.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "sdp_pty_peer.h"

using sdptest::PeerMode;
using sdptest::PtyBootRom;

namespace {

std::vector<uint8_t> Image(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + 5);
  return b;
}

// A loader on the peer's line; the path text given is gone before init.
std::unique_ptr<SDPLoader> Open(PtyBootRom& rom) {
  auto loader = std::make_unique<SDPLoader>();
  {
    std::string path = rom.slavePath();
    EXPECT_TRUE(loader->setLoader(std::make_unique<Serial_SDPLoader>(path, 0)));
    path.assign(path.size(), 'x');
  }
  EXPECT_EQ(loader->init(), aErrNone);
  return loader;
}

TEST(SerialSDP, LoadsStartsAndReadsTheFuseWords) {
  PtyBootRom rom(PeerMode::kAnswer);
  ASSERT_FALSE(rom.slavePath().empty());
  auto loader = Open(rom);
  const std::vector<uint8_t> image = Image(2500);
  EXPECT_EQ(loader->writeLoader(image, 0x20000400), kSDPWriteOk);
  EXPECT_EQ(rom.image(), image);
  EXPECT_EQ(rom.writeAddress(), 0x20000400u);

  uint64_t fingerprint = 0;
  EXPECT_EQ(loader->getFingerprint(fingerprint), aErrNone);
  EXPECT_EQ(fingerprint, uint64_t(sdptest::kFuseHigh) << 32 | sdptest::kFuseLow);

  loader->startLoader(0x20002000);
  EXPECT_TRUE(rom.WaitFor([&] { return rom.jumpAddress() == 0x20002000u; }));
}

// Every answer comes 300 ms after its command: each is awaited, none is
// taken for the answer of another command.
TEST(SerialSDP, LateAnswersAreAwaited) {
  PtyBootRom rom(PeerMode::kLate);
  auto loader = Open(rom);
  const std::vector<uint8_t> image = Image(2500);
  EXPECT_EQ(loader->writeLoader(image, 0x20000400), kSDPWriteOk);
  EXPECT_EQ(rom.statusCommands(), 1);
  EXPECT_EQ(rom.image(), image);
  uint64_t fingerprint = 0;
  EXPECT_EQ(loader->getFingerprint(fingerprint), aErrNone);
  EXPECT_EQ(fingerprint, uint64_t(sdptest::kFuseHigh) << 32 | sdptest::kFuseLow);
}

TEST(SerialSDP, SilentROMEndsAfterExactlyFiveStatusCommands) {
  PtyBootRom rom(PeerMode::kSilent);
  auto loader = Open(rom);
  EXPECT_EQ(loader->writeLoader(Image(100), 0x20000400), kSDPWriteNoAnswer);
  EXPECT_TRUE(rom.WaitFor([&] { return rom.statusCommands() >= 5; }));
  EXPECT_EQ(rom.statusCommands(), 5);
  EXPECT_TRUE(rom.image().empty());
}

// The ROM speaks once its first data byte arrives; a long image keeps the
// transfer going well past that.
TEST(SerialSDP, AnswerInTheMiddleOfTheTransferAborts) {
  PtyBootRom rom(PeerMode::kInterruptTransfer);
  auto loader = Open(rom);
  const std::vector<uint8_t> image = Image(1024 * 1024);
  EXPECT_EQ(loader->writeLoader(image, 0x20000400), kSDPWriteInterrupted);
  EXPECT_LT(rom.image().size(), image.size());
}

TEST(SerialSDP, LineGoneDuringTheTransferFailsTheWrite) {
  PtyBootRom rom(PeerMode::kHangUpOnWriteFile);
  auto loader = Open(rom);
  EXPECT_EQ(loader->writeLoader(Image(256 * 1024), 0x20000400), kSDPWriteFailed);
}

TEST(SerialSDP, LineGoneBeforehandWritesNothingAndEnds) {
  PtyBootRom rom(PeerMode::kAnswer);
  std::string path = rom.slavePath();
  Serial_SDPLoader line(path, 0);
  ASSERT_TRUE(line.init());
  rom.HangUp();
  const std::vector<uint8_t> report(1025, 0x02);
  EXPECT_LE(line.writeData(report), 0);
  std::vector<uint8_t> got;
  EXPECT_LE(line.readData(got, 0), 0);

  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>(path, 0)));
  // Opening a pseudo-terminal whose master is closed fails; either way the
  // load ends without an answer.
  if (loader.init() == aErrNone) {
    EXPECT_EQ(loader.writeLoader(Image(100), 0), kSDPWriteNoAnswer);
  }
}

TEST(SerialSDP, ChattyROMReadsAreBounded) {
  PtyBootRom rom(PeerMode::kChatty);
  Serial_SDPLoader line(rom.slavePath(), 0);
  ASSERT_TRUE(line.init());
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> got;
    const ssize_t n = line.readData(got, 20);
    EXPECT_LE(n, ssize_t(Serial_SDPLoader::kMaxReadBytes));
    EXPECT_EQ(size_t(n), got.size());
  }
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<Serial_SDPLoader>(rom.slavePath(), 0)));
  ASSERT_EQ(loader.init(), aErrNone);
  // Noise is no answer of a boot ROM; should a status answer come to the
  // front of a read, the noise after it interrupts the transfer.
  const int result = loader.writeLoader(Image(64 * 1024), 0x20000400);
  EXPECT_TRUE(result == kSDPWriteNotRom || result == kSDPWriteInterrupted) << result;
}

TEST(SerialSDP, WriteDeadlineFollowsTheByteCount) {
  EXPECT_EQ(Serial_SDPLoader::WriteDeadlineMs(0), Serial_SDPLoader::kWriteSlackMs);
  // 1024 bytes at 10 bits each take 88.9 ms at 115200 bit/s.
  EXPECT_EQ(Serial_SDPLoader::WriteDeadlineMs(1024), 89 + Serial_SDPLoader::kWriteSlackMs);
  EXPECT_EQ(Serial_SDPLoader::WriteDeadlineMs(115200), 10000 + Serial_SDPLoader::kWriteSlackMs);
}

// The serial line's answers return once they are whole, not after a fixed
// wait; silence costs the deadline and no more.
TEST(SerialSDP, ReadsReturnWhenTheAnswerIsThere) {
  PtyBootRom rom(PeerMode::kAnswer);
  Serial_SDPLoader line(rom.slavePath(), 0);
  ASSERT_TRUE(line.init());
  ASSERT_EQ(line.writeData(SDPLoader::_createStatusPacket()), 16);
  std::vector<uint8_t> got;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 8 && got.size() < 8; ++i) line.readData(got, 5000);
  EXPECT_EQ(got.size(), 8u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  got.clear();
  EXPECT_EQ(line.readData(got, 50), 0);
}

TEST(SerialSDP, NotATerminalIsRefused) {
  Serial_SDPLoader file("/dev/null", 0);
  EXPECT_FALSE(file.init());
  std::vector<uint8_t> got;
  EXPECT_EQ(file.readData(got, 0), 0);
  EXPECT_EQ(file.writeData({1, 2, 3}), 0);
}

}  // namespace

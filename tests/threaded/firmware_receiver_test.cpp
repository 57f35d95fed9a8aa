// The download's receiver when the file is decided after the transfer has
// begun: run under ThreadSanitizer too.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/FirmwareReceiver.h"
#include "server/base64.h"
#include "store/BirdWriter.h"
#include "tests/unit/test_support.h"

namespace {

// The first bytes wait until the receiver knows where they go, and then
// every byte reaches the file; a receiver told there is no file writes
// nothing and still checks.
TEST(FirmwareReceiverThreads, FirstBytesWaitForTheFileThenAllReachIt) {
  // Bytes that do not compress, so that the file spans several batches.
  std::vector<uint8_t> image(256 * 1024);
  std::mt19937 random(5);
  for (uint8_t& byte : image) byte = uint8_t(random());
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
  w.AddInfo(31, "1.2.3", 0, "KX-DAQ8");
  const std::vector<uint8_t> file = w.Build(6);
  size_t textLength = 0;
  const std::unique_ptr<char[]> text = base64_encode(file.data(), file.size(), &textLength);

  for (const bool withFile : {true, false}) {
    SCOPED_TRACE(withFile ? "a file" : "no file");
    testsupport::TempDir dir;
    AtomicFileWriter writer;
    ASSERT_EQ(writer.Begin(dir.join("31.bird").c_str()), aErrNone);
    FirmwareReceiver receiver;
    receiver.AwaitFile();
    std::atomic<bool> delivered{false};
    std::thread transfer([&] {
      for (size_t at = 0; at < textLength; at += 4096)
        receiver.Write(text.get() + at, std::min<size_t>(4096, textLength - at));
      delivered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(delivered) << "the first batch waits for the file";
    receiver.WriteTo(withFile ? &writer : nullptr);
    transfer.join();
    int error = 0;
    EXPECT_EQ(receiver.FinishFile(&error), withFile ? aErrNone : aErrParam);
    EXPECT_TRUE(receiver.FileValid());
    if (withFile) {
      ASSERT_EQ(writer.Commit(), aErrNone);
      const std::string stored = testsupport::ReadFile(dir.join("31.bird"));
      EXPECT_TRUE(stored == std::string(file.begin(), file.end()));
    }
  }
}

}  // namespace

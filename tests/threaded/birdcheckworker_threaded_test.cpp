// The BIRD check on its own thread, fed from another: run under
// ThreadSanitizer too.
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/BirdStreamCheck.h"
#include "store/BirdWriter.h"

namespace {

std::vector<uint8_t> Package(size_t imageSize) {
  std::vector<uint8_t> image(imageSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t((i * 2654435761u) >> 13);
  BirdWriter w;
  w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
  w.AddInfo(31, "1.2.3", 0, "KX-DAQ8");
  return w.Build(6);
}

TEST(BirdCheckWorkerThreads, FedFromAnotherThreadWithAFullQueue) {
  // More than the queue holds, so the feeder waits on the checker.
  const std::vector<uint8_t> file = Package(3u << 20);
  BirdCheckWorker worker;
  std::thread feeder([&worker, &file] {
    for (size_t pos = 0; pos < file.size(); pos += 4096) {
      const size_t n = file.size() - pos < 4096 ? file.size() - pos : 4096;
      worker.Feed(file.data() + pos, n);
    }
  });
  feeder.join();
  EXPECT_TRUE(worker.Finish());
  EXPECT_EQ(worker.Check().GetBuild(), 31u);
  EXPECT_TRUE(worker.Check().StructureValid());
}

TEST(BirdCheckWorkerThreads, StoppedWhileBusy) {
  const std::vector<uint8_t> file = Package(2u << 20);
  for (int round = 0; round < 5; ++round) {
    BirdCheckWorker worker;
    for (size_t pos = 0; pos < file.size() / 2; pos += 65536) {
      const size_t n = file.size() / 2 - pos < 65536 ? file.size() / 2 - pos : 65536;
      worker.Feed(file.data() + pos, n);
    }
    EXPECT_FALSE(worker.Refused()) << "a good start is not refused";
  }
}

}  // namespace

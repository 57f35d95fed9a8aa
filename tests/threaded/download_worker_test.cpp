// The download runs GetBuild on a worker thread while the calling thread
// turns the spinner; run under ThreadSanitizer as well.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "app/Updater.h"
#include "server/base64.h"
#include "store/BirdWriter.h"
#include "tests/unit/local_http_server.h"
#include "tests/unit/recording_display.h"
#include "tests/unit/test_support.h"

namespace {

TEST(DownloadWorker, SlowReplyTurnsTheSpinnerAndStoresTheFile) {
  BirdWriter w;
  const uint8_t image[64] = {1, 2, 3};
  w.AddImage(BLOCK_FIRMWARE, 0, image, sizeof image);
  ASSERT_TRUE(w.AddInfo(77, "1.2.3", 0, "KX"));
  const std::vector<uint8_t> bird = w.Build();
  size_t n = 0;
  const std::string text(base64_encode(bird.data(), bird.size(), &n).get());

  testsupport::LocalHTTPServer server([&text](const httplib::Request& req, httplib::Response& res) {
    const std::string op = req.get_param_value("op");
    if (op == "qu") {
      res.set_content("ok\n77\nFW\n", "text/plain");
    } else if (op == "builds") {
      res.set_content("ok\n77;1.2.3\n", "text/plain");
    } else if (op == "bird") {
      std::this_thread::sleep_for(std::chrono::milliseconds(450));
      res.set_content("ok\n" + text + "\n", "text/plain");
    } else {
      res.set_content("ok\n", "text/plain");
    }
  });
  testsupport::TempDir store;
  testsupport::RecordingDisplay display;
  Updater updater(server.url(), store.join("updater"), display);
  EXPECT_EQ(updater.Download_Firmware(0xABCD, "", false, false), 77u);
  EXPECT_GE(display.spinsOn, 3) << "about one turn per 100 ms";
  EXPECT_EQ(display.spinsOff, 1);
  EXPECT_EQ(testsupport::ReadFile(store.join("updater/0000ABCD/77.bird")),
            std::string(bird.begin(), bird.end()));
}

}  // namespace

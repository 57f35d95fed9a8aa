#include "app/Updater.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "server/base64.h"
#include "store/BirdWriter.h"
#include "tests/unit/local_http_server.h"
#include "tests/unit/recording_display.h"
#include "tests/unit/test_support.h"
#include "tools/korvex-update-server/Answers.h"

namespace {

using testsupport::LocalHTTPServer;
using testsupport::ReadFile;
using testsupport::RecordingDisplay;
using testsupport::TempDir;
using testsupport::WriteFile;

const uint32_t kSerial = 0x40F5849A;

std::string MakeBird(uint32_t build, const std::string& version, size_t imageSize = 256) {
  BirdWriter w;
  std::vector<uint8_t> image(imageSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  w.AddImage(BLOCK_FIRMWARE, 0, image.data(), image.size());
  EXPECT_TRUE(w.AddInfo(build, version, 0, "KX-USB"));
  const std::vector<uint8_t> bytes = w.Build();
  return std::string(bytes.begin(), bytes.end());
}

// Our update server's answers over real HTTP, from a repository in a
// temporary directory; a test may replace any answer.
class FirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(repo_.join("repo.conf"),
              "device 40F5849A model=KX-USB fw=KX-A features=scope\n"
              "build 1200 version=2.10.4 file=1200.bird model=KX-USB\n"
              "build 1300 version=2.11.5 file=1300.bird model=KX-USB\n"
              "fingerprint 00000001 00000002 00000003 00000004 serial=40F5849A build=1200\n");
    WriteFile(repo_.join("1200.bird"), MakeBird(1200, "2.10.4"));
    WriteFile(repo_.join("1300.bird"), MakeBird(1300, "2.11.5"));
    repository_.reset(new kus::Repository(repo_.path()));
    server_.reset(new LocalHTTPServer([this](const httplib::Request& req, httplib::Response& res) {
      kus::Query q(req.params.begin(), req.params.end());
      std::lock_guard<std::mutex> lock(mutex_);
      const auto op = req.get_param_value("op");
      if (overrides_.count(op)) {
        res.status = overrides_[op].first;
        res.set_content(overrides_[op].second, "text/plain");
        return;
      }
      res.set_content(kus::Answer({*repository_, signer_, 60, 0}, q), "text/plain");
    }));
    url_ = server_->url();
    updater_.reset(new Updater(url_, store_.join("updater"), display_));
  }
  void Override(const std::string& op, const std::string& body, int status = 200) {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_[op] = {status, body};
  }
  std::string DeviceDir() { return store_.join("updater/40F5849A"); }
  bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }
  bool Requested(const std::string& op) {
    for (const auto& t : server_->targets())
      if (t.find("op=" + op + "&") != std::string::npos) return true;
    return false;
  }

  TempDir repo_, store_;
  std::unique_ptr<kus::Repository> repository_;
  kus::TokenSigner signer_{""};
  std::mutex mutex_;
  std::map<std::string, std::pair<int, std::string>> overrides_;
  std::unique_ptr<LocalHTTPServer> server_;
  std::string url_;
  RecordingDisplay display_;
  std::unique_ptr<Updater> updater_;
};

TEST_F(FirmwareTest, LatestBuildIsStoredAndRecorded) {
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "", false, false), 1300u);
  EXPECT_EQ(ReadFile(DeviceDir() + "/1300.bird"), ReadFile(repo_.join("1300.bird")));
  KeyValueStore history((DeviceDir() + "/.settings").c_str());
  EXPECT_STREQ(history["LATEST_DOWNLOAD"], "1300.bird");
  ASSERT_NE(history["LAST_DOWNLOAD_DATE"], nullptr);
  EXPECT_EQ(std::string(history["LAST_DOWNLOAD_DATE"]).size(), 24u);
  EXPECT_TRUE(display_.HasInfo("Retrieving build 1300"));
  EXPECT_TRUE(display_.HasInfo("Validating build 1300 with server"));
  EXPECT_TRUE(display_.HasInfo("Build 1300 is valid"));
  EXPECT_GE(display_.spinsOn, 1);
  EXPECT_EQ(display_.spinsOff, 1);
  EXPECT_EQ(display_.lastSpinnerLabel, "Downloading");
  EXPECT_TRUE(display_.errors.empty());
}

TEST_F(FirmwareTest, GivenBuildMustBeListedUnlessOverridden) {
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1250", false, false), 0u);
  EXPECT_TRUE(display_.HasError("No valid build 1250"));
  EXPECT_FALSE(Exists(DeviceDir() + "/1250.bird"));
  EXPECT_FALSE(Requested("bird"));

  // With override the list is never asked for; the server refuses the
  // build itself, and nothing is stored.
  server_.reset();
  server_.reset(new LocalHTTPServer([this](const httplib::Request& req, httplib::Response& res) {
    kus::Query q(req.params.begin(), req.params.end());
    res.set_content(kus::Answer({*repository_, signer_, 60, 0}, q), "text/plain");
  }));
  Updater updater(server_->url(), store_.join("updater"), display_);
  EXPECT_EQ(updater.Download_Firmware(kSerial, "1200", true, false), 1200u);
  EXPECT_TRUE(display_.HasInfo("Override specified, skipping validation of build 1200"));
  EXPECT_FALSE(Requested("builds"));
  EXPECT_EQ(updater.Download_Firmware(kSerial, "1250", true, false), 0u);
  EXPECT_TRUE(display_.HasError("Download failed"));
  EXPECT_TRUE(display_.HasError("Failed to retrieve a valid BIRD file"));
}

TEST_F(FirmwareTest, BadBuildTextAndSerial) {
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "abc", false, false), 0u);
  EXPECT_TRUE(display_.HasError("Build number 'abc' must be an number"));
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "99999999999", false, false), 0u);
  EXPECT_TRUE(display_.HasError("Build number '99999999999' must be an number"));
  EXPECT_EQ(updater_->Download_Firmware(0, "", false, false), 0u);
  EXPECT_TRUE(display_.HasError("Serial Number must be non-zero"));
  EXPECT_TRUE(server_->targets().empty());
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1200abc", false, false), 1200u)
      << "leading digits count";
}

// Every way of getting no loadable BIRD file returns 0 and leaves the store
// and the history exactly as they were.
TEST_F(FirmwareTest, NoFalseSuccessAndNothingChanged) {
  ASSERT_EQ(updater_->Download_Firmware(kSerial, "1200", false, false), 1200u);
  const std::string settings = ReadFile(DeviceDir() + "/.settings");
  const std::string bird = ReadFile(DeviceDir() + "/1200.bird");

  size_t n = 0;
  auto junk = base64_encode(reinterpret_cast<const uint8_t*>("not a bird file"), 15, &n);
  const std::string truncated = MakeBird(1200, "2.10.4").substr(0, 20);
  auto cut = base64_encode(reinterpret_cast<const uint8_t*>(truncated.data()), truncated.size(), &n);
  const std::vector<std::pair<std::string, std::string>> replies = {
      {"ok\nnot*base64!\n", "The firmware sent by the server is not valid base64 text"},
      {"ok\nYWJj\r\n", "The firmware sent by the server is not valid base64 text"},
      {"ok\n" + std::string(junk.get()) + "\n", "The firmware sent by the server is not a BIRD file"},
      {"ok\n" + std::string(cut.get()) + "\n", "The firmware sent by the server is not a BIRD file"},
      {"ok\n", "Failed to retrieve a valid BIRD file"},
      {"error no such build\n", "Download failed"},
  };
  for (const auto& r : replies) {
    Override("bird", r.first);
    display_.errors.clear();
    EXPECT_EQ(updater_->Download_Firmware(kSerial, "1300", false, false), 0u) << r.first;
    EXPECT_TRUE(display_.HasError(r.second)) << r.first;
    EXPECT_TRUE(display_.HasError("Failed to retrieve a valid BIRD file")) << r.first;
    EXPECT_FALSE(Exists(DeviceDir() + "/1300.bird"));
    EXPECT_EQ(ReadFile(DeviceDir() + "/.settings"), settings);
  }
  Override("bird", "ok\n", 500);
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1200", false, false), 0u);
  EXPECT_EQ(ReadFile(DeviceDir() + "/1200.bird"), bird) << "an earlier file stays";
  EXPECT_EQ(ReadFile(DeviceDir() + "/.settings"), settings);
}

// A file is stored only under the build its information block names, with
// or without override.
TEST_F(FirmwareTest, FileOfAnotherBuildIsRefused) {
  ASSERT_EQ(updater_->Download_Firmware(kSerial, "1200", false, false), 1200u);
  const std::string settings = ReadFile(DeviceDir() + "/.settings");
  BirdWriter unnamed;
  const uint8_t image[64] = {1, 2, 3};
  unnamed.AddImage(BLOCK_FIRMWARE, 0, image, sizeof image);
  const std::vector<uint8_t> noInfo = unnamed.Build();
  const std::vector<std::pair<std::string, std::string>> files = {
      {MakeBird(9999, "2.11.5"), "The firmware sent by the server is build 9999, not the requested build 1300"},
      {MakeBird(1200, "2.10.4"), "The firmware sent by the server is build 1200, not the requested build 1300"},
      {std::string(noInfo.begin(), noInfo.end()),
       "The firmware sent by the server cannot be used"},
  };
  for (const auto& f : files) {
    size_t n = 0;
    auto text = base64_encode(reinterpret_cast<const uint8_t*>(f.first.data()), f.first.size(), &n);
    Override("bird", "ok\n" + std::string(text.get(), n) + "\n");
    for (bool override : {false, true}) {
      display_.errors.clear();
      EXPECT_EQ(updater_->Download_Firmware(kSerial, "1300", override, false), 0u) << f.second;
      EXPECT_TRUE(display_.HasError(f.second)) << f.second;
      EXPECT_FALSE(Exists(DeviceDir() + "/1300.bird"));
      EXPECT_EQ(ReadFile(DeviceDir() + "/.settings"), settings);
    }
  }
}

TEST_F(FirmwareTest, WriteFailureRecordsNothing) {
  ASSERT_EQ(updater_->Download_Firmware(kSerial, "1200", false, false), 1200u);
  const std::string settings = ReadFile(DeviceDir() + "/.settings");
  // A directory where the file should go: the write cannot succeed.
  ASSERT_EQ(mkdir((DeviceDir() + "/1300.bird").c_str(), 0755), 0);
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1300", false, false), 0u);
  ASSERT_FALSE(display_.errors.empty());
  EXPECT_EQ(display_.errors.back().rfind("Failed to write file with ", 0), 0u) << display_.errors.back();
  EXPECT_EQ(ReadFile(DeviceDir() + "/.settings"), settings);
}

TEST_F(FirmwareTest, ServerFailuresAreReported) {
  Override("hi", "error\n");
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_TRUE(display_.HasError("Server request failed for " + url_ +
                                 ": the server's reply does not begin with \"ok\""));
  EXPECT_TRUE(updater_->Get_BuildList(kSerial).empty());
  EXPECT_TRUE(updater_->Get_JWT(kSerial).empty());
  Override("hi", "ok\n");
  Override("qu", "error\n");
  display_.errors.clear();
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_TRUE(display_.HasError("No build information for device"));
  Override("builds", "oops", 500);
  EXPECT_TRUE(updater_->Get_BuildList(kSerial).empty());
  EXPECT_TRUE(display_.HasError("Failed to retrieve builds for 40F5849A"));
  Override("ent_jwt", "ok\nonly.two\n");
  EXPECT_TRUE(updater_->Get_JWT(kSerial).empty());
  EXPECT_TRUE(display_.HasError("Failed to retrieve jwt for 40F5849A"));
}

TEST_F(FirmwareTest, NewDeviceGetsItsDirectoryOnlyWithAFile) {
  EXPECT_FALSE(Exists(DeviceDir()));
  Override("bird", "ok\nnot-base64\n");
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1200", true, false), 0u);
  EXPECT_FALSE(Exists(DeviceDir())) << "a failed first download leaves no trace";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_.erase("bird");
  }
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1200", true, false), 1200u);
  EXPECT_TRUE(Exists(DeviceDir() + "/.settings"));
}

TEST_F(FirmwareTest, BuildListAndToken) {
  const BuildMap expected = {{"1200", "2.10.4"}, {"1300", "2.11.5"}};
  EXPECT_EQ(updater_->Get_BuildList(kSerial), expected);
  // Failed and empty are told apart.
  BuildMap builds;
  std::string jwt;
  Override("builds", "ok\n");
  EXPECT_TRUE(updater_->Get_BuildList(kSerial, builds));
  EXPECT_TRUE(builds.empty());
  Override("builds", "error unknown device\n");
  Override("ent_jwt", "error unknown device\n");
  EXPECT_FALSE(updater_->Get_BuildList(kSerial, builds));
  EXPECT_FALSE(updater_->Get_JWT(kSerial, jwt));
  std::string many = "ok\n";
  for (size_t i = 0; i <= UpdateServerRequest::kMaxBuildListEntries; ++i) many += std::to_string(i) + ";1.0.0\n";
  Override("builds", many);
  EXPECT_TRUE(updater_->Get_BuildList(kSerial, builds));
  EXPECT_EQ(builds.size(), UpdateServerRequest::kMaxBuildListEntries);
  EXPECT_TRUE(display_.HasError("The server lists more than 100000 builds for 40F5849A; only the first 100000 are kept"));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_.clear();
  }
  const std::string token = updater_->Get_JWT(kSerial);
  EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2);
  EXPECT_TRUE(updater_->Get_BuildList(0x12345678).empty()) << "unknown device";
}

TEST_F(FirmwareTest, LocalListReadsVersionsFromStoredFiles) {
  ASSERT_EQ(updater_->Download_Firmware(kSerial, "1200", false, false), 1200u);
  ASSERT_EQ(updater_->Download_Firmware(kSerial, "1300", false, false), 1300u);
  WriteFile(DeviceDir() + "/notes.txt", "hello");
  WriteFile(DeviceDir() + "/1400.bird", "garbage");
  WriteFile(DeviceDir() + "/.hidden.bird", "x");
  const BuildMap expected = {{"1200", "2.10.4"}, {"1300", "2.11.5"}, {"1400", ""}, {"notes.txt", ""}};
  EXPECT_EQ(updater_->Get_BuildListLocal(kSerial), expected);
  EXPECT_TRUE(updater_->Get_BuildListLocal(0x1234).empty());
}

TEST_F(FirmwareTest, StoreThatCannotBeMadeIsReported) {
  WriteFile(store_.join("blocked"), "a file");
  Updater updater(url_, store_.join("blocked"), display_);
  EXPECT_TRUE(updater.Get_BuildListLocal(kSerial).empty());
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  ASSERT_GE(display_.errors.size(), 2u);
  EXPECT_EQ(display_.errors[0].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0), 0u);
  EXPECT_EQ(display_.errors[1].rfind("Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0), 0u);
}

TEST_F(FirmwareTest, LoadBirdDownloadsOnDemand) {
  EXPECT_THROW(updater_->load_bird("Updating", "", kSerial, 1200, false), std::runtime_error);
  BirdFile bird = updater_->load_bird("Updating", "", kSerial, 1200, true);
  EXPECT_EQ(bird.GetBuild(), 1200u);
  EXPECT_TRUE(display_.HasInfo("Updating firmware with build: 1200"));
  EXPECT_TRUE(display_.HasInfo("Downloading firmware build 1200"));
  BirdFile named = updater_->load_bird("Recovering", repo_.join("1300.bird"), kSerial, 0, false);
  EXPECT_EQ(named.GetVersion(), "2.11.5");
  EXPECT_THROW(updater_->load_bird("Updating", "", kSerial, 1250, true), std::runtime_error);
  BirdWriter noInfo;
  noInfo.AddImage(BLOCK_FIRMWARE, 0, reinterpret_cast<const uint8_t*>("abcd"), 4);
  noInfo.Write(repo_.join("x.bird").c_str());
  EXPECT_THROW(updater_->load_bird("Updating", repo_.join("x.bird"), kSerial, 0, false),
               std::runtime_error) << "a package that cannot be used is not loaded";
}

TEST_F(FirmwareTest, RecoveryFormAsksForDeviceAndBuild) {
  Fingerprint fp;
  fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
  EXPECT_EQ(updater_->Download_Firmware(fp, "", false), 1200u);
  EXPECT_TRUE(Exists(DeviceDir() + "/1200.bird"));
  EXPECT_EQ(updater_->Download_Firmware(fp, "1300", false), 1300u);
  fp.words[0] = 9;
  EXPECT_EQ(updater_->Download_Firmware(fp, "", false), 0u);
  EXPECT_TRUE(display_.HasError("Failed to retrieve recovery information from Velmaris update server"));
}

TEST(UpdaterCore, UEIBytesSwitch) {
  RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
  EXPECT_FALSE(updater.Get_UEIBytes_Load());
  updater.Set_UEIBytes_Load(true);
  EXPECT_TRUE(updater.Get_UEIBytes_Load());
  EXPECT_TRUE(display.infos.empty() && display.errors.empty()) << "construction contacts nothing";
}

}  // namespace

namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A large file whose fault shows only at the end of its body: its bytes may
// reach a temporary file before the check refuses them, and nothing of it
// may stay.
TEST_F(FirmwareTest, FileRefusedLateLeavesNoTemporaryFileOrDirectory) {
  std::string bird = MakeBird(1300, "2.11.5", 2u << 20);
  bird[bird.size() - 2] = char(bird[bird.size() - 2] ^ 0x40);  // the zlib check value
  size_t n = 0;
  auto text = base64_encode(reinterpret_cast<const uint8_t*>(bird.data()), bird.size(), &n);
  Override("bird", "ok\n" + std::string(text.get(), n) + "\n");

  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1300", true, false), 0u);
  EXPECT_TRUE(display_.HasError("The firmware sent by the server is not a BIRD file"));
  EXPECT_FALSE(Exists(DeviceDir())) << "a new device's directory is taken away again";

  {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_.erase("bird");
  }
  ASSERT_EQ(updater_->Download_Firmware(kSerial, "1200", false, false), 1200u);
  const std::vector<std::string> before = Entries(DeviceDir());
  const std::string settings = ReadFile(DeviceDir() + "/.settings");
  Override("bird", "ok\n" + std::string(text.get(), n) + "\n");
  EXPECT_EQ(updater_->Download_Firmware(kSerial, "1300", true, false), 0u);
  EXPECT_EQ(Entries(DeviceDir()), before) << "no temporary file is left";
  EXPECT_EQ(ReadFile(DeviceDir() + "/.settings"), settings);
}

}  // namespace

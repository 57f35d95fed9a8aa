// Recovery packages made by birdpack, read back by the host's BirdFile, and
// the recovery information of our update server asked by the host's client.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "tests/unit/test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kBinaryDir = UPDATER_BINARY_DIR;

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131u + seed * 7u + (i >> 3)) & 0xFF);
  return s;
}

// Runs birdpack on a manifest; true when it wrote the package.
bool Pack(const TempDir& dir, const std::string& manifest) {
  WriteFile(dir.join("m.manifest"), manifest);
  std::string command = kBinaryDir + "/tools/birdpack create " + dir.join("m.manifest") + " -o " +
                        dir.join("out.bird") + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string Image(const BirdBlock& b) {
  return std::string(reinterpret_cast<const char*>(b.data) + 4, b.length - 4);
}

TEST(RecoveryPackage, ScrambledFirmwareDecodesWithTheFingerprint) {
  TempDir dir;
  // Lengths that are not multiples of the 16-byte key, a one-byte image,
  // and a loader that stays plain.
  const std::vector<std::string> images = {Bytes(4099, 1), Bytes(17, 2), Bytes(1, 3)};
  for (size_t i = 0; i < images.size(); ++i) WriteFile(dir.join("fw" + std::to_string(i)), images[i]);
  WriteFile(dir.join("ld"), Bytes(40, 9));
  const uint32_t key[4] = {0x4C500001u, 0x8000A5C3u, 0x00FF00FFu, 0x12345678u};
  ASSERT_TRUE(Pack(dir,
                   "firmware fw0 0x00000000 flags 1\n"
                   "loader   ld  0x10000000\n"
                   "firmware fw1 0x00001100\n"
                   "firmware fw2 0x00002000\n"
                   "info 810 1.4.1 4C500001 KX-Relay4\n"
                   "scramble 4C500001 0x8000a5c3 FF00FF 12345678\n"));
  BirdFile file(dir.join("out.bird").c_str());
  EXPECT_FALSE(file.SerialOffsetsPresent());
  EXPECT_EQ(file.GetSerialNumber(), 0x4C500001u);
  std::vector<BirdBlock> fw = file.FindBlocks(BLOCK_FIRMWARE);
  ASSERT_EQ(fw.size(), images.size());
  EXPECT_NE(Image(fw[0]), images[0]);
  ASSERT_TRUE(file.DecodeFirmwareBlocks(key));
  fw = file.FindBlocks(BLOCK_FIRMWARE);
  const uint32_t addresses[] = {0x0, 0x1100, 0x2000};
  for (size_t i = 0; i < images.size(); ++i) {
    EXPECT_EQ(fw[i].address, addresses[i]) << i;
    EXPECT_EQ(Image(fw[i]), images[i]) << i;
  }
  EXPECT_EQ(fw[0].flags, 1);
  std::vector<BirdBlock> loader = file.FindBlocks(BLOCK_LOADER);
  ASSERT_EQ(loader.size(), 1u);
  EXPECT_EQ(Image(loader[0]), Bytes(40, 9));
}

TEST(RecoveryPackage, AnotherFingerprintDoesNotRestoreTheImage) {
  TempDir dir;
  WriteFile(dir.join("fw"), Bytes(300, 4));
  ASSERT_TRUE(Pack(dir, "scramble 1 2 3 4\nfirmware fw 0\ninfo 5 1.0.0 1A000001 KX-DAQ8\n"));
  BirdFile file(dir.join("out.bird").c_str());
  const uint32_t other[4] = {1, 2, 3, 5};
  ASSERT_TRUE(file.DecodeFirmwareBlocks(other));
  EXPECT_NE(Image(file.FindBlocks(BLOCK_FIRMWARE)[0]), Bytes(300, 4));
}

TEST(RecoveryPackage, ScrambleManifestsThatCannotBeBoundAreRefused) {
  const char* cases[] = {
      "scramble 1 2 3\nfirmware fw 0\ninfo 5 1.0.0 1A000001 M\n",            // three words
      "scramble 1 2 3 123456789\nfirmware fw 0\ninfo 5 1.0.0 1A000001 M\n",  // nine digits
      "scramble 1 2 3 4\nscramble 1 2 3 4\nfirmware fw 0\ninfo 5 1.0.0 1A000001 M\n",
      "scramble 1 2 3 4\nfirmware fw 0\ninfo 5 1.0.0 generic M\n",  // not bound
      "scramble 1 2 3 4\nfirmware fw 0\n",                          // no info
      "scramble 1 2 3 4\nfirmware fw 0\noffsets 0x40 0x60\ninfo 5 1.0.0 1A000001 M\n",
      "scramble 1 2 3 4\nloader fw 0\ninfo 5 1.0.0 1A000001 M\n",  // nothing to scramble
      "scramble 1 2 3 4\nblock 1 fw\ninfo 5 1.0.0 1A000001 M\n",   // raw firmware block
  };
  for (const char* manifest : cases) {
    TempDir dir;
    WriteFile(dir.join("fw"), Bytes(64, 5));
    EXPECT_FALSE(Pack(dir, manifest)) << manifest;
    EXPECT_NE(access(dir.join("out.bird").c_str(), F_OK), 0) << manifest;
  }
}

// korvex-update-server on 127.0.0.1 with a free port; killed and reaped on
// destruction.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& repo) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 2);
      std::string server = kBinaryDir + "/tools/korvex-update-server";
      execl(server.c_str(), server.c_str(), "--repo", repo.c_str(), "--listen", "127.0.0.1:0",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    if (!in) {
      close(out[0]);
      return;
    }
    char line[256] = {};
    char url[200] = {};
    if (fgets(line, sizeof line, in) && std::sscanf(line, "listening on %199s", url) == 1) url_ = url;
    fclose(in);
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

TEST(RecoveryInfo, OurServerAnswersTheClientForListedFingerprints) {
  TempDir dir;
  WriteFile(dir.join("repo.conf"),
            "device 4C500001 model=KX-Relay4 fw=KXRLY4-R1\n"
            "device 1A000001 model=KX-DAQ8 fw=KXDAQ8-R2\n"
            "build 810 version=1.4.1 file=lpc.bird serial=4C500001\n"
            "build 1320 version=2.11.7 file=imx.bird serial=1A000001\n"
            "fingerprint 2C01002B 8A5C3F0D 4E3A1B27 1C0F00A1 serial=4C500001 build=810\n"
            "fingerprint 00000000 0000001A 5A17C0DE 00000001 serial=1A000001 build=1320\n");
  ServerProcess server(dir.path());
  ASSERT_FALSE(server.url().empty());
  struct Case {
    uint32_t fp[4];
    bool found;
    uint32_t serial, build;
  } cases[] = {
      {{0x2C01002B, 0x8A5C3F0D, 0x4E3A1B27, 0x1C0F00A1}, true, 0x4C500001, 810},
      {{0x00000000, 0x0000001A, 0x5A17C0DE, 0x00000001}, true, 0x1A000001, 1320},
      // The same words in the other order belong to no chip.
      {{0x00000001, 0x5A17C0DE, 0x0000001A, 0x00000000}, false, 7, 9},
  };
  for (const Case& c : cases) {
    uint32_t serial = 7, build = 9;
    EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(c.fp, &serial, &build, server.url().c_str()),
              c.found);
    EXPECT_EQ(serial, c.serial);
    EXPECT_EQ(build, c.build);
  }
}

}  // namespace

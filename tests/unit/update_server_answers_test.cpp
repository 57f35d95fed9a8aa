#include "tools/korvex-update-server/Answers.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

const char kConf[] =
    "# sample\n"
    "device 40F5849A model=KX-USB fw=KX-A features=scope,logger\n"
    "device 0000ABCD model=KX-ETH fw=KX-E\n"
    "device 00000001 model=KX-NONE fw=KX-N\n"
    "build 1200 version=2.10.4 file=a.bird model=KX-USB\n"
    "build 1300 version=2.11.5 file=b.bird model=KX-USB\n"
    "build 1250 version=2.12.0 file=c.bird serial=40F5849A\n"
    "build 900 version=1.0.0 file=e.bird model=KX-ETH\n"
    "fingerprint 00000001 00000002 00000003 00000004 serial=40F5849A build=1300\n";

class AnswersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.join("repo.conf"), kConf);
    WriteFile(dir_.join("a.bird"), "bird-a");
    WriteFile(dir_.join("c.bird"), "abc");
    repo_.reset(new kus::Repository(dir_.path()));
  }
  std::string Ask(const kus::Query& q) {
    return kus::Answer({*repo_, signer_, 3600, 1000}, q);
  }
  TempDir dir_;
  std::unique_ptr<kus::Repository> repo_;
  kus::TokenSigner signer_{""};
};

TEST_F(AnswersTest, LatestIsNewestVersionIncludingBoundBuilds) {
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "40F5849A"}}), "ok\n1250\nKX-A\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "0000abcd"}}), "ok\n900\nKX-E\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "00000001"}}), "error no build for device\n");
}

TEST_F(AnswersTest, BuildListPerDevice) {
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "40F5849A"}}), "ok\n1200;2.10.4\n1250;2.12.0\n1300;2.11.5\n");
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "0000ABCD"}}), "ok\n900;1.0.0\n");
}

TEST_F(AnswersTest, FirmwareIsBase64OfTheFile) {
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1250"}, {"fw", "KX-A"}, {"no_cal", "false"}}),
            "ok\nYWJj\n");
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1300"}, {"fw", "KX-A"}}),
            "error build file unavailable\n");
}

TEST_F(AnswersTest, MalformedRequestsAreRefused) {
  const std::vector<std::pair<kus::Query, std::string>> cases = {
      {{}, "error missing op\n"},
      {{{"op", "zap"}}, "error unknown op\n"},
      {{{"op", "qu"}}, "error missing serial number\n"},
      {{{"op", "qu"}, {"sn", "40F5849"}}, "error malformed serial number\n"},
      {{{"op", "qu"}, {"sn", "40F5849G"}}, "error malformed serial number\n"},
      {{{"op", "qu"}, {"sn", "12345678"}}, "error unknown device\n"},
      {{{"op", "qu"}, {"op", "hi"}}, "error repeated op\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "12x"}, {"fw", "KX-A"}}, "error malformed build number\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "../../etc/passwd"}, {"fw", "KX-A"}},
       "error malformed build number\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1200"}, {"fw", "KX-E"}},
       "error firmware identifier does not match\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "900"}, {"fw", "KX-A"}}, "error build not available for device\n"},
      {{{"op", "bird"}, {"sn", "0000ABCD"}, {"bld", "1250"}, {"fw", "KX-E"}},
       "error build not available for device\n"},
      {{{"op", "fix"}, {"fp", "00000001 00000002 00000003"}}, "error malformed fingerprint\n"},
      {{{"op", "fix"}, {"fp", "00000009 00000002 00000003 00000004"}}, "error unknown fingerprint\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Ask(c.first), c.second);
}

TEST_F(AnswersTest, RecoveryInfoByFingerprint) {
  EXPECT_EQ(Ask({{"op", "fix"}, {"brief", "true"}, {"fp", "00000001 00000002 00000003 00000004"}}),
            "ok\n40F5849A\n1300\n");
}

TEST_F(AnswersTest, TokenHasThreeParts) {
  const std::string reply = Ask({{"op", "ent_jwt"}, {"json", "false"}, {"sn", "40F5849A"}});
  ASSERT_EQ(reply.substr(0, 3), "ok\n");
  const std::string token = reply.substr(3, reply.size() - 4);
  EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2);
  // {"alg":"EdDSA","typ":"JWT"}
  EXPECT_EQ(token.substr(0, token.find('.')), "eyJhbGciOiJFZERTQSIsInR5cCI6IkpXVCJ9");
}

TEST(Repository, RefusesBadConfiguration) {
  const std::vector<std::string> bad = {
      "device 40F5849A model=A\n",                                   // no fw
      "device 40F5849 model=A fw=B\n",                               // short serial
      "build 12 version=1.0.0 file=../x.bird model=A\n",             // path
      "build 12 version=1.0.0 file=.hidden model=A\n",
      "build 12 version=1.0.0 file=x.bird\n",                        // neither model nor serial
      "build 12 version=1.0.0 file=x.bird model=A serial=00000001\n",
      "build 12 version=1.0.0 file=x.bird serial=00000001\n",        // unknown device
      "build 1x version=1.0.0 file=x.bird model=A\n",
      "gadget 1\n",
      "device 00000001 model=A fw=B colour=red\n",
      // Fingerprints must lead to a device and a build it is offered.
      "device 00000001 model=A fw=B\nbuild 12 version=1.0.0 file=x.bird model=A\n"
      "fingerprint 1 2 3 4 serial=00000001 build=12\n",  // short words
      "device 00000001 model=A fw=B\nbuild 12 version=1.0.0 file=x.bird model=A\n"
      "fingerprint 00000001 00000002 00000003 00000004 serial=00000002 build=12\n",
      "device 00000001 model=A fw=B\nbuild 12 version=1.0.0 file=x.bird model=C\n"
      "fingerprint 00000001 00000002 00000003 00000004 serial=00000001 build=12\n",
      "device 00000001 model=A fw=B\nbuild 12 version=1.0.0 file=x.bird model=A\n"
      "fingerprint 00000001 00000002 00000003 00000004 serial=00000001 build=13\n",
      "device 00000001 model=A fw=B\ndevice 00000002 model=A fw=B\n"
      "build 12 version=1.0.0 file=x.bird model=A\n"
      "fingerprint 00000001 00000002 00000003 00000004 serial=00000001 build=12\n"
      "fingerprint 00000001 00000002 00000003 00000004 serial=00000002 build=12\n",
  };
  for (const std::string& conf : bad) {
    TempDir dir;
    WriteFile(dir.join("repo.conf"), conf);
    EXPECT_THROW(kus::Repository r(dir.path()), std::runtime_error) << conf;
  }
  TempDir empty;
  EXPECT_THROW(kus::Repository r(empty.path()), std::runtime_error);
  // Listed before its device and build, a fingerprint is still accepted.
  TempDir ordered;
  WriteFile(ordered.join("repo.conf"),
            "fingerprint 00000001 00000002 00000003 00000004 serial=00000001 build=12\n"
            "build 12 version=1.0.0 file=x.bird serial=00000001\n"
            "device 00000001 model=A fw=B\n");
  EXPECT_NO_THROW(kus::Repository r(ordered.path()));
}

}  // namespace

#include "server/UpdateServerRequest.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/HTTPRequest.h"
#include "tests/unit/local_http_server.h"

namespace {

using testsupport::LocalHTTPServer;

// A server that answers every request with one canned reply.
class CannedServer {
 public:
  CannedServer()
      : server_([this](const httplib::Request&, httplib::Response& res) {
          std::lock_guard<std::mutex> lock(mutex_);
          res.status = status_;
          res.set_content(body_, "text/plain");
        }) {}
  void Reply(const std::string& body, int status = 200) {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = body;
    status_ = status;
  }
  const char* url() {
    url_ = server_.url();
    return url_.c_str();
  }
  std::string LastQuery() {
    const auto t = server_.targets();
    return t.empty() ? "" : t.back().substr(t.back().find('?') + 1);
  }

 private:
  std::mutex mutex_;
  std::string body_ = "ok\n";
  int status_ = 200;
  std::string url_;
  LocalHTTPServer server_;
};

TEST(UpdateServerRequest, PingNeedsStatus200AndOk) {
  CannedServer s;
  EXPECT_TRUE(UpdateServerRequest::ping(s.url()));
  EXPECT_EQ(s.LastQuery(), "op=hi&rv=2&");
  s.Reply("okay then");
  EXPECT_TRUE(UpdateServerRequest::ping(s.url())) << "only the first two characters count";
  s.Reply("error: down for maintenance\n");
  EXPECT_FALSE(UpdateServerRequest::ping(s.url()));
  s.Reply("\n\n\nok\n");
  EXPECT_TRUE(UpdateServerRequest::ping(s.url())) << "empty lines are skipped";
  s.Reply("");
  EXPECT_FALSE(UpdateServerRequest::ping(s.url()));
  s.Reply("o\nk\n");
  EXPECT_FALSE(UpdateServerRequest::ping(s.url()));
  s.Reply("ok\n", 500);
  EXPECT_FALSE(UpdateServerRequest::ping(s.url()));
  s.Reply("ok\n", 404);
  EXPECT_FALSE(UpdateServerRequest::ping(s.url()));
}

TEST(UpdateServerRequest, UnreachableServerIsFalse) {
  EXPECT_FALSE(UpdateServerRequest::ping("http://127.0.0.1:1/cgi/u"));
  std::string build = "keep", fw = "keep";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, fw, "http://127.0.0.1:1/cgi/u"));
  EXPECT_EQ(build, "keep");
}

TEST(UpdateServerRequest, QueryBuildSetsOnlyPresentLines) {
  CannedServer s;
  s.Reply("ok\n1300\nKX-FW-7\r\n");
  std::string build, fw;
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1A2B3C4D, build, fw, s.url()));
  EXPECT_EQ(s.LastQuery(), "op=qu&sn=1A2B3C4D&");
  EXPECT_EQ(build, "1300");
  EXPECT_EQ(fw, "KX-FW-7") << "the identifier ends at CR";

  build = "old";
  fw = "old";
  s.Reply("ok\n1400\n");
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0xA, build, fw, s.url()));
  EXPECT_EQ(s.LastQuery(), "op=qu&sn=0000000A&");
  EXPECT_EQ(build, "1400");
  EXPECT_EQ(fw, "old");

  s.Reply("ok\n1500\n" + std::string(257, 'F') + "\n");
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0xA, build, fw, s.url()))
      << "an identifier far longer than any real one";
  EXPECT_EQ(build, "1400");
  EXPECT_EQ(fw, "old");
}

TEST(UpdateServerRequest, GetBuildSendsParametersInKeyOrder) {
  CannedServer s;
  s.Reply("ok\nYmlyZA==\n");
  std::string bird = "stale";
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "X", "1234", bird, s.url(), false));
  EXPECT_EQ(s.LastQuery(), "bld=1234&fw=X&no_cal=false&op=bird&sn=40F5849A&");
  EXPECT_EQ(bird, "YmlyZA==");
  EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "X", "1", bird, s.url(), true));
  EXPECT_EQ(s.LastQuery(), "bld=1&fw=X&no_cal=true&op=bird&sn=00000001&");

  s.Reply("ok\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "X", "1", bird, s.url(), false));
  EXPECT_EQ(bird, "") << "cleared before the request";
  bird = "stale";
  s.Reply("nope\nYmlyZA==\n");
  EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "X", "1", bird, s.url(), false));
  EXPECT_EQ(bird, "");
}

TEST(UpdateServerRequest, BuildListFirstEntryWins) {
  CannedServer s;
  s.Reply("ok\n1200;2.10.4\n1300;2.11.5\n1300;2.11.6\nxx\n1400\n1500;2.9.0;extra\r\n");
  BuildMap builds = {{"9", "old"}};
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, s.url()));
  EXPECT_EQ(s.LastQuery(), "op=builds&sn=40F5849A&");
  const BuildMap expected = {{"1200", "2.10.4"}, {"1300", "2.11.5"}, {"1400", ""}, {"1500", "2.9.0"}};
  EXPECT_EQ(builds, expected);

  s.Reply("ok\n");
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, s.url()));
  EXPECT_TRUE(builds.empty());
  s.Reply("error\n1;1.1.1\n");
  builds = {{"9", "old"}};
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, s.url()));
  EXPECT_TRUE(builds.empty());
}

// The server's reply parsed while it arrives: at most 100,000 builds are
// collected, in reply order, and the rest of the reply is not read.
TEST(UpdateServerRequest, BuildListStopsCollectingPastTheLimit) {
  const size_t limit = UpdateServerRequest::kMaxBuildListEntries;
  struct Case {
    size_t entries;
    bool truncated;
  };
  for (const Case c : {Case{limit + 50000, true}, Case{limit, false}}) {
    std::string body = "ok\n";
    for (size_t i = 0; i < c.entries; ++i) body += std::to_string(i) + ";1.0.0\n";
    body += "0;9.9.9\n7;dup";  // known builds, the last line without LF
    CannedServer s;
    s.Reply(body);
    BuildMap builds;
    bool truncated = !c.truncated;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, s.url(), &truncated));
    EXPECT_EQ(truncated, c.truncated);
    EXPECT_EQ(builds.size(), limit);
    EXPECT_EQ(builds.count(std::to_string(limit - 1)), 1u);
    EXPECT_EQ(builds["7"], "1.0.0");
  }
}

TEST(UpdateServerRequest, RecoveryInfoReadsSerialInHexAndBuildByPrefix) {
  CannedServer s;
  const uint32_t fp[4] = {1, 2, 3, 4};
  uint32_t serial = 0, build = 0;
  s.Reply("ok\n40F5849A\n010\n");
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, s.url()));
  EXPECT_EQ(s.LastQuery(), "brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(build, 8u);
  s.Reply("ok\n1\n0x10\n");
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, s.url()));
  EXPECT_EQ(build, 16u);
  s.Reply("ok\n1\n10\n");
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, s.url()));
  EXPECT_EQ(build, 10u);
  // Beyond 32 bits is refused on every host, not cut to the low bits; an
  // "ok" without the serial number and build, or serial number 0, names no
  // device to recover. The outputs are left as they were.
  for (const char* reply : {"ok\n140F5849A\n1\n", "ok\n1\n4294968530\n", "ok\n1\n0x100000000\n",
                            "ok\n", "ok\n2\n", "ok\n0\n5\n", "ok\nzz\n5\n"}) {
    s.Reply(reply);
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, s.url())) << reply;
    EXPECT_EQ(serial, 1u);
    EXPECT_EQ(build, 10u);
  }
}

TEST(UpdateServerRequest, TokenNeedsThreeParts) {
  CannedServer s;
  std::string token = "none";
  s.Reply("ok\naaa.bbb.ccc\r\n");
  EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, s.url()));
  EXPECT_EQ(s.LastQuery(), "json=false&op=ent_jwt&sn=40F5849A&");
  EXPECT_EQ(token, "aaa.bbb.ccc");
  token = "none";
  for (const char* reply : {"ok\naaa.bbb\n", "ok\n", "ok\nab\n", "ok\na.bbb.ccc\n", "ok\naaa..ccc\n",
                            "ok\naaa.bbb.c\n", "bad\naaa.bbb.ccc\n"}) {
    s.Reply(reply);
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, token, s.url())) << reply;
    EXPECT_EQ(token, "none");
  }
}

TEST(UpdateServerRequest, SplitVersion) {
  using V = std::vector<std::string>;
  EXPECT_EQ(UpdateServerRequest::SplitKorvexVersion("2.11.5"), (V{"2", "11", "5"}));
  EXPECT_EQ(UpdateServerRequest::SplitKorvexVersion("2.11"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitKorvexVersion("2.11.5.1"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitKorvexVersion(""), V{});
  EXPECT_EQ(UpdateServerRequest::SplitKorvexVersion(".."), (V{"", "", ""}));
}

TEST(UpdateServerRequest, SortNewestFirstWithOddVersionsLast) {
  const BuildMap builds = {{"1200", "2.10.4"}, {"1300", "2.11.5"}, {"1100", "2.9.12"},
                           {"0900", "bad"},    {"0950", "x.y.z"},  {"1250", "2.10.4"},
                           {"1500", "3.0.0"},  {"0990", "99999999999.1.1"}};
  const BuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  std::vector<std::string> order;
  for (const auto& p : sorted) order.push_back(p.first);
  EXPECT_EQ(order, (std::vector<std::string>{"1500", "1300", "1200", "1250", "1100", "0900",
                                             "0950", "0990"}));
  EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(UpdateServerRequest, SortKeepsLowEightBitsOfEachPart) {
  // 2.256.0 compares as 2.0.0.
  const BuildList sorted =
      UpdateServerRequest::SortBuildsByVersion({{"1", "2.256.0"}, {"2", "2.1.0"}});
  EXPECT_EQ(sorted[0].first, "2");
}

}  // namespace

namespace {

class RecordingSink : public BuildTextSink {
 public:
  void Begin(uint64_t announcedBytes) override {
    ++begins;
    announced = announcedBytes;
  }
  void Write(const char* data, size_t count) override { text.append(data, count); }
  int begins = 0;
  uint64_t announced = 0;
  std::string text;
};

TEST(UpdateServerRequest, GetBuildHandsTheSecondLineToASink) {
  CannedServer s;
  struct Case {
    const char* body;
    int status;
    bool ok;
    const char* text;
  };
  const Case cases[] = {
      {"ok\nYmlyZA==\nrest\n", 200, true, "YmlyZA=="},
      {"\n\nok\n\n\nYmlyZA==\r\nrest", 200, true, "YmlyZA==\r"},
      {"ok", 200, true, ""},
      {"ok\n", 200, true, ""},
      {"okay\nABCD", 200, true, "ABCD"},
      {"nope\nYmlyZA==\n", 200, false, ""},
      {"o\nk\n", 200, false, ""},
      {"", 200, false, ""},
      {"ok\nYmlyZA==\n", 500, false, ""},
  };
  for (const Case& c : cases) {
    s.Reply(c.body, c.status);
    RecordingSink sink;
    EXPECT_EQ(UpdateServerRequest::GetBuild(7, "X", "12", sink, s.url(), false), c.ok) << c.body;
    EXPECT_EQ(sink.text, c.text) << c.body;
    EXPECT_LE(sink.begins, 1);
    std::string whole;
    EXPECT_EQ(UpdateServerRequest::GetBuild(7, "X", "12", whole, s.url(), false), c.ok) << c.body;
    EXPECT_EQ(whole, c.text) << "the same as the text form: " << c.body;
  }
  EXPECT_EQ(s.LastQuery(), "bld=12&fw=X&no_cal=false&op=bird&sn=00000007&");
}

TEST(UpdateServerRequest, GetBuildSinkSeesLinesSplitAcrossPieces) {
  const std::vector<std::string> pieces = {"o", "k", "\n", "\n", "Ymly", "ZA", "==", "\nmore\n"};
  LocalHTTPServer server([&pieces](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&pieces](size_t offset, httplib::DataSink& out) {
      if (offset == 0) {
        for (const std::string& p : pieces) out.write(p.data(), p.size());
      }
      out.done();
      return true;
    });
  });
  RecordingSink sink;
  const std::string url = server.url();
  EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "X", "1", sink, url.c_str(), false));
  EXPECT_EQ(sink.text, "YmlyZA==");
  EXPECT_EQ(sink.begins, 1);
  EXPECT_EQ(sink.announced, 0u) << "a chunked reply announces no size";
}

}  // namespace

namespace {

// A transport that answers from memory, as fuzzing uses: the request it
// was asked for and the body it gives.
std::string gAsked;
HTTPResponse FromMemory(const std::string& base, const std::map<std::string, std::string>& params,
                        HTTPBodySink* sink) {
  gAsked = HTTPRequest::BuildURL(base, params);
  HTTPResponse response(gAsked);
  response.set_status(200);
  const std::string body = "ok\n1207\nKX-FW\n";
  if (sink != nullptr) sink->Write(body.data(), body.size());
  else response.process(body.data(), body.size());
  return response;
}

TEST(UpdateServerRequest, ReplacedTransportAnswersEveryRequestUntilRestored) {
  UpdateServerRequest::SetTransport(FromMemory);
  std::string build, id;
  const bool answered = UpdateServerRequest::QueryBuild(0x40F5849A, build, id, "http://nowhere.invalid/u");
  UpdateServerRequest::SetTransport(nullptr);
  EXPECT_TRUE(answered);
  EXPECT_EQ(gAsked, "http://nowhere.invalid/u?op=qu&sn=40F5849A&");
  EXPECT_EQ(build, "1207");
  EXPECT_EQ(id, "KX-FW");
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, id, "http://nowhere.invalid/u"));
}

}  // namespace

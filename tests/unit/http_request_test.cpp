#include "server/HTTPRequest.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/local_http_server.h"
#include "tests/unit/test_support.h"

namespace {

using testsupport::LocalHTTPServer;

// Restores the default limits and CA variables after each test.
class HTTPRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = HTTPRequest::GetLimits();
    unsetenv("CURL_CA_BUNDLE");
    unsetenv("SSL_CERT_FILE");
    unsetenv("SSL_CERT_DIR");
  }
  void TearDown() override {
    HTTPRequest::SetLimits(saved_);
    unsetenv("CURL_CA_BUNDLE");
    unsetenv("SSL_CERT_FILE");
  }
  HTTPLimits saved_;
};

// A port on which nothing listens: bound, then released.
int ClosedPort() {
  int port;
  {
    LocalHTTPServer probe([](const httplib::Request&, httplib::Response&) {});
    port = probe.port();
  }
  return port;
}

TEST_F(HTTPRequestTest, BuildsQueryInKeyOrderWithTrailingAmpersand) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"rv", "2"}, {"op", "hi"}}),
            "http://h/cgi/u?op=hi&rv=2&");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/x", {{"fp", "1 2"}}), "http://h/x?fp=1%202&")
      << "values travel percent-encoded";
}

TEST_F(HTTPRequestTest, QueryValuesArriveExactlyAsGiven) {
  // Firmware identifiers are the server's own text and may hold any of these.
  const std::vector<std::string> values = {"KX+A", "a&op=x", "k=v", "100%", "two words",
                                           "%20", "+&=% ~-._", "\xC3\xA9\x01"};
  std::mutex mutex;
  std::vector<std::string> received;
  LocalHTTPServer server([&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(mutex);
    received.push_back(req.get_param_value("v") + "|" + req.get_param_value("op"));
    res.set_content("ok\n", "text/plain");
  });
  for (const std::string& v : values) {
    EXPECT_EQ(HTTPRequest::GET(server.url(), {{"op", "t"}, {"v", v}}).get_status(), 200);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(received.back(), v + "|t") << v;
  }
}

TEST_F(HTTPRequestTest, ReturnsBodyAndStatusWithRequestText) {
  LocalHTTPServer server([](const httplib::Request& req, httplib::Response& res) {
    res.set_content("ok\nop=" + req.get_param_value("op") + "\n", "text/plain");
  });
  HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_STREQ(r.get_response(), "ok\nop=hi\n");
  EXPECT_EQ(std::string(r.get_request()), server.url() + "?op=hi&rv=2&");
  ASSERT_EQ(server.targets().size(), 1u);
  EXPECT_EQ(server.targets()[0], "/cgi/u?op=hi&rv=2&");
}

TEST_F(HTTPRequestTest, ErrorStatusIsANormalReturn) {
  LocalHTTPServer server([](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("broken", "text/plain");
  });
  HTTPResponse r = HTTPRequest::GET(server.url(), {});
  EXPECT_EQ(r.get_status(), 500);
  EXPECT_STREQ(r.get_response(), "broken");
}

TEST_F(HTTPRequestTest, BodyInManyPiecesArrivesWholeAndInOrder) {
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += std::to_string(i) + ",";
  LocalHTTPServer server([expected](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [expected](size_t offset, httplib::DataSink& sink) {
      if (offset >= expected.size()) {
        sink.done();
        return true;
      }
      const size_t n = std::min<size_t>(777, expected.size() - offset);
      sink.write(expected.data() + offset, n);
      return true;
    });
  });
  EXPECT_EQ(HTTPRequest::GET(server.url(), {}).body(), expected);
}

TEST_F(HTTPRequestTest, NoServerThrowsWithLibcurlText) {
  const std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/cgi/u";
  try {
    HTTPRequest::GET(url, {{"op", "hi"}});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    // libcurl's text first, then the system's cause.
    EXPECT_EQ(std::string(e.what()).rfind("Couldn't connect to server: Connection refused", 0), 0u)
        << e.what();
  }
}

TEST_F(HTTPRequestTest, OnlyHTTPSchemes) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.join("secret"), "ok\n");
  EXPECT_THROW(HTTPRequest::GET("file://" + dir.join("secret"), {}), std::runtime_error);
}

TEST_F(HTTPRequestTest, BodyOverTheCapIsRefused) {
  HTTPLimits limits;
  limits.maxBodyBytes = 1000;
  HTTPRequest::SetLimits(limits);
  const std::string big(5000, 'x');
  // Once with a declared length, once chunked without one.
  LocalHTTPServer declared([big](const httplib::Request&, httplib::Response& res) {
    res.set_content(big, "text/plain");
  });
  EXPECT_THROW(HTTPRequest::GET(declared.url(), {}), std::runtime_error);
  LocalHTTPServer chunked([big](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [big](size_t offset, httplib::DataSink& sink) {
      if (offset >= big.size()) {
        sink.done();
        return true;
      }
      sink.write(big.data() + offset, 100);
      return true;
    });
  });
  try {
    HTTPRequest::GET(chunked.url(), {});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("1000"), std::string::npos) << e.what();
  }
  limits.maxBodyBytes = 5000;
  HTTPRequest::SetLimits(limits);
  EXPECT_EQ(HTTPRequest::GET(declared.url(), {}).body().size(), 5000u) << "exactly the cap passes";
}

TEST_F(HTTPRequestTest, StalledBodyIsAbandoned) {
  HTTPLimits limits;
  limits.lowSpeedSeconds = 1;
  HTTPRequest::SetLimits(limits);
  LocalHTTPServer* self = nullptr;
  LocalHTTPServer server([&self](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "text/plain",
                             [&self](size_t offset, size_t, httplib::DataSink& sink) {
                               if (offset == 0) {
                                 sink.write("ok\n", 3);
                                 return true;
                               }
                               // Never send the rest; give up when the test ends.
                               for (int i = 0; i < 200 && !self->stopping(); ++i) {
                                 std::this_thread::sleep_for(std::chrono::milliseconds(50));
                               }
                               return false;
                             });
  });
  self = &server;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(HTTPRequest::GET(server.url(), {}), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
}

// A server that keeps the connection alive with a byte every 100 ms: far
// above the stall rule, far below the minimum average rate. It sends 40
// bytes in all (4 s), so the test ends either way.
TEST_F(HTTPRequestTest, DripBelowTheMinimumRateIsAbandoned) {
  HTTPLimits limits;
  limits.rateWindowSeconds = 1;
  limits.minAverageBytesPerSecond = 1024;
  HTTPRequest::SetLimits(limits);
  LocalHTTPServer* self = nullptr;
  LocalHTTPServer server([&self](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(40, "text/plain", [&self](size_t, size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return !self->stopping() && sink.write("x", 1);
    });
  });
  self = &server;
  try {
    HTTPRequest::GET(server.url(), {});
    FAIL() << "a drip was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("1024 bytes per second"), std::string::npos) << e.what();
  }
}

class HTTPSRequestTest : public HTTPRequestTest {
 protected:
  void SetUp() override {
    HTTPRequestTest::SetUp();
    ASSERT_TRUE(testsupport::MakeSelfSignedCertificate(dir_.join("cert.pem"), dir_.join("key.pem")));
  }
  testsupport::TempDir dir_;
};

TEST_F(HTTPSRequestTest, UntrustedCertificateIsRefused) {
  LocalHTTPServer server([](const httplib::Request&, httplib::Response& res) {
                           res.set_content("ok\n", "text/plain");
                         },
                         dir_.join("cert.pem"), dir_.join("key.pem"));
  try {
    HTTPRequest::GET(server.url(), {{"op", "hi"}});
    FAIL() << "an unverified server was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
  }
}

TEST_F(HTTPSRequestTest, CertificateTrustedThroughCABundleVariables) {
  LocalHTTPServer server([](const httplib::Request&, httplib::Response& res) {
                           res.set_content("ok\n", "text/plain");
                         },
                         dir_.join("cert.pem"), dir_.join("key.pem"));
  setenv("SSL_CERT_FILE", dir_.join("cert.pem").c_str(), 1);
  EXPECT_STREQ(HTTPRequest::GET(server.url(), {{"op", "hi"}}).get_response(), "ok\n");
  unsetenv("SSL_CERT_FILE");
  setenv("CURL_CA_BUNDLE", dir_.join("cert.pem").c_str(), 1);
  EXPECT_STREQ(HTTPRequest::GET(server.url(), {{"op", "hi"}}).get_response(), "ok\n");
}

TEST_F(HTTPSRequestTest, HostNameMustMatchTheCertificate) {
  LocalHTTPServer server([](const httplib::Request&, httplib::Response& res) {
                           res.set_content("ok\n", "text/plain");
                         },
                         dir_.join("cert.pem"), dir_.join("key.pem"));
  setenv("CURL_CA_BUNDLE", dir_.join("cert.pem").c_str(), 1);
  // Same server, reached under a name the certificate does not carry.
  const std::string url = "https://localhost:" + std::to_string(server.port()) + "/cgi/u";
  EXPECT_THROW(HTTPRequest::GET(url, {}), std::runtime_error);
}

}  // namespace

namespace {

class CollectingSink : public HTTPBodySink {
 public:
  void Begin(uint64_t announcedBytes) override {
    ++begins;
    announced = announcedBytes;
  }
  void Write(const char* data, size_t count) override { body.append(data, count); }
  int begins = 0;
  uint64_t announced = 0;
  std::string body;
};

class ThrowingSink : public HTTPBodySink {
 public:
  void Write(const char*, size_t) override { throw std::bad_alloc(); }
};

TEST_F(HTTPRequestTest, SinkTakesTheBodyOfA200Reply) {
  const std::string big(300000, 'b');
  LocalHTTPServer server([big](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("missing")) {
      res.status = 404;
      res.set_content("not here", "text/plain");
      return;
    }
    res.set_content(big, "text/plain");
  });
  CollectingSink sink;
  HTTPResponse response = HTTPRequest::GET(server.url(), {}, &sink);
  EXPECT_EQ(response.get_status(), 200);
  EXPECT_EQ(response.body(), "") << "the body went to the sink";
  EXPECT_EQ(sink.body, big);
  EXPECT_EQ(sink.begins, 1);
  EXPECT_EQ(sink.announced, big.size());

  CollectingSink untouched;
  HTTPResponse missing = HTTPRequest::GET(server.url(), {{"missing", "1"}}, &untouched);
  EXPECT_EQ(missing.get_status(), 404);
  EXPECT_EQ(missing.body(), "not here") << "any other status keeps its body for the log";
  EXPECT_EQ(untouched.begins, 0);
  EXPECT_EQ(untouched.body, "");
}

TEST_F(HTTPRequestTest, SinkBodyIsCappedAndASinkFailureIsAnError) {
  HTTPLimits limits;
  limits.maxBodyBytes = 1000;
  HTTPRequest::SetLimits(limits);
  const std::string big(5000, 'x');
  LocalHTTPServer chunked([big](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [big](size_t offset, httplib::DataSink& sink) {
      if (offset >= big.size()) {
        sink.done();
        return true;
      }
      sink.write(big.data() + offset, 100);
      return true;
    });
  });
  CollectingSink sink;
  EXPECT_THROW(HTTPRequest::GET(chunked.url(), {}, &sink), std::runtime_error);
  EXPECT_LE(sink.body.size(), 1000u);

  HTTPRequest::SetLimits(saved_);
  ThrowingSink failing;
  EXPECT_THROW(HTTPRequest::GET(chunked.url(), {}, &failing), std::runtime_error);
}

}  // namespace

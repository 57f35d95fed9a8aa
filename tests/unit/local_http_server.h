// A real HTTP(S) server on 127.0.0.1 with a free port, answering from a
// test's handler on its own thread; stopped and joined on destruction.
#ifndef UPDATER_TEST_LOCAL_HTTP_SERVER_H
#define UPDATER_TEST_LOCAL_HTTP_SERVER_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace testsupport {

class LocalHTTPServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Plain HTTP, or HTTPS when a certificate and key are given.
  explicit LocalHTTPServer(Handler handler, const std::string& certPath = "",
                           const std::string& keyPath = "");
  ~LocalHTTPServer();
  LocalHTTPServer(const LocalHTTPServer&) = delete;
  LocalHTTPServer& operator=(const LocalHTTPServer&) = delete;

  // scheme://127.0.0.1:port/cgi/u
  std::string url() const;
  int port() const { return port_; }
  // The request targets received so far (path and query).
  std::vector<std::string> targets() const;
  // Set when the server is being torn down; slow handlers poll it.
  bool stopping() const { return stopping_; }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_;
  int port_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};

// Makes a self-signed certificate for 127.0.0.1 (subject CN and IP
// subjectAltName) with the openssl command; false when that fails.
bool MakeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath);

}  // namespace testsupport

#endif

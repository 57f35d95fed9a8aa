#include "tests/unit/local_http_server.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

LocalHTTPServer::LocalHTTPServer(Handler handler, const std::string& certPath,
                                 const std::string& keyPath) {
  if (certPath.empty()) {
    server_.reset(new httplib::Server);
    scheme_ = "http";
  } else {
    server_.reset(new httplib::SSLServer(certPath.c_str(), keyPath.c_str()));
    scheme_ = "https";
  }
  if (!server_->is_valid()) throw std::runtime_error("test server not valid");
  server_->Get("/cgi/u", [this, handler](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(req.target);
    }
    handler(req, res);
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server cannot bind");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is only heard once the server runs.
  for (int i = 0; i < 500 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

LocalHTTPServer::~LocalHTTPServer() {
  stopping_ = true;
  server_->stop();
  thread_.join();
}

std::string LocalHTTPServer::url() const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> LocalHTTPServer::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

bool MakeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      keyPath + "' -out '" + certPath + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace testsupport

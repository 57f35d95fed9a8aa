// One HTTP GET to the update server with libcurl's easy interface. The reply
// is read whole into memory, or handed on piece by piece to a sink.
#ifndef UPDATER_HTTP_REQUEST_H
#define UPDATER_HTTP_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class HTTPResponse {
 public:
  explicit HTTPResponse(std::string request) : request_(std::move(request)) {}

  const char* get_request() const { return request_.c_str(); }
  const char* get_response() const { return response_.c_str(); }
  const std::string& body() const { return response_; }
  // Moves the body out; the response is left with an empty body.
  std::string take_response() { return std::move(response_); }
  long get_status() const { return status_; }
  void set_status(long status) { status_ = status; }
  void process(const char* data, size_t count) { response_.append(data, count); }
  void reserve(size_t count) { response_.reserve(count); }

 private:
  std::string request_;
  long status_ = 0;
  std::string response_;
};

// Takes the body of a successful (status 200) reply as it arrives instead
// of the body being kept in the response. Called on the thread performing
// the request.
class HTTPBodySink {
 public:
  virtual ~HTTPBodySink() = default;
  // Once, before the first Write, with the size the server announced
  // (0 when it announced none).
  virtual void Begin(uint64_t announcedBytes) { (void)announcedBytes; }
  virtual void Write(const char* data, size_t count) = 0;
  // True once the sink wants nothing more: the transfer then ends without
  // reading the rest of the body, and GET returns normally.
  virtual bool Full() const { return false; }
};

// Guards against a server that hangs, drips or floods.
struct HTTPLimits {
  long connectTimeoutSeconds = 15;
  // Abort when fewer than lowSpeedBytes per second arrive for
  // lowSpeedSeconds in a row.
  long lowSpeedBytes = 1;
  long lowSpeedSeconds = 60;
  // Abort unless every rateWindowSeconds of the transfer bring at least
  // minAverageBytesPerSecond on average, so that a server sending a byte
  // now and then cannot hold a request for ever (0: no minimum).
  uint32_t minAverageBytesPerSecond = 1024;
  long rateWindowSeconds = 60;
  uint64_t maxBodyBytes = uint64_t(64) << 20;
};

class HTTPRequest {
 public:
  using Parameters = std::map<std::string, std::string>;

  // base?key=value&key=value& in map order; the base alone for no
  // parameters. Keys and values are percent-encoded: every byte but
  // A-Z a-z 0-9 - . _ ~ travels as %XX.
  static std::string BuildURL(const std::string& base, const Parameters& params);

  // Performs the request. Any HTTP status is a normal return. Throws
  // std::runtime_error with libcurl's text (its error message, then its
  // detail in parentheses) when the transfer fails: no
  // connection, a certificate that does not verify, a time-out, a transfer
  // below the minimum rate, or a body over the size limit.
  //
  // The server's certificate chain and host name are verified. A private
  // CA is taken from CURL_CA_BUNDLE or SSL_CERT_FILE (a PEM bundle) and
  // SSL_CERT_DIR (a hashed directory) when set.
  static HTTPResponse GET(const std::string& base, const Parameters& params);
  // The same with a sink: the body of a reply with status 200 goes to the
  // sink as it arrives and the response body stays empty; a reply with any
  // other status is kept in the response as usual. The size limit applies
  // to what the sink is given.
  static HTTPResponse GET(const std::string& base, const Parameters& params, HTTPBodySink* sink);

  // The limits every later request uses. Read when the defaults are first
  // used, the environment variable UPDATER_HTTP_STALL_TIMEOUT (seconds,
  // 1-3600) sets both the stall time and the window of the minimum rate,
  // and UPDATER_HTTP_MIN_RATE (bytes per second, 0-1073741824, 0 for no
  // minimum) the minimum average rate.
  static HTTPLimits GetLimits();
  static void SetLimits(const HTTPLimits& limits);
};

#endif

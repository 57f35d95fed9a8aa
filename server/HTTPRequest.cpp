#include "server/HTTPRequest.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include <curl/curl.h>

#include "log/Log.h"

namespace {

// libcurl's receive buffer for replies that go to a body sink.
const long kSinkBufferSize = 128L * 1024L;

std::mutex g_limitsMutex;
bool g_limitsSet = false;
HTTPLimits g_limits;

// The decimal value of an environment variable when it is set and lies in
// [low, high].
bool EnvNumber(const char* name, long long low, long long high, long long& value) {
  const char* text = std::getenv(name);
  if (!text) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < low || v > high) return false;
  value = v;
  return true;
}

HTTPLimits DefaultLimits() {
  HTTPLimits limits;
  long long value = 0;
  if (EnvNumber("UPDATER_HTTP_STALL_TIMEOUT", 1, 3600, value)) {
    limits.lowSpeedSeconds = static_cast<long>(value);
    limits.rateWindowSeconds = static_cast<long>(value);
  }
  if (EnvNumber("UPDATER_HTTP_MIN_RATE", 0, 1LL << 30, value)) {
    limits.minAverageBytesPerSecond = static_cast<uint32_t>(value);
  }
  return limits;
}

using Clock = std::chrono::steady_clock;

struct Transfer {
  CURL* handle;
  HTTPResponse* response;
  uint64_t maxBody;
  HTTPBodySink* sink;
  uint64_t received = 0;
  bool started = false;
  bool streaming = false;
  bool overflow = false;
  bool sinkFailed = false;
  bool sinkFull = false;  // the sink took all it wanted
  // Minimum average rate: the bytes each window must bring, the start of
  // the current window and what had arrived by then.
  uint64_t windowBytes = 0;
  Clock::duration window{};
  Clock::time_point windowStart{};
  uint64_t receivedAtWindowStart = 0;
  bool tooSlow = false;
};

// The size the server announced, 0 when none (or one over the limit).
uint64_t AnnouncedSize(const Transfer& t) {
  curl_off_t announced = -1;
  if (curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced > 0 && static_cast<uint64_t>(announced) <= t.maxBody) {
    return static_cast<uint64_t>(announced);
  }
  return 0;
}

size_t _rcv_data(char* data, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
           static_cast<int>(size), static_cast<int>(count),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(t->response)),
           static_cast<int>(n < 100 ? n : 100), data);
  if (t->received + n > t->maxBody) {
    t->overflow = true;
    return 0;  // makes libcurl stop with a write error
  }
  t->received += n;
  // No exception may cross libcurl: a reply that cannot be kept (out of
  // memory) ends the transfer.
  try {
    if (!t->started) {
      t->started = true;
      const uint64_t announced = AnnouncedSize(*t);
      long status = 0;
      if (t->sink && curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
          status == 200) {
        t->streaming = true;
        t->sink->Begin(announced);
      } else if (announced > 0) {
        // Grow once to the announced size rather than by repeated doubling.
        t->response->reserve(static_cast<size_t>(announced));
      }
    }
    if (t->streaming) {
      t->sink->Write(data, n);
      if (t->sink->Full()) {
        t->sinkFull = true;
        return 0;  // stops the transfer; GET returns normally
      }
    } else {
      t->response->process(data, n);
    }
  } catch (...) {
    t->sinkFailed = true;
    return 0;
  }
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
  return n;
}

// Called by libcurl at least once a second while the transfer runs: ends it
// when a whole window has passed that brought less than the minimum.
int _check_rate(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(user);
  if (t->windowBytes == 0) return 0;
  const Clock::time_point now = Clock::now();
  if (now - t->windowStart < t->window) return 0;
  if (t->received - t->receivedAtWindowStart < t->windowBytes) {
    t->tooSlow = true;
    return 1;  // aborts the transfer
  }
  t->windowStart = now;
  t->receivedAtWindowStart = t->received;
  return 0;
}

// Releases the easy handle on every path out of GET.
// Requests may run on several threads at once (a download asks the server
// several things together): libcurl's global state is set up once, before
// the first handle, rather than by whichever curl_easy_init comes first.
struct CurlHandle {
  static bool GlobalReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
  }
  CURL* handle = GlobalReady() ? curl_easy_init() : nullptr;
  ~CurlHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
};

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

}  // namespace

HTTPLimits HTTPRequest::GetLimits() {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  if (!g_limitsSet) {
    g_limits = DefaultLimits();
    g_limitsSet = true;
  }
  return g_limits;
}

void HTTPRequest::SetLimits(const HTTPLimits& limits) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  g_limits = limits;
  g_limitsSet = true;
}

namespace {

struct CurlText {
  char* text;
  ~CurlText() { curl_free(text); }
};

// text percent-encoded; libcurl's encoder needs no handle.
void AppendEscaped(std::string& url, const std::string& text) {
  if (text.size() > size_t(INT_MAX)) throw std::length_error("Request parameter too long");
  CurlText escaped{curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()))};
  if (!escaped.text) throw std::bad_alloc();
  url += escaped.text;
}

}  // namespace

std::string HTTPRequest::BuildURL(const std::string& base, const Parameters& params) {
  std::string url = base;
  if (!params.empty()) {
    url += '?';
    for (const auto& p : params) {
      AppendEscaped(url, p.first);
      url += '=';
      AppendEscaped(url, p.second);
      url += '&';
    }
  }
  return url;
}

HTTPResponse HTTPRequest::GET(const std::string& base, const Parameters& params) {
  return GET(base, params, nullptr);
}

HTTPResponse HTTPRequest::GET(const std::string& base, const Parameters& params,
                              HTTPBodySink* sink) {
  CurlHandle curl;
  HTTPResponse response(BuildURL(base, params));
  if (!curl.handle) throw std::runtime_error("Could not create curl instance");

  const HTTPLimits limits = GetLimits();
  Transfer transfer{curl.handle, &response, limits.maxBodyBytes, sink};
  if (limits.rateWindowSeconds > 0) {
    transfer.windowBytes = uint64_t(limits.minAverageBytesPerSecond) * uint64_t(limits.rateWindowSeconds);
    transfer.window = std::chrono::seconds(limits.rateWindowSeconds);
  }
  CURL* h = curl.handle;

  // libcurl's own account of a failure: which address was refused, which
  // name did not resolve, what the TLS layer objected to.
  char errorText[CURL_ERROR_SIZE] = {};
  CURLcode rc = curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, response.get_request());
  // The chain and the host name are both verified: firmware must come from
  // the server named in the URL and nowhere else.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (rc == CURLE_OK) {
    const char* bundle = NonEmptyEnv("CURL_CA_BUNDLE");
    if (!bundle) bundle = NonEmptyEnv("SSL_CERT_FILE");
    if (bundle) rc = curl_easy_setopt(h, CURLOPT_CAINFO, bundle);
  }
  if (rc == CURLE_OK) {
    if (const char* dir = NonEmptyEnv("SSL_CERT_DIR")) rc = curl_easy_setopt(h, CURLOPT_CAPATH, dir);
  }
  // The server is reached over HTTP(S) only: a -u of file:// or another
  // scheme must not make the updater read or send elsewhere. Redirects are
  // not followed; should that change, they keep to the same schemes.
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85 has the text form, and deprecates the mask
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  if (rc == CURLE_OK) {
    rc = curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  }
#endif
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
  if (rc == CURLE_OK) {
    rc = curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                          static_cast<curl_off_t>(limits.maxBodyBytes));
  }
  // A body sink takes large replies (firmware): read them in larger pieces
  // than libcurl's 16 KiB default, as the curl tool does.
  if (rc == CURLE_OK && sink) rc = curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kSinkBufferSize);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, _check_rate);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
    transfer.windowStart = Clock::now();
    rc = curl_easy_perform(h);
  }
  if (rc == CURLE_WRITE_ERROR && transfer.sinkFull) rc = CURLE_OK;
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  if (transfer.overflow || rc == CURLE_FILESIZE_EXCEEDED) {
    throw std::runtime_error("Reply larger than " + std::to_string(limits.maxBodyBytes) +
                             " bytes refused");
  }
  if (transfer.sinkFailed) throw std::runtime_error("Could not keep the received data");
  if (transfer.tooSlow && transfer.received == 0) {
    // Not one byte of the reply came: a server that does not answer.
    throw std::runtime_error("Timeout was reached: nothing arrived within " +
                             std::to_string(limits.rateWindowSeconds) + " seconds");
  }
  if (transfer.tooSlow) {
    throw std::runtime_error("Transfer abandoned: less than " +
                             std::to_string(limits.minAverageBytesPerSecond) +
                             " bytes per second on average over " +
                             std::to_string(limits.rateWindowSeconds) + " seconds");
  }
  if (rc != CURLE_OK) {
    std::string text = curl_easy_strerror(rc);
    // The system's word for a failed connect ("Connection refused"), which
    // libcurl's texts do not always carry.
    long osError = 0;
    if (curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osError) == CURLE_OK && osError != 0)
      text += std::string(": ") + std::strerror(int(osError));
    errorText[CURL_ERROR_SIZE - 1] = '\0';
    if (errorText[0] != '\0' && text != errorText) text += std::string(" (") + errorText + ")";
    throw std::runtime_error(text);
  }
  response.set_status(status);
  return response;
}

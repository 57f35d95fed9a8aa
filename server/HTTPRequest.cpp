#include "server/HTTPRequest.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include <curl/curl.h>

#include "app/Log.h"

namespace {

std::mutex g_limitsMutex;
bool g_limitsSet = false;
HTTPLimits g_limits;

HTTPLimits DefaultLimits() {
  HTTPLimits limits;
  if (const char* text = std::getenv("UPDATER_HTTP_STALL_TIMEOUT")) {
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && seconds >= 1 && seconds <= 3600) {
      limits.lowSpeedSeconds = seconds;
    }
  }
  return limits;
}

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

// Releases the easy handle on every path out of GET.
struct CurlHandle {
  CURL* handle = curl_easy_init();
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

std::string HTTPRequest::BuildURL(const std::string& base, const Parameters& params) {
  std::string url = base;
  if (!params.empty()) {
    url += '?';
    for (const auto& p : params) {
      url += p.first;
      url += '=';
      url += p.second;
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
  CURL* h = curl.handle;

  CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
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
  // scheme must not make the updater read or send elsewhere.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
  if (rc == CURLE_OK) {
    rc = curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                          static_cast<curl_off_t>(limits.maxBodyBytes));
  }
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
    rc = curl_easy_perform(h);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  if (transfer.overflow || rc == CURLE_FILESIZE_EXCEEDED) {
    throw std::runtime_error("Reply larger than " + std::to_string(limits.maxBodyBytes) +
                             " bytes refused");
  }
  if (transfer.sinkFailed) throw std::runtime_error("Could not keep the received data");
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
  response.set_status(status);
  return response;
}

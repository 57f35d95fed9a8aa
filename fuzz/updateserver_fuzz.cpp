// Update server replies: build lists, builds (the BIRD text), build
// queries, recovery information and device tokens. Every request of the
// request set is answered with the input's body (status and the size of
// the pieces it arrives in from the first byte) through a transport that
// serves it from memory, and what the readers make of it must keep their
// documented shape.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/Log.h"
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "fuzz/FuzzLog.h"

namespace {

const uint8_t* gBody = nullptr;
size_t gSize = 0;
long gStatus = 200;
size_t gPiece = 1;

HTTPResponse Serve(const std::string& base, const std::map<std::string, std::string>& params,
                   HTTPBodySink* sink) {
  HTTPResponse response(HTTPRequest::BuildURL(base, params));
  response.set_status(gStatus);
  const char* body = reinterpret_cast<const char*>(gBody);
  if (sink != nullptr && gStatus == 200) {
    sink->Begin(gSize);
    for (size_t at = 0; at < gSize && !sink->Full(); at += gPiece)
      sink->Write(body + at, gSize - at < gPiece ? gSize - at : gPiece);
  } else {
    response.process(body, gSize);
  }
  return response;
}

class CountingSink : public BuildTextSink {
 public:
  void Write(const char* text, size_t count) override {
    for (size_t i = 0; i < count; ++i)
      if (text[i] == '\n') std::abort();  // the text ends at its line's end
    total += count;
  }
  size_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogIntoNowhere();
  UpdateServerRequest::SetTransport(Serve);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  gStatus = (data[0] & 7) == 7 ? 404 : 200;
  gPiece = 1 + (data[0] >> 3) * 9u;
  gBody = data + 1;
  gSize = size - 1;
  const char* url = "http://updates.invalid/cgi/u";

  UpdateServerRequest::ping(url);

  std::string build = "keep", firmwareId = "keep";
  if (UpdateServerRequest::QueryBuild(0x1234ABCD, build, firmwareId, url)) {
    if (firmwareId.size() > 256 || firmwareId.find_first_of("\r\n") != std::string::npos ||
        build.find('\n') != std::string::npos) {
      std::abort();
    }
  }

  std::string bird;
  const bool gotBuild = UpdateServerRequest::GetBuild(0x1234ABCD, firmwareId, "7", bird, url, false);
  if ((!gotBuild && !bird.empty()) || bird.find('\n') != std::string::npos) std::abort();
  CountingSink sink;
  if (UpdateServerRequest::GetBuild(0x1234ABCD, firmwareId, "7", sink, url, true) != gotBuild ||
      (gotBuild && sink.total != bird.size())) {
    std::abort();
  }

  BuildMap builds;
  bool truncated = true;
  if (UpdateServerRequest::GetBuildList(0x1234ABCD, builds, url, &truncated)) {
    if (builds.size() > UpdateServerRequest::kMaxBuildListEntries) std::abort();
    const BuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    if (sorted.size() != builds.size()) std::abort();
    for (const auto& entry : sorted) {
      if (entry.first.empty() || entry.first.find_first_of(";\r\n") != std::string::npos ||
          builds.count(entry.first) == 0) {
        std::abort();
      }
      const std::vector<std::string> parts = UpdateServerRequest::SplitKorvexVersion(entry.second);
      if (!parts.empty() && parts.size() != 3) std::abort();
    }
  } else if (!builds.empty()) {
    std::abort();
  }

  const uint32_t fingerprint[4] = {1, 2, 3, 4};
  uint32_t serial = 0, fixBuild = 0;
  if (UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &fixBuild, url) && serial == 0)
    std::abort();

  std::string token;
  if (UpdateServerRequest::GetDeviceJWT(0x1234ABCD, token, url)) {
    const size_t dot1 = token.find('.');
    const size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
    // The token is not interpreted: any bytes but a line end, its
    // signature ending at a carriage return.
    if (dot2 == std::string::npos || dot1 < 2 || dot2 - dot1 < 3 || token.size() - dot2 < 3 ||
        token.find('\n') != std::string::npos ||
        token.find('\r', dot2) != std::string::npos) {
      std::abort();
    }
  }
  return 0;
}

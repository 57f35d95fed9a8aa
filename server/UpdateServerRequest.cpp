#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <tuple>

#include "common/aNumber.h"
#include "log/Log.h"
#include "server/HTTPRequest.h"

const char* const UpdateServerRequest::default_url = UPDATER_DEFAULT_SERVER_URL;

namespace {

UpdateServerRequest::Transport sTransport = nullptr;

// One non-empty line of a reply: offset and length inside the body.
struct Line {
  size_t pos;
  size_t len;
};

// The first maxLines non-empty lines of body.
std::vector<Line> SplitLines(const std::string& body, size_t maxLines) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < body.size() && lines.size() < maxLines) {
    size_t end = body.find('\n', pos);
    if (end == std::string::npos) end = body.size();
    if (end > pos) lines.push_back({pos, end - pos});
    pos = end + 1;
  }
  return lines;
}

std::string LineText(const std::string& body, const Line& line) {
  return body.substr(line.pos, line.len);
}

// The text of a line up to its first CR or LF.
std::string UpToCR(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

std::string SerialText(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// A reply body taken as it arrives rather than kept whole.
class StreamedReply : public HTTPBodySink {
 public:
  // After the transfer: the body's end also ends its last line.
  virtual void Finish() {}
  // The first non-empty line began with "ok".
  virtual bool Ok() const = 0;
};

// Splits a reply body as it arrives: the first non-empty line must begin
// with "ok"; the next non-empty line goes to the sink; the rest is dropped.
class ReplySplitter : public StreamedReply {
 public:
  explicit ReplySplitter(BuildTextSink& sink) : sink_(sink) {}

  void Begin(uint64_t announcedBytes) override { sink_.Begin(announcedBytes); }

  void Write(const char* data, size_t count) override {
    while (count > 0 && state_ != kDone) {
      if (state_ == kFirst) {
        const char c = *data++;
        --count;
        if (c != '\n') {
          if (firstLength_ < 2) first_[firstLength_] = c;
          ++firstLength_;
        } else if (firstLength_ > 0) {
          state_ = Ok() ? kGap : kDone;
        }
      } else if (state_ == kGap) {
        if (*data != '\n') {
          state_ = kPayload;
        } else {
          ++data;
          --count;
        }
      } else {
        const void* lf = std::memchr(data, '\n', count);
        const size_t n = lf ? size_t(static_cast<const char*>(lf) - data) : count;
        if (n > 0) sink_.Write(data, n);
        if (lf) state_ = kDone;
        data += n;
        count -= n;
      }
    }
  }

  bool Ok() const override { return firstLength_ >= 2 && first_[0] == 'o' && first_[1] == 'k'; }
  // Nothing after the payload line, or after a first line that refuses,
  // is read.
  bool Full() const override { return state_ == kDone; }

 private:
  enum State { kFirst, kGap, kPayload, kDone };
  BuildTextSink& sink_;
  State state_ = kFirst;
  char first_[2] = {0, 0};
  size_t firstLength_ = 0;
};

// Keeps the whole text.
class StringSink : public BuildTextSink {
 public:
  explicit StringSink(std::string& text) : text_(text) {}
  void Begin(uint64_t announcedBytes) override {
    if (announcedBytes > 0 && announcedBytes < uint64_t(text_.max_size())) {
      text_.reserve(static_cast<size_t>(announcedBytes));
    }
  }
  void Write(const char* text, size_t count) override { text_.append(text, count); }

 private:
  std::string& text_;
};

// Splits a reply body into its non-empty lines as it arrives and hands each
// line after the first to OnLine; the first must begin with "ok", else the
// rest is not read. Of a line only its first kMaxLineLength bytes are kept.
class LineSplitter : public StreamedReply {
 public:
  static constexpr size_t kMaxLineLength = 4096;

  void Write(const char* data, size_t count) override {
    while (count > 0 && !Full()) {
      const void* lf = std::memchr(data, '\n', count);
      const size_t n = lf ? size_t(static_cast<const char*>(lf) - data) : count;
      if (line_.size() < kMaxLineLength) line_.append(data, std::min(n, kMaxLineLength - line_.size()));
      data += n;
      count -= n;
      if (lf) {
        EndLine();
        ++data;
        --count;
      }
    }
  }
  bool Full() const override { return refused_ || Enough(); }
  void Finish() override { EndLine(); }
  bool Ok() const override { return ok_; }

 protected:
  virtual void OnLine(const std::string& line) = 0;
  // No further line is wanted.
  virtual bool Enough() const { return false; }

 private:
  void EndLine() {
    if (line_.empty()) return;
    if (!ok_ && !refused_) {
      ok_ = line_.compare(0, 2, "ok") == 0;
      refused_ = !ok_;
    } else if (ok_ && !Enough()) {
      OnLine(line_);
    }
    line_.clear();
  }

  std::string line_;
  bool ok_ = false;
  bool refused_ = false;
};

// A completed exchange whose status was 200 and whose first line began
// with "ok": the body and its first three non-empty lines, all that any
// reply kept whole is read for.
struct Reply {
  std::string body;
  std::vector<Line> lines;
};

const size_t kReplyLines = 3;
// Real firmware identifiers are a few dozen characters.
const size_t kMaxFirmwareIdLength = 256;

// With a streamed reply, the body of a reply with status 200 goes to it and
// reply stays empty.
bool Request(const char* name, const char* url, const HTTPRequest::Parameters& params,
             Reply& reply, bool isPing = false, StreamedReply* splitter = nullptr,
             std::string* why = nullptr) {
  if (!url) url = UpdateServerRequest::default_url;
  std::string unused;
  if (!why) why = &unused;
  try {
    HTTPResponse response = sTransport != nullptr ? sTransport(url, params, splitter)
                                                  : HTTPRequest::GET(url, params, splitter);
    if (splitter) splitter->Finish();
    if (response.get_status() != 200) {
      *why = "the server answered with HTTP status " + std::to_string(response.get_status());
      if (isPing) {
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response());
      } else {
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                 static_cast<int>(response.get_status()), response.get_response());
      }
      return false;
    }
    if (splitter) {
      if (!splitter->Ok()) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
        return false;
      }
      return true;
    }
    reply.body = response.take_response();
    reply.lines = SplitLines(reply.body, kReplyLines);
    if (reply.lines.empty() || reply.body.compare(reply.lines[0].pos, 2, "ok") != 0 ||
        reply.lines[0].len < 2) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      *why = "the server's reply does not begin with \"ok\"";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    *why = e.what();
    return false;
  }
}

// strtok over one line with the delimiters ";\r\n": the first two tokens.
void SplitEntry(const std::string& line, std::string& first, std::string& second, bool& hasFirst,
                bool& hasSecond) {
  static const char kDelims[] = ";\r\n";
  hasFirst = hasSecond = false;
  size_t a = line.find_first_not_of(kDelims);
  if (a == std::string::npos) return;
  size_t b = line.find_first_of(kDelims, a);
  first = line.substr(a, b == std::string::npos ? std::string::npos : b - a);
  hasFirst = true;
  if (b == std::string::npos) return;
  size_t c = line.find_first_not_of(kDelims, b);
  if (c == std::string::npos) return;
  size_t d = line.find_first_of(kDelims, c);
  second = line.substr(c, d == std::string::npos ? std::string::npos : d - c);
  hasSecond = true;
}

// The entries of a build list reply: build;version per line. Collects at
// most kMaxBuildListEntries builds and stops reading when there are more.
class BuildListParser : public LineSplitter {
 public:
  explicit BuildListParser(BuildMap& builds) : builds_(builds) {}
  bool Truncated() const { return truncated_; }

 protected:
  void OnLine(const std::string& line) override {
    static const char* kName = "GetBuildList";
    if (line.size() < 3) return;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", kName, line.c_str());
    std::string build, version;
    bool hasBuild = false, hasVersion = false;
    SplitEntry(line, build, version, hasBuild, hasVersion);
    if (!hasBuild) return;
    if (!hasVersion) version.clear();
    if (builds_.size() >= UpdateServerRequest::kMaxBuildListEntries && !builds_.count(build)) {
      truncated_ = true;
      return;
    }
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", kName, build.c_str(), version.c_str());
    builds_.emplace(std::move(build), std::move(version));
  }
  bool Enough() const override { return truncated_; }

 private:
  BuildMap& builds_;
  bool truncated_ = false;
};

// A version as a sort key: (valid, major, minor, patch), each part kept to
// its low 8 bits as the packed versions do.
struct VersionKey {
  bool valid = false;
  int major = 0, minor = 0, patch = 0;
};

VersionKey MakeKey(const std::string& version) {
  VersionKey key;
  const std::vector<std::string> parts = UpdateServerRequest::SplitKorvexVersion(version);
  if (parts.size() != 3) return key;
  try {
    key.major = std::stoi(parts[0]) & 0xFF;
    key.minor = std::stoi(parts[1]) & 0xFF;
    key.patch = std::stoi(parts[2]) & 0xFF;
    key.valid = true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
  }
  return key;
}

}  // namespace

void UpdateServerRequest::SetTransport(Transport transport) { sTransport = transport; }

bool UpdateServerRequest::ping(const char* url) { return ping(url, nullptr); }

bool UpdateServerRequest::ping(const char* url, std::string* why) {
  Reply reply;
  return Request("ping", url, {{"op", "hi"}, {"rv", "2"}}, reply, true, nullptr, why);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmwareId,
                                     const char* url) {
  Reply reply;
  if (!Request("QueryBuild", url, {{"op", "qu"}, {"sn", SerialText(serial)}}, reply)) return false;
  if (reply.lines.size() > 2) {
    // The identifier goes back to the server in every firmware request.
    const std::string id = UpToCR(LineText(reply.body, reply.lines[2]));
    if (id.size() > kMaxFirmwareIdLength) {
      Log::log(DEBUG_ServerComm, "QueryBuild: firmware identifier of %zu bytes refused\n",
               id.size());
      return false;
    }
    firmwareId = id;
  }
  if (reply.lines.size() > 1) build = LineText(reply.body, reply.lines[1]);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmwareId,
                                   const std::string& build, std::string& birdText,
                                   const char* url, bool noCal) {
  birdText.clear();
  StringSink sink(birdText);
  if (GetBuild(serial, firmwareId, build, sink, url, noCal)) return true;
  birdText.clear();
  return false;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmwareId,
                                   const std::string& build, BuildTextSink& sink,
                                   const char* url, bool noCal) {
  const HTTPRequest::Parameters params = {{"bld", build},
                                          {"fw", firmwareId},
                                          {"no_cal", noCal ? "true" : "false"},
                                          {"op", "bird"},
                                          {"sn", SerialText(serial)}};
  Reply reply;
  ReplySplitter splitter(sink);
  return Request("GetBuild", url, params, reply, false, &splitter);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildMap& builds, const char* url,
                                       bool* truncated) {
  builds.clear();
  if (truncated) *truncated = false;
  Reply reply;
  BuildListParser parser(builds);
  if (!Request("GetBuildList", url, {{"op", "builds"}, {"sn", SerialText(serial)}}, reply, false,
               &parser)) {
    return false;
  }
  if (truncated) *truncated = parser.Truncated();
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial,
                                          uint32_t* build, const char* url) {
  static const char* kName = "GetRecoveryInfo";
  char fp[64];
  // Spaces, which go out as %20.
  std::snprintf(fp, sizeof fp, "%08X %08X %08X %08X", fingerprint[0], fingerprint[1],
                fingerprint[2], fingerprint[3]);
  Reply reply;
  if (!Request(kName, url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, reply)) return false;
  std::string lines[3];
  for (size_t i = 0; i < 3 && i < reply.lines.size(); ++i) lines[i] = LineText(reply.body, reply.lines[i]);
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", kName, lines[0].c_str(),
           lines[1].c_str(), lines[2].c_str());
  // A number beyond 32 bits is refused, not cut to its low bits. Text
  // without digits reads as 0.
  uint32_t serialValue = 0, buildValue = 0;
  if ((reply.lines.size() > 1 &&
       aNumber_ParseU32(lines[1].c_str(), 16, &serialValue) == aErrRange) ||
      (reply.lines.size() > 2 && aNumber_ParseU32(lines[2].c_str(), 0, &buildValue) == aErrRange)) {
    Log::log(DEBUG_ServerComm, "%s: serial number or build out of range\n", kName);
    return false;
  }
  // A recovery goes on only with the device it names: an "ok" without its
  // serial number and build, or serial number 0, is no answer.
  if (reply.lines.size() < 3 || serialValue == 0) {
    Log::log(DEBUG_ServerComm, "%s: no serial number and build in the answer\n", kName);
    return false;
  }
  if (serial) *serial = serialValue;
  if (build) *build = buildValue;
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
  static const char* kName = "GetDeviceJWT";
  Reply reply;
  const HTTPRequest::Parameters params = {{"json", "false"}, {"op", "ent_jwt"}, {"sn", SerialText(serial)}};
  if (!Request(kName, url, params, reply)) return false;
  if (reply.lines.size() < 2 || reply.lines[1].len <= 2) return false;
  const std::string line = LineText(reply.body, reply.lines[1]);
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", kName, line.c_str());
  const size_t dot1 = line.find('.');
  if (dot1 == std::string::npos) return false;
  const size_t dot2 = line.find('.', dot1 + 1);
  if (dot2 == std::string::npos) return false;
  const std::string header = line.substr(0, dot1);
  const std::string payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
  const std::string signature = UpToCR(line.substr(dot2 + 1));
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
  token = header + "." + payload + "." + signature;
  return true;
}

std::vector<std::string> UpdateServerRequest::SplitKorvexVersion(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    if (dot == std::string::npos) break;
    parts.push_back(version.substr(start, dot - start));
    start = dot + 1;
  }
  parts.push_back(version.substr(start));
  if (parts.size() != 3) parts.clear();
  return parts;
}

BuildList UpdateServerRequest::SortBuildsByVersion(const BuildMap& builds) {
  struct Entry {
    VersionKey key;
    std::pair<std::string, std::string> pair;
  };
  std::vector<Entry> entries;
  entries.reserve(builds.size());
  for (const auto& b : builds) entries.push_back({MakeKey(b.second), b});
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::make_tuple(a.key.valid, a.key.major, a.key.minor, a.key.patch) >
           std::make_tuple(b.key.valid, b.key.major, b.key.minor, b.key.patch);
  });
  BuildList sorted;
  sorted.reserve(entries.size());
  for (auto& e : entries) sorted.push_back(std::move(e.pair));
  return sorted;
}

// The update server's request set. Every request is one HTTP GET whose
// reply is plain text: a first line beginning with "ok", then the answer,
// one item per line. The operations never throw; a false result has been
// explained in the debug log under DEBUG_ServerComm.
#ifndef UPDATER_UPDATE_SERVER_REQUEST_H
#define UPDATER_UPDATE_SERVER_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class HTTPBodySink;
class HTTPResponse;

// The default update server: the maker's own host, path "/cgi/u".
#define UPDATER_DEFAULT_SERVER_HOST "update.velmaris.com"
#define UPDATER_DEFAULT_SERVER_PORT_TEXT "80"
#define UPDATER_DEFAULT_SERVER_URL "http://" UPDATER_DEFAULT_SERVER_HOST "/cgi/u"

// Build number text -> version text.
using BuildMap = std::map<std::string, std::string>;
// (build number text, version text), in display order.
using BuildList = std::vector<std::pair<std::string, std::string>>;

// Takes the BIRD text of GetBuild piece by piece while it arrives, on the
// thread performing the request.
class BuildTextSink {
 public:
  virtual ~BuildTextSink() = default;
  // Once, before any text, with the size the server announced for the
  // whole reply (0 when unknown).
  virtual void Begin(uint64_t announcedBytes) { (void)announcedBytes; }
  virtual void Write(const char* text, size_t count) = 0;
};

class UpdateServerRequest {
 public:
  // Used when a request is given a null URL.
  static const char* const default_url;

  // op=hi&rv=2&
  static bool ping(const char* url);
  // The same; on failure *why (when given) tells what went wrong: the
  // transfer's error (refused, timed out, name not resolved, TLS), the
  // HTTP status, or a reply that does not begin with "ok".
  static bool ping(const char* url, std::string* why);

  // op=qu&sn=SSSSSSSS&. Line 2: the latest build number; line 3 (ending at
  // CR or LF): the firmware identifier. Each output is set only when its
  // line is present.
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmwareId,
                         const char* url);

  // bld=B&fw=F&no_cal=true|false&op=bird&sn=S&. Line 2: the BIRD file in
  // base64. birdText is cleared first.
  static bool GetBuild(uint32_t serial, const std::string& firmwareId,
                       const std::string& build, std::string& birdText, const char* url,
                       bool noCal);
  // The same with the text handed to sink as it arrives (nothing is given
  // to it unless the reply's status is 200 and its first line begins with
  // "ok"). The text ends at the line's LF; a CR before it is part of it.
  static bool GetBuild(uint32_t serial, const std::string& firmwareId,
                       const std::string& build, BuildTextSink& sink, const char* url,
                       bool noCal);

  // op=builds&sn=S&. Every further line: build;version. builds is cleared
  // first; the first entry of a build number wins. The reply is parsed as
  // it arrives; past kMaxBuildListEntries builds the rest is not read and
  // *truncated (when given) is set.
  static constexpr size_t kMaxBuildListEntries = 100000;
  static bool GetBuildList(uint32_t serial, BuildMap& builds, const char* url,
                           bool* truncated = nullptr);

  // brief=true&fp=W1%20W2%20W3%20W4&op=fix&. Line 2: serial number (hex);
  // line 3: build number (decimal, 0x hexadecimal or 0 octal).
  static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serial,
                              uint32_t* build, const char* url);

  // json=false&op=ent_jwt&sn=S&. Line 2: header.payload.signature.
  static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url);

  // What performs every request: HTTPRequest::GET unless replaced. A
  // replacement answers as GET does (the status; with a sink, the body of
  // a reply with status 200 through the sink), from wherever it likes:
  // tests and fuzzing give replies from memory. Null restores GET.
  typedef HTTPResponse (*Transport)(const std::string& base,
                                    const std::map<std::string, std::string>& params,
                                    HTTPBodySink* sink);
  static void SetTransport(Transport transport);

  // Newest version first. Versions that are not major.minor.patch numbers
  // go last; equal versions keep their map order.
  static BuildList SortBuildsByVersion(const BuildMap& builds);

  // The three parts of "major.minor.patch"; empty unless there are exactly
  // three dot-separated parts.
  static std::vector<std::string> SplitKorvexVersion(const std::string& version);
};

#endif

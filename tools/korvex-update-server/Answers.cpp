#include "tools/korvex-update-server/Answers.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>

namespace kus {

namespace {

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The single value of a parameter; a parameter given twice is refused
// rather than guessed at.
std::string Single(const Query& query, const char* key, bool required) {
  const auto range = query.equal_range(key);
  const auto count = std::distance(range.first, range.second);
  if (count == 0) {
    if (required) throw Refusal(std::string("missing ") + key);
    return std::string();
  }
  if (count > 1) throw Refusal(std::string("repeated ") + key);
  return range.first->second;
}

const Device& DeviceOf(const AnswerContext& c, const Query& query) {
  uint32_t serial = 0;
  const std::string text = Single(query, "sn", false);
  if (text.empty()) throw Refusal("missing serial number");
  if (!ParseSerial(text, serial)) throw Refusal("malformed serial number");
  const Device* device = c.repository.FindDevice(serial);
  if (!device) throw Refusal("unknown device");
  return *device;
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refusal("build file unavailable");
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string QueryBuild(const AnswerContext& c, const Query& q) {
  const Device& device = DeviceOf(c, q);
  const Build* latest = c.repository.LatestFor(device);
  if (!latest) throw Refusal("no build for device");
  return "ok\n" + std::to_string(latest->number) + "\n" + device.firmwareId + "\n";
}

std::string GetBuild(const AnswerContext& c, const Query& q) {
  const Device& device = DeviceOf(c, q);
  uint32_t number = 0;
  if (!ParseBuildNumber(Single(q, "bld", true), number)) throw Refusal("malformed build number");
  if (Single(q, "fw", true) != device.firmwareId) throw Refusal("firmware identifier does not match");
  const std::string noCal = Single(q, "no_cal", false);
  if (!noCal.empty() && noCal != "true" && noCal != "false") throw Refusal("malformed no_cal");
  for (const Build* b : c.repository.BuildsFor(device)) {
    if (b->number == number) return "ok\n" + Base64(ReadWhole(c.repository.PathOf(*b))) + "\n";
  }
  throw Refusal("build not available for device");
}

std::string GetBuildList(const AnswerContext& c, const Query& q) {
  const Device& device = DeviceOf(c, q);
  std::string body = "ok\n";
  for (const Build* b : c.repository.BuildsFor(device)) {
    body += std::to_string(b->number) + ";" + b->version + "\n";
  }
  return body;
}

std::string GetRecoveryInfo(const AnswerContext& c, const Query& q) {
  // Four 8-digit words separated by single spaces (sent as "%20").
  const std::string fp = Single(q, "fp", true);
  std::array<uint32_t, 4> words{};
  if (fp.size() != 35) throw Refusal("malformed fingerprint");
  for (size_t i = 0; i < 4; ++i) {
    if (i && fp[i * 9 - 1] != ' ') throw Refusal("malformed fingerprint");
    if (!ParseSerial(fp.substr(i * 9, 8), words[i])) throw Refusal("malformed fingerprint");
  }
  const Fingerprint* match = c.repository.FindFingerprint(words);
  if (!match) throw Refusal("unknown fingerprint");
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", match->serial);
  return "ok\n" + std::string(serial) + "\n" + std::to_string(match->build) + "\n";
}

std::string GetDeviceJWT(const AnswerContext& c, const Query& q) {
  const Device& device = DeviceOf(c, q);
  const std::string json = Single(q, "json", false);
  if (!json.empty() && json != "false") throw Refusal("only json=false is served");
  return "ok\n" + c.signer.Issue(device, c.now, c.tokenLifetimeSeconds) + "\n";
}

}  // namespace

std::string Answer(const AnswerContext& context, const Query& query) {
  try {
    const std::string op = Single(query, "op", true);
    if (op == "hi") return "ok\n";
    if (op == "qu") return QueryBuild(context, query);
    if (op == "bird") return GetBuild(context, query);
    if (op == "builds") return GetBuildList(context, query);
    if (op == "fix") return GetRecoveryInfo(context, query);
    if (op == "ent_jwt") return GetDeviceJWT(context, query);
    throw Refusal("unknown op");
  } catch (const Refusal& r) {
    return std::string("error ") + r.what() + "\n";
  }
}

}  // namespace kus

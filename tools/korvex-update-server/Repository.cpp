#include "tools/korvex-update-server/Repository.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace kus {

bool ParseSerial(const std::string& text, uint32_t& value) {
  if (text.size() != 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

bool ParseBuildNumber(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  value = v;
  return true;
}

namespace {

// Names, versions, identifiers and features: a conservative character set
// that needs no quoting in replies or tokens.
bool SafeWord(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    c == '.' || c == '_' || c == '-' || c == '+';
    if (!ok) return false;
  }
  return true;
}

bool PlainFileName(const std::string& name) {
  return SafeWord(name) && name != "." && name != ".." && name[0] != '.';
}

std::vector<int> VersionParts(const std::string& version) {
  std::vector<int> parts;
  std::stringstream in(version);
  std::string part;
  while (std::getline(in, part, '.')) parts.push_back(std::atoi(part.c_str()));
  return parts;
}

}  // namespace

Repository::Repository(const std::string& dir) : dir_(dir) {
  const std::string path = dir + "/repo.conf";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    try {
      ParseLine(line);
    } catch (const std::exception& e) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": " + e.what());
    }
  }
  for (const auto& b : builds_) {
    if (b.second.serial && !devices_.count(b.second.serial)) {
      throw std::runtime_error(path + ": build " + std::to_string(b.first) +
                               " is bound to an unknown device");
    }
  }
  // A recovering client goes on to fetch the named build for the named
  // device: both must be there, and one chip names one device.
  for (size_t i = 0; i < fingerprints_.size(); ++i) {
    const Fingerprint& fp = fingerprints_[i];
    const std::string which = path + ": fingerprint " + std::to_string(i + 1);
    const Device* device = FindDevice(fp.serial);
    if (!device) throw std::runtime_error(which + " names an unknown device");
    const std::vector<const Build*> offered = BuildsFor(*device);
    if (std::none_of(offered.begin(), offered.end(),
                     [&](const Build* b) { return b->number == fp.build; })) {
      throw std::runtime_error(which + " names a build its device is not offered");
    }
    for (size_t j = 0; j < i; ++j) {
      if (fingerprints_[j].words == fp.words) throw std::runtime_error(which + " is listed twice");
    }
  }
}

void Repository::ParseLine(const std::string& line) {
  std::istringstream in(line);
  std::string kind;
  if (!(in >> kind) || kind[0] == '#') return;

  std::vector<std::string> positional;
  std::map<std::string, std::string> named;
  std::string word;
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) {
      positional.push_back(word);
    } else {
      named[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  auto take = [&](const char* key, bool required) {
    auto it = named.find(key);
    if (it == named.end()) {
      if (required) throw std::runtime_error(std::string("missing ") + key + "=");
      return std::string();
    }
    std::string value = it->second;
    named.erase(it);
    return value;
  };

  if (kind == "device") {
    Device d;
    if (positional.size() != 1 || !ParseSerial(positional[0], d.serial) || d.serial == 0) {
      throw std::runtime_error("device needs one serial number of 8 hexadecimal digits");
    }
    d.model = take("model", true);
    d.firmwareId = take("fw", true);
    std::stringstream features(take("features", false));
    std::string f;
    while (std::getline(features, f, ',')) {
      if (!SafeWord(f)) throw std::runtime_error("bad feature name '" + f + "'");
      d.features.push_back(f);
    }
    if (!SafeWord(d.model) || !SafeWord(d.firmwareId)) throw std::runtime_error("bad model or fw");
    if (!devices_.emplace(d.serial, d).second) throw std::runtime_error("device listed twice");
  } else if (kind == "build") {
    Build b;
    if (positional.size() != 1 || !ParseBuildNumber(positional[0], b.number) || b.number == 0) {
      throw std::runtime_error("build needs one decimal build number");
    }
    b.version = take("version", true);
    b.file = take("file", true);
    b.model = take("model", false);
    const std::string serial = take("serial", false);
    if (!SafeWord(b.version)) throw std::runtime_error("bad version");
    if (!PlainFileName(b.file)) throw std::runtime_error("file must be a plain name");
    if (b.model.empty() == serial.empty()) throw std::runtime_error("give exactly one of model= and serial=");
    if (!serial.empty() && !ParseSerial(serial, b.serial)) throw std::runtime_error("bad serial=");
    if (!b.model.empty() && !SafeWord(b.model)) throw std::runtime_error("bad model=");
    if (!builds_.emplace(b.number, b).second) throw std::runtime_error("build listed twice");
  } else if (kind == "fingerprint") {
    Fingerprint fp;
    if (positional.size() != 4) throw std::runtime_error("fingerprint needs four words");
    for (size_t i = 0; i < 4; ++i) {
      if (!ParseSerial(positional[i], fp.words[i])) throw std::runtime_error("bad fingerprint word");
    }
    if (!ParseSerial(take("serial", true), fp.serial) ||
        !ParseBuildNumber(take("build", true), fp.build)) {
      throw std::runtime_error("bad serial= or build=");
    }
    fingerprints_.push_back(fp);
  } else {
    throw std::runtime_error("unknown record '" + kind + "'");
  }
  if (!named.empty()) throw std::runtime_error("unknown field " + named.begin()->first + "=");
}

const Device* Repository::FindDevice(uint32_t serial) const {
  auto it = devices_.find(serial);
  return it == devices_.end() ? nullptr : &it->second;
}

std::vector<const Build*> Repository::BuildsFor(const Device& device) const {
  std::vector<const Build*> result;
  for (const auto& b : builds_) {
    const Build& build = b.second;
    if (build.serial ? build.serial == device.serial : build.model == device.model) {
      result.push_back(&build);
    }
  }
  return result;
}

const Build* Repository::LatestFor(const Device& device) const {
  const Build* best = nullptr;
  for (const Build* b : BuildsFor(device)) {
    if (!best || std::make_tuple(VersionParts(b->version), b->number) >
                     std::make_tuple(VersionParts(best->version), best->number)) {
      best = b;
    }
  }
  return best;
}

const Fingerprint* Repository::FindFingerprint(const std::array<uint32_t, 4>& words) const {
  for (const Fingerprint& fp : fingerprints_) {
    if (fp.words == words) return &fp;
  }
  return nullptr;
}

}  // namespace kus

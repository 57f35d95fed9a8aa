#include "sim/SimImxConfig.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace ksim {

using nlohmann::json;

namespace {

// The ROM's own keys; every other key describes the module its loader becomes.
const std::set<std::string> kImxKeys = {"fingerprint", "hid", "pty", "pty_link", "security", "status",
                                        "registers", "register", "loader_prefix", "bad_jump", "ram_limit",
                                        "faults", "fault"};
// Module keys that name transports: the loader is only ever on USB.
const std::set<std::string> kRefusedKeys = {"tcp", "port", "usb", "on", "bus", "in_loader"};

bool Number32(const json& v, uint32_t& out) {
  uint64_t n = 0;
  if (v.is_number_unsigned()) n = v.get<uint64_t>();
  else if (v.is_number_integer() && v.get<int64_t>() >= 0) n = uint64_t(v.get<int64_t>());
  else if (v.is_string() && !v.get<std::string>().empty()) {
    const std::string s = v.get<std::string>();
    char* end = nullptr;
    n = std::strtoull(s.c_str(), &end, 0);
    if (*end || s[0] == '-') return false;
  } else {
    return false;
  }
  if (n > UINT32_MAX) return false;
  out = uint32_t(n);
  return true;
}

bool Flag(const json& v, bool& out) {
  if (v.is_boolean()) { out = v.get<bool>(); return true; }
  if (!v.is_string()) return false;
  const std::string s = v.get<std::string>();
  if (s == "true" || s == "yes" || s == "1" || s.empty()) { out = true; return true; }
  if (s == "false" || s == "no" || s == "0") { out = false; return true; }
  return false;
}

// "W0:W1:W2:W3" in hexadecimal, or a list of four numbers.
bool Fingerprint(const json& v, uint32_t out[4]) {
  if (v.is_array()) {
    if (v.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i)
      if (!Number32(v[i], out[i])) return false;
    return true;
  }
  if (!v.is_string()) return false;
  std::stringstream ss(v.get<std::string>());
  std::string word;
  size_t i = 0;
  while (std::getline(ss, word, ':')) {
    if (i == 4 || word.empty() || word.size() > 8) return false;
    for (char c : word)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    out[i++] = uint32_t(std::strtoul(word.c_str(), nullptr, 16));
  }
  return i == 4;
}

bool HexBytes(const json& v, std::vector<uint8_t>& out) {
  if (!v.is_string()) return false;
  const std::string s = v.get<std::string>();
  if (s.size() % 2 || s.size() > 128) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(s[i])) || !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
      return false;
    out.push_back(uint8_t(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

bool ParseImx(const json& j, ImxSpec& spec, std::string& error) {
  if (!j.is_object()) { error = "an i.MX chip must be an object"; return false; }
  json module = json::object();
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& key = it.key();
    const json& v = *it;
    auto bad = [&](const std::string& what) {
      error = "\"" + key + "\" must be " + what;
      return false;
    };
    if (kRefusedKeys.count(key)) {
      error = "\"" + key + "\" is not an i.MX chip's key: the ROM is reached by hid or pty, its loader on USB";
      return false;
    }
    if (key == "loader_faults") { module["faults"] = v; continue; }  // the faults of the module it becomes
    if (!kImxKeys.count(key)) { module[key] = v; continue; }
    if (key == "fingerprint") {
      if (!Fingerprint(v, spec.rom.fingerprint)) return bad("four hexadecimal words W0:W1:W2:W3");
    } else if (key == "hid") {
      if (!Flag(v, spec.hid)) return bad("true or false");
    } else if (key == "pty") {
      if (!Flag(v, spec.pty)) return bad("true or false");
    } else if (key == "pty_link") {
      if (!v.is_string() || v.get<std::string>().empty()) return bad("a file path");
      spec.ptyLink = v.get<std::string>();
      spec.pty = true;
    } else if (key == "security") {
      if (!Number32(v, spec.rom.security)) return bad("a 32-bit number");
    } else if (key == "status") {
      if (!Number32(v, spec.rom.status)) return bad("a 32-bit number");
    } else if (key == "ram_limit") {
      if (!Number32(v, spec.rom.ramLimit)) return bad("a 32-bit number");
    } else if (key == "registers" || key == "register") {
      if (!v.is_object()) return bad("an object mapping addresses to 32-bit values");
      if (v.size() > 64) return bad("at most 64 registers");
      for (auto r = v.begin(); r != v.end(); ++r) {
        uint32_t address = 0, value = 0;
        if (!Number32(json(r.key()), address) || !Number32(*r, value))
          return bad("an object mapping addresses to 32-bit values");
        spec.rom.registers[address] = value;
      }
    } else if (key == "loader_prefix") {
      if (!HexBytes(v, spec.rom.loaderPrefix)) return bad("at most 64 bytes in hexadecimal");
    } else if (key == "bad_jump") {
      const std::string s = v.is_string() ? v.get<std::string>() : "";
      if (s != "stay" && s != "silent") return bad("stay or silent");
      spec.rom.silentAfterBadJump = s == "silent";
    } else if (key == "faults" || key == "fault") {
      const json list = v.is_array() ? v : json::array({v});
      for (const json& w : list) {
        if (!w.is_string()) return bad("fault words");
        if (!spec.rom.faults.parse(w.get<std::string>(), error)) return false;
      }
    }
  }
  spec.loader.loaderDeadead = true;  // unless loader_serial says otherwise
  if (!ParseModuleJson(module, spec.loader, error)) return false;
  spec.loader.startInLoader = true;
  // The loader reports the fingerprint: subindex j is the host's word 3 - j.
  for (int sub = 0; sub < 4; ++sub) {
    OptionSetting o;
    o.option = 39;
    o.subindex = sub;
    o.value.kind = Value::Kind::Word;
    o.value.number = spec.rom.fingerprint[3 - sub];
    spec.loader.options.push_back(o);
  }
  return true;
}

}  // namespace

bool ParseImxList(const json& list, WorldConfig& world, std::string& error) {
  if (!list.is_array()) { error = "\"imx\" must be a list"; return false; }
  size_t k = 0;
  for (const json& j : list) {
    ++k;
    ImxSpec spec;
    if (!ParseImx(j, spec, error)) {
      error = "i.MX chip " + std::to_string(k) + ": " + error;
      return false;
    }
    world.imx.push_back(spec);
  }
  return true;
}

bool AddImxSpec(const std::string& text, WorldConfig& world, std::string& error) {
  json j = json::object(), faults = json::array(), registers = json::object(), options = json::object(),
       loaderFaults = json::array();
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    const size_t colon = value.find(':');
    if (key == "fault") {
      faults.push_back(value);
    } else if (key == "loader_fault") {
      loaderFaults.push_back(value);
    } else if (key == "register" || key == "option") {
      if (colon == std::string::npos) {
        error = "--imx " + text + ": " + key + (key == "option" ? "=N[.S]:VALUE" : "=ADDRESS:VALUE");
        return false;
      }
      (key == "option" ? options : registers)[value.substr(0, colon)] = value.substr(colon + 1);
    } else if (key == "faults" || key == "registers" || key == "options" || key == "factory" ||
               key == "loader_faults") {
      error = "--imx " + text + ": \"" + key + "\" is for world files; use " +
              (key == "factory" ? "a world file" : "\"" + key.substr(0, key.size() - 1) + "=\"");
      return false;
    } else if (eq == std::string::npos) {
      j[key] = true;
    } else {
      j[key] = value;
    }
  }
  if (!faults.empty()) j["faults"] = faults;
  if (!loaderFaults.empty()) j["loader_faults"] = loaderFaults;
  if (!registers.empty()) j["registers"] = registers;
  if (!options.empty()) j["options"] = options;
  ImxSpec spec;
  if (!ParseImx(j, spec, error)) {
    error = "--imx " + text + ": " + error;
    return false;
  }
  world.imx.push_back(spec);
  return true;
}

bool ValidateImx(const WorldConfig& world, std::set<uint32_t>& serials, std::string& error) {
  for (const ImxSpec& s : world.imx) {
    const std::string where = "i.MX chip " + SerialText(s.loader.serial);
    if (!serials.insert(s.loader.serial).second) { error = where + " is given twice"; return false; }
    if (!s.hid && !s.pty) { error = where + " has no transport: add hid or pty"; return false; }
  }
  return true;
}

}  // namespace ksim

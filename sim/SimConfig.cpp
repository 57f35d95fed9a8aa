#include "sim/SimConfig.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/SimImxConfig.h"

namespace ksim {

using nlohmann::json;

namespace {

const std::set<std::string> kModuleKeys = {
    "serial", "model", "version", "build", "name", "address", "router_address", "features",
    "block_size", "load_base", "uei_data", "loader_serial", "reboot_away_ms", "reset_away_ms",
    "heartbeat_ms", "new_version", "new_build", "flash_dump", "faults", "fault",
    "tcp", "port", "pty", "pty_link", "usb", "bus", "on", "stream_ms", "store_slots",
    "slot_capacity", "factory", "factory_locked", "options", "option", "load_leave_ms", "loader_away_ms",
    "boot_ms", "tcp_close", "in_loader", "serial_from_flash", "build_from_flash", "program_once"};

constexpr size_t kMaxValueBytes = 255;

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out, size_t max) {
  if (text.size() % 2 || text.size() / 2 > max) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    unsigned long v = std::strtoul(pair.c_str(), &end, 16);
    if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    out.push_back(uint8_t(v));
  }
  return true;
}

// "N" or "N.S" for an option and subindex.
bool ParseOptionKey(const std::string& text, OptionSetting& o) {
  unsigned opt = 0, sub = 0;
  char tail = 0;
  int n = std::sscanf(text.c_str(), "%u.%u%c", &opt, &sub, &tail);
  if (n == 1 && text.find('.') == std::string::npos && text.find_first_not_of("0123456789") == std::string::npos) {
    o.option = uint8_t(opt);
    o.subindex = kNoSubindex;
    return opt < 64;
  }
  if (n != 2 || opt > 63 || sub > 254) return false;
  o.option = uint8_t(opt);
  o.subindex = int(sub);
  return true;
}

// A value: a number (in the option's width), or text: a number, "u8:",
// "i8:", "u16:", "i16:", "u32:", "i32:" and a number, or "bytes:" and hex.
bool ParseOptionValue(const json& v, Value::Kind defaultKind, Value& out) {
  out = Value();
  out.kind = defaultKind;
  long long number = 0;
  if (v.is_number_integer()) {
    number = v.get<long long>();
  } else if (v.is_number_unsigned()) {
    if (v.get<uint64_t>() > 0xFFFFFFFFu) return false;
    number = (long long)v.get<uint64_t>();
  } else if (v.is_string()) {
    std::string s = v.get<std::string>();
    size_t colon = s.find(':');
    if (colon != std::string::npos) {
      std::string width = s.substr(0, colon);
      s = s.substr(colon + 1);
      if (width == "bytes") {
        out.kind = Value::Kind::Bytes;
        return ParseHexBytes(s, out.bytes, kMaxValueBytes);
      }
      if (width == "u8" || width == "i8") out.kind = Value::Kind::Byte;
      else if (width == "u16" || width == "i16") out.kind = Value::Kind::Short;
      else if (width == "u32" || width == "i32") out.kind = Value::Kind::Word;
      else return false;
    }
    if (out.kind == Value::Kind::Bytes) return ParseHexBytes(s, out.bytes, kMaxValueBytes);
    if (s.empty()) return false;
    char* end = nullptr;
    number = std::strtoll(s.c_str(), &end, 0);
    if (*end) return false;
  } else {
    return false;
  }
  if (out.kind == Value::Kind::Bytes) return false;
  int bits = out.kind == Value::Kind::Byte ? 8 : out.kind == Value::Kind::Short ? 16 : 32;
  long long low = -(1LL << (bits - 1)), high = (1LL << bits) - 1;
  if (number < low || number > high) return false;
  out.number = uint32_t(uint64_t(number) & (bits == 32 ? 0xFFFFFFFFull : ((1ull << bits) - 1)));
  return true;
}

bool ParseOptions(const json& v, std::vector<OptionSetting>& options, std::string& error) {
  if (!v.is_object()) { error = "\"options\" must map \"N\" or \"N.S\" to values"; return false; }
  for (auto it = v.begin(); it != v.end(); ++it) {
    OptionSetting o;
    Value::Kind kind;
    if (!ParseOptionKey(it.key(), o)) { error = "option \"" + it.key() + "\": not N or N.S (option 0..63, subindex 0..254)"; return false; }
    if (!TableOptionKind(o.option, kind)) {
      error = "option " + std::to_string(o.option) + " comes from the module's own keys or is a call";
      return false;
    }
    if (!ParseOptionValue(*it, kind, o.value)) {
      error = "option \"" + it.key() + "\": a value in its width, or u8:, i8:, u16:, i16:, u32:, i32:, bytes:HEX";
      return false;
    }
    options.push_back(o);
  }
  return true;
}

bool ParseFactory(const json& v, std::map<uint8_t, std::vector<uint8_t>>& factory, std::string& error) {
  if (!v.is_object()) { error = "\"factory\" must map kinds 0..15 to hexadecimal bytes"; return false; }
  for (auto it = v.begin(); it != v.end(); ++it) {
    char* end = nullptr;
    unsigned long kind = std::strtoul(it.key().c_str(), &end, 0);
    std::vector<uint8_t> bytes;
    if (it.key().empty() || *end || kind > 15) { error = "factory kind \"" + it.key() + "\" is not 0..15"; return false; }
    if (!it->is_string() || !ParseHexBytes(it->get<std::string>(), bytes, ModuleConfig::kMaxFactoryBytes)) {
      error = "factory kind " + it.key() + ": hexadecimal bytes, at most " +
              std::to_string(ModuleConfig::kMaxFactoryBytes);
      return false;
    }
    factory[uint8_t(kind)] = bytes;
  }
  return true;
}

bool ParseSerialText(const std::string& text, uint32_t& out) {
  if (text.empty() || text.size() > 8) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end) return false;
  out = uint32_t(v);
  return true;
}

// Reads an unsigned number (JSON number, or text in decimal or 0x hex).
bool Number(const json& v, uint64_t max, uint64_t& out) {
  if (v.is_number_unsigned()) {
    out = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    if (v.get<int64_t>() < 0) return false;
    out = uint64_t(v.get<int64_t>());
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s.empty()) return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, 0);
    if (*end) return false;
  } else {
    return false;
  }
  return out <= max;
}

bool Flag(const json& v, bool& out) {
  if (v.is_boolean()) { out = v.get<bool>(); return true; }
  if (v.is_string()) {
    std::string s = v.get<std::string>();
    if (s == "true" || s == "yes" || s == "1" || s == "on") { out = true; return true; }
    if (s == "false" || s == "no" || s == "0" || s == "off") { out = false; return true; }
  }
  return false;
}

bool ParseModule(const json& j, ModuleConfig& m, TransportConfig* t, std::vector<ModuleConfig>* bus,
                 std::string& error) {
  if (!j.is_object()) { error = "a module must be an object"; return false; }
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& key = it.key();
    const json& v = it.value();
    if (!kModuleKeys.count(key) || key == "on" || key == "option") { error = "unknown key \"" + key + "\""; return false; }
    uint64_t n = 0;
    auto bad = [&](const std::string& what) {
      error = "\"" + key + "\" must be " + what;
      return false;
    };
    if (key == "serial") {
      if (v.is_string()) { if (!ParseSerialText(v.get<std::string>(), m.serial)) return bad("8 hexadecimal digits"); }
      else if (Number(v, 0xFFFFFFFF, n)) m.serial = uint32_t(n);
      else return bad("8 hexadecimal digits");
      if (m.serial == 0) return bad("non-zero");
    } else if (key == "model") {
      if (!Number(v, 255, n)) return bad("a number 0..255");
      m.model = uint8_t(n);
    } else if (key == "version" || key == "new_version") {
      uint32_t packed = 0;
      if (!v.is_string() || !ParseVersionText(v.get<std::string>(), packed)) return bad("a version such as \"2.11.4\"");
      (key == "version" ? m.version : m.newVersion) = packed;
    } else if (key == "build" || key == "new_build" || key == "features" || key == "load_base") {
      if (!Number(v, 0xFFFFFFFF, n)) return bad("a 32-bit number");
      if (key == "build") m.build = uint32_t(n);
      else if (key == "new_build") m.newBuild = uint32_t(n);
      else if (key == "features") m.features = uint32_t(n);
      else m.loadBase = uint32_t(n);
    } else if (key == "name") {
      if (!v.is_string() || v.get<std::string>().size() > 32) return bad("text of at most 32 bytes");
      m.name = v.get<std::string>();
    } else if (key == "address" || key == "router_address") {
      if (!Number(v, 254, n) || (n & 1) || (key == "address" && n == 0)) return bad("an even address 2..254");
      (key == "address" ? m.address : m.routerAddress) = uint8_t(n);
    } else if (key == "block_size") {
      if (!Number(v, 0xFFFF, n) || n == 0) return bad("a number 1..65535");
      m.blockSize = uint16_t(n);
    } else if (key == "uei_data") {
      if (!Flag(v, m.ueiData)) return bad("true or false");
    } else if (key == "loader_serial") {
      std::string s = v.is_string() ? v.get<std::string>() : "";
      if (s == "own") m.loaderDeadead = false;
      else if (s == "deadead" || s == "DEADDEAD") m.loaderDeadead = true;
      else return bad("\"own\" or \"deadead\"");
    } else if (key == "reboot_away_ms" || key == "loader_away_ms") {
      uint32_t& ms = key == "reboot_away_ms" ? m.rebootAwayMs : m.loaderAwayMs;
      if (v.is_string() && v.get<std::string>() == "never") ms = ModuleConfig::kNever;
      else if (Number(v, 600000, n)) ms = uint32_t(n);
      else return bad("milliseconds 0..600000, or \"never\"");
    } else if (key == "reset_away_ms" || key == "heartbeat_ms" || key == "load_leave_ms" || key == "boot_ms") {
      if (!Number(v, 600000, n)) return bad("milliseconds 0..600000");
      if (key == "reset_away_ms") m.resetAwayMs = uint32_t(n);
      else if (key == "heartbeat_ms") m.heartbeatMs = uint32_t(n);
      else if (key == "load_leave_ms") m.loadLeaveMs = uint32_t(n);
      else m.bootMs = uint32_t(n);
    } else if (key == "tcp_close") {
      std::string s = v.is_string() ? v.get<std::string>() : "";
      if (s == "rst") m.tcpCloseReset = true;
      else if (s == "fin") m.tcpCloseReset = false;
      else return bad("\"fin\" or \"rst\"");
    } else if (key == "in_loader") {
      if (!Flag(v, m.startInLoader)) return bad("true or false");
    } else if (key == "program_once") {
      if (!Flag(v, m.programOnce)) return bad("true or false");
    } else if (key == "serial_from_flash" || key == "build_from_flash") {
      if (!Number(v, 0xFFFFFFFC, n)) return bad("a flash address 0..0xFFFFFFFC");
      (key == "serial_from_flash" ? m.serialFromFlash : m.buildFromFlash) = int64_t(n);
    } else if (key == "stream_ms") {
      if (!Number(v, 600000, n) || n < ModuleConfig::kMinStreamPeriodMs) return bad("milliseconds 10..600000");
      m.streamPeriodMs = uint32_t(n);
    } else if (key == "store_slots") {
      if (!Number(v, 32, n)) return bad("a number 0..32");
      m.storeSlots = uint8_t(n);
    } else if (key == "slot_capacity") {
      if (!Number(v, 0xFFFF, n)) return bad("a number of bytes 0..65535");
      m.slotCapacity = uint16_t(n);
    } else if (key == "factory") {
      if (!ParseFactory(v, m.factory, error)) return false;
    } else if (key == "factory_locked") {
      if (!Flag(v, m.factoryLocked)) return bad("true or false");
    } else if (key == "options") {
      if (!ParseOptions(v, m.options, error)) return false;
    } else if (key == "flash_dump") {
      if (!v.is_string()) return bad("a file path");
      m.flashDump = v.get<std::string>();
    } else if (key == "faults" || key == "fault") {
      std::vector<json> words = v.is_array() ? v.get<std::vector<json>>() : std::vector<json>{v};
      for (const json& w : words) {
        if (!w.is_string()) return bad("fault words");
        if (!m.faults.parse(w.get<std::string>(), error)) return false;
      }
    } else if (key == "bus") {
      if (!bus) { error = "a module on a bus cannot have a bus of its own"; return false; }
      if (!v.is_array()) return bad("a list of modules");
      for (const json& bj : v) {
        ModuleConfig bm;
        bm.address = 4;
        if (!ParseModule(bj, bm, nullptr, nullptr, error)) { error = "bus module: " + error; return false; }
        bus->push_back(bm);
      }
    } else {  // transports
      if (!t) { error = "a module on a bus is reached through its router, not by \"" + key + "\""; return false; }
      if (key == "tcp") { if (!Flag(v, t->tcp)) return bad("true or false"); }
      else if (key == "pty") { if (!Flag(v, t->pty)) return bad("true or false"); }
      else if (key == "usb") { if (!Flag(v, t->usb)) return bad("true or false"); }
      else if (key == "port") {
        if (!Number(v, 65535, n)) return bad("a TCP port");
        t->port = uint16_t(n);
        t->tcp = true;
      } else if (key == "pty_link") {
        if (!v.is_string()) return bad("a file path");
        t->ptyLink = v.get<std::string>();
        t->pty = true;
      }
    }
  }
  return true;
}

std::string Where(uint32_t serial) { return "module " + SerialText(serial); }

}  // namespace

// The module part of an i.MX chip's description (no transports: its loader
// appears on USB).
bool ParseModuleJson(const json& j, ModuleConfig& m, std::string& error) {
  return ParseModule(j, m, nullptr, nullptr, error);
}

std::string SerialText(uint32_t serial) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", unsigned(serial));
  return buf;
}

std::string VersionText(uint32_t packed) {
  unsigned a, b, c;
  UnpackVersion(packed, a, b, c);
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

bool ParseWorldJson(const std::string& text, WorldConfig& world, std::string& error) {
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) { error = "not valid JSON"; return false; }
  if (!j.is_object()) { error = "the world must be a JSON object"; return false; }
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string& key = it.key();
    if (key == "bind") {
      if (!it->is_string()) { error = "\"bind\" must be an IPv4 address"; return false; }
      world.bind = it->get<std::string>();
      world.bindGiven = true;
    } else if (key == "discovery") {
      if (!Flag(*it, world.discovery)) { error = "\"discovery\" must be true or false"; return false; }
    } else if (key == "modules") {
      if (!it->is_array()) { error = "\"modules\" must be a list"; return false; }
      size_t k = 0;
      for (const json& mj : *it) {
        ++k;
        ModuleSpec entry;
        if (!ParseModule(mj, entry.module, &entry.transport, &entry.bus, error)) {
          error = "module " + std::to_string(k) + ": " + error;
          return false;
        }
        world.modules.push_back(entry);
      }
    } else if (key == "lpc") {
      // LPC boot ROMs: their own keys (SimLpcPort.cpp).
      if (!it->is_array()) { error = "\"lpc\" must be a list"; return false; }
      for (const json& lj : *it) {
        LpcConfig lpc;
        if (!ParseLpcJson(lj, lpc, error)) {
          error = "lpc " + std::to_string(world.lpcs.size() + 1) + ": " + error;
          return false;
        }
        world.lpcs.push_back(lpc);
      }
    } else if (key == "imx") {
      if (!ParseImxList(*it, world, error)) return false;
    } else {
      error = "unknown key \"" + key + "\" (known: bind, discovery, modules, lpc, imx)";
      return false;
    }
  }
  return true;
}

bool LoadWorldFile(const std::string& path, WorldConfig& world, std::string& error) {
  std::ifstream in(path);
  if (!in) { error = path + ": cannot be read"; return false; }
  std::stringstream ss;
  ss << in.rdbuf();
  if (!ParseWorldJson(ss.str(), world, error)) { error = path + ": " + error; return false; }
  return true;
}

bool AddModuleSpec(const std::string& text, WorldConfig& world, std::string& error) {
  json j = json::object();
  json faults = json::array();
  json options = json::object();
  std::string on;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.empty()) continue;
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (!kModuleKeys.count(key) || key == "bus" || key == "faults" || key == "options" || key == "factory") {
      error = "--module " + text + ": unknown key \"" + key + "\"";
      return false;
    }
    if (key == "fault") faults.push_back(value);
    else if (key == "option") {
      size_t colon = value.find(':');
      if (colon == std::string::npos) {
        error = "--module " + text + ": option=N[.S]:VALUE";
        return false;
      }
      options[value.substr(0, colon)] = value.substr(colon + 1);
    }
    else if (key == "on") on = value;
    else if (eq == std::string::npos) j[key] = true;
    else j[key] = value;
  }
  if (!faults.empty()) j["faults"] = faults;
  if (!options.empty()) j["options"] = options;
  ModuleSpec m;
  bool onBus = !on.empty();
  if (onBus) m.module.address = 4;
  if (!ParseModule(j, m.module, onBus ? nullptr : &m.transport, nullptr, error)) {
    error = "--module " + text + ": " + error;
    return false;
  }
  if (!onBus) {
    world.modules.push_back(m);
    return true;
  }
  uint32_t router = 0;
  if (!ParseSerialText(on, router)) { error = "--module " + text + ": \"on\" must be a router's serial number"; return false; }
  for (ModuleSpec& r : world.modules) {
    if (r.module.serial == router) {
      r.bus.push_back(m.module);
      return true;
    }
  }
  error = "--module " + text + ": no module " + SerialText(router) + " given before it to carry it on its bus";
  return false;
}

bool ValidateWorld(const WorldConfig& world, std::string& error) {
  if (world.modules.empty() && world.lpcs.empty() && world.imx.empty()) {
    error = "no modules: give --module serial=1234ABCD,tcp (or --world FILE); see --help";
    return false;
  }
  std::set<std::string> lpcNames;
  for (size_t i = 0; i < world.lpcs.size(); ++i) {
    std::string name = world.lpcs[i].name.empty() ? "lpc" + std::to_string(i) : world.lpcs[i].name;
    if (!lpcNames.insert(name).second) { error = "LPC ROM " + name + " is given twice"; return false; }
  }
  std::set<uint32_t> serials;
  if (!ValidateImx(world, serials, error)) return false;
  for (const ModuleSpec& s : world.modules) {
    const TransportConfig& t = s.transport;
    if (!serials.insert(s.module.serial).second) { error = Where(s.module.serial) + " is given twice"; return false; }
    if (!t.tcp && !t.pty && !t.usb) {
      error = Where(s.module.serial) + " has no transport: add tcp, pty or usb";
      return false;
    }
    std::set<uint8_t> addresses{s.module.address};
    for (const ModuleConfig& b : s.bus) {
      if (!serials.insert(b.serial).second) { error = Where(b.serial) + " is given twice"; return false; }
      if (!addresses.insert(b.address).second) {
        error = Where(b.serial) + ": address " + std::to_string(b.address) + " is taken on the bus of " +
                Where(s.module.serial);
        return false;
      }
    }
  }
  return true;
}

}  // namespace ksim

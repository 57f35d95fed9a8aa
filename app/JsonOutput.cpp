#include "app/JsonOutput.h"

#include <cstdio>
#include <cstring>

#include "common/aDefs.h"

namespace {

struct KindRule {
  const char* prefix;  // of the message's format text
  const char* kind;
};

// The first rule whose prefix starts the format wins.
const KindRule kKindRules[] = {
    {"Module %08X is being updated by process", "module-busy"},
    {"Failed to connect to module", "module-not-found"},
    {"Failed to connect to link module", "module-not-found"},
    {"Could not connect to device", "module-not-found"},
    {"Unable to find modules on Network", "module-not-found"},
    {"No module with serial number", "module-not-found"},
    {"Module address required for indirect", "module-not-found"},
    {"Error %d on connectFromSpec", "module-not-found"},
    {"Error %d on route to me", "module-not-found"},
    {"No permission to open Korvex USB devices", "module-busy"},
    {"Update not confirmed", "not-confirmed-after-reboot"},
    {"If the module stays unreachable", "not-confirmed-after-reboot"},
    {"Update failed: module %08X runs firmware", "other-build-after-reboot"},
    {"Failed to update module", "transfer-failed"},
    {"Failed to transfer firmware", "transfer-failed"},
    {"Error starting loader", "transfer-failed"},
    {"Recovery Error", "transfer-failed"},
    {"The loader read back", "transfer-failed"},
    {"The loader could not be read back", "transfer-failed"},
    {"Bird file cannot be sent", "package-refused"},
    {"Birdfile failed validation", "package-refused"},
    {"Failed to load bird file", "package-refused"},
    {"BIRD file", "package-refused"},
    {"Connected device model and Bird file model", "package-refused"},
    {"Error: Unable to modify serial number", "package-refused"},
    {"Recovery file cannot", "package-refused"},
    {"The firmware sent by the server", "package-refused"},
    {"Updater does not support offline recovery", "package-refused"},
    {"Server request failed", "server-unreachable"},
    {"Failed to retrieve", "server-unreachable"},
    {"Download failed", "server-unreachable"},
    {"The server lists more than", "server-unreachable"},
    {"Could not find valid build", "build-not-found"},
    {"No valid build", "build-not-found"},
    {"No build information", "build-not-found"},
    {"Device %08X is not known to the store", "not-in-store"},
    {"Could not find updater directory", "store-failed"},
    {"Failed to open the store", "store-failed"},
    {"Could not create directory", "store-failed"},
    {"Failed to write file", "store-failed"},
    {"Cannot read the device history", "store-failed"},
    {"Stored %s but could not record", "store-failed"},
    {"%s, but could not record the update", "store-failed"},
    {"No home directory", "store-failed"},
    {"Could not get Device Identifier", "boot-rom-not-answering"},
    {"Got no response from chip", "boot-rom-not-answering"},
    {"Cannot open serial port", "boot-rom-not-answering"},
    {"The device on %s answered, but not as a boot ROM", "boot-rom-not-answering"},
    {"The loader found is another chip", "boot-rom-not-answering"},
    {"Unknown device", "boot-rom-not-answering"},
    {"Must specify", "bad-argument"},
    {"-G must specify", "bad-argument"},
    {"--help for usage", "bad-argument"},
    {"Error must supply", "bad-argument"},
    {"Update command must specify", "bad-argument"},
    {"Invalid ", "bad-argument"},
    {"Unknown option", "bad-argument"},
    {"Serial Number must be non-zero", "bad-argument"},
    {"Build number '%s' must be", "bad-argument"},
    {"Add serial number or remove the bird filename", "bad-argument"},
    {"--dry-run", "bad-argument"},
    {"-d all", "bad-argument"},
    {"Out of memory", "internal-error"},
    {"Unexpected failure", "internal-error"},
};

}  // namespace

void JsonSink::emit(const nlohmann::ordered_json& object) {
  // Invalid text was replaced when the object was made; replace again
  // rather than throw should any slip through.
  const std::string line =
      object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::lock_guard<std::mutex> guard(lock_);
  const auto type = object.find("type");
  if (type != object.end() && *type == "error") {
    ++failures_;
  } else {
    ++results_;
  }
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

void JsonSink::summary(int exitCode, double seconds) {
  size_t results = 0, failures = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    results = results_;
    failures = failures_;
  }
  emit({{"type", "summary"},
        {"ok", exitCode == 0},
        {"exit_code", exitCode},
        {"results", results},
        {"failures", failures},
        {"seconds", seconds}});
}

size_t JsonSink::failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

const char* FailureKindOf(const char* format) {
  if (format == nullptr) return "failed";
  for (const KindRule& rule : kKindRules) {
    if (std::strncmp(format, rule.prefix, std::strlen(rule.prefix)) == 0) return rule.kind;
  }
  return "failed";
}

std::string SerialText(uint32_t serialNumber) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", unsigned(serialNumber));
  return text;
}

std::string JsonText(const std::string& text) {
  // Dumping with replacement and parsing back gives valid UTF-8 text.
  const std::string quoted =
      nlohmann::ordered_json(text).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return nlohmann::ordered_json::parse(quoted).get<std::string>();
}

namespace {
std::string VersionText(uint8_t major, uint8_t minor, uint32_t patch) {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}
}  // namespace

nlohmann::ordered_json ModuleObject(const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  nlohmann::ordered_json j = {{"type", "module"},
                      {"serial", SerialText(spec.serialNumber)},
                      {"link", spec.type == TCPIP ? "TCPIP" : "USB"},
                      {"model", spec.model},
                      {"model_name", aDefs_GetModelName(spec.model)},
                      {"module_address", spec.moduleAddress},
                      {"router_address", spec.routerAddress}};
  if (spec.type == TCPIP) {
    char endpoint[32];
    std::snprintf(endpoint, sizeof endpoint, "%d.%d.%d.%d:%u", spec.address[0], spec.address[1],
                  spec.address[2], spec.address[3], unsigned(spec.port & 0xFFFFu));
    j["endpoint"] = endpoint;
  }
  if (device.error != aErrNone) {
    j["error"] = int(device.error);
    return j;
  }
  j["version"] = VersionText(device.versionMajor, device.versionMinor, device.versionPatch);
  j["build"] = device.buildNumber;
  j["name"] = JsonText(device.deviceName);
  return j;
}

nlohmann::ordered_json UpdateObject(const UpdateOutcome& o) {
  nlohmann::ordered_json j = {{"type", "update"},
                      {"serial", SerialText(o.serialNumber)},
                      {"outcome", o.outcome},
                      {"attempts", o.attempts},
                      {"seconds", o.seconds}};
  if (o.oldKnown) {
    j["old_version"] = VersionText(o.oldMajor, o.oldMinor, o.oldPatch);
    j["old_build"] = o.oldBuild;
  }
  if (o.newKnown) {
    j["new_version"] = VersionText(o.newMajor, o.newMinor, o.newPatch);
    j["new_build"] = o.newBuild;
  }
  if (!o.kind.empty()) j["kind"] = o.kind;
  if (!o.message.empty()) j["message"] = JsonText(o.message);
  return j;
}

nlohmann::ordered_json ErrorObject(uint32_t serialNumber, const char* kind, const std::string& message) {
  nlohmann::ordered_json j = {{"type", "error"}, {"kind", kind}, {"message", JsonText(message)}};
  if (serialNumber != 0) j["serial"] = SerialText(serialNumber);
  return j;
}

int ProgressPercent(double fraction) {
  if (!(fraction > 0.0)) return 0;
  if (fraction >= 1.0) return 100;
  return int(fraction * 100);
}

std::string ProgressObject(uint32_t serialNumber, const char* phase, int percent) {
  nlohmann::ordered_json j = {{"type", "progress"}, {"phase", JsonText(phase != nullptr && phase[0] != '\0' ? phase : "transfer")}, {"percent", percent}};
  if (serialNumber != 0) j["serial"] = SerialText(serialNumber);
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json DownloadObject(uint32_t serialNumber, uint32_t stored, const std::string& kind) {
  nlohmann::ordered_json j = {{"type", "download"},
                              {"serial", SerialText(serialNumber)},
                              {"outcome", stored != 0 ? "ok" : "failed"}};
  if (stored != 0) {
    j["build"] = stored;
  } else {
    j["kind"] = kind;
  }
  return j;
}

// Machine-readable results (--json): one JSON object per line on standard
// output, each with a "type" (module, build, stored_build, device_info,
// fingerprint, download, update, error, summary). Human text and progress
// go to standard error then. The objects and failure kinds are an
// interface scripts rely on: add members, never rename or drop them.
#ifndef UPDATER_JSON_OUTPUT_H
#define UPDATER_JSON_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "app/DeviceInfo.h"

// Where the result lines go: standard output, whole lines, one writer at a
// time. Counts results and failures for the summary.
class JsonSink {
 public:
  void emit(const nlohmann::ordered_json& object);
  // The last line: whether the run succeeded, its exit code and counts.
  void summary(int exitCode, double seconds);
  size_t failures() const;

 private:
  mutable std::mutex lock_;
  size_t results_ = 0;
  size_t failures_ = 0;
};

// The stable name of the failure an error message (by its format text)
// reports; "failed" when it is none of the named kinds.
const char* FailureKindOf(const char* format);

// Serial numbers as the human lines write them: 8 upper-case hex digits.
std::string SerialText(uint32_t serialNumber);

// Texts from modules, servers and files made safe for JSON: invalid UTF-8
// becomes U+FFFD, so that dumping never throws.
std::string JsonText(const std::string& text);

nlohmann::ordered_json ModuleObject(const DeviceInfo& device);

// What one update did, for its result object and the run's summary table.
struct UpdateOutcome {
  uint32_t serialNumber = 0;
  bool oldKnown = false;
  uint8_t oldMajor = 0, oldMinor = 0;
  uint32_t oldPatch = 0, oldBuild = 0;
  bool newKnown = false;
  uint8_t newMajor = 0, newMinor = 0;
  uint32_t newPatch = 0, newBuild = 0;
  uint32_t attempts = 0;
  double seconds = 0;
  std::string outcome;  // "updated", "failed", "dry-run"
  std::string kind;     // the first failure's kind
  std::string message;  // and its text
};

nlohmann::ordered_json UpdateObject(const UpdateOutcome& outcome);

// What a download (-G) did: the build stored, or 0 with the failure's kind.
nlohmann::ordered_json DownloadObject(uint32_t serialNumber, uint32_t stored, const std::string& kind);

// An error object; serial 0 names no module.
nlohmann::ordered_json ErrorObject(uint32_t serialNumber, const char* kind, const std::string& message);

// A progress line for standard error: {"type":"progress",...}; serial 0
// names no module.
int ProgressPercent(double fraction);
std::string ProgressObject(uint32_t serialNumber, const char* phase, int percent);

#endif

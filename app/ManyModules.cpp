#include "app/ManyModules.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/JsonOutput.h"
#include "app/StoreCommands.h"
#include "app/UpdateChecks.h"
#include "app/Updater.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

// At most this many modules are updated at the same time.
constexpr size_t kMaxParallelUpdates = 16;
constexpr int kBoardBarWidth = 30;

// The lines of several modules' work on one terminal or pipe. On a
// terminal the last rows are one progress line per module, redrawn in
// place, with messages printed above them; on a pipe every message and
// every tenth of a module's progress is a plain line; with --json messages
// go to standard error, errors also become error objects and progress is
// written to standard error as JSON lines.
class ProgressBoard {
 public:
  ProgressBoard(const std::vector<uint32_t>& serials, JsonSink* json)
      : json_(json), terminal_(json == nullptr && isatty(fileno(stdout)) == 1) {
    for (uint32_t serial : serials) rows_.push_back({serial, "waiting", -1});
  }

  void message(uint32_t serial, bool error, const char* kind, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (error && json_ != nullptr) json_->emit(ErrorObject(serial, kind, text));
    FILE* out = error || json_ != nullptr ? stderr : stdout;
    if (terminal_ && drawn_) std::printf("\x1b[%zuA\x1b[J", rows_.size());
    std::fprintf(out, "[%s] %s\n", SerialText(serial).c_str(), text.c_str());
    if (terminal_ && drawn_) drawLocked();
  }

  void progress(uint32_t serial, const char* phase, double fraction) {
    const int percent = ProgressPercent(fraction);
    std::lock_guard<std::mutex> guard(lock_);
    Row& row = rowOf(serial);
    const std::string label = phase != nullptr && phase[0] != '\0' ? phase : "transfer";
    if (row.percent == percent && row.phase == label) return;
    const bool newTenth = row.phase != label || row.percent / 10 != percent / 10;
    row.phase = label;
    row.percent = percent;
    if (json_ != nullptr) {
      std::fprintf(stderr, "%s\n", ProgressObject(serial, label.c_str(), percent).c_str());
    } else if (terminal_) {
      drawLocked();
    } else if (newTenth) {
      std::printf("[%s] %s: %d%%\n", SerialText(serial).c_str(), label.c_str(), percent);
    }
  }

  void finish(uint32_t serial, const std::string& state) {
    std::lock_guard<std::mutex> guard(lock_);
    Row& row = rowOf(serial);
    row.phase = state;
    row.percent = -1;
    if (terminal_) drawLocked();
  }

  // Leaves the rows as they stand, below them the cursor.
  void close() {
    std::lock_guard<std::mutex> guard(lock_);
    drawn_ = false;
  }

 private:
  struct Row {
    uint32_t serial;
    std::string phase;
    int percent;  // -1: no bar
  };

  Row& rowOf(uint32_t serial) {
    for (Row& row : rows_) {
      if (row.serial == serial) return row;
    }
    return rows_.front();
  }

  void drawLocked() {
    if (drawn_) std::printf("\x1b[%zuA", rows_.size());
    for (const Row& row : rows_) {
      std::printf("\r\x1b[K%s  %-24.24s", SerialText(row.serial).c_str(), row.phase.c_str());
      if (row.percent >= 0) {
        const int filled = kBoardBarWidth * row.percent / 100;
        std::printf(" [%.*s%*s] %3d%%", filled, "==============================", kBoardBarWidth - filled,
                    "", row.percent);
      }
      std::printf("\n");
    }
    drawn_ = true;
  }

  std::mutex lock_;
  JsonSink* json_;
  const bool terminal_;
  bool drawn_ = false;
  std::vector<Row> rows_;
};

// One module's display while several are worked on: its lines go to the
// board with its serial number.
class ModuleDisplay : public UpdaterDisplayInterface {
 public:
  ModuleDisplay(ProgressBoard& board, uint32_t serial, JsonSink* json)
      : board_(board), serial_(serial), json_(json) {}
  void display_progress(bool) override {}
  void update_progress(double fraction, const char* label) override {
    board_.progress(serial_, label, fraction);
  }
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { board_.message(serial_, false, nullptr, text); }
  void error_message(const char* text) override {
    board_.message(serial_, true, FailureKindOf(current_format), text);
  }
  bool wants_results() const override { return json_ != nullptr; }
  void result(const std::string& json) override {
    if (json_ != nullptr) json_->emit(nlohmann::ordered_json::parse(json));
  }

 private:
  ProgressBoard& board_;
  const uint32_t serial_;
  JsonSink* const json_;
};

struct ModuleResult {
  uint32_t serial = 0;
  bool ok = false;
  UpdateOutcome update;
  bool updated = false;    // an update was tried
  uint32_t downloaded = 0;  // the build -G stored
};

// The serial numbers -d names; for "all", those a search finds (readable
// modules only). Empty (reported) when there are none.
std::vector<uint32_t> ResolveModules(UpdaterDisplayInterface& display, const Parameters& params) {
  if (!params.allDevices) return params.serialNumbers;
  Updater updater(params.serverURL, params.storageDir, display);
  const linkType type =
      params.transportGiven && params.transport != RECOVER ? params.transport : INVALID;
  std::vector<DeviceInfo> found;
  if (params.routerSerialNumber != 0) {
    found = updater.Discover_KXNetwork_Devices(params.routerSerialNumber, type);
  } else {
    found = updater.Discover_Devices(type == INVALID ? USB : type);
  }
  std::vector<uint32_t> serials;
  for (const DeviceInfo& device : found) {
    const uint32_t serial = device.spec.serialNumber;
    if (device.error != aErrNone || serial == 0) continue;
    if (std::find(serials.begin(), serials.end(), serial) == serials.end()) serials.push_back(serial);
    if (serials.size() >= kMaxSerialNumbers) break;
  }
  if (serials.empty()) display.message(Level::error, "No modules found for -d all");
  return serials;
}

// -G and -U for one module, each with its own updater and display.
ModuleResult UpdateOne(UpdaterDisplayInterface& display, const Parameters& params, uint32_t serial) {
  ModuleResult result;
  result.serial = serial;
  Updater updater(params.serverURL, params.storageDir, display);
  updater.Set_UEIBytes_Load(params.ueiBytesLoad);
  updater.Set_Read_Old_Version(true);
  updater.Set_DryRun(params.dryRun);
  uint32_t build = BuildFromText(params.build);
  if (params.commands.IsSet(CMD_GET_FIRMWARE)) {
    display.clear_first_error();
    result.downloaded = updater.Download_Firmware(serial, params.build, params.override, false);
    if (display.wants_results())
      display.result(DownloadObject(serial, result.downloaded, display.first_error_kind_name()).dump());
    if (result.downloaded == 0) {
      result.update.serialNumber = serial;
      result.update.outcome = "failed";
      result.update.kind = display.first_error_kind_name();
      result.update.message = display.first_error_message();
      return result;
    }
    build = result.downloaded;
  }
  if (params.commands.IsSet(CMD_UPDATE)) {
    result.updated = true;
    result.ok = updater.Update_Firmware(serial, build, params.birdFile, params.moduleAddress,
                                        params.routerSerialNumber, params.override);
    result.update = updater.Last_Update();
  } else {
    result.ok = true;
  }
  return result;
}

std::string VersionCell(bool known, uint8_t major, uint8_t minor, uint32_t patch, uint32_t build) {
  if (!known) return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u (%u)", unsigned(major), unsigned(minor), unsigned(patch),
                unsigned(build));
  return text;
}

void ShowSummary(UpdaterDisplayInterface& display, const std::vector<ModuleResult>& results) {
  display.message(Level::info, "Summary:");
  display.message(Level::info, "    Device    Outcome   Before                 After                  Why");
  for (const ModuleResult& r : results) {
    const UpdateOutcome& u = r.update;
    const std::string outcome = r.updated ? u.outcome : r.ok ? "stored" : "failed";
    const std::string before = VersionCell(u.oldKnown, u.oldMajor, u.oldMinor, u.oldPatch, u.oldBuild);
    const std::string after = VersionCell(u.newKnown, u.newMajor, u.newMinor, u.newPatch, u.newBuild);
    const std::string why = r.ok ? "" : u.kind.empty() ? "failed" : u.kind;
    display.message(Level::info, "    %08X  %-9s %-22s %-22s %s", r.serial, outcome.c_str(),
                    before.c_str(), after.c_str(), why.c_str());
  }
}

}  // namespace

bool NamesManyModules(const Parameters& params) {
  return params.allDevices || params.serialNumbers.size() > 1;
}

int RunListCommand(UpdaterDisplayInterface& display, Updater& updater, uint32_t bit,
                   const Parameters& params, uint32_t serial) {
  if (bit == CMD_LIST_BUILDS) {
    BuildMap builds;
    if (!updater.Get_BuildList(serial, builds)) return 1;
    _display_builds(display, serial, UpdateServerRequest::SortBuildsByVersion(builds));
    return 0;
  }
  if (bit == CMD_LIST_LOCAL_BUILDS) {
    _display_builds(display, serial,
                    UpdateServerRequest::SortBuildsByVersion(updater.Get_BuildListLocal(serial)), true);
    return 0;
  }
  if (bit == CMD_VIEW_INFO) return ShowDeviceInfo(display, params.storageDir, serial) ? 0 : 1;
  std::string token;
  if (!updater.Get_JWT(serial, token)) return 1;
  _display_jwt(display, token);
  return 0;
}

int RunForManyModules(UpdaterDisplayInterface& display, JsonSink* json, Parameters& params) {
  const CommandsClass& commands = params.commands;
  if (commands.IsSet(CMD_DISCOVER) || commands.IsSet(CMD_FINGERPRINT) ||
      commands.IsSet(CMD_CHECK_BIRD) || (commands.IsSet(CMD_UPDATE) && params.transport == RECOVER)) {
    display.message(Level::error,
                    "-d with several modules (or all) goes with -U, -G, -B, -L, -I or -J only");
    return 1;
  }
  const std::vector<uint32_t> serials = ResolveModules(display, params);
  if (serials.empty()) return 1;

  int exitCode = 0;
  // Listing commands, for each module in turn.
  for (uint32_t bit : {CMD_LIST_BUILDS, CMD_LIST_LOCAL_BUILDS, CMD_VIEW_INFO, CMD_GET_JWT}) {
    if (!commands.IsSet(bit) || commands.IsSet(CMD_UPDATE) || commands.IsSet(CMD_GET_FIRMWARE)) continue;
    Updater updater(params.serverURL, params.storageDir, display);
    for (uint32_t serial : serials) {
      if (RunListCommand(display, updater, bit, params, serial) != 0) exitCode = 1;
    }
    return exitCode;
  }
  if (!commands.IsSet(CMD_UPDATE) && !commands.IsSet(CMD_GET_FIRMWARE)) return -1;

  // Modules behind one router share its link: one after another. Every
  // other module has a link of its own.
  const size_t lanes =
      params.routerSerialNumber != 0 ? 1 : std::min(serials.size(), kMaxParallelUpdates);
  ProgressBoard board(serials, json);
  std::vector<ModuleResult> results(serials.size());
  std::atomic<size_t> next{0};
  auto lane = [&]() {
    for (size_t i = next++; i < serials.size(); i = next++) {
      ModuleDisplay moduleDisplay(board, serials[i], json);
      try {
        results[i] = UpdateOne(moduleDisplay, params, serials[i]);
      } catch (const std::exception& e) {
        moduleDisplay.message(Level::error, "Unexpected failure: %s", e.what());
        results[i].serial = serials[i];
        results[i].update.serialNumber = serials[i];
        results[i].update.outcome = "failed";
        results[i].update.kind = "internal-error";
      }
      if (json != nullptr && results[i].updated) json->emit(UpdateObject(results[i].update));
      board.finish(serials[i], results[i].ok ? (results[i].updated ? "updated" : "stored") : "failed");
    }
  };
  std::vector<std::thread> workers;
  for (size_t i = 1; i < lanes; ++i) workers.emplace_back(lane);
  lane();
  for (std::thread& worker : workers) worker.join();
  board.close();

  ShowSummary(display, results);
  for (const ModuleResult& r : results) {
    if (!r.ok) exitCode = 1;
  }
  return exitCode;
}

// Firmware retrieval and build lists: -B, -L, -J and -G, and loading the
// BIRD file an update or recovery sends.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "app/FirmwareReceiver.h"
#include "app/Updater.h"
#include "common/aNumber.h"
#include "log/Log.h"
#include "store/RegularFile.h"

// What a download asks the server before it starts: whether it answers,
// its latest build for the device and the firmware identifier, and (unless
// the build is not to be validated) the builds it lists. The three
// requests run at the same time.
struct DownloadQuestions {
  void Ask(const std::string& url, uint32_t serialNumber, bool wantList);

  bool reachable = false;
  std::string unreachable;  // why the server could not be asked
  bool queried = false;
  std::string latest;
  std::string firmwareId;
  bool listed = false;
  BuildMap builds;
};

namespace {

using Level = UpdaterDisplayInterface::Level;

const char* kSpinnerLabel = "Downloading";

// Leading decimal digits of text as an unsigned 32-bit number. False when
// the text does not begin with a digit or the value is out of range.
bool ReadBuildNumber(const std::string& text, uint32_t& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  return aNumber_ParseU32(text.c_str(), 10, &value) == aErrNone;
}

// A build number text as a number, 0 (logged) when it is not one.
uint32_t BuildOrZero(const std::string& text) {
  uint32_t value = 0;
  if (!ReadBuildNumber(text, value)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return value;
}

// Runs work on a thread of its own, joined at the latest on destruction;
// on the calling thread at once when no thread can be started.
class Beside {
 public:
  explicit Beside(std::function<void()> work) {
    try {
      thread_ = std::thread(work);
    } catch (const std::system_error&) {
      work();
    }
  }
  ~Beside() { Join(); }
  Beside(const Beside&) = delete;
  Beside& operator=(const Beside&) = delete;
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// Whether the server's build list holds build.
bool ListsBuild(const BuildMap& builds, uint32_t build) {
  for (const auto& entry : builds) {
    if (BuildOrZero(entry.first) == build) return true;
  }
  return false;
}

std::string BirdFileName(uint32_t build) { return std::to_string(build) + ".bird"; }

// ctime text without its newline.
std::string Now() {
  const std::time_t t = std::time(nullptr);
  char text[64];
  if (!ctime_r(&t, text)) return std::string();
  std::string s(text);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// Runs GetBuild on a worker thread while the spinner turns; whileAsking runs
// first, once the request is on its way. The payload is read only after the
// worker has been joined.
bool FetchWithSpinner(UpdaterDisplayInterface& display, const std::string& url,
                      uint32_t serialNumber, const std::string& firmwareId,
                      const std::string& build, bool noCalibration, BuildTextSink& payload,
                      const std::function<void()>& whileAsking) {
  std::promise<bool> verdict;
  std::future<bool> done = verdict.get_future();
  std::thread worker([&verdict, url, serialNumber, firmwareId, build, noCalibration, &payload] {
    bool ok = false;
    try {
      ok = UpdateServerRequest::GetBuild(serialNumber, firmwareId, build, payload, url.c_str(),
                                         noCalibration);
    } catch (...) {
      ok = false;  // out of memory on a huge reply
    }
    verdict.set_value(ok);
  });
  try {
    whileAsking();
  } catch (...) {
    worker.join();
    throw;
  }
  display.update_spinner(true, kSpinnerLabel);
  while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    display.update_spinner(true, kSpinnerLabel);
  }
  display.update_spinner(false, kSpinnerLabel);
  const bool ok = done.get();
  worker.join();
  return ok;
}

}  // namespace

bool Updater::Get_BuildList(uint32_t serialNumber, BuildMap& builds) {
  builds.clear();
  std::string why;
  if (!UpdateServerRequest::ping(serverURL.c_str(), &why)) {
    display.message(Level::error, "Server request failed for %s: %s", serverURL.c_str(),
                    why.c_str());
    return false;
  }
  bool truncated = false;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverURL.c_str(), &truncated)) {
    display.message(Level::error, "Failed to retrieve builds for %08X", serialNumber);
    builds.clear();
    return false;
  }
  if (truncated) {
    display.message(Level::error,
                    "The server lists more than %u builds for %08X; only the first %u are kept",
                    static_cast<unsigned>(UpdateServerRequest::kMaxBuildListEntries),
                    serialNumber,
                    static_cast<unsigned>(UpdateServerRequest::kMaxBuildListEntries));
  }
  return true;
}

BuildMap Updater::Get_BuildList(uint32_t serialNumber) {
  BuildMap builds;
  Get_BuildList(serialNumber, builds);
  return builds;
}

bool Updater::Get_JWT(uint32_t serialNumber, std::string& token) {
  token.clear();
  std::string why;
  if (!UpdateServerRequest::ping(serverURL.c_str(), &why)) {
    display.message(Level::error, "Server request failed for %s: %s", serverURL.c_str(),
                    why.c_str());
    return false;
  }
  if (!UpdateServerRequest::GetDeviceJWT(serialNumber, token, serverURL.c_str())) {
    display.message(Level::error, "Failed to retrieve jwt for %08X", serialNumber);
    token.clear();
    return false;
  }
  return true;
}

std::string Updater::Get_JWT(uint32_t serialNumber) {
  std::string token;
  Get_JWT(serialNumber, token);
  return token;
}

BuildMap Updater::Get_BuildListLocal(uint32_t serialNumber) {
  BuildMap builds;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Get_BuildListLocal", StoreAccess::ReadOnly);
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      const std::string path = item.base + "/" + item.name;
      bool found = false;
      if (BirdFile::VerifyFile(path.c_str())) {
        try {
          BirdFile bird(path.c_str());
          // Only a package the update flows would take shows a version.
          if (bird.Usable()) {
            version = bird.GetVersion();
            found = true;
            if (!version.empty()) {
              Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            }
          }
        } catch (const std::runtime_error&) {
          version.clear();
        }
      }
      if (!found) Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
    }
    builds.emplace(key, version);
  }
  return builds;
}

bool Updater::_valid_build(uint32_t serialNumber, uint32_t build, const std::string& url) {
  BuildMap builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url.c_str())) return false;
  return ListsBuild(builds, build);
}

void DownloadQuestions::Ask(const std::string& url, uint32_t serialNumber, bool wantList) {
  // Each answer is written by one thread only and read after the joins.
  Beside query([this, &url, serialNumber] {
    queried = UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareId, url.c_str());
  });
  std::unique_ptr<Beside> list;
  if (wantList) {
    list.reset(new Beside([this, &url, serialNumber] {
      listed = UpdateServerRequest::GetBuildList(serialNumber, builds, url.c_str());
    }));
  }
  reachable = UpdateServerRequest::ping(url.c_str(), &unreachable);
  query.Join();
  if (list) list->Join();
}

namespace {

// Where a download goes: the device's directory in the store. A device
// seen for the first time gets its directory only once there is a file to
// keep, so that a failed download leaves the store untouched.
struct DownloadTarget {
  std::unique_ptr<UpdaterStore> store;
  UpdaterStoreItem device;
  bool known = false;       // the store held the device before
  bool haveDevice = false;  // its directory exists
};

// Finds the device in the store; false (reported) when its history exists
// but cannot be read, as it could then be neither recorded nor kept.
bool FindDownloadTarget(UpdaterDisplayInterface& display, uint32_t serialNumber,
                        DownloadTarget& target) {
  target.known = target.store->FindDevice(serialNumber, &target.device);
  target.haveDevice = target.known;
  if (!target.known) Log::log(DEBUG_APP, "Could not find device in our update history.\n");
  if (target.known && target.device.attributes.Unreadable()) {
    display.message(Level::error, "Cannot read the device history %s: %s",
                    target.device.attributes.Path().c_str(),
                    OpenErrorText(target.device.attributes.LastError()).c_str());
    return false;
  }
  return true;
}

// Fetch: the server's text, decoded and checked while it arrives. False
// (reported) when nothing usable came.
bool FetchFirmware(UpdaterDisplayInterface& display, const std::string& url,
                   uint32_t serialNumber, const std::string& firmwareId, uint32_t build,
                   bool noCalibration, FirmwareReceiver& payload,
                   const std::function<void()>& whileAsking) {
  if (!FetchWithSpinner(display, url, serialNumber, firmwareId, std::to_string(build),
                        noCalibration, payload, whileAsking)) {
    display.message(Level::error, "Download failed");
    display.message(Level::error, "Failed to retrieve a valid BIRD file");
    return false;
  }
  if (!payload.HasText()) {
    display.message(Level::error, "Failed to retrieve a valid BIRD file");
    return false;
  }
  if (!payload.TextValid()) {
    display.message(Level::error, "The firmware sent by the server is not valid base64 text");
    display.message(Level::error, "Failed to retrieve a valid BIRD file");
    return false;
  }
  return true;
}

// Check: waits for the check of the decoded file to finish. Only a usable
// BIRD file is kept, and only under the build its information block names:
// one of another build stored as NNNN.bird would later be sent as build
// NNNN. False (reported) otherwise.
bool CheckFirmware(UpdaterDisplayInterface& display, FirmwareReceiver& payload, uint32_t build) {
  const bool loadable = payload.FileValid();
  const bool usable = loadable && payload.Check().Usable();
  const uint32_t named = usable ? payload.Check().GetBuild() : 0;
  if (usable && named == build) {
    if (!payload.Check().StructureValid()) {
      Log::log(DEBUG_Updater, "BIRD file of build %u: block layout does not match its count\n",
               build);
    }
    return true;
  }
  if (!usable) {
    display.message(Level::error, loadable ? "The firmware sent by the server cannot be used"
                                           : "The firmware sent by the server is not a BIRD file");
    display.message(Level::error, "BIRD file problem: %s", payload.Check().Problem().c_str());
  } else {
    display.message(Level::error,
                    "The firmware sent by the server is build %u, not the requested build %u",
                    named, build);
  }
  display.message(Level::error, "Failed to retrieve a valid BIRD file");
  return false;
}

// The file a download goes to: the device's directory is made for it (a
// device seen for the first time gets one now, removed again when the
// download fails) and the temporary file begun, so that the bytes can go to
// the disk while they arrive. aErrNone, or why not (the failure is
// reported once the check has passed, as a write failure).
aErr BeginDownloadFile(uint32_t serialNumber, uint32_t build, DownloadTarget& target,
                       AtomicFileWriter& writer, int* error) {
  *error = 0;
  if (!target.known) {
    try {
      // Its history is written once, together with the download.
      target.device = target.store->AddNewDevice(serialNumber);
      target.haveDevice = true;
    } catch (const std::runtime_error&) {
      target.haveDevice = false;
    }
  }
  if (!target.haveDevice) return aErrNotFound;
  return target.device.BeginFile(BirdFileName(build), writer, error);
}

// Leaves the store as it was before a failed download.
void UndoDownloadFile(DownloadTarget& target, AtomicFileWriter& writer) {
  writer.Abandon();
  if (!target.known && target.haveDevice) target.store->RemoveDeviceIfEmpty(target.device);
}

// Check and commit: while the last of the check runs, the file written
// during the download is flushed to the disk; it is put in place only once
// the check has passed, and removed (with a device directory made for it)
// otherwise. The device's history then records the download. False
// (reported) when the file was not stored and recorded.
bool StoreFirmware(UpdaterDisplayInterface& display, uint32_t build, FirmwareReceiver& payload,
                   DownloadTarget& target, AtomicFileWriter& writer, aErr begun, int beginError) {
  const std::string fileName = BirdFileName(build);
  aErr written = begun;
  int writeError = beginError;
  // The history that will record the download is written and flushed on a
  // thread of its own meanwhile; it is put in place only after the file.
  KeyValueStore& history = target.device.attributes;
  AtomicFileWriter historyFile;
  bool historyPrepared = false;
  bool checked = false;
  {
    std::unique_ptr<Beside> historyWork;
    if (written == aErrNone && target.haveDevice) {
      history.Add(KEY_LATEST_DOWNLOAD, fileName);
      history.Add(KEY_LAST_DOWNLOAD_DATE, Now());
      historyWork.reset(new Beside([&history, &historyFile, &historyPrepared] {
        historyPrepared = history.PrepareSave(historyFile);
      }));
    }
    if (written == aErrNone && !payload.Refused()) written = payload.FinishFile(&writeError);
    checked = CheckFirmware(display, payload, build);
  }  // the history's thread is joined here
  if (!checked) {
    historyFile.Abandon();
    UndoDownloadFile(target, writer);
    return false;
  }
  if (!target.haveDevice) {
    display.message(Level::error, "Could not create directory for storing BIRD file");
    return false;
  }
  if (written == aErrNone) written = writer.Commit(&writeError);
  payload.Release();
  if (written != aErrNone) {
    historyFile.Abandon();
    writer.Abandon();
    if (!target.known) target.store->RemoveDeviceIfEmpty(target.device);
    display.message(Level::error, "Failed to write file with %d: %s: %s", static_cast<int>(written),
                    BuildPath(target.device.Path().c_str(), fileName.c_str(), nullptr).c_str(),
                    OpenErrorText(writeError).c_str());
    return false;
  }
  if (!historyPrepared || !history.CommitSave(historyFile)) {
    display.message(Level::error, "Stored %s but could not record it in the device history %s: %s",
                    fileName.c_str(), history.Path().c_str(),
                    OpenErrorText(history.LastError()).c_str());
    return false;
  }
  return true;
}

}  // namespace

uint32_t Updater::_choose_build(const DownloadQuestions& answers, uint32_t build, bool override,
                                std::string& firmwareId) {
  if (!answers.queried) {
    display.message(Level::error, "No build information for device");
    return 0;
  }
  firmwareId = answers.firmwareId;
  if (build == 0) build = BuildOrZero(answers.latest);
  if (build == 0) {
    // Nothing to ask for: the server named no build.
    display.message(Level::error, "No build information for device");
    return 0;
  }

  display.message(Level::info, "Retrieving build %u", build);
  if (override) {
    display.message(Level::info, "Override specified, skipping validation of build %u", build);
    return build;
  }
  display.message(Level::info, "Validating build %u with server", build);
  if (!answers.listed || !ListsBuild(answers.builds, build)) {
    display.message(Level::error, "No valid build %u", build);
    return 0;
  }
  display.message(Level::info, "Build %u is valid", build);
  return build;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& buildText,
                                    bool override, bool noCalibration) {
  uint32_t build = 0;
  if (!buildText.empty() && !ReadBuildNumber(buildText, build)) {
    display.message(Level::error, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(Level::error, "Serial Number must be non-zero");
    return 0;
  }
  // None of the three questions depends on another's answer: they go to
  // the server together and are judged in turn.
  DownloadQuestions answers;
  answers.Ask(serverURL, serialNumber, !override);
  if (!answers.reachable) {
    display.message(Level::error, "Server request failed for %s: %s", serverURL.c_str(),
                    answers.unreachable.c_str());
    return 0;
  }
  DownloadTarget target;
  target.store = _createUpdaterStore(display, storeDirectory, "Download_Firmware");
  if (!target.store || !FindDownloadTarget(display, serialNumber, target)) return 0;

  std::string firmwareId;
  build = _choose_build(answers, build, override, firmwareId);
  if (build == 0) return 0;

  FirmwareReceiver payload;
  AtomicFileWriter writer;
  int beginError = 0;
  aErr begun = aErrNotFound;
  // The file is begun while the server prepares its reply.
  payload.AwaitFile();
  const auto beginFile = [&] {
    struct Decide {  // the receiver learns where the bytes go on every path
      FirmwareReceiver& payload;
      AtomicFileWriter* file;
      ~Decide() { payload.WriteTo(file); }
    } decide{payload, nullptr};
    begun = BeginDownloadFile(serialNumber, build, target, writer, &beginError);
    if (begun == aErrNone) decide.file = &writer;
  };
  if (!FetchFirmware(display, serverURL, serialNumber, firmwareId, build, noCalibration, payload,
                     beginFile)) {
    UndoDownloadFile(target, writer);
    return 0;
  }
  return StoreFirmware(display, build, payload, target, writer, begun, beginError) ? build : 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                                    bool override) {
  uint32_t build = buildText.empty() ? 0 : BuildOrZero(buildText);
  uint32_t serial = 0, serverBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &serverBuild,
                                            serverURL.c_str())) {
    display.message(Level::error,
                    "Failed to retrieve recovery information from Velmaris update server");
    return 0;
  }
  if (build == 0) build = serverBuild;
  return Download_Firmware(serial, std::to_string(build), override, false);
}

BirdFile Updater::load_bird(const char* purpose, const std::string& birdPath,
                            uint32_t serialNumber, uint32_t build, bool allowDownload) {
  // Without a download the store is only read: nothing is made in it.
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "load_bird",
                          allowDownload ? StoreAccess::ReadWrite : StoreAccess::ReadOnly);
  if (!store) return BirdFile();
  if (!birdPath.empty()) {
    display.message(Level::info, "%s from Birdfile: %s", purpose, birdPath.c_str());
    BirdFile bird(birdPath.c_str());
    if (!bird.Usable()) throw std::runtime_error("Unusable bird " + birdPath + ": " + bird.Problem());
    return bird;
  }
  UpdaterStoreItem device;
  if (allowDownload)
    device = store->AddDevice(serialNumber);
  else
    store->FindDevice(serialNumber, &device);
  display.message(Level::info, "%s firmware with build: %u", purpose, build);
  const std::string fileName = BirdFileName(build);
  try {
    if (!device.IsValid()) throw std::runtime_error("No store entry for the device");
    return device.ReadBirdFile(fileName);
  } catch (const std::runtime_error&) {
    if (!allowDownload) throw std::runtime_error("Error reading birdfile");
  }
  display.message(Level::info, "Downloading firmware build %u", build);
  Download_Firmware(serialNumber, std::to_string(build), false, false);
  return device.ReadBirdFile(fileName);
}

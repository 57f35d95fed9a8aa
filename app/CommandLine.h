// The option table, the Parameters record and the printed formats of the
// command-line front end.
#ifndef UPDATER_COMMAND_LINE_H
#define UPDATER_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aDefs.h"
#include "server/UpdateServerRequest.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET_FIRMWARE = 0x00000008,
  CMD_VIEW_INFO = 0x00000010,
  CMD_CHECK_BIRD = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_OPTION_Z = 0x00000080,
  CMD_GET_JWT = 0x00000100,
  CMD_LIST_LOCAL_BUILDS = 0x00000200,
  CMD_HELP = 0x80000000,
};

// Every command bit that counts as "a command was given".
constexpr uint32_t CMD_ANY_COMMAND = 0x000307FF;

class CommandsClass {
 public:
  void Set(uint32_t bit) { mask_ |= bit; }
  bool IsSet(uint32_t bits) const { return (mask_ & bits) != 0; }
  uint32_t Mask() const { return mask_; }

 private:
  uint32_t mask_ = 0;
};

#define UPDATER_APP_NAME "Updater"
#define UPDATER_APP_VERSION "Version: 2.11.5 Oct 13 2025"
#define UPDATER_BUILD_YEAR "2025"

// The most modules one command names with -d.
constexpr size_t kMaxSerialNumbers = 256;

struct Parameters {
  Parameters();

  CommandsClass commands;
  uint32_t serialNumber = 0;
  std::vector<uint32_t> serialNumbers;  // -d's list, in order, without repeats
  bool allDevices = false;              // -d all
  bool json = false;                    // --json
  uint32_t routerSerialNumber = 0;
  linkType transport = USB;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 115200;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string logMessage;  // stored only
  std::string build;       // decimal text; replaced by -G's result
  bool echo = false;       // stored only
  std::string serverURL = UPDATER_DEFAULT_SERVER_URL;
  bool flagN = false;      // stored only
  std::string storageDir;
  std::string programName;
  std::string homeDir;
  std::string logMode = "a+";
  std::string logFile = "Updater.log";  // stored only
  bool override = false;
  bool dryRun = false;  // --dry-run: -U checks everything up to its first write
  bool ueiBytesLoad = true;
  uint32_t debugMask = 0;
  bool debugMaskGiven = false;
  bool helpRequested = false;
  unsigned unknownOptions = 0;  // options named on standard error and skipped
};

// One row of the option table. Kind: 0 help, 1 command, 2 parameter. Each
// row carries its effect on the parse: apply gets the row and the value
// (null for an option without one); command is the bit a command sets.
enum OptionKind { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_END = -1 };
enum OptionArg { SO_NONE = 0, SO_REQ_SEP = 1 };
struct OptionParseState;
struct SOption;
using OptionEffect = void (*)(OptionParseState& state, const SOption& option, const char* value);
struct SOption {
  int nId;
  const char* pszArg;
  OptionArg nArgType;
  OptionEffect apply;
  uint32_t command;
};
extern const SOption g_rgOptions[];

// Parses argv into params. 0 on success, 1 when a parameter error was
// reported.
int _get_params(UpdaterDisplayInterface& display, int argc, char* argv[],
                Parameters& params);
void _validate_params(Parameters& params);
void _release_params(Parameters& params);

// Value of text in base 16 (resp. 10) when every character is a digit of
// that base, saturated at 0xFFFFFFFF; otherwise 0. end, when given, is set
// to the end of text on success and to text otherwise.
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);

// Printers; all at info level except the usage, which goes to standard
// error.
void _display_app_version(UpdaterDisplayInterface& display);
void _display_notice(UpdaterDisplayInterface& display);
void _display_usage(bool extended, bool full);
void _display_fingerprint(UpdaterDisplayInterface& display, const uint32_t words[4]);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
// A build list: pairs of (build number, version text), already sorted.
// stored: the builds in the store (-L), else the server's (-B).
void _display_builds(UpdaterDisplayInterface& display, uint32_t serialNumber,
                     const std::vector<std::pair<std::string, std::string>>& builds,
                     bool stored = false);

// The device list of a discovery, headed for the given link type; each
// line is formatted by its record's own link type.
void _display_device_list(UpdaterDisplayInterface& display, linkType type,
                          const std::vector<DeviceInfo>& devices);

#endif

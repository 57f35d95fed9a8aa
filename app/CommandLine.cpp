#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <strings.h>

#include "common/aDirectory.h"
#include "common/aNumber.h"
#include "log/Log.h"

// The parse in progress, as the options' effects see it.
struct OptionParseState {
  UpdaterDisplayInterface& display;
  Parameters& params;
  bool& failed;
};

namespace {

constexpr size_t kHomeBuffer = 2048;

std::string ProgramName(const char* argv0) {
  if (!argv0) return std::string();
  const char* name = argv0;
  for (const char* p = argv0; *p; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

// Value of text in the given base when every character is one of digits;
// saturates at 0xFFFFFFFF. 0 for an empty text or a foreign character.
uint32_t ParseDigits(const char* text, const char** end, const char* digits, uint32_t base) {
  if (end) *end = text;
  if (!text || !*text) return 0;
  uint64_t value = 0;
  const char* p = text;
  for (; *p; ++p) {
    const char* at = strchr(digits, *p);
    if (!at) return 0;
    uint32_t digit = uint32_t(at - digits);
    if (digit >= 16) digit -= 6;  // lower-case hex letters follow the upper-case ones
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
  }
  if (end) *end = p;
  return uint32_t(value);
}

// The table row an argument names: an exact match, else the one option
// that the argument abbreviates. Null when none or several.
const SOption* LookupOption(const std::string& name) {
  const SOption* partial = nullptr;
  int partialCount = 0;
  for (const SOption* row = g_rgOptions; row->nId != OPT_END; ++row) {
    if (name == row->pszArg) return row;
    if (strncmp(row->pszArg, name.c_str(), name.size()) == 0) {
      partial = row;
      ++partialCount;
    }
  }
  return partialCount == 1 ? partial : nullptr;
}

// Option text proper: "-x" or "--xyz"; a lone "-" or "--" is not an option.
bool IsOptionText(const char* arg) {
  if (arg[0] != '-') return false;
  if (arg[1] == '\0') return false;
  if (arg[1] == '-' && arg[2] == '\0') return false;
  return true;
}

bool IsHostNameText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsBracketedIPv6(const std::string& text) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const char c = text[i];
    if (!isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
  }
  return true;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// The server URL for a -u value: a whole http:// or https:// URL is kept as
// given; "host" and "host:port" (a host name, IPv4 address or bracketed
// IPv6 address) become http://host[:port]/cgi/u, port 80 being left out.
// False for anything else.
bool ServerURLFromArgument(const std::string& given, std::string& url) {
  for (char c : given) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  }
  for (const char* scheme : {"http://", "https://"}) {
    if (!StartsWithNoCase(given, scheme)) continue;
    const size_t host = strlen(scheme);
    if (given.size() == host || given[host] == '/') return false;
    url = given;
    return true;
  }
  const size_t colon = given.rfind(':');
  const size_t bracket = given.rfind(']');
  const bool hasPort =
      colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  const std::string host = hasPort ? given.substr(0, colon) : given;
  if (!IsHostNameText(host) && !IsBracketedIPv6(host)) return false;
  std::string port;
  if (hasPort) {
    const uint32_t number = _get_int_arg(given.c_str() + colon + 1, nullptr);
    if (number == 0 || number > 65535) return false;
    if (number != 80) port = ":" + std::to_string(number);
  }
  url = "http://" + host + port + "/cgi/u";
  return true;
}

uint32_t ParseSerial(UpdaterDisplayInterface& display, const char* value, const char* prefixLog,
                     const char* invalidMessage, bool& failed) {
  std::string text(value);
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    Log::log(DEBUG_Updater, "%s", prefixLog);
    text.erase(0, 2);
  }
  const uint32_t serial = _get_hex_arg(text.c_str(), nullptr);
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::error, invalidMessage, text.c_str());
    failed = true;
  }
  return serial;
}

// Effects of the options, one per row of the table below. Each gets the
// row, the value (null for options without one) and the parse state.
void SetCommand(OptionParseState& s, const SOption& option, const char*) {
  s.params.commands.Set(option.command);
}

void RejectCommand(OptionParseState& s, const SOption& option, const char*) {
  s.display.message(UpdaterDisplayInterface::error, "Unhandled command: [%s]", option.pszArg);
  s.failed = true;
}

void SetOverride(OptionParseState& s, const SOption&, const char*) { s.params.override = true; }
void SetDryRun(OptionParseState& s, const SOption&, const char*) { s.params.dryRun = true; }
void SetFlagN(OptionParseState& s, const SOption&, const char*) { s.params.flagN = true; }
void SetEcho(OptionParseState& s, const SOption&, const char*) { s.params.echo = true; }

void SetDebugMask(OptionParseState& s, const SOption& option, const char* value) {
  s.params.debugMaskGiven = true;
  const bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  char* rest = nullptr;
  errno = 0;
  const unsigned long long mask = strtoull(value, &rest, hex ? 16 : 10);
  if (rest && *rest) {
    s.display.message(UpdaterDisplayInterface::error,
                      "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                      option.pszArg, rest);
  } else {
    s.params.debugMask = uint32_t(mask);
    Log::ActivatePackage(s.params.debugMask);
  }
}

// -Z: the value is consumed and ignored.
void SetOptionZ(OptionParseState& s, const SOption&, const char*) {
  s.params.commands.Set(CMD_OPTION_Z);
}

void SetUeiBytesLoad(OptionParseState& s, const SOption&, const char* value) {
  s.params.ueiBytesLoad = value[0] == '1' || strncmp(value, "true", 4) == 0;
}

void SetStorageDir(OptionParseState& s, const SOption&, const char* value) {
  s.params.storageDir = value;
}

// A build is a decimal number of 32 bits: anything else fails the parse,
// as a bad serial number does, rather than silently meaning the latest.
void SetBuild(OptionParseState& s, const SOption&, const char* value) {
  uint32_t build = 0;
  const char* end = nullptr;
  if (!std::isdigit(static_cast<unsigned char>(value[0])) ||
      aNumber_ParseU32(value, 10, &build, &end) != aErrNone || *end != '\0') {
    s.display.message(UpdaterDisplayInterface::error,
                      "Invalid build number obtained from argument [%s]", value);
    s.failed = true;
    return;
  }
  s.params.build = std::to_string(build);
}

// -d takes one serial number, a comma-separated list of them, or "all"
// (every module a search on the same link finds). serialNumber stays the
// first one named, as the single-module commands use it.
void SetSerialNumber(OptionParseState& s, const SOption&, const char* value) {
  s.params.serialNumbers.clear();
  s.params.allDevices = false;
  if (strcmp(value, "all") == 0) {
    s.params.allDevices = true;
    s.params.serialNumber = 0;
    return;
  }
  const std::string text(value);
  size_t from = 0;
  for (;;) {
    const size_t comma = text.find(',', from);
    const std::string one = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    const uint32_t serial =
        ParseSerial(s.display, one.c_str(), "Discarding '0x' serial number prefix\n",
                    "Invalid serial number obtained from argument [%s]", s.failed);
    if (serial == 0) break;
    if (std::find(s.params.serialNumbers.begin(), s.params.serialNumbers.end(), serial) ==
        s.params.serialNumbers.end()) {
      if (s.params.serialNumbers.size() >= kMaxSerialNumbers) {
        s.display.message(UpdaterDisplayInterface::error,
                          "Invalid serial number list: at most %u modules in one command",
                          unsigned(kMaxSerialNumbers));
        s.failed = true;
        break;
      }
      s.params.serialNumbers.push_back(serial);
    }
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  s.params.serialNumber = s.params.serialNumbers.empty() ? 0 : s.params.serialNumbers.front();
}

void SetJson(OptionParseState& s, const SOption&, const char*) { s.params.json = true; }

void SetRouterSerialNumber(OptionParseState& s, const SOption&, const char* value) {
  s.params.routerSerialNumber =
      ParseSerial(s.display, value, "Discarding '0x' router serial number prefix\n",
                  "Invalid router serial number obtained from argument [%s]", s.failed);
}

void SetTransport(OptionParseState& s, const SOption&, const char* value) {
  s.params.transportGiven = true;
  if (strncmp(value, "USB", 3) == 0) {
    s.params.transport = USB;
  } else if (strncmp(value, "TCP", 3) == 0) {
    s.params.transport = TCPIP;
  } else if (strncmp(value, "RECOVER", 7) == 0) {
    s.params.transport = RECOVER;
  } else {
    s.display.message(UpdaterDisplayInterface::error,
                      "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                      "RECOVER",
                      value);
    s.params.transport = INVALID;
    s.failed = true;
  }
}

void SetBirdFile(OptionParseState& s, const SOption&, const char* value) { s.params.birdFile = value; }
void SetSerialPort(OptionParseState& s, const SOption&, const char* value) {
  s.params.serialPort = value;
}
void SetBaudRate(OptionParseState& s, const SOption&, const char* value) {
  s.params.baudRate = _get_int_arg(value, nullptr);
}
void SetLogMessage(OptionParseState& s, const SOption&, const char* value) {
  s.params.logMessage = value;
}
void SetLogFile(OptionParseState& s, const SOption&, const char* value) { s.params.logFile = value; }

void SetServerURL(OptionParseState& s, const SOption&, const char* value) {
  if (!ServerURLFromArgument(value, s.params.serverURL)) {
    s.display.message(UpdaterDisplayInterface::error,
                      "Invalid update server [%s]: give host, host:port or an http:// or "
                      "https:// URL",
                      value);
    s.failed = true;
  }
}

// Help ends the parse where it stands; see _get_params.
void RequestHelp(OptionParseState& s, const SOption&, const char*) {
  s.params.commands.Set(CMD_HELP);
  s.params.helpRequested = true;
}

}  // namespace

// The option table, in the order abbreviations are resolved. Identifier:
// 0 help, 1 command, 2 parameter.
const SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE, SetCommand, CMD_LIST_BUILDS},
    {OPT_COMMAND, "-L", SO_NONE, SetCommand, CMD_LIST_LOCAL_BUILDS},
    {OPT_COMMAND, "-D", SO_NONE, SetCommand, CMD_DISCOVER},
    {OPT_COMMAND, "-G", SO_NONE, SetCommand, CMD_GET_FIRMWARE},
    {OPT_COMMAND, "-I", SO_NONE, SetCommand, CMD_VIEW_INFO},
    {OPT_COMMAND, "-U", SO_NONE, SetCommand, CMD_UPDATE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE, SetOverride, 0},
    {OPT_COMMAND, "-N", SO_NONE, SetCommand, CMD_FINGERPRINT},
    {OPT_COMMAND, "-Y", SO_NONE, RejectCommand, 0},
    {OPT_COMMAND, "-C", SO_NONE, SetCommand, CMD_CHECK_BIRD},
    {OPT_COMMAND, "-J", SO_NONE, SetCommand, CMD_GET_JWT},
    {OPT_HELP, "-h", SO_NONE, RequestHelp, 0},
    {OPT_HELP, "-H", SO_NONE, RequestHelp, 0},
    {OPT_PARAMETER, "-n", SO_NONE, SetFlagN, 0},
    {OPT_PARAMETER, "-X", SO_REQ_SEP, SetDebugMask, 0},
    {OPT_PARAMETER, "-Z", SO_REQ_SEP, SetOptionZ, 0},
    {OPT_PARAMETER, "-m", SO_REQ_SEP, SetUeiBytesLoad, 0},
    {OPT_PARAMETER, "-i", SO_REQ_SEP, SetStorageDir, 0},
    {OPT_PARAMETER, "-b", SO_REQ_SEP, SetBuild, 0},
    {OPT_PARAMETER, "-d", SO_REQ_SEP, SetSerialNumber, 0},
    {OPT_PARAMETER, "-t", SO_REQ_SEP, SetTransport, 0},
    {OPT_PARAMETER, "-f", SO_REQ_SEP, SetBirdFile, 0},
    {OPT_PARAMETER, "-r", SO_REQ_SEP, SetRouterSerialNumber, 0},
    {OPT_PARAMETER, "-s", SO_REQ_SEP, SetSerialPort, 0},
    {OPT_PARAMETER, "-o", SO_REQ_SEP, SetBaudRate, 0},
    {OPT_PARAMETER, "-e", SO_NONE, SetEcho, 0},
    {OPT_PARAMETER, "-l", SO_REQ_SEP, SetLogMessage, 0},
    {OPT_PARAMETER, "-k", SO_REQ_SEP, SetLogFile, 0},
    {OPT_PARAMETER, "-u", SO_REQ_SEP, SetServerURL, 0},
    {OPT_PARAMETER, "--dry-run", SO_NONE, SetDryRun, 0},
    {OPT_HELP, "--help", SO_NONE, RequestHelp, 0},
    {OPT_PARAMETER, "--json", SO_NONE, SetJson, 0},
    {OPT_END, nullptr, SO_NONE, nullptr, 0},
};

Parameters::Parameters() {
  char home[kHomeBuffer] = "";
  aDirectory_GetHomeDirectory(home, sizeof(home));
  homeDir.reserve(kHomeBuffer);
  homeDir = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", homeDir.c_str());
}

uint32_t _get_hex_arg(const char* text, const char** end) {
  return ParseDigits(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, const char** end) {
  return ParseDigits(text, end, "0123456789", 10);
}

int _get_params(UpdaterDisplayInterface& display, int argc, char* argv[], Parameters& params) {
  params.programName = ProgramName(argc > 0 ? argv[0] : nullptr);
  bool failed = false;
  OptionParseState state{display, params, failed};
  std::vector<const char*> options;     // argv order, for the trace
  std::vector<const char*> nonOptions;  // set aside, traced last

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!IsOptionText(arg)) {
      nonOptions.push_back(arg);
      continue;
    }
    options.push_back(arg);

    const char* equals = strchr(arg, '=');
    const std::string name = equals ? std::string(arg, size_t(equals - arg)) : std::string(arg);
    const SOption* option = LookupOption(name);
    if (!option) {
      display.message(UpdaterDisplayInterface::error, "Unknown option: [%s]", arg);
      ++params.unknownOptions;
      continue;
    }

    const char* value = nullptr;
    if (option->nArgType == SO_REQ_SEP) {
      if (equals) {
        value = equals + 1;
      } else if (i + 1 < argc && argv[i + 1][0] != '-') {
        value = argv[++i];
        options.push_back(value);
      }
      if (!value || value[0] == '-') continue;  // missing or dash-leading value
    } else if (equals) {
      continue;  // a value given to an option that takes none
    }

    option->apply(state, *option, value);
    if (option->nId == OPT_HELP) return 0;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.programName.c_str());
  for (const char* arg : options) Log::log(DEBUG_APP, "\t[%s]\n", arg);
  for (const char* arg : nonOptions) Log::log(DEBUG_APP, "\t[%s]\n", arg);

  if (failed) return 1;
  _validate_params(params);
  return 0;
}

void _validate_params(Parameters&) {
  // Every combination is accepted here; each command checks what it needs.
}

void _release_params(Parameters& params) {
  params.serialPort.clear();
  params.birdFile.clear();
  params.logMessage.clear();
  params.build.clear();
  params.storageDir.clear();
}

#include "common/aError.h"

namespace {

struct ErrorRow {
  const char* text;
  const char* description;
};

// Indexed by aErr value; the last row is the catch-all.
const ErrorRow kErrors[] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "Korvex command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};

static_assert(sizeof(kErrors) / sizeof(kErrors[0]) == aErrUnknown + 1,
              "one row per error value");

const ErrorRow& Row(uint32_t error) {
  return kErrors[error > aErrUnknown ? static_cast<uint32_t>(aErrUnknown) : error];
}

}  // namespace

const char* aError_GetErrorText(uint32_t error) { return Row(error).text; }

const char* aError_GetErrorDescription(uint32_t error) { return Row(error).description; }

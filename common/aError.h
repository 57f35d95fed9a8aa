// Library-wide error codes. The numbering travels inside module replies and
// is compared numerically, so values must never be renumbered.
#ifndef KORVEX_AERROR_H
#define KORVEX_AERROR_H

#include <cstdint>

enum aErr : uint32_t {
  aErrNone = 0,
  aErrMemory = 1,
  aErrParam = 2,
  aErrNotFound = 3,
  aErrFileNameLength = 4,
  aErrBusy = 5,
  aErrIO = 6,
  aErrMode = 7,
  aErrWrite = 8,
  aErrRead = 9,
  aErrEOF = 10,
  aErrNotReady = 11,
  aErrPermission = 12,
  aErrRange = 13,
  aErrSize = 14,
  aErrOverrun = 15,
  aErrParse = 16,
  aErrConfiguration = 17,
  aErrTimeout = 18,
  aErrInitialization = 19,
  aErrVersion = 20,
  aErrUnimplemented = 21,
  aErrDuplicate = 22,
  aErrCancel = 23,
  aErrPacket = 24,
  aErrConnection = 25,
  aErrIndexRange = 26,
  aErrShortCommand = 27,
  aErrInvalidEntity = 28,
  aErrInvalidOption = 29,
  aErrResource = 30,
  aErrMedia = 31,
  aErrAsyncReturn = 32,
  aErrStreamStale = 33,
  aErrUnknown = 34  // last value and catch-all
};

// Symbolic name of an error ("aErrTimeout"); values above aErrUnknown give
// "aErrUnknown". The text is constant and must not be freed.
const char* aError_GetErrorText(uint32_t error);

// Human description of an error ("Timeout occurred"); same range rule.
const char* aError_GetErrorDescription(uint32_t error);

#endif

// Replacing a file so that readers see either the old or the new contents,
// never a truncated mix: the bytes go to a temporary file in the same
// directory, are flushed to the disk, and the temporary file is renamed over
// the target.
#ifndef UPDATER_ATOMICWRITE_H
#define UPDATER_ATOMICWRITE_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// aErrNotFound when the temporary file cannot be created (missing
// directory, no permission), aErrWrite when writing, flushing or renaming
// fails (the target is then untouched and no temporary file is left);
// errnoOut, when given, receives the system error number of the failure.
// A new file gets mode 0644, a replaced file keeps its mode.
aErr WriteFileAtomically(const char* path, const uint8_t* data, size_t length,
                         int* errnoOut = nullptr);

#endif

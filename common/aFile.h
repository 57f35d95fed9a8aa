// stdio files behind a tagged handle.
#ifndef KORVEX_AFILE_H
#define KORVEX_AFILE_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

enum aFileMode : uint32_t {
  aFileModeReadOnly = 0,   // "rb"
  aFileModeWriteOnly = 1,  // "wb": created or truncated
  aFileModeAppend = 2,     // "ab+": append and read, positioned at the end
  aFileModeUnknown = 3,
};

struct aFile;
typedef aFile* aFileRef;

// Null for an empty path, a path over 4096 characters, a bad mode or an
// open failure.
aFileRef aFile_Open(const char* path, aFileMode mode);
// Closes and frees the handle; *file is always set to null.
aErr aFile_Close(aFileRef* file);

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* read);
aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length,
                 size_t* written);
// One line including its newline. aErrOverrun when the line did not fit.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

enum aFileSeekOrigin : uint32_t {
  aSeekStart = 0,
  aSeekCurrent = 1,
  aSeekEnd = 2,
};
// The target must lie between 0 and the file's size inclusive.
aErr aFile_Seek(aFileRef file, int64_t offset, aFileSeekOrigin origin);
aErr aFile_GetSize(aFileRef file, uint64_t* size);
aErr aFile_GetPosition(aFileRef file, uint64_t* position);
aErr aFile_Printf(aFileRef file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
aErr aFile_SetUnbuffered(aFileRef file);

bool aFile_Exists(const char* path);
aErr aFile_Delete(const char* path);

#endif

#include "common/aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include "common/aDirectory.h"

namespace {
constexpr uint16_t kFileTag = 0xFEED;
}

struct aFile {
  FILE* stream;
  aFileMode mode;
  uint16_t tag;
};

namespace {

bool Valid(aFileRef file) { return file && file->tag == kFileTag; }
bool CanRead(aFileRef file) {
  return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}
bool CanWrite(aFileRef file) {
  return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}
bool NameTooLong(const char* path) { return strnlen(path, aFILE_NAME_MAX + 1) > aFILE_NAME_MAX; }

}  // namespace

aFileRef aFile_Open(const char* path, aFileMode mode) {
  if (!path || !*path || NameTooLong(path) || mode >= aFileModeUnknown) return nullptr;
  static const char* const kModes[] = {"rb", "wb", "ab+"};
  aFileRef file = new (std::nothrow) aFile;
  if (!file) return nullptr;
  file->stream = fopen(path, kModes[mode]);
  if (!file->stream) {
    delete file;
    return nullptr;
  }
  if (mode == aFileModeAppend) fseeko(file->stream, 0, SEEK_END);
  file->mode = mode;
  file->tag = kFileTag;
  return file;
}

aErr aFile_Close(aFileRef* file) {
  if (!file) return aErrParam;
  aFileRef handle = *file;
  *file = nullptr;
  if (!Valid(handle)) return aErrParam;
  const int closed = fclose(handle->stream);
  handle->tag = 0;
  delete handle;
  return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, uint8_t* buffer, size_t length, size_t* read) {
  if (!Valid(file) || (!buffer && length > 0)) return aErrParam;
  if (!CanRead(file)) return aErrMode;
  const size_t count = length > 0 ? fread(buffer, 1, length, file->stream) : 0;
  if (read) *read = count;
  return (count == 0 && length > 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileRef file, const uint8_t* data, size_t length, size_t* written) {
  if (!Valid(file) || (!data && length > 0)) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  const size_t count = length > 0 ? fwrite(data, 1, length, file->stream) : 0;
  if (written) *written = count;
  return (count == 0 && length > 0) ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
  if (!Valid(file) || !buffer || size < 2 || size > size_t(INT32_MAX)) return aErrParam;
  if (!CanRead(file)) return aErrMode;
  if (!fgets(buffer, int(size), file->stream)) {
    buffer[0] = '\0';
    if (length) *length = 0;
    return feof(file->stream) ? aErrEOF : aErrIO;
  }
  const size_t count = strlen(buffer);
  if (length) *length = count;
  if (count == size - 1 && buffer[count - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_Seek(aFileRef file, int64_t offset, aFileSeekOrigin origin) {
  if (!Valid(file)) return aErrParam;
  const off_t current = ftello(file->stream);
  if (current < 0) return aErrIO;
  struct stat info;
  if (fflush(file->stream) != 0 || fstat(fileno(file->stream), &info) != 0) return aErrIO;
  int64_t base = 0;
  switch (origin) {
    case aSeekStart: base = 0; break;
    case aSeekCurrent: base = current; break;
    case aSeekEnd: base = info.st_size; break;
    default: return aErrParam;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > int64_t(info.st_size)) return aErrRange;
  return fseeko(file->stream, off_t(target), SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFileRef file, uint64_t* size) {
  if (!Valid(file) || !size) return aErrParam;
  *size = 0;
  const off_t saved = ftello(file->stream);
  if (saved < 0 || fseeko(file->stream, 0, SEEK_END) != 0) return aErrIO;
  const off_t end = ftello(file->stream);
  if (fseeko(file->stream, saved, SEEK_SET) != 0 || end < 0) return aErrIO;
  *size = uint64_t(end);
  return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, uint64_t* position) {
  if (!Valid(file) || !position) return aErrParam;
  const off_t at = ftello(file->stream);
  if (at < 0) return aErrIO;
  if (at > 0) *position = uint64_t(at);
  return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!Valid(file) || !format) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  const int written = vfprintf(file->stream, format, args);
  va_end(args);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!Valid(file)) return aErrParam;
  if (!CanWrite(file)) return aErrMode;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

bool aFile_Exists(const char* path) {
  if (!path || NameTooLong(path)) return false;
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aErr aFile_Delete(const char* path) {
  if (!path) return aErrParam;
  if (NameTooLong(path)) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}

// File streams: an aFile behind the stream interface.
#include "common/aFile.h"
#include "common/aStream.h"

namespace {

aErr sFileGet(uint8_t* byte, void* context) {
  size_t count = 0;
  aErr err = aFile_Read(static_cast<aFileRef>(context), byte, 1, &count);
  if (err == aErrNone && count != 1) err = aErrEOF;
  return err;
}

aErr sFilePut(uint8_t byte, void* context) {
  size_t count = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(context), &byte, 1, &count);
  if (err == aErrNone && count != 1) err = aErrWrite;
  return err;
}

aErr sFileWrite(const uint8_t* data, size_t length, void* context) {
  size_t count = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(context), data, length, &count);
  if (err == aErrNone && count != length) err = aErrWrite;
  return err;
}

aErr sFileDelete(void* context) {
  aFileRef file = static_cast<aFileRef>(context);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aFileMode mode, aStreamRef* stream) {
  if (stream == nullptr) return aErrResource;
  *stream = nullptr;
  if (path == nullptr) return aErrResource;
  aFileRef file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;
  const bool input = (mode == aFileModeReadOnly);
  aStreamRef s = aStream_Create(input ? sFileGet : nullptr,
                                input ? nullptr : sFilePut,
                                input ? nullptr : sFileWrite, sFileDelete, file);
  if (s == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  return sCreateFileStream(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  return sCreateFileStream(path, aFileModeWriteOnly, stream);
}

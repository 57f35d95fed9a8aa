// Placeholder until the USB stream lands: no USB module can be opened.
#include "common/aStream.h"

aErr aStream_CreateUSB(uint32_t, aStreamRef* stream) {
  if (stream != nullptr) *stream = nullptr;
  return aErrNotFound;
}

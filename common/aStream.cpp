// Generic stream operations: the pushback ring, reads that never consume
// bytes on a merely-not-ready backing, record and C-string helpers, flush.
#include "common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kPushbackStep = 512;
// Reads up to this size use a buffer on the stack.
constexpr size_t kSmallRead = 64;

}  // namespace

struct aStream {
  aStreamOps ops;
  aStreamWaitProc backingWait;
  aStreamCutWaitsProc cutWaits;
  void* context;
  uint8_t* pushback;
  size_t pushbackCount;
  size_t pushbackCapacity;
  size_t writeIndex;
  size_t readIndex;
  uint16_t tag;
};

namespace {

bool sValid(const aStream* stream) {
  return stream != nullptr && stream->tag == aSTREAM_TAG;
}

// Makes room for one more byte: created with 512 bytes on first use, grown by
// 512 when it holds capacity - 1 bytes, the held bytes moved in order to the
// start of the new storage.
bool sPushbackReserve(aStream* s) {
  if (s->pushback == nullptr) {
    s->pushback = static_cast<uint8_t*>(malloc(kPushbackStep));
    if (s->pushback == nullptr) return false;
    s->pushbackCapacity = kPushbackStep;
    s->pushbackCount = s->readIndex = s->writeIndex = 0;
  }
  if (s->pushbackCount < s->pushbackCapacity - 1) return true;
  const size_t capacity = s->pushbackCapacity + kPushbackStep;
  uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
  if (grown == nullptr) return false;
  for (size_t i = 0; i < s->pushbackCount; ++i)
    grown[i] = s->pushback[(s->readIndex + i) % s->pushbackCapacity];
  free(s->pushback);
  s->pushback = grown;
  s->pushbackCapacity = capacity;
  s->readIndex = 0;
  s->writeIndex = s->pushbackCount;
  return true;
}

// Appends bytes after those held.
bool sPushbackAppend(aStream* s, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (!sPushbackReserve(s)) return false;
    s->pushback[s->writeIndex] = data[i];
    s->writeIndex = (s->writeIndex + 1) % s->pushbackCapacity;
    ++s->pushbackCount;
  }
  return true;
}

// Puts bytes back in front of those held, so they are read next, in order.
bool sPushbackPrepend(aStream* s, const uint8_t* data, size_t length) {
  for (size_t i = length; i > 0; --i) {
    if (!sPushbackReserve(s)) return false;
    s->readIndex = (s->readIndex + s->pushbackCapacity - 1) % s->pushbackCapacity;
    s->pushback[s->readIndex] = data[i - 1];
    ++s->pushbackCount;
  }
  return true;
}

// The next byte: from the ring while it holds any, else from get.
aErr sNextByte(aStream* s, uint8_t* byte) {
  if (s->pushbackCount > 0) {
    *byte = s->pushback[s->readIndex];
    s->readIndex = (s->readIndex + 1) % s->pushbackCapacity;
    --s->pushbackCount;
    return aErrNone;
  }
  return s->ops.get(byte, s->context);
}

}  // namespace

aStreamRef aStream_CreateWithOps(const aStreamOps* ops, void* context) {
  if (ops == nullptr) return nullptr;
  aStream* s = new (std::nothrow) aStream();
  if (s == nullptr) return nullptr;
  s->ops = *ops;
  s->backingWait = nullptr;
  s->cutWaits = nullptr;
  s->context = context;
  s->pushback = nullptr;
  s->pushbackCount = s->pushbackCapacity = 0;
  s->writeIndex = s->readIndex = 0;
  s->tag = aSTREAM_TAG;
  return s;
}

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put,
                          aStreamWriteProc write, aStreamDeleteProc del,
                          void* context) {
  const aStreamOps ops = {get, put, write, del, nullptr};
  return aStream_CreateWithOps(&ops, context);
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (stream == nullptr || !sValid(*stream)) return aErrParam;
  aStream* s = *stream;
  aErr err = aErrNone;
  if (s->ops.del != nullptr) err = s->ops.del(s->context);
  free(s->pushback);
  s->tag = 0;
  delete s;
  *stream = nullptr;
  return err;
}

aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t size) {
  if (!sValid(stream) || destination == nullptr) return aErrParam;
  if (stream->ops.get == nullptr) return aErrMode;
  if (size == 0) return aErrNone;

  uint8_t small[kSmallRead];
  std::unique_ptr<uint8_t[]> large;
  uint8_t* work = small;
  if (size > kSmallRead) {
    large.reset(new (std::nothrow) uint8_t[size]);
    if (!large) return aErrResource;
    work = large.get();
  }

  aErr err = aErrNone;
  size_t obtained = 0;
  while (obtained < size) {
    err = sNextByte(stream, &work[obtained]);
    if (err != aErrNone) break;
    ++obtained;
  }

  if (err == aErrNotReady && obtained > 0) {
    // get is only asked once the ring is empty, so appending restores the
    // stream exactly as it was.
    if (!sPushbackAppend(stream, work, obtained)) return aErrResource;
  } else if (err == aErrNone || err == aErrEOF) {
    memcpy(destination, work, obtained);
  }
  return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length) {
  if (!sValid(stream) || data == nullptr) return aErrParam;
  const aStreamOps& ops = stream->ops;
  if (ops.write == nullptr && ops.put == nullptr) return aErrMode;
  if (length == 0) return aErrNone;
  if (ops.write != nullptr && (length > 1 || ops.put == nullptr))
    return ops.write(data, length, stream->context);
  for (size_t i = 0; i < length; ++i) {
    aErr err = ops.put(data[i], stream->context);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_WaitReadable(aStreamRef stream, uint32_t timeoutMs) {
  if (!sValid(stream)) return aErrParam;
  if (stream->ops.get == nullptr) return aErrMode;
  if (stream->pushbackCount > 0 || stream->ops.wait == nullptr) return aErrNone;
  return stream->ops.wait(timeoutMs, stream->context);
}

aErr aStream_SetBackingWait(aStreamRef stream, aStreamWaitProc wait) {
  if (!sValid(stream)) return aErrParam;
  stream->backingWait = wait;
  return aErrNone;
}

bool aStream_HasBackingWait(aStreamRef stream) {
  return sValid(stream) && stream->backingWait != nullptr;
}

aErr aStream_WaitBacking(aStreamRef stream, uint32_t timeoutMs) {
  if (!sValid(stream)) return aErrParam;
  if (stream->backingWait == nullptr) return aErrMode;
  return stream->backingWait(timeoutMs, stream->context);
}

aErr aStream_SetCutWaits(aStreamRef stream, aStreamCutWaitsProc cutWaits) {
  if (!sValid(stream)) return aErrParam;
  stream->cutWaits = cutWaits;
  return aErrNone;
}

aErr aStream_CutWaits(aStreamRef stream, bool cut) {
  if (!sValid(stream)) return aErrParam;
  if (stream->cutWaits != nullptr) stream->cutWaits(cut, stream->context);
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length,
                        size_t maximum, const uint8_t* terminator,
                        size_t terminatorLength) {
  if (!sValid(stream) || buffer == nullptr || length == nullptr ||
      (terminator == nullptr && terminatorLength > 0))
    return aErrParam;
  if (stream->ops.get == nullptr) return aErrMode;

  // Every byte taken, so that a not-ready backing gets all of them back,
  // including a partly matched terminator.
  std::unique_ptr<uint8_t[]> taken(
      new (std::nothrow) uint8_t[maximum + terminatorLength + 1]);
  std::unique_ptr<uint8_t[]> pending(new (std::nothrow) uint8_t[terminatorLength + 1]);
  if (!taken || !pending) return aErrResource;
  size_t takenCount = 0;
  size_t stored = 0;
  size_t matched = 0;  // terminator bytes matched so far (not yet stored)
  aErr err = aErrNone;
  bool complete = (maximum == 0);

  while (!complete) {
    uint8_t byte = 0;
    err = aStream_Read(stream, &byte, 1);
    if (err != aErrNone) break;
    taken[takenCount++] = byte;
    if (matched < terminatorLength && byte == terminator[matched]) {
      if (++matched == terminatorLength) complete = true;
      continue;
    }
    // The partial match failed: its bytes and this one are data, except for
    // the longest tail that again begins the terminator.
    memcpy(pending.get(), terminator, matched);
    pending[matched] = byte;
    const size_t pendingCount = matched + 1;
    size_t shift = 1;
    for (; shift <= pendingCount; ++shift) {
      const size_t tail = pendingCount - shift;
      if (tail < terminatorLength &&
          memcmp(pending.get() + shift, terminator, tail) == 0)
        break;
    }
    matched = pendingCount - shift;
    for (size_t i = 0; i < shift; ++i) {
      buffer[stored++] = pending[i];
      if (stored == maximum) {
        // Bytes matched after the last one stored belong to the next read.
        const size_t rest = shift - i - 1 + matched;
        if (!sPushbackPrepend(stream, pending.get() + i + 1, rest))
          return aErrResource;
        matched = 0;
        complete = true;
        break;
      }
    }
  }

  if (!complete) {
    if (err == aErrNotReady) {
      if (!sPushbackAppend(stream, taken.get(), takenCount)) return aErrResource;
      return aErrNotReady;
    }
    if (err != aErrEOF) return err;
    // The end of the source completes a record; bytes of an unfinished
    // terminator are data, and what does not fit stays for the next read.
    size_t i = 0;
    for (; i < matched && stored < maximum; ++i) buffer[stored++] = terminator[i];
    if (i < matched && !sPushbackPrepend(stream, terminator + i, matched - i))
      return aErrResource;
    err = (stored > 0) ? aErrNone : aErrEOF;
  } else {
    err = aErrNone;
  }
  *length = stored;
  return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data,
                         size_t length, const uint8_t* terminator,
                         size_t terminatorLength) {
  if (!sValid(stream) || (data == nullptr && length > 0) ||
      (terminator == nullptr && terminatorLength > 0))
    return aErrParam;
  aErr err = aErrNone;
  if (length > 0) err = aStream_Write(stream, data, length);
  if (err == aErrNone && terminatorLength > 0)
    err = aStream_Write(stream, terminator, terminatorLength);
  return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
  static const uint8_t kZero = 0;
  if (buffer == nullptr || size == 0) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer),
                                &length, size - 1, &kZero, 1);
  buffer[(err == aErrNone) ? length : 0] = '\0';
  return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
  if (text == nullptr) return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text),
                       strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator) {
  if (buffer == nullptr || size == 0 || terminator == nullptr) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(
      stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
      reinterpret_cast<const uint8_t*>(terminator), strlen(terminator));
  buffer[(err == aErrNone) ? length : 0] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text,
                                const char* terminator) {
  if (text == nullptr || terminator == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text),
                             strlen(text),
                             reinterpret_cast<const uint8_t*>(terminator),
                             strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
  if (!sValid(source) || !sValid(destination)) return aErrParam;
  if (source->ops.get == nullptr || destination->ops.put == nullptr)
    return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr err = aStream_Read(source, &byte, 1);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = destination->ops.put(byte, destination->context);
    if (err != aErrNone) return err;
  }
}

size_t aStream_PushbackCount(aStreamRef stream) {
  return sValid(stream) ? stream->pushbackCount : 0;
}

size_t aStream_PushbackCapacity(aStreamRef stream) {
  return sValid(stream) ? stream->pushbackCapacity : 0;
}

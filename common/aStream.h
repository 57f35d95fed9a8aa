// Byte streams: one generic byte pipe over a USB, serial, TCP socket or file
// backing.
//
// A stream is a table of operations over a backing object (its context):
//
//   get     reads one byte without blocking for long. aErrNone with the byte,
//           aErrNotReady when no byte is waiting yet, aErrEOF at the end of a
//           finite source, any other code for a failure. Optional.
//   put     writes one byte. Optional.
//   write   writes a whole buffer, all of it or an error. Optional.
//   del     releases the context; called once by aStream_Destroy. Optional.
//   wait    waits at most timeoutMs for a byte to become readable. aErrNone
//           when a get may now deliver a byte (or report an end or failure
//           of the backing), aErrTimeout when nothing arrived in time, other
//           codes when the backing has failed (aErrConnection: a TCP peer is
//           gone and could not be reached again). Optional: a stream whose
//           get already paces itself needs none.
//
// Reads are byte-wise and never partial: aStream_Read delivers all requested
// bytes or, when the backing is merely not ready, none (the bytes already
// taken go back into the stream's pushback ring). Backings buffer, so that a
// byte-at-a-time reader does not cost a system call per byte.
//
// A reader that finds no byte waiting waits with aStream_WaitReadable
// instead of polling in a loop:
//
//   for (;;) {
//     aErr e = aStream_Read(s, &byte, 1);
//     if (e == aErrNotReady) {
//       e = aStream_WaitReadable(s, 1000);       // bounded, then re-check
//       if (e == aErrNone || e == aErrTimeout) continue;
//     }
//     ...
//   }
//
// Concurrency: a stream carries no lock of its own for the generic part. One
// thread may read (get, wait) while another writes (put, write); create and
// destroy happen while neither runs.
#ifndef KORVEX_ASTREAM_H
#define KORVEX_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* context);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* context);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length,
                                 void* context);
typedef aErr (*aStreamDeleteProc)(void* context);
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* context);
typedef void (*aStreamCutWaitsProc)(bool cut, void* context);

// The operation table of a backing. Any entry may be null.
struct aStreamOps {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  aStreamWaitProc wait;
};

struct aStream;
typedef aStream* aStreamRef;

// Validity tag of a live stream record.
#define aSTREAM_TAG 0x4321

// New stream over context; null when allocation fails. The stream owns
// context from here on (del releases it on destroy).
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put,
                          aStreamWriteProc write, aStreamDeleteProc del,
                          void* context);
// The same with a full operation table, including wait. The table is copied.
aStreamRef aStream_CreateWithOps(const aStreamOps* ops, void* context);

// Calls del with the context, frees the record and sets *stream to null.
// Returns del's result; aErrParam for a null or invalid stream.
aErr aStream_Destroy(aStreamRef* stream);

// Reads exactly size bytes (pushback first, then get). aErrNotReady leaves
// the stream as it was; aErrEOF copies the bytes obtained before the end.
// aErrParam for an invalid stream or null destination, aErrMode without get,
// aErrResource when the work buffer cannot be allocated.
aErr aStream_Read(aStreamRef stream, uint8_t* destination, size_t size);

// One write call when the stream has write and length is above 1, otherwise
// put byte by byte up to the first error. aErrMode with neither.
aErr aStream_Write(aStreamRef stream, const uint8_t* data, size_t length);

// Waits at most timeoutMs for a byte (see wait above). aErrNone at once when
// the pushback ring holds bytes or the stream has no wait operation;
// aErrParam for an invalid stream, aErrMode without get.
aErr aStream_WaitReadable(aStreamRef stream, uint32_t timeoutMs);

// Backings whose readiness is a descriptor's can also wait for it without
// touching anything the reading thread owns (buffers, pushback), so that
// another thread may wait beside the reader, or take turns reading with it
// under a lock of its own. Such a wait answers as wait does, but only for
// bytes not yet taken from the backing: it is for a reader that has just
// found the stream empty (a read answered aErrNotReady).
aErr aStream_SetBackingWait(aStreamRef stream, aStreamWaitProc wait);
// True when the stream has a backing wait.
bool aStream_HasBackingWait(aStreamRef stream);
// The backing wait; aErrMode without one, aErrParam for an invalid stream.
aErr aStream_WaitBacking(aStreamRef stream, uint32_t timeoutMs);

// Backings whose wait blocks in something another thread cannot end by
// closing or polling a descriptor (a USB transfer) can have their waits
// cut: while cut is set, a wait in progress ends at once and later waits
// answer at once as if nothing came, so that a thread stopping the reader
// does not wait out the reader's wait. Without such an operation waits run
// their course. aErrParam for an invalid stream.
aErr aStream_SetCutWaits(aStreamRef stream, aStreamCutWaitsProc cutWaits);
aErr aStream_CutWaits(aStreamRef stream, bool cut);

// Reads until the whole terminator has been seen (its bytes are not stored)
// or maximum bytes are stored; *length receives the stored count.
// aErrNotReady pushes everything read back; aErrEOF after at least one byte
// completes the record with aErrNone.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length,
                        size_t maximum, const uint8_t* terminator,
                        size_t terminatorLength);
// data, then terminator.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* data,
                         size_t length, const uint8_t* terminator,
                         size_t terminatorLength);

// A record ended by a zero byte; at most size - 1 characters, terminated.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);
// text and its zero byte.
aErr aStream_WriteCString(aStreamRef stream, const char* text);
// A record ended by the text terminator; at most size - 1 characters.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator);
// text, then terminator including its zero byte.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text,
                                const char* terminator);

// Copies byte by byte from source (get) to destination (put) until the
// source reports aErrEOF (then aErrNone) or another error (returned).
// aErrMode when source has no get or destination no put.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Bytes held in the pushback ring and its current size (0 before first use).
size_t aStream_PushbackCount(aStreamRef stream);
size_t aStream_PushbackCapacity(aStreamRef stream);

// ---------------------------------------------------------------- backings

// File streams: reading (get) or writing (put and write). aErrResource when
// the file cannot be opened or for null arguments.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

// USB stream to the module with this serial number: through the kernel node
// "/dev/korvex.%08X" when it exists, else through libusb. *stream is set to
// null first. aErrNotFound when no module we may open has the serial number
// (Korvex_usb_access_denied then tells whether some device was refused),
// aErrBusy when its interface is held elsewhere, aErrPermission when its
// interface may not be claimed, aErrConfiguration when it lacks the bulk
// endpoints.
// get waits up to 1000 ms inside its bulk transfer when nothing is buffered.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

// Serial speed indices.
enum aSerialSpeed : uint32_t {
  aSERIAL_SPEED_2400 = 0,
  aSERIAL_SPEED_4800 = 1,
  aSERIAL_SPEED_9600 = 2,
  aSERIAL_SPEED_19200 = 3,
  aSERIAL_SPEED_38400 = 4,
  aSERIAL_SPEED_57600 = 5,
  aSERIAL_SPEED_115200 = 6,
  aSERIAL_SPEED_230400 = 7,
};
// Serial data-bits modes.
#define aSERIAL_DATA_BITS_8 0
#define aSERIAL_DATA_BITS_7 1

// Serial stream over a termios port. parity non-zero: even parity;
// dataBitsMode aSERIAL_DATA_BITS_8 or _7; stopBits 1: two stop bits.
// aErrParam for a null path or out pointer, dataBitsMode or stopBits above
// 1; aErrNotFound for a missing device, aErrPermission when access is denied,
// aErrIO for other port failures; aErrMemory / aErrResource on allocation.
aErr aStream_CreateSerial(const char* path, uint32_t speedIndex,
                          uint32_t parity, uint32_t dataBitsMode,
                          uint32_t stopBits, aStreamRef* stream);

// Attempts a socket write makes while no byte gets out.
#define aSOCKET_MAX_SEND_RETRY 10

// TCP client stream. address is an IPv4 address in network byte order,
// port in host order. Connects at once; aErrResource when it cannot,
// aErrParam for a null out pointer. The stream reconnects by itself once when
// the peer resets or closes the connection; when that fails, get, wait and
// write report aErrConnection. A write that cannot get all its bytes out
// after its retries reports aErrTimeout.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

struct sockaddr_in;
// Connects the non-blocking TCP socket fd to address within timeoutMs.
// 0, or the errno of the failure (ETIMEDOUT when the time passed).
int aStream_ConnectWithin(int fd, const struct sockaddr_in* address, int timeoutMs);

#endif

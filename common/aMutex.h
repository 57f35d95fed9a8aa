// Non-recursive mutexes. A second lock by the owning thread is reported as
// aErrDuplicate instead of deadlocking.
#ifndef KORVEX_AMUTEX_H
#define KORVEX_AMUTEX_H

#include "common/aError.h"

struct aMutex;
typedef aMutex* aMutexRef;

#define aMUTEX_NAME_MAX 256

// Null when the name has 256 characters or more, or on failure.
aMutexRef aMutex_Create(const char* name);
// Frees the handle and sets *mutex to null in every case.
aErr aMutex_Destroy(aMutexRef* mutex);
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);
const char* aMutex_Identifier(aMutexRef mutex);

#endif

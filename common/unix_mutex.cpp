#include "common/aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <pthread.h>

struct aMutex {
  pthread_mutex_t mutex;
  char name[aMUTEX_NAME_MAX];
};

namespace {

// Error-checking mutexes report a relock by the owner (EDEADLK) and an
// unlock by a non-owner (EPERM) instead of deadlocking or corrupting.
aErr MapError(int status) {
  switch (status) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    case EBUSY: return aErrBusy;
    case EPERM: return aErrPermission;
    case EAGAIN: return aErrResource;
    default: return aErrUnknown;
  }
}

}  // namespace

aMutexRef aMutex_Create(const char* name) {
  if (name && strnlen(name, aMUTEX_NAME_MAX) >= aMUTEX_NAME_MAX) return nullptr;
  aMutexRef mutex = new (std::nothrow) aMutex;
  if (!mutex) return nullptr;
  pthread_mutexattr_t attributes;
  bool ok = pthread_mutexattr_init(&attributes) == 0;
  ok = ok && pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0;
  ok = ok && pthread_mutex_init(&mutex->mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!ok) {
    delete mutex;
    return nullptr;
  }
  strncpy(mutex->name, name ? name : "", sizeof(mutex->name) - 1);
  mutex->name[sizeof(mutex->name) - 1] = '\0';
  return mutex;
}

aErr aMutex_Destroy(aMutexRef* mutex) {
  if (!mutex || !*mutex) return aErrParam;
  const int status = pthread_mutex_destroy(&(*mutex)->mutex);
  delete *mutex;
  *mutex = nullptr;
  return MapError(status);
}

aErr aMutex_Lock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  return MapError(pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  return MapError(pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  return MapError(pthread_mutex_unlock(&mutex->mutex));
}

const char* aMutex_Identifier(aMutexRef mutex) { return mutex ? mutex->name : nullptr; }

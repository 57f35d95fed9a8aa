#include "common/aThread.h"

#include <new>

#include <pthread.h>
#include <unistd.h>

struct aThread {
  pthread_t thread;
};

aThreadRef aThread_Create(aThreadProc proc, void* arg) {
  if (!proc) return nullptr;
  aThreadRef handle = new (std::nothrow) aThread;
  if (!handle) return nullptr;
  if (pthread_create(&handle->thread, nullptr, proc, arg) != 0) {
    delete handle;
    return nullptr;
  }
  return handle;
}

int aThread_Destroy(aThreadRef* thread) {
  if (!thread || !*thread) return -1;
  const int status = pthread_join((*thread)->thread, nullptr);
  delete *thread;
  *thread = nullptr;
  return status;
}

void aThread_Yield(void) { usleep(5); }

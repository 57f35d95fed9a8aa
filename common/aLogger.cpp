#include "common/aLogger.h"

#include <atomic>
#include <new>

#include <pthread.h>

namespace {
constexpr uint16_t kLoggerTag = 0xDEED;
}

struct aLogger {
  void* context;
  aLoggerProc proc;
  aFileRef file;
  pthread_t thread;
  std::atomic<bool> running;
  uint16_t tag;
};

namespace {

bool Valid(aLoggerRef logger) { return logger && logger->tag == kLoggerTag; }

void* LoggerThread(void* arg) {
  aLoggerRef logger = static_cast<aLoggerRef>(arg);
  while (logger->running.load(std::memory_order_acquire)) {
    logger->proc(logger->file, logger->context);
  }
  return nullptr;
}

}  // namespace

aLoggerRef aLogger_Create(void* context, aLoggerProc proc, const char* path) {
  if (!proc) return nullptr;
  aFileRef file = aFile_Open(path, aFileModeAppend);
  if (!file) return nullptr;
  aLoggerRef logger = new (std::nothrow) aLogger;
  if (!logger) {
    aFile_Close(&file);
    return nullptr;
  }
  aFile_SetUnbuffered(file);
  logger->context = context;
  logger->proc = proc;
  logger->file = file;
  logger->running.store(false);
  logger->tag = kLoggerTag;
  return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
  if (!Valid(logger)) return aErrParam;
  if (logger->running.load()) return aErrNone;
  logger->running.store(true, std::memory_order_release);
  if (pthread_create(&logger->thread, nullptr, LoggerThread, logger) != 0) {
    logger->running.store(false);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
  if (!Valid(logger)) return aErrParam;
  if (!logger->running.load()) return aErrNone;
  // The logger's own callback cannot wait for itself to end.
  if (pthread_equal(pthread_self(), logger->thread)) return aErrNone;
  logger->running.store(false, std::memory_order_release);
  return pthread_join(logger->thread, nullptr) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
  if (!logger || !Valid(*logger)) return aErrParam;
  // Freeing the record under the running logger thread would pull its
  // state from under it.
  if ((*logger)->running.load() && pthread_equal(pthread_self(), (*logger)->thread)) {
    return aErrBusy;
  }
  const aErr disabled = aLogger_Disable(*logger);
  aFile_Close(&(*logger)->file);
  if (disabled == aErrNone) {
    (*logger)->tag = 0;
    delete *logger;
    *logger = nullptr;
  }
  return disabled;
}

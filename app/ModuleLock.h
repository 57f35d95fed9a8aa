// The lock one updater holds on a module while it talks to it, so that two
// updaters (processes, or threads of one process) never drive the same
// module at once.
//
// The lock is an flock on <store>/locks/<SERIAL8HEX>.lock. Each ModuleLock
// opens the file itself, and flock locks taken through separately opened
// descriptors exclude each other even within one process; the kernel drops
// the lock of a process that ends, so a file left behind never blocks. The
// holder writes its PID and the start time of its process into the file;
// the file stays when the lock is released.
//
// A ModuleLock is used by one thread; several ModuleLocks, for the same or
// for different serial numbers, may be taken on several threads at once.
#ifndef UPDATER_MODULE_LOCK_H
#define UPDATER_MODULE_LOCK_H

#include <cstdint>
#include <string>

#include "common/aError.h"

class ModuleLock {
 public:
  // Who asks: Record makes the directory and the file when missing and
  // writes the holder's PID into it; Observe makes and writes nothing, so a
  // module never updated through this store is taken without holding
  // anything.
  enum class Mode { Record, Observe };

  ModuleLock() = default;
  ~ModuleLock() { Release(); }
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;

  // Takes the lock of serialNumber below storeDirectory without waiting.
  // aErrNone: held until Release or destruction. aErrBusy: another holder
  // has it; *holder (when given) is its PID, 0 when it cannot be told.
  // Other errors: the lock file could not be made or opened; *detail (when
  // given) says why. Taking a lock while one is held releases that first.
  aErr Acquire(const std::string& storeDirectory, uint32_t serialNumber, Mode mode,
               int* holder = nullptr, std::string* detail = nullptr);
  void Release();
  bool Held() const { return fd_ >= 0; }

  static std::string Directory(const std::string& storeDirectory);
  static std::string Path(const std::string& storeDirectory, uint32_t serialNumber);

 private:
  int fd_ = -1;
};

#endif

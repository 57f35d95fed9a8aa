// The per-module update lock: between processes (a dead holder never
// blocks, a live one does and is named), between threads of one process,
// and the observing form that makes nothing.
#include "app/ModuleLock.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
using Mode = ModuleLock::Mode;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A child process that takes the lock, tells the parent through a pipe,
// and exits, still holding it, when the parent tells it to (Finish).
struct LockingChild {
  pid_t pid = -1;
  int toParent[2] = {-1, -1};
  int toChild[2] = {-1, -1};

  explicit LockingChild(const std::string& store) {
    EXPECT_EQ(::pipe(toParent), 0);
    EXPECT_EQ(::pipe(toChild), 0);
    pid = ::fork();
    if (pid == 0) {
      ModuleLock lock;
      const char taken = lock.Acquire(store, kSerial, Mode::Record) == aErrNone ? 'y' : 'n';
      (void)!::write(toParent[1], &taken, 1);
      char word = 0;
      (void)!::read(toChild[0], &word, 1);
      ::_exit(0);  // no destructor runs: the lock is still held as it dies
    }
  }
  bool Took() {
    char taken = 0;
    return ::read(toParent[0], &taken, 1) == 1 && taken == 'y';
  }
  void Finish() {
    if (pid <= 0) return;
    (void)!::write(toChild[1], "x", 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
  }
  ~LockingChild() {
    Finish();
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
      if (fd >= 0) ::close(fd);
  }
};

TEST(ModuleLock, LiveHolderBlocksAndIsNamedAndItsFileDoesNotBlockOnceItDied) {
  testsupport::TempDir store;
  {
    LockingChild child(store.path());
    ASSERT_TRUE(child.Took());
    for (Mode mode : {Mode::Record, Mode::Observe}) {
      ModuleLock lock;
      int holder = 0;
      EXPECT_EQ(lock.Acquire(store.path(), kSerial, mode, &holder), aErrBusy);
      EXPECT_EQ(holder, child.pid);
      EXPECT_FALSE(lock.Held());
    }
    ModuleLock other;  // another module is free meanwhile
    EXPECT_EQ(other.Acquire(store.path(), kSerial + 1, Mode::Record), aErrNone);
  }  // the child exits holding the lock
  const std::string path = ModuleLock::Path(store.path(), kSerial);
  ASSERT_TRUE(Exists(path));  // the dead holder's file is still there
  ModuleLock lock;
  EXPECT_EQ(lock.Acquire(store.path(), kSerial, Mode::Record), aErrNone);
  EXPECT_TRUE(lock.Held());
  const std::string text = testsupport::ReadFile(path);
  EXPECT_EQ(text.find("PID=" + std::to_string(::getpid()) + "\nSTART_TIME="), 0u) << text;
}

TEST(ModuleLock, ThreadsOnOneSerialGetItOnceAndOnSeveralSerialsEachGetsIts) {
  testsupport::TempDir store;
  constexpr int kThreads = 8;
  struct Case {
    bool sameSerial;
    int expectedHolders;
  };
  for (const Case& c : {Case{true, 1}, Case{false, kThreads}}) {
    std::vector<ModuleLock> locks(kThreads);
    std::vector<aErr> results(kThreads, aErrUnknown);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ++ready;
        for (int spin = 0; ready.load() < kThreads && spin < 1000000; ++spin) std::this_thread::yield();
        const uint32_t serial = c.sameSerial ? kSerial : kSerial + uint32_t(i);
        results[size_t(i)] = locks[size_t(i)].Acquire(store.path(), serial, Mode::Record);
      });
    }
    for (std::thread& t : threads) t.join();
    int held = 0;
    for (int i = 0; i < kThreads; ++i) {
      EXPECT_TRUE(results[size_t(i)] == aErrNone || results[size_t(i)] == aErrBusy);
      held += locks[size_t(i)].Held() ? 1 : 0;
    }
    EXPECT_EQ(held, c.expectedHolders) << (c.sameSerial ? "same serial" : "several serials");
  }
}

TEST(ModuleLock, WhatIsNotALockFileIsRefused) {
  testsupport::TempDir store;
  ASSERT_EQ(::mkdir(ModuleLock::Directory(store.path()).c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(ModuleLock::Path(store.path(), kSerial).c_str(), 0755), 0);
  ASSERT_EQ(::symlink("/dev/null", ModuleLock::Path(store.path(), kSerial + 1).c_str()), 0);
  for (uint32_t serial : {kSerial, kSerial + 1}) {
    ModuleLock lock;
    std::string detail;
    EXPECT_NE(lock.Acquire(store.path(), serial, Mode::Record, nullptr, &detail), aErrNone);
    EXPECT_FALSE(lock.Held());
    EXPECT_FALSE(detail.empty());
  }
}

}  // namespace

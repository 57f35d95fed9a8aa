#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "common/aFile.h"
#include "common/aLogger.h"
#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/aTime.h"
#include "tests/unit/test_support.h"

namespace {

struct TryLockProbe {
  aMutexRef mutex;
  aErr result;
};

void* TryFromOtherThread(void* arg) {
  auto* probe = static_cast<TryLockProbe*>(arg);
  probe->result = aMutex_TryLock(probe->mutex);
  if (probe->result == aErrNone) aMutex_Unlock(probe->mutex);
  return nullptr;
}

void* UnlockFromOtherThread(void* arg) {
  auto* probe = static_cast<TryLockProbe*>(arg);
  probe->result = aMutex_Unlock(probe->mutex);
  return nullptr;
}

aErr RunOnThread(aThreadProc proc, TryLockProbe& probe) {
  aThreadRef thread = aThread_Create(proc, &probe);
  EXPECT_NE(nullptr, thread);
  EXPECT_EQ(0, aThread_Destroy(&thread));
  EXPECT_EQ(nullptr, thread);
  return probe.result;
}

}  // namespace

TEST(aMutex, NameLimits) {
  aMutexRef named = aMutex_Create(std::string(255, 'm').c_str());
  ASSERT_NE(nullptr, named);
  EXPECT_EQ(std::string(255, 'm'), aMutex_Identifier(named));
  EXPECT_EQ(aErrNone, aMutex_Destroy(&named));
  EXPECT_EQ(nullptr, named);
  EXPECT_EQ(nullptr, aMutex_Create(std::string(256, 'm').c_str()));
  aMutexRef anonymous = aMutex_Create(nullptr);
  ASSERT_NE(nullptr, anonymous);
  EXPECT_STREQ("", aMutex_Identifier(anonymous));
  aMutex_Destroy(&anonymous);
  EXPECT_EQ(aErrParam, aMutex_Destroy(&anonymous));
  EXPECT_EQ(aErrParam, aMutex_Lock(nullptr));
}

TEST(aMutex, ErrorMapping) {
  aMutexRef mutex = aMutex_Create("m");
  ASSERT_NE(nullptr, mutex);
  EXPECT_EQ(aErrNone, aMutex_Lock(mutex));
  EXPECT_EQ(aErrDuplicate, aMutex_Lock(mutex));  // relock by the owner does not block

  TryLockProbe probe{mutex, aErrNone};
  EXPECT_EQ(aErrBusy, RunOnThread(TryFromOtherThread, probe));
  EXPECT_EQ(aErrPermission, RunOnThread(UnlockFromOtherThread, probe));

  EXPECT_EQ(aErrNone, aMutex_Unlock(mutex));
  EXPECT_EQ(aErrPermission, aMutex_Unlock(mutex));
  EXPECT_EQ(aErrNone, RunOnThread(TryFromOtherThread, probe));
  EXPECT_EQ(aErrNone, aMutex_Destroy(&mutex));
}

TEST(aTime, TicksAdvanceWithSleep) {
  const uint32_t start = aTime_GetMSTicks();
  EXPECT_EQ(aErrNone, aTime_MSSleep(20));
  const uint32_t elapsed = aTime_GetMSTicks() - start;
  EXPECT_GE(elapsed, 20u);
  EXPECT_EQ(aErrNone, aTime_MSSleep(0));
}

namespace {

struct LoggerContext {
  std::atomic<int> calls{0};
};

void WriteTick(aFileRef file, void* context) {
  auto* state = static_cast<LoggerContext*>(context);
  if (state->calls.fetch_add(1) < 3) aFile_Printf(file, "tick\n");
  aTime_MSSleep(1);
}

}  // namespace

TEST(aLogger, LifeCycleWritesThroughCallback) {
  testsupport::TempDir dir;
  const std::string path = dir.join("packets.log");
  LoggerContext context;
  EXPECT_EQ(nullptr, aLogger_Create(&context, WriteTick, dir.join("no/such/dir/x").c_str()));

  aLoggerRef logger = aLogger_Create(&context, WriteTick, path.c_str());
  ASSERT_NE(nullptr, logger);
  EXPECT_EQ(aErrNone, aLogger_Disable(logger));  // stopped: nothing to do
  EXPECT_EQ(aErrNone, aLogger_Enable(logger));
  EXPECT_EQ(aErrNone, aLogger_Enable(logger));  // already running
  for (int i = 0; i < 2000 && context.calls.load() < 5; ++i) aTime_MSSleep(1);
  EXPECT_EQ(aErrNone, aLogger_Disable(logger));
  const int calls = context.calls.load();
  EXPECT_GE(calls, 5);
  aTime_MSSleep(5);
  EXPECT_EQ(calls, context.calls.load());  // stopped means stopped

  EXPECT_EQ(aErrNone, aLogger_Enable(logger));
  EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));  // disables first
  EXPECT_EQ(nullptr, logger);
  EXPECT_EQ("tick\ntick\ntick\n", testsupport::ReadFile(path));
}

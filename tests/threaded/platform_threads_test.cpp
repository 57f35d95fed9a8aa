#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "common/aFile.h"
#include "common/aLogger.h"
#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/aTime.h"
#include "tests/unit/test_support.h"

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

namespace {

struct Counter {
  aMutexRef mutex;
  int value;
};

void* CountUnderLock(void* arg) {
  auto* counter = static_cast<Counter*>(arg);
  for (int i = 0; i < 10000; ++i) {
    aMutex_Lock(counter->mutex);
    ++counter->value;
    aMutex_Unlock(counter->mutex);
  }
  return nullptr;
}

}  // namespace

TEST(aMutex, SerialisesThreads) {
  Counter counter{aMutex_Create("counter"), 0};
  ASSERT_NE(nullptr, counter.mutex);
  aThreadRef a = aThread_Create(CountUnderLock, &counter);
  aThreadRef b = aThread_Create(CountUnderLock, &counter);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(0, aThread_Destroy(&a));
  EXPECT_EQ(0, aThread_Destroy(&b));
  EXPECT_EQ(20000, counter.value);
  EXPECT_EQ(aErrNone, aMutex_Destroy(&counter.mutex));
}

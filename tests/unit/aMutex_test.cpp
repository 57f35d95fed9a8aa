// Error mapping of the mutex wrapper. It provokes misuse on purpose (a
// relock by the owner, an unlock by another thread), so it runs under
// AddressSanitizer only: ThreadSanitizer rightly reports that misuse.
#include <gtest/gtest.h>

#include <string>

#include "common/aMutex.h"
#include "common/aThread.h"

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


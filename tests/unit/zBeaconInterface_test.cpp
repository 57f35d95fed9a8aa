// The guard of the messaging library's interface setting. Sets the setting
// only; no beacon is started.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <czmq.h>

#include "common/zBeaconInterface.h"

namespace {

TEST(BeaconInterface, RefusesTextsThatAreNotAddressesAndTakesNoLock) {
  const char* const refused[] = {"eth0", "lo", "198.18.0", "198.18.0.1.5", "198.18.0.256", " ",
                                 nullptr};
  for (const char* text : refused) {
    EXPECT_FALSE(zBeaconInterface_setAndLock(text)) << (text ? text : "null");
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock(text)) << (text ? text : "null");
  }
  // Free: another thread takes and gives back the lock (a lock left taken
  // would hang here).
  std::thread other([] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
  });
  other.join();
}

TEST(BeaconInterface, BackupSetAndRestore) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.9"));
  zBeaconInterface_unlock();
  for (const char* text : {"198.18.0.1", "", "*"}) {
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock(text)) << text;
    EXPECT_EQ(std::string(zBeaconInterface_get()), text);
    EXPECT_EQ(std::string(zBeaconInterface_getBackup()), "198.18.0.9");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(std::string(zBeaconInterface_get()), "198.18.0.9");
  }
  ASSERT_TRUE(zBeaconInterface_setAndLock(""));
  zBeaconInterface_unlock();
}

TEST(BeaconInterface, RestoresOnlyWhatABackupSaved) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.9"));
  zBeaconInterface_unlock();
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("198.18.0.1"));
  zBeaconInterface_restoreAndUnlock();
  // No backup since: a restore keeps the setting and only releases the lock.
  ASSERT_TRUE(zBeaconInterface_setAndLock("198.18.0.7"));
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(std::string(zBeaconInterface_get()), "198.18.0.7");

  // A setting too long to save is neither cut nor replaced, and the lock is
  // free again afterwards.
  const std::string longName(150, 'e');
  zsys_set_interface(longName.c_str());
  EXPECT_FALSE(zBeaconInterface_backupSetAndLock("198.18.0.1"));
  EXPECT_EQ(std::string(zBeaconInterface_get()), longName);
  std::thread other([] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
  });
  other.join();
  ASSERT_TRUE(zBeaconInterface_setAndLock(""));
  zBeaconInterface_unlock();
}

}  // namespace

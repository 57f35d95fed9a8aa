#include "common/zBeaconInterface.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <czmq.h>

#include "common/aKorvexDebug.h"
#include "common/discover.h"

namespace {

constexpr size_t kBackupSize = 100;

std::mutex gLock;
char gBackup[kBackupSize] = {};  // guarded by gLock
bool gBackedUp = false;          // gBackup holds a setting to restore; guarded by gLock

bool Acceptable(const char* interface) {
  if (interface == nullptr) return false;
  if (interface[0] == '\0' || strcmp(interface, "*") == 0) return true;
  in_addr parsed;
  return inet_pton(AF_INET, interface, &parsed) == 1;
}

void Lock(const char* operation) {
  aDiscovery_PrepareMessaging();
  aKorvexDebug_Trace(aDEBUG_BEACON_LOCK, "%s PRE-LOCK\n", operation);
  gLock.lock();
  aKorvexDebug_Trace(aDEBUG_BEACON_LOCK, "%s LOCKED\n", operation);
}

void Unlock(const char* format, const char* operation) {
  aKorvexDebug_Trace(aDEBUG_BEACON_LOCK, format, operation);
  gLock.unlock();
}

const char* Current() {
  aDiscovery_PrepareMessaging();
  const char* value = zsys_interface();
  return value ? value : "";
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* interface) {
  if (!Acceptable(interface)) return false;
  Lock(__func__);
  zsys_set_interface(interface);
  return true;
}

bool zBeaconInterface_backupSetAndLock(const char* interface) {
  if (!Acceptable(interface)) return false;
  Lock(__func__);
  // A setting that does not fit is not saved (a cut one would restore a
  // different interface): nothing is changed then, and the lock goes back.
  const char* current = Current();
  if (strlen(current) >= sizeof(gBackup)) {
    gBackedUp = false;
    Unlock("%s UNLOCKING\n", __func__);
    return false;
  }
  snprintf(gBackup, sizeof(gBackup), "%s", current);
  gBackedUp = true;
  zsys_set_interface(interface);
  return true;
}

void zBeaconInterface_restoreAndUnlock(void) {
  // Only a setting saved by backupSetAndLock is put back, and only once.
  if (gBackedUp) zsys_set_interface(gBackup);
  gBackedUp = false;
  Unlock("%s: UNLOCKING\n", __func__);
}

void zBeaconInterface_unlock(void) { Unlock("%s UNLOCKING\n", __func__); }

const char* zBeaconInterface_get(void) { return Current(); }

const char* zBeaconInterface_getAndLock(void) {
  Lock(__func__);
  return Current();
}

const char* zBeaconInterface_getBackup(void) { return gBackup; }

const char* zBeaconInterface_getBackupAndLock(void) {
  Lock(__func__);
  return gBackup;
}

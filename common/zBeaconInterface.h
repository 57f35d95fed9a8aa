// Guards the messaging library's process-wide network-interface setting
// (zsys_set_interface / zsys_interface), which its beacon actor reads when it
// starts. Whoever changes the setting holds one process-wide lock until the
// old value is back, so two users never see each other's interface.
//
// An interface text is accepted only when it is a dotted IPv4 address, the
// empty text or "*"; otherwise the set operations return false and take no
// lock. Lock and unlock happen on the same thread.
#ifndef KORVEX_ZBEACONINTERFACE_H
#define KORVEX_ZBEACONINTERFACE_H

// Takes the lock and sets the interface.
bool zBeaconInterface_setAndLock(const char* interface);
// Takes the lock, saves the current setting, then sets the new one.
bool zBeaconInterface_backupSetAndLock(const char* interface);
// Puts the saved setting back and releases the lock.
void zBeaconInterface_restoreAndUnlock(void);
void zBeaconInterface_unlock(void);
// The current setting (owned by the messaging library; valid until the next
// set). The ...AndLock forms take the lock first.
const char* zBeaconInterface_get(void);
const char* zBeaconInterface_getAndLock(void);
// The setting saved by the last backupSetAndLock.
const char* zBeaconInterface_getBackup(void);
const char* zBeaconInterface_getBackupAndLock(void);

#endif

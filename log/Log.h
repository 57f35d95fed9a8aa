// The application's diagnostic trace, filtered by a 32-bit debug mask.
// Lines logged under mask 0 are always written.
#ifndef UPDATER_LOG_H
#define UPDATER_LOG_H

#include <cstdint>
#include <cstdio>

enum DebugBits : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,  // listed in the usage as DEBUG_Network
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
 public:
  // Writes the formatted text (cut at 2047 characters, nothing added) when
  // mask is 0 or shares a bit with the enabled mask.
  static void log(uint32_t mask, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE* stream);
  static void ActivatePackage(uint32_t mask);
  static void DeactivatePackage(uint32_t mask);
  static uint32_t EnabledPackages();
  static bool IsActive(uint32_t mask);

 private:
  static FILE* fh;
  static uint32_t package_bitmask;
};

#endif

// Stand-ins for builds without the messaging library: no sharing server and
// no client stream, each call saying so.
#include "common/aServer.h"

aServer* aServer_Create(uint32_t, uint32_t, bool) { return nullptr; }
aErr aServer_Start(aServer*) { return aErrUnimplemented; }
uint16_t aServer_GetPort(const aServer*) { return 0; }
uint32_t aServer_GetInterface(const aServer*) { return 0; }
bool aServer_IsLocalOnly(const aServer*) { return true; }
void aServer_SetModuleAddress(aServer*, uint8_t) {}
void aServer_SetModel(aServer*, uint8_t) {}
uint8_t aServer_GetModuleAddress(const aServer*) { return 0; }
uint8_t aServer_GetModel(const aServer*) { return 0; }
uint32_t aServer_GetStreamClientCount(const aServer*) { return 0; }
uint32_t aServer_GetClientStateCount(const aServer*) { return 0; }
aErr aServer_FlushFIFO(aServer*) { return aErrUnimplemented; }
void aServer_Destroy(aServer** server) {
  if (server != nullptr) *server = nullptr;
}
void aServer_SetAnnounceHooks(aServerAnnounceStart, aServerAnnounceStop) {}
bool aServer_Available(void) { return false; }
bool aServer_MessagingLoaded(void) { return false; }

aErr aStream_CreateClient(uint32_t, uint16_t, aStreamRef* stream) {
  if (stream != nullptr) *stream = nullptr;
  return aErrUnimplemented;
}

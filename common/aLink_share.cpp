// Sharing a link through a sharing server: the server on the link, a client
// link to the server for this process, and the module's address and model
// learnt through that client for discovery's answers.
#include <arpa/inet.h>

#include "common/aDefs.h"
#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aLink_internal.h"
#include "common/aServer.h"
#include "common/aTime.h"

namespace {

constexpr int kDetailAttempts = 5;

uint32_t sFail(const char* step, uint32_t* linkId, uint32_t* clientId) {
  aKorvexDebug_Trace(aDEBUG_LINK, "FAIL: %s\n", step);
  aKorvexDebug_Trace(aDEBUG_LINK, "Failed to create server\n");
  if (clientId != nullptr && *clientId != 0) aLink_Destroy(clientId);
  if (*linkId != 0) aLink_Destroy(linkId);
  return 0;
}

bool sConfigureDetails(uint32_t clientId, aServer* server) {
  for (int i = 0; i < kDetailAttempts; i++) {
    uint8_t address = 0, model = 0;
    if (_aLink_GetModuleAddress(clientId, &address) == aErrNone &&
        _aLink_GetModel(clientId, address, &model) == aErrNone) {
      aKorvexDebug_Trace(aDEBUG_LINK, "_getDeviceInfo: moduleAddress:%d\n", address);
      aKorvexDebug_Trace(aDEBUG_LINK, "_getDeviceInfo: model:%d\n", model);
      aServer_SetModuleAddress(server, address);
      aServer_SetModel(server, model);
      return true;
    }
    aKorvexDebug_Trace(aDEBUG_LINK, "_getDeviceInfo: Flush FIFO\n");
    aServer_FlushFIFO(server);
    aTime_MSSleep(10);
  }
  return false;
}

}  // namespace

uint32_t aLink_CreateServerFor(uint32_t linkId, uint16_t* port,
                               uint32_t* interfaceAddress, uint8_t localOnly) {
  uint32_t clientId = 0;
  if (port == nullptr || interfaceAddress == nullptr)
    return sFail("arguments", &linkId, nullptr);
  if (linkId == 0) return sFail("aLink_CreateUSB:", &linkId, nullptr);
  aServer* server = aServer_Create(linkId, *interfaceAddress, localOnly != 0);
  if (server == nullptr) return sFail("aServer_Create:", &linkId, nullptr);
  if (aServer_Start(server) != aErrNone) {
    aServer_Destroy(&server);
    return sFail("aServer_Start:", &linkId, nullptr);
  }
  if (!sLinkAttachServer(linkId, server)) {
    aServer_Destroy(&server);
    return sFail("sLookupEntryByID:", &linkId, nullptr);
  }
  // The link owns the server from here on.
  const uint16_t serverPort = aServer_GetPort(server);
  const uint32_t advertised = aServer_GetInterface(server);
  if (serverPort == 0) return sFail("aServer_GetPort:", &linkId, nullptr);
  // The client connects where the server listens.
  const uint32_t connectTo = localOnly != 0 ? htonl(INADDR_LOOPBACK) : advertised;
  clientId = aLink_CreateClient(connectTo, serverPort, 0);
  if (clientId == 0) return sFail("aLink_CreateClient:", &linkId, nullptr);
  if (!sLinkSetPartner(clientId, linkId))
    return sFail("NULL != clientItem:", &linkId, &clientId);
  linkId = 0;  // destroyed with the client from now on
  if (!sConfigureDetails(clientId, server))
    return sFail("NULL != _getDeviceInfo:", &linkId, &clientId);
  *port = serverPort;
  *interfaceAddress = advertised;
  return clientId;
}

uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port,
                            uint32_t* interfaceAddress, uint8_t localOnly) {
  if (port == nullptr || interfaceAddress == nullptr) return 0;
  // Served by this process already: one more client of that server.
  uint32_t servedAt = 0, advertised = 0;
  uint16_t servedPort = 0;
  if (sLinkServedAt(USB, serialNumber, &servedAt, &servedPort, &advertised)) {
    aKorvexDebug_Trace(aDEBUG_LINK, "Served here already: client of its server\n");
    const uint32_t clientId = aLink_CreateClient(servedAt, servedPort, 0);
    if (clientId != 0) {
      *port = servedPort;
      *interfaceAddress = advertised;
    }
    return clientId;
  }
  return aLink_CreateServerFor(aLink_CreateUSB(serialNumber), port,
                               interfaceAddress, localOnly);
}

// The sharing server: one link (normally USB) served to several processes
// over message sockets, and the client stream that reaches such a server.
//
// The server owns a ROUTER socket on a TCP port; clients of the same
// process reach that socket through an in-process endpoint instead, without
// the messaging library's I/O thread and the TCP stack between. Every
// client sends one packet per message frame; the broker thread queues each
// request that needs an answer with the client's identity and puts the
// requests on the link one at a time. The link's reader takes the module's
// answer from the request's address as it arrives and sends it to that
// identity, and nobody else; a request without an answer within 2 s is
// dropped. Clients take turns, one request each (aServer_internal.h), and
// each may have at most 16 requests waiting; a UEI request beyond that is
// refused at once with an aErrBusy error reply. Stream samples are
// collected from the link's reader and fanned out in batches to the
// clients that enabled streaming. Byte-array sets (runs of UEI packets) are
// pooled per client and reach the module as one uninterrupted run.
//
// Frame rule: a frame from the network holds exactly one packet's wire form
// (address, dataSize <= 28, data); anything else is refused.
//
// Without the messaging library (e.g. the 32-bit build) every call that
// would need it answers aErrUnimplemented (or null / 0).
#ifndef KORVEX_ASERVER_H
#define KORVEX_ASERVER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/aError.h"
#include "common/aPacket.h"
#include "common/aStream.h"

#define aSERVER_ANSWER_TIMEOUT_MS 2000u
#define aSERVER_POOL_TTL_MS 2000u
#define aSERVER_POOL_MAX_PACKETS 128u
#define aSERVER_MAX_POOLS 64u  // byte-array runs being collected at once
#define aSERVER_BATCH_SIZE 4096u
#define aSERVER_BATCH_FLUSH_MS 100u
#define aSERVER_SPEC_SIZE 128u

struct aServer;

// ---- server ----------------------------------------------------------------

// A server for the running link id on interfaceAddress (IPv4, network byte
// order; 0 means 127.0.0.1). localOnly binds the frontend on 127.0.0.1 only.
// Null for an unknown link or without the messaging library.
aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress,
                        bool localOnly);
// Binds the frontend, starts the broker, installs the filter that takes
// answers and stream samples on the link. aErrResource when any step fails.
aErr aServer_Start(aServer* server);
// The bound frontend port (0 before a successful start).
uint16_t aServer_GetPort(const aServer* server);
// The advertised interface address (network byte order).
uint32_t aServer_GetInterface(const aServer* server);
// Whether the frontend listens on 127.0.0.1 only.
bool aServer_IsLocalOnly(const aServer* server);
void aServer_SetModuleAddress(aServer* server, uint8_t address);
void aServer_SetModel(aServer* server, uint8_t model);
uint8_t aServer_GetModuleAddress(const aServer* server);
uint8_t aServer_GetModel(const aServer* server);
// Clients that receive stream samples (updated as batches go out).
uint32_t aServer_GetStreamClientCount(const aServer* server);
// Records the broker keeps for clients: those with requests waiting, with
// a byte-array run being collected, and stream clients (one client may
// count in each; updated every turn of the broker, at least once a second).
// A client that has gone leaves none behind for long.
uint32_t aServer_GetClientStateCount(const aServer* server);
// Drops packets waiting on the link's inbound queue. Requests in flight keep
// their place: each gets exactly one answer or a drop.
aErr aServer_FlushFIFO(aServer* server);
// Stops everything the server started and frees it; *server becomes null.
void aServer_Destroy(aServer** server);

// Discovery announces a started server (its port, interface, model and
// module address through the getters above). The discovery side installs
// the pair; start returns its own handle (null: nothing to stop), stop is
// called before the server goes away. Null hooks: no announcement.
typedef void* (*aServerAnnounceStart)(aServer* server);
typedef void (*aServerAnnounceStop)(void* handle);
void aServer_SetAnnounceHooks(aServerAnnounceStart start,
                              aServerAnnounceStop stop);

// Whether this build has the sharing server (the messaging library).
bool aServer_Available(void);

// Whether this process has loaded (or tried to load) the messaging
// libraries. Their exit-time shutdown delivers what is still queued, so a
// process that has loaded them must end through exit().
bool aServer_MessagingLoaded(void);

// ---- client stream ---------------------------------------------------------

// A byte stream to the server at address (IPv4, network byte order) and
// port (in-process when that server belongs to this process). The
// connection is confirmed with one identify round trip (2 s);
// aErrConnection when it fails. Reads never block: get answers aErrNotReady
// at once, and the stream's wait operation waits for the next frame. A
// write is split into one frame per packet; a buffer that is not a sequence
// of whole packets is aErrIO and nothing of it is sent.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream);

// ---- rules (no messaging library needed) -----------------------------------

// True when the bytes are exactly one packet's wire form.
bool aServer_FrameIsPacket(const uint8_t* data, size_t size);
// A packet gets an answer from the module unless it is a force route or an
// intermediate packet of a byte-array run (full length, continue bit).
bool aServer_NeedsAnswer(const aPacket* packet);
// True for the first packet of a byte-array run (full, continue, sequence 0).
bool aServer_StartsRun(const aPacket* packet);
// Splits a buffer of whole packets' wire forms; false when it does not parse.
bool aServer_SplitPackets(const uint8_t* data, size_t size,
                          std::vector<std::vector<uint8_t>>* packets);

// Byte-array pools of the clients, keyed by client identity.
class aServerPools {
 public:
  enum Result {
    kNotPooled,  // handle the packet normally
    kHeld,       // kept in the client's pool
    kComplete,   // the run is whole: *run holds it in order
  };
  // Offers a client's packet at time nowMs. A packet that does not continue
  // the client's open run discards that pool first; a pool that would grow
  // past aSERVER_POOL_MAX_PACKETS is discarded with the packet. A run that
  // starts while aSERVER_MAX_POOLS are open is swallowed (kHeld).
  Result offer(const std::string& identity, const aPacket& packet,
               uint32_t nowMs, std::vector<aPacket>* run);
  // Discards pools whose last packet is older than aSERVER_POOL_TTL_MS.
  void expire(uint32_t nowMs);
  size_t size() const { return pools_.size(); }

 private:
  struct Pool {
    std::vector<aPacket> packets;
    uint32_t lastMs = 0;
  };
  std::map<std::string, Pool> pools_;
};

#endif

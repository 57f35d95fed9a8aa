// The link engine: a byte stream to one module turned into two packet
// queues.
//
// Every link runs a reader thread (splits incoming bytes into packets, keeps
// the stream in step with the module, answers heartbeats, queues the rest
// for callers) and a writer thread (writes queued packets, one by one or
// pooled into writes of up to 4096 bytes). On an unpooled link a caller
// whose packet has nothing queued or being written ahead of it writes it
// itself, saving the hand-off to the writer; the order of packets is the
// order of the puts either way, and the stream sees one write at a time.
// Links live in a process-wide table under small integer ids with use
// counts: creating a link to a module that already has one returns the same
// id and raises its use count, and aLink_Destroy lowers it; the link goes
// away with its last holder.
//
// Any call may run on any thread beside any other. A call that meets a link
// being destroyed or reset fails with an error (or finds nothing); a share
// either raises the count of a live link or fails, never returns an id on
// its way out.
//
// Wire form of a packet: address, dataSize, data (see aPacket.h). Two odd
// addresses are link-level requests to the connected module: 0xAD identify
// (also the sync probe) and 0xAF force route (one data byte, 1 on start and
// 0 on stop).
#ifndef KORVEX_ALINK_H
#define KORVEX_ALINK_H

#include <cstdint>

#include "common/aPacket.h"
#include "common/aStream.h"

#define aLINK_ADDRESS_IDENTIFY 0xAD
#define aLINK_ADDRESS_FORCE_ROUTE 0xAF
#define aLINK_POOL_SIZE 4096

enum aLinkState : uint32_t {
  kLinkStateStopped = 0,
  kLinkStateStarting = 1,
  kLinkStateRunning = 2,
  kLinkStateStopping = 3,
  kLinkStateSyncing = 4,
  kLinkStateNoStream = 5,   // also what aLink_GetStatus answers for an unknown id
  kLinkStateIOError = 6,
  kLinkStateResetting = 7,  // never set by the engine; a failure to waiters
  kLinkStateFault = 8,
};

enum aSyncState : uint32_t {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

// ---- creation: each returns the new or shared link id, 0 on failure -------

// USB link to the module with this serial number, synchronised before it
// is returned (within 2 s).
uint32_t aLink_CreateUSB(uint32_t serialNumber);
// TCP link; address in network byte order, port in host order. A link to
// the same address and port is shared.
uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port);
// Serial link; baudRate one of 2400, 4800, 9600, 19200, 38400, 57600,
// 115200, 230400 (8 data bits, no parity, one stop bit).
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName,
                            uint32_t baudRate);
// With a non-zero existingId: shares that link (use count + 1). With 0: a
// new client link to a shared link's server, made with the client stream
// factory (0 while none is installed).
uint32_t aLink_CreateClient(uint32_t address, uint16_t port,
                            uint32_t existingId);
// Shares the USB link to the module with this serial number through a
// sharing server (aServer.h) and returns a client link to it; destroying
// the client link destroys the server and the USB link. *interfaceAddress
// (network byte order, 0 means 127.0.0.1) is where the server listens when
// localOnly is 0, and receives the advertised address; *port receives the
// server's port. When this process serves that module already, the result
// is a new client link to that server (and the outputs describe it). 0 on
// failure, with nothing left behind.
uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port,
                            uint32_t* interfaceAddress, uint8_t localOnly);
// The same for a running link of any kind (linkId's use passes to the
// result: on failure linkId is destroyed).
uint32_t aLink_CreateServerFor(uint32_t linkId, uint16_t* port,
                               uint32_t* interfaceAddress, uint8_t localOnly);
// A link over a ready stream, which the link owns from then on (also when
// the creation fails).
uint32_t aLink_Create(aStreamRef stream);

// The factory of client streams to a shared link (installed by the sharing
// layer); null removes it.
typedef aErr (*aLinkClientStreamFactory)(uint32_t address, uint16_t port,
                                         aStreamRef* stream);
void aLink_SetClientStreamFactory(aLinkClientStreamFactory factory);

// ---- life cycle ------------------------------------------------------------

// (Re)initialises the link's record over stream (null: no stream). Returns
// the id, 0 for an unknown id. Only for a link that is not running.
uint32_t aLink_Init(uint32_t id, aStreamRef stream);
// Starts the reader and writer and queues force route 1. Success at once for
// a running link; aErrConnection without a stream; aErrIndexRange when the
// threads do not report running within 2 s.
aErr aLink_Start(uint32_t id);
// Queues force route 0, ends both threads (the writer writes what is still
// queued first) and leaves the link stopped.
aErr aLink_Stop(uint32_t id);
// Resynchronises with identify probes; aErrNotReady when not synced within
// 2 s. Both queues are drained afterwards.
aErr aLink_Sync(uint32_t id);
// Stops the link, makes a new stream of its kind (up to 20 attempts) and
// starts it again with fresh queues and no user filter. When no stream can
// be made the link stays stopped with no stream (kLinkStateNoStream).
aErr aLink_Reset(uint32_t id);
// Drops one use; the last one tears the link down. *id becomes 0.
aErr aLink_Destroy(uint32_t* id);
// The link state (aLinkState); kLinkStateNoStream for an unknown id.
uint32_t aLink_GetStatus(uint32_t id);
// Holders of the link; 0 for an unknown id.
int32_t aLink_GetUseCount(uint32_t id);

// ---- traffic ---------------------------------------------------------------

// Queues a copy for writing, or writes it on the caller's thread when the
// link runs unpooled and nothing is ahead of it (the call then returns once
// it is written; a failed write is traced and the packet dropped, as the
// writer does). aErrParam for an unknown id or invalid packet.
aErr aLink_PutPacket(uint32_t id, const aPacket* packet);
// The oldest received packet (caller frees it), without waiting / waiting.
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, uint32_t timeoutMs);
// The oldest received packet the filter accepts. AwaitFirst gives up early
// when the link stops running.
aPacket* aLink_GetFirst(uint32_t id, aPacketFilter filter,
                        const void* reference);
aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilter filter,
                          const void* reference, uint32_t timeoutMs);
// Drops every received packet the filter accepts; returns how many.
uint32_t aLink_DrainPackets(uint32_t id, aPacketFilter filter,
                            const void* reference);
// Queues a force-route packet (0xAF, value). aErrNotFound for an unknown id.
aErr aLink_ForceRoute(uint32_t id, uint8_t value);

// ---- module queries (used when a link is shared) ----------------------------

// Sends an identify packet and takes the first packet received within 1 s:
// an empty packet gives the module's address. aErrIO for any other packet,
// aErrTimeout for none.
aErr _aLink_GetModuleAddress(uint32_t id, uint8_t* address);
// Asks the module at address for its model (system entity option 8) and
// takes the first packet received within 1 s: a 4-byte answer of command 3
// from that address gives the model. aErrIO for any other packet,
// aErrTimeout for none.
aErr _aLink_GetModel(uint32_t id, uint8_t address, uint8_t* model);

// ---- hooks -----------------------------------------------------------------

// Installs (null: removes) the filter that sees every received packet first;
// a result of exactly 1 consumes the packet (heartbeats included).
aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilter filter,
                                   void* reference);
// Pooled mode: the writer gathers queued packets into writes of up to 4096
// bytes.
aErr aLink_EnablePooledPackets(uint32_t id, bool enable);

// ---- packet debugging ------------------------------------------------------

// Log capacity in bytes (at most 0x4000000; negative counts as 0, the
// default 0x10000); only while no log exists (else aErrBusy).
aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t bytes);
aErr aLink_PacketDebug_Enable(uint32_t id);
aErr aLink_PacketDebug_Disable(uint32_t id);
// The oldest record (see aPacketLog_Get); aErrNotReady without a log.
aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* type, uint32_t* length,
                            uint8_t* buffer);
aErr aLink_PacketDebug_Write(uint32_t id, uint8_t type, uint8_t length,
                             const uint8_t* bytes);

#endif

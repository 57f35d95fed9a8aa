// The link engine's records, shared by its source files only.
#ifndef KORVEX_ALINK_INTERNAL_H
#define KORVEX_ALINK_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/aLink.h"
#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/packetfifo.h"

#define aLINK_CHECK 0xCEED

// How long an idle thread sleeps in one wait; bounds how long a stop takes.
#define aLINK_IDLE_WAIT_MS 100u
// Pause after a failed read before the next attempt.
#define aLINK_IO_RETRY_MS 100u
// An unanswered sync sends new probes after this long.
#define aLINK_SYNC_REPROBE_MS 1000u
#define aLINK_SYNC_PROBES 6
// Pooled writes take another packet while the pool holds at most this many
// bytes, so a full 30-byte packet always fits.
#define aLINK_POOL_FILL_LIMIT (aLINK_POOL_SIZE - aPACKET_MAX_WIRE)

// One link. The engine threads and callers share only the atomics, the
// FIFOs (locked inside) and what the named mutexes guard.
struct aLinkRecord {
  uint16_t check;
  uint32_t id;
  std::atomic<bool> running;
  std::atomic<uint32_t> state;
  // FIFO handles are replaced by a reset while callers may look them up.
  std::atomic<aPacketFifoRef> inbound;
  aPacket* assembly;  // reader only
  std::atomic<aPacketFifoRef> outbound;
  aThreadRef reader;
  aThreadRef writer;
  aThreadProc readerProc;
  aThreadProc writerProc;
  std::atomic<bool> readerReady;
  std::atomic<bool> writerReady;
  aStreamRef stream;
  uint32_t heartbeatState;  // reader only
  uint32_t syncState;       // reader only while running
  uint8_t syncAddress;      // reader only while running
  uint32_t syncProbeTick;   // reader only: when the last probes went out
  // The log, its capacity and its records are guarded by logMutex: both
  // threads record traffic and callers add text.
  aPacketLog* log;
  uint32_t logCapacity;
  aMutexRef logMutex;
  // Guarded by userFilterMutex.
  aPacketFilter userFilter;
  void* userFilterReference;
  aMutexRef userFilterMutex;
  std::atomic<bool> pooled;
};

// One table entry. Fields other than useCount and link are fixed at
// creation; useCount is changed under the table mutex.
struct aLinkEntry {
  uint32_t id;
  uint32_t partnerId;
  void* server;
  uint32_t identifier;
  uint32_t port;
  uint32_t clientIndex;
  uint32_t linkType;
  int16_t useCount;
  aLinkRecord* link;
  aLinkEntry* next;
};

// Thread procedures (aLink_reader.cpp, aLink_writer.cpp).
void* sInPipeProcess(void* arg);
void* sOutPipeProcess(void* arg);

// Starts the sync procedure: probes queued, state syncing (reader only).
void sStartSync(aLinkRecord* link);

// Life cycle on a record (aLink_life.cpp).
aErr sLinkInitRecord(aLinkRecord* link, uint32_t id, aStreamRef stream);
aErr sLinkStartRecord(aLinkRecord* link);
aErr sLinkStopRecord(aLinkRecord* link);
aErr sLinkSyncRecord(aLinkRecord* link);
// Releases FIFOs, packet, log, mutexes and stream; the record stays.
void sLinkReleaseRecord(aLinkRecord* link);

// Table (aLink.cpp). Lookups hold the table mutex only while they search.
aLinkEntry* sLookupEntryByID(uint32_t id);
aStreamRef sCreateStreamFor(const aLinkEntry* entry, aErr* error);
// A link's FIFO handles, read under the table mutex; false for an unknown
// id. The handles stay safe to use (or answer as unknown) afterwards.
bool sLinkFifos(uint32_t id, aPacketFifoRef* inbound, aPacketFifoRef* outbound);
// True while the link runs and is in step.
bool sLinkRunning(uint32_t id);

// Writes " <tag>(<id>) ADDR:%02X, LEN:%02X, [..]" under trace bit 2.
void sTracePacket(const char* tag, uint32_t id, const aPacket* packet);
// Adds a packet's wire bytes to the log when one exists.
void sLogPacket(aLinkRecord* link, uint8_t type, const aPacket* packet);

#endif

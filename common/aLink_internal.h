// The link engine's records, shared by its source files only.
#ifndef KORVEX_ALINK_INTERNAL_H
#define KORVEX_ALINK_INTERNAL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/aLink.h"
#include "common/aMutex.h"
#include "common/aThread.h"
#include "common/packetfifo.h"

#define aLINK_CHECK 0xCEED

// How long an idle thread sleeps in one wait; bounds how long a stop takes.
#define aLINK_IDLE_WAIT_MS 100u
// How long the reader waits for a byte in one wait: bounds how long its
// stop takes, which every disconnect waits for.
#define aLINK_READ_WAIT_MS 20u
// Pause after a failed read before the next attempt.
#define aLINK_IO_RETRY_MS 100u
// Longest pause between reads of a stream that cannot wait for a byte.
#define aLINK_IDLE_PAUSE_MAX_MS 8u
// Empty reads after a readable answer that a shared stream's reader takes
// for callers having read first, before it pauses.
#define aLINK_SHARED_EMPTY_READS 64u
// How long a caller waits for the reader thread to let go of the read lock
// (it holds it for one drain) before waiting on the inbound queue instead.
#define aLINK_READER_HOLD_WAIT_US 2000u
// How long after a caller read its answer itself the reader thread leaves a
// stream callers read to them (the next answer of an exchange is theirs).
#define aLINK_CALLER_TURN_MS 2u
// Bytes read in one hold of the read lock at most, so that a flood of
// bytes cannot hold a stop or a waiting caller's time-out up.
#define aLINK_DRAIN_MAX 4096u
// An unanswered sync sends new probes after this long.
#define aLINK_SYNC_REPROBE_MS 1000u
#define aLINK_SYNC_PROBES 6
// Answers to the probes that the sync procedure itself reads.
#define aLINK_SYNC_ANSWERS 2
// Pooled writes take another packet while the pool holds at most this many
// bytes, so a full 30-byte packet always fits.
#define aLINK_POOL_FILL_LIMIT (aLINK_POOL_SIZE - aPACKET_MAX_WIRE)

// One link. The engine threads and callers share only the atomics, the
// FIFOs (locked inside) and what the named mutexes guard. The two mutexes
// live as long as the record; everything else is replaced by an init or a
// reset, which run only while no engine thread does.
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
  uint32_t syncRounds;      // rounds of probes queued since a sync began; readLock
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
  // Stream writes come from the writer thread and, when nothing is queued
  // or being written, from a caller writing its own packet. queueLock
  // guards `queued` (packets on the outbound FIFO plus those the writer has
  // taken and not yet written) and `direct` (a caller is writing its own),
  // and is held for every put on the outbound FIFO, so that a caller sees
  // whether something would go out before its packet. streamLock is held
  // around every stream write; it is taken under queueLock or alone, never
  // the other way round.
  std::mutex queueLock;
  uint32_t queued;
  bool direct;
  std::mutex streamLock;
  // Reading: the stream's reading side and the fields marked "reader only"
  // belong to whoever holds readLock. That is the reader thread, or, on a
  // stream with a backing wait, a caller waiting for a packet, which then
  // reads for everyone and so is woken by the bytes themselves. Whoever
  // lets go of it has read the stream empty.
  std::mutex readLock;
  // A caller holds readLock and reads for everyone until its answer comes;
  // the millisecond tick the last such caller let go.
  std::atomic<bool> callerReading{false};
  std::atomic<uint32_t> callerReadEndMs{0};
  // The running reader's stream lets callers read beside it.
  std::atomic<bool> streamShared{false};
  // Callers waiting on the inbound queue for the reader to bring their
  // packet (raised under restMutex, so that a resting reader cannot miss
  // it; lowered without). The reader rests on restWake while
  // callers read for themselves; a caller that comes to the queue wakes it.
  std::atomic<uint32_t> queueWaiters{0};
  std::mutex restMutex;
  std::condition_variable restWake;
};

// One table entry, held through aLinkEntryRef: the table holds one
// reference while the id is live and every call working on the link holds
// another until it returns, so the record outlives every use. Fields other
// than useCount, removed and link's contents are fixed at creation.
struct aLinkEntry {
  aLinkEntry() = default;
  ~aLinkEntry();
  aLinkEntry(const aLinkEntry&) = delete;
  aLinkEntry& operator=(const aLinkEntry&) = delete;

  uint32_t id = 0;
  uint32_t partnerId = 0;
  void* server = nullptr;
  uint32_t identifier = 0;
  uint32_t port = 0;
  uint32_t clientIndex = 0;
  uint32_t linkType = 0;
  int16_t useCount = 0;  // changed under the table mutex
  // Serialises the life cycle (init, start, stop, reset, tear-down): each
  // replaces threads, stream or queues of the record.
  std::mutex life;
  bool removed = false;  // under life: torn down, the record is empty
  aLinkRecord* link = nullptr;
  std::shared_ptr<aLinkEntry> next;  // under the table mutex
};
typedef std::shared_ptr<aLinkEntry> aLinkEntryRef;

// Thread procedures (aLink_reader.cpp, aLink_writer.cpp).
void* sInPipeProcess(void* arg);
void* sOutPipeProcess(void* arg);

// Puts a packet on the outbound FIFO for the writer thread.
aErr sLinkQueue(aLinkRecord* link, const aPacket* packet);
// A caller's packet: written on the caller's thread when the link runs
// unpooled and nothing is queued or being written, else queued behind what
// is. Write failures are traced and the packet dropped, as the writer does.
aErr sLinkSend(aLinkRecord* link, const aPacket* packet);
// Sets running; cleared under queueLock, so that no caller starts a write
// of its own once a stop has begun.
void sLinkSetRunning(aLinkRecord* link, bool running);
// Drops everything queued on the outbound FIFO; returns how many identify
// probes were among it.
uint32_t sLinkDropQueued(aLinkRecord* link);

// Waits up to timeoutMs for a packet the filter accepts by reading the
// stream itself, when the stream has a backing wait and no other thread is
// reading. *led tells whether it did; without leading it returns null at
// once and the caller waits on the inbound FIFO instead.
aPacket* sLinkReadFor(aLinkRecord* link, aPacketFilter filter,
                      const void* reference, uint32_t timeoutMs, bool* led);

// Starts the sync procedure: probes queued, state syncing (reader only).
void sStartSync(aLinkRecord* link);

// Life cycle on a record (aLink_life.cpp). Create makes the mutexes and
// initialises; init replaces queues, packet, stream, log and filter.
aErr sLinkCreateRecord(aLinkRecord* link, uint32_t id, aStreamRef stream);
aErr sLinkInitRecord(aLinkRecord* link, uint32_t id, aStreamRef stream);
aErr sLinkStartRecord(aLinkRecord* link);
aErr sLinkStopRecord(aLinkRecord* link);
aErr sLinkSyncRecord(aLinkRecord* link);
// Releases FIFOs, packet, log (under its mutex) and stream; the mutexes
// and the record stay. Only while no engine thread runs.
void sLinkReleaseRecord(aLinkRecord* link);
// Releases everything and frees the record.
void sLinkFreeRecord(aLinkRecord* link);

// Table (aLink.cpp). Lookups hold the table mutex only while they search;
// the reference they return keeps the entry and its record alive.
aLinkEntryRef sLookupEntryByID(uint32_t id);
// Gives a live link its sharing server (owned by the entry from then on);
// false for an unknown link or one that has a server already.
bool sLinkAttachServer(uint32_t id, void* server);
// Where clients reach the server of this process's served link of the
// given kind and identifier: *address (network order) and *port to connect
// to, *advertised its announced interface. False when no such link is
// served here.
bool sLinkServedAt(uint32_t linkType, uint32_t identifier, uint32_t* address,
                   uint16_t* port, uint32_t* advertised);
// Makes destroying id destroy partnerId too; false for an unknown id.
bool sLinkSetPartner(uint32_t id, uint32_t partnerId);
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

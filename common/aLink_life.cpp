// Link records: initialisation, start, stop, sync and release.
#include <cstdio>

#include "common/aKorvexDebug.h"
#include "common/aLink_internal.h"
#include "common/aTime.h"

// Start and sync poll the threads' progress in short steps, up to 2 s.
#define aLINK_POLL_MS 1u
#define aLINK_POLL_COUNT 2000
// After a sync, answers to the probes sent beyond the two it used are
// dropped as they come: until none came for aLINK_SETTLE_QUIET_MS, at most
// for aLINK_SETTLE_MAX_MS.
#define aLINK_SETTLE_QUIET_MS 10u
#define aLINK_SETTLE_MAX_MS 100u

namespace {

uint8_t sDrainAll(const aPacket*, const void*) { return 1; }

}  // namespace

aErr sLinkCreateRecord(aLinkRecord* link, uint32_t id, aStreamRef stream) {
  link->log = nullptr;
  link->logCapacity = 0;
  link->userFilter = nullptr;
  link->userFilterReference = nullptr;
  link->inbound = 0;
  link->outbound = 0;
  link->assembly = nullptr;
  link->stream = nullptr;
  char name[aMUTEX_NAME_MAX];
  std::snprintf(name, sizeof(name), "aLink(%p)->userFilterSema",
                static_cast<void*>(link));
  link->userFilterMutex = aMutex_Create(name);
  std::snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
  link->logMutex = aMutex_Create(name);
  if (link->userFilterMutex == nullptr || link->logMutex == nullptr) {
    link->stream = stream;  // released with the record
    return aErrMemory;
  }
  return sLinkInitRecord(link, id, stream);
}

aErr sLinkInitRecord(aLinkRecord* link, uint32_t id, aStreamRef stream) {
  link->check = aLINK_CHECK;
  link->id = id;
  link->running = false;
  link->state = stream != nullptr ? kLinkStateStopped : kLinkStateNoStream;
  link->inbound = aPacketFifo_Create();
  link->outbound = aPacketFifo_Create();
  link->reader = nullptr;
  link->writer = nullptr;
  link->readerProc = sInPipeProcess;
  link->writerProc = sOutPipeProcess;
  link->readerReady = false;
  link->writerReady = false;
  link->stream = stream;
  link->heartbeatState = 0;
  link->syncState = kSyncStateIdle;
  link->syncAddress = 0;
  link->syncProbeTick = 0;
  link->syncRounds = 0;
  link->pooled = false;
  {
    std::lock_guard<std::mutex> queue(link->queueLock);  // callers may be queueing
    link->queued = 0;
    link->direct = false;
  }
  link->assembly = aPacket_Create();
  aMutex_Lock(link->logMutex);
  link->logCapacity = 0;
  aMutex_Unlock(link->logMutex);
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = nullptr;
  link->userFilterReference = nullptr;
  aMutex_Unlock(link->userFilterMutex);

  if (link->inbound == 0 || link->outbound == 0 || link->assembly == nullptr)
    return aErrMemory;
  return aErrNone;
}

void sLinkReleaseRecord(aLinkRecord* link) {
  aPacketFifoRef fifo = link->inbound.exchange(0);
  if (fifo != 0) aPacketFifo_Destroy(&fifo);
  fifo = link->outbound.exchange(0);
  if (fifo != 0) aPacketFifo_Destroy(&fifo);
  // A caller reading for its answer started before running was cleared and
  // ends within one of its waits.
  std::lock_guard<std::mutex> read(link->readLock);
  if (link->assembly != nullptr) aPacket_Destroy(&link->assembly);
  // Callers may be reading or writing the log right now.
  if (link->logMutex != nullptr) {
    aMutex_Lock(link->logMutex);
    aPacketLog_Destroy(&link->log);
    aMutex_Unlock(link->logMutex);
  }
  if (link->stream != nullptr) {
    // Running is cleared by now: a caller writing its own packet started
    // before that, and holds the stream lock until it is written.
    std::lock_guard<std::mutex> stream(link->streamLock);
    aStream_Destroy(&link->stream);
  }
}

void sLinkFreeRecord(aLinkRecord* link) {
  sLinkReleaseRecord(link);
  if (link->userFilterMutex != nullptr) aMutex_Destroy(&link->userFilterMutex);
  if (link->logMutex != nullptr) aMutex_Destroy(&link->logMutex);
  link->check = 0;
  delete link;
}

aErr sLinkStartRecord(aLinkRecord* link) {
  if (link->running) return aErrNone;
  if (link->stream == nullptr) return aErrConnection;
  aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Start(%u)\n", link->id);
  link->heartbeatState = 0;
  link->readerReady = false;
  link->writerReady = false;
  link->state = kLinkStateStarting;
  sLinkSetRunning(link, true);
  link->reader = aThread_Create(link->readerProc, link);
  link->writer = link->reader != nullptr
                     ? aThread_Create(link->writerProc, link)
                     : nullptr;
  if (link->reader == nullptr || link->writer == nullptr) {
    sLinkSetRunning(link, false);
    if (link->reader != nullptr) aThread_Destroy(&link->reader);
    link->state = kLinkStateStopped;
    return aErrResource;
  }
  bool ready = false;
  for (int i = 0; i < aLINK_POLL_COUNT && !ready; ++i) {
    // Once the reader has taken over, the state is its own (it may already
    // be resynchronising on the first bytes received).
    ready = link->readerReady && link->writerReady &&
            link->state != kLinkStateStarting;
    if (!ready) aTime_MSSleep(aLINK_POLL_MS);
  }
  if (!ready) return aErrIndexRange;

  const uint8_t on = 1;
  aPacket* route = aPacket_CreateWithData(aLINK_ADDRESS_FORCE_ROUTE, 1, &on);
  if (route == nullptr) return aErrMemory;
  aErr err = sLinkQueue(link, route);
  aPacket_Destroy(&route);
  return err;
}

aErr sLinkStopRecord(aLinkRecord* link) {
  const uint32_t state = link->state;
  if (state == kLinkStateStopping || state == kLinkStateStopped) return aErrNone;
  aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Stop(%u)\n", link->id);
  link->state = kLinkStateStopping;
  aErr err = aErrNone;
  const uint8_t off = 0;
  aPacket* route = link->reader != nullptr && link->writer != nullptr
                       ? aPacket_CreateWithData(aLINK_ADDRESS_FORCE_ROUTE, 1, &off)
                       : nullptr;
  {
    // The writer writes what is still queued, force route 0 included, once
    // it sees running cleared; callers queue from here on, behind it.
    std::lock_guard<std::mutex> queue(link->queueLock);
    if (route != nullptr && aPacketFifo_Put(link->outbound, route) == aErrNone)
      ++link->queued;
    link->running = false;
  }
  if (route != nullptr) aPacket_Destroy(&route);
  // The reader may be waiting in its stream for its whole wait time: cut
  // that wait short (streams that cannot do so simply let it run out).
  if (link->stream != nullptr) aStream_CutWaits(link->stream, true);
  if (link->reader != nullptr && aThread_Destroy(&link->reader) != 0)
    err = aErrUnknown;
  if (link->writer != nullptr && aThread_Destroy(&link->writer) != 0)
    err = aErrUnknown;
  if (link->stream != nullptr) aStream_CutWaits(link->stream, false);
  link->readerReady = false;
  link->writerReady = false;
  {
    std::lock_guard<std::mutex> read(link->readLock);
    link->heartbeatState = 0;
    link->syncState = kSyncStateIdle;
    aPacket_Reset(link->assembly);
  }
  link->state = link->stream != nullptr ? kLinkStateStopped : kLinkStateNoStream;
  return err;
}

aErr sLinkSyncRecord(aLinkRecord* link) {
  aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Sync(%u)\n", link->id);
  {
    std::lock_guard<std::mutex> read(link->readLock);
    link->syncRounds = 0;
  }
  // A caller reading for everyone sees the state and lets the lock go.
  link->state = kLinkStateSyncing;
  {
    // The probes go out now, not when the reader's current wait for bytes
    // ends (the answers end that wait), unless the reader was quicker.
    std::lock_guard<std::mutex> read(link->readLock);
    if (link->syncState == kSyncStateIdle || link->syncState == kSyncStateStart)
      sStartSync(link);
  }
  aErr err = aErrNotReady;
  for (int i = 0; i < aLINK_POLL_COUNT; ++i) {
    if (link->state == kLinkStateRunning) {
      err = aErrNone;
      break;
    }
    aTime_MSSleep(aLINK_POLL_MS);
  }
  const uint32_t unsent = sLinkDropQueued(link);
  uint32_t rounds = 0;
  {
    std::lock_guard<std::mutex> read(link->readLock);
    rounds = link->syncRounds;
  }
  // Answers to probes the sync did not need still come. The module answers
  // every probe once, with an empty packet, and a sync of one round of
  // probes took the first two answers: then the settling is over as soon
  // as the answers to the other probes that went out are in. Otherwise (or
  // when some never come) it ends after a quiet time.
  const bool countable = err == aErrNone && rounds == 1 &&
                         unsent + aLINK_SYNC_ANSWERS <= aLINK_SYNC_PROBES;
  const uint32_t lateAnswers =
      countable ? aLINK_SYNC_PROBES - aLINK_SYNC_ANSWERS - unsent : 0;
  uint32_t answered = 0;
  const uint32_t settleStart = aTime_GetMSTicks();
  while (aTime_GetMSTicks() - settleStart < aLINK_SETTLE_MAX_MS &&
         !(countable && answered >= lateAnswers)) {
    aPacket* late = aPacketFifo_Await(link->inbound, aLINK_SETTLE_QUIET_MS);
    if (late == nullptr) break;
    if (late->dataSize == 0) ++answered;
    aPacket_Destroy(&late);
  }
  aPacketFifo_DrainPackets(link->inbound, sDrainAll, nullptr);
  return err;
}

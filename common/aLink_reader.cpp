// The link's reader thread: bytes to packets, the sync procedure and
// heartbeat replies.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "common/aKorvexDebug.h"
#include "common/aLink_internal.h"
#include "common/aTime.h"

namespace {

const char* sSyncStateName(uint32_t state) {
  switch (state) {
    case kSyncStateStart: return "kSyncStateStart";
    case kSyncStateByte1: return "kSyncStateByte1";
    case kSyncStateByte2: return "kSyncStateByte2";
    case kSyncStateByte3: return "kSyncStateByte3";
    case kSyncStateByte4: return "kSyncStateByte4";
    default: return "kSyncStateIdle";
  }
}

void sSetSyncState(aLinkRecord* link, uint32_t state) {
  link->syncState = state;
  aKorvexDebug_Trace(aDEBUG_LINK, "%s\n", sSyncStateName(state));
}

// One byte while syncing. Two identical empty answers back to back (address,
// zero length, address, zero length) mean the stream is in step.
void sSyncByte(aLinkRecord* link, uint8_t byte) {
  aKorvexDebug_Trace(aDEBUG_LINK, "sByte %d\n", byte);
  switch (link->syncState) {
    case kSyncStateStart:
      sStartSync(link);
      break;
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        sSetSyncState(link, kSyncStateByte2);
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2:
      sSetSyncState(link, byte == 0 ? kSyncStateByte3 : kSyncStateStart);
      break;
    case kSyncStateByte3:
      sSetSyncState(link, byte == link->syncAddress ? kSyncStateByte4
                                                    : kSyncStateStart);
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSyncStateIdle;
        aPacket_Reset(link->assembly);
        link->state = kLinkStateRunning;
        aKorvexDebug_Trace(aDEBUG_LINK, "synced\n");
      } else {
        sSetSyncState(link, kSyncStateStart);
      }
      break;
    default:
      aKorvexDebug_Trace(aDEBUG_LINK, "sync default\n");
      sStartSync(link);
      break;
  }
}

// Answers a module heartbeat (0x00, v) with (0x00, v + 2). Returns false
// when the packet is to be queued for the callers instead.
bool sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet) {
  aKorvexDebug_Trace(aDEBUG_PACKETS,
                     " sHandleHBBackChannel() ==> received HB packet "
                     "[data size = %d][%d,%d]\n",
                     packet->dataSize, packet->data[0], packet->data[1]);
  if (link->heartbeatState != 0) return false;
  const uint8_t value = packet->data[1];
  link->heartbeatState = value + 2u;
  const uint8_t reply[2] = {0x00, static_cast<uint8_t>(value + 2)};
  aPacket* answer = aPacket_CreateWithData(packet->address, 2, reply);
  if (answer == nullptr) return false;  // state stays busy, as documented
  aKorvexDebug_Trace(aDEBUG_PACKETS, " sHandleHBBackChannel() %s\n",
                     value == 0 ? "sending HB UP"
                                : value == 1 ? "sending HB DOWN" : "sending HB");
  sLinkQueue(link, answer);
  aPacket_Destroy(&answer);
  link->heartbeatState = 0;
  return true;
}

bool sIsHeartbeat(const aPacket* packet) {
  return packet->dataSize == 2 && packet->data[0] == 0x00;
}

// A complete received packet: user filter, heartbeat or inbound queue.
aErr sHandlePacket(aLinkRecord* link) {
  aPacket* packet = link->assembly;
  aErr result = aErrNone;
  sLogPacket(link, aPacketLogReceived, packet);

  uint8_t consumed = 0;
  aMutex_Lock(link->userFilterMutex);
  if (link->userFilter != nullptr)
    consumed = link->userFilter(packet, link->userFilterReference);
  aMutex_Unlock(link->userFilterMutex);

  if (consumed != 1) {
    if (!(sIsHeartbeat(packet) && sHandleHBBackChannel(link, packet))) {
      sTracePacket("sHandlePacket", link->id, packet);
      result = aPacketFifo_Put(link->inbound, packet);
    }
  }
  aPacket_Reset(packet);
  return result;
}

// Pause before the next read after emptyReads reads in a row found nothing.
// A stream without a wait operation answers a wait at once, so after the
// second empty read the reader sleeps itself: 1 ms, doubling up to
// aLINK_IDLE_PAUSE_MAX_MS. On a stream that callers read too (shared), the
// wait blocks until bytes come, and a read that then finds none means a
// caller took them first: no reason to sleep while the next answer may be
// on its way. There the reader counts empty reads within one millisecond
// and pauses only after aLINK_SHARED_EMPTY_READS of them, a stream that
// keeps saying readable with nothing to read.
uint32_t sIdlePauseMs(uint32_t emptyReads, bool shared) {
  const uint32_t free = shared ? aLINK_SHARED_EMPTY_READS : 2;
  if (emptyReads < free) return 0;
  const uint32_t shift = emptyReads - free < 3 ? emptyReads - free : 3;
  const uint32_t pause = 1u << shift;
  return pause < aLINK_IDLE_PAUSE_MAX_MS ? pause : aLINK_IDLE_PAUSE_MAX_MS;
}

// One byte read: to the sync procedure, or into the packet being
// assembled. Caller holds readLock.
void sTakeByte(aLinkRecord* link, uint8_t byte) {
  if (link->state == kLinkStateSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->assembly, byte) != aErrNone) {
    aKorvexDebug_Trace(aDEBUG_LINK, "Out of sync\n");
    sStartSync(link);
    return;
  }
  if (aPacket_IsComplete(link->assembly) && sHandlePacket(link) != aErrNone)
    link->state = kLinkStateFault;
}

// Reads and takes bytes until the stream has none waiting (aErrNotReady),
// fails, or aLINK_DRAIN_MAX bytes were taken (aErrNone: more may wait);
// *taken counts them. Caller holds readLock.
aErr sDrain(aLinkRecord* link, uint32_t* taken) {
  *taken = 0;
  while (*taken < aLINK_DRAIN_MAX) {
    uint8_t byte = 0;
    const aErr err = aStream_Read(link->stream, &byte, 1);
    if (err != aErrNone) return err;
    ++*taken;
    sTakeByte(link, byte);
  }
  return aErrNone;
}

}  // namespace

void sStartSync(aLinkRecord* link) {
  aKorvexDebug_Trace(aDEBUG_LINK, "syncStart\n");
  link->state = kLinkStateSyncing;
  sSetSyncState(link, kSyncStateStart);
  aPacket_Reset(link->assembly);
  link->syncProbeTick = aTime_GetMSTicks();
  ++link->syncRounds;
  aErr err = aErrNone;
  aPacket* probe = aPacket_Create();
  if (probe == nullptr) return;
  probe->address = aLINK_ADDRESS_IDENTIFY;
  probe->fill = 2;
  for (int i = 0; i < aLINK_SYNC_PROBES; ++i)
    err = sLinkQueue(link, probe);
  aPacket_Destroy(&probe);
  if (err == aErrNone) sSetSyncState(link, kSyncStateByte1);
}

void* sInPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  {
    std::lock_guard<std::mutex> read(link->readLock);
    link->syncAddress = 1;
    link->syncState = kSyncStateIdle;
  }
  // Callers may read beside this thread only where waiting for bytes does
  // not touch what the reader owns.
  const bool shared = aStream_HasBackingWait(link->stream);
  link->streamShared = shared;
  link->state = kLinkStateRunning;
  link->readerReady = true;

  uint32_t emptyReads = 0;  // reads in a row that found nothing waiting
  uint32_t emptyTick = 0;   // shared: the millisecond they are counted in
  while (link->running) {
    // Callers in an exchange of requests and answers read each answer
    // themselves. Every thread waiting on the stream is woken by each
    // answer, and on a small machine the reader's wake-up delays the
    // caller's: the reader leaves the stream to them while one reads and
    // for aLINK_CALLER_TURN_MS after. Whatever else comes meanwhile is
    // taken by the callers' reads, or by the reader once the turn is over.
    // A caller that comes to wait on the inbound queue (another one was
    // reading, and has stopped) needs the reader, and wakes it.
    if (shared && link->queueWaiters == 0 &&
        (link->callerReading ||
         aTime_GetMSTicks() - link->callerReadEndMs < aLINK_CALLER_TURN_MS)) {
      std::unique_lock<std::mutex> rest(link->restMutex);
      link->restWake.wait_for(rest, std::chrono::milliseconds(aLINK_CALLER_TURN_MS),
                              [link] { return link->queueWaiters != 0 || !link->running; });
      continue;
    }
    aErr err;
    {
      std::lock_guard<std::mutex> read(link->readLock);
      uint32_t taken = 0;
      err = sDrain(link, &taken);
      if (taken > 0) emptyReads = 0;
      // Nothing waiting. A sync that has no probes out, or whose probes
      // went unanswered for a while, sends new ones.
      if (err == aErrNotReady && link->state == kLinkStateSyncing &&
          (link->syncState == kSyncStateIdle ||
           link->syncState == kSyncStateStart ||
           aTime_GetMSTicks() - link->syncProbeTick >= aLINK_SYNC_REPROBE_MS))
        sStartSync(link);
    }
    if (err == aErrNone) continue;  // a drain's worth taken: more may wait
    if (err == aErrNotReady) {
      if (shared && aTime_GetMSTicks() != emptyTick) {
        emptyTick = aTime_GetMSTicks();
        emptyReads = 0;
      }
      if (emptyReads < UINT32_MAX) ++emptyReads;
      // Wait (bounded, so that a stop is noticed) for the next byte instead
      // of asking again at once.
      err = shared ? aStream_WaitBacking(link->stream, aLINK_READ_WAIT_MS)
                   : aStream_WaitReadable(link->stream, aLINK_READ_WAIT_MS);
      if (err == aErrTimeout) {
        emptyReads = 0;  // the stream waited itself
        continue;
      }
      if (err == aErrNone) {
        // Readable, or a stream that cannot wait: when the last read found
        // nothing after such an answer too, pause instead of spinning.
        const uint32_t pause = sIdlePauseMs(emptyReads, shared);
        if (pause != 0) aTime_MSSleep(pause);
        continue;
      }
    }
    emptyReads = 0;
    aKorvexDebug_Trace(aDEBUG_LINK,
                       " sInPipeProcess(%u) IO_ERROR [aStream_Read()==>%u]\n",
                       link->id, static_cast<unsigned>(err));
    link->state = kLinkStateIOError;
    aTime_MSSleep(aLINK_IO_RETRY_MS);
  }
  aKorvexDebug_Trace(aDEBUG_LINK, " sInPipeProcess(%u) terminating\n", link->id);
  return nullptr;
}

aPacket* sLinkReadFor(aLinkRecord* link, aPacketFilter filter,
                      const void* reference, uint32_t timeoutMs, bool* led) {
  *led = false;
  std::unique_lock<std::mutex> read(link->readLock, std::try_to_lock);
  // On a stream callers read, the reader thread holds the lock for one
  // drain at a time. Waiting for it keeps the answer to one wake-up, this
  // caller's own, rather than two (the reader's, then this caller's through
  // the inbound queue). Another caller reading for everyone keeps the lock
  // for its whole wait: this one then waits on the queue at once.
  if (!read.owns_lock() && link->streamShared) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(aLINK_READER_HOLD_WAIT_US);
    while (!link->callerReading && !read.try_lock() && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
  }
  if (!read.owns_lock() || !link->running || link->stream == nullptr ||
      !aStream_HasBackingWait(link->stream))
    return nullptr;
  *led = true;
  link->callerReading = true;
  struct Leading {
    aLinkRecord* link;
    ~Leading() {
      link->callerReadEndMs = aTime_GetMSTicks();
      link->callerReading = false;
    }
  } leading{link};
  const uint32_t start = aTime_GetMSTicks();
  for (;;) {
    uint32_t taken = 0;
    aErr err = sDrain(link, &taken);
    aPacket* found = aPacketFifo_GetFirst(link->inbound, filter, reference);
    // Failures are the reader thread's to handle.
    if (found != nullptr || (err != aErrNotReady && err != aErrNone))
      return found;
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= timeoutMs || !link->running ||
        link->state != kLinkStateRunning)
      return nullptr;
    if (err == aErrNone) continue;  // more may be waiting already
    uint32_t wait = timeoutMs - elapsed;
    if (wait > aLINK_READ_WAIT_MS) wait = aLINK_READ_WAIT_MS;
    err = aStream_WaitBacking(link->stream, wait);
    if (err != aErrNone && err != aErrTimeout) return nullptr;
  }
}

// The link's writer thread: queued packets to the stream, one by one or
// pooled into large writes; and callers writing their own packets when the
// writer has nothing to do.
#include <cstring>

#include "common/aKorvexDebug.h"
#include "common/aLink_internal.h"

namespace {

// Takes every packet; counts the identify probes among them in the
// uint32_t the reference points to.
uint8_t sDropAll(const aPacket* packet, const void* reference) {
  if (packet->address == aLINK_ADDRESS_IDENTIFY)
    ++*static_cast<uint32_t*>(const_cast<void*>(reference));
  return 1;
}

// Writes one packet and records it. Caller holds streamLock.
void sWriteOne(aLinkRecord* link, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  const uint32_t length = aPacket_WireBytes(packet, wire);
  sTracePacket("sOutPipeProcess", link->id, packet);
  aErr err = aStream_Write(link->stream, wire, length);
  if (err != aErrNone)
    aKorvexDebug_Trace(aDEBUG_LINK, "sOutPipeProcess error writing: %u\n",
                       static_cast<unsigned>(err));
  sLogPacket(link, aPacketLogSent, packet);
}

// Writes first and, without waiting, as many further queued packets as fit
// into one pool buffer, in one stream write. Only first is recorded in the
// log. Caller holds streamLock.
void sWritePooled(aLinkRecord* link, const aPacket* first) {
  uint8_t pool[aLINK_POOL_SIZE];
  uint32_t filled = aPacket_WireBytes(first, pool);
  sTracePacket("sOutPipeProcess", link->id, first);
  while (filled <= aLINK_POOL_FILL_LIMIT) {
    aPacket* next = aPacketFifo_Get(link->outbound);
    if (next == nullptr) break;
    sTracePacket("sOutPipeProcess", link->id, next);
    filled += aPacket_WireBytes(next, pool + filled);
    aPacket_Destroy(&next);
  }
  aErr err = aStream_Write(link->stream, pool, filled);
  if (err != aErrNone)
    aKorvexDebug_Trace(aDEBUG_LINK, "sOutPipeProcess error writing pooled: %u\n",
                       static_cast<unsigned>(err));
  sLogPacket(link, aPacketLogSent, first);
}

// After the writer's write: every packet still counted is on the FIFO, so
// the count is its length (which also makes up for packets an overflowing
// FIFO dropped).
void sWritten(aLinkRecord* link) {
  std::lock_guard<std::mutex> queue(link->queueLock);
  link->queued = aPacketFifo_GetLength(link->outbound);
}

}  // namespace

aErr sLinkQueue(aLinkRecord* link, const aPacket* packet) {
  std::lock_guard<std::mutex> queue(link->queueLock);
  aErr err = aPacketFifo_Put(link->outbound, packet);
  if (err == aErrNone) ++link->queued;
  return err;
}

aErr sLinkSend(aLinkRecord* link, const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  std::unique_lock<std::mutex> queue(link->queueLock);
  if (!link->running || link->pooled || link->queued != 0 || link->direct ||
      link->stream == nullptr) {
    aErr err = aPacketFifo_Put(link->outbound, packet);
    if (err == aErrNone) ++link->queued;
    return err;
  }
  // Nothing ahead of this packet: it is written here, marked so that
  // packets put meanwhile wait behind it. Nobody else writes while nothing
  // is counted or marked, so the stream lock is free.
  link->direct = true;
  {
    std::lock_guard<std::mutex> stream(link->streamLock);
    queue.unlock();
    sWriteOne(link, packet);
  }
  queue.lock();
  link->direct = false;
  return aErrNone;
}

void sLinkSetRunning(aLinkRecord* link, bool running) {
  std::lock_guard<std::mutex> queue(link->queueLock);
  link->running = running;
}

uint32_t sLinkDropQueued(aLinkRecord* link) {
  std::lock_guard<std::mutex> queue(link->queueLock);
  uint32_t probes = 0;
  const uint32_t dropped =
      aPacketFifo_DrainPackets(link->outbound, sDropAll, &probes);
  link->queued = link->queued > dropped ? link->queued - dropped : 0;
  return probes;
}

void* sOutPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  link->writerReady = true;
  while (link->running) {
    aPacket* packet = aPacketFifo_Await(link->outbound, aLINK_IDLE_WAIT_MS);
    if (packet == nullptr) continue;
    {
      std::lock_guard<std::mutex> stream(link->streamLock);
      if (link->pooled)
        sWritePooled(link, packet);
      else
        sWriteOne(link, packet);
    }
    sWritten(link);
    aPacket_Destroy(&packet);
  }
  // What is still queued (the force-route 0 of a stop among it) goes out
  // before the thread ends; only that much, so that callers still putting
  // packets cannot hold a stop up.
  for (uint32_t left = aPacketFifo_GetLength(link->outbound); left > 0; --left) {
    aPacket* packet = aPacketFifo_Get(link->outbound);
    if (packet == nullptr) break;
    {
      std::lock_guard<std::mutex> stream(link->streamLock);
      sWriteOne(link, packet);
    }
    sWritten(link);
    aPacket_Destroy(&packet);
  }
  aKorvexDebug_Trace(aDEBUG_LINK, " sOutPipeProcess(%u) terminating\n", link->id);
  return nullptr;
}

// The link's writer thread: queued packets to the stream, one by one or
// pooled into large writes.
#include <cstring>

#include "common/aKorvexDebug.h"
#include "common/aLink_internal.h"

namespace {

void sWriteOne(aLinkRecord* link, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  const uint32_t length = aPacket_WireBytes(packet, wire);
  sTracePacket("sOutPipeProcess", link->id, packet);
  aErr err = aStream_Write(link->stream, wire, length);
  if (err != aErrNone)
    aKorvexDebug_Trace(aDEBUG_LINK, "sOutPipeProcess error writing: %u\n",
                       static_cast<unsigned>(err));
}

// Writes first and, without waiting, as many further queued packets as fit
// into one pool buffer, in one stream write.
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
}

}  // namespace

void* sOutPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  link->writerReady = true;
  while (link->running) {
    aPacket* packet = aPacketFifo_Await(link->outbound, aLINK_IDLE_WAIT_MS);
    if (packet == nullptr) continue;
    if (link->pooled)
      sWritePooled(link, packet);
    else
      sWriteOne(link, packet);
    sLogPacket(link, aPacketLogSent, packet);
    aPacket_Destroy(&packet);
  }
  // What is still queued (the force-route 0 of a stop among it) goes out
  // before the thread ends; only that much, so that callers still putting
  // packets cannot hold a stop up.
  for (uint32_t left = aPacketFifo_GetLength(link->outbound); left > 0; --left) {
    aPacket* packet = aPacketFifo_Get(link->outbound);
    if (packet == nullptr) break;
    sWriteOne(link, packet);
    sLogPacket(link, aPacketLogSent, packet);
    aPacket_Destroy(&packet);
  }
  aKorvexDebug_Trace(aDEBUG_LINK, " sOutPipeProcess(%u) terminating\n", link->id);
  return nullptr;
}

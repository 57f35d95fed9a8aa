// The private state of a Link, shared by its source files only.
#ifndef KORVEX_LINK_IMPL_H
#define KORVEX_LINK_IMPL_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/Link.h"
#include "api/LocklessQueue.h"
#include "common/aLogger.h"

namespace Velmaris {
namespace Korvex {

#define LINK_NAME_MAX 1024u
#define LINK_CALLBACK_SLOTS 500u
#define LINK_REPLY_TIMEOUT_MS 1000u

struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0;
  std::shared_ptr<Link::streamCallback> callback;  // null: value cache only
  void* reference = nullptr;
  uint32_t lastValue = 0;
};

// One queued callback run; the packet copy is owned by the item.
struct asyncPacket {
  std::shared_ptr<Link::streamCallback> callback;
  void* reference = nullptr;
  aPacket* packet = nullptr;
};

struct Link::impl {
  explicit impl(Link* link, const std::string& linkName);
  ~impl();

  Link* owner;
  uint32_t linkId = 0;
  aLoggerRef logger = nullptr;
  std::atomic<uint32_t> logLinkId{0};  // the link the logger drains (its thread reads it)
  aLanetConfig config;
  std::string name;
  std::unique_ptr<linkSpec> spec;

  // Streams. The table is guarded by streamMutex, which the engine's reader
  // takes inside the stream filter (under the engine's filter lock): the
  // filter is therefore never installed or removed while streamMutex is
  // held. Callbacks are held by shared pointer so that a queued item keeps
  // its callback alive after its entry is replaced or removed.
  std::mutex streamMutex;
  std::map<uint64_t, StreamEntry> streams;
  // The filter pushes (on the engine's reader), one worker pops.
  Velmaris::LocklessQueue_SPSC<asyncPacket> queue{LINK_CALLBACK_SLOTS};
  // Serialises enabling and disabling; guards the workers, their stop
  // tokens and the filter's engine link. Never held while joining.
  std::mutex controlMutex;
  std::vector<std::thread> workers;  // the running one last; others stopping
  std::shared_ptr<std::atomic<bool>> stopToken;
  uint32_t filterLinkId = 0;  // the engine link our filter is installed on
  // Pops and runs queued callbacks; one consumer at a time.
  std::mutex consumerMutex;
  std::atomic<bool> streamsActive{false};

  // Link_connect.cpp
  aErr createEngineLink();
  aErr createSharedUSBLink(uint32_t serialNumber);
  aErr waitRunning();
  aErr discoverOnce(linkType type, uint32_t serialNumber, uint32_t model);
  // Link_packets.cpp
  aErr checkTraffic(uint8_t address) const;
  aErr awaitReply(aPacketFilter filter, const void* reference, uint32_t timeoutMs,
                  aPacket** reply);
  // Link_streams.cpp
  static uint8_t linkStreamFilter(const aPacket* packet, const void* reference);
  void queueCallback(const StreamEntry& entry, const aPacket* packet);
  aErr updateStreaming();  // installs or removes filter and worker to match the table
  void stopStreaming();     // removes the filter, stops and joins the workers, frees items
  void workerLoop(std::shared_ptr<std::atomic<bool>> stop);
  void joinStopped();
  void freeQueued();
  aErr installFilter(uint32_t id);
  void removeFilter();
};

// Held while any Link creates its engine link.
std::mutex& linkCreateHelperSerializer();

}  // namespace Korvex
}  // namespace Velmaris

#endif

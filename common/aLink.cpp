// The link table: creation by transport, shared ids with use counts,
// destroy and reset.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "common/aDefs.h"
#include "common/aKorvexDebug.h"
#include "common/aLink_internal.h"
#include "common/aServer.h"
#include "common/aTime.h"

#define aLINK_READY_STREAM_ID 0xFFFFFFFFu
#define aLINK_RESET_ATTEMPTS 20
#define aLINK_RESET_PAUSE_MS 100u

namespace {

struct LinkTable {
  aLinkEntryRef head;  // newest first
  uint32_t nextId;
  aMutexRef mutex;
};

// Never destroyed: links a program leaves open at exit keep their threads,
// and tearing them down from a static destructor would race those.
LinkTable& sTable() {
  static LinkTable* table =
      new LinkTable{nullptr, 1, aMutex_Create("aLink_Managed")};
  return *table;
}

// Holds the table mutex for one table operation.
class TableLock {
 public:
  TableLock() { aMutex_Lock(sTable().mutex); }
  ~TableLock() { aMutex_Unlock(sTable().mutex); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
};

// Serialises creation, so that two callers asking for the same module at
// once share one link instead of racing to make two.
std::mutex sCreateMutex;

std::atomic<aLinkClientStreamFactory> sClientFactory{aStream_CreateClient};
std::atomic<uint32_t> _clientCount{0};

const aLinkEntryRef& sFindLocked(uint32_t id) {
  static const aLinkEntryRef kNone;
  for (const aLinkEntryRef* e = &sTable().head; *e != nullptr; e = &(*e)->next)
    if ((*e)->id == id) return *e;
  return kNone;
}

// Takes the entry out of the table (table mutex held). Null when absent.
aLinkEntryRef sUnlinkLocked(uint32_t id) {
  for (aLinkEntryRef* at = &sTable().head; *at != nullptr; at = &(*at)->next) {
    if ((*at)->id == id) {
      aLinkEntryRef entry = *at;
      *at = entry->next;
      entry->next.reset();
      return entry;
    }
  }
  return nullptr;
}

// Raises the use count of a link of this kind to this module, if one exists.
// *refused is set when the link exists but may not be shared this way.
uint32_t sShareExisting(uint32_t linkType, uint32_t identifier, uint32_t port,
                        bool* refused) {
  *refused = false;
  TableLock lock;
  for (aLinkEntry* e = sTable().head.get(); e != nullptr; e = e->next.get()) {
    if (e->linkType == linkType && e->identifier == identifier &&
        e->port == port) {
      // A served link is reached through its server only: a second direct
      // holder would take the answers meant for the server's clients.
      if (e->server != nullptr) {
        aKorvexDebug_Trace(aDEBUG_LINK,
                           "This device is already being used as a \"SERVER\". "
                           "\nYou must connect by \"CLIENT\" \n");
        *refused = true;
        return 0;
      }
      if (e->useCount >= INT16_MAX) {
        *refused = true;  // the count cannot take another holder
        return 0;
      }
      e->useCount++;
      return e->id;
    }
  }
  return 0;
}

// An empty entry with an empty record; null when memory runs out.
aLinkEntryRef sAllocateEntry() {
  aLinkEntryRef entry;
  try {
    entry = std::make_shared<aLinkEntry>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  entry->link = new (std::nothrow) aLinkRecord();
  if (entry->link == nullptr) return nullptr;
  return entry;
}

// A new entry with its record initialised over stream (which it owns from
// here on), in the table with use count 1. Null on failure.
aLinkEntryRef sNewEntry(uint32_t linkType, uint32_t identifier, uint32_t port,
                        aStreamRef stream) {
  aLinkEntryRef entry = sAllocateEntry();
  if (entry == nullptr) {
    if (stream != nullptr) aStream_Destroy(&stream);
    return nullptr;
  }
  {
    TableLock lock;
    entry->id = sTable().nextId++;
  }
  entry->identifier = identifier;
  entry->port = port;
  entry->linkType = linkType;
  if (sLinkCreateRecord(entry->link, entry->id, stream) != aErrNone) {
    aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Init(%u) failed\n", entry->id);
    return nullptr;  // the record and the stream go with the entry
  }
  TableLock lock;
  entry->useCount = 1;
  entry->next = sTable().head;
  sTable().head = entry;
  return entry;
}

// Tears down an entry already out of the table: threads ended, stream,
// queues and log released. Calls still holding the entry find it removed
// (life-cycle calls) or empty (traffic); the record itself goes with the
// last reference.
void sTearDown(const aLinkEntryRef& entry) {
  uint32_t partner = 0;
  {
    std::lock_guard<std::mutex> life(entry->life);
    if (entry->removed) return;
    aLinkRecord* link = entry->link;
    aMutex_Lock(link->userFilterMutex);
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
    aMutex_Unlock(link->userFilterMutex);
    // The server goes first: its worker uses the link until it is joined.
    aServer* server = static_cast<aServer*>(entry->server);
    entry->server = nullptr;
    aServer_Destroy(&server);
    sLinkStopRecord(link);
    sLinkReleaseRecord(link);
    link->state = kLinkStateNoStream;
    entry->removed = true;
    partner = entry->partnerId;
  }
  // Outside this entry's life lock: the partner takes its own.
  if (partner != 0) aLink_Destroy(&partner);
}

// Starts a freshly made entry (and for USB synchronises it); on failure the
// link is destroyed and 0 returned.
uint32_t sStartNew(const aLinkEntryRef& entry, bool sync) {
  const uint32_t id = entry->id;
  aErr err = aErrParam;
  {
    std::lock_guard<std::mutex> life(entry->life);
    if (!entry->removed) err = sLinkStartRecord(entry->link);
  }
  if (err == aErrNone && sync) err = sLinkSyncRecord(entry->link);
  if (err == aErrNone) {
    aKorvexDebug_Trace(aDEBUG_LINK, "aLink created (%u)\n", id);
    return id;
  }
  if (entry->linkType == USB)
    aKorvexDebug_Trace(aDEBUG_LINK,
                       " error creating USB Link, destroying the id (%u)\n", id);
  {
    TableLock lock;
    sUnlinkLocked(id);
  }
  sTearDown(entry);
  return 0;
}

int sBaudIndex(uint32_t baudRate) {
  static const uint32_t kRates[] = {2400, 4800, 9600, 19200,
                                    38400, 57600, 115200, 230400};
  for (int i = 0; i < 8; ++i)
    if (kRates[i] == baudRate) return i;
  return -1;
}

}  // namespace

aLinkEntry::~aLinkEntry() {
  if (link != nullptr) sLinkFreeRecord(link);
}

aLinkEntryRef sLookupEntryByID(uint32_t id) {
  TableLock lock;
  return sFindLocked(id);
}

bool sLinkFifos(uint32_t id, aPacketFifoRef* inbound, aPacketFifoRef* outbound) {
  TableLock lock;
  const aLinkEntryRef& entry = sFindLocked(id);
  if (entry == nullptr || entry->link == nullptr) return false;
  if (inbound != nullptr) *inbound = entry->link->inbound;
  if (outbound != nullptr) *outbound = entry->link->outbound;
  return true;
}

bool sLinkRunning(uint32_t id) {
  TableLock lock;
  const aLinkEntryRef& entry = sFindLocked(id);
  return entry != nullptr && entry->link->running &&
         entry->link->state == kLinkStateRunning;
}

aStreamRef sCreateStreamFor(const aLinkEntry* entry, aErr* error) {
  aStreamRef stream = nullptr;
  aErr err = aErrParam;
  switch (entry->linkType) {
    case USB:
      aKorvexDebug_Trace(aDEBUG_LINK, " recreate USB stream\n");
      err = aStream_CreateUSB(entry->identifier, &stream);
      break;
    case TCPIP:
      aKorvexDebug_Trace(aDEBUG_LINK, " recreate TCPIP stream\n");
      err = aStream_CreateSocket(entry->identifier,
                                 static_cast<uint16_t>(entry->port), &stream);
      break;
    case ALANET: {
      aKorvexDebug_Trace(aDEBUG_LINK, " recreate aLanet stream\n");
      aLinkClientStreamFactory factory = sClientFactory;
      err = factory != nullptr
                ? factory(entry->identifier, static_cast<uint16_t>(entry->port),
                          &stream)
                : aErrConnection;
      break;
    }
    default:
      aKorvexDebug_Trace(aDEBUG_LINK, " recreate invalid stream type\n");
      break;
  }
  if (err != aErrNone && stream != nullptr) aStream_Destroy(&stream);
  if (err == aErrNone && stream == nullptr) err = aErrResource;
  *error = err;
  return stream;
}

void aLink_SetClientStreamFactory(aLinkClientStreamFactory factory) {
  sClientFactory = factory;
}

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  std::lock_guard<std::mutex> create(sCreateMutex);
  bool refused = false;
  uint32_t id = sShareExisting(USB, serialNumber, 0, &refused);
  if (id != 0 || refused) return id;
  aStreamRef stream = nullptr;
  aErr err = aStream_CreateUSB(serialNumber, &stream);
  if (err != aErrNone || stream == nullptr) {
    aKorvexDebug_Trace(aDEBUG_LINK, " aLink_CreateUSB() error creating stream %u\n",
                       static_cast<unsigned>(err));
    return 0;
  }
  aLinkEntryRef entry = sNewEntry(USB, serialNumber, 0, stream);
  return entry != nullptr ? sStartNew(entry, true) : 0;
}

uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  std::lock_guard<std::mutex> create(sCreateMutex);
  bool refused = false;
  uint32_t id = sShareExisting(TCPIP, address, port, &refused);
  if (id != 0 || refused) return id;
  aStreamRef stream = nullptr;
  aErr err = aStream_CreateSocket(address, port, &stream);
  if (err != aErrNone || stream == nullptr) {
    aKorvexDebug_Trace(aDEBUG_LINK,
                       " aLink_CreateTCPIP() error creating stream %u\n",
                       static_cast<unsigned>(err));
    return 0;
  }
  aLinkEntryRef entry = sNewEntry(TCPIP, address, port, stream);
  return entry != nullptr ? sStartNew(entry, false) : 0;
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName,
                            uint32_t baudRate) {
  const int speed = sBaudIndex(baudRate);
  if (speed < 0 || portName == nullptr) {
    aKorvexDebug_Trace(aDEBUG_LINK, " aLink_CreateSerial() invalid baud rate %u\n",
                       baudRate);
    return 0;
  }
  std::lock_guard<std::mutex> create(sCreateMutex);
  bool refused = false;
  uint32_t id = sShareExisting(SERIAL, serialNumber, 0, &refused);
  if (id != 0 || refused) return id;
  aStreamRef stream = nullptr;
  aErr err = aStream_CreateSerial(portName, static_cast<uint32_t>(speed), 0,
                                  aSERIAL_DATA_BITS_8, 0, &stream);
  if (err != aErrNone || stream == nullptr) {
    aKorvexDebug_Trace(aDEBUG_LINK,
                       " aLink_CreateSerial() error creating stream %u\n",
                       static_cast<unsigned>(err));
    return 0;
  }
  aLinkEntryRef entry = sNewEntry(SERIAL, serialNumber, 0, stream);
  return entry != nullptr ? sStartNew(entry, false) : 0;
}

uint32_t aLink_CreateClient(uint32_t address, uint16_t port,
                            uint32_t existingId) {
  std::lock_guard<std::mutex> create(sCreateMutex);
  if (existingId != 0) {
    TableLock lock;
    const aLinkEntryRef& entry = sFindLocked(existingId);
    if (entry == nullptr) {
      aKorvexDebug_Trace(aDEBUG_LINK, "The provided ref is invalid.\n");
      return 0;
    }
    if (entry->useCount >= INT16_MAX) return 0;
    aKorvexDebug_Trace(aDEBUG_LINK,
                       "Using existing link - ConnectThroughLinkModule\n");
    entry->useCount++;
    return entry->id;
  }
  aLinkClientStreamFactory factory = sClientFactory;
  aStreamRef stream = nullptr;
  aErr err = factory != nullptr ? factory(address, port, &stream) : aErrConnection;
  if (err != aErrNone || stream == nullptr) {
    if (stream != nullptr) aStream_Destroy(&stream);
    aKorvexDebug_Trace(aDEBUG_LINK,
                       " aLink_CreateClient() error creating stream %u\n",
                       static_cast<unsigned>(err));
    return 0;
  }
  aLinkEntryRef entry = sNewEntry(ALANET, address, port, stream);
  if (entry == nullptr) return 0;
  {
    TableLock lock;
    entry->clientIndex = _clientCount++;
  }
  return sStartNew(entry, false);
}

uint32_t aLink_Create(aStreamRef stream) {
  if (stream == nullptr) return 0;
  std::lock_guard<std::mutex> create(sCreateMutex);
  aLinkEntryRef entry = sNewEntry(INVALID, aLINK_READY_STREAM_ID, 0, stream);
  return entry != nullptr ? sStartNew(entry, false) : 0;
}

aErr aLink_Destroy(uint32_t* id) {
  if (id == nullptr) return aErrParam;
  const uint32_t target = *id;
  *id = 0;
  aLinkEntryRef entry;
  {
    // The last use is dropped and the entry leaves the table in one step, so
    // that no share can find an entry on its way out.
    TableLock lock;
    const aLinkEntryRef& found = sFindLocked(target);
    if (found == nullptr) return aErrParam;
    if (--found->useCount > 0) {
      aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Destroy use_count: %d\n",
                         found->useCount);
      return aErrNone;
    }
    entry = sUnlinkLocked(target);
  }
  aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Destroy(%u)\n", target);
  sTearDown(entry);
  return aErrNone;
}

uint32_t aLink_Init(uint32_t id, aStreamRef stream) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (entry == nullptr) return 0;
  std::lock_guard<std::mutex> life(entry->life);
  aLinkRecord* link = entry->link;
  if (entry->removed || link->running) return 0;
  // The old stream goes with the old record's resources unless it is the
  // one given again.
  if (link->stream == stream) link->stream = nullptr;
  sLinkReleaseRecord(link);
  return sLinkInitRecord(link, id, stream) == aErrNone ? id : 0;
}

aErr aLink_Start(uint32_t id) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (entry == nullptr) return aErrParam;
  std::lock_guard<std::mutex> life(entry->life);
  return entry->removed ? aErrParam : sLinkStartRecord(entry->link);
}

aErr aLink_Stop(uint32_t id) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (entry == nullptr) return aErrParam;
  std::lock_guard<std::mutex> life(entry->life);
  return entry->removed ? aErrParam : sLinkStopRecord(entry->link);
}

aErr aLink_Sync(uint32_t id) {
  // Only states and queues: runs beside the life cycle, on the record the
  // reference keeps.
  aLinkEntryRef entry = sLookupEntryByID(id);
  return entry != nullptr ? sLinkSyncRecord(entry->link) : aErrParam;
}

aErr aLink_Reset(uint32_t id) {
  aLinkEntryRef entry = sLookupEntryByID(id);
  if (entry == nullptr) return aErrParam;
  std::lock_guard<std::mutex> life(entry->life);
  if (entry->removed) return aErrParam;
  aLinkRecord* link = entry->link;
  aKorvexDebug_Trace(aDEBUG_LINK, "aLink_Reset(%u)\n", id);
  sLinkStopRecord(link);
  sLinkReleaseRecord(link);
  aErr err = aErrNone;
  aStreamRef stream = nullptr;
  for (int attempt = 0; attempt < aLINK_RESET_ATTEMPTS; ++attempt) {
    stream = sCreateStreamFor(entry.get(), &err);
    if (stream != nullptr || err == aErrParam) break;
    aTime_MSSleep(aLINK_RESET_PAUSE_MS);
  }
  // Without a stream the link keeps fresh queues but stays stopped (state
  // kLinkStateNoStream): callers see a failed link, no thread runs.
  aErr init = sLinkInitRecord(link, id, stream);
  if (stream == nullptr) {
    aKorvexDebug_Trace(aDEBUG_LINK, " ERROR - could not recreate stream: %u\n",
                       static_cast<unsigned>(err));
    return err;
  }
  if (init != aErrNone) return init;
  return sLinkStartRecord(link);
}

uint32_t aLink_GetStatus(uint32_t id) {
  TableLock lock;
  const aLinkEntryRef& entry = sFindLocked(id);
  return entry != nullptr ? entry->link->state.load() : kLinkStateNoStream;
}

int32_t aLink_GetUseCount(uint32_t id) {
  TableLock lock;
  const aLinkEntryRef& entry = sFindLocked(id);
  return entry != nullptr ? entry->useCount : 0;
}

bool sLinkAttachServer(uint32_t id, void* server) {
  TableLock lock;
  const aLinkEntryRef& entry = sFindLocked(id);
  if (entry == nullptr || entry->server != nullptr) return false;
  entry->server = server;
  return true;
}

bool sLinkServedAt(uint32_t linkType, uint32_t identifier, uint32_t* address,
                   uint16_t* port, uint32_t* advertised) {
  TableLock lock;  // the server is destroyed only after its entry left the table
  for (aLinkEntry* e = sTable().head.get(); e != nullptr; e = e->next.get()) {
    if (e->linkType != linkType || e->identifier != identifier || e->server == nullptr)
      continue;
    const aServer* server = static_cast<const aServer*>(e->server);
    *port = aServer_GetPort(server);
    *advertised = aServer_GetInterface(server);
    *address = aServer_IsLocalOnly(server) ? htonl(INADDR_LOOPBACK) : *advertised;
    return *port != 0;
  }
  return false;
}

bool sLinkSetPartner(uint32_t id, uint32_t partnerId) {
  TableLock lock;
  const aLinkEntryRef& entry = sFindLocked(id);
  if (entry == nullptr) return false;
  entry->partnerId = partnerId;
  return true;
}

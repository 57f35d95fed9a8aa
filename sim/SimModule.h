// The model of one module, seen from the module's side of the link: it takes
// the bytes the host sends and produces the bytes a module would answer,
// with their due times. It knows nothing about sockets or terminals; the
// transports feed it and carry out the link actions it asks for (drop the
// link, come back later, re-enumerate).
#ifndef KORVEX_SIM_MODULE_H
#define KORVEX_SIM_MODULE_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimFlash.h"
#include "sim/SimPacket.h"

namespace ksim {

// One entity value as the module keeps it: a byte, 16 or 32 bits (sent
// big-endian in the width given), or a byte array.
struct Value {
  enum class Kind : uint8_t { Byte = 1, Short = 2, Word = 4, Bytes = 5 };
  Kind kind = Kind::Word;
  uint32_t number = 0;          // two's complement for negative values
  std::vector<uint8_t> bytes;   // Kind::Bytes
};

// A value of a system-entity option given by the world (option, subindex or
// kNoSubindex, value).
constexpr int kNoSubindex = -1;
struct OptionSetting {
  uint8_t option = 0;
  int subindex = kNoSubindex;
  Value value;
};

// The width of a system option in the module's value table (Word for
// options the table does not list); false for options a world cannot set
// (answered from the module's own state, or calls).
bool TableOptionKind(uint8_t option, Value::Kind& kind);

// An answer fault aimed at requests of one command, optionally narrowed to
// one option (UEI commands: the option code; other commands: data byte 1).
struct AnswerFault {
  enum class Kind { Missing, Late, Error } kind = Kind::Missing;
  uint8_t command = 0;
  int option = -1;              // -1: every request of the command
  uint32_t amount = 0;          // Late: milliseconds; Error: the error code
  uint32_t from = 1;            // the first matching request it applies to (counted from 1) ...
  uint32_t count = UINT32_MAX;  // ... and how many from there (UINT32_MAX: all)
};

// Faults a module can be told to show. "Once" faults fire a single time in
// the module's life; counted faults fire the first N times (kAlways: every
// time); the others apply to every request. A fault word ending in "@N"
// starts late: its N-th chance to fire is its first ("wrong-sum=2@40": the
// 40th and 41st SUM answers are off by one; "mute@300+50": packets 300 to
// 349 go unheard; "no-answer=95.4@12+1": the 12th SUM alone is ignored).
constexpr uint32_t kAlways = UINT32_MAX;
struct Faults {
  std::map<std::string, uint32_t> startAt;  // counted faults that start late, by fault word
  uint32_t muteFrom = 1, muteCount = kAlways;  // mute: the packets heard it applies to
  double latencyMs = 0;             // every reply is delayed by this much (microsecond steps)
  uint32_t dropDataAck = 0;         // n > 0: from the n-th DATA packet taken on, ...
  uint32_t dropDataAckCount = 1;    // ... this many in a row are not acknowledged
  uint32_t wrongDataCount = 0;      // the first N DATA packets are refused with a count one short
  uint32_t wrongSum = 0;            // the first N SUM replies are off by one
  uint32_t lateDataAckMs = 0;       // the first lateDataAckCount DATA acks come this much late
  uint32_t lateDataAckCount = 0;
  uint32_t shortPrepare = 0;        // the first N PREPARE replies lack their last byte
  uint32_t shortSum = 0;            // ... SUM replies
  uint32_t shortDataAck = 0;        // ... DATA acks (no count byte)
  uint32_t writeStatus = 0;         // the first N WRITEs are answered with status 1, nothing written
  uint32_t ueiDataError = 0;        // the first N option-10 byte arrays are answered with ...
  uint32_t ueiDataErrorCode = 6;    // ... this error code (aErrIO) and not taken
  bool rebootKeepsLink = false;     // REBOOT reboots the module, but its link stays up
  bool doubleWriteStatus = false;   // a WRITE that programs flash not erased answers status 1
  bool prepareStatus = false;       // every PREPARE is answered with status 1
  bool blockSizeZero = false;       // every PREPARE reports a block size of 0
  bool initShort = false;           // the INIT reply has 5 data bytes
  bool noLoadReply = false;         // LOAD is carried out but not answered
  int64_t disconnectAfter = -1;     // drop the link once this many upgrade data bytes were taken
  bool heartbeatStrict = false;     // drop the link after 3 unanswered heartbeats in a row
  bool mute = false;                // never answer anything
  bool shortBuild = false;          // the build-number answer (73 0xFF) has 5 data bytes
  uint32_t flood = 0;               // every answer is followed by this many packets that answer
                                    // nothing (junk, heartbeats, replies from other addresses)
  bool duplicateReplies = false;    // every answer is sent twice
  std::vector<AnswerFault> answers; // missing, late or error answers (at most kMaxAnswerFaults)
  static constexpr size_t kMaxAnswerFaults = 16;
  static constexpr int64_t kMaxFlood = 1000;

  // Parses one fault word ("latency=20", "wrong-sum=3", ...); false with a
  // message for an unknown word or a bad value.
  bool parse(const std::string& word, std::string& error);
  std::string describe() const;

 private:
  bool parseLate(const std::string& word, const std::string& when, std::string& error);
};

struct ModuleConfig {
  uint32_t serial = 0x00000001;
  uint8_t model = 13;
  uint32_t version = PackVersion(2, 11, 0);
  uint32_t build = 1000;
  std::string name = "korvex-sim";
  uint8_t address = 2;
  uint8_t routerAddress = 0;
  uint32_t features = 0x80000000u;  // bit 31: pooled packets welcome
  uint16_t blockSize = 512;
  uint32_t loadBase = 0x10000000u;
  bool ueiData = true;              // implements the upgrade's byte-array data option
  bool loaderDeadead = false;       // in its loader it presents serial number 0xDEADDEAD
  uint32_t rebootAwayMs = 1000;     // how long the module is away after REBOOT (kNever: for good)
  uint32_t loadLeaveMs = 100;       // LOAD: time from the reply to leaving the links
  uint32_t loaderAwayMs = 100;      // ... and until the loader shows up (kNever: it never does)
  uint32_t bootMs = 0;              // on a router's bus: silent this long after REBOOT and LOAD
  bool tcpCloseReset = true;        // a module going away closes TCP with a reset (else FIN)
  bool startInLoader = false;       // the world starts with the module in its loader
  int64_t serialFromFlash = -1;     // >= 0: after REBOOT the serial is the flash word here
  int64_t buildFromFlash = -1;      // >= 0: after REBOOT the build is the flash word here
  bool programOnce = true;          // flash bits only go from 1 to 0 until INIT erases it
  uint32_t resetAwayMs = 500;       // ... and after a reset (system option 11)
  uint32_t heartbeatMs = 0;         // 0: no heartbeats
  uint32_t newVersion = 0;          // version after an upgrade's REBOOT (0: unchanged)
  uint32_t newBuild = 0;            // build after an upgrade's REBOOT (0: unchanged)
  std::string flashDump;            // file the flash is written to after REBOOT and on exit
  uint32_t streamPeriodMs = 100;    // period of stream samples (kMinStreamPeriodMs..)
  uint8_t storeSlots = 4;           // slots of store 0 (command 4)
  uint16_t slotCapacity = 1024;     // bytes per slot
  std::map<uint8_t, std::vector<uint8_t>> factory;  // factory data by kind (0..15)
  bool factoryLocked = false;       // factory-data writes are refused
  std::vector<OptionSetting> options;               // system-entity values given by the world
  Faults faults;

  static constexpr uint32_t kMinStreamPeriodMs = 10;
  static constexpr uint32_t kNever = UINT32_MAX;    // away times: the module does not come back
  static constexpr size_t kMaxFactoryBytes = 256;   // per kind
};

// What the transport must do once the bytes queued before it are out.
enum class LinkAction { None, Drop, EnterLoader };

struct Outgoing {
  uint64_t due = 0;             // milliseconds on the world's clock (dueUs rounded up)
  uint64_t dueUs = 0;           // the same in microseconds
  std::vector<uint8_t> bytes;   // may be empty for a pure action
  LinkAction action = LinkAction::None;
  uint32_t awayMs = 0;          // Drop, EnterLoader: how long the module stays away (kNever: for good)
};

struct ModuleStats {
  uint64_t packetsIn = 0, packetsOut = 0, bytesSkipped = 0;
  uint64_t heartbeatsSent = 0, heartbeatsAnswered = 0, heartbeatsWrong = 0, heartbeatsMissed = 0;
  // Replies to a beat already counted missed, arriving after the next beat.
  uint64_t heartbeatsLate = 0;
  uint64_t upgradeBytes = 0, chunksWritten = 0, loads = 0, reboots = 0, resets = 0;
  uint64_t identifies = 0, streamSamples = 0;
  // The upgrade command set: requests by step, and what they did.
  uint64_t inits = 0, prepares = 0, dataPackets = 0, dataArrays = 0, sums = 0, writes = 0;
  uint64_t doubleWrites = 0, doubleWriteBytes = 0;   // WRITEs onto flash not erased, and bytes
  std::map<std::string, uint64_t> faultsFired;       // by fault word
  std::map<uint8_t, uint64_t> requests;      // packets to the module by command byte
  std::map<uint8_t, uint64_t> systemGets;    // system-entity gets by option
  std::map<uint8_t, uint64_t> systemSets;    // system-entity sets and calls by option
  std::map<uint8_t, uint64_t> busProbes;     // I2C writes to bus addresses (a router's probes)
  std::map<uint8_t, uint64_t> routeToMe;     // route-to-me values seen, with their counts
};

class Module {
 public:
  using Logger = std::function<void(const std::string&)>;

  explicit Module(const ModuleConfig& config);

  const ModuleConfig& config() const { return cfg_; }
  uint8_t address() const { return cfg_.address; }
  // The serial number the module presents now (0xDEADDEAD in a loader
  // configured so).
  uint32_t presentedSerial() const;
  bool inLoader() const { return loader_; }
  // A module on a router's bus that is booting answers nothing.
  bool silent(uint64_t now) const { return now < silentUntil_; }
  uint32_t version() const { return version_; }
  uint32_t build() const { return build_; }
  bool routing() const { return routeToMe_ == 1; }
  const ModuleStats& stats() const { return stats_; }
  const Flash& flash() const { return flash_; }
  const Flash& loaderMemory() const { return ram_; }

  void setLogger(Logger logger) { log_ = std::move(logger); }
  // Puts a module on this module's I2C bus (at its own address); the module
  // is not owned and must outlive this one.
  void attachBusModule(Module* module);
  const std::vector<Module*>& bus() const { return bus_; }

  // The link came up or went down (a connection accepted, closed, ...).
  void linkUp(uint64_t now);
  void linkDown();
  // Bytes from the host (now in milliseconds, nowUs in microseconds on the
  // same clock: answers are timed to the microsecond from the latter).
  void receive(const uint8_t* data, size_t length, uint64_t now);
  void receiveUs(const uint8_t* data, size_t length, uint64_t nowUs);
  // Timers (heartbeats); call at least at nextTimer().
  void tick(uint64_t now);
  void tickUs(uint64_t nowUs);
  // The earliest time something is due (output or timer); UINT64_MAX if none.
  uint64_t nextDeadline() const;
  uint64_t nextDeadlineUs() const;
  // Removes and returns the entries due at `now`, oldest first.
  std::vector<Outgoing> takeDue(uint64_t now);
  std::vector<Outgoing> takeDueUs(uint64_t nowUs);
  bool hasOutput() const { return !out_.empty(); }

  // Writes the flash to cfg.flashDump (when set); false with a message on failure.
  bool dumpFlash(std::string& error) const;

 private:
  void handle(const Packet& p, uint64_t now, Module& link);
  void handleOwn(const Packet& p, uint64_t now, Module& link);
  void handleSystem(const Packet& p, uint64_t now, Module& link);
  void handleInventory(const Packet& p, uint64_t now, Module& link);
  void handleI2C(const Packet& p, uint64_t now, Module& link);
  void handleUpgrade(const Packet& p, uint64_t now, Module& link);
  void handleHeartbeatReply(const Packet& p);
  void handleStream(const Packet& p, uint64_t now, Module& link);
  void handleStore(const Packet& p, uint64_t now, Module& link);
  void handleFactory(const Packet& p, uint64_t now, Module& link);
  // System options answered from the value table; false when the option is
  // not in it.
  bool getTableValue(const Packet& p, uint64_t now, Module& link);
  bool setTableValue(const Packet& p, uint64_t now, Module& link);
  // The current value of a scalar system option (for gets and samples).
  bool scalarValue(uint8_t option, int subindex, Value& value) const;
  void sendSamples(uint64_t now);
  // A counted fault: true (and counted) while it has fired fewer than
  // `times` times (kAlways: always; 0: never), from its start on.
  bool fire(const std::string& word, uint32_t times);
  // The mute fault: true when this packet goes unheard.
  bool deaf();
  // What REBOOT changes: firmware, serial and build (from the flash when so
  // configured).
  void rebootIntoFirmware();
  // The module leaves its link for `awayMs` (LOAD, REBOOT): the transport
  // carries out `action`; on a router's bus the module falls silent while
  // it boots.
  void leaveLink(Module& link, LinkAction action, uint32_t awayMs, uint64_t now);
  // Answer faults aimed at this request; true when it must not be handled.
  bool applyAnswerFault(const Packet& p, uint64_t now, Module& link);
  void resetValues();
  // Whether the value table answers gets (kOpGet) or sets and calls (kOpSet)
  // of an option.
  bool tableImplements(uint8_t option, uint8_t op) const;

  // Queues a packet from this module on the link's output (with this
  // module's latency).
  void send(Module& link, const Packet& p, uint64_t now);
  void sendError(Module& link, uint8_t cmd, uint8_t option, uint8_t index, uint32_t err, uint64_t now);
  void sendArray(Module& link, uint8_t cmd, uint8_t option, uint8_t index,
                 const std::vector<uint8_t>& bytes, uint64_t now);
  void enqueue(Outgoing o);
  void queueAction(Module& link, LinkAction action, uint32_t awayMs, uint64_t now);
  // Collects one packet of a byte-array run; true with `done` when complete.
  bool collectRun(const Packet& p, std::vector<uint8_t>& done, Module& link, uint64_t now);
  Module* busModule(uint8_t address) const;
  void restart();  // state of a freshly started module
  void closeSessions();  // streams, store handles and factory transfers end
  void log(const std::string& line) const;
  // The time of the event being handled in microseconds, when it falls in
  // the millisecond `now`; else now in microseconds.
  uint64_t eventUs(uint64_t now) const;
  // When an answer of this module to an event at `now` on `link` is due.
  uint64_t answerDueUs(const Module& link, uint64_t now) const;

  ModuleConfig cfg_;
  uint64_t clockUs_ = 0;  // the event being handled, in microseconds
  Logger log_;
  std::vector<Module*> bus_;
  std::deque<Outgoing> out_;
  Assembler asm_;
  ModuleStats stats_;

  uint32_t serial_, version_, build_;
  std::string name_;
  uint8_t led_ = 0, routeToMe_ = 0, forceRoute_ = 0;
  bool loader_ = false;
  uint64_t silentUntil_ = 0;   // on a bus: booting until then

  // System-entity value table, by (option << 8 | subindex), 0xFF for none.
  std::map<uint16_t, Value> values_;
  uint32_t extraDelayMs_ = 0;  // added to answers while a late-answer fault applies
  // Chances each fault had to fire, for faults that start late.
  std::map<std::string, uint64_t> chances_;
  std::vector<uint64_t> answerChances_;  // by answer fault
  uint64_t packetsHeard_ = 0;            // by the mute fault
  bool muted_ = false;

  // Streams (command 93): enabled keys (address, command, option, index).
  std::vector<uint32_t> streams_;
  uint64_t nextSample_ = UINT64_MAX;
  static constexpr size_t kMaxStreams = 16, kMaxSamplesPerPeriod = 32;

  // Store slots (command 4): contents, and open handles.
  std::vector<std::vector<uint8_t>> slots_;
  struct Handle { bool open = false, write = false; uint8_t slot = 0; size_t pos = 0; std::vector<uint8_t> data; };
  Handle handles_[2];

  // Factory data transfer in progress (command 94).
  struct FactoryTransfer { int kind = -1; bool write = false; size_t pos = 0; std::vector<uint8_t> data; };
  FactoryTransfer factory_;

  // Byte-array runs being received, by (command << 8 | option).
  struct Run { uint8_t next = 0; std::vector<uint8_t> bytes; };
  std::map<uint16_t, Run> runs_;

  // Heartbeats.
  bool linkUp_ = false;
  uint64_t nextBeat_ = UINT64_MAX;
  bool beatOutstanding_ = false;
  uint8_t beatValue_ = 1;
  // The last beat counted missed, while its reply may still come.
  bool missedBeatOpen_ = false;
  uint8_t missedBeatValue_ = 0;
  uint32_t floodNext_ = 0;  // which unsolicited packet the flood sends next
  uint32_t beatsMissedInRow_ = 0;

  // Upgrade state.
  uint32_t prepared_ = 0;            // address of the pending chunk
  std::vector<uint8_t> pending_;     // data since the last PREPARE or WRITE
  uint32_t sum_ = 0;
  uint64_t dataPackets_ = 0;         // DATA packets taken
  bool disconnectDone_ = false;
  Flash flash_;   // committed firmware
  Flash ram_;     // loader blocks (no WRITE step)
};

}  // namespace ksim

#endif

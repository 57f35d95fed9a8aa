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

// Faults a module can be told to show. "Once" faults fire a single time in
// the module's life.
struct Faults {
  uint32_t latencyMs = 0;           // every reply is delayed by this much
  uint32_t dropDataAck = 0;         // n > 0: the n-th DATA packet is taken but not acknowledged (once)
  bool wrongDataCount = false;      // the first DATA packet is refused with a count one short (once)
  bool wrongSum = false;            // the first SUM reply is off by one (once)
  bool prepareStatus = false;       // every PREPARE is answered with status 1
  bool blockSizeZero = false;       // every PREPARE reports a block size of 0
  bool initShort = false;           // the INIT reply has 5 data bytes
  bool noLoadReply = false;         // LOAD is carried out but not answered
  int64_t disconnectAfter = -1;     // drop the link once this many upgrade data bytes were taken
  bool heartbeatStrict = false;     // drop the link after 3 unanswered heartbeats in a row
  bool mute = false;                // never answer anything

  // Parses one fault word ("latency=20", "wrong-sum", ...); false with a
  // message for an unknown word or a bad value.
  bool parse(const std::string& word, std::string& error);
  std::string describe() const;
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
  uint32_t rebootAwayMs = 1000;     // how long the module is away after REBOOT
  uint32_t resetAwayMs = 500;       // ... and after a reset (system option 11)
  uint32_t heartbeatMs = 0;         // 0: no heartbeats
  uint32_t newVersion = 0;          // version after an upgrade's REBOOT (0: unchanged)
  uint32_t newBuild = 0;            // build after an upgrade's REBOOT (0: unchanged)
  std::string flashDump;            // file the flash is written to after REBOOT and on exit
  Faults faults;
};

// What the transport must do once the bytes queued before it are out.
enum class LinkAction { None, Drop, EnterLoader };

struct Outgoing {
  uint64_t due = 0;             // milliseconds on the world's clock
  std::vector<uint8_t> bytes;   // may be empty for a pure action
  LinkAction action = LinkAction::None;
  uint32_t awayMs = 0;          // for Drop: how long the module stays away
};

struct ModuleStats {
  uint64_t packetsIn = 0, packetsOut = 0, bytesSkipped = 0;
  uint64_t heartbeatsSent = 0, heartbeatsAnswered = 0, heartbeatsWrong = 0, heartbeatsMissed = 0;
  uint64_t upgradeBytes = 0, chunksWritten = 0, loads = 0, reboots = 0, resets = 0;
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
  // Bytes from the host.
  void receive(const uint8_t* data, size_t length, uint64_t now);
  // Timers (heartbeats); call at least at nextTimer().
  void tick(uint64_t now);
  // The earliest time something is due (output or timer); UINT64_MAX if none.
  uint64_t nextDeadline() const;
  // Removes and returns the entries due at `now`, oldest first.
  std::vector<Outgoing> takeDue(uint64_t now);
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

  // Queues a packet from this module on the link's output (with this
  // module's latency).
  void send(Module& link, const Packet& p, uint64_t now);
  void sendError(Module& link, uint8_t cmd, uint8_t option, uint8_t index, uint32_t err, uint64_t now);
  void sendArray(Module& link, uint8_t cmd, uint8_t option, uint8_t index,
                 const std::vector<uint8_t>& bytes, uint64_t now);
  void queueAction(Module& link, LinkAction action, uint32_t awayMs, uint64_t now);
  // Collects one packet of a byte-array run; true with `done` when complete.
  bool collectRun(const Packet& p, std::vector<uint8_t>& done, Module& link, uint64_t now);
  Module* busModule(uint8_t address) const;
  void restart();  // state of a freshly started module
  void log(const std::string& line) const;

  ModuleConfig cfg_;
  Logger log_;
  std::vector<Module*> bus_;
  std::deque<Outgoing> out_;
  Assembler asm_;
  ModuleStats stats_;

  uint32_t version_, build_;
  std::string name_;
  uint8_t led_ = 0, routeToMe_ = 0, forceRoute_ = 0;
  bool loader_ = false;

  // Byte-array runs being received, by (command << 8 | option).
  struct Run { uint8_t next = 0; std::vector<uint8_t> bytes; };
  std::map<uint16_t, Run> runs_;

  // Heartbeats.
  bool linkUp_ = false;
  uint64_t nextBeat_ = UINT64_MAX;
  bool beatOutstanding_ = false;
  uint8_t beatValue_ = 1;
  uint32_t beatsMissedInRow_ = 0;

  // Upgrade state.
  uint32_t prepared_ = 0;            // address of the pending chunk
  std::vector<uint8_t> pending_;     // data since the last PREPARE or WRITE
  uint32_t sum_ = 0;
  uint64_t dataPackets_ = 0;
  bool dropAckDone_ = false, wrongCountDone_ = false, wrongSumDone_ = false, disconnectDone_ = false;
  Flash flash_;   // committed firmware
  Flash ram_;     // loader blocks (no WRITE step)
};

}  // namespace ksim

#endif

// UpdaterEntity against the module simulator over loopback TCP (directly
// and behind a router), and against scripted modules for answers the
// simulator never gives: what reaches the module's flash, the traces, and
// the bounds on resends and waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "api/SystemClass.h"
#include "app/UpdaterEntity.h"
#include "tests/threaded/link_object_support.h"
#include "tests/unit/RecordingDisplay.h"
#include "tests/unit/log_capture.h"

using namespace Velmaris::Korvex;
using namespace linkobject;

namespace {

const uint32_t kLoadAddress = 0x00012000;
const uint32_t kTraceMask = DEBUG_Network_FIRM | DEBUG_Network;

// A block as a BIRD file holds it: the big-endian load address, then data.
Bytes Block(uint32_t address, size_t length, uint8_t seed = 1) {
  Bytes b{uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
  for (size_t i = 0; i < length; ++i) b.push_back(uint8_t(i * 7 + seed + i / 251));
  return b;
}

Bytes Data(const Bytes& block) { return Bytes(block.begin() + 4, block.end()); }

uint32_t Sum(const Bytes& bytes) {
  uint32_t s = 0;
  for (uint8_t b : bytes) s += b;
  return s;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

std::string Hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", unsigned(v));
  return text;
}

// A simulated world with one module connected and the entity bound to it.
struct Rig {
  explicit Rig(const std::string& spec) : world({spec}) {
    EXPECT_EQ(module.connectFromSpec(world.spec()), aErrNone);
    entity.init(&module, 0, true, false);
  }
  // Prepares the block and sends it as firmware at the module's block size.
  aErr Firmware(const Bytes& block, RecordingDisplay& display) {
    uint16_t blockSize = 0;
    aErr err = entity.TransferPrepare(block.data(), block.size(), 0, blockSize);
    if (err != aErrNone) return err;
    return entity.FirmwareTransfer(block.data(), block.size(), blockSize, display);
  }
  Bytes Flash(uint32_t address, size_t length) {
    world.stop();
    return world.module().flash().read(address, uint32_t(length));
  }
  World world;
  Module module{2, 0};
  UpdaterEntity entity;
};

TEST(UpdaterEntity, LoaderBlockGoesAsDataPacketsOf26And26And4WithOneSumCheck) {
  testsupport::LogCapture log(kTraceMask);
  Rig rig("serial=1,tcp,load_base=0x10000000");
  const Bytes block = Block(kLoadAddress, 56);
  ASSERT_EQ(rig.entity.LoaderInit(), aErrNone);
  uint16_t blockSize = 0;
  ASSERT_EQ(rig.entity.TransferPrepare(block.data(), block.size(), 5, blockSize), aErrNone);
  EXPECT_EQ(blockSize, 512);
  ASSERT_EQ(rig.entity.LoaderTransfer(block.data(), block.size()), aErrNone);
  ASSERT_EQ(rig.entity.LoaderStart(), aErrNone);
  const std::string text = log.Text();
  EXPECT_NE(text.find("NETWORK: load base = 268435456 [10000000]\n"), std::string::npos);
  EXPECT_NE(text.find("NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, 05, [00 01 20 00]} \n"),
            std::string::npos);
  EXPECT_EQ(Count(text, "{cmdUPGRADE, val_UPGRADE_DATA, 26} \n"), 2u);
  EXPECT_EQ(Count(text, "{cmdUPGRADE, val_UPGRADE_DATA, 4} \n"), 1u);
  EXPECT_EQ(Count(text, "{cmdUPGRADE, val_UPGRADE_SUM}"), 1u);
  const std::string sum = Hex8(Sum(Data(block)));
  EXPECT_NE(text.find("[00] [" + sum + " == " + sum + "][3 blocks]"), std::string::npos) << text;
  EXPECT_NE(text.find("NETWORK: Loader validated start\n"), std::string::npos);
  rig.world.stop();
  EXPECT_EQ(rig.world.module().loaderMemory().read(kLoadAddress, 56), Data(block));
  EXPECT_EQ(rig.world.module().stats().loads, 1u);
}

// Firmware goes in chunks of the module's block size, each checked by sum
// and committed by WRITE with its own length.
TEST(UpdaterEntity, FirmwareBlockGoesInChunksOfTheBlockSizeEachWritten) {
  testsupport::LogCapture log(kTraceMask);
  Rig rig("serial=1,tcp");
  const Bytes block = Block(kLoadAddress, 1000);
  RecordingDisplay display;
  ASSERT_EQ(rig.Firmware(block, display), aErrNone);
  const std::string text = log.Text();
  EXPECT_NE(text.find("{cmdUPGRADE, val_UPGRADE_WRITE, 512}\n\n"), std::string::npos);
  EXPECT_NE(text.find("{cmdUPGRADE, val_UPGRADE_WRITE, 488}\n\n"), std::string::npos);
  EXPECT_EQ(Count(text, "NETWORK: Loader validated write\n"), 2u);
  EXPECT_NE(text.find("NETWORK: Firmware Transfer (addr=00012000, len=1000)\n"), std::string::npos);
  EXPECT_NE(text.find("NETWORK: transferred 1004 of 1004 bytes\n"), std::string::npos);
  const std::vector<std::string> events = {"progress-on", "progress " + std::to_string(516.0 / 1004),
                                           "progress " + std::to_string(1.0), "progress-off"};
  EXPECT_EQ(display.events, events);
  EXPECT_EQ(rig.Flash(kLoadAddress, 1000), Data(block));
  EXPECT_EQ(rig.world.module().stats().chunksWritten, 2u);
}

// One row per module fault: the step it hits, its result, and a trace that
// must (or, for mask-0 rows, a trace that must not) appear.
struct FaultRow {
  const char* fault;
  std::function<aErr(Rig&)> step;
  aErr result;
  uint32_t mask;
  const char* trace;
  const char* absent;
};

aErr Loader60(Rig& rig) {
  const Bytes block = Block(kLoadAddress, 56);
  return rig.entity.LoaderTransfer(block.data(), block.size());
}

aErr Prepare(Rig& rig) {
  const Bytes block = Block(kLoadAddress, 56);
  uint16_t blockSize = 0;
  return rig.entity.TransferPrepare(block.data(), block.size(), 0, blockSize);
}

TEST(UpdaterEntity, ModuleFaultsGiveTheirResults) {
  const std::vector<FaultRow> rows = {
      {"wrong-data-count", Loader60, aErrNone, kTraceMask,
       "NETWORK: Invalid upgrade transfer response [25 != 26].\n", nullptr},
      {"prepare-status", Prepare, aErrInvalidOption, kTraceMask,
       "NETWORK: Invalid or error reply when initializing loader for firmware.\n", nullptr},
      {"init-short", [](Rig& r) { return r.entity.LoaderInit(); }, aErrPacket, kTraceMask, nullptr, nullptr},
      {"wrong-sum", Loader60, aErrInvalidOption, 0, "NETWORK: Unable to validate transfer [00] [",
       "Block Transfer Validation"},
      {"drop-data-ack=2", Loader60, aErrPacket, kTraceMask,
       "NETWORK(DATA): No reply when initializing upgrade.\n", "{cmdUPGRADE, val_UPGRADE_SUM}"},
      {"no-answer=95.4", Loader60, aErrPacket, kTraceMask,
       "NETWORK(STATUS): No reply when initializing upgrade.\n", nullptr},
      {"no-answer=95.3", Prepare, aErrTimeout, kTraceMask, nullptr, nullptr},
      {"block-size-0",
       [](Rig& r) {
         RecordingDisplay display;
         return r.Firmware(Block(kLoadAddress, 100), display);
       },
       aErrInvalidOption, 0, "NETWORK: Failed to transfer firmware\n", nullptr},
  };
  for (const FaultRow& row : rows) {
    testsupport::LogCapture log(row.mask);
    Rig rig(std::string("serial=1,tcp,fault=") + row.fault);
    EXPECT_EQ(row.step(rig), row.result) << row.fault;
    if (row.trace) {
      EXPECT_TRUE(log.Contains(row.trace)) << row.fault << "\n" << log.Text();
    }
    if (row.absent) {
      EXPECT_FALSE(log.Contains(row.absent)) << row.fault << "\n" << log.Text();
    }
    rig.world.stop();
    const ksim::Module& m = rig.world.module();
    if (std::string(row.fault) == "wrong-data-count") {
      // The refused 26 bytes went again: the loader holds the block once.
      EXPECT_EQ(m.stats().upgradeBytes, 56u);
    }
    if (std::string(row.fault) == "block-size-0") {
      EXPECT_EQ(m.stats().upgradeBytes, 0u);
    }
  }
}

// A module whose DATA count is always wrong cannot keep the host resending.
TEST(UpdaterEntity, ADataCountThatStaysWrongEndsTheTransfer) {
  ScriptedModule scripted([](const Bytes& d) -> std::vector<Bytes> {
    if (d.size() >= 3 && d[0] == 95 && d[1] == 1) return {{95, 1, uint8_t(d.size() - 3)}};
    return {};
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(scripted.spec()), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  const Bytes block = Block(kLoadAddress, 56);
  EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrPacket);
  EXPECT_EQ(scripted.requests(), 4);
}

// Replies that came after their wait was given up never answer a later
// exchange: a stale DATA count and a stale good sum queued before the
// transfer are dropped.
TEST(UpdaterEntity, StaleRepliesDoNotAnswerLaterRequests) {
  std::atomic<uint32_t> sum{0};
  ScriptedModule scripted([&sum](const Bytes& d) -> std::vector<Bytes> {
    if (!d.empty() && d[0] == 23) return {d};
    if (d.size() >= 3 && d[0] == 95 && d[1] == 1) {
      uint32_t s = sum;
      for (size_t i = 2; i < d.size(); ++i) s += d[i];
      sum = s;
      return {{95, 1, uint8_t(d.size() - 2)}};
    }
    if (d.size() == 2 && d[0] == 95 && d[1] == 4) {
      const uint32_t s = sum;
      return {{95, 7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)}};
    }
    return {};
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(scripted.spec()), aErrNone);
  scripted.send({95, 1, 9});
  scripted.send({95, 7, 0, 0, 0, 0, 0});
  // Two echoes: the stale packets went out before the second one's answer.
  const uint8_t echo[] = {1};
  ASSERT_EQ(module.debug(echo, 1), aErrNone);
  ASSERT_EQ(module.debug(echo, 1), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  const Bytes block = Block(kLoadAddress, 4);
  EXPECT_EQ(entity.LoaderTransfer(block.data(), block.size()), aErrNone);
  EXPECT_EQ(scripted.requests(), 4);  // two echoes, one DATA, one SUM
}

// A module that sends every reply twice, the copy only just ahead of its
// answer to the next request (after the host dropped stale replies): each
// exchange still takes its own reply, and the module gets every byte once.
TEST(UpdaterEntity, ALateCopyOfAReplyDoesNotAnswerTheNextRequest) {
  std::atomic<uint32_t> taken{0};
  uint32_t sum = 0;
  Bytes last;
  ScriptedModule scripted([&](const Bytes& d) -> std::vector<Bytes> {
    if (d.size() < 2 || d[0] != 95) return {};
    Bytes reply;
    switch (d[1]) {
      case 3:  // PREPARE: block size 40
        reply = {95, 7, 0, 0, 40};
        break;
      case 1:
        for (size_t i = 2; i < d.size(); ++i) sum += d[i];
        taken += uint32_t(d.size() - 2);
        reply = {95, 1, uint8_t(d.size() - 2)};
        break;
      case 4:
        reply = {95, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)};
        break;
      case 5:
        sum = 0;
        reply = {95, 7, 0};
        break;
      default:
        return {};
    }
    std::vector<Bytes> out;
    if (!last.empty()) out.push_back(last);
    out.push_back(reply);
    last = reply;
    return out;
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(scripted.spec()), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  // Chunks of 40 (DATA 26 and 14) and 20; the second PREPARE follows a WRITE.
  const Bytes block = Block(kLoadAddress, 60);
  RecordingDisplay display;
  for (int b = 0; b < 2; ++b) {
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, blockSize), aErrNone) << b;
    EXPECT_EQ(blockSize, 40);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), block.size(), blockSize, display), aErrNone);
  }
  EXPECT_EQ(taken.load(), 120u);
}

// UEI data writes the same flash with and without pooled packets; a module
// without the option keeps the plain path.
TEST(UpdaterEntity, UEIDataWritesTheSameFlashWithAndWithoutPooledPackets) {
  struct Row { const char* spec; bool pooled; aErr support; const char* trace; };
  const Row rows[] = {
      {"serial=1,tcp", true, aErrNone, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, 512} \n"},
      {"serial=1,tcp", false, aErrNone, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, 488} \n"},
      {"serial=1,tcp,features=0", true, aErrNone, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, 512} \n"},
      {"serial=1,tcp,uei_data=no", false, aErr(1), "{cmdUPGRADE, val_UPGRADE_DATA, 26} \n"},
  };
  const Bytes block = Block(kLoadAddress, 1000, 9);
  for (const Row& row : rows) {
    testsupport::LogCapture log(kTraceMask);
    Rig rig(row.spec);
    EXPECT_EQ(rig.entity.CheckUEIDataSupport(), row.support) << row.spec;
    EXPECT_EQ(rig.entity.usesUEIData(), row.support == aErrNone) << row.spec;
    if (row.pooled) {
      EXPECT_EQ(rig.entity.CheckPooledPacketsSupport(), aErrNone) << row.spec;
    }
    RecordingDisplay display;
    EXPECT_EQ(rig.Firmware(block, display), aErrNone) << row.spec;
    EXPECT_TRUE(log.Contains(row.trace)) << row.spec;
    EXPECT_EQ(rig.Flash(kLoadAddress, 1000), Data(block)) << row.spec;
  }
}

// A chunk longer than one numbered run goes as several byte arrays before
// its one sum check; the library refuses a single array that long.
TEST(UpdaterEntity, AChunkLongerThanOneRunGoesAsSeveralArrays) {
  testsupport::LogCapture log(kTraceMask);
  Rig rig("serial=1,tcp,block_size=8192");
  ASSERT_EQ(rig.entity.CheckUEIDataSupport(), aErrNone);
  ASSERT_EQ(rig.entity.CheckPooledPacketsSupport(), aErrNone);
  const Bytes block = Block(kLoadAddress, 7000, 3);
  RecordingDisplay display;
  ASSERT_EQ(rig.Firmware(block, display), aErrNone);
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, 3072} \n"), 2u);
  EXPECT_EQ(Count(text, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, 856} \n"), 1u);
  EXPECT_EQ(Count(text, "{cmdUPGRADE, val_UPGRADE_SUM}"), 1u);
  EXPECT_NE(text.find("[3 blocks]"), std::string::npos);
  EXPECT_NE(text.find("{cmdUPGRADE, val_UPGRADE_WRITE, 7000}"), std::string::npos);
  const Bytes tooLong(aUEI_BYTES_RUN_MAX + 1, 0x55);
  EXPECT_EQ(rig.entity.setUEIBytes(val_UPGRADE_DATA_UEI, tooLong.data(), tooLong.size()), aErrParam);
  EXPECT_EQ(rig.Flash(kLoadAddress, 7000), Data(block));
}

// Blocks too short for their address word are refused before anything is
// sent.
TEST(UpdaterEntity, BlocksShorterThanTheAddressWordAreRefused) {
  Rig rig("serial=1,tcp");
  const Bytes shortBlock = {0, 1, 2};
  RecordingDisplay display;
  uint16_t blockSize = 0;
  struct Row { const char* name; std::function<aErr()> step; };
  const Row rows[] = {
      {"prepare", [&] { return rig.entity.TransferPrepare(shortBlock.data(), 3, 0, blockSize); }},
      {"loader", [&] { return rig.entity.LoaderTransfer(shortBlock.data(), 3); }},
      {"firmware", [&] { return rig.entity.FirmwareTransfer(shortBlock.data(), 3, 512, display); }},
      {"null prepare", [&] { return rig.entity.TransferPrepare(nullptr, 8, 0, blockSize); }},
      {"null loader", [&] { return rig.entity.LoaderTransfer(nullptr, 8); }},
      {"null firmware", [&] { return rig.entity.FirmwareTransfer(nullptr, 8, 512, display); }},
  };
  for (const Row& row : rows) EXPECT_EQ(row.step(), aErrParam) << row.name;
  EXPECT_TRUE(display.events.empty());
  rig.world.stop();
  EXPECT_EQ(rig.world.module().stats().requests.count(95), 0u);
}

// The reboot wait: a direct link drops; a router's link never does, so one
// step is waited; a module that keeps its link is waited for a bounded time.
TEST(UpdaterEntity, RebootWaitsForTheLinkToDropWithinItsBound) {
  {
    Rig rig("serial=1,tcp");
    RecordingDisplay display;
    EXPECT_EQ(rig.entity.LoaderReboot(display), aErrNone);
    EXPECT_FALSE(rig.module.isConnected());
    ASSERT_FALSE(display.events.empty());
    EXPECT_EQ(display.events.back(), "spin-off");
  }
  {
    World w({"serial=A0000001,tcp", "serial=B0000002,on=A0000001,address=8,model=15"});
    Module router(2, 0);
    ASSERT_EQ(router.connectFromSpec(w.spec()), aErrNone);
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    Module routed(8, 0);
    ASSERT_EQ(routed.connectThroughLinkModule(router), aErrNone);
    UpdaterEntity entity;
    entity.init(&routed, 0, true, true);
    RecordingDisplay display;
    // Replies come from the routed module's own address over the router's link.
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes block = Block(kLoadAddress, 600);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), block.size(), 0, blockSize), aErrNone);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), block.size(), blockSize, display), aErrNone);
    display.events.clear();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(display.events, (std::vector<std::string>{"spin", "spin-off"}));
    EXPECT_TRUE(routed.isConnected());
  }
  {
    // Keeps its link after REBOOT: 40 steps of 250 ms, then the send's result.
    ScriptedModule scripted([](const Bytes&) { return std::vector<Bytes>{}; });
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(scripted.spec()), aErrNone);
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    RecordingDisplay display;
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(std::count(display.events.begin(), display.events.end(), "spin"), 40);
    EXPECT_EQ(display.events.back(), "spin-off");
    EXPECT_EQ(scripted.requests(), 1);
  }
}

// LOAD unanswered: the link is made again and the answer awaited once more;
// still none is aErrTimeout, which the update flow takes as started.
TEST(UpdaterEntity, UnansweredLoadReconnectsAndAwaitsOnce) {
  testsupport::LogCapture log(kTraceMask);
  Rig rig("serial=1,tcp,fault=no-load-reply");
  EXPECT_EQ(rig.entity.LoaderStart(), aErrTimeout);
  EXPECT_TRUE(rig.module.isConnected());
  const std::string text = log.Text();
  EXPECT_NE(text.find("NETWORK: Attempting to reconnect. Attempt: 1 of 5\n"
                      "NETWORK: Reconnected to device\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(std::string("NETWORK: Invalid or reply when starting loader (Reconnect). [18, ") +
                      aError_GetErrorText(aErrTimeout) + "]\n"),
            std::string::npos)
      << text;
  rig.world.stop();
  EXPECT_EQ(rig.world.module().stats().loads, 1u);
}

// The attempts are numbered 1 to 5 of 5, for the module's own serial number
// and then for the loader's default one, searched on the module's own
// transport (here a serial port that is gone: nothing touches a network);
// a module behind a router is not searched for.
TEST(UpdaterEntity, ReconnectionAttemptsAreNumberedAndStayOnTheTransport) {
  for (bool router : {false, true}) {
    testsupport::LogCapture log(DEBUG_Network);
    Module module(2, 0);
    linkSpec spec{};
    ASSERT_EQ(Link::makeSerialSpec(0x1234ABCD, "/nonexistent/korvex-tty", 115200, spec), aErrNone);
    ASSERT_EQ(module.getLink()->setLinkSpecifier(spec), aErrNone);
    UpdaterEntity entity;
    entity.init(&module, 0, true, router);
    EXPECT_NE(entity._reconnect(1), aErrNone);
    const std::string text = log.Text();
    for (int i = 1; i <= 5; ++i) {
      const std::string n = std::to_string(i) + " of 5\n";
      EXPECT_EQ(Count(text, "NETWORK: Attempting to reconnect. Attempt: " + n), 1u) << text;
      EXPECT_EQ(Count(text, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: " + n),
                router ? 0u : 1u)
          << text;
    }
    EXPECT_EQ(Count(text, "NETWORK: Couldn't reconnect to device delaying: 1 ms\n"),
              router ? 5u : 10u);
    EXPECT_EQ(Count(text, "Attempt: 6 of 5"), 0u);
  }
}

}  // namespace

// World descriptions for the simulator: module descriptions, world files
// and their checks; and the module model under arbitrary bytes.
#include <gtest/gtest.h>

#include <random>

#include "sim/SimConfig.h"
#include "sim/SimModule.h"
#include "tests/unit/test_support.h"

using ksim::AddModuleSpec;
using ksim::ParseWorldJson;
using ksim::ValidateWorld;
using ksim::WorldConfig;

TEST(SimConfig, ModuleSpecSetsEveryKey) {
  WorldConfig w;
  std::string err;
  ASSERT_TRUE(AddModuleSpec(
      "serial=1234abcd,model=21,version=2.15.3,build=77,name=bench,address=6,router_address=2,"
      "features=0,block_size=256,load_base=0x20000000,uei_data=no,loader_serial=deadead,"
      "reboot_away_ms=10,reset_away_ms=20,heartbeat_ms=30,new_version=3.0.1,new_build=78,"
      "flash_dump=/tmp/f.bin,tcp,port=9000,pty,pty_link=/tmp/p,fault=latency=5,fault=mute",
      w, err))
      << err;
  ASSERT_EQ(w.modules.size(), 1u);
  const ksim::ModuleConfig& m = w.modules[0].module;
  EXPECT_EQ(m.serial, 0x1234ABCDu);
  EXPECT_EQ(m.model, 21);
  EXPECT_EQ(m.version, 0x2F020F03u);
  EXPECT_EQ(m.build, 77u);
  EXPECT_EQ(m.name, "bench");
  EXPECT_EQ(m.address, 6);
  EXPECT_EQ(m.routerAddress, 2);
  EXPECT_EQ(m.features, 0u);
  EXPECT_EQ(m.blockSize, 256);
  EXPECT_EQ(m.loadBase, 0x20000000u);
  EXPECT_FALSE(m.ueiData);
  EXPECT_TRUE(m.loaderDeadead);
  EXPECT_EQ(m.rebootAwayMs, 10u);
  EXPECT_EQ(m.resetAwayMs, 20u);
  EXPECT_EQ(m.heartbeatMs, 30u);
  EXPECT_EQ(m.newVersion, ksim::PackVersion(3, 0, 1));
  EXPECT_EQ(m.newBuild, 78u);
  EXPECT_EQ(m.flashDump, "/tmp/f.bin");
  EXPECT_EQ(m.faults.describe(), "latency=5, mute");
  const ksim::TransportConfig& t = w.modules[0].transport;
  EXPECT_TRUE(t.tcp && t.pty && !t.usb);
  EXPECT_EQ(t.port, 9000);
  EXPECT_EQ(t.ptyLink, "/tmp/p");
  EXPECT_TRUE(ValidateWorld(w, err)) << err;
}

TEST(SimConfig, BadValuesNameTheKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"serial=xyz,tcp", "\"serial\""},
      {"serial=123456789,tcp", "\"serial\""},
      {"serial=1,model=256,tcp", "\"model\""},
      {"serial=1,version=2.1,tcp", "\"version\""},
      {"serial=1,address=0,tcp", "\"address\""},
      {"serial=1,address=256,tcp", "\"address\""},
      {"serial=1,block_size=0,tcp", "\"block_size\""},
      {"serial=1,loader_serial=other,tcp", "\"loader_serial\""},
      {"serial=1,name=" "123456789012345678901234567890123,tcp", "\"name\""},
      {"serial=1,tcp=maybe", "\"tcp\""},
      {"serial=1,colour=red,tcp", "unknown key"},
  };
  for (const auto& c : cases) {
    WorldConfig w;
    std::string err;
    EXPECT_FALSE(AddModuleSpec(c.first, w, err)) << c.first;
    EXPECT_NE(err.find(c.second), std::string::npos) << c.first << ": " << err;
  }
}

TEST(SimConfig, UpgradeKeysFromTheCommandLineAndFromFiles) {
  WorldConfig w;
  std::string err;
  ASSERT_TRUE(AddModuleSpec(
      "serial=1,usb,load_leave_ms=250,loader_away_ms=never,reboot_away_ms=never,boot_ms=800,tcp_close=fin,"
      "in_loader=yes,serial_from_flash=0x8004,build_from_flash=0x8008,program_once=no",
      w, err))
      << err;
  ASSERT_TRUE(ParseWorldJson(R"({"modules": [{"serial": "2", "tcp": true, "loader_away_ms": 1500,
      "tcp_close": "rst", "serial_from_flash": 4096, "faults": ["wrong-sum=3", "drop-data-ack=2:4"]}]})",
                             w, err))
      << err;
  const ksim::ModuleConfig& a = w.modules.at(0).module;
  EXPECT_EQ(a.loadLeaveMs, 250u);
  EXPECT_EQ(a.loaderAwayMs, ksim::ModuleConfig::kNever);
  EXPECT_EQ(a.rebootAwayMs, ksim::ModuleConfig::kNever);
  EXPECT_EQ(a.bootMs, 800u);
  EXPECT_FALSE(a.tcpCloseReset);
  EXPECT_TRUE(a.startInLoader);
  EXPECT_EQ(a.serialFromFlash, 0x8004);
  EXPECT_EQ(a.buildFromFlash, 0x8008);
  EXPECT_FALSE(a.programOnce);
  const ksim::ModuleConfig& b = w.modules.at(1).module;
  EXPECT_EQ(b.loaderAwayMs, 1500u);
  EXPECT_TRUE(b.tcpCloseReset);
  EXPECT_EQ(b.serialFromFlash, 4096);
  EXPECT_EQ(b.buildFromFlash, -1);
  EXPECT_TRUE(b.programOnce);
  EXPECT_EQ(b.faults.describe(), "drop-data-ack=2:4, wrong-sum=3");

  const std::pair<const char*, const char*> bad[] = {
      {"serial=1,tcp,loader_away_ms=soon", "\"loader_away_ms\""},
      {"serial=1,tcp,load_leave_ms=never", "\"load_leave_ms\""},
      {"serial=1,tcp,boot_ms=600001", "\"boot_ms\""},
      {"serial=1,tcp,tcp_close=maybe", "\"tcp_close\""},
      {"serial=1,tcp,in_loader=perhaps", "\"in_loader\""},
      {"serial=1,tcp,serial_from_flash=0xFFFFFFFE", "\"serial_from_flash\""},
      {"serial=1,tcp,build_from_flash=x", "\"build_from_flash\""},
  };
  for (const auto& c : bad) {
    WorldConfig bw;
    EXPECT_FALSE(AddModuleSpec(c.first, bw, err)) << c.first;
    EXPECT_NE(err.find(c.second), std::string::npos) << c.first << ": " << err;
  }
}

// Fault words: what each reads back as, and the values refused.
TEST(SimConfig, UpgradeFaultWords) {
  const std::pair<const char*, const char*> good[] = {
      {"wrong-sum", "wrong-sum"},
      {"wrong-sum=3", "wrong-sum=3"},
      {"wrong-data-count=always", "wrong-data-count=always"},
      {"drop-data-ack=4", "drop-data-ack=4"},
      {"drop-data-ack=4:2", "drop-data-ack=4:2"},
      {"drop-data-ack=2:always", "drop-data-ack=2:always"},
      {"late-data-ack=1500", "late-data-ack=1500"},
      {"late-data-ack=1500:3", "late-data-ack=1500:3"},
      {"short-prepare", "short-prepare"},
      {"short-sum=2", "short-sum=2"},
      {"short-data-ack=always", "short-data-ack=always"},
      {"write-status=2", "write-status=2"},
      {"uei-data-error", "uei-data-error=6"},
      {"uei-data-error=21:always", "uei-data-error=21:always"},
      {"reboot-keeps-link", "reboot-keeps-link"},
      {"double-write-status", "double-write-status"},
      {"wrong-sum=2@40", "wrong-sum=2@40"},
      {"mute@300+50", "mute@300+50"},
      {"no-answer=95.4@12+1", "no-answer=95.4@12+1"},
      {"late-answer=95.5:900@3", "late-answer=95.5:900@3"},
  };
  for (const auto& c : good) {
    ksim::Faults f;
    std::string err;
    EXPECT_TRUE(f.parse(c.first, err)) << c.first << ": " << err;
    EXPECT_EQ(f.describe(), c.second);
  }
  const char* bad[] = {"wrong-sum=0", "wrong-sum=never", "short-sum=-1", "drop-data-ack=2:0",
                       "drop-data-ack=x:2", "late-data-ack", "late-data-ack=0", "late-data-ack=10:x",
                       "uei-data-error=0", "uei-data-error=256", "uei-data-error=5:0",
                       "reboot-keeps-link=1", "double-write-status=yes", "latency=5@3",
                       "wrong-sum@0", "wrong-sum@2+3", "mute@x", "no-answer=95.4@2+0"};
  for (const char* word : bad) {
    ksim::Faults f;
    std::string err;
    EXPECT_FALSE(f.parse(word, err)) << word;
    EXPECT_NE(err.find(std::string(word).substr(0, std::string(word).find('='))), std::string::npos)
        << word << ": " << err;
  }
}

TEST(SimConfig, BusModulesNeedTheirRouterFirstAndFreeAddresses) {
  WorldConfig w;
  std::string err;
  EXPECT_FALSE(AddModuleSpec("serial=2,on=1", w, err));
  ASSERT_TRUE(AddModuleSpec("serial=1,tcp", w, err)) << err;
  EXPECT_FALSE(AddModuleSpec("serial=2,on=1,tcp", w, err));  // reached through the router only
  ASSERT_TRUE(AddModuleSpec("serial=2,on=1", w, err)) << err;
  EXPECT_EQ(w.modules[0].bus.at(0).address, 4);
  ASSERT_TRUE(AddModuleSpec("serial=3,on=1,address=4", w, err)) << err;
  EXPECT_FALSE(ValidateWorld(w, err));
  EXPECT_NE(err.find("address 4 is taken"), std::string::npos) << err;
}

TEST(SimConfig, WorldFiles) {
  WorldConfig w;
  std::string err;
  ASSERT_TRUE(ParseWorldJson(R"({"bind": "0.0.0.0", "discovery": true, "modules": [
      {"serial": 4660, "tcp": true, "faults": "wrong-sum",
       "bus": [{"serial": "B", "address": 8}]}]})",
                             w, err))
      << err;
  EXPECT_EQ(w.bind, "0.0.0.0");
  EXPECT_TRUE(w.discovery);
  EXPECT_EQ(w.modules.at(0).module.serial, 4660u);
  EXPECT_TRUE(w.modules[0].module.faults.wrongSum);
  EXPECT_EQ(w.modules[0].bus.at(0).serial, 0xBu);
  EXPECT_TRUE(ValidateWorld(w, err)) << err;

  const char* bad[] = {
      "{", "[]", R"({"modules": {}})", R"({"colour": 1})",
      R"({"modules": [{"serial": "1", "bus": [{"serial": "2", "tcp": true}]}]})",
      R"({"modules": [{"serial": "1", "bus": [{"serial": "2", "bus": []}]}]})",
      R"({"modules": [{"serial": -1}]})",
      R"({"modules": [{"serial": "1", "faults": [3]}]})",
  };
  for (const char* text : bad) {
    WorldConfig b;
    EXPECT_FALSE(ParseWorldJson(text, b, err)) << text;
    EXPECT_FALSE(err.empty());
  }
  testsupport::TempDir dir;
  EXPECT_FALSE(ksim::LoadWorldFile(dir.join("missing.json"), w, err));
  EXPECT_NE(err.find("cannot be read"), std::string::npos);
}

TEST(SimConfig, WorldChecks) {
  WorldConfig w;
  std::string err;
  EXPECT_FALSE(ValidateWorld(w, err));
  EXPECT_NE(err.find("no modules"), std::string::npos);
  ASSERT_TRUE(AddModuleSpec("serial=1", w, err));
  EXPECT_FALSE(ValidateWorld(w, err));
  EXPECT_NE(err.find("no transport"), std::string::npos);
}

TEST(SimConfig, VersionTexts) {
  uint32_t v = 0;
  EXPECT_TRUE(ksim::ParseVersionText("2.10.4", v));
  EXPECT_EQ(ksim::VersionText(v), "2.10.4");
  EXPECT_TRUE(ksim::ParseVersionText("2.15.0", v));
  EXPECT_EQ(v, 0x2F020F00u);
  EXPECT_FALSE(ksim::ParseVersionText("2.10", v));
  EXPECT_FALSE(ksim::ParseVersionText("2.10.4x", v));
  EXPECT_FALSE(ksim::ParseVersionText("2.300.1", v));
  EXPECT_EQ(ksim::VersionText(0x1A000123), "1.10.291");
}

// Arbitrary bytes never crash the module, and it still answers afterwards.
TEST(SimModule, SurvivesArbitraryBytes) {
  ksim::ModuleConfig c;
  c.heartbeatMs = 5;
  ksim::Module router(c);
  ksim::ModuleConfig bc;
  bc.address = 8;
  ksim::Module bus(bc);
  router.attachBusModule(&bus);
  router.linkUp(0);
  std::mt19937 rng(12345);
  std::vector<uint8_t> bytes(64);
  uint64_t now = 0;
  for (int round = 0; round < 3000; ++round) {
    for (auto& b : bytes) b = uint8_t(rng());
    // Bias towards well-formed starts so that deep paths are reached.
    bytes[0] = uint8_t((rng() % 2) ? 2 : 8);
    bytes[1] = uint8_t(rng() % 29);
    router.receive(bytes.data(), bytes.size(), now);
    now += 1;
    router.tick(now);
    router.takeDue(now + 100000);
  }
  std::vector<uint8_t> flush(40, 0x00);  // zero bytes end any partial packet
  flush[0] = 0x02;
  flush[1] = 28;
  router.receive(flush.data(), flush.size(), now);
  router.takeDue(now + 100000);
  std::vector<uint8_t> id{0xAD, 0};
  router.receive(id.data(), id.size(), now);
  auto out = router.takeDue(now + 100000);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back().bytes, (std::vector<uint8_t>{2, 0}));
}

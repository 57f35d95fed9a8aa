// Test helper run inside a korvex-sim world (for TCP/IP discovery, inside
// its private network namespace): the object layer finds and reaches
// simulated modules.
//   module_probe module|link usb|tcpip SERIAL fallback|direct
//       discoverAndConnect through a Module (with address learning) or a
//       bare Link; with the library's link and discovery trace on, so the
//       searches and fallbacks made can be counted.
//   module_probe entities SERIAL
//       every entity get/set/call form against a USB module, then a stream
//       with a callback, a store slot and factory data.
//   module_probe hold SERIAL | read SERIAL
//       Module::connect over USB with the default configuration (the link
//       shared through a server of the process that holds the module);
//       hold connects a second module of its own beside it, then keeps the
//       module until Ctrl-C; read reads the serial number once.
// Prints one "name value" line per finding; "result E" gives aErr codes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aKorvexDebug.h"
#include "common/kxusb_driver.h"

using Velmaris::Korvex::Link;
using Velmaris::Korvex::Module;
using Velmaris::Korvex::SystemClass;

namespace {

aLanetConfig Config(bool fallback) {
  aLanetConfig config;
  config.enabled = 0;  // no sharing server: the link is this process's own
  config.fallback = fallback ? 1 : 0;
  return config;
}

void PrintConnected(Link& link) {
  linkSpec spec{};
  if (link.getLinkSpecifier(spec) == aErrNone)
    std::printf("spec type=%u serial=%08X\n", spec.type, spec.serialNumber);
  std::printf("connected %d\n", link.isConnected() ? 1 : 0);
}

int Discover(bool viaModule, linkType type, uint32_t serial, bool fallback) {
  aKorvexDebuggingLevel = aDEBUG_LINK | aDEBUG_DISCOVERY;
  aKorvexDebuggingEnable = true;
  aErr err;
  if (viaModule) {
    Module module(2, 0);
    if (module.setConfig(Config(fallback)) != aErrNone) return 1;
    err = module.discoverAndConnect(type, serial);
    aKorvexDebuggingEnable = false;
    std::printf("result %u\n", unsigned(err));
    if (err == aErrNone) {
      PrintConnected(*module.getLink());
      std::printf("address %u\n", module.getModuleAddress());
      SystemClass system;
      system.init(&module, 0);
      uint32_t read = 0;
      const aErr readResult = system.getSerialNumber(&read);
      std::printf("read %u %08X\n", unsigned(readResult), read);
    }
    module.disconnect();
  } else {
    Link link("probe");
    if (link.setConfig(Config(fallback)) != aErrNone) return 1;
    err = link.discoverAndConnect(type, serial);
    aKorvexDebuggingEnable = false;
    std::printf("result %u\n", unsigned(err));
    if (err == aErrNone) PrintConnected(link);
    link.disconnect();
  }
  return 0;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + 1);
  return bytes;
}

// Samples of the heartbeat-interval option reach a callback (at most 5 s);
// 1 when three came with the value set before.
long long StreamCallbacks(Module& module) {
  std::atomic<int> calls{0};
  std::atomic<uint32_t> last{0};
  Link::streamCallback count = [&](const aPacket* packet, void*) -> uint8_t {
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0;
    if (Link::getStreamSample(packet, timestamp, value, subindex) == aErrNone) last = value;
    ++calls;
    return 0;
  };
  SystemClass sys;
  sys.init(&module, 0);
  if (sys.registerOptionCallback(3, true, count, nullptr) != aErrNone) return -1;
  for (int waits = 0; waits < 500 && calls < 3; ++waits)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (sys.registerOptionCallback(3, false, nullptr, nullptr) != aErrNone) return -2;
  return calls >= 3 && last == 9 ? 1 : 0;
}

struct Form {
  const char* name;
  std::function<aErr(SystemClass&, long long&)> run;
};

int Entities(uint32_t serial) {
  Module module(2, 0);
  if (module.setConfig(Config(false)) != aErrNone) return 1;
  const aErr connected = module.connect(USB, serial);
  std::printf("connect %u\n", unsigned(connected));
  if (connected != aErrNone) return 1;
  std::printf("address %u\n", module.getModuleAddress());
  const uint8_t address = module.getModuleAddress();
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t words[15], back[16] = {};
  for (uint32_t i = 0; i < 15; ++i) words[i] = 0x01020304u * (i + 1);
  const std::vector<Form> forms = {
      {"byte-get", [](SystemClass& s, long long& v) { uint8_t b = 0; aErr e = s.getModel(&b); v = b; return e; }},
      {"byte-set", [](SystemClass& s, long long&) { return s.setHBInterval(9); }},
      {"byte-get-after-set", [](SystemClass& s, long long& v) { uint8_t b = 0; aErr e = s.getHBInterval(&b); v = b; return e; }},
      {"16-get", [](SystemClass& s, long long& v) { uint16_t x = 0; aErr e = s.getUEI16(50, &x); v = x; return e; }},
      {"16-set-wrong-width", [](SystemClass& s, long long&) { return s.setUEI16(3, 1); }},
      {"32-get", [](SystemClass& s, long long& v) { uint32_t x = 0; aErr e = s.getSerialNumber(&x); v = x; return e; }},
      {"32-set", [](SystemClass& s, long long&) { return s.setPowerLimitMax(1234567); }},
      {"32-get-after-set", [](SystemClass& s, long long& v) { uint32_t x = 0; aErr e = s.getPowerLimitMax(&x); v = x; return e; }},
      {"signed-get", [](SystemClass& s, long long& v) { int32_t x = 0; aErr e = s.getTemperature(&x); v = x; return e; }},
      {"signed-set", [](SystemClass& s, long long&) { return s.setUEI32(34, int32_t(-2)); }},
      {"signed-get-after-set", [](SystemClass& s, long long& v) { int32_t x = 0; aErr e = s.getUEI32(34, &x); v = x; return e; }},
      {"subindex-get", [](SystemClass& s, long long& v) { uint32_t x = 0; aErr e = s.getUEI32(39, 2, &x); v = x; return e; }},
      {"subindex-set", [](SystemClass& s, long long&) { return s.setUEI32(39, 2, 7u); }},
      {"subindex-get-unknown", [](SystemClass& s, long long&) { uint32_t x = 0; return s.getUEI32(39, 9, &x); }},
      {"error-answer", [](SystemClass& s, long long&) { uint32_t x = 0; return s.getInputVoltage(&x); }},
      {"call", [](SystemClass& s, long long&) { return s.save(); }},
      {"bytes-set-name", [](SystemClass& s, long long&) { return s.setName(reinterpret_cast<const uint8_t*>("usb-probe"), 9); }},
      {"bytes-get-name", [](SystemClass& s, long long& v) {
         uint8_t name[32] = {};
         size_t count = 0;
         aErr e = s.getName(name, sizeof(name), &count);
         v = (count == 9 && std::memcmp(name, "usb-probe", 9) == 0) ? 1 : 0;
         return e; }},
      {"bytes-set-60", [&words](SystemClass& s, long long&) { return s.setInputPowerBehaviorConfig(words, 15); }},
      // A second acknowledgement of that set would be waiting now.
      {"bytes-second-ack", [&module](SystemClass&, long long&) {
         uei ack{};
         return module.getLink()->receiveUEI(module.getModuleAddress(), cmdSYSTEM, 31 | aUEI_ACK, 0, ack); }},
      {"bytes-get-60", [&words, &back](SystemClass& s, long long& v) {
         size_t count = 0;
         aErr e = s.getInputPowerBehaviorConfig(back, 16, &count);
         v = (count == 15 && std::memcmp(words, back, sizeof(words)) == 0) ? 1 : 0;
         return e; }},
      {"stream-callbacks", [&module](SystemClass&, long long& v) { v = StreamCallbacks(module); return aErrNone; }},
      // Streaming is off again: the get is answered by the module.
      {"byte-get-after-stream", [](SystemClass& s, long long& v) { uint8_t b = 0; aErr e = s.getHBInterval(&b); v = b; return e; }},
      {"slot-round-trip", [&module, address](SystemClass&, long long& v) {
         const std::vector<uint8_t> data = Pattern(100);
         std::vector<uint8_t> out(128);
         size_t count = 0;
         aErr e = module.getLink()->loadStoreSlot(address, 0, 1, data.data(), data.size());
         if (e == aErrNone)
           e = module.getLink()->unloadStoreSlot(address, 0, 1, out.data(), out.size(), &count);
         v = count == data.size() && std::equal(data.begin(), data.end(), out.begin()) ? 1 : 0;
         return e; }},
      {"factory-round-trip", [&module, address](SystemClass&, long long& v) {
         const std::vector<uint8_t> data = Pattern(60);
         std::vector<uint8_t> out(300);
         size_t count = 0;
         aErr e = module.getLink()->setFactoryData(address, 2, data.data(), data.size());
         if (e == aErrNone)
           e = module.getLink()->getFactoryData(address, 2, out.data(), out.size(), &count);
         v = count == data.size() && std::equal(data.begin(), data.end(), out.begin()) ? 1 : 0;
         return e; }},
  };
  for (const Form& f : forms) {
    long long value = 0;
    const aErr e = f.run(sys, value);
    std::printf("%s %u %lld\n", f.name, unsigned(e), value);
  }
  module.disconnect();
  return 0;
}

// Connects with the default configuration and reads the serial number
// through the module; hold then waits for Ctrl-C (or SIGTERM) and reads
// again, so the holder is seen to keep working while others use it.
int Shared(uint32_t serial, bool hold) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  if (hold) pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  Module module(2, 0);
  const aErr connected = module.connect(USB, serial);
  std::printf("connect %u\n", unsigned(connected));
  if (connected != aErrNone) return 1;
  linkSpec spec{};
  module.getLink()->getLinkSpecifier(spec);
  aLanetConfig config;
  module.getLink()->getConfig(config);
  std::printf("type %u port %s\n", spec.type, config.port != 0 ? "set" : "0");
  SystemClass system;
  system.init(&module, 0);
  auto read = [&] {
    uint32_t number = 0;
    const aErr err = system.getSerialNumber(&number);
    std::printf("read %u %08X\n", unsigned(err), number);
    std::fflush(stdout);
  };
  read();
  if (hold) {
    // A second module of this process is a client of the same server.
    Module again(2, 0);
    const aErr second = again.connect(USB, serial);
    linkSpec found{};
    again.getLink()->getLinkSpecifier(found);
    SystemClass other;
    other.init(&again, 0);
    uint32_t number = 0;
    const aErr read2 = second == aErrNone ? other.getSerialNumber(&number) : second;
    std::printf("again %u type %u read %u %08X\n", unsigned(second), found.type, unsigned(read2),
                number);
    again.disconnect();
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stops, &signal);
    read();
  }
  module.disconnect();
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: module_probe module|link usb|tcpip SERIAL fallback|direct\n"
                       "       module_probe entities|hold|read SERIAL\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string what = argv[1];
  int result;
  if (what == "entities") {
    result = Entities(uint32_t(std::strtoul(argv[2], nullptr, 16)));
  } else if (what == "hold" || what == "read") {
    result = Shared(uint32_t(std::strtoul(argv[2], nullptr, 16)), what == "hold");
  } else if ((what == "module" || what == "link") && argc == 5) {
    const std::string type = argv[2];
    if (type != "usb" && type != "tcpip") return Usage();
    result = Discover(what == "module", type == "usb" ? USB : TCPIP,
                      uint32_t(std::strtoul(argv[3], nullptr, 16)),
                      std::strcmp(argv[4], "fallback") == 0);
  } else {
    return Usage();
  }
  Korvex_libusb_exit();
  return result;
}

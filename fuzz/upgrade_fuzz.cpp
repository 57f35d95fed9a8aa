// Replies of a module's upgrade entity (command 95) and the queries the
// update makes beside it (byte-array data and pooled packets supported?).
// A module object is connected, as a client of a shared link, to a line
// whose answers come from the input: each packet the host sends releases
// the next piece (two length bytes, then the bytes the module sent until
// the host's next packet); when the host waits and nothing is released
// for a while the next piece comes anyway, and when the input is used up
// the line fails, so that no wait runs its full time. The update's steps
// then run in turn whatever the earlier ones answered: INIT, the two
// support checks, PREPARE, a loader block (DATA and SUM), a firmware
// block in chunks (DATA or byte arrays, SUM, WRITE) and a lone WRITE.
// The module's replies reach the entity only through the link engine:
// reader, inbound queue and reply filters.
//
// Built with FUZZ_RECORD_SEED, the same steps run against the simulated
// module and the pieces it answers are written out as a seed.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "app/UpdaterEntity.h"
#include "common/aLink.h"
#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzLog.h"
#include "log/Log.h"

#ifdef FUZZ_RECORD_SEED
#include "sim/SimModule.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Nothing released for this long while the host waits: the next piece
// comes unasked.
[[maybe_unused]] const auto kIdle = std::chrono::milliseconds(15);

struct ScriptLine {
  std::mutex mutex;
  FuzzInput* in = nullptr;
  std::vector<uint8_t> released;
  size_t at = 0;
  std::vector<uint8_t> hostPacket;  // the host's packet being assembled
  Clock::time_point lastMove = Clock::now();
  bool failed = false;
#ifdef FUZZ_RECORD_SEED
  ksim::Module* module = nullptr;
  std::vector<uint8_t>* record = nullptr;
  uint64_t now = 1;
#endif

  // Caller holds mutex.
  void ReleaseLocked(const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> piece;
#ifdef FUZZ_RECORD_SEED
    now += 2;
    module->receive(packet.data(), packet.size(), now);
    for (const ksim::Outgoing& out : module->takeDue(UINT64_MAX))
      piece.insert(piece.end(), out.bytes.begin(), out.bytes.end());
    record->push_back(uint8_t(piece.size() >> 8));
    record->push_back(uint8_t(piece.size()));
    record->insert(record->end(), piece.begin(), piece.end());
#else
    (void)packet;
    if (in->Empty()) {
      failed = true;
      return;
    }
    const size_t n = (size_t(in->Byte()) << 8) | in->Byte();
    piece = in->Bytes(n);
#endif
    released.erase(released.begin(), released.begin() + std::ptrdiff_t(at));
    at = 0;
    released.insert(released.end(), piece.begin(), piece.end());
    lastMove = Clock::now();
  }

  void TakeHostByte(uint8_t byte) {
    std::lock_guard<std::mutex> lock(mutex);
    hostPacket.push_back(byte);
    if (hostPacket.size() >= 2 && hostPacket.size() == 2u + hostPacket[1]) {
      ReleaseLocked(hostPacket);
      hostPacket.clear();
    }
  }
};

aErr LineGet(uint8_t* byte, void* context) {
  ScriptLine* line = static_cast<ScriptLine*>(context);
  std::lock_guard<std::mutex> lock(line->mutex);
  if (line->at < line->released.size()) {
    *byte = line->released[line->at++];
    line->lastMove = Clock::now();
    return aErrNone;
  }
  if (line->failed) return aErrIO;
#ifndef FUZZ_RECORD_SEED
  if (Clock::now() - line->lastMove > kIdle) {
    line->ReleaseLocked({});
    if (line->failed) return aErrIO;
  }
#endif
  return aErrNotReady;
}

aErr LinePut(uint8_t byte, void* context) {
  static_cast<ScriptLine*>(context)->TakeHostByte(byte);
  return aErrNone;
}

aErr LineWrite(const uint8_t* data, size_t length, void* context) {
  for (size_t i = 0; i < length; ++i) static_cast<ScriptLine*>(context)->TakeHostByte(data[i]);
  return aErrNone;
}

aErr LineWait(uint32_t, void* context) {
  ScriptLine* line = static_cast<ScriptLine*>(context);
  {
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->at < line->released.size() || line->failed) return aErrNone;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return aErrTimeout;
}

aErr LineDelete(void*) { return aErrNone; }

// The line of the next connection (one at a time).
ScriptLine* gLine = nullptr;

aErr MakeStream(uint32_t, uint16_t, aStreamRef* stream) {
  aStreamOps ops = {LineGet, LinePut, LineWrite, LineDelete, LineWait};
  *stream = gLine != nullptr ? aStream_CreateWithOps(&ops, gLine) : nullptr;
  return *stream != nullptr ? aErrNone : aErrResource;
}

class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double fraction, const char*) override {
    if (!(fraction >= 0.0 && fraction <= 1.0)) std::abort();
  }
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

std::vector<uint8_t> Block(uint32_t address, size_t length) {
  std::vector<uint8_t> b = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                            uint8_t(address)};
  for (size_t i = 0; i < length; ++i) b.push_back(uint8_t(i * 7 + 1));
  return b;
}

void RunSteps(ScriptLine* line) {
  gLine = line;
  aLink_SetClientStreamFactory(MakeStream);
  Velmaris::Korvex::Module module(2, false, 0);
  linkSpec spec{};
  spec.type = ALANET;
  spec.serialNumber = 0x00000001;
  const uint32_t loopback = 0x0100007F;
  std::memcpy(spec.address, &loopback, sizeof loopback);
  spec.port = 9;
  if (module.connectFromSpec(spec) == aErrNone) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    QuietDisplay display;
    entity.LoaderInit();
    entity.CheckUEIDataSupport();
    entity.CheckPooledPacketsSupport();
    const std::vector<uint8_t> loader = Block(0x00012000, 56);
    uint16_t blockSize = 0;
    entity.TransferPrepare(loader.data(), loader.size(), 5, blockSize);
    entity.LoaderTransfer(loader.data(), loader.size());
    const std::vector<uint8_t> firmware = Block(0x00012000, 120);
    blockSize = 0;
    if (entity.TransferPrepare(firmware.data(), firmware.size(), 0, blockSize) == aErrNone) {
      // A block size the module made up may ask for one chunk per byte.
      if (blockSize > 0 && blockSize < 16) blockSize = 16;
      entity.FirmwareTransfer(firmware.data(), firmware.size(), blockSize, display);
    }
    entity.FirmwareWrite(64);
    module.disconnect();
  }
  aLink_SetClientStreamFactory(nullptr);
  gLine = nullptr;
}

}  // namespace

#ifndef FUZZ_RECORD_SEED

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogIntoNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  ScriptLine line;
  line.in = &in;
  RunSteps(&line);
  return 0;
}

#else

// fuzz_record_upgrade FILE [no-uei]: the simulated module's answers.
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  ksim::ModuleConfig config;
  config.ueiData = argc < 3;
  config.features = argc < 3 ? 0x80000000u : 0;
  ksim::Module module(config);
  module.linkUp(0);
  std::vector<uint8_t> record;
  ScriptLine line;
  line.module = &module;
  line.record = &record;
  RunSteps(&line);
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 1;
  std::fwrite(record.data(), 1, record.size(), out);
  return std::fclose(out) == 0 ? 0 : 1;
}

#endif

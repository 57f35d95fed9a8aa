// Answers of an LPC boot ROM in in-system-programming mode: answer lines,
// return codes, numbers, UU-encoded data lines and their checksums. The
// programmer talks to a line whose answers come from the input: each
// command written releases the next piece (two length bytes, then the
// bytes the ROM sent until the host's next write), and a line with
// nothing released fails at once instead of waiting. Every step of a
// recovery runs in turn (sync, echo off when the first byte says so,
// unlock, identification, prepare, erase, write, read, copy), whatever
// the earlier ones answered. The line helpers are also run over each
// piece on their own.
//
// Built with FUZZ_RECORD_SEED, the same steps run against the simulated
// ROM and the pieces it answers are written out as a seed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzLog.h"
#include "log/Log.h"
#include "recovery/NXPSerial.h"

#ifdef FUZZ_RECORD_SEED
#include "sim/SimLpcIsp.h"
using ksim::LpcConfig;
using ksim::LpcIsp;
#endif

namespace {

// The scripted line. Reads take released bytes only; writes release the
// next piece (or, when recording, what the simulated ROM answers).
struct ScriptLine {
  FuzzInput* in = nullptr;
  std::vector<uint8_t> released;
  size_t at = 0;
#ifdef FUZZ_RECORD_SEED
  LpcIsp* rom = nullptr;
  std::vector<uint8_t>* record = nullptr;
#endif

  void Release(const uint8_t* data, size_t length) {
    std::vector<uint8_t> piece;
#ifdef FUZZ_RECORD_SEED
    rom->receive(data, length, 0);
    const std::string answer = rom->takeAll();
    piece.assign(answer.begin(), answer.end());
    record->push_back(uint8_t(piece.size() >> 8));
    record->push_back(uint8_t(piece.size()));
    record->insert(record->end(), piece.begin(), piece.end());
#else
    (void)data;
    (void)length;
    const size_t n = (size_t(in->Byte()) << 8) | in->Byte();
    piece = in->Bytes(n);
#endif
    released.erase(released.begin(), released.begin() + std::ptrdiff_t(at));
    at = 0;
    released.insert(released.end(), piece.begin(), piece.end());
  }
};

aErr LineGet(uint8_t* byte, void* context) {
  ScriptLine* line = static_cast<ScriptLine*>(context);
  if (line->at >= line->released.size()) return aErrNotReady;
  *byte = line->released[line->at++];
  return aErrNone;
}

aErr LinePut(uint8_t byte, void* context) {
  static_cast<ScriptLine*>(context)->Release(&byte, 1);
  return aErrNone;
}

aErr LineWrite(const uint8_t* data, size_t length, void* context) {
  static_cast<ScriptLine*>(context)->Release(data, length);
  return aErrNone;
}

// Nothing more comes before the host writes again: the line has failed.
aErr LineWait(uint32_t, void* context) {
  ScriptLine* line = static_cast<ScriptLine*>(context);
  return line->at < line->released.size() ? aErrNone : aErrIO;
}

aErr LineDelete(void*) { return aErrNone; }

void RunSteps(NXPSerialClass& isp, bool echoOff) {
  isp.Sync();
  if (echoOff) isp.SetEcho(false);
  isp.Unlock();
  uint64_t part = 0;
  isp.GetPartNumber(&part);
  uint8_t major = 0, minor = 0;
  isp.GetBootLoaderVersion(&major, &minor);
  isp.GetDeviceID();
  isp.Prepare(0, 1);
  isp.Erase(0, 1);
  uint8_t data[64];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = uint8_t(i * 37 + 1);
  isp.Write(NXPSerialClass::WRITE_ADDRESS, sizeof data, data);
  uint8_t back[96];
  isp.Read(0, sizeof back, back);
  isp.Prepare(0, 0);
  isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256);
}

// The line helpers on each line of a piece: a return code or a number is
// all digits; what decodes re-encodes to a line that decodes the same.
[[maybe_unused]] void CheckLines(const std::vector<uint8_t>& piece) {
  std::string text(piece.begin(), piece.end());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(start, end - start);
    start = end;
    uint32_t code = 0;
    if (NXPSerialClass::ParseReturnCode(line.c_str(), line.size(), &code)) {
      if (line.size() < 3 || line.compare(line.size() - 2, 2, "\r\n") != 0) std::abort();
      for (size_t i = 0; i + 2 < line.size(); ++i)
        if (line[i] < '0' || line[i] > '9') std::abort();
      if (NXPSerialClass::ErrorTextFor(code) == nullptr) std::abort();
    }
    uint32_t value = 0;
    NXPSerialClass::ParseNumberLine(line.c_str(), line.size(), &value);
    if (NXPSerialClass::GetErrorIndex(line.c_str(), line.size()) > line.size()) std::abort();
    if (NXPSerialClass::GetErrorText(line.c_str()) == nullptr) std::abort();
    // Room for one line's bytes, as the reader gives it.
    uint8_t decoded[64];
    const uint32_t n =
        NXPSerialClass::uudecode(decoded, NXPSerialClass::MAX_BYTES_PER_LINE, line.c_str());
    if (n > NXPSerialClass::MAX_BYTES_PER_LINE) std::abort();
    if (n > 0) {
      char again[64];
      if (NXPSerialClass::uuencode(again, decoded, n) != n) std::abort();
      uint8_t twice[64];
      if (NXPSerialClass::uudecode(twice, sizeof twice, again) != n ||
          std::memcmp(twice, decoded, n) != 0) {
        std::abort();
      }
    }
  }
  // Any bytes encode to a line that decodes back to them.
  const uint32_t n = uint32_t(piece.size() < 45 ? piece.size() : 45);
  if (n > 0) {
    char line[64];
    if (NXPSerialClass::uuencode(line, piece.data(), n) != n) std::abort();
    uint8_t back[64];
    if (NXPSerialClass::uudecode(back, sizeof back, line) != n ||
        std::memcmp(back, piece.data(), n) != 0) {
      std::abort();
    }
  }
}

bool Attach(NXPSerialClass& isp, ScriptLine* line) {
  aStreamOps ops = {LineGet, LinePut, LineWrite, LineDelete, LineWait};
  aStreamRef stream = aStream_CreateWithOps(&ops, line);
  if (stream == nullptr) return false;
  if (isp.Attach(stream, 115200) != aErrNone) std::abort();
  return true;
}

}  // namespace

#ifndef FUZZ_RECORD_SEED

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogIntoNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    FuzzInput pieces(data, size);
    pieces.Byte();
    while (!pieces.Empty()) CheckLines(pieces.Bytes((size_t(pieces.Byte()) << 8) | pieces.Byte()));
  }
  FuzzInput in(data, size);
  const bool echoOff = (in.Byte() & 1) != 0;
  ScriptLine line;
  line.in = &in;
  NXPSerialClass isp;
  if (!Attach(isp, &line)) return 0;
  RunSteps(isp, echoOff);
  isp.Disconnect();
  return 0;
}

#else

// fuzz_record_lpc FILE [echo-off]: the simulated ROM's answers to the steps.
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const bool echoOff = argc > 2;
  std::vector<uint8_t> record(1, echoOff ? 1 : 0);
  LpcIsp rom{LpcConfig()};
  ScriptLine line;
  line.rom = &rom;
  line.record = &record;
  NXPSerialClass isp;
  if (!Attach(isp, &line)) return 1;
  RunSteps(isp, echoOff);
  isp.Disconnect();
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 1;
  std::fwrite(record.data(), 1, record.size(), out);
  return std::fclose(out) == 0 ? 0 : 1;
}

#endif

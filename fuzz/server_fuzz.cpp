// The sharing server's frame rules and byte-array pools. The input is a
// sequence of client messages (client, time step, frame); each frame goes
// through the checks the broker applies to a client's frame (exactly one
// packet, then the pools, then whether the module answers it), and the
// frames together through the split of a client's pooled write. A run
// that comes out whole must be one request's packets in sequence, ended by
// its only packet without the continue bit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/aServer.h"
#include "common/aUEI.h"
#include "fuzz/FuzzInput.h"

namespace {

void CheckRun(const std::vector<aPacket>& run) {
  if (run.size() < 2 || run.size() > aSERVER_POOL_MAX_PACKETS || !aServer_StartsRun(&run[0]))
    std::abort();
  for (size_t i = 0; i < run.size(); ++i) {
    const aPacket& p = run[i];
    if (p.address != run[0].address || std::memcmp(p.data, run[0].data, 3) != 0 ||
        aUEI_getBytesSequence(&p) != (i & 0x7F)) {
      std::abort();
    }
    const bool last = i + 1 == run.size();
    if (aServer_NeedsAnswer(&p) != last) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  aServerPools pools;
  std::set<std::string> clients;
  std::vector<uint8_t> written;  // the frames back to back
  bool allPackets = true;
  size_t frames = 0;
  uint32_t now = 0;
  while (!in.Empty()) {
    const uint8_t head = in.Byte();
    const std::string identity(1, char('A' + (head & 7)));
    now += (head >> 3) * 100u;
    const std::vector<uint8_t> frame = in.Piece();
    ++frames;
    written.insert(written.end(), frame.begin(), frame.end());
    const bool isPacket = aServer_FrameIsPacket(frame.data(), frame.size());
    if (isPacket != (frame.size() >= 2 && frame[1] <= aPACKET_MAX_DATA &&
                     frame.size() == 2u + frame[1])) {
      std::abort();
    }
    if (!isPacket) {
      allPackets = false;
      continue;
    }
    aPacket packet{};
    packet.check = aPACKET_CHECK;
    packet.address = frame[0];
    packet.dataSize = frame[1];
    std::memcpy(packet.data, frame.data() + 2, frame[1]);
    packet.fill = uint8_t(2 + frame[1]);
    std::vector<aPacket> run;
    const aServerPools::Result result = pools.offer(identity, packet, now, &run);
    if (result == aServerPools::kHeld) clients.insert(identity);
    if (result == aServerPools::kComplete) CheckRun(run);
    if (result == aServerPools::kNotPooled) aServer_NeedsAnswer(&packet);
    if (pools.size() > clients.size()) std::abort();
  }
  pools.expire(now + aSERVER_POOL_TTL_MS + 1);
  if (pools.size() != 0) std::abort();

  std::vector<std::vector<uint8_t>> split;
  const bool splits = aServer_SplitPackets(written.data(), written.size(), &split);
  // Whole packets back to back always split, into no more pieces than
  // frames (empty frames add nothing).
  if (allPackets && frames > 0 && !written.empty() && !splits) std::abort();
  if (splits) {
    size_t total = 0;
    for (const auto& piece : split) {
      if (!aServer_FrameIsPacket(piece.data(), piece.size())) std::abort();
      total += piece.size();
    }
    if (total != written.size()) std::abort();
  }
  return 0;
}

// The client stream of a shared link whose server is reached over TCP: the
// link's own threads read and write the connection, speaking the message
// sockets' wire protocol as a DEALER. Nothing stands between them and the
// socket, so a round trip wakes no thread but the link's.
//
// The reader takes frames as get asks for bytes; empty frames (the
// server's probes) carry nothing and are passed over. Each side sends a
// PING when it heard nothing for a second and gives up on a peer silent
// for three, so a server whose host vanished is noticed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLink.h"
#include "common/aServer.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"
#include "common/aZmtp.h"

namespace {

constexpr int kConnectTimeoutMs = 3000;
// The identify may wait for one other client's request in flight.
constexpr uint32_t kConfirmTimeoutMs = aSERVER_ANSWER_TIMEOUT_MS + 1000;
constexpr uint32_t kSendTimeoutMs = 100;
constexpr uint32_t kHeartbeatIvlMs = 1000;
constexpr uint32_t kHeartbeatTimeoutMs = 3000;
constexpr size_t kReceiveChunk = 8192;

struct Client {
  int fd = -1;
  std::mutex sendMutex;  // one sender at a time: the writer, or the reader's PING/PONG
  std::atomic<bool> lost{false};
  // The reader's alone.
  aZmtpReader reader;
  std::string frame;  // the frame being read
  size_t at = 0;
  uint32_t heardMs = 0;  // when the server last sent anything
  uint32_t pingMs = 0;   // when we last sent a PING
  ~Client() {
    if (fd >= 0) close(fd);
  }
};

void sLose(Client* c, const char* why) {
  if (!c->lost.exchange(true)) aKorvexDebug_Trace(aDEBUG_SERVER, "server connection lost: %s\n", why);
}

// Sends all of data within kSendTimeoutMs; false (and the connection lost)
// when it cannot.
bool sSend(Client* c, const std::string& data) {
  std::lock_guard<std::mutex> lock(c->sendMutex);
  if (c->lost) return false;
  size_t sent = 0;
  const uint32_t start = aTime_GetMSTicks();
  while (sent < data.size()) {
    const ssize_t n = send(c->fd, data.data() + sent, data.size() - sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= kSendTimeoutMs) break;
    struct pollfd p = {c->fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(kSendTimeoutMs - elapsed));
  }
  if (sent == data.size()) return true;
  // Part of a frame went out: the stream of frames cannot go on.
  sLose(c, "send failed");
  return false;
}

// Reads what the socket holds. aErrNotReady when nothing waits.
aErr sReceive(Client* c) {
  uint8_t chunk[kReceiveChunk];
  const ssize_t n = recv(c->fd, chunk, sizeof(chunk), MSG_DONTWAIT);
  if (n > 0) {
    c->reader.add(chunk, static_cast<size_t>(n));
    c->heardMs = aTime_GetMSTicks();
    return aErrNone;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return aErrNotReady;
  sLose(c, n == 0 ? "closed" : "receive failed");
  return aErrIO;
}

// Answers PING; other commands need nothing.
void sCommand(Client* c, const std::string& body) {
  std::string name, rest;
  if (!aZmtp_ParseCommand(body, &name, &rest) || name != "PING") return;
  std::string pong;
  aZmtp_AppendCommand(&pong, "PONG", aZmtp_PongFor(rest));
  sSend(c, pong);
}

// Takes the next frame with bytes into c->frame. aErrNotReady when none
// is whole yet; aErrIO once the connection is lost.
aErr sNextFrame(Client* c) {
  for (;;) {
    if (c->lost) return aErrIO;
    aZmtpFrame f;
    switch (c->reader.next(&f)) {
      case aZmtpReader::kBad:
        sLose(c, "bad frame");
        return aErrIO;
      case aZmtpReader::kFrame:
        if (f.command) {
          sCommand(c, f.body);
        } else if (!f.body.empty()) {
          c->frame.swap(f.body);
          c->at = 0;
          return aErrNone;
        }
        continue;
      case aZmtpReader::kNeedMore: {
        const aErr e = sReceive(c);
        if (e != aErrNone) return e;
        continue;
      }
    }
  }
}

aErr sGet(uint8_t* byte, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at >= c->frame.size()) {
    const aErr err = sNextFrame(c);
    if (err != aErrNone) return err;
  }
  *byte = static_cast<uint8_t>(c->frame[c->at++]);
  return aErrNone;
}

// Keeps the connection known alive: a PING after a second without news,
// lost after three. Milliseconds until it needs looking at again.
uint32_t sHeartbeat(Client* c, uint32_t now) {
  const uint32_t silent = now - c->heardMs;
  if (silent >= kHeartbeatTimeoutMs) {
    sLose(c, "silent");
    return 0;
  }
  if (silent >= kHeartbeatIvlMs && now - c->pingMs >= kHeartbeatIvlMs) {
    std::string ping;
    aZmtp_AppendPing(&ping);
    sSend(c, ping);
    c->pingMs = now;
  }
  const uint32_t untilPing = silent >= kHeartbeatIvlMs
                                 ? kHeartbeatIvlMs - std::min(now - c->pingMs, kHeartbeatIvlMs)
                                 : kHeartbeatIvlMs - silent;
  return std::min(untilPing, kHeartbeatTimeoutMs - silent);
}

// Sleeps until a frame with bytes is here (taken in already, so that an
// empty one does not end the wait), the connection is lost (get reports
// it) or timeoutMs pass.
aErr sWait(uint32_t timeoutMs, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->at < c->frame.size()) return aErrNone;
  const uint32_t start = aTime_GetMSTicks();
  for (;;) {
    if (sNextFrame(c) != aErrNotReady) return aErrNone;  // bytes, or a loss get reports
    const uint32_t now = aTime_GetMSTicks();
    const uint32_t elapsed = now - start;
    if (elapsed >= timeoutMs) return aErrTimeout;
    const uint32_t beat = sHeartbeat(c, now);
    if (c->lost) return aErrNone;
    struct pollfd p = {c->fd, POLLIN, 0};
    const uint32_t sleep = std::min(timeoutMs - elapsed, std::max<uint32_t>(beat, 1));
    if (poll(&p, 1, static_cast<int>(std::min<uint32_t>(sleep, 0x7FFFFFFF))) < 0 && errno != EINTR)
      return aErrIO;
  }
}

aErr sPut(uint8_t, void*) { return aErrUnimplemented; }

aErr sWrite(const uint8_t* data, size_t length, void* context) {
  Client* c = static_cast<Client*>(context);
  if (c->lost) return aErrIO;
  std::vector<std::vector<uint8_t>> packets;
  if (!aServer_SplitPackets(data, length, &packets)) return aErrIO;
  std::string frames;
  for (const auto& p : packets) aZmtp_AppendFrame(&frames, p.data(), p.size());
  return sSend(c, frames) ? aErrNone : aErrIO;
}

aErr sDelete(void* context) {
  delete static_cast<Client*>(context);
  return aErrNone;
}

// Waits up to the deadline's rest for the next frame with bytes.
aErr sAwaitFrame(Client* c, uint32_t start, uint32_t limitMs) {
  for (;;) {
    const aErr e = sNextFrame(c);
    if (e != aErrNotReady) return e;
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= limitMs) return aErrTimeout;
    struct pollfd p = {c->fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limitMs - elapsed)) < 0 && errno != EINTR) return aErrIO;
  }
}

// The greetings and READY commands, then one identify round trip: the
// server answers only when it is there and its module answers.
bool sHandshake(Client* c) {
  if (!sSend(c, aZmtp_Hello("DEALER"))) return false;
  const uint32_t start = aTime_GetMSTicks();
  // More bytes within the confirm time; false when none come.
  auto more = [c, start] {
    const uint32_t elapsed = aTime_GetMSTicks() - start;
    struct pollfd p = {c->fd, POLLIN, 0};
    return elapsed < kConfirmTimeoutMs &&
           poll(&p, 1, static_cast<int>(kConfirmTimeoutMs - elapsed)) > 0 && sReceive(c) != aErrIO;
  };
  aZmtpReader::Result r;
  while ((r = c->reader.greeting()) == aZmtpReader::kNeedMore)
    if (!more()) return false;
  if (r != aZmtpReader::kFrame) return false;
  // READY comes first; its socket type must be one that routes answers.
  aZmtpFrame ready;
  while ((r = c->reader.next(&ready)) == aZmtpReader::kNeedMore)
    if (!more()) return false;
  std::string type;
  if (r != aZmtpReader::kFrame || !aZmtp_IsReady(ready, &type) || type != "ROUTER") return false;
  std::string identify;
  const uint8_t packet[2] = {aLINK_ADDRESS_IDENTIFY, 0};
  aZmtp_AppendFrame(&identify, packet, sizeof(packet));
  if (!sSend(c, identify) || sAwaitFrame(c, start, kConfirmTimeoutMs) != aErrNone) return false;
  const bool confirmed = c->frame.size() == 2 && c->frame[1] == 0;
  c->frame.clear();
  c->at = 0;
  return confirmed;
}

}  // namespace

aErr aStream_CreateClientTcp(uint32_t address, uint16_t port, aStreamRef* stream) {
  *stream = nullptr;
  Client* c = new (std::nothrow) Client();
  if (c == nullptr) return aErrMemory;
  c->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(port);
  const int e = c->fd < 0 ? errno : aStream_ConnectWithin(c->fd, &to, kConnectTimeoutMs);
  if (e != 0 || setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
      !sHandshake(c)) {
    aKorvexDebug_Trace(aDEBUG_SERVER, "Error connecting to socket: %d(rc)\n", e != 0 ? -1 : 0);
    delete c;
    return aErrConnection;
  }
  c->heardMs = c->pingMs = aTime_GetMSTicks();
  const aStreamOps ops = {sGet, sPut, sWrite, sDelete, sWait};
  *stream = aStream_CreateWithOps(&ops, c);
  if (*stream == nullptr) {
    delete c;
    return aErrResource;
  }
  return aErrNone;
}

// The sharing server's TCP frontend: clients in other processes connect
// here and speak the message sockets' wire protocol as to a ROUTER. The
// broker accepts and reads the connections in its own poll; any thread
// sends a client its frames by writing the connection itself (under the
// connection's lock), so an answer leaves with the link reader that took it
// and no other thread is woken on the way.
//
// Each connection gets an identity of five bytes starting with 1 (those
// of the in-process ROUTER start with 0). Output a client does not take at
// once waits in the connection's buffer until the socket takes it (the
// broker watches for room); a client that lets a whole buffer pile up
// loses further frames until it catches up, as a slow receiver does with
// the messaging library.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/aKorvexDebug.h"
#include "common/aServer_internal.h"
#include "common/aTime.h"

namespace {

constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxPending = 256u << 10;  // output one client may leave untaken
constexpr size_t kMaxParts = 16;           // frames of one message kept
constexpr size_t kReadPerService = 65536;  // bytes taken from one client per turn
constexpr uint32_t kHeartbeatIvlMs = 1000;
constexpr uint32_t kHeartbeatTimeoutMs = 3000;

}  // namespace

struct aServerTcp::Connection {
  enum State { kGreeting, kReady, kOpen };

  int fd = -1;
  std::string identity;
  // The broker's alone.
  State state = kGreeting;
  aZmtpReader reader;
  std::vector<std::string> parts;  // of the message being read
  size_t partCount = 0;
  uint32_t heardMs = 0, pingMs = 0;
  // Under sendMutex.
  std::mutex sendMutex;
  std::string pending;  // output the socket has not taken yet
  bool dead = false;    // the socket failed; the broker closes it

  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

aServerTcp::~aServerTcp() { close(); }

bool aServerTcp::listen(uint32_t address, uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  struct sockaddr_in at {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = address;
  socklen_t size = sizeof(at);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&at), sizeof(at)) != 0 ||
      ::listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&at), &size) != 0) {
    ::close(fd);
    return false;
  }
  listenFd_ = fd;
  *port = ntohs(at.sin_port);
  return true;
}

void aServerTcp::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.clear();
  polled_.clear();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

std::shared_ptr<aServerTcp::Connection> aServerTcp::find(const std::string& identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = connections_.find(identity);
  return found != connections_.end() ? found->second : nullptr;
}

// Writes what waits and then data without blocking; what the socket does
// not take waits. Under the connection's sendMutex. False when the socket
// failed.
bool aServerTcp::write(Connection* c, const char* data, size_t size) {
  if (c->dead) return false;
  if (c->pending.size() + size > kMaxPending) return true;  // too slow: this one is lost
  c->pending.append(data, size);
  while (!c->pending.empty()) {
    const ssize_t n = ::send(c->fd, c->pending.data(), c->pending.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c->pending.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waker_->wake();  // the broker's next poll watches for room
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    c->dead = true;
    return false;
  }
  return true;
}

bool aServerTcp::sendTo(const std::string& identity, const void* data, size_t size) {
  std::shared_ptr<Connection> c = find(identity);
  if (c == nullptr) return false;
  std::string frame;
  aZmtp_AppendFrame(&frame, data, size);
  std::lock_guard<std::mutex> lock(c->sendMutex);
  return write(c.get(), frame.data(), frame.size());
}

void aServerTcp::items(std::vector<struct pollfd>* items) {
  if (listenFd_ >= 0) items->push_back({listenFd_, POLLIN, 0});
  polled_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : connections_) {
    polled_.push_back(entry.second);
    Connection* c = entry.second.get();
    short events = POLLIN;
    {
      std::lock_guard<std::mutex> send(c->sendMutex);
      if (!c->pending.empty()) events |= POLLOUT;
    }
    items->push_back({c->fd, events, 0});
  }
}

void aServerTcp::accept(uint32_t nowMs) {
  for (int i = 0; i < 16; i++) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.size() >= kMaxConnections) {
      aKorvexDebug_Trace(aDEBUG_SERVER, "too many clients, connection refused\n");
      ::close(fd);
      continue;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    auto c = std::make_shared<Connection>();
    c->fd = fd;
    const uint32_t n = nextIdentity_++;
    const char identity[5] = {1, static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                              static_cast<char>(n >> 8), static_cast<char>(n)};
    c->identity.assign(identity, sizeof(identity));
    c->heardMs = c->pingMs = nowMs;
    const std::string hello = aZmtp_Hello("ROUTER");
    {
      std::lock_guard<std::mutex> send(c->sendMutex);
      write(c.get(), hello.data(), hello.size());
    }
    connections_[c->identity] = std::move(c);
  }
}

// One frame of an open connection; whole messages go to messages. False
// when the connection is to be closed.
bool aServerTcp::frame(Connection* c, aZmtpFrame* f, std::vector<aServerMessage>* messages) {
  if (f->command) {
    std::string name, body;
    if (!aZmtp_ParseCommand(f->body, &name, &body)) return false;
    if (name == "PING") {
      std::string pong;
      aZmtp_AppendCommand(&pong, "PONG", aZmtp_PongFor(body));
      std::lock_guard<std::mutex> send(c->sendMutex);
      return write(c, pong.data(), pong.size());
    }
    return name != "ERROR";
  }
  if (c->partCount++ < kMaxParts) c->parts.push_back(std::move(f->body));
  if (f->more) return true;
  if (c->partCount <= kMaxParts) messages->push_back({c->identity, std::move(c->parts)});
  c->parts.clear();
  c->partCount = 0;
  return true;
}

// Takes what the client sent. False when the connection is to be closed.
bool aServerTcp::read(Connection* c, uint32_t nowMs, std::vector<aServerMessage>* messages) {
  uint8_t chunk[8192];
  size_t taken = 0;
  while (taken < kReadPerService) {
    const ssize_t n = recv(c->fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    taken += static_cast<size_t>(n);
    c->heardMs = nowMs;
    c->reader.add(chunk, static_cast<size_t>(n));
    for (;;) {
      aZmtpFrame f;
      const aZmtpReader::Result r =
          c->state == Connection::kGreeting ? c->reader.greeting() : c->reader.next(&f);
      if (r == aZmtpReader::kBad) return false;
      if (r == aZmtpReader::kNeedMore) break;
      if (c->state == Connection::kGreeting) {
        c->state = Connection::kReady;
      } else if (c->state == Connection::kReady) {
        // READY first, from a socket that a ROUTER serves.
        std::string type;
        if (!aZmtp_IsReady(f, &type) || (type != "DEALER" && type != "REQ" && type != "ROUTER"))
          return false;
        c->state = Connection::kOpen;
      } else if (!frame(c, &f, messages)) {
        return false;
      }
    }
    // Less than asked for: the socket is empty (the poll tells of more).
    if (static_cast<size_t>(n) < sizeof(chunk)) break;
  }
  return true;
}

void aServerTcp::service(const std::vector<struct pollfd>& polled, size_t first,
                         uint32_t nowMs, std::vector<aServerMessage>* messages) {
  // The items are the listener's, then polled_'s in order.
  size_t at = first;
  const bool accepting = listenFd_ >= 0 && polled[at++].revents != 0;
  std::vector<std::shared_ptr<Connection>> ready;
  for (size_t i = 0; i < polled_.size(); i++)
    if (polled[at + i].revents != 0) ready.push_back(polled_[i]);
  std::vector<std::string> closing;
  for (auto& c : ready) {
    bool ok = read(c.get(), nowMs, messages);
    {
      std::lock_guard<std::mutex> send(c->sendMutex);
      if (ok && !c->pending.empty()) ok = write(c.get(), "", 0);
      ok = ok && !c->dead;
    }
    if (!ok) closing.push_back(c->identity);
  }
  if (accepting) accept(nowMs);
  // Heartbeats: a PING to a client silent for a second, the end for one
  // silent for three (or one that never finished its greeting).
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : connections_) {
      Connection* c = entry.second.get();
      const uint32_t silent = nowMs - c->heardMs;
      if (silent > UINT32_MAX / 2) continue;
      std::lock_guard<std::mutex> send(c->sendMutex);
      if (silent >= kHeartbeatTimeoutMs || c->dead) {
        closing.push_back(c->identity);
      } else if (c->state == Connection::kOpen && silent >= kHeartbeatIvlMs &&
                 nowMs - c->pingMs >= kHeartbeatIvlMs) {
        std::string ping;
        aZmtp_AppendPing(&ping);
        write(c, ping.data(), ping.size());
        c->pingMs = nowMs;
      }
    }
    for (const std::string& identity : closing) {
      if (connections_.erase(identity) != 0)
        aKorvexDebug_Trace(aDEBUG_SERVER, "client connection closed\n");
    }
  }
}

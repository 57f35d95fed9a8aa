#include "tools/korvex-update-server/Connections.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <openssl/err.h>

namespace kus {

using Clock = std::chrono::steady_clock;

namespace {

// A request head that grows past this without its closing blank line is
// refused; cpp-httplib takes request lines and header lines of up to 8 KiB.
constexpr size_t kMaxHead = 16 * 1024;
// The largest request body taken: the update server's requests have none.
constexpr size_t kMaxBody = 64 * 1024;
// What Receive and Send return when the socket has to become ready first.
constexpr ssize_t kAgain = -2;

// Waits until fd is ready for events; false once until has passed.
bool Poll(int fd, short events, Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// The numeric address of fd's peer or of fd itself.
void Address(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* a = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(fd, a, &length) : getsockname(fd, a, &length)) != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getnameinfo(a, length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

size_t MaxWaiting() {
  // Leave descriptors for the connections being answered and for files.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
  return std::min<size_t>(4096, std::max<size_t>(16, limit.rlim_cur / 2));
}

int NewWakeFd() {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  return fd;
}

}  // namespace

// One client connection. It belongs to one thread at a time: the waiting
// thread while a request head is awaited, a worker while it is answered.
struct Connection {
  Connection(int socket, SSL* session) : fd(socket), ssl(session) {}
  ~Connection() {
    if (ssl) {
      if (closeNotify) SSL_shutdown(ssl);  // once; the socket is not waited for
      SSL_free(ssl);
    }
    close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // TLS result r of a failed call as Receive reports it.
  ssize_t TlsFailure(int r) {
    switch (SSL_get_error(ssl, r)) {
      case SSL_ERROR_WANT_READ:
        wantWrite = false;
        return kAgain;
      case SSL_ERROR_WANT_WRITE:
        wantWrite = true;
        return kAgain;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        return -1;
    }
  }

  // Goes on with the TLS handshake: 1 once done, kAgain, or -1 / 0 when the
  // client has failed or left it.
  ssize_t Handshake() {
    ERR_clear_error();
    const int r = SSL_accept(ssl);
    if (r == 1) handshaken = true;
    return r == 1 ? 1 : TlsFailure(r);
  }

  // Appends what the connection has to `in`: the byte count, 0 at its end,
  // -1 on failure, kAgain when nothing is there yet.
  ssize_t Receive() {
    char buffer[4096];
    ssize_t n;
    if (ssl) {
      ERR_clear_error();
      const int r = SSL_read(ssl, buffer, sizeof buffer);
      if (r <= 0) return TlsFailure(r);
      n = r;
    } else {
      do n = recv(fd, buffer, sizeof buffer, 0);
      while (n < 0 && errno == EINTR);
      if (n < 0) {
        wantWrite = false;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kAgain : -1;
      }
    }
    in.append(buffer, static_cast<size_t>(n));
    return n;
  }

  // Sends some of data: the byte count, -1 on failure, kAgain when the
  // connection takes nothing now.
  ssize_t Send(const char* data, size_t size) {
    if (ssl) {
      ERR_clear_error();
      const int r = SSL_write(ssl, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      if (r > 0) return r;
      const ssize_t failure = TlsFailure(r);
      return failure == kAgain ? kAgain : -1;
    }
    ssize_t n;
    do n = send(fd, data, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      wantWrite = true;
      return errno == EAGAIN || errno == EWOULDBLOCK ? kAgain : -1;
    }
    return n;
  }

  // Waits for what the last kAgain was waiting for; false once until has
  // passed.
  bool Ready(Clock::time_point until) const { return Poll(fd, wantWrite ? POLLOUT : POLLIN, until); }

  // True once `in` holds a whole request head: up to a blank line ("\r\n\r\n",
  // or "\n\n" from lenient clients).
  bool HeadArrived() {
    size_t p = in.find('\n', std::max(used, scanned));
    while (p != std::string::npos) {
      const size_t next = p + 1 < in.size() && in[p + 1] == '\r' ? p + 2 : p + 1;
      if (next >= in.size()) {
        scanned = p;  // the rest of this line end is still to come
        return false;
      }
      if (in[next] == '\n') return true;
      p = in.find('\n', p + 1);
    }
    scanned = in.size();
    return false;
  }

  // Drops the bytes the last request used.
  void Consume() {
    in.erase(0, used);
    used = 0;
    scanned = 0;
  }

  const int fd;
  SSL* const ssl;            // null for plain HTTP
  bool handshaken = false;   // TLS only
  bool wantWrite = false;    // the last kAgain waits for room to write
  bool closeNotify = false;  // end the TLS session cleanly when closing
  std::string peer;
  std::string in;      // bytes received; those before `used` are consumed
  size_t used = 0;
  size_t scanned = 0;  // where HeadArrived goes on looking
  // The current request has begun (a new connection's has from the start)
  // and must have arrived by the deadline; before that, the deadline is the
  // end of the kept-alive wait for it.
  bool started = true;
  Clock::time_point deadline;
  size_t answered = 0;
};

namespace {

void Report(const Connection& c, const char* what) {
  std::fprintf(stderr, "korvex-update-server: %s %s\n", c.peer.c_str(), what);
}

// What a worker answers a request from: the head already received, then
// the connection itself. Reads end at the request's deadline; each wait to
// write ends after the write time-out.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(Connection& c, std::chrono::milliseconds writeTimeout)
      : c_(c), writeTimeout_(writeTimeout) {}

  bool is_readable() const override {
    return c_.used < c_.in.size() || (c_.ssl && SSL_pending(c_.ssl) > 0) ||
           Poll(c_.fd, POLLIN, c_.deadline);
  }
  bool is_writable() const override { return Poll(c_.fd, POLLOUT, Clock::now() + writeTimeout_); }

  ssize_t read(char* ptr, size_t size) override {
    while (c_.used == c_.in.size()) {
      c_.Consume();
      const ssize_t n = c_.Receive();
      if (n == 0 || n == -1) return n;
      if (n == kAgain && !c_.Ready(c_.deadline)) return -1;
    }
    const size_t count = std::min(size, c_.in.size() - c_.used);
    std::memcpy(ptr, c_.in.data() + c_.used, count);
    c_.used += count;
    return static_cast<ssize_t>(count);
  }

  ssize_t write(const char* ptr, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = c_.Send(ptr + done, size - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n != kAgain || !c_.Ready(Clock::now() + writeTimeout_)) {
        return -1;
      }
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(c_.fd, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(c_.fd, false, ip, port);
  }
  socket_t socket() const override { return c_.fd; }

 private:
  Connection& c_;
  const std::chrono::milliseconds writeTimeout_;
};

enum class Progress { kWaiting, kHeadArrived, kEnded };

// Reads what has come for c's request head, after the TLS handshake.
Progress Advance(Connection& c, std::chrono::milliseconds requestTimeout) {
  if (c.ssl && !c.handshaken) {
    const ssize_t r = c.Handshake();
    if (r == kAgain) return Progress::kWaiting;
    if (r != 1) {
      Report(c, "closed: TLS handshake failed");
      return Progress::kEnded;
    }
  }
  for (;;) {
    if (c.HeadArrived()) return Progress::kHeadArrived;
    if (c.in.size() - c.used > kMaxHead) {
      Report(c, "closed: request head too long");
      return Progress::kEnded;
    }
    const ssize_t n = c.Receive();
    if (n == kAgain) return Progress::kWaiting;
    if (n <= 0) return Progress::kEnded;
    if (!c.started) {
      c.started = true;
      c.deadline = Clock::now() + requestTimeout;
    }
  }
}

}  // namespace

Connections::Connections(const ConnectionLimits& limits, SSL_CTX* tls, RequestAnswerer answer)
    : limits_(limits),
      tls_(tls),
      answer_(std::move(answer)),
      maxWaiting_(MaxWaiting()),
      wakeFd_(NewWakeFd()),
      workers_(limits.workers) {
  waiter_ = std::thread([this] { Wait(); });
}

Connections::~Connections() {
  Stop();
  close(wakeFd_);
}

void Connections::Adopt(int fd) {
  // The connection owns the socket (and the TLS session) from here.
  std::unique_ptr<Connection> c(new Connection(fd, tls_ ? SSL_new(tls_) : nullptr));
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return;
  if (tls_ && (!c->ssl || SSL_set_fd(c->ssl, fd) != 1)) return;
  int port = 0;
  Address(fd, true, c->peer, port);
  c->deadline = Clock::now() + limits_.requestTimeout;
  Hand(std::move(c));
}

void Connections::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    arrived_.clear();
  }
  Wake();
  if (waiter_.joinable()) {
    waiter_.join();
    workers_.shutdown();
  }
}

void Connections::Hand(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;  // closes it
    arrived_.push_back(std::move(connection));
  }
  Wake();
}

void Connections::Wake() {
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);  // adds to the count Wait reads
}

void Connections::Wait() {
  std::vector<std::unique_ptr<Connection>> waiting;
  std::vector<pollfd> polled;
  // Puts c where its progress leads: to a worker, back to waiting, or away.
  auto route = [&](std::unique_ptr<Connection> c, Progress progress) {
    if (progress == Progress::kWaiting) {
      waiting.push_back(std::move(c));
    } else if (progress == Progress::kHeadArrived) {
      // The pool's tasks must be copyable: the worker takes the pointer
      // back into its own unique_ptr. The pool runs every task it is given.
      Connection* raw = c.release();
      workers_.enqueue([this, raw] { Answer(std::unique_ptr<Connection>(raw)); });
    }
  };

  for (;;) {
    std::vector<std::unique_ptr<Connection>> arrived;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      arrived.swap(arrived_);
    }
    // A connection coming back from a worker may already hold the next
    // request, in `in` or inside the TLS layer, where poll cannot see it.
    for (auto& c : arrived) {
      const Progress progress = Advance(*c, limits_.requestTimeout);
      route(std::move(c), progress);
    }
    while (waiting.size() > maxWaiting_) {
      auto oldest = std::min_element(waiting.begin(), waiting.end(), [](const auto& a, const auto& b) {
        return a->deadline < b->deadline;
      });
      Report(**oldest, "closed: too many connections waiting");
      waiting.erase(oldest);
    }

    polled.assign(1, pollfd{wakeFd_, POLLIN, 0});
    Clock::time_point next = Clock::time_point::max();
    for (const auto& c : waiting) {
      polled.push_back(pollfd{c->fd, static_cast<short>(c->wantWrite ? POLLOUT : POLLIN), 0});
      next = std::min(next, c->deadline);
    }
    int timeout = -1;
    if (!waiting.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left, INT_MAX)));
    }
    if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) {
      std::perror("korvex-update-server: poll");
      return;
    }
    if (polled[0].revents) {
      uint64_t count;
      (void)!::read(wakeFd_, &count, sizeof count);
    }

    std::vector<std::unique_ptr<Connection>> still;
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < waiting.size(); ++i) {
      std::unique_ptr<Connection>& c = waiting[i];
      if (polled[i + 1].revents) {
        const Progress progress = Advance(*c, limits_.requestTimeout);
        if (progress != Progress::kWaiting) {
          route(std::move(c), progress);
          continue;
        }
      }
      if (now < c->deadline) {
        still.push_back(std::move(c));
      } else if (c->started) {
        Report(*c, "closed: request not complete in time");
      }
    }
    waiting.swap(still);
  }
}

void Connections::Answer(std::unique_ptr<Connection> c) {
  do {
    const bool last = ++c->answered >= limits_.keepAliveMax;
    bool closed = false;
    ConnectionStream stream(*c, limits_.writeTimeout);
    const bool ok = answer_(stream, last, closed);
    if (!ok || closed || last) {
      c->closeNotify = ok;
      return;
    }
    c->Consume();
    c->started = !c->in.empty();
    c->deadline =
        Clock::now() + (c->started ? limits_.requestTimeout : limits_.keepAliveTimeout);
    // A pipelined request already whole is answered here and now.
  } while (c->HeadArrived());
  Hand(std::move(c));
}

namespace {

// Runs each task at once: the listen loop's tasks only hand a socket over.
class RunAtOnce : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

}  // namespace

KeptServer::KeptServer(const ConnectionLimits& limits, SSL_CTX* tls)
    : connections_(limits, tls,
                   [this](httplib::Stream& stream, bool closeConnection, bool& connectionClosed) {
                     return process_request(stream, closeConnection, connectionClosed, nullptr);
                   }) {
  new_task_queue = [] { return new RunAtOnce; };
  // What the replies' Keep-Alive headers announce.
  set_keep_alive_max_count(limits.keepAliveMax);
  set_keep_alive_timeout(
      std::chrono::ceil<std::chrono::seconds>(limits.keepAliveTimeout).count());
  set_payload_max_length(kMaxBody);
}

KeptServer::~KeptServer() = default;

bool KeptServer::process_and_close_socket(socket_t sock) {
  connections_.Adopt(sock);
  return true;
}

TlsContext NewServerTls(const std::string& certificatePath, const std::string& keyPath,
                        std::string& error) {
  TlsContext context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!context) {
    error = "cannot make a TLS context";
    return context;
  }
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificatePath.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, keyPath.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    error = "cannot use certificate " + certificatePath + " with key " + keyPath;
    context.reset();
  }
  return context;
}

}  // namespace kus

// The update server's connections, kept so that slow clients cannot stall
// it. cpp-httplib gives every accepted connection a worker thread for its
// whole life and bounds only each single read, so a client sending one
// byte of its request head every few seconds holds a worker for as long as
// it likes. Here one thread waits for every connection's request head (and
// for the TLS handshake before it) with poll; a worker thread is taken only
// once a whole head has arrived, and every request must arrive within a
// deadline counted from its first byte. Between requests a kept-alive
// connection waits without a worker too.
#ifndef KORVEX_UPDATE_SERVER_CONNECTIONS_H
#define KORVEX_UPDATE_SERVER_CONNECTIONS_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <openssl/ssl.h>

namespace kus {

struct ConnectionLimits {
  // A request (head and any body) must have arrived this long after its
  // first byte; for a new connection, after it was accepted (TLS handshake
  // included).
  std::chrono::milliseconds requestTimeout{10000};
  // How long a kept-alive connection may wait for its next request.
  std::chrono::milliseconds keepAliveTimeout{5000};
  // How long the client may take to accept more of a reply, each time the
  // socket is full.
  std::chrono::milliseconds writeTimeout{5000};
  // Requests answered on one connection before it is closed.
  size_t keepAliveMax = 100;
  // Threads answering complete requests.
  size_t workers = 8;
};

struct Connection;

// Answers one request read from the stream; cpp-httplib's
// Server::process_request: false when the connection cannot go on,
// connectionClosed when the client asked for it to end.
using RequestAnswerer =
    std::function<bool(httplib::Stream& stream, bool closeConnection, bool& connectionClosed)>;

class Connections {
 public:
  // tls, when not null, is used for every connection (the caller keeps it
  // alive). Starts the waiting thread and the workers.
  Connections(const ConnectionLimits& limits, SSL_CTX* tls, RequestAnswerer answer);
  ~Connections();
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;

  // Takes over a freshly accepted socket.
  void Adopt(int fd);
  // Closes every waiting connection and ends the threads once the requests
  // in hand are answered. Adopt closes what it is given from then on.
  void Stop();

 private:
  void Wait();
  void Answer(std::unique_ptr<Connection> connection);
  void Hand(std::unique_ptr<Connection> connection);
  void Wake();

  const ConnectionLimits limits_;
  SSL_CTX* const tls_;
  const RequestAnswerer answer_;
  const size_t maxWaiting_;
  const int wakeFd_;

  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> arrived_;  // for the waiting thread
  bool stopping_ = false;

  httplib::ThreadPool workers_;
  std::thread waiter_;
};

// A cpp-httplib server whose accepted connections Connections keeps. Its
// own listen loop still accepts; every socket goes straight to Connections.
class KeptServer : public httplib::Server {
 public:
  KeptServer(const ConnectionLimits& limits, SSL_CTX* tls);
  ~KeptServer() override;

 private:
  bool process_and_close_socket(socket_t sock) override;

  Connections connections_;
};

using TlsContext = std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)>;

// A TLS server context with the certificate chain and key of the two PEM
// files; null (and the reason in error) when they cannot be used.
TlsContext NewServerTls(const std::string& certificatePath, const std::string& keyPath,
                        std::string& error);

}  // namespace kus

#endif

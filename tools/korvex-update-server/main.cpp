// korvex-update-server: answers the updater's requests from a firmware
// repository on disk (see Repository.h), over HTTP or HTTPS.
//
//   korvex-update-server --repo DIR [--listen HOST:PORT] [--path /cgi/u]
//       [--cert PEM --key PEM] [--token-key PEM] [--public-key-out FILE]
//       [--token-lifetime SECONDS] [--workers N] [--request-timeout SECONDS]
//       [--keep-alive-timeout SECONDS] [--keep-alive-max N] [--write-timeout SECONDS]
//
// Port 0 picks a free port. Once listening, the server prints
// "listening on URL" on standard output. One line per request, and one per
// connection closed for a fault, goes to standard error. SIGINT and SIGTERM
// stop it.
//
// --workers, --request-timeout, --keep-alive-timeout, --keep-alive-max and
// --write-timeout set the limits of kus::ConnectionLimits (Connections.h);
// seconds may have a fraction.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>
#include <pthread.h>

#include "tools/korvex-update-server/Answers.h"
#include "tools/korvex-update-server/Connections.h"
#include "tools/korvex-update-server/Repository.h"
#include "tools/korvex-update-server/Token.h"

namespace {

struct Options {
  std::string repo;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string path = "/cgi/u";
  std::string cert;
  std::string key;
  std::string tokenKey;
  std::string publicKeyOut;
  long tokenLifetime = 3600;
  kus::ConnectionLimits limits;
};

void Usage() {
  std::fprintf(stderr,
               "usage: korvex-update-server --repo DIR [--listen HOST:PORT] [--path /cgi/u]\n"
               "       [--cert PEM --key PEM] [--token-key PEM] [--public-key-out FILE]\n"
               "       [--token-lifetime SECONDS] [--workers N] [--request-timeout SECONDS]\n"
               "       [--keep-alive-timeout SECONDS] [--keep-alive-max N]\n"
               "       [--write-timeout SECONDS]\n");
}

// Seconds, with a fraction if wanted, from 1 ms to a day.
bool ParseSeconds(const std::string& text, std::chrono::milliseconds& out) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end || !(seconds >= 0.001 && seconds <= 86400)) return false;
  out = std::chrono::milliseconds(std::llround(seconds * 1000));
  return true;
}

bool ParseCount(const std::string& text, size_t max, size_t& out) {
  char* end = nullptr;
  const long long count = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end || count < 1 || static_cast<unsigned long long>(count) > max) {
    return false;
  }
  out = static_cast<size_t>(count);
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--repo") {
      o.repo = value;
    } else if (arg == "--listen") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos) return false;
      o.host = value.substr(0, colon);
      char* end = nullptr;
      const long port = std::strtol(value.c_str() + colon + 1, &end, 10);
      if (*end || port < 0 || port > 65535 || colon + 1 == value.size()) return false;
      o.port = static_cast<int>(port);
    } else if (arg == "--path") {
      if (value.empty() || value[0] != '/') return false;
      o.path = value;
    } else if (arg == "--cert") {
      o.cert = value;
    } else if (arg == "--key") {
      o.key = value;
    } else if (arg == "--token-key") {
      o.tokenKey = value;
    } else if (arg == "--public-key-out") {
      o.publicKeyOut = value;
    } else if (arg == "--token-lifetime") {
      o.tokenLifetime = std::strtol(value.c_str(), nullptr, 10);
      if (o.tokenLifetime <= 0) return false;
    } else if (arg == "--workers") {
      if (!ParseCount(value, 1024, o.limits.workers)) return false;
    } else if (arg == "--request-timeout") {
      if (!ParseSeconds(value, o.limits.requestTimeout)) return false;
    } else if (arg == "--keep-alive-timeout") {
      if (!ParseSeconds(value, o.limits.keepAliveTimeout)) return false;
    } else if (arg == "--keep-alive-max") {
      if (!ParseCount(value, 1000000, o.limits.keepAliveMax)) return false;
    } else if (arg == "--write-timeout") {
      if (!ParseSeconds(value, o.limits.writeTimeout)) return false;
    } else {
      return false;
    }
  }
  return !o.repo.empty() && o.cert.empty() == o.key.empty();
}

// The first line of a reply, for the request log.
std::string Verdict(const std::string& body) {
  const size_t end = body.find('\n');
  std::string first = body.substr(0, end == std::string::npos ? body.size() : end);
  if (first.size() > 60) first = first.substr(0, 60) + "...";
  return first;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage();
    return 2;
  }

  std::unique_ptr<kus::Repository> repository;
  std::unique_ptr<kus::TokenSigner> signer;
  try {
    repository.reset(new kus::Repository(options.repo));
    signer.reset(new kus::TokenSigner(options.tokenKey));
    if (!options.publicKeyOut.empty()) {
      std::ofstream out(options.publicKeyOut, std::ios::trunc);
      out << signer->PublicKeyPEM();
      if (!out) throw std::runtime_error("cannot write " + options.publicKeyOut);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvex-update-server: %s\n", e.what());
    return 1;
  }

  kus::TlsContext tls(nullptr, SSL_CTX_free);
  if (!options.cert.empty()) {
    std::string error;
    tls = kus::NewServerTls(options.cert, options.key, error);
    if (!tls) {
      std::fprintf(stderr, "korvex-update-server: %s\n", error.c_str());
      return 1;
    }
  }
  // Stop on SIGINT or SIGTERM: the signals are taken by one waiting thread
  // rather than an asynchronous handler, so they are blocked before the
  // server starts its threads. A client that goes away while it is
  // answered must not end the server.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<kus::KeptServer> server(new kus::KeptServer(options.limits, tls.get()));

  const kus::Repository& repo = *repository;
  const kus::TokenSigner& tokens = *signer;
  const long lifetime = options.tokenLifetime;
  server->Get(options.path, [&repo, &tokens, lifetime](const httplib::Request& req,
                                                      httplib::Response& res) {
    kus::Query query(req.params.begin(), req.params.end());
    const kus::AnswerContext context{repo, tokens, lifetime, std::time(nullptr)};
    res.set_content(kus::Answer(context, query), "text/plain");
  });
  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    std::fprintf(stderr, "korvex-update-server: %s %s %s -> %d %s\n", req.remote_addr.c_str(),
                 req.method.c_str(), req.target.c_str(), res.status, Verdict(res.body).c_str());
  });

  int port = options.port;
  if (port == 0) {
    port = server->bind_to_any_port(options.host);
  } else if (!server->bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "korvex-update-server: cannot listen on %s:%d\n", options.host.c_str(),
                 options.port);
    return 1;
  }

  std::atomic<bool> listenReturned{false};
  std::thread stopper([&server, &listenReturned, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    // stop() is only heard once the server runs: repeat until it has.
    while (!listenReturned) {
      server->stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  std::printf("listening on %s://%s:%d%s\n", options.cert.empty() ? "http" : "https",
              options.host.c_str(), port, options.path.c_str());
  std::fflush(stdout);
  const bool ok = server->listen_after_bind();
  listenReturned = true;

  // Wake the stopper if the server ended for another reason.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return ok ? 0 : 1;
}

// korvex-update-server: answers the updater's requests from a firmware
// repository on disk (see Repository.h), over HTTP or HTTPS.
//
//   korvex-update-server --repo DIR [--listen HOST:PORT] [--path /cgi/u]
//       [--cert PEM --key PEM] [--token-key PEM] [--public-key-out FILE]
//       [--token-lifetime SECONDS]
//
// Port 0 picks a free port. Once listening, the server prints
// "listening on URL" on standard output. One line per request goes to
// standard error. SIGINT and SIGTERM stop it.
#include <atomic>
#include <chrono>
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
};

void Usage() {
  std::fprintf(stderr,
               "usage: korvex-update-server --repo DIR [--listen HOST:PORT] [--path /cgi/u]\n"
               "       [--cert PEM --key PEM] [--token-key PEM] [--public-key-out FILE]\n"
               "       [--token-lifetime SECONDS]\n");
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

  std::unique_ptr<httplib::Server> server;
  if (options.cert.empty()) {
    server.reset(new httplib::Server);
  } else {
    auto* tls = new httplib::SSLServer(options.cert.c_str(), options.key.c_str());
    server.reset(tls);
    if (!tls->is_valid()) {
      std::fprintf(stderr, "korvex-update-server: cannot use certificate %s with key %s\n",
                   options.cert.c_str(), options.key.c_str());
      return 1;
    }
  }

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

  // Stop on SIGINT or SIGTERM: the signals are taken by one waiting thread
  // rather than an asynchronous handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
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

// korvex-sim: runs a world of simulated modules so that the updater can be
// tried without hardware.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/SimUsb.h"
#include "sim/SimWorld.h"

namespace {

const char* kUsage =
    "Usage: korvex-sim [options] [-- command [arguments...]]\n"
    "\n"
    "Runs simulated modules that speak the module side of the link. Without a\n"
    "command it stays in the foreground until interrupted (Ctrl-C); with one it\n"
    "runs the command inside the world and exits with the command's code.\n"
    "\n"
    "Options:\n"
    "  -m, --module DESC      add a module; DESC is key=value pairs separated by\n"
    "                         commas, e.g. serial=1234ABCD,model=13,version=2.11.4,tcp\n"
    "      --imx DESC         add an i.MX chip in serial-download mode (see below)\n"
    "  -w, --world FILE       read modules and settings from a JSON world file\n"
    "      --lpc DESC         add a simulated LPC boot ROM on a pseudo-terminal, e.g.\n"
    "                         id=1:2:3:4,pty_link=/tmp/lpc0,flash_dump=FILE (see below)\n"
    "  -b, --bind ADDRESS     IPv4 address of the TCP listeners (default 127.0.0.1)\n"
    "      --discovery        answer TCP/IP discovery requests (232.2.2.2:9888);\n"
    "                         only together with --netns, unless\n"
    "                         --discovery-on-real-network is given\n"
    "      --discovery-on-real-network\n"
    "                         allow discovery answers on this machine's interfaces\n"
    "      --netns            run the world and the command in a private network\n"
    "                         namespace with a veth pair v0 198.18.0.1 / v1 198.18.0.2\n"
    "                         (without modules: only run the command there)\n"
    "      --status-file PATH write where everything is as JSON once ready, and\n"
    "                        keep it up to date with the requests each module got\n"
    "  -q, --quiet            print where everything is, but no events\n"
    "  -h, --help             show this text\n"
    "\n"
    "Module keys (a world file uses the same keys in {\"modules\": [ {...} ]}):\n"
    "  serial=HEX8 model=N version=A.B.C build=N name=TEXT address=N (even, default 2)\n"
    "  router_address=N features=N block_size=N (default 512) load_base=N\n"
    "  uei_data=yes|no loader_serial=own|deadead in_loader=yes|no\n"
    "  reboot_away_ms=N|never reset_away_ms=N load_leave_ms=N loader_away_ms=N|never\n"
    "  boot_ms=N (on a bus) tcp_close=rst|fin program_once=yes|no\n"
    "  serial_from_flash=ADDR build_from_flash=ADDR\n"
    "  heartbeat_ms=N new_version=A.B.C new_build=N flash_dump=PATH\n"
    "  stream_ms=N store_slots=N slot_capacity=N factory_locked=yes|no\n"
    "  option=N[.S]:VALUE (repeatable) a system option's value: a number, or\n"
    "    u8: i8: u16: i16: u32: i32: and a number, or bytes:HEX\n"
    "  tcp port=N pty pty_link=PATH usb        transports (at least one)\n"
    "  on=HEX8                                  put the module on that router's I2C bus\n"
    "  fault=WORD (repeatable): latency=MS drop-data-ack[=N[:COUNT]]\n"
    "    wrong-data-count[=COUNT] wrong-sum[=COUNT] late-data-ack=MS[:COUNT]\n"
    "    short-prepare[=COUNT] short-sum[=COUNT] short-data-ack[=COUNT] write-status[=COUNT]\n"
    "    uei-data-error[=CODE[:COUNT]] reboot-keeps-link double-write-status (COUNT: N or always)\n"
    "    prepare-status block-size-0 init-short no-load-reply disconnect-after=BYTES\n"
    "    heartbeat-strict mute short-build no-answer=CMD[.OPT] late-answer=CMD[.OPT]:MS\n"
    "    error-answer=CMD[.OPT]:CODE\n"
    "\n"
    "LPC boot-ROM keys (a world file lists them in {\"lpc\": [ {...} ]}):\n"
    "  name=WORD id=W1:W2:W3:W4 part=N boot=MAJOR.MINOR erase_ms=N (per E command, 100)\n"
    "  program_ms=N (per 256 bytes, 1) strict_blank=yes|no pty_link=PATH flash_dump=PATH\n"
    "  fault=WORD (repeatable): stray-bytes[=COUNT] resend[=COUNT] silent wrong-sync\n"
    "    drop-echo[=COUNT] error=LETTER:CODE[@N]\n"
    "i.MX chip keys (a world file: {\"imx\": [ {...} ]}): its boot ROM answers over\n"
    "  hid (USB HID 1FC9:0130) and/or pty [pty_link=PATH]; fingerprint=W0:W1:W2:W3\n"
    "  (hex; the fuse words and option 39 of the loader) security=N status=N\n"
    "  register=ADDR:VALUE (repeatable) loader_prefix=HEX bad_jump=stay|silent\n"
    "  ram_limit=N fault=WORD (repeatable): silent mid-answer[=N] incomplete\n"
    "  chatty[=MS] slow=MS. Any module key (serial, model, loader_serial=own|deadead\n"
    "  (deadead), flash_dump, new_build, ...) describes the module its loader\n"
    "  becomes on USB after a jump into a written image.\n"
    "\n"
    "A command run inside the world finds in its environment KORVEX_SIM_PORT and\n"
    "KORVEX_SIM_PTY (the first module's TCP port and terminal) and, per module,\n"
    "KORVEX_SIM_<SERIAL>_PORT and KORVEX_SIM_<SERIAL>_PTY; KORVEX_SIM_LPC_PTY and\n"
    "KORVEX_SIM_LPC_<NAME>_PTY for the LPC boot ROMs. Send SIGUSR1 to write the\n"
    "flash dumps at once; they are also written after REBOOT and at exit.\n";

ksim::World* gWorld = nullptr;

void OnStop(int) {
  if (gWorld) gWorld->stop();
}
void OnDump(int) {
  if (gWorld) gWorld->requestFlashDump();
}
void OnChild(int) {
  if (gWorld) gWorld->stop();  // woken; the loop checks the child
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "korvex-sim: %s\n", message.c_str());
  return 2;
}

bool RunQuiet(const std::vector<std::string>& argv) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool EnterNetworkNamespace(std::string& error) {
  if (::unshare(CLONE_NEWNET) != 0) {
    error = std::string("cannot create a network namespace (needs root): ") + std::strerror(errno);
    return false;
  }
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "link", "set", "lo", "up"},
      {"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"},
      {"ip", "addr", "add", "198.18.0.1/24", "dev", "v0"},
      {"ip", "addr", "add", "198.18.0.2/24", "dev", "v1"},
      {"ip", "link", "set", "v0", "up"},
      {"ip", "link", "set", "v1", "up"},
  };
  for (const auto& s : steps) {
    if (!RunQuiet(s)) {
      std::string cmd;
      for (const auto& w : s) cmd += (cmd.empty() ? "" : " ") + w;
      error = "network namespace set-up failed at: " + cmd;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ksim::WorldConfig world;
  std::string statusFile, error;
  bool quiet = false, netns = false, realNetwork = false;
  std::vector<std::string> command;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--") {
      for (++i; i < argc; ++i) command.push_back(argv[i]);
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "-m" || a == "--module") {
      if (!value(v)) return Fail(a + " needs a module description, e.g. serial=1234ABCD,tcp");
      if (!ksim::AddModuleSpec(v, world, error)) return Fail(error);
    } else if (a == "--imx") {
      if (!value(v)) return Fail(a + " needs a chip description, e.g. serial=1234ABCD,fingerprint=1:2:3:4,hid");
      if (!ksim::AddImxSpec(v, world, error)) return Fail(error);
    } else if (a == "-w" || a == "--world") {
      if (!value(v)) return Fail(a + " needs a FILE");
      if (!ksim::LoadWorldFile(v, world, error)) return Fail(error);
    } else if (a == "--lpc") {
      if (!value(v)) return Fail(a + " needs a description, e.g. id=1:2:3:4,pty_link=/tmp/lpc0");
      ksim::LpcConfig lpc;
      if (!ksim::ParseLpcSpec(v, lpc, error)) return Fail(error);
      world.lpcs.push_back(lpc);
    } else if (a == "-b" || a == "--bind") {
      if (!value(world.bind)) return Fail(a + " needs an IPv4 ADDRESS");
      world.bindGiven = true;
    } else if (a == "--discovery") {
      world.discovery = true;
    } else if (a == "--discovery-on-real-network") {
      realNetwork = true;
    } else if (a == "--netns") {
      netns = true;
    } else if (a == "--status-file") {
      if (!value(statusFile)) return Fail(a + " needs a PATH");
    } else if (a == "-q" || a == "--quiet") {
      quiet = true;
    } else {
      return Fail("unknown option \"" + a + "\" (see --help)");
    }
  }
  // With --netns and a command, an empty world is allowed: korvex-sim then
  // only runs the command in a private network namespace.
  bool namespaceOnly = world.modules.empty() && world.imx.empty() && netns && !command.empty();
  if (!namespaceOnly && !ksim::ValidateWorld(world, error)) return Fail(error);
  if (world.discovery && !netns && !realNetwork)
    return Fail("--discovery answers multicast on the machine's network: use it with --netns, "
                "or add --discovery-on-real-network");
  if (netns) {
    if (!EnterNetworkNamespace(error)) return Fail(error);
    if (!world.bindGiven) world.bind = "0.0.0.0";  // the namespace is private
  }

  // Messages go to standard output, or to standard error while a command
  // (which owns standard output) runs.
  FILE* out = command.empty() ? stdout : stderr;
  bool ready = false;
  auto print = [&](const std::string& line) {
    if (quiet && ready) return;
    std::fprintf(out, "korvex-sim: %s\n", line.c_str());
    std::fflush(out);
  };

  ksim::World w(world, print);
  if (!w.start(error)) return Fail(error);
  if (netns) print("private network namespace: v0 198.18.0.1/24, v1 198.18.0.2/24");
  for (const auto& line : w.describe()) print(line);
  w.setStatusFile(statusFile);
  if (!w.writeStatus(error)) return Fail(error);

  gWorld = &w;
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = OnDump;
  ::sigaction(SIGUSR1, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  bool anyUsb = false;
  for (const auto& m : world.modules) anyUsb |= m.transport.usb;
#ifdef KORVEX_SIM_USB
  anyUsb |= !world.imx.empty();  // HID ROMs and the loaders they start
#endif
  int exitCode = 0;
  if (command.empty()) {
    print("ready; press Ctrl-C to stop");
    ready = true;
    w.run([] { return true; });
    ready = false;
    print("stopping");
  } else {
    sa.sa_handler = OnChild;
    ::sigaction(SIGCHLD, &sa, nullptr);
    bool first = true;
    for (const auto& e : w.endpoints()) {
      std::string serial = ksim::SerialText(e->spec.module.serial);
      if (e->listenFd >= 0 || e->listenerClosed) {
        std::string port = std::to_string(e->port);
        ::setenv(("KORVEX_SIM_" + serial + "_PORT").c_str(), port.c_str(), 1);
        if (first) ::setenv("KORVEX_SIM_PORT", port.c_str(), 1);
      }
      if (!e->ptyPath.empty()) {
        ::setenv(("KORVEX_SIM_" + serial + "_PTY").c_str(), e->ptyPath.c_str(), 1);
        if (first) ::setenv("KORVEX_SIM_PTY", e->ptyPath.c_str(), 1);
      }
      first = false;
    }
    for (const auto& l : w.lpcPorts()) {
      if (l == w.lpcPorts().front()) ::setenv("KORVEX_SIM_LPC_PTY", l->path().c_str(), 1);
      ::setenv(("KORVEX_SIM_LPC_" + l->rom().config().name + "_PTY").c_str(), l->path().c_str(), 1);
    }
    for (const auto& kv : w.imxEnvironment()) ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
    ready = true;
    pid_t child = ::fork();
    if (child < 0) return Fail(std::string("cannot start the command: ") + std::strerror(errno));
    if (child == 0) {
      if (anyUsb) {
        // Simulated USB devices are seen only through umockdev's preload
        // library; a sanitizer runtime would otherwise insist on coming first.
        const char* pre = std::getenv("LD_PRELOAD");
        std::string preload = std::string("libumockdev-preload.so.0") + (pre && *pre ? std::string(":") + pre : "");
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string opts = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
        ::setenv("ASAN_OPTIONS", opts.c_str(), 1);
      }
      std::vector<char*> args;
      for (auto& c : command) args.push_back(const_cast<char*>(c.c_str()));
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      std::fprintf(stderr, "korvex-sim: cannot run %s: %s\n", args[0], std::strerror(errno));
      ::_exit(127);
    }
    int status = 0;
    bool done = false;
    w.run([&] {
      if (!done && ::waitpid(child, &status, WNOHANG) == child) done = true;
      return !done;
    });
    if (!done) {  // interrupted: end the command too
      ::kill(child, SIGTERM);
      ::waitpid(child, &status, 0);
    }
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  w.dumpFlashes();
  gWorld = nullptr;
  return exitCode;
}

// The world's status file: where every module is and what it was asked, as
// JSON for scripts and black-box tests.
#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "sim/SimWorld.h"

namespace ksim {

namespace {

// What the module was asked, and what the upgrade steps did.
nlohmann::json CountersJson(const Module& module) {
  const ModuleStats& st = module.stats();
  auto table = [](const std::map<uint8_t, uint64_t>& counts) {
    nlohmann::json t = nlohmann::json::object();
    for (const auto& c : counts) t[std::to_string(c.first)] = c.second;
    return t;
  };
  nlohmann::json c;
  c["identifies"] = st.identifies;
  c["requests"] = table(st.requests);
  c["system_gets"] = table(st.systemGets);
  c["system_sets"] = table(st.systemSets);
  c["bus_probes"] = table(st.busProbes);
  c["route_to_me"] = table(st.routeToMe);
  c["stream_samples"] = st.streamSamples;
  c["upgrade"] = {{"inits", st.inits},
                  {"prepares", st.prepares},
                  {"data_packets", st.dataPackets},
                  {"data_arrays", st.dataArrays},
                  {"data_bytes", st.upgradeBytes},
                  {"sums", st.sums},
                  {"writes", st.writes},
                  {"chunks_written", st.chunksWritten},
                  {"loads", st.loads},
                  {"reboots", st.reboots},
                  {"double_writes", st.doubleWrites},
                  {"double_write_bytes", st.doubleWriteBytes}};
  c["faults_fired"] = nlohmann::json::object();
  for (const auto& f : st.faultsFired) c["faults_fired"][f.first] = f.second;
  return c;
}

// What the module runs and presents now.
nlohmann::json StateJson(const Module& module) {
  return {{"serial_now", SerialText(module.presentedSerial())},
          {"version_now", VersionText(module.version())},
          {"build_now", module.build()},
          {"in_loader", module.inLoader()}};
}

}  // namespace

std::string World::statusJson() const {
  nlohmann::json j;
  j["bind"] = cfg_.bind;
  j["discovery"] = udpFd_ >= 0;
  j["modules"] = nlohmann::json::array();
  uint64_t t = now();
  for (const auto& e : endpoints_) {
    nlohmann::json m = StateJson(*e->module);
    m["counters"] = CountersJson(*e->module);
    m["serial"] = SerialText(e->spec.module.serial);
    m["address"] = e->spec.module.address;
    m["away"] = t < e->awayUntil;
    if (e->listenFd >= 0 || e->listenerClosed) m["port"] = e->port;
    m["listening"] = e->listenFd >= 0;
    if (e->ptyMaster >= 0) m["pty"] = e->ptyPath;
    if (e->usbPresent) m["usb_serial"] = SerialText(e->usbSerial);
    m["bus"] = nlohmann::json::array();
    m["bus_counters"] = nlohmann::json::object();
    m["bus_state"] = nlohmann::json::object();
    for (const auto& b : e->busModules) {
      std::string serial = SerialText(b->config().serial);
      m["bus"].push_back({{"serial", serial}, {"address", b->address()}});
      m["bus_counters"][serial] = CountersJson(*b);
      m["bus_state"][serial] = StateJson(*b);
      m["bus_state"][serial]["silent"] = b->silent(t);
    }
    j["modules"].push_back(m);
  }
  j["lpc"] = nlohmann::json::array();
  for (const auto& l : lpcs_) j["lpc"].push_back(l->status());
  j["imx"] = nlohmann::json::parse(imxStatusJson());
  return j.dump();
}

bool World::writeStatus(std::string& error) {
  if (statusFile_.empty()) return true;
  lastStatusWrite_ = now();
  statusPackets_ = packetsSeen();
  statusDirty_ = false;
  std::string tmp = statusFile_ + ".tmp";
  std::ofstream f(tmp);
  f << statusJson() << "\n";
  f.close();
  if (!f || std::rename(tmp.c_str(), statusFile_.c_str()) != 0) {
    error = "cannot write " + statusFile_;
    return false;
  }
  return true;
}

uint64_t World::packetsSeen() const {
  uint64_t n = 0;
  for (const auto& e : endpoints_) {
    n += e->module->stats().packetsIn;
    for (const auto& b : e->busModules) n += b->stats().packetsIn;
  }
  for (const auto& l : lpcs_) n += l->activity();
  return n;
}

// Rewrites the status file when packets came in or a module left or came
// back, at most every kStatusIntervalMs, so that the counters follow what
// the hosts asked.
void World::refreshStatus(bool force) {
  if (statusFile_.empty() || (packetsSeen() == statusPackets_ && !statusDirty_)) return;
  if (!force && now() < lastStatusWrite_ + kStatusIntervalMs) return;
  std::string error;
  if (!writeStatus(error)) print_(error);
}

}  // namespace ksim

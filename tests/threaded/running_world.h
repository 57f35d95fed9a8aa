// A simulated world of modules running on its own thread for the length of
// a test, with the loopback ports and pseudo-terminals of its modules.
#ifndef UPDATER_TESTS_RUNNING_WORLD_H
#define UPDATER_TESTS_RUNNING_WORLD_H

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/SimWorld.h"

// A simulated world running on its own thread for the length of a test.
class RunningWorld {
 public:
  explicit RunningWorld(const std::vector<std::string>& modules) {
    std::string error;
    for (const auto& s : modules) EXPECT_TRUE(ksim::AddModuleSpec(s, cfg_, error)) << error;
    world_ = std::make_unique<ksim::World>(cfg_, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_ += line + "\n";
    });
    started_ = world_->start(error);
    EXPECT_TRUE(started_) << error;
    // Addresses are read here, before the world's thread owns the endpoints.
    for (const auto& e : world_->endpoints()) {
      ports_.push_back(e->port);
      ptys_.push_back(e->ptyPath);
    }
    if (started_) thread_ = std::thread([this] { world_->run([] { return true; }); });
  }
  ~RunningWorld() { stop(); }
  // After stop() the modules can be inspected without racing the world.
  void stop() {
    if (thread_.joinable()) {
      world_->stop();
      thread_.join();
    }
  }
  uint16_t port(size_t i = 0) const { return ports_.at(i); }
  std::string pty(size_t i = 0) const { return ptys_.at(i); }
  const ksim::Module& module(size_t i = 0) const { return *world_->endpoints()[i]->module; }
  std::string log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  ksim::WorldConfig cfg_;
  std::unique_ptr<ksim::World> world_;
  std::thread thread_;
  std::mutex mutex_;
  std::string log_;
  std::vector<uint16_t> ports_;
  std::vector<std::string> ptys_;
  bool started_ = false;
};

#endif

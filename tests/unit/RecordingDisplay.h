// A display that records what it is asked to show, for tests.
#ifndef UPDATER_RECORDING_DISPLAY_H
#define UPDATER_RECORDING_DISPLAY_H

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool on) override { events.push_back(on ? "progress-on" : "progress-off"); }
  void update_progress(double fraction, const char*) override {
    events.push_back("progress " + std::to_string(fraction));
  }
  void update_spinner(bool on, const char*) override {
    events.push_back(on ? "spin" : "spin-off");
  }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> infos;
  std::vector<std::string> errors;
  std::vector<std::string> events;
};

#endif

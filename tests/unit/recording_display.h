// A display that records every message and spinner call for tests.
#ifndef UPDATER_TEST_RECORDING_DISPLAY_H
#define UPDATER_TEST_RECORDING_DISPLAY_H

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

namespace testsupport {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool on, const char* label) override {
    (on ? spinsOn : spinsOff)++;
    lastSpinnerLabel = label ? label : "";
  }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  bool HasError(const std::string& text) const { return Has(errors, text); }
  bool HasInfo(const std::string& text) const { return Has(infos, text); }

  std::vector<std::string> infos;
  std::vector<std::string> errors;
  int spinsOn = 0;
  int spinsOff = 0;
  std::string lastSpinnerLabel;

 private:
  static bool Has(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
      if (l == text) return true;
    return false;
  }
};

}  // namespace testsupport

#endif

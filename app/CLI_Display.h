// The console display: info to standard output, errors to standard error,
// progress and spinners drawn in place only when standard output is a
// terminal. With a JSON sink (--json) standard output carries only result
// objects: info lines go to standard error, each error also becomes an
// error object, and progress is written to standard error as JSON lines.
#ifndef UPDATER_CLI_DISPLAY_H
#define UPDATER_CLI_DISPLAY_H

#include <cstdint>
#include <string>

#include "app/UpdaterDisplayInterface.h"

class JsonSink;

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered.
  explicit CLI_Display(JsonSink* json = nullptr);

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
  bool wants_results() const override { return json_ != nullptr; }
  // The module progress lines name (0: none).
  void set_module(uint32_t serialNumber) { module_ = serialNumber; }
  void result(const std::string& json) override;

 private:
  JsonSink* json_;
  int lastPercent_ = -1;
  uint32_t module_ = 0;
};

#endif

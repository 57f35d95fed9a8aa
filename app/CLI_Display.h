// The console display: info to standard output, errors to standard error,
// progress and spinners drawn in place only when standard output is a
// terminal.
#ifndef UPDATER_CLI_DISPLAY_H
#define UPDATER_CLI_DISPLAY_H

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered.
  CLI_Display();

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};

#endif

// Every user-visible line, progress bar and spinner goes through this
// interface; the orchestration never writes to the terminal itself.
#ifndef UPDATER_DISPLAY_INTERFACE_H
#define UPDATER_DISPLAY_INTERFACE_H

#include <string>

class UpdaterDisplayInterface {
 public:
  enum Level { info = 0, error = 1 };

  UpdaterDisplayInterface() = default;
  virtual ~UpdaterDisplayInterface() = default;
  UpdaterDisplayInterface(const UpdaterDisplayInterface&) = delete;
  UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = delete;

  // Begin (true) or end (false) a progress display.
  virtual void display_progress(bool on) = 0;
  // Draw the bar at fraction 0.0-1.0 with an optional label (null for none).
  virtual void update_progress(double fraction, const char* label) = 0;
  // Advance (true) or clear (false) a spinner with an optional label.
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats one line of any length, shows its control bytes escaped (bar
  // line breaks and tabs) and hands it to error_message for level error,
  // info_message otherwise. Dropped while muted.
  void message(Level level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }
  bool is_muted() const { return muted; }

  // The first error shown since the last clear: its kind (a stable name,
  // see FailureKindOf) and its text. Empty when there was none.
  void clear_first_error() {
    first_error_kind.clear();
    first_error_text.clear();
  }
  const std::string& first_error_kind_name() const { return first_error_kind; }
  const std::string& first_error_message() const { return first_error_text; }

  // Machine-readable results are wanted (--json): the commands then hand
  // their result objects, one JSON text each, to result().
  virtual bool wants_results() const { return false; }
  virtual void result(const std::string& /*json*/) {}

 protected:
  bool muted = false;
  // While message() hands a line on: the format it was made from.
  const char* current_format = nullptr;
  std::string first_error_kind;
  std::string first_error_text;
};

#endif

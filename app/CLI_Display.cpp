#include "app/CLI_Display.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

constexpr size_t kMessageBuffer = 2048;  // longer messages are cut to 2047
constexpr char kBar[] = "=====================================================================";
constexpr int kBarWidth = sizeof(kBar) - 1;  // 69
constexpr int kClearWidth = 88;
const char* const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned kSpinnerFrameCount = sizeof(kSpinnerFrames) / sizeof(kSpinnerFrames[0]);
unsigned g_spinner = 0;

bool OutputIsTerminal() { return isatty(fileno(stdout)) == 1; }

void ClearLine() { printf("\r%*s\r", kClearWidth, " "); }

}  // namespace

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted || !format) return;
  char text[kMessageBuffer];
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (length < 0) return;
  if (level == error) {
    error_message(text);
  } else {
    info_message(text);
  }
}

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
  if (!on && OutputIsTerminal()) ClearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!OutputIsTerminal()) return;
  int width = kBarWidth;
  if (label) width = kBarWidth - int(strlen(label)) - 4;
  if (width < 1) width = 1;
  if (fraction < 0.0) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  const int filled = int(width * fraction);
  const int percent = int(fraction * 100);
  if (label) {
    printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
  } else {
    printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  }
}

void CLI_Display::update_spinner(bool on, const char* label) {
  if (!OutputIsTerminal()) return;
  if (!on) {
    ClearLine();
    return;
  }
  const char* frame = kSpinnerFrames[g_spinner];
  if (label) {
    printf("\r (%s) %s      \r", label, frame);
  } else {
    printf("\r %s      \r", frame);
  }
  g_spinner = (g_spinner + 1) % kSpinnerFrameCount;
}

void CLI_Display::info_message(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }

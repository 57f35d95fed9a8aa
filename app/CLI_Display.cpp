#include "app/CLI_Display.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "app/JsonOutput.h"
#include "log/TerminalText.h"

namespace {

constexpr size_t kMessageBuffer = 2048;
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
  // Most lines fit the stack buffer; a longer one (a device token, say) is
  // formatted again into a buffer of the size the first pass reported.
  char buffer[kMessageBuffer];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  std::string text;
  if (length >= 0 && size_t(length) < sizeof(buffer)) {
    text.assign(buffer, size_t(length));
  } else if (length >= 0) {
    text.resize(size_t(length) + 1);
    vsnprintf(&text[0], text.size(), format, again);
    text.resize(size_t(length));
  }
  va_end(again);
  if (length < 0) return;
  // Lines may carry text from outside: no control byte reaches the
  // terminal, only the line breaks and tabs the messages are made with.
  const std::string shown = EscapeForTerminal(text, LineBreaks::Keep);
  current_format = format;
  if (level == error) {
    if (first_error_kind.empty()) {
      first_error_kind = FailureKindOf(format);
      first_error_text = shown;
    }
    error_message(shown.c_str());
  } else {
    info_message(shown.c_str());
  }
  current_format = nullptr;
}

CLI_Display::CLI_Display(JsonSink* json) : json_(json) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
  lastPercent_ = -1;
  if (json_ != nullptr) return;
  if (!on && OutputIsTerminal()) ClearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (json_ != nullptr) {
    const int percent = ProgressPercent(fraction);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    fprintf(stderr, "%s\n", ProgressObject(module_, label, percent).c_str());
    return;
  }
  if (!OutputIsTerminal()) return;
  // An empty label is no label: it would only draw " () " before the bar.
  if (label && label[0] == '\0') label = nullptr;
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
  if (json_ != nullptr || !OutputIsTerminal()) return;
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

void CLI_Display::info_message(const char* text) {
  fprintf(json_ != nullptr ? stderr : stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text) {
  fprintf(stderr, "%s\n", text);
  if (json_ != nullptr) json_->emit(ErrorObject(module_, FailureKindOf(current_format), text));
}

void CLI_Display::result(const std::string& json) {
  if (json_ != nullptr) json_->emit(nlohmann::ordered_json::parse(json));
}

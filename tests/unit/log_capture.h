// Captures the application's debug log for the length of a test.
#ifndef UPDATER_TEST_LOG_CAPTURE_H
#define UPDATER_TEST_LOG_CAPTURE_H

#include <cstdio>
#include <string>

#include "log/Log.h"

namespace testsupport {

class LogCapture {
 public:
  explicit LogCapture(uint32_t mask) : mask_(mask), file_(std::tmpfile()) {
    previous_ = Log::EnabledPackages();
    Log::SetOutput(file_);
    Log::ActivatePackage(mask_);
  }
  ~LogCapture() {
    Log::DeactivatePackage(~previous_);
    Log::ActivatePackage(previous_);
    Log::SetOutput(stderr);
    if (file_) std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const {
    std::string text;
    if (!file_) return text;
    std::fflush(file_);
    long end = std::ftell(file_);
    std::rewind(file_);
    text.resize(size_t(end > 0 ? end : 0));
    size_t got = std::fread(&text[0], 1, text.size(), file_);
    text.resize(got);
    std::fseek(file_, 0, SEEK_END);
    return text;
  }
  bool Contains(const std::string& piece) const {
    return Text().find(piece) != std::string::npos;
  }

 private:
  uint32_t mask_;
  uint32_t previous_ = 0;
  FILE* file_;
};

}  // namespace testsupport

#endif

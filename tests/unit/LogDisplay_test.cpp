#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include "app/CLI_Display.h"
#include "log/Log.h"
#include "tests/unit/RecordingDisplay.h"

namespace {

std::string ReadAll(FILE* file) {
  fflush(file);
  rewind(file);
  std::string text;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, count);
  return text;
}

// Points standard output at another descriptor for the life of the object.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);
    dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

std::string Drain(int fd) {
  std::string text;
  char buffer[1024];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, size_t(count));
  return text;
}

// What the display draws with standard output on a pseudo-terminal.
template <typename Draw>
std::string DrawOnTerminal(Draw draw) {
  int master = -1, slave = -1;
  EXPECT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
  {
    StdoutRedirect redirect(slave);
    CLI_Display display;
    draw(display);
  }
  close(slave);
  fcntl(master, F_SETFL, O_NONBLOCK);
  std::string text = Drain(master);
  close(master);
  return text;
}

template <typename Draw>
std::string DrawOnPipe(Draw draw) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  {
    StdoutRedirect redirect(fds[1]);
    CLI_Display display;
    draw(display);
  }
  close(fds[1]);
  std::string text = Drain(fds[0]);
  close(fds[0]);
  return text;
}

const std::string kFullBar(69, '=');

}  // namespace

TEST(Log, MaskFiltersAndZeroAlwaysWrites) {
  FILE* out = tmpfile();
  Log::SetOutput(out);
  Log::log(DEBUG_Updater, "hidden\n");
  Log::log(0, "always %d\n", 1);
  Log::ActivatePackage(DEBUG_Updater | DEBUG_APP);
  Log::log(DEBUG_APP, "app\n");
  Log::log(DEBUG_BirdFile, "bird\n");
  Log::DeactivatePackage(DEBUG_APP);
  Log::log(DEBUG_APP, "app again\n");
  Log::log(DEBUG_Updater | DEBUG_BirdFile, "any bit\n");
  Log::DeactivatePackage(0xFFFFFFFFu);
  EXPECT_EQ("always 1\napp\nany bit\n", ReadAll(out));
  Log::SetOutput(nullptr);
  Log::log(0, "nowhere\n");
  fclose(out);
}

TEST(Log, LongLinesAreCutAt2047) {
  FILE* out = tmpfile();
  Log::SetOutput(out);
  Log::log(0, "%s", std::string(5000, 'x').c_str());
  EXPECT_EQ(std::string(2047, 'x'), ReadAll(out));
  Log::SetOutput(nullptr);
  fclose(out);
}

TEST(Display, MessagesRouteByLevelAndAreNeverCut) {
  RecordingDisplay display;
  display.message(UpdaterDisplayInterface::info, "build %d", 7);
  display.message(UpdaterDisplayInterface::error, "failed %s", "here");
  // A device token for a module with many features runs past 2 KiB.
  const std::string token = "eyJ" + std::string(70000, 'y') + ".sig";
  display.message(UpdaterDisplayInterface::info, "%s", token.c_str());
  display.message(UpdaterDisplayInterface::error, "[%s]", std::string(2047, 'z').c_str());
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::error, "muted");
  display.mute_messages(false);
  ASSERT_EQ(2u, display.infos.size());
  EXPECT_EQ("build 7", display.infos[0]);
  EXPECT_EQ(token, display.infos[1]);
  ASSERT_EQ(2u, display.errors.size());
  EXPECT_EQ("failed here", display.errors[0]);
  EXPECT_EQ("[" + std::string(2047, 'z') + "]", display.errors[1]);
}

// Whatever a message carries from outside, no control byte reaches the
// terminal; line breaks and tabs of the message itself stay.
TEST(Display, ControlBytesInMessagesAreShownEscaped) {
  const struct {
    const char* raw;
    const char* shown;
  } kCases[] = {
      {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},          // clear the screen
      {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},    // retitle the window
      {"a\rb\bc\x7f", "a\\x0db\\x08c\\x7f"},
      {"\xc2\x9b" "2J \x9b", "\\xc2\\x9b" "2J \\x9b"},  // C1 CSI, UTF-8 and raw
      {"\xed\xa0\x80 \xc0\xaf \xe2\x82", "\\xed\\xa0\\x80 \\xc0\\xaf \\xe2\\x82"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"two\nlines\tand C:\\dir", "two\nlines\tand C:\\dir"},
  };
  for (const auto& c : kCases) {
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::info, "%s", c.raw);
    display.message(UpdaterDisplayInterface::error, "%s", c.raw);
    EXPECT_EQ(c.shown, display.infos.at(0)) << c.raw;
    EXPECT_EQ(c.shown, display.errors.at(0)) << c.raw;
  }
}

TEST(Display, EscapedTextOnTheConsoleLeavesProgressAlone) {
  const std::string text = DrawOnTerminal([](CLI_Display& d) {
    d.update_spinner(true, nullptr);
    d.message(UpdaterDisplayInterface::info, "v\x1b[31m");
    d.update_progress(1.0, nullptr);
  });
  EXPECT_EQ(std::string::npos, text.find('\x1b'));
  const std::string line = "\rv\\x1b[31m\r\n";  // the terminal turns "\n" into "\r\n"
  ASSERT_NE(std::string::npos, text.find(line)) << text;
  EXPECT_EQ(text.substr(text.find(line) + line.size()), "\r[" + kFullBar + "> ] (100% ) ");
}

TEST(Display, ProgressBarOnTerminalAtFullAndNearlyFull) {
  const std::string full = DrawOnTerminal([](CLI_Display& d) { d.update_progress(1.0, nullptr); });
  EXPECT_EQ("\r[" + kFullBar + "> ] (100% ) ", full);

  const std::string nearly =
      DrawOnTerminal([](CLI_Display& d) { d.update_progress(0.99, nullptr); });
  EXPECT_EQ("\r[" + std::string(68, '=') + ">] ( 99% ) ", nearly);

  const std::string labelled =
      DrawOnTerminal([](CLI_Display& d) { d.update_progress(0.5, "Loader"); });
  // Width 69 - 6 - 4 = 59, of which 29 filled.
  EXPECT_EQ("\r (Loader) [" + std::string(29, '=') + ">" + std::string(29, ' ') + "] ( 50% ) ",
            labelled);

  // An empty label draws the bar as no label does, without " () ".
  const std::string empty = DrawOnTerminal([](CLI_Display& d) { d.update_progress(1.0, ""); });
  EXPECT_EQ(full, empty);
}

TEST(Display, SpinnerCyclesAndClears) {
  const std::string spun = DrawOnTerminal([](CLI_Display& d) {
    d.update_spinner(false, nullptr);  // also resets nothing: just clears
    for (int i = 0; i < 9; ++i) d.update_spinner(true, i == 0 ? "Downloading" : nullptr);
    d.display_progress(false);
  });
  const std::string clear = "\r" + std::string(88, ' ') + "\r";
  EXPECT_EQ(0u, spun.find(clear));
  EXPECT_NE(std::string::npos, spun.find(" (Downloading) ")) << spun;
  EXPECT_NE(std::string::npos, spun.find("\r .....      \r"));
  EXPECT_EQ(spun.size() - clear.size(), spun.rfind(clear));
}

TEST(Display, NothingDrawnOnAPipeButMessagesStillAppear) {
  const std::string text = DrawOnPipe([](CLI_Display& d) {
    d.display_progress(true);
    d.update_progress(0.5, nullptr);
    d.update_spinner(true, "x");
    d.update_spinner(false, nullptr);
    d.display_progress(false);
    d.message(UpdaterDisplayInterface::info, "plain line");
  });
  EXPECT_EQ("plain line\n", text);
}

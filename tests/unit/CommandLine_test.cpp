#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "log/Log.h"
#include "tests/unit/RecordingDisplay.h"

namespace {

// Runs the parser over "Updater" followed by args.
struct Parsed {
  int result = -1;
  Parameters params;
  RecordingDisplay display;
};

void Parse(Parsed& parsed, std::initializer_list<const char*> args) {
  std::vector<std::string> storage{"/usr/local/bin/Updater"};
  for (const char* arg : args) storage.push_back(arg);
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  parsed.result = _get_params(parsed.display, int(storage.size()), argv.data(), parsed.params);
}

class CommandLine : public ::testing::Test {
 protected:
  void TearDown() override { Log::DeactivatePackage(0xFFFFFFFFu); }
};

}  // namespace

TEST(ArgumentConversion, HexAndDecimalWithSaturation) {
  EXPECT_EQ(0x40F5849Au, _get_hex_arg("40F5849A", nullptr));
  EXPECT_EQ(0xabcdefu, _get_hex_arg("abcdef", nullptr));
  EXPECT_EQ(0u, _get_hex_arg("", nullptr));
  EXPECT_EQ(0u, _get_hex_arg("12G4", nullptr));
  EXPECT_EQ(0u, _get_hex_arg("0x12", nullptr));
  EXPECT_EQ(0xFFFFFFFFu, _get_hex_arg("123456789ABCDEF", nullptr));
  EXPECT_EQ(1234u, _get_int_arg("1234", nullptr));
  EXPECT_EQ(0u, _get_int_arg("12a", nullptr));
  EXPECT_EQ(0u, _get_int_arg("-5", nullptr));
  EXPECT_EQ(0xFFFFFFFFu, _get_int_arg("99999999999999999999", nullptr));
  const char* text = "FF";
  const char* end = nullptr;
  _get_hex_arg(text, &end);
  EXPECT_EQ(text + 2, end);
}

TEST_F(CommandLine, DefaultsAndProgramName) {
  Parsed p;
  Parse(p, {});
  EXPECT_EQ(0, p.result);
  EXPECT_EQ("Updater", p.params.programName);
  EXPECT_EQ(0u, p.params.commands.Mask());
  EXPECT_EQ(USB, p.params.transport);
  EXPECT_FALSE(p.params.transportGiven);
  EXPECT_EQ(115200u, p.params.baudRate);
  EXPECT_TRUE(p.params.ueiBytesLoad);
  EXPECT_EQ(std::string(UPDATER_DEFAULT_SERVER_URL), p.params.serverURL);
  EXPECT_NE(std::string::npos, p.params.serverURL.find("/cgi/u"));
  EXPECT_EQ("a+", p.params.logMode);
  EXPECT_EQ("Updater.log", p.params.logFile);
  EXPECT_FALSE(p.params.homeDir.empty());
}

TEST_F(CommandLine, SerialNumbersWithAndWithoutPrefix) {
  Parsed plain, prefixed, upper, attached;
  Parse(plain, {"-d", "40F5849A"});
  Parse(prefixed, {"-d", "0x40F5849A"});
  Parse(upper, {"-d", "0X40f5849a"});
  Parse(attached, {"-d=40F5849A", "-r=0xD272031D"});
  for (Parsed* p : {&plain, &prefixed, &upper, &attached}) {
    EXPECT_EQ(0, p->result);
    EXPECT_EQ(0x40F5849Au, p->params.serialNumber);
  }
  EXPECT_EQ(0xD272031Du, attached.params.routerSerialNumber);
}

TEST_F(CommandLine, InvalidSerialNumbersFail) {
  Parsed bad;
  Parse(bad, {"-d", "0x40G5849A"});
  EXPECT_EQ(1, bad.result);
  ASSERT_EQ(1u, bad.display.errors.size());
  EXPECT_EQ("Invalid serial number obtained from argument [40G5849A]", bad.display.errors[0]);

  Parsed zero;
  Parse(zero, {"-r", "0"});
  EXPECT_EQ(1, zero.result);
  EXPECT_EQ("Invalid router serial number obtained from argument [0]", zero.display.errors[0]);
}

TEST_F(CommandLine, Transports) {
  const struct {
    const char* value;
    linkType expected;
  } cases[] = {{"USB", USB}, {"TCP", TCPIP}, {"TCPIP", TCPIP}, {"RECOVER", RECOVER},
               {"USBX", USB}};
  for (const auto& c : cases) {
    Parsed p;
    Parse(p, {"-t", c.value});
    EXPECT_EQ(0, p.result) << c.value;
    EXPECT_EQ(c.expected, p.params.transport) << c.value;
    EXPECT_TRUE(p.params.transportGiven);
  }
  for (const char* value : {"usb", "SERIAL", "TC"}) {
    Parsed p;
    Parse(p, {"-t", value});
    EXPECT_EQ(1, p.result) << value;
    EXPECT_EQ(INVALID, p.params.transport);
    ASSERT_EQ(1u, p.display.errors.size());
    EXPECT_EQ(std::string("Invalid transport type:[") + value +
                  "]\nMust be one of the following: USB, TCPIP, RECOVER",
              p.display.errors[0]);
  }
}

TEST_F(CommandLine, UnknownOptionsAreNamedAndMissingValuesSkipped) {
  Parsed p;
  Parse(p, {"-B", "--frobnicate", "-q", "stray", "-GU", "-OVERIDE", "-d"});
  EXPECT_EQ(0, p.result);
  EXPECT_EQ((std::vector<std::string>{"Unknown option: [--frobnicate]", "Unknown option: [-q]",
                                      "Unknown option: [-GU]", "Unknown option: [-OVERIDE]"}),
            p.display.errors);
  EXPECT_EQ(4u, p.params.unknownOptions);
  EXPECT_EQ(uint32_t(CMD_LIST_BUILDS), p.params.commands.Mask());  // -GU is not -G -U
  EXPECT_FALSE(p.params.override);
  EXPECT_EQ(0u, p.params.serialNumber);

  Parsed dash;
  Parse(dash, {"-d", "-G", "-b=-5", "-n=1"});
  EXPECT_EQ(0, dash.result);
  EXPECT_TRUE(dash.display.errors.empty());
  EXPECT_EQ(0u, dash.params.unknownOptions);
  EXPECT_EQ(0u, dash.params.serialNumber);
  EXPECT_TRUE(dash.params.commands.IsSet(CMD_GET_FIRMWARE));  // not eaten as -d's value
  EXPECT_TRUE(dash.params.build.empty());
  EXPECT_FALSE(dash.params.flagN);
}

TEST_F(CommandLine, AbbreviationsAndCase) {
  Parsed over;
  Parse(over, {"-OVER"});
  EXPECT_TRUE(over.params.override);

  Parsed help;
  Parse(help, {"--he"});
  EXPECT_TRUE(help.params.helpRequested);

  Parsed lower;
  Parse(lower, {"-override", "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_FALSE(lower.params.override);
  EXPECT_EQ("http://127.0.0.1:1/cgi/u", lower.params.serverURL);
}

TEST_F(CommandLine, HelpEndsTheParse) {
  Parsed p;
  Parse(p, {"-h", "-X", "3", "-t", "BOGUS"});
  EXPECT_EQ(0, p.result);
  EXPECT_TRUE(p.params.helpRequested);
  EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP));
  EXPECT_FALSE(p.params.debugMaskGiven);
  EXPECT_TRUE(p.display.errors.empty());
}

TEST_F(CommandLine, UnhandledCommandFailsButParsingGoesOn) {
  Parsed p;
  Parse(p, {"-Y", "-d", "12"});
  EXPECT_EQ(1, p.result);
  EXPECT_EQ("Unhandled command: [-Y]", p.display.errors.at(0));
  EXPECT_EQ(0x12u, p.params.serialNumber);
}

TEST_F(CommandLine, ValuesOfParameters) {
  Parsed p;
  Parse(p, {"-b", "99528558", "-o", "9600", "-m", "0", "-s", "/dev/ttyS1", "-f", "a.bird",
            "-i", "/tmp/store", "-l", "msg", "-k", "x.log", "-e", "-n", "-Z", "7", "-C", "-I",
            "-J", "-L", "-N", "-D", "-U", "-G", "-B"});
  EXPECT_EQ(0, p.result);
  EXPECT_EQ("99528558", p.params.build);
  EXPECT_EQ(9600u, p.params.baudRate);
  EXPECT_FALSE(p.params.ueiBytesLoad);
  EXPECT_EQ("/dev/ttyS1", p.params.serialPort);
  EXPECT_EQ("a.bird", p.params.birdFile);
  EXPECT_EQ("/tmp/store", p.params.storageDir);
  EXPECT_EQ("msg", p.params.logMessage);
  EXPECT_EQ("x.log", p.params.logFile);
  EXPECT_TRUE(p.params.echo);
  EXPECT_TRUE(p.params.flagN);
  EXPECT_EQ(0x000003FFu, p.params.commands.Mask());

  Parsed words;
  Parse(words, {"-o", "fast", "-m", "true"});
  EXPECT_EQ(0u, words.params.baudRate);
  EXPECT_TRUE(words.params.ueiBytesLoad);

  // A build must be a decimal number of 32 bits, as a serial number must
  // be hexadecimal: anything else fails the parse instead of meaning the
  // latest build.
  for (const char* value : {"abc", "12x", "+5", " 7", "4294967296", "0x10"}) {
    Parsed bad;
    Parse(bad, {"-U", "-d", "40F5849A", "-b", value});
    EXPECT_EQ(1, bad.result) << value;
    EXPECT_EQ(std::vector<std::string>{"Invalid build number obtained from argument [" +
                                       std::string(value) + "]"},
              bad.display.errors);
  }
  Parsed padded;
  Parse(padded, {"-b", "0012"});
  EXPECT_EQ(0, padded.result);
  EXPECT_EQ("12", padded.params.build);

  for (const char* value : {"1", "10", "true", "trueish"}) {
    Parsed m;
    Parse(m, {"-m", value});
    EXPECT_TRUE(m.params.ueiBytesLoad) << value;
  }
  for (const char* value : {"0", "yes", "TRUE", "no"}) {
    Parsed m;
    Parse(m, {"-m", value});
    EXPECT_FALSE(m.params.ueiBytesLoad) << value;
  }
}

TEST_F(CommandLine, DebugMaskDecimalHexAndLeftovers) {
  Parsed hex;
  Parse(hex, {"-X", "0x10001"});
  EXPECT_EQ(0x10001u, hex.params.debugMask);
  EXPECT_TRUE(hex.params.debugMaskGiven);
  EXPECT_EQ(0x10001u, Log::EnabledPackages());
  Log::DeactivatePackage(0xFFFFFFFFu);

  Parsed dec;
  Parse(dec, {"-X", "17"});
  EXPECT_EQ(17u, dec.params.debugMask);
  Log::DeactivatePackage(0xFFFFFFFFu);

  Parsed bad;
  Parse(bad, {"-X", "12zz"});
  EXPECT_EQ(0, bad.result);
  EXPECT_TRUE(bad.params.debugMaskGiven);
  EXPECT_EQ(0u, Log::EnabledPackages());
  EXPECT_EQ("Invalid format for \"-X\" parameter, unprocessed characters [zz]",
            bad.display.errors.at(0));
}

// -u takes a host, host:port or a whole http(s) URL; the bare forms are
// made into the server's request path.
TEST_F(CommandLine, ServerAddressForms) {
  const struct {
    const char* given;
    const char* url;
  } kAccepted[] = {
      {"127.0.0.1:8080", "http://127.0.0.1:8080/cgi/u"},
      {"127.0.0.1", "http://127.0.0.1/cgi/u"},
      {"127.0.0.1:80", "http://127.0.0.1/cgi/u"},
      {"updates.example-lab.org:8443", "http://updates.example-lab.org:8443/cgi/u"},
      {"[::1]:9000", "http://[::1]:9000/cgi/u"},
      {"[::1]", "http://[::1]/cgi/u"},
      {"http://127.0.0.1:1/cgi/u", "http://127.0.0.1:1/cgi/u"},
      {"https://10.0.0.2/other/path?x=1", "https://10.0.0.2/other/path?x=1"},
      {"HTTP://127.0.0.1", "HTTP://127.0.0.1"},
  };
  for (const auto& c : kAccepted) {
    Parsed p;
    Parse(p, {"-B", "-u", c.given});
    EXPECT_EQ(0, p.result) << c.given;
    EXPECT_TRUE(p.display.errors.empty()) << c.given;
    EXPECT_EQ(c.url, p.params.serverURL) << c.given;
  }
  for (const char* given : {"ftp://127.0.0.1/", "http://", "https:///cgi/u", "127.0.0.1:",
                            "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:80x", "host/cgi/u",
                            "bad host", "[::1", "[]:80", "::1", "127.0.0.1:8080:1",
                            "http://127.0.0.1/a b", ":8080"}) {
    Parsed p;
    Parse(p, {"-B", "-u", given});
    EXPECT_EQ(1, p.result) << given;
    EXPECT_EQ(std::string("Invalid update server [") + given +
                  "]: give host, host:port or an http:// or https:// URL",
              p.display.errors.at(0));
  }
}

// Texts from the server and from packages are single fields: no control
// byte, not even a line break, gets through.
TEST(PrintedFormats, OutsideTextIsShownEscaped) {
  RecordingDisplay display;
  _display_builds(display, 0x40F5849A,
                  {{"1300", "2.11.5\x1b[2J"}, {"13\n01", "1.0\x1b]0;x\x07"}});
  _display_jwt(display, "eyJ.e30.\x1b[H\x1b[2Jsig\r\n");
  ASSERT_EQ(5u, display.infos.size());
  EXPECT_EQ("1300           \t2.11.5\\x1b[2J  ", display.infos[2]);
  EXPECT_EQ("13\\x0a01       \t1.0\\x1b]0;x\\x07", display.infos[3]);
  EXPECT_EQ("eyJ.e30.\\x1b[H\\x1b[2Jsig\\x0d\\x0a", display.infos[4]);
}

TEST_F(CommandLine, DryRunIsASwitchThatTakesNoValue) {
  struct Case {
    std::initializer_list<const char*> args;
    bool dryRun;
    uint32_t serial;
  };
  const Case cases[] = {
      {{"-U", "-d", "40F5849A", "--dry-run"}, true, 0x40F5849A},
      {{"--dry-run", "-U", "-d", "40F5849A"}, true, 0x40F5849A},
      {{"-U", "--dry", "-d", "40F5849A"}, true, 0x40F5849A},  // an abbreviation
      {{"-U", "-d", "40F5849A", "--dry-run=yes"}, false, 0x40F5849A},  // no value taken
      {{"-U", "-d", "40F5849A"}, false, 0x40F5849A},
  };
  for (const Case& c : cases) {
    Parsed p;
    Parse(p, c.args);
    EXPECT_EQ(0, p.result);
    EXPECT_EQ(c.dryRun, p.params.dryRun) << *c.args.begin();
    EXPECT_EQ(c.serial, p.params.serialNumber);
  }
}

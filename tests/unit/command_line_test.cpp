#include "settings/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

namespace {

class CommandLine : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.programName = "qelvo";
  }
  void TearDown() override {
    if (settings.outputFile != nullptr) {
      fclose(settings.outputFile);
    }
    resetSettings();
  }
  // Parses `args` (without the program name) in this process.
  void parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qelvo");
    storage_ = args;
    argv_.clear();
    for (std::string &arg : storage_) {
      argv_.push_back(arg.data());
    }
    argv_.push_back(nullptr);
    readCommandLine(static_cast<int>(storage_.size()), argv_.data());
  }
  // Parses in a child process, for the paths that end the process.
  ProcessResult parseInChild(const std::vector<std::string> &args) {
    return runInChild([&] { parse(args); });
  }
  TempDir dir_;
  std::string out_ = dir_.file("out.dat");

private:
  std::vector<std::string> storage_;
  std::vector<char *> argv_;
};

const char HELP_TEXT[] =
    "qelvo: Ver:0.2(Built:Sep 14 2000/10:40:32)\n"
    "Usage: qelvo -c <ch> -t <time> -y <V/div> -Y <Y0> -p <probe> -b <baud> -s <ser> <file>\n"
    "\t<ch>:    Channel 1, 2, 0: as selected at the oscilloscope\n"
    "\t<time>:  Time per div in s (eg. 1e-3, 1m, 1ms = 1 ms/div)\n"
    "\t<V/div>: Volts per div     (eg. 1e-3, 1m, 1mV = 1 mV/div)\n"
    "\t<Y0>:    Y offset in div\n"
    "\t<probe>: probe (eg. 10 = 1:10)\n"
    "\t<baud>:  baudrate (default 38400) \n"
    "\t<ser>:   serial device (default /dev/ttyS0\n"
    "\t<file>:  name of the output file\n";

// What --help adds after the usage text, one line per entry of the option
// table; failed runs show the usage text only.
std::string longOptionHelp() {
  std::string block = "Long options:\n";
  for (const LongOption &entry : longOptions()) {
    std::string label = std::string("--") + entry.name +
                        (entry.placeholder != nullptr ? std::string("=<") + entry.placeholder + ">"
                                                      : std::string()) +
                        ":";
    label.resize(std::max<size_t>(label.size(), 20), ' ');
    block += "\t" + label + " " + entry.help + "\n";
  }
  return block;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

} // namespace

TEST(PrefixFactor, EveryLetterOfTheTable) {
  struct Row {
    const char *text;
    double factor;
  } rows[] = {
      {"Y", 1e24},
      {"Z", 1e21},
      {"E", 1e18},
      {"P", 1e15},
      {"T", 1e12},
      {"G", 1e9},
      {"M", 1e6},
      {"k", 1e3},
      {"m", 1e-3},
      {"u", 1e-6},
      {"\xB5", 1e-6},
      {"n", 1e-9},
      {"p", 1e-12},
      {"f", 1e-15},
      {"a", 1e-18},
      {"z", 1e-21},
      {"y", 1e-24},
      {"", 1.0},
      {"K", 1.0},
      {"x", 1.0},
      {" m", 1.0},
      {"mV", 1e-3},
      {"ms", 1e-3},
      {"U", 1.0},
      // As a UTF-8 terminal types the micro sign and the Greek mu.
      {"\xC2\xB5", 1e-6},
      {"\xCE\xBCV", 1e-6},
      {"\xC2", 1.0},
      {"\xC2m", 1.0},
      {"\xCE\xB5", 1.0},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(prefixFactor(row.text), row.factor) << "text '" << row.text << "'";
  }
  EXPECT_EQ(prefixFactor(nullptr), 1.0);
}

// The help shows the values a run starts with: the long options' lines are
// written from the record's constants, the classic usage block is literal.
TEST(CommandLineHelp, ShowsTheValuesTheRecordStartsWith) {
  struct Row {
    const char *name;
    const char *help;
  } rows[] = {
      {"flow", "handshake on the line: rtscts (default) or none"},
      {"format", "data file format: tsv (default), csv or sr"},
      {"separator", "CSV separator: , (default) or ;"},
  };
  for (const Row &row : rows) {
    auto entry =
        std::find_if(longOptions().begin(), longOptions().end(), [&](const LongOption &option) {
          return row.name == std::string(option.name);
        });
    ASSERT_NE(entry, longOptions().end()) << row.name;
    EXPECT_STREQ(entry->help, row.help) << row.name;
  }
  const Settings defaults;
  EXPECT_STREQ(defaults.flow, "rtscts");
  EXPECT_EQ(defaults.format, FORMAT_TSV);
  EXPECT_EQ(defaults.separator, ',');
  EXPECT_NE(std::string(HELP_TEXT).find("(default " + std::string(defaults.device) + "\n"),
            std::string::npos);
  EXPECT_NE(std::string(HELP_TEXT).find("(default " + std::to_string(defaults.baudRate) + ")"),
            std::string::npos);
}

TEST_F(CommandLine, ScaledValuesAreRoundedOnceFromExtendedPrecision) {
  parse({"-t", "1m", "-y", "500u", out_});
  EXPECT_EQ(settings.timePerDiv, 0.001);
  EXPECT_EQ(settings.voltsPerDiv, 0.0005);
  parse({"-y", "500\xB5", "-t", "1e-3", out_});
  EXPECT_EQ(settings.voltsPerDiv, 0.0005);
  EXPECT_EQ(settings.timePerDiv, 0.001);
  parse({"-y", "500\xC2\xB5", "-t", "1\xCE\xBCs", out_});
  EXPECT_EQ(settings.voltsPerDiv, 0.0005);
  EXPECT_EQ(settings.timePerDiv, 1e-6);
  parse({"-y", "2K", "-t", "1 m", out_});
  EXPECT_EQ(settings.voltsPerDiv, 2.0);
  EXPECT_EQ(settings.timePerDiv, 1.0);
  parse({"-y", "1M", "-t", "1mV", out_});
  EXPECT_EQ(settings.voltsPerDiv, 1e6);
  EXPECT_EQ(settings.timePerDiv, 0.001);
}

TEST_F(CommandLine, LeadingEqualsSignIsSkipped) {
  parse({"-t=1m", "-c=2", "-s=/dev/ttyUSB1", "-b", "=9600", out_});
  EXPECT_EQ(settings.timePerDiv, 0.001);
  EXPECT_EQ(settings.channel, 2);
  EXPECT_STREQ(settings.device, "/dev/ttyUSB1");
  EXPECT_EQ(settings.baudRate, 9600);
}

TEST_F(CommandLine, EveryOptionReachesItsField) {
  parse({"-c", "1", "-Y", "1m", "-p", "10", "-b", "115200", "-s", "/dev/ttyS3 ", out_});
  EXPECT_EQ(settings.channel, 1);
  EXPECT_EQ(settings.yZero, 1.0); // no prefixes for -Y
  EXPECT_EQ(settings.probeFactor, 10.0);
  EXPECT_EQ(settings.baudRate, 115200);
  EXPECT_STREQ(settings.device, "/dev/ttyS3");
  ASSERT_NE(settings.outputFile, nullptr);
  parse({"-c", "x", "-c", "7", out_});
  EXPECT_EQ(settings.channel, 7);
  parse({"-c", "x", out_});
  EXPECT_EQ(settings.channel, 0);
  parse({"-c", "010", "-b", "09600", out_}); // decimal, leading zeros or not
  EXPECT_EQ(settings.channel, 10);
  EXPECT_EQ(settings.baudRate, 9600);
}

TEST_F(CommandLine, ValuesAreKeptAsTypedForTheCheck) {
  parse({out_});
  EXPECT_EQ(settings.timeText, nullptr);
  EXPECT_EQ(settings.gainText, nullptr);
  EXPECT_EQ(settings.yZeroText, nullptr);
  EXPECT_EQ(settings.probeText, nullptr);
  parse({"-t=0,5m", "-y", "abc", "-Y1,5", "-p", "=2", "-t", "x" + std::string("1"), out_});
  EXPECT_STREQ(settings.timeText, "x1") << "the last -t counts";
  EXPECT_EQ(settings.timePerDiv, 0.0);
  EXPECT_STREQ(settings.gainText, "abc");
  EXPECT_STREQ(settings.yZeroText, "1,5");
  EXPECT_EQ(settings.yZero, 1.0);
  EXPECT_STREQ(settings.probeText, "2");
  EXPECT_TRUE(hasDecimalComma("0,5m"));
  EXPECT_TRUE(hasDecimalComma("1,x,5"));
  EXPECT_FALSE(hasDecimalComma("1,m"));
  EXPECT_FALSE(hasDecimalComma("1,"));
  EXPECT_FALSE(hasDecimalComma(nullptr));
}

TEST_F(CommandLine, FlowOptionIsStoredAsGivenForTheCheck) {
  struct Row {
    std::vector<std::string> args;
    const char *flow;
  } rows[] = {
      {{out_}, "rtscts"},
      {{"--flow=none", out_}, "none"},
      {{"--flow", "none", out_}, "none"},
      {{"--flo=rtscts", out_}, "rtscts"},
      {{out_, "--flow=none", "--flow=rtscts"}, "rtscts"},
      {{"--flow=xon", "-c", "2", out_}, "xon"},
  };
  for (const Row &row : rows) {
    resetSettings();
    parse(row.args);
    EXPECT_STREQ(settings.flow, row.flow) << row.args[0];
    ASSERT_NE(settings.outputFile, nullptr);
    fclose(settings.outputFile);
    settings.outputFile = nullptr;
  }
  EXPECT_EQ(flowControlOf("none"), FLOW_NONE);
  EXPECT_EQ(flowControlOf("rtscts"), FLOW_RTSCTS);
  EXPECT_EQ(flowControlOf("rts"), FLOW_UNKNOWN);
}

TEST_F(CommandLine, OptionsAfterTheFileAndRepeatedOptions) {
  parse({out_, "-c", "1", "-c", "2", "-t", "5", "-t", "2m"});
  EXPECT_EQ(settings.channel, 2);
  EXPECT_EQ(settings.timePerDiv, 0.002);
  ASSERT_NE(settings.outputFile, nullptr);
}

TEST_F(CommandLine, HugeIntegersSaturateInsteadOfWrapping) {
  parse({"-c", "4294967297", "-b", "4295005696", out_});
  EXPECT_EQ(settings.channel, 2147483647);
  EXPECT_EQ(settings.baudRate, 2147483647);
  parse({"-c", "-4294967295", out_});
  EXPECT_EQ(settings.channel, INT32_MIN);
}

TEST_F(CommandLine, UnknownOptionAndMissingArgumentAreReportedAndSkipped) {
  ProcessResult r = runInChild([&] {
    parse({"-x", "-c", "1", out_});
    exit(std::filesystem::exists(out_) ? 0 : 9);
  });
  EXPECT_EQ(r.exitStatus, 0) << "the file is opened all the same";
  EXPECT_NE(r.err.find("*** error: invalid command line argumend '?' (63)***\n"), std::string::npos)
      << r.err;

  for (const char *last : {"-t", "--flow"}) {
    r = parseInChild({"-c", "1", last});
    EXPECT_EQ(r.exitStatus, 4) << last;
    std::string expected =
        std::string("*** error: invalid command line argumend '?' (63)***\n") + HELP_TEXT;
    ASSERT_GE(r.err.size(), expected.size()) << last;
    EXPECT_EQ(r.err.substr(r.err.size() - expected.size()), expected) << last;
  }
}

TEST(CloseLongOption, NamesTheOnlyOptionOneEditAway) {
  struct Row {
    const char *word;
    const char *meant; // nullptr: no suggestion
  } rows[] = {
      {"--chanels=1,2", "channels"}, // a letter dropped
      {"--channelss", "channels"},   // added
      {"--prabe=10", "probe"},       // changed
      {"--fromat=csv", "format"},    // two neighbours swapped
      {"--flwo", "flow"},
      {"--cont=3", "count"},
      {"--intervla=1", "interval"},
      {"--fromta=csv", nullptr}, // two edits
      {"--cahnenls", nullptr},
      {"--hepl=flow", "help"}, // the value is no part of the name
      {"--xflow", "flow"},
      {"--verbose", nullptr},
      {"--=x", nullptr},
      {"--", nullptr},
      {"-flow", nullptr},
  };
  for (const Row &row : rows) {
    const char *meant = closeLongOption(row.word);
    EXPECT_STREQ(meant, row.meant) << row.word;
  }
  // One edit from two names: neither is named.
  const LongOption twins[] = {{"gain", no_argument, nullptr, "", OPTION_GAIN},
                              {"rain", no_argument, nullptr, "", OPTION_GAIN}};
  EXPECT_EQ(closeLongOption("--fain", twins), nullptr);
  EXPECT_STREQ(closeLongOption("--gainn", twins), "gain");
}

// The check names them, so neither getopt nor the parser says a word; a
// short option's mistakes around them are still told.
TEST_F(CommandLine, UnknownLongOptionsAreKeptSilentlyForTheCheck) {
  ProcessResult r = runInChild([&] {
    parse({"--flwo=none", "-c", "2", "--=x", out_, "--flow=none", "--verbose"});
    for (const char *word : settings.unknownOptions) {
      printf("%s ", word);
    }
    printf("%d %s", settings.channel, settings.flow);
  });
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "--flwo=none --=x --verbose 2 none");
  EXPECT_EQ(r.err, "");

  r = runInChild([&] { parse({"--flwo", "-x", out_}); });
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_FALSE(contains(r.err, "flwo")) << r.err;
  EXPECT_TRUE(contains(r.err, "*** error: invalid command line argumend '?' (63)***\n")) << r.err;
  EXPECT_EQ(r.err.find("*** error"), r.err.rfind("*** error")) << "one warning, for -x";
}

// The look before the parse and the parse agree on where the operand is, and
// the parse's answer for --help and --version is never an operand index.
TEST_F(CommandLine, OperandIndexAndInfoRequestsApart) {
  struct Row {
    std::vector<std::string> args;
    int result;
    bool dash;
  } rows[] = {
      {{"-c", "1", "f"}, 3, false},
      {{"f", "-c", "1"}, 3, false},
      {{"-", "-c", "1"}, 3, true},
      {{"-s", "-", "f"}, 3, false},
      {{"--", "-"}, 2, true},
      {{"-c", "1"}, 3, false},
      {{"--ports", "f"}, 2, false},
      {{"--help", "-"}, OPTIONS_WANT_HELP, true},
      {{"--version", "--help", "f"}, OPTIONS_WANT_VERSION, false},
      {{"f", "--he", "--version"}, OPTIONS_WANT_HELP, false},
      {{"--", "--help"}, 2, false},
  };
  for (const Row &row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), "qelvo");
    std::vector<char *> argv;
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    settings = Settings{};
    EXPECT_EQ(scanCommandLine(argc, argv.data()).dashOperand, row.dash) << row.args[0];
    int result = parseOptions(argc, argv.data());
    EXPECT_EQ(result, row.result) << row.args[0];
    EXPECT_EQ(isInfoRequest(result), row.result < 0) << row.args[0];
  }
}

TEST_F(CommandLine, NoFileNamedPrintsHelpAndExits4) {
  ProcessResult r = parseInChild({"-c", "1"});
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(r.err, HELP_TEXT);
  EXPECT_EQ(r.out, "");
}

TEST_F(CommandLine, MoreThanOneFileNamedOpensNoneAndExits4) {
  ProcessResult r = runInChild([&] {
    if (chdir(dir_.path().c_str()) != 0) {
      exit(9);
    }
    parse({"a.dat", "-c", "1", "b.dat", "c.dat"});
  });
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(r.err,
            std::string("*** Error: more than one file named ('a.dat', 'b.dat', 'c.dat') ***\n") +
                HELP_TEXT);
  for (const char *name : {"a.dat", "b.dat", "c.dat"}) {
    EXPECT_FALSE(std::filesystem::exists(dir_.file(name))) << name;
  }
}

TEST_F(CommandLine, UncreatableFileExits5WithItsName) {
  std::string bad = dir_.file("missing-dir/x.dat");
  ProcessResult r = parseInChild({"-t", "1m", bad});
  EXPECT_EQ(r.exitStatus, 5);
  EXPECT_EQ(r.err, "*** Error: Cannot open output file '" + bad + "' ***\n");
}

// The file is opened untouched (whole runs show what happens to it later);
// the exit hook removes only the file this run created, not one put in its
// place.
TEST_F(CommandLine, OutputFileIsOpenedUntouched) {
  writeFile(out_, "old contents\n");
  parse({out_});
  ASSERT_NE(settings.outputFile, nullptr);
  EXPECT_EQ(readFile(out_), "old contents\n");

  std::filesystem::remove(out_);
  ProcessResult r = runInChild([&] {
    parse({out_});
    std::filesystem::remove(out_);
    writeFile(out_, "someone else's\n");
  });
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(readFile(out_), "someone else's\n");
}

TEST_F(CommandLine, HelpAndVersionEndWithStatus0AndTheHelpOnStandardOutput) {
  for (const char *help : {"--help", "--he"}) {
    ProcessResult r = parseInChild({"-c", "1", help, out_});
    EXPECT_EQ(r.exitStatus, 0) << help;
    EXPECT_EQ(r.out, std::string(HELP_TEXT) + longOptionHelp()) << help;
    EXPECT_EQ(r.err, "") << help;
  }
  // The banner printed at start-up is the whole answer to --version.
  ProcessResult r = parseInChild({"--version"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(out_));

  r = runInChild([] {
    std::vector<std::string> args{"qelvo", "-x", "--version", "file"};
    std::vector<char *> argv;
    for (std::string &arg : args) {
      argv.push_back(arg.data());
    }
    handleInfoOptions(scanCommandLine(static_cast<int>(args.size()), argv.data()));
    exit(9);
  });
  EXPECT_EQ(r.exitStatus, 0) << "answered before the real parse";
  EXPECT_EQ(r.err, "") << "mistakes are left to the real parse";
}

TEST_F(CommandLine, InfoOptionsLeaveEveryOtherCommandLineAlone) {
  std::vector<std::string> args{"qelvo", out_, "-x", "-s", "--help", "-c", "2", "--", "--version"};
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  std::vector<char *> before = argv;
  ProcessResult r = runInChild([&] {
    handleInfoOptions(scanCommandLine(static_cast<int>(argv.size()), argv.data()));
    exit(argv == before ? 7 : 8);
  });
  EXPECT_EQ(r.exitStatus, 7) << "returned with argv in its order";
  EXPECT_EQ(r.out + r.err, "");

  // "--help" as the value of -s names a device; "--version" after "--" is
  // an operand.
  parse({out_, "-s", "--help", "-c", "2"});
  EXPECT_STREQ(settings.device, "--help");
  EXPECT_EQ(settings.channel, 2);
  r = runInChild([&] {
    if (chdir(dir_.path().c_str()) != 0) {
      exit(9);
    }
    parse({"--", "--version"});
    exit(std::filesystem::exists("--version") ? 0 : 9);
  });
  EXPECT_EQ(r.exitStatus, 0) << "\"--version\" after \"--\" names the data file";
}

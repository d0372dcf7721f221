#include "settings/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

namespace {

const char WARNING_TEXT[] = "Warning: no config file found -- unsing default values\n";

std::string errorText(int line) {
  return "*** Error: Config File (line " + std::to_string(line) + ") is invalid ***\n";
}

// Each test starts from the defaults, with $QELVO unset and the first
// candidate pointing at a file in its own temporary directory; the
// environment and the working directory are put back afterwards.
class ConfigFile : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.configPath = path_.c_str();
    const char *qelvo = getenv("QELVO");
    hadQelvo_ = qelvo != nullptr;
    if (hadQelvo_) {
      savedQelvo_ = qelvo;
    }
    unsetenv("QELVO");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    savedCwd_ = cwd;
  }
  void TearDown() override {
    if (hadQelvo_) {
      setenv("QELVO", savedQelvo_.c_str(), 1);
    } else {
      unsetenv("QELVO");
    }
    EXPECT_EQ(chdir(savedCwd_.c_str()), 0);
    resetSettings();
  }
  void load(const std::string &content) {
    writeFile(path_, content);
    loadConfig();
  }
  ProcessResult loadInChild(const std::string &content) {
    writeFile(path_, content);
    return runInChild([] { loadConfig(); });
  }
  void enterTempDir() { ASSERT_EQ(chdir(dir_.path().c_str()), 0); }

  TempDir dir_;
  std::string path_ = dir_.file("test.conf");

private:
  bool hadQelvo_ = false;
  std::string savedQelvo_;
  std::string savedCwd_;
};

TEST_F(ConfigFile, AppliesEveryKey) {
  load("XSamplesPerDivision: 100.5\n"
       "XOffset: 0.125\n"
       "Y1SamplesPerDivision: 30\n"
       "Y1Offset: 0.5\n"
       "Y2SamplesPerDivision: 31\n"
       "Y2Offset: -0.25\n"
       "Device: /dev/ttyUSB0\n"
       "Baudrate: 9600\n");
  EXPECT_EQ(settings.xSamplesPerDiv, 100.5);
  EXPECT_EQ(settings.xOffset, 0.125);
  EXPECT_EQ(settings.ySamplesPerDiv[1], 30.0);
  EXPECT_EQ(settings.yOffset[1], 0.5);
  EXPECT_EQ(settings.ySamplesPerDiv[2], 31.0);
  EXPECT_EQ(settings.yOffset[2], -0.25);
  EXPECT_STREQ(settings.device, "/dev/ttyUSB0");
  EXPECT_EQ(settings.baudRate, 9600);
  EXPECT_EQ(settings.ySamplesPerDiv[0], 0.0);
  EXPECT_EQ(settings.yOffset[0], 0.0);
  EXPECT_EQ(settings.configLineNo, 8);
}

// The shipped example and the file a package installs set every key to the
// built-in value, so loading either must leave the calibration bit for bit
// as it was.
TEST_F(ConfigFile, ExampleAndPackagedFilesRestateTheDefaults) {
  std::filesystem::path example =
      std::filesystem::path(__FILE__).parent_path() / "../../examples/qelvo.conf";
  ASSERT_TRUE(std::filesystem::exists(example)) << example;
  std::string packaged = dir_.file("packaged.conf");
  FILE *stream = fopen(packaged.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  printDefaultConfig(stream);
  ASSERT_EQ(fclose(stream), 0);
  const std::string text = readFile(packaged);
  for (const char *line :
       {"\nXSamplesPerDivision: 99.2\n", "\nXOffset: 0\n",
        "\nY1SamplesPerDivision: 28.250000000000004\n", "\nY1Offset: 0.44247787610619405\n",
        "\nY2SamplesPerDivision: 28.75\n", "\nY2Offset: 0.3999999999999999\n",
        "\nDevice: /dev/ttyS0\n", "\nBaudrate: 38400\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_EQ(text.rfind("# ", 0), 0u) << "opens with a comment";

  struct File {
    std::string path;
    const char *device;
  } files[] = {{example.string(), "build/scope-tty"}, {packaged, "/dev/ttyS0"}};
  for (const File &file : files) {
    resetSettings();
    settings.configPath = file.path.c_str();
    settings.xSamplesPerDiv = settings.xOffset = -1.0;
    settings.ySamplesPerDiv[1] = settings.ySamplesPerDiv[2] = -1.0;
    settings.yOffset[1] = settings.yOffset[2] = -1.0;
    settings.baudRate = -1;
    settings.device = "unset";
    loadConfig();
    Settings defaults;
    EXPECT_EQ(settings.xSamplesPerDiv, defaults.xSamplesPerDiv) << file.path;
    EXPECT_EQ(settings.xOffset, defaults.xOffset) << file.path;
    EXPECT_EQ(settings.ySamplesPerDiv[1], defaults.ySamplesPerDiv[1]) << file.path;
    EXPECT_EQ(settings.ySamplesPerDiv[2], defaults.ySamplesPerDiv[2]) << file.path;
    EXPECT_EQ(settings.yOffset[1], defaults.yOffset[1]) << file.path;
    EXPECT_EQ(settings.yOffset[2], defaults.yOffset[2]) << file.path;
    EXPECT_EQ(settings.baudRate, defaults.baudRate) << file.path;
    EXPECT_STREQ(settings.device, file.device) << file.path;
  }
}

TEST_F(ConfigFile, KeepsChannelCalibrationsApart) {
  load("Y1SamplesPerDivision: 30\n");
  EXPECT_EQ(settings.ySamplesPerDiv[1], 30.0);
  EXPECT_EQ(settings.ySamplesPerDiv[2], 28.75);
  EXPECT_EQ(settings.yOffset[1], 0.44247787610619405);
  EXPECT_EQ(settings.yOffset[2], 0.3999999999999999);

  resetSettings();
  settings.configPath = path_.c_str();
  load("Y2Offset: 1.5\n");
  EXPECT_EQ(settings.yOffset[2], 1.5);
  EXPECT_EQ(settings.yOffset[1], 0.44247787610619405);
  EXPECT_EQ(settings.ySamplesPerDiv[1], 28.250000000000004);
}

TEST_F(ConfigFile, MatchesKeysInAnyCaseWithBlanksAroundTheColon) {
  const char *lines[] = {
      "xoffset : 0.5\n",     "XOFFSET\t:\t0.5\n", "  \tXoFfSeT:0.5\r\n",
      "XOffset:   0.5   \n", "XOffset: 0.5",      "XOffset: 0.5 # measured 2024\n",
  };
  for (const char *line : lines) {
    settings.xOffset = 0.0;
    load(line);
    EXPECT_EQ(settings.xOffset, 0.5) << "line '" << line << "'";
  }
}

TEST_F(ConfigFile, IgnoresUnknownKeysCommentsAndBlankLines) {
  load("Foo: 1\n"
       "Baud: 9600\n"
       "# XOffset: 7\n"
       "   # Baudrate\n"
       "\n"
       " \t \r\n"
       "Y3Offset: 2\n"
       "XOffset: 0.25\n");
  EXPECT_EQ(settings.xOffset, 0.25);
  EXPECT_EQ(settings.baudRate, 38400);
  EXPECT_EQ(settings.configLineNo, 8);
}

TEST_F(ConfigFile, StoresWhatStrtodAndStrtolMakeOfNonNumbers) {
  load("XSamplesPerDivision: abc\n"
       "XOffset: 1.5volts\n"
       "Baudrate: 12abc\n"
       "Y1Offset: 2.5e1 per div\n"
       "Y2Offset: 1, 5\n"
       "Y1SamplesPerDivision: ,5\n");
  EXPECT_EQ(settings.xSamplesPerDiv, 0.0);
  EXPECT_EQ(settings.xOffset, 1.5);
  EXPECT_EQ(settings.baudRate, 12);
  EXPECT_EQ(settings.yOffset[1], 25.0);
  EXPECT_EQ(settings.yOffset[2], 1.0) << "a comma not followed by a digit";
  EXPECT_EQ(settings.ySamplesPerDiv[1], 0.0) << "no number before the comma";
}

TEST_F(ConfigFile, DeviceValueRunsToTheEndOfTheLine) {
  struct Case {
    const char *line;
    const char *device;
  } cases[] = {
      {"Device: /dev/ttyS1\r\n", "/dev/ttyS1"},
      {"Device: /dev/ttyUSB0 # lab bench\n", "/dev/ttyUSB0 # lab bench"},
      {"device:/dev/my port \t\n", "/dev/my port"},
      {"DEVICE :\t/dev/ttyS3", "/dev/ttyS3"},
  };
  for (const Case &c : cases) {
    load(c.line);
    EXPECT_STREQ(settings.device, c.device) << "line '" << c.line << "'";
  }
}

TEST_F(ConfigFile, SaturatesAnOutOfRangeBaudrate) {
  struct Case {
    const char *value;
    int32_t stored;
  } cases[] = {
      {"38400", 38400},           {"4295005696", INT32_MAX}, // 2^32 + 38400 must not wrap to 38400
      {"2147483648", INT32_MAX},  {"99999999999999999999999", INT32_MAX},
      {"-4294967296", INT32_MIN}, {"-9600", -9600},
  };
  for (const Case &c : cases) {
    load(std::string("Baudrate: ") + c.value + "\n");
    EXPECT_EQ(settings.baudRate, c.stored) << "value " << c.value;
  }
}

TEST_F(ConfigFile, CountsBlankAndCommentLinesInErrorLineNumbers) {
  ProcessResult result = loadInChild("   # indented comment\n"
                                     "\n"
                                     " \t \n"
                                     "XOffset 0.5\n"
                                     "XOffset: 1\n");
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.err, errorText(4));
  EXPECT_EQ(result.out, "");
}

TEST_F(ConfigFile, ReportsEveryMalformedEntryWithItsLine) {
  const char *badLines[] = {
      "XOffset 0.5\n",
      "XOffset:\n",
      "XOffset\n",
      "XOffsetX: 1\n",
      "xoffset :  \r\n",
      "Device\n",
      "Device: \t\r\n",
      "Baudrate =\n",
      "Y2Offset0.5\n",
      "XSamplesPerDivision",
      // A decimal comma right after the number.
      "Y1Offset: 0,44\n",
      "Baudrate: 38,400\n",
      "XOffset: -1,5e3 # note\n",
  };
  for (const char *bad : badLines) {
    ProcessResult result = loadInChild(std::string("Baudrate: 9600\n") + bad + "XOffset: 1\n");
    EXPECT_EQ(result.exitStatus, 3) << "line '" << bad << "'";
    EXPECT_EQ(result.err, errorText(2)) << "line '" << bad << "'";
  }
}

// Runs at exit in the child, to show what was applied before the bad line.
void printAppliedSettings() {
  printf("%g %d %s\n", settings.xOffset, settings.baudRate, settings.device);
}

TEST_F(ConfigFile, AppliesEntriesBeforeAnInvalidLineAndNoneAfter) {
  writeFile(path_, "XOffset: 2.5\n"
                   "Device: /dev/ttyUSB1\n"
                   "Baudrate\n"
                   "XOffset: 9\n");
  ProcessResult result = runInChild([] {
    atexit(printAppliedSettings);
    loadConfig();
  });
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.err, errorText(3));
  EXPECT_EQ(result.out, "2.5 38400 /dev/ttyUSB1\n");
}

TEST_F(ConfigFile, CountsEachPieceOfAnOverLongLine) {
  // 1500 characters: read as a piece of 1023 and a piece with the rest.
  std::string longComment = "#" + std::string(1499, 'a') + "\n";
  ProcessResult result = loadInChild(longComment + "XOffset: 1\nXOffset\n");
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.err, errorText(4));

  // The second piece is handled like a line of its own.
  load("#" + std::string(1022, 'a') + "Baudrate: 9600\n");
  EXPECT_EQ(settings.baudRate, 9600);
  EXPECT_EQ(settings.configLineNo, 2);
}

TEST(ConfigEntry, ParsersTellTheThreeMalformedFormsApart) {
  struct Case {
    const char *rest;
    EntryStatus status;
  } cases[] = {
      {"", ENTRY_KEY_ONLY},         {" \t\r\n", ENTRY_KEY_ONLY}, {" 0.5\n", ENTRY_NO_COLON},
      {"X: 1\n", ENTRY_NO_COLON},   {"=7\n", ENTRY_NO_COLON},    {":", ENTRY_NO_VALUE},
      {" :  \r\n", ENTRY_NO_VALUE}, {": 7\n", ENTRY_OK},         {"\t:7", ENTRY_OK},
  };
  resetSettings();
  for (const Case &c : cases) {
    std::string text = c.rest;
    double real = -1.0;
    EXPECT_EQ(parseRealEntry(text.data(), &real), c.status) << "rest '" << c.rest << "'";
    EXPECT_EQ(real, c.status == ENTRY_OK ? 7.0 : -1.0) << "rest '" << c.rest << "'";

    text = c.rest;
    int32_t integer = -1;
    EXPECT_EQ(parseIntEntry(text.data(), &integer), c.status) << "rest '" << c.rest << "'";
    EXPECT_EQ(integer, c.status == ENTRY_OK ? 7 : -1) << "rest '" << c.rest << "'";

    text = c.rest;
    settings.device = "unchanged";
    EXPECT_EQ(checkTextEntry(text.data()), c.status) << "rest '" << c.rest << "'";
    EXPECT_STREQ(settings.device, c.status == ENTRY_OK ? "7" : "unchanged")
        << "rest '" << c.rest << "'";
  }
  char comma[] = ": 7,5";
  double real = -1.0;
  EXPECT_EQ(parseRealEntry(comma, &real), ENTRY_DECIMAL_COMMA);
  EXPECT_EQ(real, -1.0) << "nothing stored";
  int32_t integer = -1;
  EXPECT_EQ(parseIntEntry(comma, &integer), ENTRY_DECIMAL_COMMA);
  EXPECT_EQ(integer, -1) << "nothing stored";
  resetSettings();
}

TEST(ConfigEntry, SkipBlanksStopsAtTheFirstOtherCharacter) {
  EXPECT_EQ(skipBlanks(nullptr), nullptr);
  char empty[] = "";
  EXPECT_EQ(skipBlanks(empty), nullptr);
  char blanks[] = " \t\r\n";
  EXPECT_EQ(skipBlanks(blanks), nullptr);
  char text[] = " \t a b ";
  EXPECT_EQ(skipBlanks(text), text + 3);
  char verticalTab[] = "\va"; // not a blank here
  EXPECT_EQ(skipBlanks(verticalTab), verticalTab);
}

TEST_F(ConfigFile, NextLineSkipsBlankAndCommentLinesButCountsThem) {
  writeFile(path_, "\n  # note\n\t XOffset: 1\r\n#\n");
  FILE *stream = fopen(path_.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  char *line = nextConfigLine(stream);
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line, "XOffset: 1\r\n");
  EXPECT_EQ(settings.configLineNo, 3);
  EXPECT_EQ(nextConfigLine(stream), nullptr);
  EXPECT_EQ(settings.configLineNo, 4);
  fclose(stream);
}

TEST_F(ConfigFile, SearchPrefersTheCurrentDirectoryThenQelvo) {
  enterTempDir();
  settings.configPath = Settings{}.configPath; // "./qelvo.conf"
  std::string fromEnv = dir_.file("env.conf");
  writeFile(fromEnv, "XOffset: 2\n");
  setenv("QELVO", fromEnv.c_str(), 1);

  writeFile(dir_.file("qelvo.conf"), "XOffset: 1\n");
  loadConfig();
  EXPECT_EQ(settings.xOffset, 1.0);

  // Without the local file, $QELVO is used whether or not the fixed path
  // exists.
  ASSERT_EQ(unlink(dir_.file("qelvo.conf").c_str()), 0);
  loadConfig();
  EXPECT_EQ(settings.xOffset, 2.0);
}

TEST_F(ConfigFile, WarnsAndKeepsDefaultsWhenNoFileOpens) {
  if (access(FALLBACK_CONFIG_PATH, R_OK) == 0) {
    GTEST_SKIP() << FALLBACK_CONFIG_PATH << " exists on this machine, so a file is always found";
  }
  settings.configPath = "/nonexistent/qelvo.conf";
  ProcessResult result = runInChild([] {
    loadConfig();
    exit(settings.configLineNo == 0 && settings.xOffset == 0.0 ? 0 : 9);
  });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, WARNING_TEXT);

  // A $QELVO that names no readable file falls through the same way.
  setenv("QELVO", dir_.file("missing.conf").c_str(), 1);
  result = runInChild([] { loadConfig(); });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, WARNING_TEXT);
}

TEST_F(ConfigFile, FallsBackToTheFixedPathLast) {
  if (access(FALLBACK_CONFIG_PATH, R_OK) != 0) {
    GTEST_SKIP() << "the fixed configuration file " << FALLBACK_CONFIG_PATH
                 << " does not exist on this machine; configure with"
                    " -DQELVO_FALLBACK_CONFIG=<a readable file> to test the last fallback";
  }
  settings.configPath = "/nonexistent/qelvo.conf";
  setenv("QELVO", dir_.file("missing.conf").c_str(), 1);
  ProcessResult result = runInChild([] { loadConfig(); });
  // The fixed file may hold anything, even a bad line; what counts is that
  // it was found.
  EXPECT_EQ(result.err.find(WARNING_TEXT), std::string::npos);
  EXPECT_TRUE(result.exitStatus == 0 || result.exitStatus == 3) << result.err;
}

} // namespace

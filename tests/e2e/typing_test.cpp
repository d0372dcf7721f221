// Command lines and configuration files as people type them: a word too
// many, a micro sign from a UTF-8 terminal, a decimal comma, a misspelt long
// option. None of them may capture into the wrong file or at the wrong scale.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

TEST(Typing, AStrayWordIsNeverTheDataFile) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "20", "--pace", "none"});
  writeFile(dir.file("m"), "yesterday's capture\n");

  // "-t 1 m": the blank splits the value, and "m" is not a file name.
  ProcessResult r = runQelvo(dir, {"-s", "tty", "-c", "1", "-t", "1", "m", "x.dat"});
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(beforeHelp(r), "*** Error: more than one file named ('m', 'x.dat') ***\n");
  EXPECT_EQ(readFile(dir.file("m")), "yesterday's capture\n");

  // An unknown short option still only warns, and its value is a word too many.
  r = runQelvo(dir, {"-x", "1", "-s", "tty", "t.dat"});
  EXPECT_EQ(r.exitStatus, 4);
  std::string err = beforeHelp(r);
  EXPECT_TRUE(err.ends_with("*** error: invalid command line argumend '?' (63)***\n"
                            "*** Error: more than one file named ('1', 't.dat') ***\n"))
      << err;
  for (const char *name : {"x.dat", "1", "t.dat"}) {
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  }
  EXPECT_EQ(scope.received(), "") << "the scope is never contacted";
}

TEST(Typing, MicroSignInUtf8ScalesAsTheLatin1Byte) {
  std::string expected;
  for (const char *micro : {"\xB5", "\xC2\xB5", "\xCE\xBC", "u"}) {
    TempDir dir;
    VirtualScope scope(dir, {"--samples", "30", "--pace", "none"});
    ProcessResult r = runQelvo(dir, {"-c", "1", "-t", std::string("100") + micro, "-y",
                                     std::string("5") + micro + "V", "-s", "tty", "out.dat"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::string data = withoutCreationTime(readFile(dir.file("out.dat")));
    if (expected.empty()) {
      expected = data;
      EXPECT_TRUE(contains(data, "#  Time base:\t100.000\xB5s/div\n")) << data;
      EXPECT_TRUE(contains(data, "#  Y-Gain:\t5.000\xB5V/div\n")) << data;
      EXPECT_EQ(sampleLines(data).size(), 30u);
    }
    EXPECT_EQ(data, expected) << "micro typed as " << micro;
  }
}

TEST(Typing, ValuesThatCannotBeRightAreSettingsProblems) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "20", "--pace", "none"});
  struct Row {
    std::vector<std::string> args;
    std::string problems;
  } rows[] = {
      {{"-t", "abc"}, "Invalid time base (abc)\n"},
      {{"-t", "0,5m"}, "Invalid time base (0,5m)\n"},
      {{"-t=1e400"}, "Invalid time base (1e400)\n"},
      {{"-t", "-1m"}, "Invalid Time/div (-1.000000e-03)\n"},
      {{"-y", "0"}, "Invalid Y-gain (0)\n"},
      {{"-y", "nan"}, "Invalid Y-gain (nan)\n"},
      {{"-y", "2,5"}, "Invalid Y-gain (2,5)\n"},
      {{"-Y", "0,5"}, "Invalid Y-offset (0,5)\n"},
      {{"-p", "1,5"}, "Invalid ProbeFactor (1,5)\n"},
      {{"--flwo=none"}, "Invalid option (--flwo=none): did you mean --flow?\n"},
      {{"--chanels=1,2"}, "Invalid option (--chanels=1,2): did you mean --channels?\n"},
      {{"--verbose"}, "Invalid option (--verbose)\n"},
      // All at once: in the check's order, an unknown option last.
      {{"--flwo=none", "-c", "3", "-Y", "1,5", "-t", "0", "-y", "-2", "-b", "100", "-p", "0,5",
        "--flow=xon"},
       "Invalid Channel (3) selected\n"
       "Invalid time base (0)\n"
       "Invalid Volts/div (-2.000000e+00)\n"
       "Invalid baudrate (100)\n"
       "Invalid ProbeFactor (0,5)\n"
       "Invalid Y-offset (1,5)\n"
       "Invalid flow control (xon): use none or rtscts\n"
       "Invalid option (--flwo=none): did you mean --flow?\n"},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.problems);
    row.args.insert(row.args.end(), {"-s", "tty", "out.dat"});
    ProcessResult r = runQelvo(dir, row.args);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(beforeHelp(r), row.problems);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat")));
  }
  EXPECT_EQ(scope.received(), "") << "the scope is never contacted";
}

TEST(Typing, DecimalCommaInTheConfigurationFileIsAnInvalidLine) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "20", "--pace", "none"});
  for (const char *line : {"Y1Offset: 0,44\n", "Baudrate: 38,400\n"}) {
    writeFile(dir.file("qelvo.conf"), std::string("# calibrated\n") + line);
    ProcessResult r = runQelvo(dir, {"-c", "1", "-s", "tty", "out.dat"});
    EXPECT_EQ(r.exitStatus, 3) << line;
    EXPECT_EQ(r.err, "*** Error: Config File (line 2) is invalid ***\n") << line;
  }
  // Other text after a number is still ignored.
  writeFile(dir.file("qelvo.conf"), "XOffset: 2.5e1 per div\nBaudrate: 38400 bit/s\n");
  ProcessResult r = runQelvo(dir, {"-c", "1", "-s", "tty", "out.dat"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<SampleLine> lines = sampleLines(readFile(dir.file("out.dat")));
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[0].time, "-2.5000000000e+01");
}

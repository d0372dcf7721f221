#include "datafile/data_file.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "common/version.h"
#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

namespace {

class DataFile : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.programName = "qelvo";
    settings.outputFile = fopen(path_.c_str(), "w");
    ASSERT_NE(settings.outputFile, nullptr);
  }
  void TearDown() override {
    if (settings.outputFile != nullptr) {
      fclose(settings.outputFile);
    }
    resetSettings();
  }
  // Closes the data file and returns what was written to it.
  std::string contents() {
    fclose(settings.outputFile);
    settings.outputFile = nullptr;
    return readFile(path_);
  }
  TempDir dir_;
  std::string path_ = dir_.file("data.dat");
};

// A value as the data file prints it, at the current precision.
std::string printedNumber(Extended value) {
  char text[128];
  snprintf(text, sizeof text, "%1.*e", settings.precision, static_cast<double>(value));
  return text;
}

// The range line of a header.
std::string rangeLine(const std::string &header) {
  size_t start = header.find("#  Y-Range: ");
  if (start == std::string::npos) {
    return "";
  }
  return header.substr(start, header.find('\n', start) + 1 - start);
}

// 2000-09-14 10:40:32 UTC; rendered in whatever the local zone is.
const time_t FIXED_NOW = 968928032;

// The header for the settings of useHeaderSettings, with `byLine` as the
// line naming the user.
std::string headerText(const char *byLine) {
  time_t now = FIXED_NOW;
  return std::string("# Program: 'qelvo', Ver.0.2 (Built:Sep 14 2000/10:40:32)\n") + "#\t" +
         AUTHOR_CREDIT + "\n#\n#  File created " + asctime(localtime(&now)) + byLine +
         "#------------------------------------------------------\n"
         "# Settings:\n"
         "#  Y-Range: -9.4247787611e-05 div : 8.0840707965e-04 div\n"
         "#  Oscilloscope channel 1\n"
         "#  Time base:\t1.000ms/div\n"
         "#  Y-Gain:\t100.000\xB5V/div\n"
         "#  Y-Offset:\t0.500 div\n"
         "#  Probe:\t1:10.00\n"
         "#\n";
}

void useHeaderSettings() {
  settings.channel = 1;
  settings.timePerDiv = 0.001;
  settings.voltsPerDiv = 0.0001;
  settings.yZero = 0.5;
  settings.probeFactor = 10;
}

TEST_F(DataFile, HeaderRecordsProgramTimeUserAndSettings) {
  useHeaderSettings();
  writeHeader(FIXED_NOW);
  const passwd *user = getpwuid(geteuid());
  ASSERT_NE(user, nullptr) << "the test needs a password entry for the current user";
  std::string byLine = std::string("#  by ") + user->pw_gecos + " (uid: " + user->pw_name + ")\n";
  EXPECT_EQ(contents(), headerText(byLine.c_str()));
}

TEST_F(DataFile, HeaderLeavesOutTheByLineWithoutPasswordEntry) {
  useHeaderSettings();
  writeHeaderFor(FIXED_NOW, nullptr);
  EXPECT_EQ(contents(), headerText(""));
}

// A 32-bit time_t would wrap this to 1904 (or fail to build).
TEST_F(DataFile, CreationTimeAfter2038KeepsItsYear) {
  const time_t july2040 = 2224843200; // 2040-07-02 12:00:00 UTC
  writeHeaderFor(july2040, nullptr);
  std::string text = contents();
  size_t line = text.find("#  File created ");
  ASSERT_NE(line, std::string::npos) << text;
  EXPECT_EQ(text.substr(text.find('\n', line) - 5, 6), " 2040\n") << text;
}

TEST_F(DataFile, RangeLineUsesChannelCalibrationWithoutProbe) {
  struct Row {
    int channel;
    double probe;
    const char *expected;
  } rows[] = {
      {1, 1, "#  Y-Range: -4.4247787611e-01 div : 8.5840707965e+00 div\n"},
      {2, 1, "#  Y-Range: -4.0000000000e-01 div : 8.4695652174e+00 div\n"},
      {1, 100, "#  Y-Range: -4.4247787611e-01 div : 8.5840707965e+00 div\n"},
  };
  for (const Row &row : rows) {
    if (settings.outputFile == nullptr) {
      settings.outputFile = fopen(path_.c_str(), "w");
      ASSERT_NE(settings.outputFile, nullptr);
    }
    settings.channel = row.channel;
    settings.probeFactor = row.probe;
    writeHeader(FIXED_NOW);
    EXPECT_EQ(rangeLine(contents()), row.expected)
        << "channel " << row.channel << ", probe " << row.probe;
  }
}

TEST_F(DataFile, ConversionsRoundToDoubleOnlyWhenPrinted) {
  settings.channel = 1;
  EXPECT_EQ(printedNumber(sampleTime(0)), "0.0000000000e+00");
  EXPECT_EQ(printedNumber(sampleTime(992)), "1.0000000000e+01");
  EXPECT_EQ(printedNumber(sampleVolts(0)), "-4.4247787611e-01");
  EXPECT_EQ(printedNumber(yRangeLow()), "-4.4247787611e-01");
  EXPECT_EQ(printedNumber(yRangeHigh()), "8.5840707965e+00");

  // The cancelling offsets leave an extended-precision residue.
  settings.channel = 2;
  settings.yZero = 2;
  EXPECT_EQ(printedNumber(sampleVolts(69)), "8.8904578144e-17");

  // At 13 digits the last one shows the extra precision of the products.
  resetSettings();
  settings.channel = 1;
  settings.precision = 13;
  settings.voltsPerDiv = 0.002;
  settings.probeFactor = 100;
  EXPECT_EQ(printedNumber(sampleVolts(86)), "5.2035398230089e-01");
}

TEST_F(DataFile, ConversionsFollowTimeBaseOffsetsAndProbe) {
  settings.channel = 2;
  settings.timePerDiv = 0.001;
  settings.xOffset = 1;
  settings.ySamplesPerDiv[2] = 25;
  settings.yOffset[2] = 4;
  settings.yZero = 1;
  settings.voltsPerDiv = 0.5;
  settings.probeFactor = 10;
  EXPECT_EQ(printedNumber(sampleTime(0)), "-1.0000000000e-03");
  // 250 / 25 - 4 - 1 = 5 div, times 0.5 V/div, times probe 10.
  EXPECT_EQ(printedNumber(sampleVolts(250)), "2.5000000000e+01");
  EXPECT_EQ(printedNumber(yRangeLow()), "-2.5000000000e+00");
}

TEST_F(DataFile, ColumnHeaderAndSampleLines) {
  settings.channel = 1;
  writeColumnHeader();
  writeSampleLine(0, 0);
  writeSampleLine(1, 255);
  settings.precision = 4;
  writeSampleLine(992, 86);
  EXPECT_EQ(contents(), "# Time [s]\t\tVolts \n"
                        "#--------------------------------------------------------\n"
                        "0.0000000000e+00\t-4.4247787611e-01\n"
                        "1.0080645161e-02\t8.5840707965e+00\n"
                        "1.0000e+01\t2.6018e+00\n");
}

TEST_F(DataFile, DumpWithoutSamplesLeavesHeaderAndColumnHeader) {
  settings.channel = 1;
  writeHeaderFor(FIXED_NOW, nullptr);
  writeColumnHeader();
  std::string text = contents();
  const std::string columnHeader = "# Time [s]\t\tVolts \n"
                                   "#--------------------------------------------------------\n";
  ASSERT_GE(text.size(), columnHeader.size());
  EXPECT_EQ(text.substr(text.size() - columnHeader.size()), columnHeader);
  EXPECT_EQ(text.find("e+00\t"), std::string::npos);
}

// The file is current for anyone reading it during the capture: the header
// at once, each later line once it has waited DATA_FILE_FLUSH_MS.
TEST_F(DataFile, HeaderIsFlushedAtOnceAndLinesWhenTheyAreDue) {
  settings.channel = 1;
  writeHeaderFor(FIXED_NOW, nullptr);
  std::string header = readFile(path_);
  EXPECT_EQ(header.substr(header.size() - 3), "\n#\n") << header;
  EXPECT_EQ(flushDataFileWhenDue(), -1) << "the header is already out";

  writeColumnHeader();
  writeSampleLine(0, 0);
  int due = flushDataFileWhenDue();
  EXPECT_GT(due, 0);
  EXPECT_LE(due, DATA_FILE_FLUSH_MS);
  EXPECT_EQ(readFile(path_), header) << "flushed before it was due";
  usleep(static_cast<useconds_t>(due) * 1000);
  writeSampleLine(1, 255); // a later line does not put the flush off
  EXPECT_EQ(flushDataFileWhenDue(), -1);
  std::string text = readFile(path_);
  EXPECT_EQ(text.substr(0, header.size()), header);
  EXPECT_EQ(std::count(text.begin() + static_cast<long>(header.size()), text.end(), '\n'), 4)
      << text;
  EXPECT_EQ(flushDataFileWhenDue(), -1);
}

} // namespace

#include "settings/settings.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static uint64_t bitsOf(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

TEST(SettingsRecord, DefaultsDescribeAPlainRun) {
  Settings fresh;
  EXPECT_EQ(fresh.precision, 10);
  EXPECT_EQ(fresh.serialFd, -1);
  EXPECT_STREQ(fresh.device, "/dev/ttyS0");
  EXPECT_STREQ(fresh.configPath, "./qelvo.conf");
  EXPECT_EQ(fresh.baudRate, 38400);
  EXPECT_EQ(fresh.xSamplesPerDiv, 99.2);
  EXPECT_EQ(fresh.xOffset, 0.0);
  EXPECT_EQ(fresh.timePerDiv, 1.0);
  EXPECT_EQ(fresh.voltsPerDiv, 1.0);
  EXPECT_EQ(fresh.yZero, 0.0);
  EXPECT_EQ(fresh.probeFactor, 1.0);
  EXPECT_EQ(fresh.channel, 0);
  EXPECT_EQ(fresh.configLineNo, 0);
  EXPECT_EQ(fresh.outputFile, nullptr);
  EXPECT_EQ(fresh.programName, nullptr);
  EXPECT_EQ(fresh.ySamplesPerDiv[0], 0.0);
  EXPECT_EQ(fresh.yOffset[0], 0.0);
}

TEST(SettingsRecord, CalibrationDefaultsAreBitExact) {
  Settings fresh;
  EXPECT_EQ(bitsOf(fresh.ySamplesPerDiv[1]), 0x403C400000000001u);
  EXPECT_EQ(bitsOf(fresh.ySamplesPerDiv[2]), bitsOf(28.75));
  EXPECT_EQ(bitsOf(fresh.yOffset[1]), 0x3FDC518EB9C518E0u);
  EXPECT_EQ(bitsOf(fresh.yOffset[2]), 0x3FD9999999999998u);
  // One unit in the last place above 28.25, two below 0.4.
  EXPECT_EQ(fresh.ySamplesPerDiv[1], std::nextafter(28.25, 100.0));
  EXPECT_EQ(fresh.yOffset[2], std::nextafter(std::nextafter(0.4, 0.0), 0.0));
}

TEST(TrimRight, CutsOnlyTrailingBlanks) {
  struct Case {
    const char *input;
    const char *expected;
  } cases[] = {
      {"/dev/ttyS1 \n", "/dev/ttyS1"},
      {"/dev/tty S1\r\n", "/dev/tty S1"},
      {"  lead", "  lead"},
      {"tab\t \t", "tab"},
      {" \t\r\n ", ""},
      {"", ""},
      {"x", "x"},
      {"a\vb ", "a\vb"}, // vertical tab is not a blank here
  };
  for (const Case &c : cases) {
    std::string buffer = c.input;
    trimRight(buffer.data());
    EXPECT_STREQ(buffer.c_str(), c.expected) << "input '" << c.input << "'";
  }
  trimRight(nullptr); // must not crash
}

TEST(SetDevice, StoresATrimmedCopy) {
  char text[] = "/dev/ttyUSB0 \n";
  setDevice(text);
  EXPECT_STREQ(settings.device, "/dev/ttyUSB0");
  EXPECT_NE(settings.device, text);
  text[0] = 'X';
  EXPECT_STREQ(settings.device, "/dev/ttyUSB0");

  char blanks[] = "   ";
  setDevice(blanks);
  EXPECT_STREQ(settings.device, "");
}

// A configuration file may name the device on many lines, and the fuzzer
// found every replaced copy left behind.
TEST(SetDevice, FreesTheCopiesItReplaces) {
  std::string path(1000, 'x');
  setDevice(path.data());
  size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 1000; ++i) {
    setDevice(path.data());
  }
  EXPECT_LT(mallinfo2().uordblks, before + 4096);
  EXPECT_STREQ(settings.device, path.c_str());
}

// Through strtol as the callers use it: with a 64-bit long the clamp does
// the work, with a 32-bit one (armhf) strtol already saturates.
TEST(SaturateToInt32, ClampsInsteadOfWrapping) {
  struct Row {
    const char *text;
    int32_t expected;
  } rows[] = {
      {"38400", 38400},           {"-1", -1},
      {"4294967297", INT32_MAX},  {"4295005696", INT32_MAX},
      {"-4294967297", INT32_MIN}, {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"99999999999999999999999", INT32_MAX},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(saturateToInt32(strtol(row.text, nullptr, 10)), row.expected) << row.text;
  }
}

#include "settings/settings_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "scope/port_info.h"
#include "scope/serial_line.h"
#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

namespace {

class SettingsCheck : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.device = pty_.slavePath.c_str();
  }
  void TearDown() override {
    if (settings.serialFd >= 0) {
      closeSerialLine();
    }
    resetSettings();
  }
  // Defaults again, on the fixture's device and with its line closed (an
  // open line holds the device's lock).
  void startAfresh() {
    if (settings.serialFd >= 0) {
      closeSerialLine();
    }
    resetSettings();
    settings.device = pty_.slavePath.c_str();
  }
  // Runs the check and returns its messages.
  std::string check(int expectedProblems) {
    if (settings.serialFd >= 0) {
      closeSerialLine();
    }
    testing::internal::CaptureStderr();
    int problems = checkSettings();
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(problems, expectedProblems) << messages;
    return messages;
  }
  PtyPair pty_;
};

} // namespace

TEST_F(SettingsCheck, DefaultsPassAndOpenTheLine) {
  EXPECT_EQ(check(0), "");
  EXPECT_GE(settings.serialFd, 0);
}

TEST_F(SettingsCheck, EachProblemHasItsMessage) {
  static constexpr double inf = std::numeric_limits<double>::infinity();
  struct Row {
    void (*apply)();
    const char *message;
  } rows[] = {
      {[] { settings.channel = 3; }, "Invalid Channel (3) selected\n"},
      {[] { settings.channel = -1; }, "Invalid Channel (-1) selected\n"},
      {[] { settings.channel = 2147483647; }, "Invalid Channel (2147483647) selected\n"},
      {[] { settings.timePerDiv = -0.001; }, "Invalid Time/div (-1.000000e-03)\n"},
      {[] { settings.voltsPerDiv = -2; }, "Invalid Volts/div (-2.000000e+00)\n"},
      // Zero, infinite and NaN time bases and gains, and decimal commas,
      // named as typed (the whole runs show each option); without a text,
      // by their value.
      {[] { settings.timePerDiv = -inf; }, "Invalid time base (-inf)\n"},
      {[] { settings.timePerDiv = -0.0, settings.timeText = "-0"; }, "Invalid time base (-0)\n"},
      {[] { settings.timePerDiv = -1, settings.timeText = "-1,5"; }, "Invalid time base (-1,5)\n"},
      {[] { settings.voltsPerDiv = inf, settings.gainText = "1e400"; }, "Invalid Y-gain (1e400)\n"},
      {[] { settings.unknownOptions = {"--flwo=none"}; },
       "Invalid option (--flwo=none): did you mean --flow?\n"},
      {[] { settings.baudRate = 100; }, "Invalid baudrate (100)\n"},
      {[] { settings.baudRate = 2147483647; }, "Invalid baudrate (2147483647)\n"},
      {[] { settings.probeFactor = 0.5; }, "Invalid ProbeFactor 1:5.000000e-01\n"},
      {[] { settings.probeFactor = 1000001; }, "Invalid ProbeFactor 1:1.000001e+06\n"},
      {[] { settings.probeFactor = inf; }, "Invalid ProbeFactor 1:inf\n"},
      {[] { settings.flow = "xonxoff"; }, "Invalid flow control (xonxoff): use none or rtscts\n"},
      {[] { settings.flow = "RTSCTS"; }, "Invalid flow control (RTSCTS): use none or rtscts\n"},
      {[] { settings.flow = ""; }, "Invalid flow control (): use none or rtscts\n"},
  };
  for (const Row &row : rows) {
    startAfresh();
    row.apply();
    EXPECT_EQ(check(1), row.message);
  }
}

TEST_F(SettingsCheck, BoundaryValuesPass) {
  struct Row {
    const char *name;
    void (*apply)();
  } rows[] = {
      {"channel 0", [] { settings.channel = 0; }},
      {"channel 2", [] { settings.channel = 2; }},
      {"time 1e-300", [] { settings.timePerDiv = 1e-300; }},
      {"time 1,m", [] { settings.timePerDiv = 1, settings.timeText = "1,m"; }},
      {"volts 1e300", [] { settings.voltsPerDiv = 1e300; }},
      {"offset -0.5", [] { settings.yZero = -0.5, settings.yZeroText = "-0.5"; }},
      {"460800 bit/s", [] { settings.baudRate = 460800; }},
      {"50 bit/s", [] { settings.baudRate = 50; }},
      {"probe 1", [] { settings.probeFactor = 1; }},
      {"probe 1e6", [] { settings.probeFactor = 1e6; }},
      {"probe NaN", [] { settings.probeFactor = std::nan(""); }},
      {"no handshake", [] { settings.flow = "none"; }},
      {"RTS/CTS", [] { settings.flow = "rtscts"; }},
  };
  for (const Row &row : rows) {
    startAfresh();
    row.apply();
    EXPECT_EQ(check(0), "") << row.name;
  }
}

TEST_F(SettingsCheck, ReportsEveryProblemInOrderAndStillOpensTheLine) {
  settings.channel = 3;
  settings.baudRate = 100;
  settings.probeFactor = 0;
  EXPECT_EQ(check(3), "Invalid Channel (3) selected\n"
                      "Invalid baudrate (100)\n"
                      "Invalid ProbeFactor 1:0.000000e+00\n");
  EXPECT_GE(settings.serialFd, 0) << "the line is opened even after failed checks";

  closeSerialLine();
  settings.device = "/nonexistent/ttyS0";
  settings.voltsPerDiv = -1;
  TempDir noPorts; // a machine without serial ports, for a message that does not vary
  systemRoots = SystemRoots{noPorts.path(), noPorts.path(), noPorts.path()};
  std::string messages = check(5);
  EXPECT_EQ(messages, "Invalid Channel (3) selected\n"
                      "Invalid Volts/div (-1.000000e+00)\n"
                      "Invalid baudrate (100)\n"
                      "*** Error: Cannot open serial line '/nonexistent/ttyS0' ***\n"
                      "qelvo: '/nonexistent/ttyS0' does not exist, and no serial port was found: "
                      "is the adapter plugged in?\n"
                      "Invalid ProbeFactor 1:0.000000e+00\n");

  // Each new line where its option's check stands; unknown options last.
  settings.timePerDiv = 0;
  settings.timeText = "0,5m";
  settings.voltsPerDiv = 0;
  settings.gainText = "0";
  settings.probeText = "2,5";
  settings.yZeroText = "1,5";
  settings.flow = "xon";
  settings.unknownOptions = {"--flwo=none", "--=x"};
  messages = check(10);
  systemRoots = SystemRoots{};
  EXPECT_EQ(messages, "Invalid Channel (3) selected\n"
                      "Invalid time base (0,5m)\n"
                      "Invalid Y-gain (0)\n"
                      "Invalid baudrate (100)\n"
                      "*** Error: Cannot open serial line '/nonexistent/ttyS0' ***\n"
                      "qelvo: '/nonexistent/ttyS0' does not exist, and no serial port was found: "
                      "is the adapter plugged in?\n"
                      "Invalid ProbeFactor (2,5)\n"
                      "Invalid Y-offset (1,5)\n"
                      "Invalid flow control (xon): use none or rtscts\n"
                      "Invalid option (--flwo=none): did you mean --flow?\n"
                      "Invalid option (--=x)\n");
}

TEST_F(SettingsCheck, ALineHeldByAnotherCaptureFailsTheOpenWithItsReason) {
  EXPECT_EQ(check(0), "");
  // Keep the first capture's line open and locked; a second one checks.
  int held = settings.serialFd;
  settings.serialFd = -1;
  std::string device = pty_.slavePath;
  EXPECT_EQ(check(1), "*** Error: Cannot open serial line '" + device +
                          "' ***\n"
                          "*** Error: serial line '" +
                          device + "' is in use by another process ***\n");
  EXPECT_EQ(settings.serialFd, -1);
  settings.serialFd = held;
}

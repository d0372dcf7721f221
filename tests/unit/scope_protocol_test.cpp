#include "scope/scope_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scope/serial_line.h"
#include "scripted_scope.h"
#include "settings/settings.h"
#include "settings_reset.h"
#include "test_clock.h"
#include "test_support.h"

namespace {

// What the dump handed over, in order.
struct Collected {
  int begins = 0;
  std::vector<std::pair<int, int>> samples;
};
Collected collected;

void collectBegin() { ++collected.begins; }
void collectSample(int index, int raw) { collected.samples.emplace_back(index, raw); }
const SampleSink COLLECTOR{collectBegin, collectSample};

class ScopeProtocol : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.device = pty_.slavePath.c_str();
    ASSERT_GE(openSerialLine(), 0);
    configureLine();
    expectStaleInput();
    collected = Collected{};
  }
  void TearDown() override {
    restoreLine();
    closeSerialLine();
    resetSettings();
  }
  PtyPair pty_;
  ScriptedScope scope_{pty_};
};

// The scope's replies come at moments on the line's test clock; the
// scripted scope only records the commands.
class ScopeProtocolOnTestClock : public ScopeProtocol {
protected:
  void SetUp() override {
    ScopeProtocol::SetUp();
    TestClock::masterFd = pty_.master;
  }
  TestClock clock_;
};

constexpr int64_t MS = 1000;  // test clock microseconds
constexpr long QUIET_MS = 21; // 20 ms plus two characters at 38400 bit/s

} // namespace

TEST(HexDigits, ValuesOfBothCases) {
  const char *digits = "0123456789ABCDEF";
  const char *lower = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(hexDigitValue(digits[i]), i) << digits[i];
    EXPECT_EQ(hexDigitValue(lower[i]), i) << lower[i];
  }
}

TEST_F(ScopeProtocol, StatusPairsInEitherCase) {
  scope_.reply('s', "s21");
  EXPECT_EQ(readStatus(), 0x21);
  scope_.reply('s', "sa0");
  EXPECT_EQ(readStatus(), 0xA0);
  scope_.reply('s', "s01trailing"); // nothing after the pair is read
  EXPECT_EQ(readStatus(), 0x01);
  EXPECT_EQ(scope_.received(), "sss");
}

TEST_F(ScopeProtocol, StatusFailures) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(readStatus(), -1); // no echo at all
  scope_.reply('s', "x21");
  EXPECT_EQ(readStatus(), -1); // wrong echo
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "echo failures are silent";

  struct Row {
    const char *reply;
    const char *message;
  } rows[] = {
      {"s", "*** Error: invalid Status (-1)***\n"},
      {"s2", "*** Error: invalid Status (-2)***\n"},
      {"sG1", "*** Error: invalid Status (-1)***\n"},
      {"s2\n", "*** Error: invalid Status (-2)***\n"},
      {"s\n1", "*** Error: invalid Status (-1)***\n"},
  };
  for (const Row &row : rows) {
    scope_.reply('s', row.reply);
    testing::internal::CaptureStderr();
    EXPECT_EQ(readStatus(), -2) << row.reply;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.message) << row.reply;
  }
}

TEST_F(ScopeProtocol, ChannelSelectionReportsTheMissingEcho) {
  scope_.reply('0', "0");
  scope_.reply('1', "1");
  EXPECT_EQ(selectChannel(0), 0);
  EXPECT_EQ(selectChannel(1), 0);
  EXPECT_EQ(selectChannel(2), -3);
  scope_.reply('2', "x");
  EXPECT_EQ(selectChannel(2), -3);
  scope_.reply('1', "");
  EXPECT_EQ(selectChannel(1), -2);
  EXPECT_EQ(selectChannel(7), -3);
  EXPECT_EQ(selectChannel(-1), -3);
  EXPECT_EQ(scope_.received(), "01221") << "only valid channels are sent";
}

TEST_F(ScopeProtocol, DumpEndsAtLineFeedSilenceCutPairOrForeignByte) {
  struct Row {
    const char *name;
    std::string reply;
    std::vector<std::pair<int, int>> samples;
  } rows[] = {
      {"line feed", "d00FF80\n", {{0, 0}, {1, 255}, {2, 128}}},
      {"lower case", "dab7f\n", {{0, 0xAB}, {1, 0x7F}}},
      {"empty", "d\n", {}},
      {"silence after a first digit", "d7", {}},
      {"cut pair after samples", "d1234F", {{0, 0x12}, {1, 0x34}}},
      {"micro sign",
       "d10\xB5"
       "20\n",
       {{0, 0x10}}},
      {"silence", "d0102", {{0, 1}, {1, 2}}},
  };
  for (const Row &row : rows) {
    collected = Collected{};
    scope_.reply('d', row.reply);
    EXPECT_EQ(dumpWaveform(COLLECTOR), static_cast<int>(row.samples.size())) << row.name;
    EXPECT_EQ(collected.begins, 1) << row.name;
    EXPECT_EQ(collected.samples, row.samples) << row.name;
  }
}

TEST_F(ScopeProtocol, DumpWithoutEchoNeverCallsTheSink) {
  EXPECT_EQ(dumpWaveform(COLLECTOR), -1);
  scope_.reply('d', "x00\n");
  EXPECT_EQ(dumpWaveform(COLLECTOR), -1);
  EXPECT_EQ(collected.begins, 0);
  EXPECT_TRUE(collected.samples.empty());
}

TEST_F(ScopeProtocol, LongDumpDeliversEverySampleInOrder) {
  std::string reply = "d";
  char pair[3];
  for (int i = 0; i < 3000; ++i) {
    snprintf(pair, sizeof pair, "%02X", i % 256);
    reply += pair;
  }
  reply += "\n";
  scope_.reply('d', reply);
  ASSERT_EQ(dumpWaveform(COLLECTOR), 3000);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(collected.samples[static_cast<size_t>(i)], std::make_pair(i, i % 256));
  }
}

TEST_F(ScopeProtocol, StaleBytesAreDrainedBeforeEachCommand) {
  pty_.writeMaster("s7F"); // left over from an earlier exchange
  scope_.reply('s', "s20");
  EXPECT_EQ(readStatus(), 0x20);
}

TEST_F(ScopeProtocol, EndExchangeSendsZeroThenE) {
  scope_.reply('0', "0");
  endExchange();
  ASSERT_TRUE(waitFor([&] { return scope_.received() == "0e"; }, 1000)) << scope_.received();
}

TEST_F(ScopeProtocolOnTestClock, WholeRepliesLeaveOnlyTheGuardButBeforeTheFirstCommand) {
  // A byte left from an earlier exchange comes at 5 ms: the first command
  // waits for quiet after it. Each later reply is due 3 ms after the call
  // starts, just after the guard of 2 ms; a drain that waited for quiet would take it
  // for stale input.
  auto replyIn3Ms = [](const char *bytes) { TestClock::at((TestClock::ms() + 3) * MS, bytes); };
  TestClock::at(5 * MS, "7");
  TestClock::at(27 * MS, "1");
  EXPECT_EQ(selectChannel(1), 0);
  EXPECT_EQ(TestClock::ms(), 27);
  replyIn3Ms("s21");
  EXPECT_EQ(readStatus(), 0x21);
  replyIn3Ms("d0102\n");
  EXPECT_EQ(dumpWaveform(COLLECTOR), 2);
  replyIn3Ms("0");
  endExchange();
  EXPECT_LT(TestClock::ms(), 27 + QUIET_MS) << "no wait for quiet after the first";
  ASSERT_TRUE(waitFor([&] { return scope_.received() == "1sd0e"; }, 1000)) << scope_.received();
}

TEST_F(ScopeProtocolOnTestClock, StrayBytesJustAfterAWholeReplyAreDrained) {
  // Each whole reply is followed, at the given moment after its last byte, by
  // bytes that belong to no reply; the next command must not take them for
  // its own. Only a byte of 0x80 or above ends the guard at once.
  struct Row {
    const char *name;
    const char *reply; // whole, 1 ms after the first wait for quiet
    bool dump;         // the reply is a status pair and the next command "d", else "s"
    long strayUs;      // after the reply
    const char *stray;
    bool waitsForQuiet;
    int32_t baudRate = 38400; // the guard is at least one character time
  } rows[] = {
      {"echo, then a stale status at once", "1", false, 0, "s21zz", true},
      {"echo, then a stale status 1 ms later", "1", false, 1000, "s21zz", true},
      {"echo, then a stale status 1.9 ms later", "1", false, 1900, "s21", true},
      {"status, then a stale dump", "s21", true, 500, "d0102\n", true},
      {"echo, then 0xB5", "1", false, 500, "\xB5", false},
      {"echo, then a stale status 8 ms later at 1200 bit/s", "1", false, 8000, "s21", true, 1200},
  };
  for (const Row &row : rows) {
    TestClock clock;
    TestClock::masterFd = pty_.master;
    settings.baudRate = row.baudRate;
    long quietMs = 20 + (2 * 10 * 1000 + row.baudRate - 1) / row.baudRate;
    expectStaleInput();
    collected = Collected{};
    TestClock::at((quietMs + 1) * MS, row.reply);
    TestClock::at((quietMs + 1) * MS + row.strayUs, row.stray);
    if (row.dump) {
      EXPECT_EQ(readStatus(), 0x21) << row.name;
    } else {
      EXPECT_EQ(selectChannel(1), 0) << row.name;
    }
    int64_t returned = TestClock::ms();
    int64_t due = row.waitsForQuiet ? returned + 1 + quietMs : returned + 3;
    if (row.dump) {
      TestClock::at(due * MS, "d0A\n");
      EXPECT_EQ(dumpWaveform(COLLECTOR), 1) << row.name << ": stray bytes taken for the dump";
      EXPECT_EQ(collected.samples.size(), 1u) << row.name;
    } else {
      TestClock::at(due * MS, "s20");
      EXPECT_EQ(readStatus(), 0x20) << row.name << ": stray bytes taken for the status";
    }
    EXPECT_LE(TestClock::ms(), due + 1) << row.name;
  }
}

TEST_F(ScopeProtocolOnTestClock, DoubtfulReplyMakesTheNextCommandWaitForQuiet) {
  struct Row {
    const char *name;
    bool dump; // the first command is "d", else "s"
    const char *reply;
    const char *late; // comes 1 ms after the first command has returned
  } rows[] = {
      {"no echo", false, "", "s"},
      {"missing status digits", false, "s", "21"},
      {"cut status", false, "s2", "1"},
      {"bad status digit", false, "sG", "1"},
      {"trailing bytes", false, "s21X", "Y"},
      {"cut dump", true, "d123", "4\n"},
      {"dump ended by 0xB5", true, "d12\xB5", "\n"},
  };
  for (const Row &row : rows) {
    TestClock clock;
    TestClock::masterFd = pty_.master;
    expectStaleInput();
    if (*row.reply != '\0') {
      TestClock::at(22 * MS, row.reply);
    }
    testing::internal::CaptureStderr();
    row.dump ? dumpWaveform(COLLECTOR) : readStatus();
    testing::internal::GetCapturedStderr();
    int64_t returned = TestClock::ms();
    TestClock::at((returned + 1) * MS, row.late);
    TestClock::at((returned + 40) * MS, "d\n");
    EXPECT_EQ(dumpWaveform(COLLECTOR), 0) << row.name << ": stale input taken for the echo";
    EXPECT_GE(TestClock::ms(), returned + 1 + QUIET_MS) << row.name;
  }
}

TEST_F(ScopeProtocol, ProbeTakesOnlyAWholeStatusInTime) {
  // At 38400 bit/s the reply is due within 52 ms of the query.
  const struct {
    ScriptedReply reply;
    bool answers;
  } rows[] = {
      {{"s01"}, true},
      {{"s0", "1", 10 * 1000}, true},
      {{"s0x"}, false},
      {{"\xFC"
        "s01"},
       false},
      {{"0s01"}, false},
      {{""}, false},
      {{"s0", "1", 150 * 1000}, false}, // last: its late digit would reach the next row
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.reply.bytes + "|" + row.reply.later);
    scope_.replies('s', {row.reply});
    EXPECT_EQ(statusAnswersPromptly(), row.answers);
  }
}

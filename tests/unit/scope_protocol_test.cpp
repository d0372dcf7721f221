#include "scope/scope_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scope/serial_line.h"
#include "scripted_scope.h"
#include "settings/settings.h"
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
    settings = Settings{};
    settings.device = pty_.slavePath.c_str();
    ASSERT_GE(openSerialLine(), 0);
    configureLine();
    collected = Collected{};
  }
  void TearDown() override {
    restoreLine();
    closeSerialLine();
    settings = Settings{};
  }
  PtyPair pty_;
  ScriptedScope scope_{pty_};
};

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

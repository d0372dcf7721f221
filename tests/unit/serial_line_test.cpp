#include "scope/serial_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <map>
#include <poll.h>
#include <vector>

#include "scope/line_control.h"
#include "scope/speed_probe.h"
#include "settings/settings.h"
#include "settings_reset.h"
#include "test_clock.h"
#include "test_support.h"

namespace {

class SerialLine : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.device = pty_.slavePath.c_str();
    ASSERT_GE(openSerialLine(), 0);
  }
  void TearDown() override {
    setWaitHook(nullptr);
    if (settings.serialFd >= 0) {
      closeSerialLine();
    }
    resetSettings();
  }
  PtyPair pty_;
};

class SerialLineOnTestClock : public SerialLine {
protected:
  void SetUp() override {
    SerialLine::SetUp();
    TestClock::masterFd = pty_.master;
  }
  TestClock clock_;
};

} // namespace

TEST(BaudCode, MapsEveryAcceptedSpeedAndRejectsTheRest) {
  struct Row {
    int32_t rate;
    speed_t code;
  } rows[] = {
      {50, 1},         {75, 2},          {110, 3},         {134, 4},         {150, 5},
      {200, 6},        {300, 7},         {600, 8},         {1200, 9},        {1800, 10},
      {2400, 11},      {4800, 12},       {9600, 13},       {19200, 14},      {38400, 15},
      {57600, 0x1001}, {115200, 0x1002}, {230400, 0x1003}, {460800, 0x1004}, {0, 0},
      {100, 0},        {-38400, 0},      {38401, 0},       {921600, 0},      {2147483647, 0},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(baudCode(row.rate), row.code) << row.rate << " bit/s";
  }
}

TEST_F(SerialLine, OpensNonBlockingAndNeverAsControllingTerminal) {
  int flags = fcntl(settings.serialFd, F_GETFL);
  EXPECT_NE(flags & O_NONBLOCK, 0);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);

  // A session leader without a terminal would acquire the line as its
  // controlling terminal on open unless it is opened with O_NOCTTY.
  ProcessResult r = runInChild([&] {
    setsid();
    flock(settings.serialFd, LOCK_UN); // the lock is shared with the parent's open line
    settings.serialFd = -1;
    if (openSerialLine() < 0) {
      exit(2);
    }
    exit(open("/dev/tty", O_RDWR) < 0 ? 0 : 1);
  });
  EXPECT_EQ(r.exitStatus, 0) << "the line became the controlling terminal";

  settings.device = "/nonexistent/ttyS9";
  EXPECT_LT(openSerialLine(), 0);
  EXPECT_LT(settings.serialFd, 0);
  settings.serialFd = -1;
}

TEST_F(SerialLine, RawSetupAndRestoreGiveBackTheFormerAttributes) {
  termios before{};
  ASSERT_EQ(tcgetattr(pty_.slave, &before), 0);
  // Something recognisable that raw mode must change.
  before.c_lflag |= ECHO | ICANON;
  before.c_iflag |= ICRNL;
  before.c_cc[VMIN] = 1;
  ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &before), 0);
  tcgetattr(pty_.slave, &before);

  settings.baudRate = 9600;
  configureLine();
  termios raw{};
  tcgetattr(pty_.slave, &raw);
  EXPECT_EQ(raw.c_iflag, 0u);
  EXPECT_EQ(raw.c_oflag, 0u);
  EXPECT_EQ(raw.c_lflag, 0u);
  EXPECT_EQ(raw.c_cflag & CBAUD, static_cast<tcflag_t>(B9600));
  EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(raw.c_cflag & (PARENB | CSTOPB | CLOCAL), 0u);
  EXPECT_EQ(raw.c_cflag & (CRTSCTS | HUPCL | CREAD),
            static_cast<tcflag_t>(CRTSCTS | HUPCL | CREAD));
  EXPECT_EQ(raw.c_cc[VMIN], 0);
  EXPECT_EQ(raw.c_cc[VTIME], 0);

  restoreLine();
  termios after{};
  tcgetattr(pty_.slave, &after);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
}

TEST_F(SerialLine, SendsSingleBytesAndReportsAFailedWrite) {
  configureLine();
  sendByte('s');
  sendByte(0x1B5); // only the low byte goes out
  EXPECT_EQ(pty_.readMaster(), std::string("s\xB5"));

  int fd = settings.serialFd;
  settings.serialFd = -1;
  testing::internal::CaptureStderr();
  sendByte('x');
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n*** error, unable to send byte ***\n\n");
  settings.serialFd = fd;
}

TEST_F(SerialLineOnTestClock, ReceiveWaitsForALateByteButNotForever) {
  configureLine();
  pty_.writeMaster("A");
  EXPECT_EQ(receiveByte(), 'A');

  // A byte 5 ms late is far beyond a 50 us retry but well inside the wait.
  TestClock::at(5000, "B");
  EXPECT_EQ(receiveByte(), 'B');
  EXPECT_EQ(TestClock::ms(), 5);

  // 100 ms plus two character times at 38400 bit/s, rounded up.
  EXPECT_EQ(receiveByte(), -1);
  EXPECT_EQ(TestClock::ms(), 5 + 101);

  // Bytes of 0x80 and above come back negative, 0xFF as -1 itself.
  pty_.writeMaster("\xFF\xB5");
  EXPECT_EQ(receiveByte(), -1);
  EXPECT_EQ(receiveByte(), static_cast<signed char>(0xB5));
}

TEST_F(SerialLineOnTestClock, ReceiveWaitGrowsWithSlowLineSpeeds) {
  settings.baudRate = 50; // two characters take 400 ms
  configureLine();
  EXPECT_EQ(receiveByte(), -1);
  EXPECT_EQ(TestClock::ms(), 100 + 400);
}

TEST_F(SerialLine, DrainDiscardsPendingInputAndEndsOnSilenceOrHighByte) {
  configureLine();
  pty_.writeMaster("stale bytes");
  EXPECT_TRUE(drainInput());
  pty_.writeMaster("Z");
  EXPECT_EQ(receiveByte(), 'Z');

  pty_.writeMaster("ab\xFF"
                   "cd");
  EXPECT_TRUE(drainInput()); // stops at 0xFF like at silence
  EXPECT_EQ(receiveByte(), 'c');
  EXPECT_EQ(receiveByte(), 'd');
}

TEST_F(SerialLineOnTestClock, DrainOfANeverSilentLineEndsAfterTwoSeconds) {
  configureLine();
  // A byte every 2 ms, well inside the drain's 21 ms of quiet, for 3 s.
  for (int64_t us = 0; us < 3000000; us += 2000) {
    TestClock::at(us, "x");
  }
  EXPECT_FALSE(drainInput()) << "a drain that gave up says so";
  EXPECT_GE(TestClock::ms(), 2000);
  EXPECT_LE(TestClock::ms(), 2004);
}

TEST_F(SerialLine, StopSignalEndsTrafficAtTheNextByte) {
  configureLine();
  ProcessResult r = runInChild([&] {
    installStopHandlers();
    if (stopSignal() != 0) {
      exit(10);
    }
    pty_.writeMaster("pending");
    raise(SIGTERM); // recorded, not fatal
    if (stopSignal() != SIGTERM) {
      exit(11);
    }
    if (receiveByte() != -1) {
      exit(12); // must not read on after a stop
    }
    sendByte('d');
    exit(0);
  });
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(pty_.readMaster(), "") << "a command went out after the stop";
}

TEST_F(SerialLine, OpensOnlyATerminalThatNoOtherCaptureHolds) {
  // The fixture's line holds the lock: a second capture must not get in.
  int held = settings.serialFd;
  settings.serialFd = -1;
  EXPECT_EQ(openSerialLine(), SERIAL_LINE_IN_USE);
  EXPECT_EQ(settings.serialFd, -1);
  settings.serialFd = held;
  closeSerialLine();
  ASSERT_GE(openSerialLine(), 0) << "closing the line releases the lock";
  closeSerialLine();

  TempDir dir;
  std::string capture = dir.file("capture.dat");
  writeFile(capture, "0.0\t1.0\n");
  for (const std::string &path : {capture, dir.path(), dir.file("missing")}) {
    settings.device = path.c_str();
    EXPECT_EQ(openSerialLine(), SERIAL_OPEN_FAILED) << path;
    EXPECT_EQ(settings.serialFd, -1) << path;
  }
  EXPECT_EQ(readFile(capture), "0.0\t1.0\n") << "a regular file is never written to";
}

TEST_F(SerialLineOnTestClock, AGoneLineIsNotWaitedFor) {
  settings.baudRate = 50; // a quiet line would keep receiveByte 400 ms
  configureLine();
  EXPECT_FALSE(lineLost());
  close(pty_.master); // the scope's end goes away
  pty_.master = -1;

  EXPECT_EQ(receiveByte(), -1);
  drainInput();
  EXPECT_EQ(receiveByte(), -1);
  EXPECT_EQ(TestClock::ms(), 0) << "waited on a line that is gone";
  EXPECT_TRUE(lineLost());

  testing::internal::CaptureStderr();
  sendByte('0');
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n*** error, unable to send byte ***\n\n");
  closeSerialLine();
  EXPECT_FALSE(lineLost()) << "a closed line starts afresh";
}

// The line is read a chunk at a time but served a byte at a time: what is
// read ahead must behave as if it were still waiting on the line.
TEST_F(SerialLine, ReadAheadBytesComeOutInOrderAndDieWithTheLine) {
  configureLine();
  pty_.writeMaster("abc");
  EXPECT_EQ(receiveByte(), 'a');
  EXPECT_EQ(receiveByte(), 'b');
  // "c" was read with "a"; a line opened afresh must not see it.
  closeSerialLine();
  ASSERT_GE(openSerialLine(), 0);
  configureLine();
  EXPECT_EQ(receiveByte(), -1);
  pty_.writeMaster("d");
  EXPECT_EQ(receiveByte(), 'd');
}

TEST_F(SerialLine, DrainDiscardsReadAheadBytesUpToAHighByte) {
  configureLine();
  pty_.writeMaster("xy\x80zw");
  EXPECT_EQ(receiveByte(), 'x');
  drainInput(); // "y", then 0x80 ends it
  EXPECT_EQ(receiveByte(), 'z');
  drainInput();
  EXPECT_EQ(receiveByte(), -1);
}

TEST_F(SerialLineOnTestClock, AnOwedByteMayComeLaterThanADrainWaits) {
  configureLine();
  // A reply byte held up by a busy scope or host still arrives...
  TestClock::at(50000, "L");
  EXPECT_EQ(receiveByte(), 'L');
  EXPECT_EQ(TestClock::ms(), 50);
  // ...while a drain on a quiet line is over after 20 ms plus two
  // character times.
  drainInput();
  EXPECT_EQ(TestClock::ms(), 50 + 21);
}

TEST_F(SerialLine, StopSignalWinsOverReadAheadBytes) {
  configureLine();
  ProcessResult r = runInChild([&] {
    installStopHandlers();
    pty_.writeMaster("12");
    if (receiveByte() != '1') {
      exit(10);
    }
    raise(SIGINT);
    exit(receiveByte() == -1 ? 0 : 11);
  });
  EXPECT_EQ(r.exitStatus, 0);
}

// A line that hands over one byte at a time is read a few milliseconds' worth
// at a time, and the byte that ends the input is not held back for long.
TEST_F(SerialLineOnTestClock, ByteAtATimeInputIsGatheredWithoutHoldingBackItsEnd) {
  settings.baudRate = 460800;
  configureLine();
  static int waits;
  waits = 0;
  setWaitHook([] { return ++waits, -1; });
  std::string sent;
  for (int i = 0; i < 400; ++i) {
    char byte = static_cast<char>('a' + i % 26);
    sent += byte;
    TestClock::at(250 * (i + 1), std::string(1, byte));
  }
  int64_t lastWrittenUs = 250 * 401;
  TestClock::at(lastWrittenUs, "\n");
  std::string got;
  int c = 0;
  while ((c = receiveByte()) >= 0 && c != '\n') {
    got += static_cast<char>(c);
  }
  EXPECT_EQ(c, '\n');
  EXPECT_EQ(got, sent);
  // The end comes at most one gathering pause after it was sent.
  EXPECT_LE(TestClock::ms(), lastWrittenUs / 1000 + 5);
  // One wait per 4 ms gathered, not one per byte (that would be 400).
  EXPECT_LE(waits, TestClock::ms() / 4 + 3);
}

TEST_F(SerialLineOnTestClock, AWaitHookRunsAsOftenAsItAsksWithoutShorteningTheWait) {
  configureLine(); // 38400 bit/s: a receive waits 101 ms for its byte
  static int calls;
  calls = 0;
  setWaitHook([] { return ++calls, 10; });
  EXPECT_EQ(receiveByte(), -1);
  EXPECT_EQ(TestClock::ms(), 101);
  EXPECT_EQ(calls, 11); // at 0, 10, ..., 100 ms

  // A byte that arrives meanwhile still ends the wait at once.
  TestClock::at(101000 + 35000, "L");
  EXPECT_EQ(receiveByte(), 'L');
  EXPECT_EQ(TestClock::ms(), 101 + 35);
}

namespace {

// Stands in for the data file on the test clock: each byte received is a
// line written, flushed by the wait hook once the oldest has waited 50 ms.
// Records how long the latest byte flushed had been on the line.
struct FlushedFile {
  static inline std::vector<int64_t> arrivedUs; // when byte i reached the line
  static inline size_t received = 0;
  static inline size_t flushed = 0;
  static inline int64_t unflushedSinceMs = -1;
  static inline int64_t longestLagUs = 0;
  static void written() {
    ++received;
    if (unflushedSinceMs < 0) {
      unflushedSinceMs = TestClock::ms();
    }
  }
  static int hook() {
    if (unflushedSinceMs < 0) {
      return -1;
    }
    int64_t waited = TestClock::ms() - unflushedSinceMs;
    if (waited < 50) {
      return static_cast<int>(50 - waited);
    }
    longestLagUs = std::max(longestLagUs, TestClock::ms() * 1000 - arrivedUs[flushed]);
    flushed = received;
    unflushedSinceMs = -1;
    return -1;
  }
};

int wakeups = 0;
void (*clockSleep)(long) = nullptr;
int (*clockPoll)(pollfd *, nfds_t, int) = nullptr;

// The pty hands over what the clock delivered a moment later, in real time:
// waits until all that is due has come, as it would on a real line.
void settle() {
  auto &arrived = FlushedFile::arrivedUs;
  auto due = std::upper_bound(arrived.begin(), arrived.end(), lineClock.nowUs()) - arrived.begin() -
             static_cast<long>(FlushedFile::received);
  int waiting = 0;
  for (int tries = 0;
       ioctl(settings.serialFd, FIONREAD, &waiting) == 0 && waiting < due && tries < 2000;
       ++tries) {
    usleep(500);
  }
}

} // namespace

// A dump that arrives byte by byte at the line's pace: over a long one the
// line is read a few dozen times a second at every speed, each byte is in the
// file within 100 ms, the dump's end is seen at most some 3 % of its length
// (or a first pause) late, and the reply to the next command is not held up.
TEST_F(SerialLineOnTestClock, AByteAtATimeDumpWakesFewTimesAndReachesTheFileIn100Ms) {
  struct Row {
    int rate;
    long ms; // the dump's length
  } rows[] = {{1200, 4000}, {9600, 4000}, {38400, 4000}, {460800, 4000}, {38400, 150}, {1200, 300}};
  for (const Row &row : rows) {
    int rate = row.rate;
    SCOPED_TRACE(std::to_string(rate) + " bit/s, " + std::to_string(row.ms) + " ms");
    settings.baudRate = rate;
    configureLine();
    FlushedFile::arrivedUs.clear();
    FlushedFile::received = FlushedFile::flushed = 0;
    FlushedFile::longestLagUs = 0;
    FlushedFile::unflushedSinceMs = -1;
    setWaitHook(FlushedFile::hook);
    clockSleep = lineClock.sleepUs;
    clockPoll = lineClock.poll;
    wakeups = 0;
    lineClock.sleepUs = [](long us) {
      wakeups += us > 0 ? 1 : 0;
      clockSleep(us);
      settle();
    };
    // The clock's poll would wake at the last byte it delivers, not the first.
    lineClock.poll = [](pollfd *lines, nfds_t count, int timeoutMs) {
      wakeups += timeoutMs > 0 ? 1 : 0;
      int ready = clockPoll(lines, count, 0);
      for (int left = timeoutMs; ready == 0 && left > 0; --left) {
        ready = clockPoll(lines, count, 1);
      }
      settle();
      return ready;
    };

    int64_t startUs = TestClock::ms() * 1000;
    int64_t bytes = static_cast<int64_t>(row.ms) * rate / 10000;
    std::string sent;
    sendByte('d');
    for (int64_t i = 0; i < bytes; ++i) {
      int64_t atUs = startUs + i * 10000000 / rate;
      sent += static_cast<char>('a' + i % 26);
      if (i == 0) {
        pty_.writeMaster(sent);
      } else {
        TestClock::at(atUs, sent.substr(sent.size() - 1));
      }
      FlushedFile::arrivedUs.push_back(atUs);
    }
    int64_t endUs = startUs + bytes * 10000000 / rate;
    TestClock::at(endUs, "\n");
    std::string got;
    int c = 0;
    while ((c = receiveByte()) >= 0 && c != '\n') {
      got += static_cast<char>(c);
      FlushedFile::written();
    }
    EXPECT_EQ(c, '\n');
    EXPECT_EQ(got, sent);
    int64_t firstPauseUs = std::max(4000, 2 * 10000000 / rate);
    EXPECT_LE(TestClock::ms() * 1000, endUs + std::max((endUs - startUs) / 30, firstPauseUs) + 1000)
        << "end held back";
    if (row.ms >= 4000) {
      EXPECT_LE(wakeups, row.ms * 50 / 1000) << "wake-ups, 50 a second";
    }
    EXPECT_LE(FlushedFile::longestLagUs, 100000) << "lag of the file behind the line";

    int64_t commandUs = TestClock::ms() * 1000;
    TestClock::at(commandUs + 1000, "0");
    sendByte('0');
    EXPECT_EQ(receiveByte(), '0');
    EXPECT_LE(TestClock::ms() * 1000, commandUs + 5000) << "a reply waited for a long pause";
    lineClock.sleepUs = clockSleep;
    lineClock.poll = clockPoll;
    pty_.readMaster();
  }
}

TEST(SpeedProbe, TriesEveryAcceptedSpeedOnceTheOneGivenFirst) {
  for (int32_t first : {38400, 4800, 460800, 12345, 0}) {
    std::vector<int32_t> order = probeOrder(first);
    EXPECT_EQ(order.front(), baudCode(first) != 0 ? first : 38400) << first;
    std::vector<int32_t> accepted;
    for (int32_t rate = 0; rate <= 1000000; ++rate) {
      if (baudCode(rate) != 0) {
        accepted.push_back(rate);
      }
    }
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, accepted) << first;
  }
}

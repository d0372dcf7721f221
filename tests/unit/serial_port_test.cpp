// What a real port does and a pseudo-terminal never does: refuse a speed or
// a setting, keep CTS low, hold output back. A stand-in driver plays the
// port behind the line's terminal and modem-line calls; the descriptor is
// still a real pty, so opening and closing stay real.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>

#include "scope/line_control.h"
#include "scope/serial_line.h"
#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

namespace {

// The line's clock in these tests: its pauses advance it instead of
// passing, so that the bounds below check what the line decides to wait,
// whatever the machine's load.
int64_t nowUs = 0;
int64_t testNowMs() { return nowUs / 1000; }
int64_t testNowUs() { return nowUs; }
void testSleepUs(long us) { nowUs += us; }
const LineClock TEST_LINE_CLOCK = {testNowMs, testSleepUs, ::poll, testNowUs};

long msSince(int64_t startMs) { return static_cast<long>(testNowMs() - startMs); }

// The port the stand-in calls act on.
struct FakePort {
  termios current{};           // the attributes the driver holds
  speed_t fastest = B460800;   // faster speeds are refused: the old one stays
  bool dropsHandshake = false; // CRTSCTS never sticks
  bool sevenBitsOnly = false;  // CS8 becomes CS7
  bool readBackFails = false;  // tcgetattr fails once the line was set
  bool hasModemLines = true;
  long ctsHighAfterMs = 0; // -1: CTS stays low
  int ctrlCAtPoll = 0;     // SIGINT comes with this poll of the modem lines; 0: none
  int modemPolls = 0;
  int queued = 0;            // bytes in the output queue
  int drainsPerPoll = 0;     // bytes leaving between two polls of the queue
  bool queueUnknown = false; // TIOCOUTQ fails
  int busyPolls = 0;         // polls of an empty queue before the UART is idle
  int64_t opened = testNowMs();
  int sets = 0;
  std::string calls; // "get set flush-out ..." in order
};
FakePort port;

void note(const char *call) {
  port.calls += port.calls.empty() ? "" : " ";
  port.calls += call;
}

int fakeGetAttributes(int, termios *attributes) {
  if (port.readBackFails && port.sets > 0) {
    errno = EIO;
    return -1;
  }
  *attributes = port.current;
  return 0;
}

int fakeSetAttributes(int, int, const termios *attributes) {
  note("set");
  ++port.sets;
  termios taken = *attributes;
  if (cfgetospeed(&taken) > port.fastest) {
    cfsetospeed(&taken, cfgetospeed(&port.current));
    cfsetispeed(&taken, cfgetispeed(&port.current));
  }
  if (port.dropsHandshake) {
    taken.c_cflag &= ~CRTSCTS;
  }
  if (port.sevenBitsOnly) {
    taken.c_cflag = (taken.c_cflag & ~CSIZE) | CS7;
  }
  port.current = taken;
  return 0; // like the driver: success whatever it kept
}

int fakeModemLines(int, int *lines) {
  if (!port.hasModemLines) {
    errno = ENOTTY;
    return -1;
  }
  if (++port.modemPolls == port.ctrlCAtPoll) {
    raise(SIGINT);
  }
  bool high = port.ctsHighAfterMs >= 0 && msSince(port.opened) >= port.ctsHighAfterMs;
  *lines = TIOCM_DTR | TIOCM_RTS | (high ? TIOCM_CTS : 0);
  return 0;
}

int fakeOutputQueued(int, int *bytes) {
  if (port.queueUnknown) {
    errno = ENOTTY;
    return -1;
  }
  *bytes = port.queued;
  port.queued = std::max(0, port.queued - port.drainsPerPoll);
  return 0;
}

int fakeTransmitterEmpty(int, bool *empty) {
  *empty = port.busyPolls == 0;
  port.busyPolls = std::max(0, port.busyPolls - 1);
  return 0;
}

int fakeFlush(int, int queue) {
  note(queue == TCOFLUSH ? "flush-out" : "flush-other");
  port.queued = 0;
  return 0;
}

class SerialPort : public ::testing::Test {
protected:
  void SetUp() override {
    resetSettings();
    settings.device = pty_.slavePath.c_str();
    ASSERT_GE(openSerialLine(), 0);
    startAfresh();
    lineControl = {fakeGetAttributes, fakeSetAttributes,    fakeModemLines,
                   fakeOutputQueued,  fakeTransmitterEmpty, fakeFlush};
    lineClock = TEST_LINE_CLOCK;
  }
  void TearDown() override {
    lineControl = SYSTEM_LINE_CONTROL;
    lineClock = SYSTEM_LINE_CLOCK;
    if (settings.serialFd >= 0) {
      closeSerialLine();
    }
    resetSettings();
  }
  // A port at 9600 bit/s, 8N1 without handshake, that takes everything.
  static void startAfresh() {
    port = FakePort{};
    cfmakeraw(&port.current);
    port.current.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
  }
  // Runs configureLine and returns its messages.
  static std::string configure(int expected) {
    testing::internal::CaptureStderr();
    int result = configureLine();
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, expected) << messages;
    return messages;
  }
  PtyPair pty_;
};

} // namespace

TEST_F(SerialPort, ConfigureReadsBackWhatThePortTook) {
  const std::string refused = "*** Error: serial line '" + pty_.slavePath + "' cannot run at ";
  const std::string warning = "*** Warning: serial line '" + pty_.slavePath + "' did not take ";
  struct Row {
    const char *name;
    int32_t rate;
    const char *flow;
    void (*quirk)();
    int result;
    std::string message;
  } rows[] = {
      {"all taken", 38400, "rtscts", [] {}, LINE_READY, ""},
      {"a 16550 at its top speed", 115200, "rtscts", [] { port.fastest = B115200; }, LINE_READY,
       ""},
      {"a 16550 asked for 230400", 230400, "rtscts", [] { port.fastest = B115200; },
       LINE_SPEED_REFUSED, refused + "230400 bit/s ***\n"},
      {"a 16550 asked for 460800", 460800, "rtscts", [] { port.fastest = B115200; },
       LINE_SPEED_REFUSED, refused + "460800 bit/s ***\n"},
      {"attributes not readable", 38400, "rtscts", [] { port.readBackFails = true; },
       LINE_SPEED_REFUSED, refused + "38400 bit/s ***\n"},
      {"no handshake", 38400, "rtscts", [] { port.dropsHandshake = true; }, LINE_READY,
       warning + "RTS/CTS ***\n"},
      {"7 data bits", 38400, "rtscts", [] { port.sevenBitsOnly = true; }, LINE_READY,
       warning + "8 data bits ***\n"},
      {"neither", 38400, "rtscts",
       [] {
         port.dropsHandshake = true;
         port.sevenBitsOnly = true;
       },
       LINE_READY, warning + "8 data bits and RTS/CTS ***\n"},
      {"no handshake asked for", 38400, "none", [] { port.dropsHandshake = true; }, LINE_READY, ""},
      {"7 data bits without handshake", 38400, "none", [] { port.sevenBitsOnly = true; },
       LINE_READY, warning + "8 data bits ***\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    startAfresh();
    row.quirk();
    termios before = port.current;
    settings.baudRate = row.rate;
    settings.flow = row.flow;
    EXPECT_EQ(configure(row.result), row.message);
    if (row.result == LINE_READY) {
      EXPECT_EQ(cfgetospeed(&port.current), baudCode(row.rate));
      bool handshake = strcmp(row.flow, "rtscts") == 0 && !port.dropsHandshake;
      EXPECT_EQ((port.current.c_cflag & CRTSCTS) != 0, handshake);
    }
    // Whatever the port took, the restore gives back what it had.
    port.sevenBitsOnly = false;
    restoreLine();
    EXPECT_EQ(port.current.c_cflag, before.c_cflag);
    EXPECT_EQ(memcmp(&port.current, &before, sizeof before), 0);
  }
}

// The control flags are replaced as a whole; a pseudo-terminal forces
// CREAD on, so only a stand-in port shows that it is asked for.
TEST_F(SerialPort, RawLineAsksForTheWholeControlWord) {
  settings.baudRate = 38400;
  configure(LINE_READY);
  EXPECT_EQ(port.current.c_cflag, static_cast<tcflag_t>(B38400 | CRTSCTS | HUPCL | CREAD | CS8));
  EXPECT_EQ(port.current.c_cflag, 0x800004BFu);
}

TEST_F(SerialPort, FirstCommandWaitsForCtsAsLongAsForAByte) {
  const std::string noCts = "*** Error: no CTS on '" + pty_.slavePath +
                            "': scope switched off, or a cable without RTS/CTS (try --flow=none) "
                            "***\n";
  struct Row {
    const char *name;
    const char *flow;
    bool hasModemLines;
    long ctsHighAfterMs;
    bool clear;
    long minMs, maxMs;
    std::string message;
  } rows[] = {
      {"CTS high", "rtscts", true, 0, true, 0, 20, ""},
      {"CTS rises late", "rtscts", true, 40, true, 40, 95, ""},
      {"CTS low", "rtscts", true, -1, false, 100, 190, noCts},
      {"CTS low, no handshake", "none", true, -1, true, 0, 20, ""},
      {"no modem lines (a pty)", "rtscts", false, -1, true, 0, 20, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    startAfresh();
    settings.flow = row.flow;
    port.hasModemLines = row.hasModemLines;
    port.ctsHighAfterMs = row.ctsHighAfterMs;
    auto start = port.opened = testNowMs();
    testing::internal::CaptureStderr();
    bool clear = clearToSend();
    std::string message = testing::internal::GetCapturedStderr();
    long took = msSince(start);
    EXPECT_EQ(clear, row.clear);
    EXPECT_EQ(message, row.message);
    EXPECT_GE(took, row.minMs);
    EXPECT_LT(took, row.maxMs);
  }
  // Two character times at 50 bit/s are 400 ms, and CTS is waited for as long.
  startAfresh();
  settings.baudRate = 50;
  port.ctsHighAfterMs = 350;
  port.opened = testNowMs();
  EXPECT_TRUE(clearToSend());
}

// Ctrl-C while CTS is low is the driver's to report as a stop, not a
// missing CTS: the wait ends at the next poll, without a message.
TEST_F(SerialPort, StopSignalEndsTheCtsWaitWithoutAMessage) {
  settings.flow = "rtscts";
  port.ctsHighAfterMs = -1;
  port.ctrlCAtPoll = 3;
  ProcessResult r = runInChild([] {
    installStopHandlers();
    bool clear = clearToSend();
    printf("clear %d, signal %d, polls %d", clear, stopSignal(), port.modemPolls);
  });
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "clear 1, signal 2, polls 3");
  EXPECT_EQ(r.err, "");
}

// The normal end lets the last command leave (bounded), every other end
// gives up at once; both discard only what the port still holds.
TEST_F(SerialPort, OnlyTheNormalEndLetsQueuedOutputLeave) {
  struct Row {
    const char *name;
    void (*end)();
    void (*quirk)();
    long minMs, maxMs;
    const char *calls;
  } rows[] = {
      {"normal, queue empty", finishLine, [] {}, 0, 20, "set"},
      {"normal, queue drains", finishLine,
       [] {
         port.queued = 6;
         port.drainsPerPoll = 1;
       },
       4, 60, "set"},
      {"normal, last byte still in the UART", finishLine,
       [] {
         port.queued = 1;
         port.drainsPerPoll = 1;
         port.busyPolls = 5;
       },
       4, 60, "set"},
      // 100 ms and ten characters at 38400 bit/s (3 ms), then the rest goes.
      {"normal, held back by CTS", finishLine, [] { port.queued = 2; }, 101, 190, "flush-out set"},
      {"normal, UART never idle", finishLine, [] { port.busyPolls = 1000000; }, 101, 190, "set"},
      {"normal, queue not readable", finishLine, [] { port.queueUnknown = true; }, 0, 20,
       "flush-out set"},
      {"given up, held back by CTS", abandonLine, [] { port.queued = 2; }, 0, 20, "flush-out set"},
      {"given up, queue not readable", abandonLine, [] { port.queueUnknown = true; }, 0, 20,
       "flush-out set"},
      // A pty's written bytes wait in the other end, which may still read them.
      {"given up, nothing queued", abandonLine, [] {}, 0, 20, "set"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    if (settings.serialFd < 0) {
      ASSERT_GE(openSerialLine(), 0);
    }
    startAfresh();
    termios before = port.current;
    ASSERT_EQ(configureLine(), LINE_READY);
    port.calls.clear();
    row.quirk();
    auto start = testNowMs();
    row.end();
    long took = msSince(start);
    EXPECT_GE(took, row.minMs);
    EXPECT_LT(took, row.maxMs);
    EXPECT_EQ(port.calls, row.calls);
    EXPECT_EQ(port.queued, 0);
    EXPECT_EQ(memcmp(&port.current, &before, sizeof before), 0) << "attributes not restored";
    EXPECT_EQ(settings.serialFd, -1);
  }
}

// The real calls on a pseudo-terminal, which takes every speed: no speed
// may be taken for refused, and the handshake follows the flow setting.
TEST_F(SerialPort, APseudoTerminalTakesEverySpeedAndTheFlowSetting) {
  lineControl = SYSTEM_LINE_CONTROL;
  for (int32_t rate : {50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200,
                       38400, 57600, 115200, 230400, 460800}) {
    for (const char *flow : {"rtscts", "none"}) {
      SCOPED_TRACE(std::to_string(rate) + " " + flow);
      settings.baudRate = rate;
      settings.flow = flow;
      EXPECT_EQ(configure(LINE_READY), "");
      termios taken{};
      ASSERT_EQ(tcgetattr(pty_.master, &taken), 0); // the master shows the slave's settings
      EXPECT_EQ(cfgetospeed(&taken), baudCode(rate));
      EXPECT_EQ((taken.c_cflag & CRTSCTS) != 0, strcmp(flow, "rtscts") == 0);
      EXPECT_TRUE(clearToSend()) << "a pty has no CTS to wait for";
      restoreLine();
    }
  }
}

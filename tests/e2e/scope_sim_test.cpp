// The virtual scope run as a program, driven over its pseudo-terminal the way
// the tool drives a real scope.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> simArgs(const std::vector<std::string> &options) {
  std::vector<std::string> argv{QELVO_SIM_BIN};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

// The terminal's path: the first line the simulator prints.
std::string slavePathOf(const Child &sim) {
  std::string out;
  waitFor(
      [&] {
        out = sim.currentOut();
        return out.find('\n') != std::string::npos;
      },
      5000);
  return out.substr(0, out.find('\n'));
}

// Opens the line as the tool does: raw, 8 bits, the speed in the control flags.
int openLine(const std::string &path, speed_t speed = B38400, tcflag_t extraFlags = 0) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    return fd;
  }
  termios attributes{};
  tcgetattr(fd, &attributes);
  cfmakeraw(&attributes);
  attributes.c_cflag = speed | CREAD | CS8 | extraFlags;
  tcsetattr(fd, TCSANOW, &attributes);
  return fd;
}

void send(int fd, const std::string &bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string readQuiet(int fd, int quietMs = 300) { return readUntilQuiet(fd, quietMs); }

// Sends a command and reads its reply. Once as many bytes as the reply should
// have are in, a short quiet shows that nothing more follows; a reply that
// should be silence is waited out whole.
std::string exchange(int fd, const std::string &command, const std::string &expected) {
  send(fd, command);
  std::string reply;
  auto deadline = Clock::now() + std::chrono::seconds(3);
  pollfd pfd{fd, POLLIN, 0};
  while (reply.size() < expected.size() && Clock::now() < deadline) {
    if (poll(&pfd, 1, 100) <= 0) {
      continue;
    }
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    reply.append(buffer, static_cast<size_t>(n));
  }
  return reply + readQuiet(fd, expected.empty() ? 200 : 50);
}

// The dump the simulator should send for a record printed by --print-waveform.
std::string expectedDump(const std::string &printed) {
  std::istringstream lines(printed);
  std::string dump = "d";
  int value = 0;
  char pair[3];
  while (lines >> value) {
    snprintf(pair, sizeof pair, "%02X", value);
    dump += pair;
  }
  return dump + "\n";
}

struct Exchange {
  std::string command;
  std::string reply;
};

} // namespace

TEST(ScopeSim, EchoesCommandsAndReportsChannelAndReadinessInStatus) {
  struct Row {
    std::vector<std::string> options;
    std::vector<Exchange> exchanges;
  } rows[] = {
      {{},
       {{"0s", "0s01"},
        {"2s", "2s00"},
        {"1s", "1s01"},
        {"2", "2"},
        {"0s", "0s01"},
        {"x\n", ""},
        {"e", ""}}},
      {{"--panel-channel", "2", "--not-ready"},
       {{"0s", "0s20"}, {"1s", "1s21"}, {"s", "s21"}, {"0", "0"}, {"s", "s20"}}},
  };
  for (const Row &row : rows) {
    Child sim(simArgs(row.options));
    int fd = openLine(slavePathOf(sim));
    ASSERT_GE(fd, 0);
    for (const Exchange &step : row.exchanges) {
      EXPECT_EQ(exchange(fd, step.command, step.reply), step.reply) << "command " << step.command;
    }
    close(fd);
  }
}

TEST(ScopeSim, DumpsTheSelectedRecordAsHexPairsClosedByLineFeed) {
  struct Row {
    std::vector<std::string> options;
    std::string channel;
    std::string printChannel;
  } rows[] = {
      {{"--samples", "1000"}, "1", "1"},
      {{"--samples", "1000"}, "2", "2"},
      {{"--wave1", "ramp", "--samples", "300"}, "0", "1"},
      {{"--wave1", "triangle", "--cycles", "2.5", "--amplitude", "200", "--offset", "100",
        "--samples", "500"},
       "1",
       "1"},
      // Far more than the pty holds at once: the writes must go on where the
      // tool's reads left them.
      {{"--wave2", "noise", "--seed", "7", "--samples", "20000", "--pace", "none"}, "2", "2"},
      {{"--samples", "0"}, "1", "1"},
  };
  for (const Row &row : rows) {
    std::vector<std::string> printArgs = row.options;
    printArgs.insert(printArgs.end(), {"--print-waveform", row.printChannel});
    ProcessResult printed = runProgram(simArgs(printArgs));
    ASSERT_EQ(printed.exitStatus, 0);
    Child sim(simArgs(row.options));
    int fd = openLine(slavePathOf(sim), B460800);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, row.channel, row.channel), row.channel);
    std::string expected = expectedDump(printed.out);
    EXPECT_EQ(exchange(fd, "d", expected), expected) << "channel " << row.channel;
    close(fd);
  }
  ProcessResult ramp =
      runProgram(simArgs({"--wave2", "ramp", "--samples", "258", "--print-waveform", "2"}));
  EXPECT_EQ(ramp.out.substr(0, 6), "0\n1\n2\n");
  EXPECT_EQ(ramp.out.substr(ramp.out.size() - 12), "254\n255\n0\n1\n");
  ProcessResult clamped =
      runProgram(simArgs({"--wave1", "square", "--amplitude", "300", "--samples", "4", "--cycles",
                          "1", "--print-waveform", "1"}));
  EXPECT_EQ(clamped.out, "255\n255\n0\n0\n");
}

// Both records come from one acquisition: a run may select and dump each in
// turn. Their lengths may differ, and the time base stays shared.
TEST(ScopeSim, DumpsBothChannelsInOneRunEachAtItsOwnLength) {
  const std::vector<std::string> options{
      "--samples", "4",      "--samples1", "8",       "--samples2", "3",       "--cycles",
      "1",         "--duty", "25",         "--wave1", "square",     "--wave2", "ramp"};
  std::vector<std::string> print = options;
  print.insert(print.end(), {"--print-waveform", "1"});
  EXPECT_EQ(runProgram(simArgs(print)).out, "228\n28\n28\n28\n228\n28\n28\n28\n");
  print.back() = "2";
  EXPECT_EQ(runProgram(simArgs(print)).out, "0\n1\n2\n");
  Child sim(simArgs(options));
  int fd = openLine(slavePathOf(sim));
  ASSERT_GE(fd, 0);
  const std::string both = "1s01dE41C1C1CE41C1C1C\n2s00d000102\n0";
  EXPECT_EQ(exchange(fd, "1sd2sd0e", both), both);
  close(fd);
}

TEST(ScopeSim, FaultsSendExactlyTheirBytes) {
  struct Row {
    std::vector<std::string> options;
    std::vector<Exchange> exchanges;
  } rows[] = {
      {{"--fault", "silent"}, {{"0", ""}, {"s", ""}, {"d", ""}}},
      {{"--fault", "no-echo=s"}, {{"0", "0"}, {"s", ""}, {"d", "d00\n"}}},
      // An ignored channel command leaves the panel channel selected.
      {{"--fault", "no-echo=1", "--fault", "no-echo=d", "--panel-channel", "2"},
       {{"1", ""}, {"s", "s00"}, {"d", ""}, {"2", "2"}}},
      // Only the second "d" of each capture goes unanswered.
      {{"--fault", "no-echo=d2", "--wave2", "ramp"},
       {{"1sd", "1s01d00\n"},
        {"2sd", "2s00"},
        {"d", "d00\n"},
        {"0e2sd", "02s00d00\n"},
        {"1sd", "1s01"}}},
      {{"--fault", "status-missing", "--not-ready"}, {{"s", "s"}, {"0", "0"}}},
      {{"--fault", "status-cut", "--not-ready"}, {{"s", "s2"}}},
      {{"--fault", "dump-cut=2", "--wave1", "ramp", "--samples", "40"}, {{"d", "d00010"}}},
      {{"--fault", "dump-cut=0", "--wave1", "ramp", "--samples", "40"}, {{"d", "d0"}}},
      {{"--fault", "dump-b5", "--wave1", "ramp", "--samples", "3"},
       {{"d", "d000102\xB5"}, {"s", "s01"}}},
  };
  for (const Row &row : rows) {
    // A one-sample ramp unless the row says otherwise: later options win.
    std::vector<std::string> merged{"--samples", "1", "--wave1", "ramp"};
    merged.insert(merged.end(), row.options.begin(), row.options.end());
    Child sim(simArgs(merged));
    int fd = openLine(slavePathOf(sim));
    ASSERT_GE(fd, 0);
    for (const Exchange &step : row.exchanges) {
      EXPECT_EQ(exchange(fd, step.command, step.reply), step.reply)
          << row.options[1] << ", command " << step.command;
    }
    close(fd);
  }
}

// Captures count across runs; a "2" inside a capture starts none, and the
// samples of both its dumps count towards the end. What the scope sent last
// before it died may be lost with the line.
TEST(ScopeSim, DiesInTheGivenCaptureAfterItsSamples) {
  const std::string whole = "1s01d0001020304\n2s00d0001020304\n0";
  struct Row {
    const char *fault;
    std::vector<Exchange> steps; // the last reply is the most that may come
  } rows[] = {
      {"die-in-capture=2:6",
       {{"1sd2sd0e", whole},
        {"1", "1"},
        {"s", "s01"},
        {"d", "d0001020304\n"},
        {"2", "2"},
        {"s", "s00"},
        {"d", "d00"}}},
      {"die-in-capture=3",
       {{"1sd2sd0e", whole},
        {"0sd0e", "0s01d0001020304\n0"},
        {"2", "2"},
        {"s", "s00"},
        {"d", "d"}}},
  };
  for (const Row &row : rows) {
    Child sim(
        simArgs({"--wave1", "ramp", "--wave2", "ramp", "--samples", "5", "--fault", row.fault}));
    int fd = openLine(slavePathOf(sim));
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i + 1 < row.steps.size(); ++i) {
      EXPECT_EQ(exchange(fd, row.steps[i].command, row.steps[i].reply), row.steps[i].reply)
          << row.fault;
    }
    send(fd, row.steps.back().command);
    std::string last = readQuiet(fd, 100);
    EXPECT_EQ(row.steps.back().reply.substr(0, last.size()), last) << row.fault;
    ProcessResult result = sim.wait(3000);
    EXPECT_EQ(result.signal, SIGKILL) << row.fault;
    close(fd);
  }
}

TEST(ScopeSim, PacesRepliesAtTheLineSpeed) {
  struct Row {
    std::vector<std::string> options;
    double seconds;            // nominal time from sending "d" to the closing line feed
    size_t minReads, maxReads; // reads it takes to fetch the whole dump
  } rows[] = {
      // 1000 samples: "d", 2000 digits and the line feed, 10 bits each.
      {{"--samples", "1000"}, 2002 * 10 / 9600.0, 1, 2002},
      {{"--samples", "1000", "--pace", "19200"}, 2002 * 10 / 19200.0, 1, 2002},
      {{"--samples", "1000", "--pace", "none", "--delay", "600"}, 0.6, 1, 2002},
      // 2 ms groups are 8 characters at 38400 bit/s; byte by byte, a reader
      // that keeps up sees each one on its own, and even one slowed by a busy
      // host (some 5 bytes a read seen at a load of 7 on 2 cores) sees more
      // pieces than eight-byte groups would make.
      {{"--samples", "1000", "--pace", "38400", "--delivery", "groups"},
       2002 * 10 / 38400.0,
       1,
       2002 / 8 + 20},
      {{"--samples", "1000", "--pace", "38400", "--delivery", "bytes"},
       2002 * 10 / 38400.0,
       2002 / 6,
       2002},
  };
  for (const Row &row : rows) {
    Child sim(simArgs(row.options));
    int fd = openLine(slavePathOf(sim), B9600, CRTSCTS | HUPCL);
    ASSERT_GE(fd, 0);
    auto start = Clock::now();
    send(fd, "d");
    std::string dump;
    size_t reads = 0;
    pollfd pfd{fd, POLLIN, 0};
    while ((dump.empty() || dump.back() != '\n') && poll(&pfd, 1, 5000) > 0) {
      char buffer[4096];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      ++reads;
      dump.append(buffer, static_cast<size_t>(n));
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::string name = row.options[row.options.size() - 2] + " " + row.options.back();
    EXPECT_EQ(dump.size(), 2002u) << name;
    EXPECT_GE(elapsed, 0.9 * row.seconds) << name;
    EXPECT_LE(elapsed, row.seconds + 1.0) << name;
    EXPECT_GE(reads, row.minReads) << name;
    EXPECT_LE(reads, row.maxReads) << name;
    close(fd);
  }
}

TEST(ScopeSim, LogsEveryByteAndEndsARunAfterQuietFollowingE) {
  TempDir dir;
  std::string log = dir.file("log");
  Child sim(simArgs({"--runs", "2", "--panel-channel", "2", "--log", log}));
  int fd = openLine(slavePathOf(sim));
  ASSERT_GE(fd, 0);
  // A not-ready run: "0" "e" twice, the second soon after the first.
  EXPECT_EQ(exchange(fd, "1s", "1s01"), "1s01");
  EXPECT_EQ(exchange(fd, "0e", "0"), "0");
  EXPECT_EQ(exchange(fd, "0e", "0"), "0");
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(waitpid(sim.pid(), nullptr, WNOHANG), 0) << "ended after the first of two runs";
  // The new run starts on the panel channel again.
  EXPECT_EQ(exchange(fd, "s", "s00"), "s00");
  send(fd, "0\xFF"
           "e");
  ProcessResult result = sim.wait(3000);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(readFile(log), "1s0e0es0\xFF"
                           "e");
  close(fd);
}

TEST(ScopeSim, StopsOnSignalRemovingItsLinkAndSurvivesTheToolsHangUp) {
  for (int sig : {SIGTERM, SIGINT}) {
    TempDir dir;
    std::string link = dir.file("ttyScope");
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    Child sim(simArgs({"--link", link}));
    std::string path = slavePathOf(sim);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    // The tool sets hang-up on close and leaves the last echo unread; the
    // next run must still find the line, and find it clean.
    for (int run = 0; run < 2; ++run) {
      int fd = openLine(link, B38400, HUPCL | CRTSCTS);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(exchange(fd, "0s", "0s01"), "0s01") << "run " << run;
      send(fd, "0e");
      close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    sim.kill(sig);
    ProcessResult result = sim.wait(3000);
    EXPECT_EQ(result.signal, 0) << strsignal(sig);
    EXPECT_EQ(result.exitStatus, 0) << strsignal(sig);
    struct stat unused {};
    EXPECT_NE(lstat(link.c_str(), &unused), 0) << "link left behind after " << strsignal(sig);
  }
  TempDir dir;
  writeFile(dir.file("plain"), "keep");
  ProcessResult refused = runProgram(simArgs({"--link", dir.file("plain")}));
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(readFile(dir.file("plain")), "keep");
}

TEST(ScopeSim, DocumentsEveryOptionAndRejectsBadValuesInOneLine) {
  ProcessResult help = runProgram(simArgs({"--help"}));
  EXPECT_EQ(help.exitStatus, 0);
  for (const char *option :
       {"--link",           "--runs",          "--log",       "--pace",         "--delay",
        "--delivery",       "--panel-channel", "--not-ready", "--wave1",        "--wave2",
        "--samples",        "--cycles",        "--amplitude", "--offset",       "--seed",
        "--print-waveform", "--fault silent",  "no-echo=C",   "no-echo=d2",     "status-missing",
        "status-cut",       "dump-cut=N",      "dump-b5",     "die-in-capture", "--tty",
        "--listen",         "--connect",       "--help"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  const std::vector<std::string> bad[] = {
      {"--bogus"},
      {"--runs", "0"},
      {"--runs"},
      {"--panel-channel", "3"},
      {"--wave1", "saw"},
      {"--samples", "-1"},
      {"--samples2", "x"},
      {"--duty", "100.5"},
      {"--duty", "-1"},
      {"--cycles", "x"},
      {"--pace", "fast"},
      {"--delivery", "byte"},
      {"--fault", "no-echo=e"},
      {"--fault", "no-echo=d3"},
      {"--fault", "dump-cut=-2"},
      {"--fault", "die-in-capture=0"},
      {"--fault", "die-in-capture=2:x"},
      {"--print-waveform", "0"},
      {"--tty", "/dev/null", "--connect", "x"},
      {"--listen", "x", "--link", "y"},
      {"extra"},
  };
  for (const std::vector<std::string> &options : bad) {
    ProcessResult result = runProgram(simArgs(options));
    EXPECT_EQ(result.exitStatus, 2) << options[0];
    EXPECT_EQ(result.out, "") << options[0];
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

// Help and option table are one: every option a row of --help begins with is
// one the scope knows, and it wants a value exactly when the row shows one.
TEST(ScopeSim, EveryOptionTheHelpListsIsKnown) {
  ProcessResult help = runProgram(simArgs({"--help"}));
  ASSERT_EQ(help.exitStatus, 0);
  std::regex row("\n  --([a-z0-9-]+)( [^ ]+)?");
  int rows = 0;
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), row), end; it != end; ++it) {
    ++rows;
    const std::string option = "--" + (*it)[1].str();
    const bool wantsValue = (*it)[2].matched;
    // A last option without its value; a printed empty record ends the run.
    ProcessResult result = runProgram(simArgs({"--print-waveform", "1", "--samples", "0", option}));
    if (wantsValue) {
      EXPECT_EQ(result.exitStatus, 2) << option;
      EXPECT_EQ(result.err,
                "qelvo-scope-sim: option '" + option + "' needs a value (see --help)\n");
    } else {
      EXPECT_EQ(result.exitStatus, 0) << option << ": " << result.err;
      EXPECT_EQ(result.err, "") << option;
    }
  }
  EXPECT_GE(rows, 30) << help.out;
}

namespace {

sockaddr_un unixAddress(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

int connectTo(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = unixAddress(path);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

// Instead of its own pty the scope answers on a terminal it is given (and
// leaves it as found) or on one socket connection (and ends with it). The
// scope's end of a socket has no speed: the pace must be given.
TEST(ScopeSim, AnswersOnAGivenTerminalOrSocket) {
  const std::vector<std::string> shape{"--samples", "3", "--wave1", "ramp", "--pace", "300"};
  const std::string reply = "1s01d000102\n";
  enum Mode { TTY, LISTEN, CONNECT };
  for (Mode mode : {TTY, LISTEN, CONNECT}) {
    TempDir dir;
    std::string sock = dir.file("sock");
    PtyPair pty;
    termios found{};
    tcgetattr(pty.slave, &found);
    int listener = -1;
    std::vector<std::string> options = shape;
    if (mode == TTY) {
      options.insert(options.end(), {"--tty", pty.slavePath});
    } else if (mode == LISTEN) {
      options.insert(options.end(), {"--listen", sock});
    } else {
      listener = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address = unixAddress(sock);
      ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
      ASSERT_EQ(listen(listener, 1), 0);
      options.insert(options.end(), {"--connect", sock});
    }
    Child sim(simArgs(options));
    std::string served = slavePathOf(sim);
    int fd = mode == TTY      ? pty.master
             : mode == LISTEN ? connectTo(sock)
                              : accept(listener, nullptr, nullptr);
    ASSERT_GE(fd, 0) << "mode " << mode << ": " << sim.currentErr();
    EXPECT_EQ(served, mode == TTY ? pty.slavePath : sock);
    auto start = Clock::now();
    EXPECT_EQ(exchange(fd, "1sd", reply), reply) << "mode " << mode;
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // 12 characters of 10 bits at 300 bit/s.
    EXPECT_GE(elapsed, 12 * 10 / 300.0) << "mode " << mode;
    if (mode == TTY) {
      termios during{};
      tcgetattr(pty.slave, &during);
      EXPECT_EQ(cfgetospeed(&during), B300);
      EXPECT_NE(during.c_cflag & CLOCAL, 0u);
      sim.kill(SIGTERM);
    } else {
      close(fd);
    }
    ProcessResult result = sim.wait(3000);
    EXPECT_EQ(result.exitStatus, 0) << "mode " << mode << ": " << result.err;
    if (mode == TTY) {
      termios after{};
      tcgetattr(pty.slave, &after);
      EXPECT_EQ(memcmp(&after, &found, sizeof after), 0) << "terminal not given back";
    } else {
      EXPECT_NE(access(sock.c_str(), F_OK) == 0, mode == LISTEN) << "socket left behind";
      close(listener);
    }
  }
}

// The finished qelvo against the virtual scope: exit statuses, messages, the
// command sequence on the line and the data file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>

#include "e2e_support.h"

namespace {

const char BANNER[] = "qelvo: Ver:0.2(Built:Sep 14 2000/10:40:32)\n";
const char NOT_READY[] = "*** Oszi ist nicht bereit: \n\t-> Speicherbetrieb\n\t-> Single Shot\n";

void expectSamplesMatch(const std::string &fileText, const std::vector<int> &sent, int channel) {
  std::vector<SampleLine> lines = sampleLines(fileText);
  ASSERT_EQ(lines.size(), sent.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(rawOf(lines[i].volts, channel), sent[i]) << "sample " << i;
  }
}

} // namespace

TEST(Run, CapturesTheWholeWaveform) {
  TempDir dir;
  std::vector<std::string> wave{"--samples", "300", "--wave1", "ramp", "--pace", "none"};
  VirtualScope scope(dir, wave);
  ProcessResult r = runQelvo(dir, {"-c", "1", "-t", "1m", "-s", scope.device(), "out.dat"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, std::string(BANNER) + "\twritten by the qelvo developers\n");
  EXPECT_EQ(withoutConfigWarning(r.err), "");
  EXPECT_EQ(scope.received(5), "1sd0e");
  std::string data = readFile(dir.file("out.dat"));
  EXPECT_TRUE(contains(data, "#  Oscilloscope channel 1\n"));
  EXPECT_TRUE(contains(data, "#  Time base:\t1.000ms/div\n"));
  EXPECT_TRUE(contains(data, "# Time [s]\t\tVolts \n"));
  EXPECT_TRUE(contains(data, "0.0000000000e+00\t-4.4247787611e-01\n"));
  expectSamplesMatch(data, VirtualScope::waveform(wave, 1), 1);
}

TEST(Run, ChannelZeroIsResolvedFromTheStatus) {
  for (int panel : {1, 2}) {
    TempDir dir;
    std::vector<std::string> wave{
        "--panel-channel", std::to_string(panel), "--samples", "50", "--pace", "none"};
    VirtualScope scope(dir, wave);
    ProcessResult r = runQelvo(dir, {"-c", "0", "-s", scope.device(), "out.dat"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(scope.received(5), "0sd0e");
    std::string data = readFile(dir.file("out.dat"));
    EXPECT_TRUE(contains(data, "#  Oscilloscope channel " + std::to_string(panel) + "\n")) << data;
    expectSamplesMatch(data, VirtualScope::waveform(wave, panel), panel);
  }
}

TEST(Run, ScopeThatDoesNotAnswerEndsWithStatus1) {
  TempDir dir;
  VirtualScope scope(dir, {"--fault", "silent"});
  ProcessResult r = runQelvo(dir, {"-s", scope.device(), "out.dat"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(withoutConfigWarning(r.err),
            "*** Error: Oszi not connected to '" + scope.device() + "' or switched off ***\n");
  EXPECT_EQ(scope.received(), "0s");
  EXPECT_EQ(readFile(dir.file("out.dat")), "");

  TempDir dir2;
  VirtualScope cut(dir2, {"--fault", "status-missing"});
  r = runQelvo(dir2, {"-s", cut.device(), "out.dat"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(withoutConfigWarning(r.err), "*** Error: invalid Status (-1)***\n"
                                         "*** Error: Oszi not connected to '" +
                                             cut.device() + "' or switched off ***\n");
}

TEST(Run, NotReadyScopeIsWarnedAndStillDumped) {
  TempDir dir;
  VirtualScope scope(dir, {"--not-ready", "--samples", "20", "--pace", "none"});
  ProcessResult r = runQelvo(dir, {"-s", scope.device(), "out.dat"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(withoutConfigWarning(r.err), NOT_READY);
  EXPECT_EQ(scope.received(7), "0s0ed0e");
  EXPECT_EQ(sampleLines(readFile(dir.file("out.dat"))).size(), 20u);
}

// With two channels a refused first dump ends the exchange: the second
// channel is not asked for.
TEST(Run, RefusedDumpLeavesTheHeaderAndExits0) {
  struct Row {
    const char *channels;
    const char *received;
    const char *lastChannel;
  } rows[] = {{"-c0", "0sd0e", "#  Oscilloscope channel 1\n"},
              {"--channels=1,2", "1sd0e", "#  Oscilloscope channel 2\n"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.channels);
    TempDir dir;
    VirtualScope scope(dir, {"--fault", "no-echo=d"});
    ProcessResult r = runQelvo(dir, {"-s", scope.device(), row.channels, "out.dat"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(withoutConfigWarning(r.err), "*** Fehler beim Auslesen ***\n");
    EXPECT_EQ(scope.received(5), row.received);
    std::string data = readFile(dir.file("out.dat"));
    EXPECT_TRUE(contains(data, row.lastChannel)) << data;
    EXPECT_TRUE(data.ends_with("#  Probe:\t1:1.00\n#\n")) << data;
    EXPECT_TRUE(sampleLines(data).empty());
  }
}

TEST(Run, CutOrForeignEndOfDumpKeepsTheWholeSamples) {
  struct Row {
    const char *fault;
    size_t samples;
  } rows[] = {{"dump-cut=7", 7}, {"dump-b5", 40}};
  for (const Row &row : rows) {
    TempDir dir;
    VirtualScope scope(dir, {"--fault", row.fault, "--samples", "40", "--pace", "none"});
    ProcessResult r = runQelvo(dir, {"-s", scope.device(), "out.dat"});
    EXPECT_EQ(r.exitStatus, 0) << row.fault;
    EXPECT_EQ(withoutConfigWarning(r.err), "") << row.fault;
    EXPECT_EQ(sampleLines(readFile(dir.file("out.dat"))).size(), row.samples) << row.fault;
  }
}

TEST(Run, SettingsProblemsAreAllReportedWithTheHelpText) {
  TempDir dir;
  ProcessResult r = runQelvo(dir, {"-c", "3", "-b", "100", "-p", "0.5", "-s", "/nonexistent/tty",
                                   "--flow=xonxoff", "out.dat"});
  EXPECT_EQ(r.exitStatus, 3);
  std::string err = withoutConfigWarning(r.err);
  // The line after the open failure names this machine's ports.
  std::string cause = "qelvo: '/nonexistent/tty' does not exist";
  size_t at = err.find(cause);
  ASSERT_NE(at, std::string::npos) << err;
  err.erase(at, err.find('\n', at) + 1 - at);
  EXPECT_EQ(err.substr(0, err.find("qelvo: Ver")),
            "Invalid Channel (3) selected\n"
            "Invalid baudrate (100)\n"
            "*** Error: Cannot open serial line '/nonexistent/tty' ***\n"
            "Invalid ProbeFactor 1:5.000000e-01\n"
            "Invalid flow control (xonxoff): use none or rtscts\n");
  EXPECT_TRUE(contains(err, "\t<file>:  name of the output file\n"));
  EXPECT_EQ(readFile(dir.file("out.dat")), "") << "created before the check, left empty";

  r = runQelvo(dir, {"-c", "4294967297", "-b", "4295005696", "-s", "/nonexistent/tty", "o"});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_TRUE(contains(r.err, "Invalid Channel (2147483647) selected\n"));
  EXPECT_TRUE(contains(r.err, "Invalid baudrate (2147483647)\n"));
}

TEST(Run, StartUpFailuresHaveTheirOwnStatuses) {
  TempDir dir;
  ProcessResult r = runQelvo(dir, {});
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_EQ(r.out, std::string(BANNER) + "\twritten by the qelvo developers\n");
  EXPECT_TRUE(contains(r.err, std::string(BANNER) + "Usage: qelvo -c <ch>"));

  r = runQelvo(dir, {"-t", "1m", "/nonexistent-dir/x"});
  EXPECT_EQ(r.exitStatus, 5);
  EXPECT_EQ(withoutConfigWarning(r.err),
            "*** Error: Cannot open output file '/nonexistent-dir/x' ***\n");
}

TEST(Run, PacedDumpsLoseNoSample) {
  struct Row {
    int rate;
    int samples;
  } rows[] = {{9600, 500}, {38400, 2000}};
  for (const Row &row : rows) {
    TempDir dir;
    std::vector<std::string> wave{"--samples", std::to_string(row.samples), "--wave1", "noise"};
    VirtualScope scope(dir, wave);
    auto start = std::chrono::steady_clock::now();
    ProcessResult r =
        runQelvo(dir, {"-c", "1", "-b", std::to_string(row.rate), "-s", scope.device(), "out.dat"});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    SCOPED_TRACE(r.err); // a read-out error still ends with status 0
    expectSamplesMatch(readFile(dir.file("out.dat")), VirtualScope::waveform(wave, 1), 1);
    // The dump alone takes (2 * samples + 1) characters of 10 bits.
    double lineSeconds = (2.0 * row.samples + 1) * 10 / row.rate;
    EXPECT_GE(seconds, lineSeconds) << row.rate << " bit/s";
    RecordProperty("wall_ms_" + std::to_string(row.rate), static_cast<int>(seconds * 1000));
    printf("%d samples at %d bit/s: %.3f s wall, %.3f s on the line\n", row.samples, row.rate,
           seconds, lineSeconds);
  }
}

// What the line looks like while the scope streams: the speed asked for
// (a leading zero is still decimal), 8 data bits, RTS/CTS unless --flow=none,
// receiver on, hang-up on close, modem lines honoured; and as before once
// the run is over.
TEST(Run, LineRunsAtTheSpeedAndWithTheHandshakeAsked) {
  struct Row {
    std::vector<std::string> flow;
    tcflag_t handshake;
  } rows[] = {{{}, CRTSCTS}, {{"--flow", "none"}, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.flow.empty() ? "default" : row.flow.back());
    TempDir dir;
    VirtualScope scope(dir, {"--samples", "500"});
    int probe = open(scope.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    termios before{};
    tcgetattr(probe, &before);
    std::vector<std::string> argv{QELVO_BIN, "-c", "1", "-b", "09600", "-s", scope.device()};
    argv.insert(argv.end(), row.flow.begin(), row.flow.end());
    argv.push_back("out.dat");
    Child tool(argv, {{"QELVO"}, dir.path()});
    ASSERT_TRUE(waitFor([&] { return contains(scope.received(), "d"); }, 5000));
    termios during{};
    tcgetattr(probe, &during);
    ProcessResult r = tool.wait(10000);
    termios after{};
    tcgetattr(probe, &after);
    close(probe);

    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(withoutConfigWarning(r.err), "");
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B9600));
    const tcflag_t wanted = row.handshake | HUPCL | CREAD | CS8;
    EXPECT_EQ(during.c_cflag & (CRTSCTS | HUPCL | CREAD | CSIZE | CLOCAL | PARENB | CSTOPB),
              wanted);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(sampleLines(readFile(dir.file("out.dat"))).size(), 500u);
  }
}

TEST(Run, InterruptDuringTheDumpKeepsWholeLinesAndRestoresTheLine) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    std::vector<std::string> wave{"--samples", "2000", "--wave1", "ramp"};
    VirtualScope scope(dir, wave);
    int probe = open(scope.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    termios before{};
    tcgetattr(probe, &before);

    Child tool({QELVO_BIN, "-c", "1", "-b", "9600", "-s", scope.device(), "out.dat"},
               {{"QELVO"}, dir.path()});
    std::string dataPath = dir.file("out.dat");
    // Wait until the dump is under way.
    ASSERT_TRUE(waitFor([&] { return contains(scope.received(), "d"); }, 5000));
    usleep(300 * 1000);
    tool.kill(sig);
    ProcessResult r = tool.wait(5000);
    EXPECT_EQ(r.exitStatus, 128 + sig) << "signal " << sig;
    size_t kept = sampleLines(readFile(dataPath)).size();
    EXPECT_EQ(withoutConfigWarning(r.err), "*** Stopped by signal " + std::to_string(sig) + ": " +
                                               std::to_string(kept) +
                                               " samples kept in 'out.dat' ***\n");

    termios after{};
    tcgetattr(probe, &after);
    close(probe);
    EXPECT_EQ(after.c_cflag, before.c_cflag) << "signal " << sig;
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "signal " << sig;
    EXPECT_EQ(after.c_iflag, before.c_iflag) << "signal " << sig;
    EXPECT_EQ(scope.received(), "1sd") << "no command after the stop";

    std::string data = readFile(dataPath);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.back(), '\n') << "a partial line was written";
    std::vector<SampleLine> lines = sampleLines(data);
    EXPECT_GT(lines.size(), 10u);
    EXPECT_LT(lines.size(), 2000u);
    std::vector<int> sent = VirtualScope::waveform(wave, 1);
    for (size_t i = 0; i < lines.size(); ++i) {
      ASSERT_EQ(rawOf(lines[i].volts, 1), sent[i]) << "sample " << i;
    }
  }
}

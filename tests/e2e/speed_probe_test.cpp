// -b auto against a virtual scope set to one speed, which hears garbage or
// nothing at every other.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every speed the tool accepts, in the order the probe tries them.
const std::vector<int> PROBE_ORDER{38400, 9600,   19200,  57600, 115200, 4800, 2400,
                                   1200,  230400, 460800, 600,   300,    1800, 200,
                                   150,   134,    110,    75,    50};

// A record short enough for 50 bit/s.
const std::vector<std::string> SHORT_RECORD{"--samples", "2", "--wave1", "ramp"};

std::vector<std::string> scopeAt(int speed, const char *mismatch) {
  std::vector<std::string> options{"--scope-speed", std::to_string(speed), "--mismatch", mismatch};
  options.insert(options.end(), SHORT_RECORD.begin(), SHORT_RECORD.end());
  return options;
}

std::string answersAt(int speed) {
  return "qelvo: the scope answers at " + std::to_string(speed) + " bit/s\n";
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

TEST(SpeedProbe, FindsEverySpeedTheToolAccepts) {
  // All at once: the probe spends its time waiting, and the slowest speeds
  // alone take seconds. Every other row hears garbage at the wrong speeds.
  struct Run {
    int speed;
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<VirtualScope> scope;
    std::unique_ptr<Child> tool;
  };
  std::vector<Run> runs;
  auto start = Clock::now();
  for (size_t k = 0; k < PROBE_ORDER.size(); ++k) {
    Run run{PROBE_ORDER[k], std::make_unique<TempDir>(), nullptr, nullptr};
    run.scope = std::make_unique<VirtualScope>(
        *run.dir, scopeAt(run.speed, k % 2 == 0 ? "garbage" : "silent"));
    run.tool = std::make_unique<Child>(
        std::vector<std::string>{QELVO_BIN, "-b", "auto", "-c", "1", "-s", "tty", "out.dat"},
        ProcessOptions{{"QELVO"}, run.dir->path()});
    runs.push_back(std::move(run));
  }
  for (Run &run : runs) {
    SCOPED_TRACE(std::to_string(run.speed) + " bit/s");
    ProcessResult r = run.tool->wait(45000);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(withoutConfigWarning(r.err), answersAt(run.speed));
    EXPECT_EQ(rawSamples(readFile(run.dir->file("out.dat")), 1),
              VirtualScope::waveform(SHORT_RECORD, 1));
  }
  printf("every speed found in %.1f s\n", secondsSince(start));
}

TEST(SpeedProbe, ASilentLineIsTriedAtEverySpeedAndRestored) {
  TempDir dir;
  VirtualScope scope(dir, {"--fault", "silent"});
  LineProbe line(scope.device());
  auto start = Clock::now();
  ProcessResult r = runQelvo(dir, {"-b", "auto", "-s", "tty", "out.dat"});
  printf("silent line: %.1f s\n", secondsSince(start));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(withoutConfigWarning(r.err),
            "*** Error: no answer from the scope at any speed (tried 38400, 9600, 19200, 57600, "
            "115200, 4800, 2400, 1200, 230400, 460800, 600, 300, 1800, 200, 150, 134, 110, 75, "
            "50) ***\n");
  EXPECT_EQ(r.out.find("answers"), std::string::npos);
  line.expectRestored("after the probe");
  EXPECT_NE(access(dir.file("out.dat").c_str(), F_OK), 0) << "a data file was left";
  // One status query per speed, nothing else.
  EXPECT_EQ(scope.received(PROBE_ORDER.size()), std::string(PROBE_ORDER.size(), 's'));
}

TEST(SpeedProbe, AScopeHearingGarbageAtTheWrongSpeedIsNotTakenForAnAnswer) {
  // At 38400 bit/s the tool's "s" reaches a scope set to 115200 as bytes that
  // are no command; whatever it makes of them never reads as a clean answer.
  TempDir dir;
  VirtualScope scope(dir, scopeAt(115200, "garbage"));
  ProcessResult r = runQelvo(dir, {"-b", "auto", "-c", "1", "-s", "tty", "out.dat"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(withoutConfigWarning(r.err), answersAt(115200));
  std::string heard = scope.received();
  size_t probe = heard.rfind("s1sd0e");
  ASSERT_NE(probe, std::string::npos) << heard;
  EXPECT_EQ(heard.substr(probe), "s1sd0e");
  EXPECT_GT(probe, 0u) << "the wrong speeds were heard clean";
  EXPECT_EQ(heard.substr(0, probe).find('s'), std::string::npos) << heard;
}

TEST(SpeedProbe, ConfigurationFileAsksForTheProbeOrNamesTheFirstSpeed) {
  const struct {
    const char *config;
    std::vector<std::string> args;
    int scopeSpeed;
    std::string heard; // by the scope, which hears nothing at other speeds
  } rows[] = {
      {"Baudrate: auto\n", {}, 38400, "s1sd0e"},
      {"Baudrate: auto # find it\n", {}, 57600, "s1sd0e"},
      {"Baudrate: 4800\n", {"-b", "auto"}, 4800, "s1sd0e"},
      {"Baudrate: 123\n", {"-b", "auto"}, 38400, "s1sd0e"},
      // The command line wins over the file.
      {"Baudrate: auto\n", {"-b", "9600"}, 9600, "1sd0e"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.config);
    TempDir dir;
    writeFile(dir.file("qelvo.conf"), row.config);
    VirtualScope scope(dir, scopeAt(row.scopeSpeed, "silent"));
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-c", "1", "-s", "tty", "out.dat"});
    ProcessResult r = runQelvo(dir, args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, row.heard[0] == 's' ? answersAt(row.scopeSpeed) : "");
    EXPECT_EQ(scope.received(row.heard.size()), row.heard);
  }
}

TEST(SpeedProbe, ASeriesProbesOnce) {
  TempDir dir;
  VirtualScope scope(dir, scopeAt(19200, "silent"));
  ProcessResult r =
      runQelvo(dir, {"-b", "auto", "-c", "1", "--count=3", "-s", "tty", "run-###.dat"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::string err = withoutConfigWarning(r.err);
  EXPECT_EQ(err.find(answersAt(19200)), 0u) << err;
  EXPECT_EQ(err.find("answers", answersAt(19200).size()), std::string::npos) << err;
  // The probe's "s" at 19200, then three captures; 38400 and 9600 went unheard.
  EXPECT_EQ(scope.received(16), "s1sd0e1sd0e1sd0e");
  for (const char *name : {"run-001.dat", "run-002.dat", "run-003.dat"}) {
    EXPECT_EQ(rawSamples(readFile(dir.file(name)), 1), VirtualScope::waveform(SHORT_RECORD, 1))
        << name;
  }
}

TEST(SpeedProbe, AStopSignalEndsTheProbeAsItEndsACapture) {
  TempDir dir;
  VirtualScope scope(dir, {"--fault", "silent"});
  LineProbe line(scope.device());
  Child tool({QELVO_BIN, "-b", "auto", "-s", "tty", "out.dat"}, {{"QELVO"}, dir.path()});
  // Past the first speeds, well before the last.
  ASSERT_TRUE(waitFor([&] { return scope.received().size() >= 3; }, 5000));
  tool.kill(SIGINT);
  ProcessResult r = tool.wait(5000);
  EXPECT_EQ(r.exitStatus, 130);
  EXPECT_EQ(withoutConfigWarning(r.err), "*** Stopped by signal 2: nothing captured ***\n");
  line.expectRestored("after the stopped probe");
  EXPECT_NE(access(dir.file("out.dat").c_str(), F_OK), 0) << "a data file was left";
}

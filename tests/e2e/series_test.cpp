// A series of captures left running at the bench: numbered files that never
// overwrite one, a schedule kept from each start, a line held throughout,
// and ends that keep every earlier file complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

const std::vector<std::string> RECORD{"--samples", "200", "--pace", "none"};

// When `path` was created, in seconds on the file system's clock; 0 when the
// file system does not tell.
double bornAt(const std::string &path) {
  struct statx born {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &born) != 0 ||
      (born.stx_mask & STATX_BTIME) == 0) {
    return 0;
  }
  return static_cast<double>(born.stx_btime.tv_sec) + born.stx_btime.tv_nsec * 1e-9;
}

// Every numbered file holds the scope's whole record.
void expectComplete(const TempDir &dir, const std::vector<std::string> &names,
                    const std::vector<std::string> &record) {
  for (const std::string &name : names) {
    std::string data = readFile(dir.file(name));
    EXPECT_EQ(rawSamples(data, 1), VirtualScope::waveform(record, 1)) << name;
  }
}

// Standard output without the two lines of the banner.
std::string afterBanner(const std::string &out) {
  size_t end = out.find('\n', out.find('\n') + 1);
  return end == std::string::npos ? "" : out.substr(end + 1);
}

std::string logLine(int number, int samples, const std::string &name) {
  return "qelvo: capture " + std::to_string(number) + ": " + std::to_string(samples) +
         " samples written to '" + name + "'\n";
}

} // namespace

TEST(Series, CapturesOnScheduleIntoNumberedFilesOnALineHeldThroughout) {
  TempDir dir;
  VirtualScope scope(dir, RECORD);
  Child series({QELVO_BIN, "-s", "tty", "-c", "1", "--count=5", "--interval=0.5", "run.dat"},
               {{"QELVO"}, dir.path()});
  // Between two captures the line stays taken.
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("run-0002.dat")); }, 5000));
  ProcessResult second = runQelvo(dir, {"-s", "tty", "-c", "1", "other.dat"});
  EXPECT_EQ(second.exitStatus, 3);
  EXPECT_TRUE(contains(second.err, "' is in use by ")) << second.err;

  ProcessResult r = series.wait(20000);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::string expectedLog;
  std::vector<std::string> names;
  for (int n = 1; n <= 5; ++n) {
    names.push_back("run-000" + std::to_string(n) + ".dat");
    expectedLog += logLine(n, 200, names.back());
  }
  EXPECT_EQ(withoutConfigWarning(r.err), expectedLog);
  expectComplete(dir, names, RECORD);
  EXPECT_EQ(scope.received(25), "1sd0e1sd0e1sd0e1sd0e1sd0e");
  double first = bornAt(dir.file(names[0]));
  for (int n = 1; first > 0 && n < 5; ++n) {
    EXPECT_NEAR(bornAt(dir.file(names[n])) - first, 0.5 * n, 0.05) << names[n];
  }
}

// A series held up past three starts (stopped by SIGSTOP) takes the next
// capture at once and keeps the interval after it: the missed starts do not
// come in a burst.
TEST(Series, AHeldUpSeriesGoesOnAtItsIntervalWithoutABurst) {
  TempDir dir;
  VirtualScope scope(dir, RECORD);
  Child series({QELVO_BIN, "-s", "tty", "-c", "1", "--count=5", "--interval=0.3", "run.dat"},
               {{"QELVO"}, dir.path()});
  ASSERT_TRUE(waitFor([&] { return contains(series.currentErr(), "capture 1:"); }, 5000));
  series.kill(SIGSTOP);
  usleep(1000 * 1000);
  series.kill(SIGCONT);
  ProcessResult r = series.wait(10000);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(contains(r.err, logLine(5, 200, "run-0005.dat"))) << r.err;
  // Each file was last written as its capture ended.
  double ended[5];
  for (int n = 1; n <= 5; ++n) {
    struct stat written {};
    ASSERT_EQ(stat(dir.file("run-000" + std::to_string(n) + ".dat").c_str(), &written), 0) << n;
    ended[n - 1] = static_cast<double>(written.st_mtim.tv_sec) +
                   static_cast<double>(written.st_mtim.tv_nsec) * 1e-9;
  }
  EXPECT_GT(ended[1] - ended[0], 0.9) << "the hold";
  // 0.3 s apart, less what one capture may take longer than the one before;
  // a burst puts them a capture's length apart.
  for (int n = 3; n <= 5; ++n) {
    EXPECT_GT(ended[n - 1] - ended[n - 2], 0.2) << "capture " << n << " after " << n - 1;
  }
}

TEST(Series, ExistingFilesAreSkippedAndAPatternNamesEachCapture) {
  TempDir dir;
  VirtualScope scope(dir, RECORD);
  writeFile(dir.file("run-001.dat"), "kept 1\n");
  writeFile(dir.file("run-003.dat"), "kept 3\n");
  ProcessResult r = runQelvo(dir, {"-s", "tty", "-c", "1", "--count=2", "run-###.dat"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(withoutConfigWarning(r.err),
            logLine(2, 200, "run-002.dat") + logLine(4, 200, "run-004.dat"));
  EXPECT_EQ(readFile(dir.file("run-001.dat")), "kept 1\n");
  EXPECT_EQ(readFile(dir.file("run-003.dat")), "kept 3\n");
  // A second series fills the gaps, then goes on after the first.
  std::filesystem::remove(dir.file("run-002.dat"));
  r = runQelvo(dir, {"-s", "tty", "-c", "1", "--count=2", "run-###.dat"});
  EXPECT_EQ(withoutConfigWarning(r.err),
            logLine(2, 200, "run-002.dat") + logLine(5, 200, "run-005.dat"));
  expectComplete(dir, {"run-002.dat", "run-004.dat", "run-005.dat"}, RECORD);

  time_t before = time(nullptr);
  r = runQelvo(dir, {"-s", "tty", "-c", "1", "--count=1", "scope-%Y%m%d-%H%M%S.dat"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::smatch name;
  std::string err = withoutConfigWarning(r.err);
  ASSERT_TRUE(std::regex_search(err, name, std::regex("'(scope-(\\d{8}-\\d{6})-0001\\.dat)'")))
      << err;
  char stamp[32];
  bool near = false;
  for (time_t t = before; t <= time(nullptr); ++t) {
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", localtime(&t));
    near = near || name[2] == stamp;
  }
  EXPECT_TRUE(near) << name[1];
  expectComplete(dir, {name[1]}, RECORD);
}

TEST(Series, AStopOrAFailureEndsTheSeriesWithEveryEarlierFileComplete) {
  // SIGINT during the third capture: its file keeps what came, with the
  // stop line that names it.
  TempDir dir;
  std::vector<std::string> slow{"--samples", "400"};
  VirtualScope scope(dir, slow);
  Child series({QELVO_BIN, "-s", "tty", "-b", "9600", "-c", "1", "--count=5", "run.dat"},
               {{"QELVO"}, dir.path()});
  ASSERT_TRUE(
      waitFor([&] { return sampleLines(readFile(dir.file("run-0003.dat"))).size() > 20; }, 15000));
  series.kill(SIGINT);
  ProcessResult r = series.wait(10000);
  EXPECT_EQ(r.exitStatus, 130);
  size_t kept = sampleLines(readFile(dir.file("run-0003.dat"))).size();
  EXPECT_EQ(withoutConfigWarning(r.err), logLine(1, 400, "run-0001.dat") +
                                             logLine(2, 400, "run-0002.dat") +
                                             "*** Stopped by signal 2: " + std::to_string(kept) +
                                             " samples kept in 'run-0003.dat' ***\n");
  expectComplete(dir, {"run-0001.dat", "run-0002.dat"}, slow);
  EXPECT_FALSE(std::filesystem::exists(dir.file("run-0004.dat")));

  // The scope dies in the fourth capture: status 1, three files complete.
  TempDir dying;
  std::vector<std::string> fault = RECORD;
  fault.insert(fault.end(), {"--fault", "die-in-capture=4:50"});
  VirtualScope dyingScope(dying, fault);
  r = runQelvo(dying, {"-s", "tty", "-c", "1", "--count=6", "run.dat"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(contains(r.err, "*** Error: Oszi not connected to '")) << r.err;
  expectComplete(dying, {"run-0001.dat", "run-0002.dat", "run-0003.dat"}, RECORD);
  EXPECT_FALSE(std::filesystem::exists(dying.file("run-0005.dat")));

  // No end: SIGTERM while waiting for the next start.
  TempDir endless;
  VirtualScope endlessScope(endless, RECORD);
  Child forever({QELVO_BIN, "-s", "tty", "-c", "1", "--count=0", "--interval=30", "run.dat"},
                {{"QELVO"}, endless.path()});
  ASSERT_TRUE(waitFor([&] { return contains(forever.currentErr(), "capture 1:"); }, 5000));
  forever.kill(SIGTERM);
  r = forever.wait(5000);
  EXPECT_EQ(r.exitStatus, 143);
  EXPECT_EQ(withoutConfigWarning(r.err),
            logLine(1, 200, "run-0001.dat") + "*** Stopped by signal 15: 1 captures written ***\n");
}

TEST(Series, BadSeriesSettingsAreReportedWithTheOthers) {
  TempDir dir;
  VirtualScope scope(dir, RECORD);
  struct Row {
    std::vector<std::string> args;
    std::string problems;
  } rows[] = {
      {{"--count=-1", "--interval=0,5", "run.dat"}, "Invalid count (-1)\nInvalid interval (0,5)\n"},
      {{"--count=x", "run.dat"}, "Invalid count (x)\n"},
      {{"--interval=2", "run.dat"}, "Invalid interval (2): only with --count\n"},
      // With the data meant for standard output, the banner goes to standard error.
      {{"--count=3", "-"},
       "qelvo: Ver:0.2(Built:Sep 14 2000/10:40:32)\n\twritten by the qelvo developers\n"
       "Invalid count (3): a series needs a file name pattern\n"},
  };
  for (const Row &row : rows) {
    std::vector<std::string> args{"-s", "tty", "-c", "1"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ProcessResult r = runQelvo(dir, args);
    EXPECT_EQ(r.exitStatus, 3) << row.problems;
    EXPECT_EQ(beforeHelp(r), row.problems);
    EXPECT_FALSE(std::filesystem::exists(dir.file("run.dat")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("run-0001.dat")));
  }
}

// Each capture of a series is what a single run with the same options is:
// the same bytes reach the scope, the same file is written and the same
// measurements are printed. The scope's panel shows channel 2, so that a
// capture which kept what the one before it learnt would ask for "2", not "0".
TEST(Series, EveryCaptureIsASingleRunWithTheSameOptions) {
  const std::vector<std::vector<std::string>> rows{
      {"-c", "0", "--measure"},
      {"-c", "0", "--format=csv", "--separator=;"},
      {"-c", "1", "--gain=2", "--offset=0.5", "--probe=10"},
      {"--channels=2,1"},
      {"--channels=1,2", "--gain=2,0.5", "--offset=1,-1", "--probe=10,1", "--format=csv"},
  };
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "40", "--panel-channel", "2", "--pace", "none"});
  size_t logged = 0;
  for (const std::vector<std::string> &options : rows) {
    std::string name;
    for (const std::string &option : options) {
      name += option + " ";
    }
    std::vector<std::string> args{"-s", "tty"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<std::string> single = args;
    single.push_back("single.dat");
    ProcessResult one = runQelvo(dir, single);
    ASSERT_EQ(one.exitStatus, 0) << name << one.err;
    std::string bytes = scope.received().substr(logged);
    logged += bytes.size();
    ASSERT_FALSE(bytes.empty()) << name;

    std::vector<std::string> series = args;
    series.insert(series.end(), {"--count=3", "series.dat"});
    ProcessResult three = runQelvo(dir, series);
    ASSERT_EQ(three.exitStatus, 0) << name << three.err;
    EXPECT_EQ(scope.received(logged + 3 * bytes.size()).substr(logged), bytes + bytes + bytes)
        << name;
    logged += 3 * bytes.size();
    std::string measured = afterBanner(one.out);
    EXPECT_EQ(contains(measured, "qelvo: channel 2: 40 samples;"), contains(name, "--measure"))
        << name << measured;
    EXPECT_EQ(afterBanner(three.out), measured + measured + measured) << name;
    std::string file = withoutCreationTime(readFile(dir.file("single.dat")));
    for (int n = 1; n <= 3; ++n) {
      std::string numbered = dir.file("series-000" + std::to_string(n) + ".dat");
      EXPECT_EQ(withoutCreationTime(readFile(numbered)), file) << name << n;
      std::filesystem::remove(numbered);
    }
  }
}

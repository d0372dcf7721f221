// Whole runs on a paced line: how often the tool wakes up while a scope hands
// it bytes one at a time, and how current the data file is meanwhile.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long voluntarySwitchesOfChildren() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_nvcsw;
}

} // namespace

TEST(PacedLine, ByteAtATimeDeliveryWakesTheToolOnlyEveryFewMilliseconds) {
  // Each row is about half a second on the line. Waking for every byte, as
  // the tool once did, costs thousands of switches here; gathering input for
  // a few milliseconds costs one per wait.
  struct Row {
    const char *delivery;
    int rate;
    int samples;
  } rows[] = {{"bytes", 460800, 11500}, {"bytes", 38400, 960}, {"groups", 460800, 11500}};
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.delivery) + " at " + std::to_string(row.rate) + " bit/s");
    TempDir dir;
    std::vector<std::string> wave{
        "--samples", std::to_string(row.samples), "--wave1", "ramp", "--delivery", row.delivery};
    VirtualScope scope(dir, wave);
    long switchesBefore = voluntarySwitchesOfChildren();
    auto start = Clock::now();
    ProcessResult r =
        runQelvo(dir, {"-c", "1", "-b", std::to_string(row.rate), "-s", scope.device(), "out.dat"});
    double seconds = secondsSince(start);
    long switches = voluntarySwitchesOfChildren() - switchesBefore;
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(rawSamples(readFile(dir.file("out.dat")), 1), VirtualScope::waveform(wave, 1));
    double lineSeconds = (2.0 * row.samples + 1) * 10 / row.rate;
    // Twice a wake-up per 4 ms, and the waits for a quiet line around the
    // commands.
    EXPECT_LE(switches, static_cast<long>(2 * lineSeconds * 1000 / 4) + 60);
    // Gathering must not stretch the dump: a sleep per byte would.
    EXPECT_LE(seconds, lineSeconds + 1.0);
    printf("%s at %d bit/s: %ld voluntary switches, %.3f s wall, %.3f s on the line\n",
           row.delivery, row.rate, switches, seconds, lineSeconds);
  }
}

TEST(PacedLine, DataFileIsCurrentDuringASlowCapture) {
  // 240 samples at 2400 bit/s arrive at 120 a second for 2 s, after a pause
  // of 80 ms between the dump's echo and the first sample.
  constexpr double SAMPLES_PER_S = 2400 / 20.0;
  TempDir dir;
  std::vector<std::string> wave{"--samples", "240", "--wave1",    "ramp",
                                "--delay",   "80",  "--delivery", "bytes"};
  VirtualScope scope(dir, wave);
  std::string path = dir.file("out.dat");
  Child tool({QELVO_BIN, "-c", "1", "-b", "2400", "-s", scope.device(), "out.dat"},
             {{"QELVO"}, dir.path()});

  struct Seen {
    double at;    // seconds since the start
    size_t lines; // complete sample lines in the file
    bool header;  // the whole header is there
  };
  std::vector<Seen> seen;
  auto start = Clock::now();
  while (secondsSince(start) < 10) {
    std::string text = readFile(path);
    text.erase(text.rfind('\n') + 1); // a line still being written does not count
    bool header = contains(text, "#  Probe:\t1:1.00\n#\n");
    seen.push_back({secondsSince(start), sampleLines(text).size(), header});
    if (seen.back().lines == 240) {
      break;
    }
    usleep(10 * 1000);
  }
  ProcessResult r = tool.wait(10000);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(rawSamples(readFile(path), 1), VirtualScope::waveform(wave, 1));

  // The header was in the file before the first sample: from the wait for a
  // quiet line before the dump command to the end of the scope's pause.
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                          [](const Seen &s) { return s.header && s.lines == 0; }));
  // The samples cannot have arrived earlier than the pace allows: `origin`
  // is the latest start of the stream that every sighting admits. Measured
  // from it, each sighting shows how long the newest sample it lacks has
  // been waiting: at most 100 ms, with room for a busy host.
  double origin = 1e9;
  std::vector<size_t> counts;
  for (const Seen &s : seen) {
    if (s.lines > 0) {
      origin = std::min(origin, s.at - static_cast<double>(s.lines) / SAMPLES_PER_S);
      counts.push_back(s.lines);
    }
  }
  std::vector<double> lags;
  for (const Seen &s : seen) {
    if (s.at > origin && s.lines < 240) {
      lags.push_back(s.at - origin - static_cast<double>(s.lines + 1) / SAMPLES_PER_S);
    }
  }
  ASSERT_GT(lags.size(), 50u) << "too few sightings during the dump";
  std::sort(lags.begin(), lags.end());
  EXPECT_LT(lags[lags.size() / 2], 0.1) << "median lag";
  EXPECT_LT(lags.back(), 0.3) << "longest lag";
  // Not a few big steps: the file grows many times during the 2 s.
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  EXPECT_GE(counts.size(), 15u);
  printf("lag of the file behind the line: median %.0f ms, longest %.0f ms; %zu sizes seen\n",
         1000 * lags[lags.size() / 2], 1000 * lags.back(), counts.size());
}

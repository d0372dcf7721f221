// qelvo-bench: whole captures from the virtual scope, measured from outside.
//
// Paced runs: at each speed a ramp record of about one second on the wire,
// delivered in 2 ms groups (a USB adapter) and one byte at a time (an on-board
// UART); every sample line is checked against the value the scope sent. Unpaced
// runs: the tool's throughput for a large dump and its peak memory for a
// small and a large one. Two-channel runs: both ramps into one file
// (--channels=1,2) at each paced speed, every row checked in both columns. Each run is repeated;
// the table shows the median run (and the best wall time), and the checks judge the median.
//
// Light runs: byte-at-a-time captures of about 3 s on the wire at each speed,
// counting the tool's voluntary context switches (its wake-ups) while the
// samples flow and its CPU time against the line time; with --baseline, an
// older qelvo side by side, and with strace its system calls at 38400 bit/s.
//
// Peak memory is the tool's own high-water mark (VmHWM), read at its exit
// stop under ptrace: the maximum resident size that wait4 reports would also
// count the pages of this harness the child had before its exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The calibration written to the run directory's qelvo.conf, so that no
// site-wide file can change the conversion the checks invert.
constexpr long double X_SAMPLES_PER_DIV = 99.2L;
constexpr long double Y1_SAMPLES_PER_DIV = 28.250000000000004L;
constexpr long double Y1_OFFSET = 0.44247787610619405L;
constexpr long double Y2_SAMPLES_PER_DIV = 28.75L;
constexpr long double Y2_OFFSET = 0.3999999999999999L;
constexpr int BITS_PER_CHARACTER = 10;
// Characters of one run besides the samples: the tool sends "0" "s" "d" "0"
// "e"; the scope answers "0", "s" and two status digits, "d" and the closing
// line feed, and "0".
constexpr long FIXED_CHARACTERS = 5 + 7;
// With two channels the tool sends "1" "s" "d" "2" "s" "d" "0" "e"; the
// scope answers each channel's select, status and dump as above, then "0".
constexpr long FIXED_CHARACTERS_TWO = 8 + 13;
constexpr double MAX_OVERHEAD_S = 0.2;
constexpr double MAX_OVERHEAD_TWO_S = 0.3;
// A series of back-to-back captures: what each costs beyond its exchange.
constexpr int SERIES_CAPTURES = 10;
constexpr long SERIES_SAMPLES = 200;
constexpr double MAX_SERIES_OVERHEAD_S = 0.05;
constexpr double MAX_CPU_SHARE = 0.02;
constexpr double MIN_UNPACED_RATE = 1e6;
constexpr long MAX_PEAK_KIB = 4096;
constexpr long MAX_PEAK_SPREAD_KIB = 64;
// Light runs: wake-ups are counted from after the commands until shortly
// before the record's end.
constexpr double LIGHT_LINE_S = 3.0;
constexpr double LIGHT_FROM_S = 0.25;
constexpr double LIGHT_BEFORE_END_S = 0.1;
constexpr double MAX_WAKEUPS_PER_S = 50;

struct Paths {
  std::string qelvo;
  std::string sim;
  std::string csv;
  std::string micro;    // JSON of the micro-benchmark, optional
  std::string baseline; // an older qelvo for the light runs, optional
  int repeat = 3;
  bool paced = true;
  bool unpaced = true;
  bool two = true;    // the two-channel paced runs
  bool series = true; // ten back-to-back captures
  bool light = true;  // wake-ups and CPU, byte at a time
};

struct RunResult {
  bool ok = false;   // the tool exited 0 and its file was read
  long sent = 0;     // samples in the scope's record
  long received = 0; // sample lines (rows) in the data file
  long matching = 0; // rows equal to what was sent, in order, in every column
  double wallS = 0;
  double cpuS = 0; // user + system
  long peakKiB = 0;
  long anonKiB = 0; // heap, stack and data resident at exit
  bool peakFromHwm = false;
};

double nowS() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double seconds(const timeval &tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

std::string makeRunDir() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qelvo-bench-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    return "";
  }
  return name.data();
}

void removeRunDir(const std::string &dir) {
  for (const char *file : {"/qelvo.conf", "/out.dat", "/err.txt"}) {
    unlink((dir + file).c_str());
  }
  rmdir(dir.c_str());
}

bool writeConfig(const std::string &dir) {
  FILE *conf = fopen((dir + "/qelvo.conf").c_str(), "w");
  if (conf == nullptr) {
    return false;
  }
  fprintf(conf, "XSamplesPerDivision: 99.2\nXOffset: 0\n"
                "Y1SamplesPerDivision: 28.250000000000004\nY1Offset: 0.44247787610619405\n"
                "Y2SamplesPerDivision: 28.75\nY2Offset: 0.3999999999999999\n");
  return fclose(conf) == 0;
}

std::vector<char *> argvOf(std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return argv;
}

// The virtual scope, started with its terminal's path read from its first
// line of output.
struct Sim {
  pid_t pid = -1;
  std::string tty;
};

Sim startSim(const Paths &paths, const std::vector<std::string> &options) {
  Sim sim;
  int out[2];
  if (pipe(out) != 0) {
    return sim;
  }
  std::vector<std::string> args{paths.sim};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char *> argv = argvOf(args);
  sim.pid = fork();
  if (sim.pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') {
    sim.tty += c;
  }
  close(out[0]);
  return sim;
}

void stopSim(Sim &sim) {
  if (sim.pid > 0) {
    kill(sim.pid, SIGTERM);
    waitpid(sim.pid, nullptr, 0);
    sim.pid = -1;
  }
}

// The peak resident size, and in `anonKiB` the anonymous part (heap, stack,
// data) resident now.
long hwmKiB(pid_t pid, long &anonKiB) {
  FILE *status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (status == nullptr) {
    return 0;
  }
  char line[256];
  long kib = 0;
  while (fgets(line, sizeof line, status) != nullptr) {
    sscanf(line, "VmHWM: %ld kB", &kib);
    sscanf(line, "RssAnon: %ld kB", &anonKiB);
  }
  fclose(status);
  return kib;
}

// Runs the tool in `dir` under ptrace (for its high-water mark at exit) and
// fills wall time, CPU time and peak memory. Returns its exit status, -1 when
// it did not exit normally.
int runTool(const Paths &paths, const std::string &dir, const std::vector<std::string> &options,
            RunResult &result) {
  std::vector<std::string> args{paths.qelvo};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char *> argv = argvOf(args);
  double start = nowS();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    int devNull = open("/dev/null", O_WRONLY);
    int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(devNull, STDOUT_FILENO);
    dup2(err >= 0 ? err : devNull, STDERR_FILENO);
    unsetenv("QELVO");
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  bool traced = false;
  for (;;) {
    if (wait4(pid, &status, 0, &usage) < 0) {
      return -1;
    }
    if (!WIFSTOPPED(status)) {
      break;
    }
    int sig = WSTOPSIG(status);
    int event = status >> 16;
    if (!traced && sig == SIGTRAP) {
      // The stop at exec: ask for a stop at exit, when the memory is still there.
      traced = ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                      reinterpret_cast<void *>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL)) == 0;
      sig = 0;
    } else if (event == PTRACE_EVENT_EXIT) {
      result.peakKiB = hwmKiB(pid, result.anonKiB);
      result.peakFromHwm = result.peakKiB > 0;
      sig = 0;
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
  }
  result.wallS = nowS() - start;
  result.cpuS = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  if (!result.peakFromHwm) {
    result.peakKiB = usage.ru_maxrss;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether `volts` is the ramp value i mod 256 converted with a channel's
// calibration.
bool rampValue(long double volts, long index, long double perDiv, long double offset) {
  long double raw = (volts + offset) * perDiv;
  return std::fabs(raw - static_cast<long double>(index % 256)) < 1e-3L;
}

// Counts the sample lines and those that are the converted ramp value
// i mod 256 at the time of sample i, in each of `channels` columns (channel
// 1, then 2).
void checkSamples(const std::string &file, int channels, RunResult &result) {
  FILE *data = fopen(file.c_str(), "r");
  if (data == nullptr) {
    return;
  }
  char line[512];
  while (fgets(line, sizeof line, data) != nullptr) {
    if (line[0] == '#') {
      continue;
    }
    char *end = nullptr;
    long double time = strtold(line, &end);
    char *rest = end;
    long double first = strtold(rest, &end);
    bool parsed = end != rest;
    rest = end;
    long double second = strtold(rest, &end);
    parsed = parsed && (channels < 2 || end != rest);
    long index = result.received++;
    long double expectedTime = index / X_SAMPLES_PER_DIV;
    if (parsed && rampValue(first, index, Y1_SAMPLES_PER_DIV, Y1_OFFSET) &&
        (channels < 2 || rampValue(second, index, Y2_SAMPLES_PER_DIV, Y2_OFFSET)) &&
        std::fabs(time - expectedTime) <= 1e-9L * std::max(1.0L, expectedTime)) {
      ++result.matching;
    }
  }
  fclose(data);
  result.ok = true;
}

// How the virtual scope hands paced bytes over.
const char *const DELIVERIES[] = {"groups", "bytes"};

// One capture of `samples` ramp samples per channel, of channel 1 or of
// both: paced at `baud` and delivered as `delivery` says, or unpaced when
// `delivery` is null (the tool still sets `baud` on its line).
RunResult capture(const Paths &paths, long baud, long samples, const char *delivery, int channels) {
  RunResult result;
  result.sent = samples;
  std::string dir = makeRunDir();
  if (dir.empty() || !writeConfig(dir)) {
    return result;
  }
  std::vector<std::string> simOptions{"--wave1",   "ramp",
                                      "--wave2",   "ramp",
                                      "--samples", std::to_string(samples),
                                      "--pace",    delivery != nullptr ? "auto" : "none"};
  if (delivery != nullptr) {
    simOptions.insert(simOptions.end(), {"--delivery", delivery});
  }
  Sim sim = startSim(paths, simOptions);
  if (!sim.tty.empty()) {
    int status = runTool(paths, dir,
                         {channels < 2 ? "-c1" : "--channels=1,2", "-t", "1", "-y", "1", "-b",
                          std::to_string(baud), "-s", sim.tty, "out.dat"},
                         result);
    if (status == 0) {
      checkSamples(dir + "/out.dat", channels, result);
    }
  }
  stopSim(sim);
  if (result.ok && result.matching == result.sent) {
    removeRunDir(dir);
  } else {
    fprintf(stderr, "qelvo-bench: %ld of %ld samples intact; the run is kept in %s\n",
            result.matching, result.sent, dir.c_str());
  }
  return result;
}

// The median run by wall time, with the best wall time beside it.
struct Summary {
  RunResult median;
  double bestWallS = 0;
  long lowestPeakKiB = 0;
  long highestPeakKiB = 0;
  bool allComplete = true; // every repetition delivered every sample intact
};

Summary repeatCapture(const Paths &paths, long baud, long samples, const char *delivery,
                      int channels = 1) {
  std::vector<RunResult> runs;
  Summary summary;
  for (int i = 0; i < paths.repeat; ++i) {
    RunResult r = capture(paths, baud, samples, delivery, channels);
    summary.allComplete =
        summary.allComplete && r.ok && r.received == r.sent && r.matching == r.sent;
    runs.push_back(r);
  }
  std::sort(runs.begin(), runs.end(),
            [](const RunResult &a, const RunResult &b) { return a.wallS < b.wallS; });
  summary.median = runs[runs.size() / 2];
  summary.bestWallS = runs.front().wallS;
  summary.lowestPeakKiB = runs.front().peakKiB;
  for (const RunResult &r : runs) {
    summary.lowestPeakKiB = std::min(summary.lowestPeakKiB, r.peakKiB);
    summary.highestPeakKiB = std::max(summary.highestPeakKiB, r.peakKiB);
  }
  return summary;
}

// items_per_second of the first benchmark named `name` in Google Benchmark's
// JSON output; 0 when absent.
double microRate(const std::string &jsonPath, const std::string &name) {
  FILE *json = fopen(jsonPath.c_str(), "r");
  if (json == nullptr) {
    return 0;
  }
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, json)) > 0) {
    text.append(buffer, got);
  }
  fclose(json);
  size_t at = text.find("\"name\": \"" + name + "\"");
  if (at == std::string::npos) {
    return 0;
  }
  at = text.find("\"items_per_second\":", at);
  return at == std::string::npos ? 0 : strtod(text.c_str() + at + 19, nullptr);
}

bool parseArgs(int argc, char *argv[], Paths &paths) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    const char *value = argv[i + 1];
    if (option == "--qelvo") {
      paths.qelvo = value;
    } else if (option == "--sim") {
      paths.sim = value;
    } else if (option == "--csv") {
      paths.csv = value;
    } else if (option == "--micro") {
      paths.micro = value;
    } else if (option == "--baseline") {
      paths.baseline = value;
    } else if (option == "--only" &&
               (strcmp(value, "paced") == 0 || strcmp(value, "unpaced") == 0 ||
                strcmp(value, "two") == 0 || strcmp(value, "series") == 0 ||
                strcmp(value, "light") == 0)) {
      paths.paced = strcmp(value, "paced") == 0;
      paths.unpaced = strcmp(value, "unpaced") == 0;
      paths.two = strcmp(value, "two") == 0;
      paths.series = strcmp(value, "series") == 0;
      paths.light = strcmp(value, "light") == 0;
    } else if (option == "--repeat") {
      paths.repeat = std::max(1, atoi(value));
    } else {
      return false;
    }
  }
  // The tool runs in a directory of its own: its path must not be relative.
  for (std::string *program : {&paths.qelvo, &paths.sim, &paths.baseline}) {
    if (program == &paths.baseline && program->empty()) {
      continue;
    }
    char *full = realpath(program->c_str(), nullptr);
    if (full == nullptr) {
      return false;
    }
    *program = full;
    free(full);
  }
  return argc % 2 == 1;
}

// The table goes to standard output and, when open, the same rows to the CSV
// file; the checks are gathered for the end.
struct Report {
  FILE *csv = nullptr;
  bool complete = true;
  bool inTime = true;
  bool lightCpu = true;
  bool twoInTime = true;
  bool twoLightCpu = true;
  bool seriesInTime = true;
  bool fewWakeups = true;
  bool lightCpuAt38400 = true;
  bool lightCpuAt460800 = true;
  long peakMax = 0;
  long peaks[2] = {0, 0}; // unpaced, 1,000 and 1,000,000 samples: lowest peak
  long anon[2] = {0, 0};  // the same: anonymous memory at exit
  double rate = 0;        // unpaced samples/s, 1,000,000 samples, whole run
  double dumpRate = 0;    // the same less the fixed cost of a run (the 1,000-sample run)
  double walls[2] = {0, 0};
  int failures = 0;
  void check(bool holds, const char *what) {
    printf("  [%s] %s\n", holds ? "ok" : "FAIL", what);
    failures += holds ? 0 : 1;
  }
};

// The paced table: channel 1 alone (a record of about 1 s on the wire), or
// both channels of that length into one file.
void pacedRuns(const Paths &paths, Report &report, int channels) {
  if (channels < 2) {
    printf("Paced captures (ramp record of about 1 s on the wire; median of %d runs)\n\n",
           paths.repeat);
  } else {
    printf("\nPaced captures of both channels (--channels=1,2, each a ramp record of about 1 s on "
           "the wire; median of %d runs)\n\n",
           paths.repeat);
  }
  printf("%8s %8s %8s %8s %7s %7s %7s %7s %7s %6s %8s\n", "delivery", "bit/s", "sent", "received",
         "line s", "wall s", "best s", "over s", "CPU s", "CPU %", "peak KiB");
  for (const char *delivery : DELIVERIES) {
    for (long baud : {1200L, 9600L, 38400L, 115200L, 460800L}) {
      long samples = baud / (2 * BITS_PER_CHARACTER) - FIXED_CHARACTERS / 2;
      long characters =
          channels < 2 ? 2 * samples + FIXED_CHARACTERS : 2 * 2 * samples + FIXED_CHARACTERS_TWO;
      double lineS =
          static_cast<double>(characters * BITS_PER_CHARACTER) / static_cast<double>(baud);
      Summary s = repeatCapture(paths, baud, samples, delivery, channels);
      const RunResult &r = s.median;
      double share = r.wallS > 0 ? r.cpuS / r.wallS : 0;
      printf("%8s %8ld %8ld %8ld %7.3f %7.3f %7.3f %7.3f %7.4f %6.2f %8ld%s\n", delivery, baud,
             r.sent, r.received, lineS, r.wallS, s.bestWallS, r.wallS - lineS, r.cpuS, 100 * share,
             r.peakKiB, s.allComplete ? "" : "  samples lost or wrong");
      if (report.csv != nullptr) {
        fprintf(report.csv, "paced%s-%s,%ld,%ld,%ld,%ld,%.4f,%.4f,%.4f,%.4f,%.4f,%ld,\n",
                channels < 2 ? "" : "-two", delivery, baud, r.sent, r.received, r.matching, lineS,
                r.wallS, s.bestWallS, r.cpuS, share, r.peakKiB);
      }
      report.complete = report.complete && s.allComplete;
      if (channels < 2) {
        report.inTime = report.inTime && r.wallS <= lineS + MAX_OVERHEAD_S;
        report.lightCpu = report.lightCpu && share <= MAX_CPU_SHARE;
      } else {
        report.twoInTime = report.twoInTime && r.wallS <= lineS + MAX_OVERHEAD_TWO_S;
        report.twoLightCpu = report.twoLightCpu && share <= MAX_CPU_SHARE;
      }
      report.peakMax = std::max(report.peakMax, s.highestPeakKiB);
    }
  }
}

// One run of --count=10 captures of SERIES_SAMPLES ramp samples each, paced
// at `baud`; every file checked.
RunResult seriesCapture(const Paths &paths, long baud) {
  RunResult result;
  result.sent = SERIES_CAPTURES * SERIES_SAMPLES;
  std::string dir = makeRunDir();
  if (dir.empty() || !writeConfig(dir)) {
    return result;
  }
  Sim sim = startSim(paths, {"--wave1", "ramp", "--samples", std::to_string(SERIES_SAMPLES),
                             "--pace", "auto", "--delivery", "groups"});
  if (!sim.tty.empty() &&
      runTool(paths, dir,
              {"-c1", "-t", "1", "-y", "1", "-b", std::to_string(baud), "-s", sim.tty,
               "--count=" + std::to_string(SERIES_CAPTURES), "out-##.dat"},
              result) == 0) {
    for (int n = 1; n <= SERIES_CAPTURES; ++n) {
      char name[32];
      snprintf(name, sizeof name, "/out-%02d.dat", n);
      RunResult file;
      checkSamples(dir + name, 1, file);
      result.received += file.received;
      result.matching += file.matching;
      result.ok = file.ok && (n == 1 || result.ok);
    }
  }
  stopSim(sim);
  if (result.ok && result.matching == result.sent) {
    removeRunDir(dir);
  } else {
    fprintf(stderr, "qelvo-bench: %ld of %ld samples intact; the series is kept in %s\n",
            result.matching, result.sent, dir.c_str());
  }
  return result;
}

void seriesRuns(const Paths &paths, Report &report) {
  printf("\nA series of %d back-to-back captures (--count=%d, %ld ramp samples each)\n\n",
         SERIES_CAPTURES, SERIES_CAPTURES, SERIES_SAMPLES);
  printf("%8s %8s %8s %8s %7s %12s\n", "bit/s", "sent", "received", "line s", "wall s",
         "over/capture");
  for (long baud : {9600L, 38400L, 460800L}) {
    RunResult r = seriesCapture(paths, baud);
    double lineS = static_cast<double>(SERIES_CAPTURES * (2 * SERIES_SAMPLES + FIXED_CHARACTERS) *
                                       BITS_PER_CHARACTER) /
                   static_cast<double>(baud);
    double over = (r.wallS - lineS) / SERIES_CAPTURES;
    bool complete = r.ok && r.received == r.sent && r.matching == r.sent;
    printf("%8ld %8ld %8ld %8.3f %7.3f %12.3f%s\n", baud, r.sent, r.received, lineS, r.wallS, over,
           complete ? "" : "  samples lost or wrong");
    if (report.csv != nullptr) {
      fprintf(report.csv, "series,%ld,%ld,%ld,%ld,%.4f,%.4f,,%.4f,,%ld,\n", baud, r.sent,
              r.received, r.matching, lineS, r.wallS, r.cpuS, r.peakKiB);
    }
    report.complete = report.complete && complete;
    report.seriesInTime = report.seriesInTime && over <= MAX_SERIES_OVERHEAD_S;
  }
}

void unpacedRuns(const Paths &paths, Report &report) {
  printf("\nUnpaced captures (the tool sets 460800 bit/s; median of %d runs)\n\n", paths.repeat);
  printf("%8s %8s %8s %7s %7s %7s %12s %8s %8s %8s\n", "samples", "sent", "received", "wall s",
         "best s", "CPU s", "samples/s", "peak KiB", "low KiB", "anon KiB");
  int row = 0;
  for (long samples : {1000L, 1000000L}) {
    Summary s = repeatCapture(paths, 460800, samples, nullptr);
    const RunResult &r = s.median;
    double perS = r.wallS > 0 ? static_cast<double>(r.received) / r.wallS : 0;
    printf("%8ld %8ld %8ld %7.3f %7.3f %7.3f %12.0f %8ld %8ld %8ld%s\n", samples, r.sent,
           r.received, r.wallS, s.bestWallS, r.cpuS, perS, r.peakKiB, s.lowestPeakKiB, r.anonKiB,
           s.allComplete ? "" : "  samples lost or wrong");
    if (report.csv != nullptr) {
      fprintf(report.csv, "unpaced,460800,%ld,%ld,%ld,,%.4f,%.4f,%.4f,,%ld,%.0f\n", r.sent,
              r.received, r.matching, r.wallS, s.bestWallS, r.cpuS, r.peakKiB, perS);
    }
    report.complete = report.complete && s.allComplete;
    report.anon[row] = r.anonKiB;
    report.peaks[row++] = s.lowestPeakKiB;
    report.peakMax = std::max(report.peakMax, s.highestPeakKiB);
    report.walls[row - 1] = r.wallS;
    report.rate = perS;
  }
}

// What the tool did in one light run.
struct LightResult {
  bool complete = false;  // exit 0 and every sample intact
  double wakeupsPerS = 0; // voluntary context switches a second while samples flow
  double cpuS = 0;
};

long voluntarySwitches(pid_t pid) {
  FILE *status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (status == nullptr) {
    return -1;
  }
  char line[256];
  long count = -1;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (sscanf(line, "voluntary_ctxt_switches: %ld", &count) == 1) {
      break;
    }
  }
  fclose(status);
  return count;
}

// Sleeps until `at` seconds on nowS's clock, or until `pid` has exited
// (false; it is then reaped into `status` and `usage`).
bool stillRunningAt(pid_t pid, double at, int &status, rusage &usage) {
  while (nowS() < at) {
    if (wait4(pid, &status, WNOHANG, &usage) == pid) {
      return false;
    }
    usleep(2000);
  }
  return true;
}

// One capture of `samples` ramp samples at `baud`, byte at a time, by the
// qelvo at `qelvo`; run under `wrapper` (strace) when that is not empty.
LightResult lightCapture(const Paths &paths, const std::string &qelvo, long baud, long samples,
                         const std::vector<std::string> &wrapper = {}) {
  LightResult result;
  std::string dir = makeRunDir();
  if (dir.empty() || !writeConfig(dir)) {
    return result;
  }
  Sim sim = startSim(paths, {"--wave1", "ramp", "--samples", std::to_string(samples), "--pace",
                             "auto", "--delivery", "bytes"});
  std::vector<std::string> args = wrapper;
  args.insert(args.end(), {qelvo, "-c1", "-t", "1", "-y", "1", "-b", std::to_string(baud), "-s",
                           sim.tty, "out.dat"});
  std::vector<char *> argv = argvOf(args);
  double lineS = static_cast<double>((2 * samples + FIXED_CHARACTERS) * BITS_PER_CHARACTER) /
                 static_cast<double>(baud);
  double start = nowS();
  pid_t pid = sim.tty.empty() ? -1 : fork();
  if (pid == 0) {
    int devNull = open("/dev/null", O_WRONLY);
    if (chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    unsetenv("QELVO");
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = -1;
  rusage usage{};
  if (pid > 0) {
    // Under a wrapper the switches counted would be the wrapper's.
    bool counted = wrapper.empty();
    double from = start + LIGHT_FROM_S;
    double to = start + lineS - LIGHT_BEFORE_END_S;
    long before = -1;
    long after = -1;
    if (counted && stillRunningAt(pid, from, status, usage)) {
      before = voluntarySwitches(pid);
      from = nowS();
      if (stillRunningAt(pid, to, status, usage)) {
        after = voluntarySwitches(pid);
        to = nowS();
      }
    }
    if (status == -1) {
      wait4(pid, &status, 0, &usage);
    }
    if (before >= 0 && after >= before) {
      result.wakeupsPerS = static_cast<double>(after - before) / (to - from);
    }
    result.cpuS = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  stopSim(sim);
  RunResult check;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    checkSamples(dir + "/out.dat", 1, check);
  }
  result.complete = check.ok && check.received == samples && check.matching == samples;
  if (result.complete) {
    removeRunDir(dir);
  } else {
    fprintf(stderr, "qelvo-bench: %ld of %ld samples intact; the run is kept in %s\n",
            check.matching, samples, dir.c_str());
  }
  return result;
}

// Samples of a ramp record that lasts about LIGHT_LINE_S on the wire.
long lightSamples(long baud) {
  return static_cast<long>(LIGHT_LINE_S * static_cast<double>(baud) / (2 * BITS_PER_CHARACTER)) -
         FIXED_CHARACTERS / 2;
}

// The median of each figure over `runs`; complete when every run was.
LightResult medianOf(std::vector<LightResult> runs) {
  LightResult median;
  median.complete = !runs.empty();
  for (const LightResult &r : runs) {
    median.complete = median.complete && r.complete;
  }
  if (runs.empty()) {
    return median;
  }
  auto middle = runs.begin() + static_cast<long>(runs.size() / 2);
  std::nth_element(
      runs.begin(), middle, runs.end(),
      [](const LightResult &a, const LightResult &b) { return a.wakeupsPerS < b.wakeupsPerS; });
  median.wakeupsPerS = middle->wakeupsPerS;
  std::nth_element(runs.begin(), middle, runs.end(),
                   [](const LightResult &a, const LightResult &b) { return a.cpuS < b.cpuS; });
  median.cpuS = middle->cpuS;
  return median;
}

// The system calls of one light run at 38400 bit/s under `strace -c`, as
// "name calls" pairs of its summary.
std::vector<std::pair<std::string, long>> syscallCounts(const Paths &paths,
                                                        const std::string &qelvo) {
  std::vector<std::pair<std::string, long>> counts;
  std::string dir = makeRunDir();
  if (dir.empty()) {
    return counts;
  }
  std::string summary = dir + "/strace.txt";
  lightCapture(paths, qelvo, 38400, lightSamples(38400), {"/usr/bin/strace", "-c", "-o", summary});
  FILE *text = fopen(summary.c_str(), "r");
  char line[256];
  while (text != nullptr && fgets(line, sizeof line, text) != nullptr) {
    double share = 0;
    double secondsSpent = 0;
    long perCall = 0;
    long calls = 0;
    char name[64];
    char errors[64];
    if (sscanf(line, "%lf %lf %ld %ld %63s %63s", &share, &secondsSpent, &perCall, &calls, errors,
               name) == 6) {
      counts.emplace_back(name, calls);
    } else if (sscanf(line, "%lf %lf %ld %ld %63s", &share, &secondsSpent, &perCall, &calls,
                      name) == 5) {
      counts.emplace_back(name, calls);
    }
  }
  if (text != nullptr) {
    fclose(text);
  }
  unlink(summary.c_str());
  rmdir(dir.c_str());
  return counts;
}

long callsOf(const std::vector<std::pair<std::string, long>> &counts, const std::string &name) {
  for (const auto &entry : counts) {
    if (entry.first == name) {
      return entry.second;
    }
  }
  return 0;
}

void lightRuns(const Paths &paths, Report &report) {
  bool both = !paths.baseline.empty();
  printf("\nByte at a time, about %.0f s on the wire: wake-ups (voluntary context switches) a "
         "second while samples flow, and CPU time as a share of the line time%s (median of "
         "%d runs)\n\n",
         LIGHT_LINE_S, both ? "; the baseline beside this build" : "", paths.repeat);
  if (both) {
    printf("%8s %8s %10s %10s %9s %9s\n", "bit/s", "samples", "wake/s old", "wake/s new",
           "CPU % old", "CPU % new");
  } else {
    printf("%8s %8s %10s %9s\n", "bit/s", "samples", "wake/s", "CPU %");
  }
  for (long baud : {1200L, 9600L, 38400L, 115200L, 460800L}) {
    long samples = lightSamples(baud);
    double lineS = static_cast<double>((2 * samples + FIXED_CHARACTERS) * BITS_PER_CHARACTER) /
                   static_cast<double>(baud);
    // Turn about, so that both builds meet the same load.
    std::vector<LightResult> olds;
    std::vector<LightResult> nows;
    for (int i = 0; i < paths.repeat; ++i) {
      if (both) {
        olds.push_back(lightCapture(paths, paths.baseline, baud, samples));
      }
      nows.push_back(lightCapture(paths, paths.qelvo, baud, samples));
    }
    LightResult old = medianOf(olds);
    LightResult now = medianOf(nows);
    double oldShare = 100 * old.cpuS / lineS;
    double share = 100 * now.cpuS / lineS;
    bool complete = now.complete && (!both || old.complete);
    if (both) {
      printf("%8ld %8ld %10.1f %10.1f %9.2f %9.2f%s\n", baud, samples, old.wakeupsPerS,
             now.wakeupsPerS, oldShare, share, complete ? "" : "  samples lost or wrong");
    } else {
      printf("%8ld %8ld %10.1f %9.2f%s\n", baud, samples, now.wakeupsPerS, share,
             complete ? "" : "  samples lost or wrong");
    }
    if (report.csv != nullptr) {
      if (both) {
        fprintf(report.csv, "light-baseline,%ld,%ld,,,%.4f,,,%.4f,%.5f,,,%.1f\n", baud, samples,
                lineS, old.cpuS, old.cpuS / lineS, old.wakeupsPerS);
      }
      fprintf(report.csv, "light,%ld,%ld,,,%.4f,,,%.4f,%.5f,,,%.1f\n", baud, samples, lineS,
              now.cpuS, now.cpuS / lineS, now.wakeupsPerS);
    }
    report.complete = report.complete && complete;
    report.fewWakeups = report.fewWakeups && now.wakeupsPerS <= MAX_WAKEUPS_PER_S;
    if (baud == 38400) {
      report.lightCpuAt38400 = share <= 0.5;
    } else if (baud == 460800) {
      report.lightCpuAt460800 = share <= 1.0;
    }
  }
  if (access("/usr/bin/strace", X_OK) != 0) {
    printf("\n(no /usr/bin/strace: system calls not counted)\n");
    return;
  }
  auto counts = syscallCounts(paths, paths.qelvo);
  decltype(counts) oldCounts;
  if (both) {
    oldCounts = syscallCounts(paths, paths.baseline);
  }
  printf("\nSystem calls of one such capture at 38400 bit/s (strace -c)\n\n");
  printf("%16s %8s%s\n", "call", "new", both ? "      old" : "");
  for (const char *name : {"read", "poll", "nanosleep", "clock_nanosleep", "write", "total"}) {
    long calls = callsOf(counts, name);
    long oldCalls = callsOf(oldCounts, name);
    if (calls == 0 && oldCalls == 0) {
      continue;
    }
    if (both) {
      printf("%16s %8ld %8ld\n", name, calls, oldCalls);
    } else {
      printf("%16s %8ld\n", name, calls);
    }
  }
}

} // namespace

int main(int argc, char *argv[]) {
  Paths paths;
  if (!parseArgs(argc, argv, paths)) {
    fprintf(stderr, "usage: qelvo-bench --qelvo PATH --sim PATH [--csv FILE] [--micro JSON] "
                    "[--repeat N] [--baseline PATH] [--only paced|two|series|unpaced|light]\n");
    return 2;
  }
  Report report;
  if (!paths.csv.empty()) {
    report.csv = fopen(paths.csv.c_str(), "w");
    if (report.csv != nullptr) {
      fprintf(report.csv,
              "run,bit_per_s,samples_sent,samples_received,samples_intact,line_s,"
              "wall_s,best_wall_s,cpu_s,cpu_share,peak_kib,samples_per_s,wakeups_per_s\n");
    }
  }
  if (paths.paced) {
    pacedRuns(paths, report, 1);
  }
  if (paths.two) {
    pacedRuns(paths, report, 2);
  }
  if (paths.series) {
    seriesRuns(paths, report);
  }
  if (paths.unpaced) {
    unpacedRuns(paths, report);
  }
  if (paths.light) {
    lightRuns(paths, report);
  }
  double micro = paths.micro.empty() ? 0 : microRate(paths.micro, "BM_WriteSampleLine");
  if (paths.unpaced) {
    // The 1,000-sample run is all fixed cost (start, commands, waits for
    // silence); what the large run takes beyond it is the dump's own.
    double dumpS = report.walls[1] - report.walls[0];
    report.dumpRate = dumpS > 0 ? 999000.0 / dumpS : 0;
    printf("\nDump rate (1,000,000-sample run less the 1,000-sample run): %.0f samples/s\n",
           report.dumpRate);
  }
  if (micro > 0 && paths.unpaced) {
    printf("Per-sample path alone (micro-benchmark BM_WriteSampleLine): %.0f samples/s; "
           "dump rate at %.0f%% of it\n",
           micro, 100 * report.dumpRate / micro);
    if (report.csv != nullptr) {
      fprintf(report.csv, "dump_rate,,,,,,,,,,,%.0f\nper_sample_path,,,,,,,,,,,%.0f\n",
              report.dumpRate, micro);
    }
  }

  printf("\nChecks (on the median runs)\n");
  report.check(report.complete, "no sample lost or changed");
  if (paths.paced) {
    report.check(report.inTime, "paced wall time at most line time + 0.2 s");
    report.check(report.lightCpu, "paced CPU time at most 2 % of wall time");
  }
  if (paths.two) {
    report.check(report.twoInTime,
                 "two-channel wall time at most line time of both exchanges + 0.3 s");
    report.check(report.twoLightCpu, "two-channel CPU time at most 2 % of wall time");
  }
  if (paths.series) {
    report.check(report.seriesInTime,
                 "a series costs at most 0.05 s per capture beyond its exchange's line time");
  }
  if (paths.light) {
    report.check(report.fewWakeups,
                 "byte at a time, at most 50 wake-ups a second while samples flow");
    report.check(report.lightCpuAt38400, "byte at a time, CPU at most 0.5 % of the line time at "
                                         "38400 bit/s");
    report.check(report.lightCpuAt460800, "byte at a time, CPU at most 1 % of the line time at "
                                          "460800 bit/s");
  }
  report.check(report.peakMax <= MAX_PEAK_KIB, "peak resident memory at most 4 MiB in every run");
  if (paths.unpaced) {
    report.check(report.rate >= MIN_UNPACED_RATE, "unpaced at least 1,000,000 samples/s");
    if (micro > 0) {
      report.check(report.dumpRate >= micro / 2,
                   "unpaced dump rate at least half the per-sample path's rate");
    }
    // Which pages of the shared C library are resident varies by some
    // 100 KiB from run to run with the page cache, whatever the sample count;
    // the anonymous memory (heap, stack, data) is what would grow with it.
    report.check(std::labs(report.anon[1] - report.anon[0]) <= MAX_PEAK_SPREAD_KIB,
                 "anonymous memory for 1,000 and 1,000,000 samples within 64 KiB");
  }
  if (report.csv != nullptr) {
    fclose(report.csv);
    printf("\nCSV: %s\n", paths.csv.c_str());
  }
  return report.failures == 0 ? 0 : 1;
}

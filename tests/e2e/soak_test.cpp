// A long unattended series at full speed: what qelvo holds from one capture
// to the next (descriptors, resident memory) stays flat, and every file is
// whole. Its figures go to standard output, to be quoted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UNDER_ASAN = true;
#elif defined(__has_feature)
constexpr bool UNDER_ASAN = __has_feature(address_sanitizer);
#else
constexpr bool UNDER_ASAN = false;
#endif

const std::vector<std::string> RECORD{"--samples", "200", "--pace", "none"};
constexpr int CAPTURES = 1000;
constexpr int EVERY = 100;

struct Reading {
  int descriptors = -1; // -1: the process was gone
  long rssKiB = -1;
};

char stateOf(int pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t name = stat.rfind(')');
  return name == std::string::npos || name + 2 >= stat.size() ? '?' : stat[name + 2];
}

Reading readingOf(int pid) {
  Reading r;
  std::string proc = "/proc/" + std::to_string(pid);
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it(proc + "/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  if (error) {
    return r;
  }
  r.descriptors = count;
  std::string status = readFile(proc + "/status");
  size_t at = status.find("\nVmRSS:");
  if (at != std::string::npos) {
    r.rssKiB = std::strtol(status.c_str() + at + 7, nullptr, 10);
  }
  return r;
}

// A reading taken while qelvo sleeps on the line, as it does through most of
// each capture: never in the microseconds in which a header's user name, the
// folder's sync or the next file holds one more descriptor, or none. Two such
// readings a few milliseconds apart must agree.
Reading settledReading(int pid) {
  Reading last;
  for (int tries = 0; tries < 500; ++tries) {
    Reading r;
    if (stateOf(pid) == 'S') {
      r = readingOf(pid);
      if (stateOf(pid) != 'S') {
        r = Reading{};
      }
    }
    if (r.descriptors >= 0 && r.descriptors == last.descriptors) {
      return r;
    }
    last = r;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  return last;
}

std::string logLine(int number, const std::string &name) {
  return "qelvo: capture " + std::to_string(number) + ": 200 samples written to '" + name + "'\n";
}

std::string nameOf(int number) {
  char name[32];
  snprintf(name, sizeof name, "soak-%04d.dat", number);
  return name;
}

// ASan's quarantine holds every freed block back from reuse (up to 256 MB),
// so resident memory climbs with every block freed, about 10 KiB a capture
// here, leak or not; it is turned off for this run only. Leaks are
// LeakSanitizer's to report, at qelvo's exit, on standard error and with a
// status other than 0.
std::vector<std::string> environment() {
  std::vector<std::string> env{"QELVO"};
  if (UNDER_ASAN) {
    const char *options = getenv("ASAN_OPTIONS");
    env.push_back("ASAN_OPTIONS=" + (options != nullptr ? options + std::string(":") : "") +
                  "quarantine_size_mb=0:thread_local_quarantine_size_kb=0:detect_leaks=1");
  }
  return env;
}

} // namespace

TEST(Soak, AThousandCapturesKeepDescriptorsAndMemoryFlatAndEveryFileWhole) {
  TempDir dir;
  // The scope without its log, which nothing here reads: its write, before
  // each echo, may wait on a disk that qelvo's syncs keep busy.
  std::vector<std::string> simArgs{QELVO_SIM_BIN, "--link", dir.file("tty")};
  simArgs.insert(simArgs.end(), RECORD.begin(), RECORD.end());
  Child scope(simArgs);
  ASSERT_TRUE(waitFor([&] { return access(dir.file("tty").c_str(), F_OK) == 0; }, 5000))
      << scope.currentErr();
  // Standard error through a pipe, read as the lines come.
  std::string pipe = dir.file("stderr");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  int err = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(err, 0);
  auto started = std::chrono::steady_clock::now();
  Child series({QELVO_BIN, "-s", "tty", "-c", "1", "--count=" + std::to_string(CAPTURES),
                "--interval=0", "soak-####.dat"},
               {environment(), dir.path()}, pipe);

  // Each reading is taken in the capture after the one whose line came: at
  // capture 1000 while it runs, not after qelvo's end.
  std::string log;
  size_t unread = 0;
  int written = 0;
  std::vector<Reading> readings;
  auto deadline = started + std::chrono::seconds(100);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{err, POLLIN, 0};
    poll(&ready, 1, 1000);
    char chunk[4096];
    ssize_t n = read(err, chunk, sizeof chunk);
    if (n == 0 && (!log.empty() || stateOf(series.pid()) == 'Z')) {
      break; // qelvo's end
    }
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    log.append(chunk, static_cast<size_t>(n));
    for (size_t end = log.find('\n', unread); end != std::string::npos;
         end = log.find('\n', unread)) {
      if (log.compare(unread, 15, "qelvo: capture ") == 0 && ++written % EVERY == EVERY - 1) {
        readings.push_back(settledReading(series.pid()));
      }
      unread = end + 1;
    }
  }
  close(err);
  ProcessResult r = series.wait(10000);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::string table = "capture";
  for (int n = EVERY; n <= CAPTURES; n += EVERY) {
    table += "\t" + std::to_string(n);
  }
  table += "\ndescriptors";
  for (const Reading &reading : readings) {
    table += "\t" + std::to_string(reading.descriptors);
  }
  table += "\nVmRSS KiB";
  for (const Reading &reading : readings) {
    table += "\t" + std::to_string(reading.rssKiB);
  }
  printf("%s\n%d captures in %.1f s, %.1f ms each\n", table.c_str(), CAPTURES, seconds,
         seconds * 1000 / CAPTURES);

  ASSERT_EQ(r.exitStatus, 0) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  // The scope lasted too.
  scope.kill(SIGTERM);
  EXPECT_EQ(scope.wait(5000).exitStatus, 0);
  std::string expected;
  for (int n = 1; n <= CAPTURES; ++n) {
    expected += logLine(n, nameOf(n));
  }
  // Exact, so that a sanitizer's report fails it too.
  EXPECT_EQ(withoutConfigWarning(log), expected);
  ASSERT_EQ(readings.size(), static_cast<size_t>(CAPTURES / EVERY)) << table;
  EXPECT_GT(readings[0].descriptors, 0) << table;
  for (size_t i = 0; i < readings.size(); ++i) {
    EXPECT_EQ(readings[i].descriptors, readings[0].descriptors) << table;
    EXPECT_GT(readings[i].rssKiB, 0) << table;
    EXPECT_LE(std::abs(readings[i].rssKiB - readings[0].rssKiB), 64) << table;
  }

  // Every file is the first apart from its creation time, and the first
  // holds the scope's record.
  std::string first = readFile(dir.file(nameOf(1)));
  EXPECT_EQ(rawSamples(first, 1), VirtualScope::waveform(RECORD, 1));
  first = withoutCreationTime(first);
  for (int n = 2; n <= CAPTURES; ++n) {
    ASSERT_EQ(withoutCreationTime(readFile(dir.file(nameOf(n)))), first) << nameOf(n);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file(nameOf(CAPTURES + 1))));
}

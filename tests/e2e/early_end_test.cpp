// Runs that end before the capture starts must never cost an earlier
// capture: the data file named is left exactly as it was (contents, mode,
// modification time), a file the run created is removed again (also where a
// dangling symbolic link points, the link kept), and a FIFO is neither
// truncated nor removed. Once the scope has answered, the file holds the new
// capture and nothing of the old one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

const char EARLIER[] = "# an earlier capture\n1.0e-03\t2.5e+00\n";

enum OutputKind { EXISTING_FILE, NEW_FILE, FIFO, DANGLING_LINK };
const char *const KIND_NAMES[] = {"existing file", "new file", "FIFO", "dangling link"};

// The data file of one run, prepared before it and judged after it.
class Output {
public:
  Output(const TempDir &dir, OutputKind kind) : kind_(kind), path_(dir.file("keep.dat")) {
    if (kind == EXISTING_FILE) {
      std::string earlier;
      for (int i = 0; i < 300; ++i) {
        earlier += EARLIER;
      }
      writeFile(path_, earlier);
      chmod(path_.c_str(), 0604);
      timespec times[2] = {{978307200, 123456789}, {978307200, 123456789}}; // 2001
      utimensat(AT_FDCWD, path_.c_str(), times, 0);
    } else if (kind == FIFO) {
      EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
      // A reader from the start, so that the tool's open does not block.
      reader_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      EXPECT_GE(reader_, 0);
    } else if (kind == DANGLING_LINK) {
      EXPECT_EQ(symlink("target.dat", path_.c_str()), 0);
      target_ = dir.file("target.dat");
    }
    lstat(path_.c_str(), &before_);
    earlier_ = kind == EXISTING_FILE ? readFile(path_) : "";
  }
  ~Output() {
    if (reader_ >= 0) {
      close(reader_);
    }
  }

  void expectUntouched(const std::string &what) {
    struct stat after {};
    int found = lstat(path_.c_str(), &after);
    switch (kind_) {
    case EXISTING_FILE:
      ASSERT_EQ(found, 0) << what;
      EXPECT_EQ(readFile(path_), earlier_) << what;
      EXPECT_EQ(after.st_mode, before_.st_mode) << what;
      EXPECT_EQ(after.st_mtim.tv_sec, before_.st_mtim.tv_sec) << what;
      EXPECT_EQ(after.st_mtim.tv_nsec, before_.st_mtim.tv_nsec) << what;
      break;
    case NEW_FILE: EXPECT_NE(found, 0) << what << ": the run's own file is removed"; break;
    case FIFO:
      ASSERT_EQ(found, 0) << what;
      EXPECT_TRUE(S_ISFIFO(after.st_mode)) << what;
      EXPECT_EQ(readUntilQuiet(reader_, 50), "") << what;
      break;
    case DANGLING_LINK:
      ASSERT_EQ(found, 0) << what;
      EXPECT_TRUE(S_ISLNK(after.st_mode)) << what;
      EXPECT_EQ(std::filesystem::read_symlink(path_), "target.dat") << what;
      EXPECT_FALSE(std::filesystem::exists(target_)) << what << ": the file created is removed";
      break;
    }
  }

  // The new capture, and nothing of the old one.
  std::string captured() { return kind_ == FIFO ? readUntilQuiet(reader_, 50) : readFile(path_); }

private:
  OutputKind kind_;
  std::string path_;
  std::string target_; // where a dangling link points
  int reader_ = -1;
  struct stat before_ {};
  std::string earlier_;
};

std::string notConnected(const std::string &device) {
  return "*** Error: Oszi not connected to '" + device + "' or switched off ***\n";
}

std::string neverSilent(const std::string &device) {
  return "*** Error: serial line '" + device +
         "' never falls silent: is the scope still sending? ***\n";
}

struct EarlyEnd {
  const char *name;
  std::vector<std::string> scope;   // the virtual scope's options; empty: none
  std::vector<std::string> options; // qelvo's options before -s
  bool lineBusy;                    // another process holds the line's lock
  bool stop;                        // SIGTERM once the line is raw
  int status;
  // The expected standard error, from the device's name; nullptr: only the
  // status is judged (the help text follows).
  std::string (*err)(const std::string &device);
};

std::string stoppedEarly(const std::string &) {
  return "*** Stopped by signal 15: nothing captured ***\n";
}

const EarlyEnd EARLY_ENDS[] = {
    {"BadSetting", {"--pace", "none"}, {"-c", "3"}, false, false, 3, nullptr},
    {"UnopenableDevice", {}, {}, false, false, 3, nullptr},
    {"BusyLine", {"--pace", "none"}, {}, true, false, 3, nullptr},
    {"ScopeNotAnswering", {"--fault", "silent"}, {}, false, false, 1, notConnected},
    {"SignalBeforeTheStatus", {"--fault", "chatter"}, {}, false, true, 128 + SIGTERM, stoppedEarly},
    {"LineNeverFallsSilent", {"--fault", "chatter"}, {}, false, false, 1, neverSilent},
};

void PrintTo(const EarlyEnd &row, std::ostream *out) { *out << row.name; }

class EarlyEndRun : public ::testing::TestWithParam<EarlyEnd> {};

} // namespace

TEST_P(EarlyEndRun, LeavesTheNamedFileAsItWas) {
  const EarlyEnd &row = GetParam();
  int attempts[DANGLING_LINK + 1] = {};
  for (int k = EXISTING_FILE; k <= DANGLING_LINK; ++k) {
    OutputKind kind = static_cast<OutputKind>(k);
    std::string what = std::string(row.name) + ", " + KIND_NAMES[kind];
    TempDir dir;
    std::unique_ptr<VirtualScope> scope;
    std::string device = "/nonexistent/ttyS7";
    if (!row.scope.empty()) {
      scope = std::make_unique<VirtualScope>(dir, row.scope);
      device = scope->device();
    }
    int holder = -1;
    if (row.lineBusy) {
      holder = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << what;
    }
    Output output(dir, kind);
    std::vector<std::string> argv{QELVO_BIN};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    argv.insert(argv.end(), {"-s", device, "keep.dat"});
    Child tool(argv, {{"QELVO"}, dir.path()});
    if (row.stop) {
      // The stop handlers are in place before the line is made raw.
      int probe = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_TRUE(waitFor(
          [&] {
            termios line{};
            return tcgetattr(probe, &line) == 0 && (line.c_cflag & CRTSCTS) != 0;
          },
          5000))
          << what;
      close(probe);
      usleep(100 * 1000);
      tool.kill(SIGTERM);
    }
    ProcessResult r = tool.wait(10000);
    if (holder >= 0) {
      close(holder);
    }
    // A host that stalls the chattering scope makes its line silent for real.
    if (row.err == neverSilent && withoutConfigWarning(r.err) == notConnected(device) &&
        ++attempts[k] < 5) {
      printf("%s: the chatter stalled; trying again\n", what.c_str());
      output.expectUntouched(what);
      --k;
      continue;
    }
    EXPECT_EQ(r.exitStatus, row.status) << what << "\n" << r.err;
    if (row.err != nullptr) {
      EXPECT_EQ(withoutConfigWarning(r.err), row.err(device)) << what;
    }
    output.expectUntouched(what);
    if (scope != nullptr && row.status != 3) {
      EXPECT_FALSE(contains(scope->received(), "d")) << what;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, EarlyEndRun, ::testing::ValuesIn(EARLY_ENDS),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(EarlyEnd, CaptureThatStartsReplacesTheEarlierOneWhole) {
  for (OutputKind kind : {EXISTING_FILE, NEW_FILE, FIFO, DANGLING_LINK}) {
    TempDir dir;
    // The scope answers its status but refuses the dump: the header alone is
    // the new capture.
    VirtualScope scope(dir, {"--fault", "no-echo=d", "--pace", "none"});
    Output output(dir, kind);
    ProcessResult r = runQelvo(dir, {"-c", "1", "-s", scope.device(), "keep.dat"});
    EXPECT_EQ(r.exitStatus, 0) << KIND_NAMES[kind] << "\n" << r.err;
    std::string data = output.captured();
    EXPECT_EQ(data.rfind("# Program: 'qelvo', ", 0), 0u) << KIND_NAMES[kind] << ": " << data;
    EXPECT_TRUE(contains(data, "#  Probe:\t1:1.00\n#\n")) << KIND_NAMES[kind];
    EXPECT_FALSE(contains(data, "earlier")) << KIND_NAMES[kind];
    if (kind == DANGLING_LINK) {
      EXPECT_TRUE(std::filesystem::is_symlink(dir.file("keep.dat"))) << "written through";
    }
  }
}

// Interrupting a slow dump leaves the scope sending the rest of its record;
// a capture started right after finds a line that never falls silent, and
// says so instead of calling the scope switched off.
TEST(EarlyEnd, CaptureRightAfterAnInterruptedDumpFindsTheLineBusy) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "2000"});
  Child first({QELVO_BIN, "-b", "1200", "-s", scope.device(), "first.dat"},
              {{"QELVO"}, dir.path()});
  ASSERT_TRUE(
      waitFor([&] { return sampleLines(readFile(dir.file("first.dat"))).size() > 5; }, 10000));
  first.kill(SIGINT);
  ProcessResult r = first.wait(5000);
  EXPECT_EQ(r.exitStatus, 128 + SIGINT);
  size_t kept = sampleLines(readFile(dir.file("first.dat"))).size();
  EXPECT_EQ(withoutConfigWarning(r.err), "*** Stopped by signal 2: " + std::to_string(kept) +
                                             " samples kept in 'first.dat' ***\n");

  usleep(500 * 1000);
  Output output(dir, EXISTING_FILE);
  auto start = std::chrono::steady_clock::now();
  r = runQelvo(dir, {"-b", "1200", "-s", scope.device(), "keep.dat"});
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(withoutConfigWarning(r.err), neverSilent(scope.device()));
  EXPECT_EQ(scope.received(), "0sd") << "the second capture sent nothing";
  output.expectUntouched("after an interrupted dump");
  EXPECT_GE(took, 1.9);
  EXPECT_LT(took, 3.5) << "one drain, not two";
}

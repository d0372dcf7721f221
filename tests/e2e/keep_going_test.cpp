// A series with --keep-going left alone for a weekend: a scope that dies and
// comes back, a line that vanishes for a while or is taken by another
// program, and a disk that fills up and is freed again each cost only the
// captures they hit.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

const std::vector<std::string> RECORD{"--samples", "200", "--pace", "none"};

std::string written(int number) {
  char name[32];
  snprintf(name, sizeof name, "run-%04d.dat", number);
  return "qelvo: capture " + std::to_string(number) + ": 200 samples written to '" + name + "'";
}

// The lines of the series' own account and the error lines, in order; a
// failure's other lines (a failed send, say) depend on the moment it hit.
std::vector<std::string> accountLines(const std::string &err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("qelvo: ", 0) == 0 || line.rfind("*** Error: ", 0) == 0 ||
        line.rfind("*** Capture incomplete", 0) == 0) {
      lines.push_back(line);
    }
  }
  return lines;
}

void expectWhole(const TempDir &dir, const std::vector<int> &numbers) {
  for (int number : numbers) {
    char name[32];
    snprintf(name, sizeof name, "run-%04d.dat", number);
    EXPECT_EQ(rawSamples(readFile(dir.file(name)), 1), VirtualScope::waveform(RECORD, 1)) << name;
  }
}

// The file's samples are the record's first ones.
void expectPrefix(const std::string &path, size_t samples) {
  std::vector<int> kept = rawSamples(readFile(path), 1);
  std::vector<int> record = VirtualScope::waveform(RECORD, 1);
  ASSERT_EQ(kept.size(), samples) << path;
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), record.begin())) << path;
}

// K of "*** Capture incomplete: K samples kept in ...".
int incompleteCount(const std::string &line) {
  const std::string start = "*** Capture incomplete: ";
  return line.rfind(start, 0) == 0 ? std::stoi(line.substr(start.size())) : -1;
}

// Whether process `pid` holds a descriptor of a terminal.
bool holdsTerminal(int pid) {
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto &entry : std::filesystem::directory_iterator(fds)) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("/dev/pts/", 0) == 0 || target == "/dev/ptmx") {
      return true;
    }
  }
  return false;
}

} // namespace

TEST(KeepGoing, AScopeThatDiesInACaptureAndReturnsCostsThatCaptureOnly) {
  TempDir dir;
  std::vector<std::string> dying = RECORD;
  dying.insert(dying.end(), {"--fault", "die-in-capture=3:20"});
  VirtualScope first(dir, dying);
  Child series(
      {QELVO_BIN, "-s", "tty", "-c", "1", "--count=6", "--interval=0.3", "--keep-going", "run.dat"},
      {{"QELVO"}, dir.path()});
  ASSERT_TRUE(waitFor([&] { return contains(series.currentErr(), "capture 3 failed"); }, 10000))
      << series.currentErr();
  // Back under the same link name a moment later.
  VirtualScope second(dir, RECORD);
  ProcessResult r = series.wait(20000);
  EXPECT_EQ(r.exitStatus, 1);
  // What the scope sent before it died and the reader had not yet taken
  // goes with the hang-up: at most its 20 samples are kept.
  std::vector<std::string> lines = accountLines(r.err);
  ASSERT_GE(lines.size(), 4u) << r.err;
  int kept = incompleteCount(lines[3]);
  EXPECT_LE(kept, 20);
  std::vector<std::string> expected{
      written(1),
      written(2),
      "*** Error: Oszi not connected to 'tty' or switched off ***",
      "*** Capture incomplete: " + std::to_string(kept) + " samples kept in 'run-0003.dat' ***",
      "qelvo: capture 3 failed: Oszi not connected to 'tty' or switched off",
  };
  // The next start may find the link still dangling.
  if (lines.size() > 5 && lines[5] == "qelvo: waiting for 'tty' to return") {
    expected.push_back(lines[5]);
  }
  expected.insert(expected.end(),
                  {written(4), written(5), written(6), "qelvo: 5 of 6 captures written"});
  EXPECT_EQ(lines, expected) << r.err;
  expectWhole(dir, {1, 2, 4, 5, 6});
  expectPrefix(dir.file("run-0003.dat"), static_cast<size_t>(kept));
}

TEST(KeepGoing, AVanishedLineIsWaitedForWithoutNumbersOrLockAndAHeldOneFailsACapture) {
  TempDir dir;
  auto first = std::make_unique<VirtualScope>(dir, RECORD);
  Child series(
      {QELVO_BIN, "-s", "tty", "-c", "1", "--count=6", "--interval=1", "--keep-going", "run.dat"},
      {{"QELVO"}, dir.path()});
  // Unplugged between two captures.
  ASSERT_TRUE(waitFor([&] { return contains(series.currentErr(), "capture 2:"); }, 10000));
  first->stop();
  ASSERT_TRUE(waitFor([&] { return contains(series.currentErr(), "to return"); }, 10000))
      << series.currentErr();
  // Several starts pass while the line is gone: none takes a number, and
  // nothing of the line is kept open.
  EXPECT_FALSE(holdsTerminal(series.pid()));
  usleep(2500000);
  EXPECT_FALSE(holdsTerminal(series.pid()));
  std::string whileGone = series.currentErr();

  // It returns, but another program holds it for one start: the lock is
  // taken before the name appears, so that no start can slip in between.
  TempDir other;
  VirtualScope second(other, RECORD);
  int holder = open(second.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  std::string target = std::filesystem::read_symlink(second.device()).string();
  std::filesystem::create_symlink(target, dir.file("tty.new"));
  std::filesystem::rename(dir.file("tty.new"), dir.file("tty"));
  ASSERT_TRUE(waitFor([&] { return contains(series.currentErr(), "capture 4 failed"); }, 10000))
      << series.currentErr();
  close(holder);
  ProcessResult r = series.wait(20000);
  EXPECT_EQ(r.exitStatus, 3); // the last failure's, as a single run's start
  EXPECT_EQ(
      accountLines(r.err),
      (std::vector<std::string>{
          written(1), written(2), "*** Error: Oszi not connected to 'tty' or switched off ***",
          "qelvo: capture 3 failed: Oszi not connected to 'tty' or switched off",
          "qelvo: waiting for 'tty' to return", "*** Error: Cannot open serial line 'tty' ***",
          "*** Error: serial line 'tty' is in use by process " + std::to_string(getpid()) +
              " (qelvo_e2e_tests) ***",
          "qelvo: capture 4 failed: Cannot open serial line 'tty'", written(5), written(6),
          "qelvo: 4 of 6 captures written"}))
      << r.err;
  EXPECT_EQ(accountLines(whileGone).size(), 5u) << whileGone;
  expectWhole(dir, {1, 2, 5, 6});
  EXPECT_FALSE(std::filesystem::exists(dir.file("run-0003.dat")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("run-0004.dat")));

  // A device that never returns is waited for until a stop signal, which
  // ends the series as ever.
  TempDir gone;
  auto lonely = std::make_unique<VirtualScope>(gone, RECORD);
  Child waiting(
      {QELVO_BIN, "-s", "tty", "-c", "1", "--count=0", "--interval=0.2", "--keep-going", "run.dat"},
      {{"QELVO"}, gone.path()});
  ASSERT_TRUE(waitFor([&] { return contains(waiting.currentErr(), "capture 1:"); }, 10000));
  lonely->stop();
  ASSERT_TRUE(waitFor([&] { return contains(waiting.currentErr(), "to return"); }, 10000));
  usleep(1000000);
  waiting.kill(SIGTERM);
  r = waiting.wait(5000);
  EXPECT_EQ(r.exitStatus, 143);
  std::vector<std::string> end = accountLines(r.err);
  ASSERT_FALSE(end.empty());
  EXPECT_EQ(end.back(), "qelvo: waiting for 'tty' to return") << r.err;
  EXPECT_TRUE(r.err.ends_with("*** Stopped by signal 15: 1 captures written ***\n")) << r.err;
}

// A small file system of its own; needs root to mount.
class SmallDisk {
public:
  explicit SmallDisk(const std::string &path) : path_(path) {
    mounted_ = mount("qelvo-test", path.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~SmallDisk() {
    if (mounted_) {
      umount2(path_.c_str(), MNT_DETACH);
    }
  }
  SmallDisk(const SmallDisk &) = delete;
  SmallDisk &operator=(const SmallDisk &) = delete;
  bool mounted() const { return mounted_; }

private:
  std::string path_;
  bool mounted_ = false;
};

TEST(KeepGoing, AFullDiskFailsCapturesUntilItIsFreed) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("disk"));
  SmallDisk disk(dir.file("disk"));
  if (!disk.mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  VirtualScope scope(dir, RECORD);
  // All but about 2 KiB taken: the first capture's file fills the rest.
  std::string filler = dir.file("disk/filler");
  writeFile(filler, std::string(60 * 1024, 'x'));
  Child series({QELVO_BIN, "-s", "../tty", "-c", "1", "--count=3", "--interval=1", "--keep-going",
                "run.dat"},
               {{"QELVO"}, dir.file("disk")});
  ASSERT_TRUE(waitFor([&] { return contains(series.currentErr(), "capture 1 failed"); }, 10000))
      << series.currentErr();
  std::filesystem::remove(filler);
  ProcessResult r = series.wait(20000);
  EXPECT_EQ(r.exitStatus, 6);
  std::vector<std::string> lines = accountLines(r.err);
  ASSERT_EQ(lines.size(), 7u) << r.err;
  EXPECT_EQ(lines[0], "*** Error: Cannot write output file 'run-0001.dat' ***");
  EXPECT_EQ(lines[1], "qelvo: No space left on device");
  EXPECT_TRUE(lines[2].starts_with("*** Capture incomplete: ")) << lines[2];
  EXPECT_EQ(lines[3], "qelvo: capture 1 failed: Cannot write output file 'run-0001.dat'");
  EXPECT_EQ(lines[4], written(2));
  EXPECT_EQ(lines[5], written(3));
  EXPECT_EQ(lines[6], "qelvo: 2 of 3 captures written");
  // The failed capture keeps the whole lines that fitted.
  int kept = incompleteCount(lines[2]);
  expectPrefix(dir.file("disk/run-0001.dat"), static_cast<size_t>(kept));
  expectWhole(dir, {});
  for (const char *name : {"disk/run-0002.dat", "disk/run-0003.dat"}) {
    EXPECT_EQ(rawSamples(readFile(dir.file(name)), 1), VirtualScope::waveform(RECORD, 1)) << name;
  }
}

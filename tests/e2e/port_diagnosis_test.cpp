// A line that will not open: the tool names the cause and what to do, and
// the holder of a busy line; --ports lists the machine's ports.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

const char HELP_LINE[] = "\t<file>:  name of the output file\n";

std::string cannotOpen(const std::string &device) {
  return "*** Error: Cannot open serial line '" + device + "' ***\n";
}

// A process that holds `device` with an exclusive flock(), under the name
// `comm`, until it is destroyed.
class LineHolder {
public:
  LineHolder(const std::string &device, const char *comm) {
    int ready[2];
    if (pipe(ready) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        _exit(1);
      }
      prctl(PR_SET_NAME, comm);
      (void)!write(ready[1], "r", 1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    held_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~LineHolder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  LineHolder(const LineHolder &) = delete;
  LineHolder &operator=(const LineHolder &) = delete;
  int pid() const { return pid_; }
  bool held() const { return held_; }

private:
  int pid_ = -1;
  bool held_ = false;
};

// qelvo on `device` as user nobody with `gid` as its only group.
ProcessResult runAsNobody(const TempDir &dir, const std::string &device, gid_t gid) {
  std::string out = dir.file("out.dat");
  return runInChild([&] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) {
      exit(99);
    }
    unsetenv("QELVO");
    execl(QELVO_BIN, QELVO_BIN, "-c", "1", "-s", device.c_str(), out.c_str(),
          static_cast<char *>(nullptr));
    exit(98);
  });
}

std::string groupName(gid_t gid) {
  group *entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

} // namespace

TEST(OpenFailure, EveryKindOfNodeGetsItsCause) {
  TempDir dir;
  writeFile(dir.file("capture.dat"), "0.0\t1.0\n");
  mkdir(dir.file("ttyS9").c_str(), 0755);
  mkfifo(dir.file("fifo").c_str(), 0600);
  // A pseudo-terminal whose slave was never unlocked answers an open with an
  // I/O error, as a ttyS name with no UART behind it does.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  std::string locked = ptsname(master);
  struct Row {
    std::string device;
    std::string cause;
  } rows[] = {
      {dir.file("capture.dat"), "is a regular file, not a serial port"},
      {dir.file("ttyS9"), "is a directory, not a serial port"},
      {dir.file("fifo"), "is not a terminal, not a serial port"},
      {locked, "has no serial hardware behind it"},
      {dir.file("missing"), "does not exist"},
      {dir.file("capture.dat/tty"), "does not exist"},
  };
  for (const Row &row : rows) {
    ProcessResult r = runQelvo(dir, {"-c", "1", "-s", row.device, "out.dat"});
    EXPECT_EQ(r.exitStatus, 3) << row.device;
    std::string expected = cannotOpen(row.device) + "qelvo: '" + row.device + "' " + row.cause;
    EXPECT_TRUE(contains(r.err, expected)) << r.err;
    EXPECT_TRUE(contains(r.err, HELP_LINE)) << "the help follows";
    if (row.cause == "does not exist") {
      size_t end = r.err.find('\n', r.err.find(expected));
      std::string rest = r.err.substr(r.err.find(expected) + expected.size(),
                                      end - r.err.find(expected) - expected.size());
      EXPECT_TRUE(rest.rfind("; serial ports here: /dev/", 0) == 0 ||
                  rest == ", and no serial port was found: is the adapter plugged in?")
          << rest;
    }
  }
  close(master);
  EXPECT_EQ(readFile(dir.file("capture.dat")), "0.0\t1.0\n");
}

TEST(OpenFailure, NoPermissionNamesTheRemedyThatFits) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run qelvo as nobody against a pty it owns";
  }
  passwd *nobody = getpwuid(65534);
  if (nobody == nullptr) {
    GTEST_SKIP() << "no user 65534 here";
  }
  const std::string nobodyName = nobody->pw_name;
  const gid_t nobodyGroup = nobody->pw_gid;
  TempDir dir;
  chmod(dir.path().c_str(), 0777); // the run needs its data file either way
  PtyPair pty;
  struct Row {
    gid_t group;
    mode_t mode;
    gid_t runAs;
    std::string remedy;
  } rows[] = {
      {0, 0600, nobodyGroup, "a udev rule can set its group and mode (see examples/)"},
      {54321, 0660, nobodyGroup,
       "run sudo usermod -aG 54321 " + nobodyName + ", then log in again"},
      // In its group by the database, but not since this login.
      {nobodyGroup, 0660, 54322, "log out and in again to join group " + groupName(nobodyGroup)},
  };
  for (const Row &row : rows) {
    ASSERT_EQ(chown(pty.slavePath.c_str(), 0, row.group), 0);
    ASSERT_EQ(chmod(pty.slavePath.c_str(), row.mode), 0);
    ProcessResult r = runAsNobody(dir, pty.slavePath, row.runAs);
    if (r.exitStatus == 99 || r.exitStatus == 98) {
      GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    EXPECT_EQ(r.exitStatus, 3) << r.err;
    std::string mode = row.mode == 0600 ? "crw-------" : "crw-rw----";
    EXPECT_TRUE(contains(r.err, cannotOpen(pty.slavePath) + "qelvo: no permission to open '" +
                                    pty.slavePath + "' (owner root, group " + groupName(row.group) +
                                    ", mode " + mode + "): " + row.remedy + "\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, HELP_LINE));
  }
  EXPECT_EQ(pty.readMaster(50), "") << "nothing reached the line";
}

TEST(OpenFailure, ABusyLineNamesTheProcessHoldingIt) {
  TempDir dir;
  PtyPair pty;
  const std::string inUse = "*** Error: serial line '" + pty.slavePath + "' is in use by process ";
  {
    LineHolder holder(pty.slavePath, "bench-logger");
    ASSERT_TRUE(holder.held());
    ProcessResult r = runQelvo(dir, {"-c", "1", "-s", pty.slavePath, "out.dat"});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_TRUE(contains(r.err, cannotOpen(pty.slavePath) + inUse + std::to_string(holder.pid()) +
                                    " (bench-logger) ***\n" + "qelvo: Ver"))
        << "no advice for an ordinary program: " << r.err;
  }
  LineHolder service(pty.slavePath, "ModemManager");
  ASSERT_TRUE(service.held());
  ProcessResult r = runQelvo(dir, {"-c", "1", "-s", pty.slavePath, "out.dat"});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_TRUE(contains(r.err, cannotOpen(pty.slavePath) + inUse + std::to_string(service.pid()) +
                                  " (ModemManager) ***\n"
                                  "qelvo: ModemManager takes new serial ports: disable it (sudo "
                                  "systemctl disable --now ModemManager), or add the udev rule "
                                  "from examples/\n"))
      << r.err;
  EXPECT_EQ(pty.readMaster(50), "");
}

TEST(Ports, ListsWithoutConfigurationOperandOrOpeningAPort) {
  TempDir dir;
  // A configuration file that would be a problem, were it read.
  writeFile(dir.file("qelvo.conf"), "Baudrate: 100\n");
  ProcessResult plain = runQelvo(dir, {"--ports"});
  EXPECT_EQ(plain.exitStatus, 0);
  EXPECT_EQ(plain.err, "");
  ProcessResult banner = runQelvo(dir, {"--version"});
  ASSERT_EQ(plain.out.rfind(banner.out, 0), 0u) << "the banner comes first: " << plain.out;
  std::string listing = plain.out.substr(banner.out.size());
  EXPECT_TRUE(listing == "qelvo: no serial port found\n" || listing.rfind("\n/dev/", 0) == 0)
      << listing;
  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{"-c", "9", "--help", "--ports", "out.dat"},
                                             {"-b", "100", "--ports", "--flow=x", "-z"}}) {
    ProcessResult r = runQelvo(dir, args);
    EXPECT_EQ(r.exitStatus, 0) << args[2];
    EXPECT_EQ(r.out, plain.out) << "other options and operands are ignored";
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat")));
}

// Faults a bench throws at a capture: a scope that vanishes, line noise, a
// scope that never stops talking, a wrong or forbidden device, a line that is
// already in use. Every run must end in bounded time with the samples that
// arrived intact in the file and the line given back as it was.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const char NOT_CONNECTED[] = "*** Error: Oszi not connected to '%s' or switched off ***\n";

std::string notConnected(const std::string &device) {
  char text[512];
  snprintf(text, sizeof text, NOT_CONNECTED, device.c_str());
  return text;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The virtual scope's options `wave` with a fault added.
std::vector<std::string> withFault(std::vector<std::string> wave,
                                   const std::vector<std::string> &fault) {
  wave.insert(wave.end(), fault.begin(), fault.end());
  return wave;
}

std::vector<int> firstOf(const std::vector<int> &values, size_t count) {
  return {values.begin(), values.begin() + static_cast<long>(std::min(count, values.size()))};
}

} // namespace

TEST(Fault, ScopeVanishingMidDumpKeepsWhatArrivedAndFailsTheRun) {
  TempDir dir;
  std::vector<std::string> wave{"--samples", "1000", "--wave1", "noise"};
  VirtualScope scope(dir, withFault(wave, {"--fault", "die=300"}));
  auto start = Clock::now();
  ProcessResult r = runQelvo(dir, {"-c", "1", "-s", scope.device(), "out.dat"});
  double took = secondsSince(start);

  EXPECT_EQ(r.exitStatus, 1);
  std::string data = readFile(dir.file("out.dat"));
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(data.back(), '\n');
  std::vector<int> kept = rawSamples(data, 1);
  EXPECT_EQ(withoutConfigWarning(r.err),
            notConnected(scope.device()) + incomplete(static_cast<int>(kept.size()), "out.dat"))
      << "no send is tried on a line that is gone";
  // Bytes still in flight when the line hangs up are lost with it.
  EXPECT_LE(kept.size(), 300u);
  EXPECT_GE(kept.size(), 280u);
  EXPECT_EQ(kept, firstOf(VirtualScope::waveform(wave, 1), kept.size()));
  EXPECT_LT(took, 3.0);
  printf("vanished after 300 sent: status %d, %zu samples kept, %.3f s\n", r.exitStatus,
         kept.size(), took);
}

TEST(Fault, ScopeVanishingWhileTheFileCannotBeWrittenEndsWithStatus6) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "1000", "--fault", "die=300"});
  ProcessResult r = runQelvo(dir, {"-c", "1", "-s", scope.device(), "/dev/full"});
  EXPECT_EQ(r.exitStatus, 6) << "the lost data weighs more than the lost line";
  EXPECT_EQ(withoutConfigWarning(r.err),
            notConnected(scope.device()) + "*** Error: Cannot write output file '/dev/full' ***\n" +
                "qelvo: No space left on device\n" + incomplete(0, "/dev/full"));
}

TEST(Fault, FifoReaderGoingAwayEndsWithStatus6AndTheLineRestored) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "1000"});
  LineProbe probe(scope.device());
  std::string fifo = dir.file("capture.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Child tool({QELVO_BIN, "-c", "1", "-b", "19200", "-s", scope.device(), fifo},
             {{"QELVO"}, dir.path()});
  ASSERT_TRUE(waitFor([&] { return contains(scope.received(), "d"); }, 5000));
  close(reader);
  ProcessResult r = tool.wait(10000);
  EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
  EXPECT_EQ(r.exitStatus, 6);
  // What the reader took before it went is not known here; the line says so
  // for what left the stream.
  std::string err = withoutConfigWarning(r.err);
  std::string written =
      "*** Error: Cannot write output file '" + fifo + "' ***\nqelvo: Broken pipe\n";
  EXPECT_EQ(err.substr(0, written.size()), written);
  EXPECT_TRUE(err.find("*** Capture incomplete: ") == written.size() &&
              err.size() > written.size() &&
              err.substr(err.find(" samples kept in ")) == " samples kept in '" + fifo + "' ***\n")
      << err;
  probe.expectRestored("reader gone");
}

TEST(Fault, LineNoiseEndsTheDumpAtTheFirstForeignByte) {
  TempDir dir;
  std::vector<std::string> wave{"--samples", "1000", "--wave1", "ramp"};
  VirtualScope scope(dir, withFault(wave, {"--fault", "noise=150", "--seed", "7"}));
  LineProbe probe(scope.device());
  auto start = Clock::now();
  ProcessResult r = runQelvo(dir, {"-c", "1", "-s", scope.device(), "out.dat"});
  double took = secondsSince(start);

  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(withoutConfigWarning(r.err), "");
  std::vector<int> kept = rawSamples(readFile(dir.file("out.dat")), 1);
  EXPECT_EQ(kept, firstOf(VirtualScope::waveform(wave, 1), 150));
  // The rest of the dump is drained before the closing commands go out.
  EXPECT_TRUE(waitFor([&] { return contains(scope.received(), "1sd0e"); }, 2000))
      << scope.received();
  probe.expectRestored("noise");
  EXPECT_LT(took, 4.0);
  printf("noise after 150 samples: status %d, %zu samples kept, %.3f s\n", r.exitStatus,
         kept.size(), took);
}

TEST(Fault, EndlessDumpIsEndedByTheUserWithEverySampleKept) {
  TempDir dir;
  std::vector<std::string> wave{"--samples", "256", "--wave1", "ramp"};
  VirtualScope scope(dir, withFault(wave, {"--fault", "endless"}));
  LineProbe probe(scope.device());
  Child tool({QELVO_BIN, "-c", "1", "-b", "115200", "-s", scope.device(), "out.dat"},
             {{"QELVO"}, dir.path()});
  std::string dataPath = dir.file("out.dat");
  // More than two whole records have arrived: the dump did not end by itself.
  ASSERT_TRUE(waitFor([&] { return readFile(dataPath).size() > 40000; }, 10000));
  auto start = Clock::now();
  tool.kill(SIGINT);
  ProcessResult r = tool.wait(5000);
  double took = secondsSince(start);

  EXPECT_EQ(r.exitStatus, 128 + SIGINT);
  EXPECT_EQ(scope.received(), "1sd") << "no command after the interrupt";
  std::string data = readFile(dataPath);
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(data.back(), '\n');
  std::vector<int> kept = rawSamples(data, 1);
  EXPECT_GT(kept.size(), 512u);
  std::vector<int> record = VirtualScope::waveform(wave, 1);
  for (size_t i = 0; i < kept.size(); ++i) {
    ASSERT_EQ(kept[i], record[i % record.size()]) << "sample " << i;
  }
  probe.expectRestored("endless dump");
  EXPECT_LT(took, 1.0);
  printf("endless dump interrupted: status %d, %zu samples kept, %.3f s to stop\n", r.exitStatus,
         kept.size(), took);
}

TEST(Fault, ScopeThatNeverFallsSilentIsNotTakenForAnAnswer) {
  // A host that stalls the virtual scope for longer than the drain's quiet
  // window makes the line silent for real; the run then rightly sends its
  // commands and finds no answer. Only a run without such a stall counts.
  for (int attempt = 1; attempt <= 3; ++attempt) {
    TempDir dir;
    VirtualScope scope(dir, {"--fault", "chatter"});
    LineProbe probe(scope.device());
    auto start = Clock::now();
    ProcessResult r = runQelvo(dir, {"-c", "1", "-s", scope.device(), "out.dat"});
    double took = secondsSince(start);
    if (withoutConfigWarning(r.err) == notConnected(scope.device()) && attempt < 3) {
      printf("attempt %d: the chatter stalled; trying again\n", attempt);
      continue;
    }
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(withoutConfigWarning(r.err),
              "*** Error: serial line '" + scope.device() +
                  "' never falls silent: is the scope still sending? ***\n");
    usleep(100 * 1000);
    EXPECT_EQ(scope.received(), "") << "no command goes into the noise";
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat")));
    probe.expectRestored("chatter");
    EXPECT_GE(took, 1.9) << "the drain gives up after 2 s";
    EXPECT_LT(took, 4.0);
    printf("never silent: status %d, %.3f s\n", r.exitStatus, took);
    return;
  }
}

TEST(Fault, DeviceThatIsNoTerminalIsRefusedUntouched) {
  TempDir dir;
  std::string regular = dir.file("capture.dat");
  writeFile(regular, "0.0\t1.0\n");
  mkdir(dir.file("ttyS9").c_str(), 0755);
  for (const std::string &device : {regular, dir.file("ttyS9"), dir.file("missing")}) {
    auto start = Clock::now();
    ProcessResult r = runQelvo(dir, {"-c", "1", "-s", device, "out.dat"});
    EXPECT_EQ(r.exitStatus, 3) << device;
    EXPECT_TRUE(contains(r.err, "*** Error: Cannot open serial line '" + device + "' ***\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "Usage: qelvo")) << "the help follows";
    EXPECT_LT(secondsSince(start), 1.0);
  }
  EXPECT_EQ(readFile(regular), "0.0\t1.0\n") << "no command was written into the file";
}

TEST(Fault, DeviceWithoutPermissionIsRefused) {
  TempDir dir;
  VirtualScope scope(dir, {});
  std::string device = scope.device();
  struct stat node {};
  ASSERT_EQ(stat(device.c_str(), &node), 0);
  // The run needs a writable place for its data file either way.
  chmod(dir.path().c_str(), 0777);
  std::string out = dir.file("out.dat");
  ProcessResult r;
  if (geteuid() == 0) {
    // root opens anything: run as nobody, whom the pty's mode keeps out.
    r = runInChild([&] {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
        exit(99);
      }
      unsetenv("QELVO");
      execl(QELVO_BIN, QELVO_BIN, "-c", "1", "-s", device.c_str(), out.c_str(),
            static_cast<char *>(nullptr));
      exit(98);
    });
    if (r.exitStatus == 99 || r.exitStatus == 98) {
      GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
  } else {
    ASSERT_EQ(chmod(device.c_str(), 0), 0);
    r = runQelvo(dir, {"-c", "1", "-s", device, "out.dat"});
    chmod(device.c_str(), node.st_mode & 07777);
  }
  EXPECT_EQ(r.exitStatus, 3) << r.err;
  EXPECT_TRUE(contains(r.err, "*** Error: Cannot open serial line '" + device + "' ***\n"))
      << r.err;
  EXPECT_EQ(scope.received(), "");
}

// The second capture names the same data file: refusing it must not cost
// the first one a byte.
TEST(Fault, SecondCaptureOnABusyLineIsRefusedAndTheFirstCompletes) {
  TempDir dir;
  std::vector<std::string> wave{"--samples", "2000", "--wave1", "noise"};
  VirtualScope scope(dir, wave);
  Child first({QELVO_BIN, "-c", "1", "-s", scope.device(), "first.dat"}, {{"QELVO"}, dir.path()});
  ASSERT_TRUE(waitFor([&] { return contains(scope.received(), "d"); }, 5000));
  usleep(100 * 1000); // some samples are in the file already

  auto start = Clock::now();
  ProcessResult second = runQelvo(dir, {"-c", "2", "-s", scope.device(), "first.dat"});
  double took = secondsSince(start);
  EXPECT_EQ(second.exitStatus, 3);
  std::string device = scope.device();
  EXPECT_TRUE(contains(second.err, "*** Error: Cannot open serial line '" + device +
                                       "' ***\n*** Error: serial line '" + device +
                                       "' is in use by process " + std::to_string(first.pid()) +
                                       " (qelvo) ***\n"))
      << second.err;
  EXPECT_LT(took, 1.0);

  ProcessResult r = first.wait(10000);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  // The scope logs a byte when it reads it, a moment after the tool sent it.
  waitFor([&] { return scope.received().size() >= 5; }, 2000);
  EXPECT_EQ(scope.received(), "1sd0e") << "the second capture sent nothing";
  std::string data = readFile(dir.file("first.dat"));
  EXPECT_EQ(data.rfind("# Program: 'qelvo', ", 0), 0u) << "the header is still at the start";
  EXPECT_EQ(data.find('\0'), std::string::npos);
  EXPECT_EQ(rawSamples(data, 1), VirtualScope::waveform(wave, 1));
  printf("busy line: second capture status %d after %.3f s, first kept all 2000\n",
         second.exitStatus, took);
}

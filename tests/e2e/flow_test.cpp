// The handshake option on a whole run: what the line looks like while the
// scope streams, and what a bad value does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

// The attributes of the scope's line as any opener of it sees them.
termios lineAttributes(const std::string &device) {
  termios attributes{};
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << device;
  EXPECT_EQ(tcgetattr(fd, &attributes), 0);
  close(fd);
  return attributes;
}

} // namespace

TEST(Flow, HandshakeFollowsTheOptionDuringTheRunAndIsGivenBack) {
  struct Row {
    std::vector<std::string> options;
    bool handshake;
  } rows[] = {
      {{}, true},
      {{"--flow", "none"}, false},
  };
  for (const Row &row : rows) {
    std::string name = row.options.empty() ? "default" : row.options.back();
    SCOPED_TRACE(name);
    TempDir dir;
    // 80 characters at 1200 bit/s leave time to look at the line.
    std::vector<std::string> wave{"--samples", "40", "--wave1", "ramp"};
    VirtualScope scope(dir, wave);
    termios before = lineAttributes(scope.device());

    std::vector<std::string> argv{QELVO_BIN, "-c", "1", "-b", "1200", "-s", scope.device()};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    argv.push_back("out.dat");
    ProcessOptions options;
    options.env = {"QELVO"};
    options.cwd = dir.path();
    Child qelvo(argv, options);
    ASSERT_TRUE(waitFor([&] { return contains(scope.received(), "d"); }, 5000));
    termios during = lineAttributes(scope.device());
    ProcessResult r = qelvo.wait();

    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(withoutConfigWarning(r.err), "");
    EXPECT_EQ((during.c_cflag & CRTSCTS) != 0, row.handshake);
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B1200));
    EXPECT_EQ(during.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(scope.received(5), "1sd0e");
    std::vector<int> sent = VirtualScope::waveform(wave, 1);
    EXPECT_EQ(rawSamples(readFile(dir.file("out.dat")), 1), sent);
    termios after = lineAttributes(scope.device());
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
  }
}

TEST(Flow, AnUnknownHandshakeIsABadSettingAndNothingIsSent) {
  TempDir dir;
  VirtualScope scope(dir, {});
  ProcessResult r = runQelvo(dir, {"--flow=xonxoff", "-s", scope.device(), "out.dat"});
  EXPECT_EQ(r.exitStatus, 3);
  std::string err = withoutConfigWarning(r.err);
  EXPECT_EQ(err.substr(0, err.find("qelvo: Ver")),
            "Invalid flow control (xonxoff): use none or rtscts\n");
  EXPECT_TRUE(contains(err, "Usage: qelvo -c <ch>")) << err;
  EXPECT_EQ(scope.received(), "");
}

#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <sstream>

VirtualScope::VirtualScope(const TempDir &dir, const std::vector<std::string> &options)
    : link_(dir.file("tty")), log_(dir.file("received")) {
  std::vector<std::string> argv{QELVO_SIM_BIN, "--link", link_, "--log", log_};
  argv.insert(argv.end(), options.begin(), options.end());
  child_ = std::make_unique<Child>(argv);
  bool up = waitFor([&] { return access(link_.c_str(), F_OK) == 0; }, 5000);
  EXPECT_TRUE(up) << "virtual scope did not start: " << child_->currentErr();
}

std::string VirtualScope::received(size_t bytes) const {
  waitFor([&] { return received().size() >= bytes; }, 2000);
  return received();
}

void VirtualScope::stop() {
  child_->kill(SIGTERM);
  ProcessResult r = child_->wait(5000);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
}

std::vector<int> VirtualScope::waveform(const std::vector<std::string> &options, int channel) {
  std::vector<std::string> argv{QELVO_SIM_BIN};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("--print-waveform");
  argv.push_back(std::to_string(channel));
  ProcessResult r = runProgram(argv);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<int> values;
  std::istringstream in(r.out);
  int value;
  while (in >> value) {
    values.push_back(value);
  }
  return values;
}

ProcessResult runQelvo(const TempDir &dir, const std::vector<std::string> &args,
                       std::vector<std::string> env) {
  std::vector<std::string> argv{QELVO_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  env.insert(env.begin(), "QELVO");
  ProcessOptions options;
  options.env = env;
  options.cwd = dir.path();
  return runProgram(argv, options);
}

std::vector<SampleLine> sampleLines(const std::string &fileText) {
  std::vector<SampleLine> lines;
  std::istringstream in(fileText);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    size_t tab = line.find('\t');
    lines.push_back({line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab + 1)});
  }
  return lines;
}

std::string incomplete(int samples, const std::string &file) {
  return "*** Capture incomplete: " + std::to_string(samples) + " samples kept in '" + file +
         "' ***\n";
}

std::string withoutConfigWarning(const std::string &err) {
  const std::string warning = "Warning: no config file found -- unsing default values\n";
  size_t at = err.find(warning);
  return at == std::string::npos ? err : err.substr(0, at) + err.substr(at + warning.size());
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

int rawOf(const std::string &volts, int channel, double voltsPerDiv, double probe, double yZero) {
  const double perDiv[3] = {0, 28.250000000000004, 28.75};
  const double offset[3] = {0, 0.44247787610619405, 0.3999999999999999};
  return static_cast<int>(std::lround(
      (std::stod(volts) / (voltsPerDiv * probe) + offset[channel] + yZero) * perDiv[channel]));
}

std::vector<int> rawSamples(const std::string &fileText, int channel) {
  std::vector<int> raw;
  for (const SampleLine &line : sampleLines(fileText)) {
    raw.push_back(rawOf(line.volts, channel));
  }
  return raw;
}

static const char BANNER[] = "qelvo: Ver:0.2(Built:Sep 14 2000/10:40:32)\n";

// Standard error of a failed run up to the help text that closes it.
std::string beforeHelp(const ProcessResult &r) {
  std::string err = withoutConfigWarning(r.err);
  size_t help = err.find(std::string(BANNER) + "Usage: ");
  EXPECT_NE(help, std::string::npos) << err;
  EXPECT_TRUE(err.ends_with("\t<file>:  name of the output file\n")) << err;
  return err.substr(0, help);
}

// The data file without the line that holds its creation time.
std::string withoutCreationTime(const std::string &fileText) {
  std::string kept;
  size_t start = 0;
  while (start < fileText.size()) {
    size_t end = fileText.find('\n', start);
    end = end == std::string::npos ? fileText.size() : end + 1;
    std::string line = fileText.substr(start, end - start);
    if (!line.starts_with("#  File created ")) {
      kept += line;
    }
    start = end;
  }
  return kept;
}

LineProbe::LineProbe(const std::string &device)
    : fd_(open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
  EXPECT_GE(fd_, 0) << device;
  tcgetattr(fd_, &before_);
}

LineProbe::~LineProbe() { close(fd_); }

void LineProbe::expectRestored(const std::string &what) const {
  termios after{};
  ASSERT_EQ(tcgetattr(fd_, &after), 0) << what;
  EXPECT_EQ(after.c_cflag, before_.c_cflag) << what;
  EXPECT_EQ(after.c_lflag, before_.c_lflag) << what;
  EXPECT_EQ(after.c_iflag, before_.c_iflag) << what;
  EXPECT_EQ(after.c_oflag, before_.c_oflag) << what;
}

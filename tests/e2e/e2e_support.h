// Whole runs of the finished tool against the virtual scope.
#pragma once

#include <termios.h>

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

// The virtual scope on a pty linked at dir/tty, logging every byte it
// receives to dir/received.
class VirtualScope {
public:
  VirtualScope(const TempDir &dir, const std::vector<std::string> &options);
  const std::string &device() const { return link_; }
  std::string received() const { return readFile(log_); }
  // The same once `bytes` have been logged, or after 2 s: the tool may have
  // ended before the scope got round to reading its last command.
  std::string received(size_t bytes) const;
  // Raw values the scope holds for `channel` with these options.
  static std::vector<int> waveform(const std::vector<std::string> &options, int channel);
  void stop();

private:
  std::string link_;
  std::string log_;
  std::unique_ptr<Child> child_;
};

// Runs qelvo with `args` in `dir` (no configuration file there, QELVO unset).
ProcessResult runQelvo(const TempDir &dir, const std::vector<std::string> &args,
                       std::vector<std::string> env = {});

// The data file's sample lines, split into time and voltage texts.
struct SampleLine {
  std::string time;
  std::string volts;
};
std::vector<SampleLine> sampleLines(const std::string &fileText);

// Recovers the raw count from a voltage written with the default
// calibration of `channel` at `voltsPerDiv`, probe 1:`probe` and `yZero`
// divisions of offset.
int rawOf(const std::string &volts, int channel, double voltsPerDiv = 1, double probe = 1,
          double yZero = 0);

// The raw counts of every sample line of a data file, as rawOf gives them.
std::vector<int> rawSamples(const std::string &fileText, int channel);

bool contains(const std::string &text, const std::string &part);

// The stderr text with the configuration warning taken out.
std::string withoutConfigWarning(const std::string &err);

// The line that closes every run ending with status 6, or with 1 once the
// header is written.
std::string incomplete(int samples, const std::string &file);

// Standard error of a failed run up to the help text that closes it.
std::string beforeHelp(const ProcessResult &r);

// The data file without the line that holds its creation time.
std::string withoutCreationTime(const std::string &fileText);

// The slave's attributes seen through a descriptor of the test's own, so
// they can be compared after the tool has closed the line.
class LineProbe {
public:
  explicit LineProbe(const std::string &device);
  ~LineProbe();
  LineProbe(const LineProbe &) = delete;
  LineProbe &operator=(const LineProbe &) = delete;
  void expectRestored(const std::string &what) const;

private:
  int fd_;
  termios before_{};
};

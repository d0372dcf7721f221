// qelvo-scope-sim: a virtual oscilloscope on a pseudo-terminal (or on a
// terminal or socket it is given), so that qelvo can be tried and tested
// without the instrument.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/instrument.h"
#include "sim/sim_line.h"
#include "sim/sim_options.h"
#include "sim/waveform.h"

enum SimExit { SIM_EXIT_OK = 0, SIM_EXIT_SETUP_FAILED = 1, SIM_EXIT_BAD_OPTION = 2 };

static void requestStop(int) { stopRequested = 1; }

// No SA_RESTART: a blocked poll or sleep returns, and the loop sees the flag.
static void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A connection the other end closed is noticed by read; a write to it
  // must not end the process.
  signal(SIGPIPE, SIG_IGN);
}

static std::string lineSetup(const SimOptions &options) {
  switch (options.link) {
  case LINK_OWN_PTY: break;
  case LINK_TTY: return "cannot open terminal " + options.linkTarget;
  case LINK_LISTEN: return "cannot listen on " + options.linkTarget;
  case LINK_CONNECT: return "cannot connect to " + options.linkTarget;
  }
  return "cannot open a pseudo-terminal";
}

static int setupFailed(const std::string &what) {
  fprintf(stderr, "qelvo-scope-sim: %s: %s\n", what.c_str(), strerror(errno));
  return SIM_EXIT_SETUP_FAILED;
}

static long recordLength(const SimOptions &options, int channel) {
  long length = options.recordSamples[channel - 1];
  return length >= 0 ? length : options.shape.samples;
}

int main(int argc, char *argv[]) {
  SimOptions options;
  OptionsResult parsed = parseSimOptions(argc, argv, options);
  if (parsed != OPTIONS_RUN) {
    return parsed == OPTIONS_HELP_SHOWN ? SIM_EXIT_OK : SIM_EXIT_BAD_OPTION;
  }
  const std::vector<uint8_t> records[2] = {
      makeWaveform(options.waves[0], options.shape, recordLength(options, 1)),
      makeWaveform(options.waves[1], options.shape, recordLength(options, 2))};
  if (options.printChannel != 0) {
    for (uint8_t raw : records[options.printChannel - 1]) {
      printf("%d\n", raw);
    }
    return SIM_EXIT_OK;
  }
  catchStopSignals();
  int logFd = -1;
  if (!options.logPath.empty()) {
    logFd = open(options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
      return setupFailed("cannot open log " + options.logPath);
    }
  }
  SimLine line;
  if (!openSimLine(line, options)) {
    return setupFailed(lineSetup(options));
  }
  if (!options.linkPath.empty() && !makeLink(line, options.linkPath)) {
    return setupFailed("cannot make link " + options.linkPath);
  }
  printf("%s\n", line.path.c_str());
  fflush(stdout);
  if (!awaitTool(line)) {
    int failed = stopRequested ? SIM_EXIT_OK : setupFailed("cannot accept on " + line.path);
    closeSimLine(line);
    return failed;
  }
  serveRuns(options, line, records, logFd);
  if (!options.linkPath.empty()) {
    removeLink(line, options.linkPath);
  }
  closeSimLine(line);
  return SIM_EXIT_OK;
}

#include "app/run_line.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/capture.h"
#include "common/error_line.h"
#include "common/exit_status.h"
#include "datafile/data_file.h"
#include "datafile/output_file.h"
#include "scope/serial_line.h"
#include "scope/speed_probe.h"
#include "settings/settings.h"

namespace {

// -b auto: the line is left at the speed that answered, or given back.
int findLineSpeed() {
  std::vector<int32_t> tried;
  int32_t found = probeLineSpeed(tried);
  if (found > 0) {
    fprintf(stderr, "%s: the scope answers at %d bit/s\n", shownProgramName(), found);
    return EXIT_OK;
  }
  abandonLine();
  // A data file made for the run is removed, as after any capture that
  // never started.
  closeOutputFile();
  if (found == PROBE_STOPPED) {
    return reportStop(stopSignal());
  }
  std::string list;
  for (int32_t rate : tried) {
    list += (list.empty() ? "" : ", ") + std::to_string(rate);
  }
  errorLine("no answer from the scope at any speed (tried %s)", list.c_str());
  return EXIT_NOT_CONNECTED;
}

} // namespace

int setUpLine() {
  installStopHandlers();
  // A FIFO or pipe whose reader goes away must not kill the run with the line
  // still raw: the write fails instead, and the run ends with status 6.
  signal(SIGPIPE, SIG_IGN);
  // Likewise a file-size limit: the write fails, and the file is cut back
  // to its last whole line.
  signal(SIGXFSZ, SIG_IGN);
  // The data file is brought up to date whenever the tool waits for the scope.
  setWaitHook(flushDataFileWhenDue);
  // A probe that starts at a speed the port lacks goes on to the next.
  if (configureLine() != LINE_READY && !settings.autoBaud) {
    abandonLine();
    return EXIT_BAD_SETTINGS;
  }
  if (!clearToSend()) {
    abandonLine();
    return EXIT_NOT_CONNECTED;
  }
  return settings.autoBaud ? findLineSpeed() : EXIT_OK;
}

int releaseLine(int status) {
  // A series that lost its line has given it back already.
  if (settings.serialFd < 0) {
    return status;
  }
  if (!captureEndedExchange()) {
    abandonLine();
    return status;
  }
  finishLine();
  if (status == EXIT_OK && stopSignal() != 0) {
    return reportStop(stopSignal());
  }
  return status;
}

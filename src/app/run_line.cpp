#include "app/run_line.h"

#include <csignal>

#include "app/capture.h"
#include "common/exit_status.h"
#include "datafile/data_file.h"
#include "scope/serial_line.h"

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
  if (configureLine() != LINE_READY) {
    abandonLine();
    return EXIT_BAD_SETTINGS;
  }
  if (!clearToSend()) {
    abandonLine();
    return EXIT_NOT_CONNECTED;
  }
  return EXIT_OK;
}

int releaseLine(int status) {
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

// Entry point: start-up, the line set up, one capture, the line given back.
#include "app/capture.h"
#include "app/run_line.h"
#include "app/startup.h"
#include "common/exit_status.h"

int main(int argc, char *argv[]) {
  startUp(argc, argv);
  int status = setUpLine();
  if (status != EXIT_OK) {
    return status;
  }
  status = captureWaveform();
  return releaseLine(status);
}

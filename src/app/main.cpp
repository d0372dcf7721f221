// Entry point: start-up, the line set up, one capture or a series of them,
// the line given back.
#include "app/capture.h"
#include "app/run_line.h"
#include "app/series.h"
#include "app/startup.h"
#include "common/exit_status.h"
#include "settings/settings.h"

int main(int argc, char *argv[]) {
  startUp(argc, argv);
  int status = setUpLine();
  if (status != EXIT_OK) {
    return status;
  }
  CaptureResult result;
  status = settings.count >= 0 ? runSeries() : captureWaveform(settings, result);
  return releaseLine(status);
}

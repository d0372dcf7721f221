// Entry point: one invocation fetches one waveform.
#include "app/exit_status.h"
#include "app/startup.h"
#include "settings/command_line.h"
#include "settings/settings.h"

int main(int argc, char *argv[]) {
  settings.programName = baseNameOf(argv[0]);
  printBanner();
  applyFloatPrecision();
  readCommandLine(argc, argv);
  return EXIT_OK;
}

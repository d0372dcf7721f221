#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"
#include "common/version.h"
#include "settings/command_line.h"
#include "settings/config_file.h"
#include "settings/settings.h"
#include "settings/settings_check.h"

const char *baseNameOf(const char *argv0) {
  const char *slash = strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

void printBanner() { printBannerTo(stdout); }

void printBannerTo(FILE *stream) {
  fprintf(stream, "%s: " QELVO_VERSION_TEXT "\n", settings.programName);
  fprintf(stream, "\t%s\n", AUTHOR_CREDIT);
}

void applyFloatPrecision() {
  const char *text = getenv("FLOAT_PRECISION");
  if (text == nullptr) {
    return;
  }
  int32_t precision = saturateToInt32(strtol(text, nullptr, 10));
  settings.precision = precision > 0 ? precision : 10;
}

void startUp(int argc, char *argv[]) {
  settings.programName = baseNameOf(argv[0]);
  const CommandLineScan scan = scanCommandLine(argc, argv);
  // Data on standard output leaves no room there for anything else.
  printBannerTo(scan.dashOperand ? stderr : stdout);
  handleInfoOptions(scan);
  applyFloatPrecision();
  loadConfig();
  readCommandLine(argc, argv, scan);
  // The check may have opened the line; process exit closes it.
  if (checkSettings() > 0) {
    printHelp();
    exit(EXIT_BAD_SETTINGS);
  }
}

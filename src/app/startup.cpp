#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/version.h"
#include "settings/settings.h"

const char *baseNameOf(const char *argv0) {
  const char *slash = strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

void printBanner() {
  printf("%s: " QELVO_VERSION_TEXT "\n", settings.programName);
  printf("\t%s\n", AUTHOR_CREDIT);
}

void applyFloatPrecision() {
  const char *text = getenv("FLOAT_PRECISION");
  if (text == nullptr) {
    return;
  }
  int32_t precision = saturateToInt32(strtol(text, nullptr, 10));
  settings.precision = precision > 0 ? precision : 10;
}

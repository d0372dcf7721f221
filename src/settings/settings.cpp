#include "settings/settings.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"

Settings settings;

void trimRight(char *text) {
  if (text == nullptr) {
    return;
  }
  for (size_t i = strlen(text); i > 0; --i) {
    char c = text[i - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
      break;
    }
    text[i - 1] = '\0';
  }
}

void setDevice(char *text) {
  // Only copies made here are freed: the text it replaces may be the
  // built-in literal or part of argv.
  static char *ownCopy = nullptr;
  trimRight(text);
  char *copy = strdup(text);
  if (copy == nullptr) {
    fprintf(stderr, "*** Malloc error ***\n");
    exit(EXIT_BAD_SETTINGS);
  }
  settings.device = copy;
  free(ownCopy);
  ownCopy = copy;
}

FlowControl flowControlOf(const char *text) {
  if (text == nullptr) {
    return FLOW_UNKNOWN;
  }
  if (strcmp(text, "rtscts") == 0) {
    return FLOW_RTSCTS;
  }
  if (strcmp(text, "none") == 0) {
    return FLOW_NONE;
  }
  return FLOW_UNKNOWN;
}

bool hasDecimalComma(const char *text) {
  if (text == nullptr) {
    return false;
  }
  for (const char *comma = strchr(text, ','); comma != nullptr; comma = strchr(comma + 1, ',')) {
    if (isdigit(static_cast<unsigned char>(comma[1]))) {
      return true;
    }
  }
  return false;
}

int32_t saturateToInt32(long value) {
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(value);
}

const char *shownProgramName() {
  return settings.programName != nullptr ? settings.programName : "qelvo";
}

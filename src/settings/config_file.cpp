#include "settings/config_file.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"
#include "settings/settings.h"

// The build's QELVO_FALLBACK_CONFIG setting names the file.
const char *const FALLBACK_CONFIG_PATH = QELVO_FALLBACK_CONFIG;

FILE *openConfig() {
  FILE *stream = fopen(settings.configPath, "r");
  if (stream != nullptr) {
    return stream;
  }
  const char *fromEnvironment = getenv("QELVO");
  if (fromEnvironment != nullptr) {
    stream = fopen(fromEnvironment, "r");
    if (stream != nullptr) {
      return stream;
    }
  }
  return fopen(FALLBACK_CONFIG_PATH, "r");
}

char *skipBlanks(char *text) {
  if (text == nullptr) {
    return nullptr;
  }
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') {
    ++text;
  }
  return *text == '\0' ? nullptr : text;
}

char *nextConfigLine(FILE *stream) {
  static char line[1024];
  while (fgets(line, sizeof line, stream) != nullptr) {
    // Every read counts, so that a message names the line an editor shows
    // (an over-long line counts once per piece).
    ++settings.configLineNo;
    char *start = skipBlanks(line);
    if (start != nullptr && *start != '#') {
      return start;
    }
  }
  return nullptr;
}

// The value text after "key :"; nullptr with the reason in `status` when the
// entry is malformed.
static char *entryValue(char *rest, EntryStatus *status) {
  char *colon = skipBlanks(rest);
  if (colon == nullptr) {
    *status = ENTRY_KEY_ONLY;
    return nullptr;
  }
  if (*colon != ':') {
    *status = ENTRY_NO_COLON;
    return nullptr;
  }
  char *value = skipBlanks(colon + 1);
  *status = value == nullptr ? ENTRY_NO_VALUE : ENTRY_OK;
  return value;
}

EntryStatus parseRealEntry(char *rest, double *field) {
  EntryStatus status;
  char *value = entryValue(rest, &status);
  if (value != nullptr) {
    *field = strtod(value, nullptr);
  }
  return status;
}

EntryStatus parseIntEntry(char *rest, int32_t *field) {
  EntryStatus status;
  char *value = entryValue(rest, &status);
  if (value != nullptr) {
    // Clamped, so that a huge number cannot wrap into an accepted speed.
    *field = saturateToInt32(strtol(value, nullptr, 10));
  }
  return status;
}

EntryStatus checkTextEntry(char *rest) {
  EntryStatus status;
  char *value = entryValue(rest, &status);
  if (value != nullptr) {
    setDevice(value);
  }
  return status;
}

namespace {

// One key of the file; a key with neither field is the device text.
struct ConfigKey {
  const char *name;
  double *real;
  int32_t *integer;
};

} // namespace

static int applyEntry(const ConfigKey &key, char *rest) {
  if (key.real != nullptr) {
    return parseRealEntry(rest, key.real);
  }
  if (key.integer != nullptr) {
    return parseIntEntry(rest, key.integer);
  }
  return checkTextEntry(rest);
}

int applyConfig(FILE *stream) {
  const ConfigKey keys[] = {
      {"XSamplesPerDivision", &settings.xSamplesPerDiv, nullptr},
      {"XOffset", &settings.xOffset, nullptr},
      {"Y1SamplesPerDivision", &settings.ySamplesPerDiv[1], nullptr},
      {"Y1Offset", &settings.yOffset[1], nullptr},
      {"Y2SamplesPerDivision", &settings.ySamplesPerDiv[2], nullptr},
      {"Y2Offset", &settings.yOffset[2], nullptr},
      {"Device", nullptr, nullptr},
      {"Baudrate", nullptr, &settings.baudRate},
  };
  char *line;
  while ((line = nextConfigLine(stream)) != nullptr) {
    int status = ENTRY_OK;
    for (const ConfigKey &key : keys) {
      size_t length = strlen(key.name);
      if (strncasecmp(line, key.name, length) == 0) {
        status += applyEntry(key, line + length);
      }
    }
    if (status != ENTRY_OK) {
      return settings.configLineNo;
    }
  }
  return 0;
}

void loadConfig() {
  FILE *stream = openConfig();
  if (stream == nullptr) {
    fprintf(stderr, "Warning: no config file found -- unsing default values\n");
    return;
  }
  if (applyConfig(stream) != 0) {
    fprintf(stderr, "*** Error: Config File (line %d) is invalid ***\n", settings.configLineNo);
    exit(EXIT_BAD_SETTINGS);
  }
  // The stream is left open on purpose; process exit closes it.
}

#include "settings/config_file.h"

#include <strings.h>

#include <cctype>
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

// A number that ends at a comma followed by a digit was written with a
// decimal comma: "0,44" would silently read 0.
static bool endsAtDecimalComma(const char *value, const char *end) {
  return end != value && end[0] == ',' && isdigit(static_cast<unsigned char>(end[1]));
}

EntryStatus parseRealEntry(char *rest, double *field) {
  EntryStatus status;
  char *value = entryValue(rest, &status);
  if (value != nullptr) {
    char *end = nullptr;
    double number = strtod(value, &end);
    if (endsAtDecimalComma(value, end)) {
      return ENTRY_DECIMAL_COMMA;
    }
    *field = number;
  }
  return status;
}

EntryStatus parseIntEntry(char *rest, int32_t *field) {
  EntryStatus status;
  char *value = entryValue(rest, &status);
  if (value != nullptr) {
    char *end = nullptr;
    long number = strtol(value, &end, 10);
    if (endsAtDecimalComma(value, end)) {
      return ENTRY_DECIMAL_COMMA;
    }
    // Clamped, so that a huge number cannot wrap into an accepted speed.
    *field = saturateToInt32(number);
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

// What the default file says before the channel keys, for channel `channel`.
constexpr char CHANNEL_COMMENT[] =
    "\n# Channel %d: raw counts (0..255) per vertical division, and where 0 V\n"
    "# sits on the raw scale, in divisions.\n";

// One key of the file; a key with neither field is the device text.
struct ConfigKey {
  const char *name;
  double *(*real)(Settings &);
  int32_t *(*integer)(Settings &);
  // What the default file says before the key (a printf format given
  // `channel`); nullptr for nothing.
  const char *comment;
  int channel;
};

// In the order the default file lists them.
const ConfigKey CONFIG_KEYS[] = {
    {"XSamplesPerDivision", [](Settings &s) { return &s.xSamplesPerDiv; }, nullptr,
     "\n# Samples per horizontal division, and where time zero sits, in\n"
     "# divisions from the first sample.\n",
     0},
    {"XOffset", [](Settings &s) { return &s.xOffset; }, nullptr, nullptr, 0},
    {"Y1SamplesPerDivision", [](Settings &s) { return &s.ySamplesPerDiv[1]; }, nullptr,
     CHANNEL_COMMENT, 1},
    {"Y1Offset", [](Settings &s) { return &s.yOffset[1]; }, nullptr, nullptr, 1},
    {"Y2SamplesPerDivision", [](Settings &s) { return &s.ySamplesPerDiv[2]; }, nullptr,
     CHANNEL_COMMENT, 2},
    {"Y2Offset", [](Settings &s) { return &s.yOffset[2]; }, nullptr, nullptr, 2},
    {"Device", nullptr, nullptr,
     "\n# The serial port the scope is cabled to: a USB adapter is /dev/ttyUSB0,\n"
     "# a Raspberry Pi's own UART /dev/serial0. -s overrides it.\n",
     0},
    {"Baudrate", nullptr, [](Settings &s) { return &s.baudRate; },
     "\n# Line speed in bit/s, as set on the scope. -b overrides it.\n", 0},
};

} // namespace

// "Baudrate: auto" asks for the probe and keeps the speed it starts from.
static bool autoSpeedEntry(const ConfigKey &key, char *rest) {
  EntryStatus status;
  char *value = strcasecmp(key.name, "Baudrate") == 0 ? entryValue(rest, &status) : nullptr;
  // Like a number, the word may be followed by blanks or a remark.
  return value != nullptr && strncmp(value, "auto", 4) == 0 &&
         (value[4] == '\0' || isspace(static_cast<unsigned char>(value[4])) || value[4] == '#');
}

static int applyEntry(const ConfigKey &key, char *rest) {
  if (autoSpeedEntry(key, rest)) {
    settings.autoBaud = true;
    return ENTRY_OK;
  }
  if (key.real != nullptr) {
    return parseRealEntry(rest, key.real(settings));
  }
  if (key.integer != nullptr) {
    settings.autoBaud = false;
    return parseIntEntry(rest, key.integer(settings));
  }
  return checkTextEntry(rest);
}

int applyConfig(FILE *stream) {
  char *line;
  while ((line = nextConfigLine(stream)) != nullptr) {
    int status = ENTRY_OK;
    for (const ConfigKey &key : CONFIG_KEYS) {
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

// The shortest "%.*g" text that strtod turns back into `value` exactly.
static void printRoundTrip(FILE *stream, const char *key, double value) {
  char text[40];
  for (int digits = 1; digits <= 17; ++digits) {
    snprintf(text, sizeof text, "%.*g", digits, value);
    if (strtod(text, nullptr) == value) {
      break;
    }
  }
  fprintf(stream, "%s: %s\n", key, text);
}

void printDefaultConfig(FILE *stream) {
  Settings defaults;
  fprintf(stream,
          "# %s -- site-wide configuration of qelvo\n"
          "#\n"
          "# qelvo uses the first of these files it can read: qelvo.conf in the\n"
          "# directory it is started from, the file named by the environment variable\n"
          "# QELVO, then this one. Options on the command line (-s, -b) win over it.\n"
          "#\n"
          "# One \"Key: value\" per line; the case of the key does not matter. A line\n"
          "# whose first character is \"#\" is a comment; a \"#\" after a value is not.\n"
          "# Numbers take a decimal point, never a comma.\n"
          "#\n"
          "# The values below are qelvo's built-in ones: the file changes nothing until\n"
          "# it is edited for a scope of its own calibration or another serial port.\n",
          FALLBACK_CONFIG_PATH);
  for (const ConfigKey &key : CONFIG_KEYS) {
    if (key.comment != nullptr) {
      fprintf(stream, key.comment, key.channel);
    }
    if (key.real != nullptr) {
      printRoundTrip(stream, key.name, *key.real(defaults));
    } else if (key.integer != nullptr) {
      fprintf(stream, "%s: %ld\n", key.name, static_cast<long>(*key.integer(defaults)));
    } else {
      fprintf(stream, "%s: %s\n", key.name, defaults.device);
    }
  }
}

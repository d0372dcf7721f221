// The configuration file: a site's calibration, serial device and speed.
//
// It is read before the command line, so options override it; calibration
// can only be set here. Finding no file is normal and keeps the defaults. The
// first file that opens is used: `settings.configPath`, then the file named by
// $QELVO, then a fixed path chosen at build time. One entry per line, "Key:
// value", keys in any case; "#" starts a comment only as the first non-blank
// character of a line. Lines are read 1023 bytes at a time, and every read
// counts in `settings.configLineNo`, so error messages name physical lines.
// The stream stays open; process exit closes it.
#pragma once

#include <cstdint>
#include <cstdio>

// Result of one entry parser; loadConfig adds them up per line.
enum EntryStatus {
  ENTRY_OK = 0,            // value read and stored
  ENTRY_KEY_ONLY = 1,      // nothing but blanks after the key
  ENTRY_NO_COLON = 2,      // the first non-blank character after the key is not ":"
  ENTRY_NO_VALUE = 3,      // nothing but blanks after the ":"
  ENTRY_DECIMAL_COMMA = 4, // a number followed by "," and a digit ("0,44")
};

// The file tried when neither `settings.configPath` nor $QELVO opens.
extern const char *const FALLBACK_CONFIG_PATH;

// Finds, reads and applies the configuration file. Warns on standard error
// when none is found; ends the process with status 3 on an invalid line,
// after the lines before it have been applied.
void loadConfig();

// Applies the entries of `stream` up to the first invalid line. Returns 0,
// or the number of that line (also in `settings.configLineNo`).
int applyConfig(FILE *stream);

// The first configuration file that opens for reading, or nullptr.
FILE *openConfig();

// The next line that is neither blank nor a comment, from its first
// non-blank character, or nullptr at end of file. The text lives in a buffer
// that the next call overwrites.
char *nextConfigLine(FILE *stream);

// First character that is not a space, tab, line feed or carriage return;
// nullptr when the text ends first or is missing.
char *skipBlanks(char *text);

// Entry parsers; `rest` is the line after the key. Numbers are not checked:
// text that is no number stores 0, text after a number is ignored, and the
// settings check judges ranges. Only a decimal comma right after the number
// makes the entry invalid, since the number would be cut short there.
EntryStatus parseRealEntry(char *rest, double *field);
EntryStatus parseIntEntry(char *rest, int32_t *field);
// Sets the device (setDevice) to the value text: a remark after it stays in
// the name, the line end and trailing blanks do not.
EntryStatus checkTextEntry(char *rest);

// Writes a configuration file that sets every key to its built-in value,
// with comments: the site-wide file a package installs. Every number is
// written in the fewest digits that read back as the same double.
void printDefaultConfig(FILE *stream);

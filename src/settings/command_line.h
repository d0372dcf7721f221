// Command-line options and the help text.
//
// Options override whatever the configuration file set. The one operand
// names the data file, which is opened (or created) here, before the scope is
// contacted, but emptied only when the capture starts (output_file.h); a
// second operand is a typo, and then nothing is opened. Values are stored as
// given, with the texts of -t, -y, -Y and -p and every unknown long option
// kept for the settings check, which judges them all.
#pragma once

#include <getopt.h>

#include <cstdio>
#include <span>
#include <vector>

#include "common/extended.h"

// What getopt_long returns for each long option: outside the range of option
// letters.
enum LongOptionCode {
  OPTION_HELP = 0x100,
  OPTION_VERSION,
  OPTION_FLOW,
  OPTION_PORTS,
  OPTION_CHANNELS,
  OPTION_GAIN,
  OPTION_OFFSET,
  OPTION_PROBE,
  OPTION_FORMAT,
  OPTION_SEPARATOR,
  OPTION_MEASURE,
  OPTION_COUNT,
  OPTION_INTERVAL,
  OPTION_KEEP_GOING,
};

// One long option. The table of them (longOptions) is the only place a long
// option is declared: it drives getopt_long and the block --help prints
// after the usage text, and the tests hold the manual page and the bash
// completion to it.
struct LongOption {
  const char *name;        // without the leading "--"
  int hasArgument;         // no_argument or required_argument
  const char *placeholder; // the value's name in --help; nullptr without a value
  const char *help;        // one line of --help
  LongOptionCode code;
};

std::span<const LongOption> longOptions();

// The one long option a mistyped word ("--chanels=1,2") was probably meant
// to be: the only name one edit away from the word's name (a letter added,
// dropped or changed, or two neighbours swapped). nullptr when none or
// several are.
const char *closeLongOption(const char *word, std::span<const LongOption> table = longOptions());

// What parseOptions returns instead of an operand index when --help or
// --version stops the parse. An operand index is never negative; these lie
// in a range of their own far below zero, clear of -1, which getopt and many
// calls return for "none".
inline constexpr int OPTIONS_WANT_HELP = -1001;
inline constexpr int OPTIONS_WANT_VERSION = -1002;

inline constexpr bool isInfoRequest(int parseResult) {
  return parseResult == OPTIONS_WANT_HELP || parseResult == OPTIONS_WANT_VERSION;
}

// What one look at the command line finds before anything is read or
// stored: the run takes it once and hands it on, so that argv is walked once
// before the parse. Looks only, and says nothing.
struct CommandLineScan {
  int firstInfoOption = 0; // OPTION_HELP or OPTION_VERSION, whichever came first; 0: neither
  bool ports = false;
  bool dashOperand = false; // the file operand is "-": the data goes to standard output
  // Per getopt_long call of a parse: whether it meets an unknown long option.
  // The parse silences getopt for exactly those calls, because the check
  // names the word itself, while every other complaint of getopt stays.
  std::vector<bool> unknownLongOptionCalls;
};
CommandLineScan scanCommandLine(int argc, char *argv[]);

// Fills `settings` from the options; returns the index of the first operand
// (argc when there is none), or one of the two values above when --help or
// --version comes first (then parsing stops there). Opens nothing and never
// ends the process. A word that names no long option is kept in
// `settings.unknownOptions` without getopt's own complaint: the check
// reports it.
int parseOptions(int argc, char *argv[], const CommandLineScan &scan);
int parseOptions(int argc, char *argv[]); // scans first

// Fills `settings` from the options and opens the output file. Returns only
// on success: ends the process with status 4 when no file or more than one is
// named (then nothing is opened) and with status 5 when it cannot be opened
// or created. --help and --version end it with 0.
void readCommandLine(int argc, char *argv[], const CommandLineScan &scan);
void readCommandLine(int argc, char *argv[]); // scans first

// A number with an optional prefix letter, as -t and -y read it.
double scaledValue(const char *text);

// Factor of the SI prefix letter that starts `text` ("m" is 1e-3, "u" and the
// micro sign are 1e-6, ...); 1 for any other letter or an empty text. The
// micro sign is the byte 0xB5 (ISO 8859-1) or, as a UTF-8 terminal types
// it, the micro sign C2 B5 or the Greek mu CE BC.
double prefixFactor(const char *text);

// The value of -t and -y: `number` times its prefix `factor`, formed in
// extended precision and rounded once, so that 500u is exactly the double
// 0.0005. Written for any type with the x87's operations so that the
// software type can be checked against the hardware on it.
template <typename Number> double prefixProduct(double number, double factor) {
  return static_cast<double>(Number(number) * Number(factor));
}

// Answers --help (the usage text on standard output) and --version (the
// banner, printed at start-up, is all there is) with status 0, before the
// configuration file is read, so that neither depends on it. --ports lists
// the serial ports (port_report.h) with status 0, whatever else is given.
// Returns when none is given; prints nothing for any other option, right or
// wrong.
void handleInfoOptions(const CommandLineScan &scan);

// Writes the usage text to standard error, where every failed run shows it.
void printHelp();
void printHelpTo(FILE *stream);

// The long options, one line each, as --help shows them after the usage text.
void printLongOptionHelp(FILE *stream);

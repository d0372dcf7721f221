#include "settings/command_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/exit_status.h"
#include "app/version.h"
#include "settings/settings.h"

double prefixFactor(const char *text) {
  if (text == nullptr) {
    return 1.0;
  }
  switch (static_cast<unsigned char>(text[0])) {
  case 'Y': return 1e24;
  case 'Z': return 1e21;
  case 'E': return 1e18;
  case 'P': return 1e15;
  case 'T': return 1e12;
  case 'G': return 1e9;
  case 'M': return 1e6;
  case 'k': return 1e3;
  case 'm': return 1e-3;
  case 'u':
  case 0xB5: return 1e-6;
  case 'n': return 1e-9;
  case 'p': return 1e-12;
  case 'f': return 1e-15;
  case 'a': return 1e-18;
  case 'z': return 1e-21;
  case 'y': return 1e-24;
  default: return 1.0;
  }
}

// A number with an optional prefix letter; the product is formed in extended
// precision and rounded once, so that 500u is exactly the double 0.0005.
static double scaledValue(const char *text) {
  char *rest = nullptr;
  long double number = strtod(text, &rest);
  long double factor = prefixFactor(rest);
  return static_cast<double>(number * factor);
}

void printHelp() {
  fprintf(stderr, "%s: " QELVO_VERSION_TEXT "\n", settings.programName);
  fprintf(stderr,
          "Usage: %s -%c <ch> -%c <time> -%c <V/div> -%c <Y0> -%c <probe> "
          "-%c <baud> -%c <ser> <file>\n",
          settings.programName, 'c', 't', 'y', 'Y', 'p', 'b', 's');
  fprintf(stderr, "\t<ch>:    Channel 1, 2, 0: as selected at the oscilloscope\n");
  fprintf(stderr, "\t<time>:  Time per div in s (eg. 1e-3, 1m, 1ms = 1 ms/div)\n");
  fprintf(stderr, "\t<V/div>: Volts per div     (eg. 1e-3, 1m, 1mV = 1 mV/div)\n");
  fprintf(stderr, "\t<Y0>:    Y offset in div\n");
  fprintf(stderr, "\t<probe>: probe (eg. 10 = 1:10)\n");
  fprintf(stderr, "\t<baud>:  baudrate (default %d) \n", DEFAULT_BAUD_RATE);
  fprintf(stderr, "\t<ser>:   serial device (default /dev/ttyS0\n");
  fprintf(stderr, "\t<file>:  name of the output file\n");
}

int parseOptions(int argc, char *argv[]) {
  // Zero makes getopt start afresh, so the parser can run more than once in
  // one process (the tests do).
  optind = 0;
  int option;
  while ((option = getopt(argc, argv, "t:y:Y:b:s:c:p:")) != -1) {
    char *value = optarg;
    if (value != nullptr && value[0] == '=') {
      ++value;  // -t=1m is the same as -t 1m
    }
    switch (option) {
    case 'c':
      settings.channel = saturateToInt32(strtol(value, nullptr, 10));
      break;
    case 't':
      settings.timePerDiv = scaledValue(value);
      break;
    case 'y':
      settings.voltsPerDiv = scaledValue(value);
      break;
    case 'Y':
      settings.yZero = strtod(value, nullptr);
      break;
    case 'p':
      settings.probeFactor = strtod(value, nullptr);
      break;
    case 'b':
      settings.baudRate = saturateToInt32(strtol(value, nullptr, 10));
      break;
    case 's':
      setDevice(value);
      break;
    default:
      fprintf(stderr, "*** error: invalid command line argumend '%c' (%d)***\n",
              option, option);
      break;
    }
  }
  return optind;
}

void readCommandLine(int argc, char *argv[]) {
  int operand = parseOptions(argc, argv);
  if (operand >= argc) {
    printHelp();
    exit(EXIT_NO_OUTPUT_FILE);
  }
  const char *fileName = argv[operand];
  FILE *file = fopen(fileName, "w");
  if (file == nullptr) {
    fprintf(stderr, "*** Error: Cannot open output file '%s' ***\n", fileName);
    exit(EXIT_CANNOT_CREATE_OUTPUT);
  }
  settings.outputFile = file;
  settings.outputName = fileName;
}

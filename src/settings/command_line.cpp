#include "settings/command_line.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/exit_status.h"
#include "common/si_prefix.h"
#include "common/version.h"
#include "datafile/output_file.h"
#include "scope/port_report.h"
#include "settings/settings.h"

double prefixFactor(const char *text) {
  if (text == nullptr || text[0] == '\0') {
    return 1.0;
  }
  for (const char *micro : MICRO_SIGNS) {
    if (strncmp(text, micro, strlen(micro)) == 0) {
      return siPrefix(MICRO_POWER).factor;
    }
  }
  for (const SiPrefix &prefix : SI_PREFIXES) {
    if (text[0] == prefix.letter[0]) {
      return prefix.factor;
    }
  }
  return 1.0;
}

// A number with an optional prefix letter; the product is formed in extended
// precision and rounded once, so that 500u is exactly the double 0.0005.
double scaledValue(const char *text) {
  char *rest = nullptr;
  double number = strtod(text, &rest);
  return prefixProduct<Extended>(number, prefixFactor(rest));
}

void printHelp() { printHelpTo(stderr); }

void printHelpTo(FILE *stream) {
  fprintf(stream, "%s: " QELVO_VERSION_TEXT "\n", settings.programName);
  fprintf(stream,
          "Usage: %s -%c <ch> -%c <time> -%c <V/div> -%c <Y0> -%c <probe> "
          "-%c <baud> -%c <ser> <file>\n",
          settings.programName, 'c', 't', 'y', 'Y', 'p', 'b', 's');
  fprintf(stream, "\t<ch>:    Channel 1, 2, 0: as selected at the oscilloscope\n");
  fprintf(stream, "\t<time>:  Time per div in s (eg. 1e-3, 1m, 1ms = 1 ms/div)\n");
  fprintf(stream, "\t<V/div>: Volts per div     (eg. 1e-3, 1m, 1mV = 1 mV/div)\n");
  fprintf(stream, "\t<Y0>:    Y offset in div\n");
  fprintf(stream, "\t<probe>: probe (eg. 10 = 1:10)\n");
  fprintf(stream, "\t<baud>:  baudrate (default %d) \n", DEFAULT_BAUD_RATE);
  fprintf(stream, "\t<ser>:   serial device (default /dev/ttyS0\n");
  fprintf(stream, "\t<file>:  name of the output file\n");
}

namespace {

// Lines of --help that show a built-in value, written from the constants
// that set it.
struct DefaultsHelp {
  char flow[64];
  char format[64];
  char separator[64];
};

DefaultsHelp defaultsHelp() {
  DefaultsHelp help{};
  snprintf(help.flow, sizeof help.flow, "handshake on the line: %s (default) or none",
           DEFAULT_FLOW);
  snprintf(help.format, sizeof help.format, "data file format: %s (default), csv or sr",
           FORMAT_NAMES[DEFAULT_FORMAT]);
  snprintf(help.separator, sizeof help.separator, "CSV separator: %c (default) or ;",
           DEFAULT_SEPARATOR);
  return help;
}

} // namespace

std::span<const LongOption> longOptions() {
  static const DefaultsHelp defaults = defaultsHelp();
  static const LongOption table[] = {
      {"help", no_argument, nullptr, "print this help on standard output and exit", OPTION_HELP},
      {"version", no_argument, nullptr, "print the banner only and exit", OPTION_VERSION},
      {"flow", required_argument, "how", defaults.flow, OPTION_FLOW},
      {"ports", no_argument, nullptr, "list the serial ports of this machine and exit",
       OPTION_PORTS},
      {"channels", required_argument, "list",
       "channels in one file: 1, 2, 1,2 or 2,1 (overrides -c)", OPTION_CHANNELS},
      {"gain", required_argument, "gains", "V/div for all channels or each (overrides -y)",
       OPTION_GAIN},
      {"offset", required_argument, "offsets",
       "Y offset in div for all channels or each (overrides -Y)", OPTION_OFFSET},
      {"probe", required_argument, "probes", "probe for all channels or each (overrides -p)",
       OPTION_PROBE},
      {"format", required_argument, "format", defaults.format, OPTION_FORMAT},
      {"separator", required_argument, "sep", defaults.separator, OPTION_SEPARATOR},
      {"measure", no_argument, nullptr, "print min, max, mean, rms, frequency... per channel",
       OPTION_MEASURE},
      {"count", required_argument, "n",
       "a series of n captures (0: until stopped); file is a pattern", OPTION_COUNT},
      {"interval", required_argument, "seconds", "from one capture's start to the next (default 0)",
       OPTION_INTERVAL},
      {"keep-going", no_argument, nullptr, "a failed capture of a series does not end it",
       OPTION_KEEP_GOING},
  };
  return table;
}

namespace {

// Whether `a` becomes `b` by one insertion, deletion, substitution or swap
// of neighbours.
bool oneEditApart(std::string_view a, std::string_view b) {
  if (a.size() > b.size()) {
    std::swap(a, b);
  }
  if (b.size() - a.size() > 1) {
    return false;
  }
  size_t i = 0;
  while (i < a.size() && a[i] == b[i]) {
    ++i;
  }
  if (a.size() < b.size()) {
    return a.substr(i) == b.substr(i + 1);
  }
  if (i == a.size()) {
    return false; // the same word
  }
  if (a.substr(i + 1) == b.substr(i + 1)) {
    return true;
  }
  return i + 1 < a.size() && a[i] == b[i + 1] && a[i + 1] == b[i] &&
         a.substr(i + 2) == b.substr(i + 2);
}

} // namespace

const char *closeLongOption(const char *word, std::span<const LongOption> table) {
  std::string_view name = word;
  if (!name.starts_with("--")) {
    return nullptr;
  }
  name.remove_prefix(2);
  name = name.substr(0, name.find('='));
  const char *found = nullptr;
  for (const LongOption &entry : table) {
    if (oneEditApart(name, entry.name)) {
      if (found != nullptr) {
        return nullptr;
      }
      found = entry.name;
    }
  }
  return found;
}

// The table as getopt_long wants it, closed by a zero entry.
static const option *getoptLongOptions() {
  static const std::vector<option> options = [] {
    std::vector<option> list;
    for (const LongOption &entry : longOptions()) {
      list.push_back({entry.name, entry.hasArgument, nullptr, entry.code});
    }
    list.push_back({nullptr, 0, nullptr, 0});
    return list;
  }();
  return options.data();
}

void printLongOptionHelp(FILE *stream) {
  fprintf(stream, "Long options:\n");
  for (const LongOption &entry : longOptions()) {
    std::string label = std::string("--") + entry.name;
    if (entry.placeholder != nullptr) {
      label += std::string("=<") + entry.placeholder + ">";
    }
    label += ":";
    fprintf(stream, "\t%-20s %s\n", label.c_str(), entry.help);
  }
}

static const char SHORT_OPTIONS[] = "t:y:Y:b:s:c:p:";

// storeOption's answer when the parse goes on.
static constexpr int OPTIONS_STORED = 0;

// The banner is already on standard output when the command line is read, so
// --version has nothing left to print.
static void answerInfoOption(bool help) {
  if (help) {
    printHelpTo(stdout);
    printLongOptionHelp(stdout);
  }
  fflush(stdout);
  exit(EXIT_OK);
}

// getopt_long returns '?' with optopt 0 for a word that names no long option
// or abbreviates several of them.
static bool unknownLongOption(int option) { return option == '?' && optopt == 0; }

// GNU getopt reorders the vector it is given; the scan works on a copy so
// that the real parse later sees the command line untouched, and says
// nothing: the real parse reports the mistakes.
CommandLineScan scanCommandLine(int argc, char *argv[]) {
  std::vector<char *> copy(argv, argv + argc);
  copy.push_back(nullptr);
  int savedOpterr = opterr;
  opterr = 0;
  optind = 0;
  CommandLineScan scan;
  int option;
  while ((option = getopt_long(argc, copy.data(), SHORT_OPTIONS, getoptLongOptions(), nullptr)) !=
         -1) {
    scan.unknownLongOptionCalls.push_back(unknownLongOption(option));
    scan.ports = scan.ports || option == OPTION_PORTS;
    if ((option == OPTION_HELP || option == OPTION_VERSION) && scan.firstInfoOption == 0) {
      scan.firstInfoOption = option;
    }
  }
  scan.dashOperand = optind < argc && strcmp(copy[static_cast<size_t>(optind)], "-") == 0;
  opterr = savedOpterr;
  optind = 0;
  return scan;
}

void handleInfoOptions(const CommandLineScan &scan) {
  if (scan.ports) {
    // It lists the ports whatever else the command line holds.
    listSerialPorts(systemRoots, stdout);
    answerInfoOption(false);
  }
  if (scan.firstInfoOption != 0) {
    answerInfoOption(scan.firstInfoOption == OPTION_HELP);
  }
}

// Stores one option's value; OPTIONS_WANT_HELP or OPTIONS_WANT_VERSION for
// those two, else OPTIONS_STORED. `word` is the argument that held the option.
static int storeOption(int option, char *value, char *word) {
  switch (option) {
  case 'c': settings.channel = saturateToInt32(strtol(value, nullptr, 10)); break;
  case 't':
    settings.timePerDiv = scaledValue(value);
    settings.timeText = value;
    break;
  case 'y':
    settings.voltsPerDiv = scaledValue(value);
    settings.gainText = value;
    break;
  case 'Y':
    settings.yZero = strtod(value, nullptr);
    settings.yZeroText = value;
    break;
  case 'p':
    settings.probeFactor = strtod(value, nullptr);
    settings.probeText = value;
    break;
  case 'b':
    settings.autoBaud = strcmp(value, "auto") == 0;
    if (!settings.autoBaud) {
      settings.baudRate = saturateToInt32(strtol(value, nullptr, 10));
    }
    break;
  case 's': setDevice(value); break;
  // Values of long options are judged by the settings check.
  case OPTION_FLOW: settings.flow = value; break;
  case OPTION_PORTS: break; // answered before the configuration file is read
  case OPTION_CHANNELS: settings.channelsText = value; break;
  case OPTION_GAIN: settings.gainsText = value; break;
  case OPTION_OFFSET: settings.offsetsText = value; break;
  case OPTION_PROBE: settings.probesText = value; break;
  case OPTION_FORMAT: settings.formatText = value; break;
  case OPTION_SEPARATOR: settings.separatorText = value; break;
  case OPTION_MEASURE: settings.measure = true; break;
  case OPTION_COUNT: settings.countText = value; break;
  case OPTION_INTERVAL: settings.intervalText = value; break;
  case OPTION_KEEP_GOING: settings.keepGoing = true; break;
  case OPTION_HELP: return OPTIONS_WANT_HELP;
  case OPTION_VERSION: return OPTIONS_WANT_VERSION;
  default:
    if (unknownLongOption(option)) {
      settings.unknownOptions.push_back(word);
    } else {
      fprintf(stderr, "*** error: invalid command line argumend '%c' (%d)***\n", option, option);
    }
    break;
  }
  return OPTIONS_STORED;
}

int parseOptions(int argc, char *argv[]) {
  return parseOptions(argc, argv, scanCommandLine(argc, argv));
}

int parseOptions(int argc, char *argv[], const CommandLineScan &scan) {
  const std::vector<bool> &silent = scan.unknownLongOptionCalls;
  int savedOpterr = opterr;
  // Zero makes getopt start afresh, so the parser can run more than once in
  // one process (the tests do).
  optind = 0;
  int result = OPTIONS_STORED;
  for (size_t call = 0; result == OPTIONS_STORED; ++call) {
    opterr = call < silent.size() && silent[call] ? 0 : savedOpterr;
    int option = getopt_long(argc, argv, SHORT_OPTIONS, getoptLongOptions(), nullptr);
    if (option == -1) {
      result = optind;
      break;
    }
    char *value = optarg;
    if (value != nullptr && value[0] == '=') {
      ++value; // -t=1m is the same as -t 1m
    }
    result = storeOption(option, value, argv[optind - 1]);
  }
  opterr = savedOpterr;
  return result;
}

// A second operand is a word that was meant otherwise (a value split by a
// blank, an unknown option's value): no file is opened on a guess.
[[noreturn]] static void refuseOperands(int count, char *operands[]) {
  fprintf(stderr, "*** Error: more than one file named (");
  for (int i = 0; i < count; ++i) {
    fprintf(stderr, "%s'%s'", i == 0 ? "" : ", ", operands[i]);
  }
  fprintf(stderr, ") ***\n");
  printHelp();
  exit(EXIT_NO_OUTPUT_FILE);
}

void readCommandLine(int argc, char *argv[]) {
  readCommandLine(argc, argv, scanCommandLine(argc, argv));
}

void readCommandLine(int argc, char *argv[], const CommandLineScan &scan) {
  int operand = parseOptions(argc, argv, scan);
  if (isInfoRequest(operand)) {
    answerInfoOption(operand == OPTIONS_WANT_HELP);
  }
  if (operand >= argc) {
    printHelp();
    exit(EXIT_NO_OUTPUT_FILE);
  }
  if (argc - operand > 1) {
    refuseOperands(argc - operand, argv + operand);
  }
  const char *fileName = argv[operand];
  settings.outputName = fileName;
  // A series names each capture's file when it starts.
  if (settings.countText != nullptr) {
    return;
  }
  bool session = settings.formatText != nullptr && strcmp(settings.formatText, "sr") == 0;
  FILE *file = session ? openSessionFile(fileName) : openOutputFile(fileName);
  if (file == nullptr) {
    cannotOpenOutputMessage(fileName);
    exit(EXIT_CANNOT_CREATE_OUTPUT);
  }
  settings.outputFile = file;
}

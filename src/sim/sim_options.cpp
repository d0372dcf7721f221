#include "sim/sim_options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_line.h"

static const char HELP_HEAD[] =
    "Usage: qelvo-scope-sim [options]\n"
    "A virtual oscilloscope on a pseudo-terminal, for trying and testing qelvo without\n"
    "the instrument. The terminal's path is the first line on standard output; the\n"
    "scope then answers one run after the other until SIGINT or SIGTERM.\n";

static const char HELP_TAIL[] =
    "\n"
    "Exit status: 0 after SIGINT, SIGTERM, the last of --runs or the end of the\n"
    "socket's connection; 1 when the terminal, the socket, the link or the log\n"
    "cannot be set up; 2 for a bad option.\n";

static void badOption(const char *format, const char *text) {
  fprintf(stderr, "qelvo-scope-sim: ");
  fprintf(stderr, format, text);
  fprintf(stderr, " (see --help)\n");
}

static bool parseLong(const char *text, long low, long high, long &value) {
  char *end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || number < low || number > high) {
    return false;
  }
  value = number;
  return true;
}

static bool parseDouble(const char *text, double &value) {
  char *end = nullptr;
  double number = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(number)) {
    return false;
  }
  value = number;
  return true;
}

// "N" or "N:M" of die-in-capture.
static bool parseCaptureAndSamples(const char *text, SimFaults &faults) {
  std::string capture = text;
  std::string samples = "0";
  size_t colon = capture.find(':');
  if (colon != std::string::npos) {
    samples = capture.substr(colon + 1);
    capture.resize(colon);
  }
  return parseLong(capture.c_str(), 1, LONG_MAX, faults.dieInCapture) &&
         parseLong(samples.c_str(), 0, LONG_MAX, faults.dieInCaptureAfter);
}

static bool parseFault(const char *text, SimFaults &faults) {
  long count = 0;
  if (strcmp(text, "silent") == 0) {
    faults.silent = true;
  } else if (strcmp(text, "status-missing") == 0) {
    faults.statusMissing = true;
  } else if (strcmp(text, "status-cut") == 0) {
    faults.statusCut = true;
  } else if (strcmp(text, "dump-b5") == 0) {
    faults.dumpB5 = true;
  } else if (strcmp(text, "endless") == 0) {
    faults.endless = true;
  } else if (strcmp(text, "chatter") == 0) {
    faults.chatter = true;
  } else if (strncmp(text, "die=", 4) == 0 && parseLong(text + 4, 0, LONG_MAX, count)) {
    faults.dieAfter = count;
  } else if (strncmp(text, "die-in-capture=", 15) == 0) {
    return parseCaptureAndSamples(text + 15, faults);
  } else if (strncmp(text, "noise=", 6) == 0 && parseLong(text + 6, 1, LONG_MAX, count)) {
    faults.noiseEvery = count;
  } else if (strcmp(text, "no-echo=d2") == 0) {
    faults.ignoredDump = 2;
  } else if (strncmp(text, "no-echo=", 8) == 0 && strlen(text) == 9 &&
             strchr("012sd", text[8]) != nullptr) {
    faults.ignored += text[8];
  } else if (strncmp(text, "dump-cut=", 9) == 0 && parseLong(text + 9, 0, LONG_MAX, count)) {
    faults.dumpCut = count;
  } else {
    return false;
  }
  return true;
}

// A value that must be one of two words.
template <typename Choice>
static bool parseChoice(const char *text, const char *first, Choice firstValue, const char *second,
                        Choice secondValue, Choice &choice) {
  if (strcmp(text, first) == 0) {
    choice = firstValue;
  } else if (strcmp(text, second) == 0) {
    choice = secondValue;
  } else {
    return false;
  }
  return true;
}

static bool parsePace(const char *text, SimOptions &options) {
  if (strcmp(text, "auto") == 0) {
    options.pace = PACE_AUTO;
  } else if (strcmp(text, "none") == 0) {
    options.pace = PACE_NONE;
  } else if (parseLong(text, 1, 100000000, options.paceBaud)) {
    options.pace = PACE_FIXED;
  } else {
    return false;
  }
  return true;
}

enum LongOnly {
  OPT_TTY = 256,
  OPT_LISTEN,
  OPT_CONNECT,
  OPT_LINK,
  OPT_RUNS,
  OPT_LOG,
  OPT_PACE,
  OPT_DELIVERY,
  OPT_DELAY,
  OPT_SCOPE_SPEED,
  OPT_MISMATCH,
  OPT_PANEL,
  OPT_NOT_READY,
  OPT_WAVE1,
  OPT_WAVE2,
  OPT_SAMPLES,
  OPT_SAMPLES1,
  OPT_SAMPLES2,
  OPT_DUTY,
  OPT_CYCLES,
  OPT_AMPLITUDE,
  OPT_OFFSET,
  OPT_SEED,
  OPT_PRINT,
  OPT_FAULT,
};

namespace {

// One line (or several) of --help, and the option it describes. --fault has a
// row per kind of fault; getopt_long sees the first of them.
struct SimOption {
  const char *heading;     // printed before the row: a blank line and a title
  const char *name;        // without the leading "--"
  int hasArgument;         // no_argument or required_argument
  const char *placeholder; // the value in --help; nullptr without one
  const char *help;        // its text in --help, lines apart by "\n"
  int code;
  const char *refusal; // printf format of the message for a bad value
};

constexpr char ONE_LINK_ONLY[] = "only one of --tty, --listen and --connect, not also '%s'";
constexpr char UNKNOWN_WAVE[] = "unknown wave '%s' (sine, square, triangle, noise, ramp)";

const SimOption SIM_OPTIONS[] = {
    {"\nLine:\n", "tty", required_argument, "PATH",
     "answer on the existing terminal PATH instead (a serial\n"
     "port, or a pty another program holds); made raw, with\n"
     "modem lines ignored, and given back as found on exit",
     OPT_TTY, ONE_LINK_ONLY},
    {nullptr, "listen", required_argument, "PATH",
     "answer on a unix stream socket bound to PATH (an old\n"
     "socket there is replaced); serves the first connection\n"
     "and exits when it closes",
     OPT_LISTEN, ONE_LINK_ONLY},
    {nullptr, "connect", required_argument, "PATH",
     "answer on a connection to the unix stream socket PATH;\n"
     "exits when it closes\n"
     "Without --tty, --listen or --connect the scope makes\n"
     "its own pseudo-terminal. The first line on standard\n"
     "output is the path served, once it can be reached.",
     OPT_CONNECT, ONE_LINK_ONLY},
    {nullptr, "link", required_argument, "PATH",
     "also make the terminal reachable as the symbolic link\n"
     "PATH (an existing link is replaced; removed on exit)",
     OPT_LINK, nullptr},
    {nullptr, "runs", required_argument, "N",
     "exit after N runs; a run ends when no byte follows\n"
     "an \"e\" within 300 ms",
     OPT_RUNS, "--runs needs a whole number of at least 1, not '%s'"},
    {nullptr, "log", required_argument, "FILE",
     "append every byte received from the tool to FILE,\n"
     "raw, as the scope heard it (see --scope-speed)",
     OPT_LOG, nullptr},
    {nullptr, "pace", required_argument, "auto|none|BAUD",
     "reply at the speed the tool set on the line (auto,\n"
     "default), at BAUD bit/s, or unpaced (none);\n"
     "10 bits per character; a socket carries no speed,\n"
     "so there auto is unpaced; with --tty, a standard\n"
     "BAUD is also the terminal's speed",
     OPT_PACE, "--pace needs auto, none or a speed in bit/s, not '%s'"},
    {nullptr, "delivery", required_argument, "groups|bytes",
     "how paced replies reach the line: in groups spanning\n"
     "2 ms, like a USB adapter (groups, default), or one\n"
     "byte at a time, each when its stop bit is due, like\n"
     "an on-board UART (bytes)",
     OPT_DELIVERY, "--delivery needs groups or bytes, not '%s'"},
    {nullptr, "delay", required_argument, "MS",
     "pause MS milliseconds between the \"d\" echo and the\n"
     "first sample (default 0)",
     OPT_DELAY, "--delay needs milliseconds from 0 to 3600000, not '%s'"},
    {nullptr, "scope-speed", required_argument, "BAUD",
     "the speed set in the scope's menu: at any other speed\n"
     "the tool sets on the scope's own pseudo-terminal, the\n"
     "scope hears what a UART would (see --mismatch); with\n"
     "--tty it is the terminal's speed, unless --pace sets\n"
     "one; a socket carries no speed",
     OPT_SCOPE_SPEED, "--scope-speed needs a standard speed in bit/s, not '%s'"},
    {nullptr, "mismatch", required_argument, "garbage|silent",
     "what the scope hears at another speed than\n"
     "--scope-speed: bytes decoded with the wrong bit\n"
     "length, taken as commands and answered the same way\n"
     "(garbage, default), or nothing (silent)",
     OPT_MISMATCH, "--mismatch needs garbage or silent, not '%s'"},
    {"\nInstrument:\n", "panel-channel", required_argument, "1|2",
     "channel selected on the front panel, chosen by \"0\"\n"
     "and at the start of every run (default 1)",
     OPT_PANEL, "--panel-channel needs 1 or 2, not '%s'"},
    {nullptr, "not-ready", no_argument, nullptr, "report the scope as not ready (status bit 0x20)",
     OPT_NOT_READY, nullptr},
    {nullptr, "wave1", required_argument, "KIND", "record of channel 1 (default sine)", OPT_WAVE1,
     UNKNOWN_WAVE},
    {nullptr, "wave2", required_argument, "KIND",
     "record of channel 2 (default square)\n"
     "KIND: sine, square, triangle, noise, or ramp\n"
     "(sample i is i mod 256, whatever the shape options)",
     OPT_WAVE2, UNKNOWN_WAVE},
    {nullptr, "samples", required_argument, "N", "samples per record (default 1000; 0 allowed)",
     OPT_SAMPLES, "--samples needs a whole number from 0 to 100000000, not '%s'"},
    {nullptr, "samples1", required_argument, "N",
     "samples in channel 1's record only (default --samples)", OPT_SAMPLES1,
     "--samples1 needs a whole number from 0 to 100000000, not '%s'"},
    {nullptr, "samples2", required_argument, "N",
     "samples in channel 2's record only (default --samples)", OPT_SAMPLES2,
     "--samples2 needs a whole number from 0 to 100000000, not '%s'"},
    {nullptr, "cycles", required_argument, "C",
     "frequency: periods over --samples samples (default 4);\n"
     "the channels share it, whatever their record lengths",
     OPT_CYCLES, "--cycles needs a number, not '%s'"},
    {nullptr, "amplitude", required_argument, "A", "centre to peak in counts (default 100)",
     OPT_AMPLITUDE, "--amplitude needs a number, not '%s'"},
    {nullptr, "offset", required_argument, "O", "centre in counts (default 128)", OPT_OFFSET,
     "--offset needs a number, not '%s'"},
    {nullptr, "duty", required_argument, "PERCENT",
     "share of a square wave's period at its top, 0 to 100\n"
     "(default 50)",
     OPT_DUTY, "--duty needs a percentage from 0 to 100, not '%s'"},
    {nullptr, "seed", required_argument, "S",
     "seed of the noise record (default 1)\n"
     "samples are rounded and clamped to 0..255",
     OPT_SEED, "--seed needs a whole number of at least 0, not '%s'"},
    {nullptr, "print-waveform", required_argument, "CH",
     "print channel CH's samples, one decimal per line, and\n"
     "exit without opening a terminal",
     OPT_PRINT, "--print-waveform needs channel 1 or 2, not '%s'"},
    {"\nFaults (--fault may be given several times):\n", "fault", required_argument, "silent",
     "read everything, answer nothing", OPT_FAULT, "unknown fault '%s'"},
    {nullptr, "fault", required_argument, "no-echo=C",
     "ignore command C (one of 0 1 2 s d): no echo, no\n"
     "reply, no effect",
     OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "no-echo=d2",
     "the same for the second \"d\" of each capture only", OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "status-missing", "echo \"s\" without the status digits",
     OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "status-cut",
     "echo \"s\" and the first status digit only", OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "dump-cut=N",
     "after N samples send one hex digit, then nothing", OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "dump-b5",
     "end the dump with the byte 0xB5 instead of a line feed", OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "die=N",
     "after N samples of a dump the scope's process kills\n"
     "itself: the pseudo-terminal hangs up",
     OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "die-in-capture=N[:M]",
     "the same in the tool's N-th capture only, after M\n"
     "samples of its dumps (default 0: at its first dump's\n"
     "start); a capture starts with the first command, or\n"
     "with a channel selection right after an \"e\"",
     OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "noise=N",
     "line noise: after every N samples one random byte\n"
     "that is no hex digit (random from --seed)",
     OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "endless", "the dump repeats the record and never ends",
     OPT_FAULT, nullptr},
    {nullptr, "fault", required_argument, "chatter",
     "send '~' unpaced and without pause, answer nothing", OPT_FAULT, nullptr},
    {"\n", "help", no_argument, nullptr, "show this text and exit", 'h', nullptr},
};

// Where the text of a row starts in --help; a longer label puts it on the
// next line.
constexpr int HELP_TEXT_COLUMN = 26;
constexpr int LABEL_COLUMN = 2;

} // namespace

static void printSimHelp(FILE *stream) {
  fputs(HELP_HEAD, stream);
  for (const SimOption &row : SIM_OPTIONS) {
    if (row.heading != nullptr) {
      fputs(row.heading, stream);
    }
    std::string label = std::string("--") + row.name;
    if (row.placeholder != nullptr) {
      label += std::string(" ") + row.placeholder;
    }
    const int labelWidth = HELP_TEXT_COLUMN - LABEL_COLUMN - 1;
    if (static_cast<int>(label.size()) <= labelWidth) {
      fprintf(stream, "%*s%-*s ", LABEL_COLUMN, "", labelWidth, label.c_str());
    } else {
      fprintf(stream, "%*s%s\n%*s", LABEL_COLUMN, "", label.c_str(), HELP_TEXT_COLUMN, "");
    }
    const char *line = row.help;
    for (const char *end = strchr(line, '\n'); end != nullptr; end = strchr(line, '\n')) {
      fprintf(stream, "%.*s\n%*s", static_cast<int>(end - line), line, HELP_TEXT_COLUMN, "");
      line = end + 1;
    }
    fprintf(stream, "%s\n", line);
  }
  fputs(HELP_TAIL, stream);
}

// The table as getopt_long wants it: the first of an option's rows (they
// stand together), closed by a zero entry.
static std::vector<option> getoptOptions() {
  std::vector<option> options;
  for (const SimOption &row : SIM_OPTIONS) {
    if (options.empty() || options.back().val != row.code) {
      options.push_back({row.name, row.hasArgument, nullptr, row.code});
    }
  }
  options.push_back({nullptr, 0, nullptr, 0});
  return options;
}

// The message for a value the option refuses; nullptr for an option that
// refuses none.
static const char *refusalOf(int code) {
  for (const SimOption &row : SIM_OPTIONS) {
    if (row.code == code) {
      return row.refusal;
    }
  }
  return nullptr;
}

// Applies one option; false when it refuses the value.
static bool applyOption(int code, const char *value, SimOptions &options) {
  long number = 0;
  switch (code) {
  case OPT_TTY:
  case OPT_LISTEN:
  case OPT_CONNECT:
    if (options.link != LINK_OWN_PTY) {
      return false;
    }
    options.link = code == OPT_TTY ? LINK_TTY : code == OPT_LISTEN ? LINK_LISTEN : LINK_CONNECT;
    options.linkTarget = value;
    return true;
  case OPT_LINK: options.linkPath = value; return true;
  case OPT_LOG: options.logPath = value; return true;
  case OPT_NOT_READY: options.notReady = true; return true;
  case OPT_RUNS: return parseLong(value, 1, LONG_MAX, options.runs);
  case OPT_PACE: return parsePace(value, options);
  case OPT_DELIVERY:
    return parseChoice(value, "groups", DELIVERY_GROUPS, "bytes", DELIVERY_BYTES, options.delivery);
  case OPT_DELAY: return parseLong(value, 0, 3600000, options.delayMs);
  case OPT_SCOPE_SPEED:
    return parseLong(value, 1, LONG_MAX, options.scopeSpeed) &&
           codeOfBaud(options.scopeSpeed) != B0;
  case OPT_MISMATCH:
    return parseChoice(value, "garbage", MISMATCH_GARBAGE, "silent", MISMATCH_SILENT,
                       options.mismatch);
  case OPT_PANEL:
    if (!parseLong(value, 1, 2, number)) {
      return false;
    }
    options.panelChannel = static_cast<int>(number);
    return true;
  case OPT_WAVE1:
  case OPT_WAVE2: return parseWaveKind(value, options.waves[code == OPT_WAVE1 ? 0 : 1]);
  case OPT_SAMPLES: return parseLong(value, 0, 100000000, options.shape.samples);
  case OPT_SAMPLES1:
  case OPT_SAMPLES2:
    return parseLong(value, 0, 100000000, options.recordSamples[code == OPT_SAMPLES1 ? 0 : 1]);
  case OPT_DUTY:
    return parseDouble(value, options.shape.duty) && options.shape.duty >= 0 &&
           options.shape.duty <= 100;
  case OPT_CYCLES: return parseDouble(value, options.shape.cycles);
  case OPT_AMPLITUDE: return parseDouble(value, options.shape.amplitude);
  case OPT_OFFSET: return parseDouble(value, options.shape.offset);
  case OPT_SEED:
    if (!parseLong(value, 0, LONG_MAX, number)) {
      return false;
    }
    options.shape.seed = static_cast<unsigned long>(number);
    return true;
  case OPT_PRINT:
    if (!parseLong(value, 1, 2, number)) {
      return false;
    }
    options.printChannel = static_cast<int>(number);
    return true;
  case OPT_FAULT: return parseFault(value, options.faults);
  }
  return false;
}

OptionsResult parseSimOptions(int argc, char *argv[], SimOptions &options) {
  opterr = 0; // our own one-line messages instead of getopt's
  optind = 1;
  int code = 0;
  static const std::vector<option> longOptions = getoptOptions();
  while ((code = getopt_long(argc, argv, ":h", longOptions.data(), nullptr)) != -1) {
    const char *current = argv[optind - 1];
    if (code == 'h') {
      printSimHelp(stdout);
      return OPTIONS_HELP_SHOWN;
    }
    if (code == ':') {
      badOption("option '%s' needs a value", current);
      return OPTIONS_BAD;
    }
    if (code == '?') {
      badOption("unknown option '%s'", current);
      return OPTIONS_BAD;
    }
    if (!applyOption(code, optarg, options)) {
      const char *refusal = refusalOf(code);
      if (refusal != nullptr) {
        badOption(refusal, optarg);
      }
      return OPTIONS_BAD;
    }
  }
  if (optind < argc) {
    badOption("unexpected argument '%s'", argv[optind]);
    return OPTIONS_BAD;
  }
  if (options.link != LINK_OWN_PTY && !options.linkPath.empty()) {
    badOption("--link '%s' needs the scope's own pseudo-terminal", options.linkPath.c_str());
    return OPTIONS_BAD;
  }
  return OPTIONS_RUN;
}

#include "sim/sim_options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char HELP_TEXT[] =
    "Usage: qelvo-scope-sim [options]\n"
    "A virtual oscilloscope on a pseudo-terminal, for trying and testing qelvo without\n"
    "the instrument. The terminal's path is the first line on standard output; the\n"
    "scope then answers one run after the other until SIGINT or SIGTERM.\n"
    "\n"
    "Line:\n"
    "  --tty PATH              answer on the existing terminal PATH instead (a serial\n"
    "                          port, or a pty another program holds); made raw, with\n"
    "                          modem lines ignored, and given back as found on exit\n"
    "  --listen PATH           answer on a unix stream socket bound to PATH (an old\n"
    "                          socket there is replaced); serves the first connection\n"
    "                          and exits when it closes\n"
    "  --connect PATH          answer on a connection to the unix stream socket PATH;\n"
    "                          exits when it closes\n"
    "                          Without --tty, --listen or --connect the scope makes\n"
    "                          its own pseudo-terminal. The first line on standard\n"
    "                          output is the path served, once it can be reached.\n"
    "  --link PATH             also make the terminal reachable as the symbolic link\n"
    "                          PATH (an existing link is replaced; removed on exit)\n"
    "  --runs N                exit after N runs; a run ends when no byte follows\n"
    "                          an \"e\" within 300 ms\n"
    "  --log FILE              append every byte received from the tool to FILE, raw\n"
    "  --pace auto|none|BAUD   reply at the speed the tool set on the line (auto,\n"
    "                          default), at BAUD bit/s, or unpaced (none);\n"
    "                          10 bits per character; a socket carries no speed,\n"
    "                          so there auto is unpaced; with --tty, a standard\n"
    "                          BAUD is also the terminal's speed\n"
    "  --delivery groups|bytes how paced replies reach the line: in groups spanning\n"
    "                          2 ms, like a USB adapter (groups, default), or one\n"
    "                          byte at a time, each when its stop bit is due, like\n"
    "                          an on-board UART (bytes)\n"
    "  --delay MS              pause MS milliseconds between the \"d\" echo and the\n"
    "                          first sample (default 0)\n"
    "\n"
    "Instrument:\n"
    "  --panel-channel 1|2     channel selected on the front panel, chosen by \"0\"\n"
    "                          and at the start of every run (default 1)\n"
    "  --not-ready             report the scope as not ready (status bit 0x20)\n"
    "  --wave1 KIND            record of channel 1 (default sine)\n"
    "  --wave2 KIND            record of channel 2 (default square)\n"
    "                          KIND: sine, square, triangle, noise, or ramp\n"
    "                          (sample i is i mod 256, whatever the shape options)\n"
    "  --samples N             samples per record (default 1000; 0 allowed)\n"
    "  --samples1 N            samples in channel 1's record only (default --samples)\n"
    "  --samples2 N            samples in channel 2's record only (default --samples)\n"
    "  --cycles C              frequency: periods over --samples samples (default 4);\n"
    "                          the channels share it, whatever their record lengths\n"
    "  --amplitude A           centre to peak in counts (default 100)\n"
    "  --offset O              centre in counts (default 128)\n"
    "  --duty PERCENT          share of a square wave's period at its top, 0 to 100\n"
    "                          (default 50)\n"
    "  --seed S                seed of the noise record (default 1)\n"
    "                          samples are rounded and clamped to 0..255\n"
    "  --print-waveform CH     print channel CH's samples, one decimal per line, and\n"
    "                          exit without opening a terminal\n"
    "\n"
    "Faults (--fault may be given several times):\n"
    "  --fault silent          read everything, answer nothing\n"
    "  --fault no-echo=C       ignore command C (one of 0 1 2 s d): no echo, no\n"
    "                          reply, no effect\n"
    "  --fault no-echo=d2      the same for the second \"d\" of each capture only\n"
    "  --fault status-missing  echo \"s\" without the status digits\n"
    "  --fault status-cut      echo \"s\" and the first status digit only\n"
    "  --fault dump-cut=N      after N samples send one hex digit, then nothing\n"
    "  --fault dump-b5         end the dump with the byte 0xB5 instead of a line feed\n"
    "  --fault die=N           after N samples of a dump the scope's process kills\n"
    "                          itself: the pseudo-terminal hangs up\n"
    "  --fault die-in-capture=N[:M]\n"
    "                          the same in the tool's N-th capture only, after M\n"
    "                          samples of its dumps (default 0: at its first dump's\n"
    "                          start); a capture starts with the first command, or\n"
    "                          with a channel selection right after an \"e\"\n"
    "  --fault noise=N         line noise: after every N samples one random byte\n"
    "                          that is no hex digit (random from --seed)\n"
    "  --fault endless         the dump repeats the record and never ends\n"
    "  --fault chatter         send '~' unpaced and without pause, answer nothing\n"
    "\n"
    "  --help                  show this text and exit\n"
    "\n"
    "Exit status: 0 after SIGINT, SIGTERM, the last of --runs or the end of the\n"
    "socket's connection; 1 when the terminal, the socket, the link or the log\n"
    "cannot be set up; 2 for a bad option.\n";

static bool badOption(const char *format, const char *text) {
  fprintf(stderr, "qelvo-scope-sim: ");
  fprintf(stderr, format, text);
  fprintf(stderr, " (see --help)\n");
  return false;
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

static bool parseDelivery(const char *text, Delivery &delivery) {
  if (strcmp(text, "groups") == 0) {
    delivery = DELIVERY_GROUPS;
  } else if (strcmp(text, "bytes") == 0) {
    delivery = DELIVERY_BYTES;
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

static const option LONG_OPTIONS[] = {
    {"tty", required_argument, nullptr, OPT_TTY},
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"connect", required_argument, nullptr, OPT_CONNECT},
    {"link", required_argument, nullptr, OPT_LINK},
    {"runs", required_argument, nullptr, OPT_RUNS},
    {"log", required_argument, nullptr, OPT_LOG},
    {"pace", required_argument, nullptr, OPT_PACE},
    {"delivery", required_argument, nullptr, OPT_DELIVERY},
    {"delay", required_argument, nullptr, OPT_DELAY},
    {"panel-channel", required_argument, nullptr, OPT_PANEL},
    {"not-ready", no_argument, nullptr, OPT_NOT_READY},
    {"wave1", required_argument, nullptr, OPT_WAVE1},
    {"wave2", required_argument, nullptr, OPT_WAVE2},
    {"samples", required_argument, nullptr, OPT_SAMPLES},
    {"samples1", required_argument, nullptr, OPT_SAMPLES1},
    {"samples2", required_argument, nullptr, OPT_SAMPLES2},
    {"duty", required_argument, nullptr, OPT_DUTY},
    {"cycles", required_argument, nullptr, OPT_CYCLES},
    {"amplitude", required_argument, nullptr, OPT_AMPLITUDE},
    {"offset", required_argument, nullptr, OPT_OFFSET},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"print-waveform", required_argument, nullptr, OPT_PRINT},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Applies one option; false (after the message) when its value is bad.
static bool applyOption(int code, const char *value, SimOptions &options) {
  long number = 0;
  switch (code) {
  case OPT_TTY:
  case OPT_LISTEN:
  case OPT_CONNECT:
    if (options.link != LINK_OWN_PTY) {
      return badOption("only one of --tty, --listen and --connect, not also '%s'", value);
    }
    options.link = code == OPT_TTY ? LINK_TTY : code == OPT_LISTEN ? LINK_LISTEN : LINK_CONNECT;
    options.linkTarget = value;
    return true;
  case OPT_LINK: options.linkPath = value; return true;
  case OPT_LOG: options.logPath = value; return true;
  case OPT_NOT_READY: options.notReady = true; return true;
  case OPT_RUNS:
    return parseLong(value, 1, LONG_MAX, options.runs) ||
           badOption("--runs needs a whole number of at least 1, not '%s'", value);
  case OPT_PACE:
    return parsePace(value, options) ||
           badOption("--pace needs auto, none or a speed in bit/s, not '%s'", value);
  case OPT_DELIVERY:
    return parseDelivery(value, options.delivery) ||
           badOption("--delivery needs groups or bytes, not '%s'", value);
  case OPT_DELAY:
    return parseLong(value, 0, 3600000, options.delayMs) ||
           badOption("--delay needs milliseconds from 0 to 3600000, not '%s'", value);
  case OPT_PANEL:
    if (!parseLong(value, 1, 2, number)) {
      return badOption("--panel-channel needs 1 or 2, not '%s'", value);
    }
    options.panelChannel = static_cast<int>(number);
    return true;
  case OPT_WAVE1:
  case OPT_WAVE2:
    return parseWaveKind(value, options.waves[code == OPT_WAVE1 ? 0 : 1]) ||
           badOption("unknown wave '%s' (sine, square, triangle, noise, ramp)", value);
  case OPT_SAMPLES:
    return parseLong(value, 0, 100000000, options.shape.samples) ||
           badOption("--samples needs a whole number from 0 to 100000000, not '%s'", value);
  case OPT_SAMPLES1:
  case OPT_SAMPLES2:
    return parseLong(value, 0, 100000000, options.recordSamples[code == OPT_SAMPLES1 ? 0 : 1]) ||
           badOption(code == OPT_SAMPLES1
                         ? "--samples1 needs a whole number from 0 to 100000000, not '%s'"
                         : "--samples2 needs a whole number from 0 to 100000000, not '%s'",
                     value);
  case OPT_DUTY:
    if (!parseDouble(value, options.shape.duty) || options.shape.duty < 0 ||
        options.shape.duty > 100) {
      return badOption("--duty needs a percentage from 0 to 100, not '%s'", value);
    }
    return true;
  case OPT_CYCLES:
    return parseDouble(value, options.shape.cycles) ||
           badOption("--cycles needs a number, not '%s'", value);
  case OPT_AMPLITUDE:
    return parseDouble(value, options.shape.amplitude) ||
           badOption("--amplitude needs a number, not '%s'", value);
  case OPT_OFFSET:
    return parseDouble(value, options.shape.offset) ||
           badOption("--offset needs a number, not '%s'", value);
  case OPT_SEED:
    if (!parseLong(value, 0, LONG_MAX, number)) {
      return badOption("--seed needs a whole number of at least 0, not '%s'", value);
    }
    options.shape.seed = static_cast<unsigned long>(number);
    return true;
  case OPT_PRINT:
    if (!parseLong(value, 1, 2, number)) {
      return badOption("--print-waveform needs channel 1 or 2, not '%s'", value);
    }
    options.printChannel = static_cast<int>(number);
    return true;
  case OPT_FAULT:
    return parseFault(value, options.faults) || badOption("unknown fault '%s'", value);
  }
  return false;
}

OptionsResult parseSimOptions(int argc, char *argv[], SimOptions &options) {
  opterr = 0; // our own one-line messages instead of getopt's
  optind = 1;
  int code = 0;
  while ((code = getopt_long(argc, argv, ":h", LONG_OPTIONS, nullptr)) != -1) {
    const char *current = argv[optind - 1];
    if (code == 'h') {
      fputs(HELP_TEXT, stdout);
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

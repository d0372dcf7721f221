#include "serve/serve_options.h"

#include <getopt.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"

static const char USAGE[] = "Usage: qelvo-serve [--listen=ADDR:PORT] [--dir=DIR] "
                            "[--token-file=FILE] [-s DEV] [-b BAUD] [--flow=rtscts|none]\n";

static const char HELP[] =
    "A page and an HTTP interface for capturing from the scope.\n"
    "  --listen=ADDR:PORT   address and port to listen on (default 127.0.0.1:8080; port 0: any "
    "free port)\n"
    "  --dir=DIR            folder where captures are written and served (default captures)\n"
    "  --token-file=FILE    the access token, read from FILE (made with mode 0600 when "
    "missing)\n"
    "  -s DEV               serial device (default: from the configuration file, else "
    "/dev/ttyS0)\n"
    "  -b BAUD              line speed in bit/s (default: from the configuration file, else "
    "38400)\n"
    "  --flow=rtscts|none   handshake on the serial line (default rtscts)\n"
    "  --help               this text\n"
    "  --version            the version\n";

enum ServeOptionCode {
  OPT_LISTEN = 0x100,
  OPT_DIR,
  OPT_TOKEN_FILE,
  OPT_FLOW,
  OPT_HELP,
  OPT_VERSION
};

static const option LONG_OPTIONS[] = {{"listen", required_argument, nullptr, OPT_LISTEN},
                                      {"dir", required_argument, nullptr, OPT_DIR},
                                      {"token-file", required_argument, nullptr, OPT_TOKEN_FILE},
                                      {"flow", required_argument, nullptr, OPT_FLOW},
                                      {"help", no_argument, nullptr, OPT_HELP},
                                      {"version", no_argument, nullptr, OPT_VERSION},
                                      {nullptr, 0, nullptr, 0}};

static int badOption(const char *format, const char *what) {
  fputs("qelvo-serve: ", stderr);
  fprintf(stderr, format, what);
  fputc('\n', stderr);
  fputs(USAGE, stderr);
  return EXIT_BAD_SETTINGS;
}

bool parseListenAddress(const char *text, sockaddr_storage &address, socklen_t &size) {
  std::string host;
  const char *port = nullptr;
  if (text[0] == '[') {
    const char *close = strchr(text, ']');
    if (close == nullptr || close[1] != ':') {
      return false;
    }
    host.assign(text + 1, close);
    port = close + 2;
  } else {
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || strchr(text, ':') != colon) {
      return false;
    }
    host.assign(text, colon);
    port = colon + 1;
  }
  char *end = nullptr;
  long number = strtol(port, &end, 10);
  if (host.empty() || *port < '0' || *port > '9' || *end != '\0' || number > 65535) {
    return false;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), port, &hints, &found) != 0) {
    return false;
  }
  memcpy(&address, found->ai_addr, found->ai_addrlen);
  size = found->ai_addrlen;
  freeaddrinfo(found);
  return true;
}

int parseServeOptions(int argc, char *argv[], ServeOptions &options) {
  if (!parseListenAddress("127.0.0.1:8080", options.listen, options.listenSize)) {
    return EXIT_BAD_SETTINGS;
  }
  opterr = 0; // our own one-line messages instead of getopt's
  optind = 1;
  int code = 0;
  while ((code = getopt_long(argc, argv, ":s:b:", LONG_OPTIONS, nullptr)) != -1) {
    const char *current = argv[optind - 1];
    switch (code) {
    case OPT_HELP:
      fputs(USAGE, stdout);
      fputs(HELP, stdout);
      return EXIT_OK;
    case OPT_VERSION: printf("qelvo-serve %s\n", QELVO_PACKAGE_VERSION); return EXIT_OK;
    case ':': return badOption("option '%s' needs a value", current);
    case '?': return badOption("unknown option '%s'", current);
    case OPT_LISTEN:
      if (!parseListenAddress(optarg, options.listen, options.listenSize)) {
        return badOption("--listen wants ADDR:PORT, not '%s'", optarg);
      }
      break;
    case OPT_DIR:
      if (*optarg == '\0') {
        return badOption("--dir wants a folder%s", "");
      }
      options.dir = optarg;
      break;
    case OPT_TOKEN_FILE: options.tokenFile = optarg; break;
    case OPT_FLOW:
      if (strcmp(optarg, "rtscts") != 0 && strcmp(optarg, "none") != 0) {
        return badOption("--flow wants rtscts or none, not '%s'", optarg);
      }
      options.line.flow = optarg;
      break;
    case 's': options.line.device = optarg; break;
    case 'b': options.line.speed = optarg; break;
    default: return badOption("unknown option '%s'", current);
    }
  }
  if (optind < argc) {
    return badOption("unexpected argument '%s'", argv[optind]);
  }
  return SERVE_OPTIONS_RUN;
}

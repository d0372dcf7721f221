// qelvo-serve's command line: where it listens, where captures go, where the
// token comes from, and the line options it hands to the capture side as
// given. Only the listening address and the handshake are judged here; the
// line's own values are judged with each job, as qelvo judges them.
#pragma once

#include <sys/socket.h>

#include <string>

#include "serve/jobs.h"

struct ServeOptions {
  sockaddr_storage listen{}; // the address to bind, port included
  socklen_t listenSize = 0;
  std::string dir = "captures";
  const char *tokenFile = nullptr; // nullptr: a new random token
  LineOptions line;
};

// What parseServeOptions returns when the program should go on.
inline constexpr int SERVE_OPTIONS_RUN = -1;

// SERVE_OPTIONS_RUN, or the exit status when --help or --version was
// answered (0) or an option was refused (3, with a message and the usage
// line on standard error).
int parseServeOptions(int argc, char *argv[], ServeOptions &options);

// "ADDR:PORT" or "[ADDR]:PORT" into a socket address; false when it is not
// one (a host name is looked up).
bool parseListenAddress(const char *text, sockaddr_storage &address, socklen_t &size);

// Entry point of qelvo-serve: the options, the token and the captures folder
// judged, the capture side prepared before any thread exists (so that every
// thread keeps the stop signals blocked), the web side started, and then this
// thread runs the captures until a stop signal.
#include <unistd.h>

#include "common/exit_status.h"
#include "serve/captures_dir.h"
#include "serve/http_server.h"
#include "serve/jobs.h"
#include "serve/serve_log.h"
#include "serve/serve_options.h"
#include "serve/token.h"

int main(int argc, char *argv[]) {
  keepServerLog();
  ServeOptions options;
  int status = parseServeOptions(argc, argv, options);
  if (status != SERVE_OPTIONS_RUN) {
    return status;
  }
  // The folder first: the token file may live in it.
  int dirFd = openCapturesDir(options.dir.c_str());
  if (dirFd < 0) {
    return EXIT_BAD_SETTINGS;
  }
  Token token;
  if (!loadToken(options.tokenFile, token)) {
    return EXIT_BAD_SETTINGS;
  }
  int listenFd = openListener(options.listen, options.listenSize);
  if (listenFd < 0) {
    return EXIT_BAD_SETTINGS;
  }
  prepareJobs(options.line, dirFd);
  if (!startServer(listenFd, dirFd, token)) {
    return EXIT_BAD_SETTINGS;
  }
  announceServer(listenFd, token);
  status = runJobs();
  stopServer();
  close(listenFd);
  return status;
}

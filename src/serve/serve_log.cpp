#include "serve/serve_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace {

int logFd = STDERR_FILENO;

} // namespace

void keepServerLog() {
  int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd >= 0) {
    logFd = fd;
  }
}

void restoreServerLog() {
  if (logFd != STDERR_FILENO) {
    dup2(logFd, STDERR_FILENO);
  }
}

void serveLog(const char *format, ...) {
  char line[1024];
  va_list values;
  va_start(values, format);
  int length = vsnprintf(line, sizeof line - 1, format, values);
  va_end(values);
  if (length < 0) {
    return;
  }
  size_t size =
      static_cast<size_t>(length) < sizeof line - 1 ? static_cast<size_t>(length) : sizeof line - 2;
  line[size++] = '\n';
  // One write per line, so that lines of several threads never interleave.
  ssize_t written = write(logFd, line, size);
  (void)written;
}

// Preloaded into a program under test, this stands in for fsync: it counts
// the calls on regular files and on directories and writes the counts, as
// "file N dir M\n", to the file named by QELVO_FSYNC_COUNTS after each call.
// With QELVO_FSYNC_FAILS set, fsync on a regular file fails with EIO, as on a
// card that is pulled out. Nothing is really synced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int fileCalls = 0;
int directoryCalls = 0;

void writeCounts() {
  const char *path = getenv("QELVO_FSYNC_COUNTS");
  if (path == nullptr) {
    return;
  }
  char text[64];
  int length = snprintf(text, sizeof text, "file %d dir %d\n", fileCalls, directoryCalls);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (write(fd, text, static_cast<size_t>(length)) != length) {
      fileCalls = -1000; // a count the test cannot mistake for a right one
    }
    close(fd);
  }
}

} // namespace

extern "C" int fsync(int fd) {
  int error = errno;
  struct stat node {};
  bool regular = fstat(fd, &node) == 0 && S_ISREG(node.st_mode);
  fileCalls += regular ? 1 : 0;
  directoryCalls += S_ISDIR(node.st_mode) ? 1 : 0;
  writeCounts();
  if (regular && getenv("QELVO_FSYNC_FAILS") != nullptr) {
    errno = EIO;
    return -1;
  }
  errno = error;
  return 0;
}

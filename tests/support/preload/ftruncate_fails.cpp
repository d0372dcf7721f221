// Preloaded into a program under test, this plays a file system that refuses
// to change a file's length: every ftruncate fails with EIO.
#include <sys/types.h>

#include <cerrno>

extern "C" {

int ftruncate(int, off_t) {
  errno = EIO;
  return -1;
}

int ftruncate64(int, off64_t) {
  errno = EIO;
  return -1;
}
}

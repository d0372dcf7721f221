#include "datafile/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "datafile/data_file.h"
#include "settings/settings.h"

namespace {

bool started = false;
bool hookInstalled = false;
// The file this run created, by path and identity, so that the exit hook
// never removes a file someone else put in its place. nullptr when the file
// was there before the run.
char *createdPath = nullptr;
dev_t createdDevice = 0;
ino_t createdInode = 0;

void forgetCreated() {
  free(createdPath);
  createdPath = nullptr;
}

void rememberCreated(const char *path, int fd) {
  forgetCreated();
  struct stat node {};
  if (path == nullptr || fstat(fd, &node) != 0) {
    return;
  }
  createdPath = strdup(path);
  createdDevice = node.st_dev;
  createdInode = node.st_ino;
}

// Opens without O_TRUNC; O_EXCL first tells whether this run creates it.
int openForWriting(const char *name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    rememberCreated(name, fd);
    return fd;
  }
  if (errno != EEXIST) {
    return -1;
  }
  fd = open(name, O_WRONLY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) {
    return fd;
  }
  // A symbolic link to a file that does not exist yet: create its target.
  fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    char *target = realpath(name, nullptr);
    rememberCreated(target, fd);
    free(target);
  }
  return fd;
}

} // namespace

FILE *openOutputFile(const char *name) {
  started = false;
  forgetCreated();
  int fd = openForWriting(name);
  if (fd < 0) {
    return nullptr;
  }
  FILE *file = fdopen(fd, "w");
  if (file == nullptr) {
    int error = errno;
    close(fd);
    discardUnstartedOutputFile();
    errno = error;
    return nullptr;
  }
  // The writer flushes the file whenever a line has waited 50 ms; in between,
  // a fast line fills 64 KiB, not 4 KiB, before a write is due. One data
  // file per run, so one buffer.
  static char buffer[65536];
  setvbuf(file, buffer, _IOFBF, sizeof buffer);
  if (!hookInstalled) {
    hookInstalled = atexit(discardUnstartedOutputFile) == 0;
  }
  return file;
}

bool startOutputFile(FILE *file) {
  started = true;
  forgetCreated();
  struct stat node {};
  if (fstat(fileno(file), &node) != 0 || !S_ISREG(node.st_mode)) {
    return true;
  }
  return ftruncate(fileno(file), 0) == 0;
}

bool outputFileStarted() { return started; }

void discardUnstartedOutputFile() {
  if (started || createdPath == nullptr) {
    return;
  }
  struct stat node {};
  if (lstat(createdPath, &node) == 0 && node.st_dev == createdDevice &&
      node.st_ino == createdInode) {
    unlink(createdPath);
  }
  forgetCreated();
}

bool closeOutputFile() {
  FILE *file = settings.outputFile;
  if (file == nullptr) {
    return true;
  }
  settings.outputFile = nullptr;
  bool written = fflush(file) == 0 && ferror(file) == 0 && !dataFileWriteFailed();
  bool closed = fclose(file) == 0;
  discardUnstartedOutputFile();
  return closed && written;
}

#include "datafile/output_file.h"

#include <fcntl.h>
#include <libgen.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "datafile/data_file.h"
#include "settings/settings.h"

namespace {

bool started = false;
bool standardOutput = false; // the data goes to standard output (operand "-")
bool hookInstalled = false;
// The file this run created, by path and identity, so that the exit hook
// never removes a file someone else put in its place. nullptr when the file
// was there before the run.
char *createdPath = nullptr;
dev_t createdDevice = 0;
ino_t createdInode = 0;
// The directory that gained the file's name in this run, kept after the
// capture starts: the new entry must reach the disk as well as the data.
char *createdDirectory = nullptr;

void forgetCreated() {
  free(createdPath);
  createdPath = nullptr;
}

void forgetCreatedDirectory() {
  free(createdDirectory);
  createdDirectory = nullptr;
}

void rememberCreated(const char *path, int fd) {
  forgetCreated();
  forgetCreatedDirectory();
  struct stat node {};
  if (path == nullptr || fstat(fd, &node) != 0) {
    return;
  }
  createdPath = strdup(path);
  createdDevice = node.st_dev;
  createdInode = node.st_ino;
  char *copy = strdup(path);
  createdDirectory = copy != nullptr ? strdup(dirname(copy)) : nullptr;
  free(copy);
}

// Opens without O_TRUNC; O_EXCL first tells whether this run creates it.
int openForWriting(const char *name, bool createOnly) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    rememberCreated(name, fd);
    return fd;
  }
  if (errno != EEXIST || createOnly) {
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

FILE *openStream(const char *name, bool createOnly) {
  started = false;
  forgetCreated();
  forgetCreatedDirectory();
  standardOutput = !createOnly && strcmp(name, "-") == 0;
  if (standardOutput) {
    static char buffer[65536];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return stdout;
  }
  int fd = openForWriting(name, createOnly);
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
  // file open at a time, so one buffer.
  static char buffer[65536];
  setvbuf(file, buffer, _IOFBF, sizeof buffer);
  if (!hookInstalled) {
    hookInstalled = atexit(discardUnstartedOutputFile) == 0;
  }
  return file;
}

} // namespace

FILE *openOutputFile(const char *name) { return openStream(name, false); }

FILE *createOutputFile(const char *name) { return openStream(name, true); }

bool startOutputFile(FILE *file) {
  started = true;
  forgetCreated();
  // Standard output is never emptied: it may be a file the shell appends to.
  if (standardOutput) {
    return true;
  }
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
  forgetCreatedDirectory();
}

namespace {

int samplesKept = 0;

// A second descriptor on the data file for reading it back; the stream's own
// is write-only. -1 when the file cannot be read.
int openForReading(int fd) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  int reader = open(path, O_RDONLY | O_CLOEXEC);
  return reader >= 0 ? reader : open(settings.outputName, O_RDONLY | O_CLOEXEC);
}

// The size of the file up to the end of its last line feed.
off_t endOfLastLine(int reader, off_t size) {
  char block[4096];
  for (off_t end = size; end > 0;) {
    off_t start = end > static_cast<off_t>(sizeof block) ? end - sizeof block : 0;
    ssize_t got = pread(reader, block, static_cast<size_t>(end - start), start);
    if (got != end - start) {
      return -1;
    }
    for (ssize_t i = got; i > 0; --i) {
      if (block[i - 1] == '\n') {
        return start + i;
      }
    }
    end = start;
  }
  return 0;
}

// Lines of the file that do not start with "#".
int countSampleLines(int reader) {
  char block[65536];
  int lines = 0;
  bool atLineStart = true;
  bool sample = false;
  ssize_t got;
  off_t at = 0;
  while ((got = pread(reader, block, sizeof block, at)) > 0) {
    for (ssize_t i = 0; i < got; ++i) {
      if (atLineStart) {
        sample = block[i] != '#';
      }
      atLineStart = block[i] == '\n';
      lines += atLineStart && sample ? 1 : 0;
    }
    at += got;
  }
  return lines;
}

// A write to a regular data file failed (disk full, a file-size limit): what
// stdio still holds is dropped, and the file is cut back to the end of its
// last complete line, so that every line in it is whole, and the sample
// lines left are counted.
void keepWholeLines(FILE *file) {
  int fd = fileno(file);
  struct stat node {};
  if (fstat(fd, &node) != 0 || !S_ISREG(node.st_mode)) {
    return;
  }
  int reader = openForReading(fd);
  if (reader < 0) {
    return;
  }
  off_t end = endOfLastLine(reader, node.st_size);
  // A file that cannot be cut keeps its broken last line; the run fails
  // with status 6 all the same.
  if (end >= 0 && end < node.st_size && ftruncate(fd, end) != 0) {
    noteDataFileWriteFailure(errno);
  }
  samplesKept = countSampleLines(reader);
  close(reader);
}

// A file system that cannot sync this kind of file (EINVAL) has nothing
// more to offer; any other failure means the data may not be on the disk.
bool synced(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

// A capture that was written whole is made durable: a power cut a moment
// later must not take it, nor the name of a file this run created.
bool makeDurable(FILE *file) {
  struct stat node {};
  if (!started || fstat(fileno(file), &node) != 0 || !S_ISREG(node.st_mode)) {
    return true;
  }
  if (!synced(fileno(file))) {
    return false;
  }
  if (createdDirectory == nullptr) {
    return true;
  }
  // A directory we may not read cannot be synced by us; the file still is.
  int directory = open(createdDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok = directory < 0 || synced(directory);
  if (directory >= 0) {
    close(directory);
  }
  return ok;
}

} // namespace

bool closeOutputFile() {
  FILE *file = settings.outputFile;
  if (file == nullptr) {
    return true;
  }
  settings.outputFile = nullptr;
  bool flushed = flushDataFileNow() && ferror(file) == 0;
  if (!flushed) {
    noteDataFileWriteFailure(errno); // a failure noted earlier keeps its cause
  }
  samplesKept = dataFileSamplesFlushed();
  if (!flushed && started && !standardOutput) {
    __fpurge(file); // a later write could land after a gap
    keepWholeLines(file);
  }
  bool written = flushed && !dataFileWriteFailed();
  if (written && !standardOutput && !makeDurable(file)) {
    noteDataFileWriteFailure(errno);
    written = false;
  }
  bool closed = standardOutput || fclose(file) == 0;
  if (!closed) {
    noteDataFileWriteFailure(errno);
  }
  discardUnstartedOutputFile();
  forgetCreatedDirectory();
  return closed && written;
}

int outputFileSamplesKept() { return samplesKept; }

bool outputIsStandardOutput() { return standardOutput; }

void cannotOpenOutputMessage(const char *name) {
  fprintf(stderr, "*** Error: Cannot open output file '%s' ***\n", name);
}

#include "datafile/output_file.h"

#include <fcntl.h>
#include <libgen.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/error_line.h"
#include "datafile/data_file.h"
#include "datafile/file_pattern.h"
#include "datafile/session_file.h"
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

// The session file in progress: its temporary file while that exists, where
// it goes, and for a series how to name the next number.
bool session = false;
std::string sessionTemp;
std::string sessionTarget;
std::string sessionPattern; // empty for a single capture
int sessionNumber = 0;
time_t sessionStart = 0;

void discardSessionTemp() {
  if (!sessionTemp.empty()) {
    unlink(sessionTemp.c_str());
    sessionTemp.clear();
  }
}

void discardAtExit() {
  discardSessionTemp();
  discardUnstartedOutputFile();
}

void installExitHook() {
  if (!hookInstalled) {
    hookInstalled = atexit(discardAtExit) == 0;
  }
}

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
  installExitHook();
  return file;
}

} // namespace

FILE *openOutputFile(const char *name) { return openStream(name, false); }

FILE *createOutputFile(const char *name) { return openStream(name, true); }

namespace {

std::string folderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file beside `target`: a name of our own, created here, with
// the permissions `mode` when it replaces a file (-1 for a new one).
FILE *openSession(const std::string &target, int mode) {
  started = false;
  standardOutput = false;
  forgetCreated();
  forgetCreatedDirectory();
  discardSessionTemp();
  session = true;
  sessionTarget = target;
  static unsigned serial = 0;
  std::string folder = folderOf(target);
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    char base[64];
    snprintf(base, sizeof base, "/.qelvo-%ld-%u.part", static_cast<long>(getpid()), ++serial);
    sessionTemp = folder + base;
    fd = open(sessionTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd >= 0 && mode >= 0) {
    fchmod(fd, static_cast<mode_t>(mode));
  }
  FILE *file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (file == nullptr) {
    int error = errno;
    if (fd >= 0) {
      close(fd);
    }
    sessionTemp = fd >= 0 ? sessionTemp : "";
    discardSessionTemp();
    session = false;
    errno = error;
    return nullptr;
  }
  installExitHook();
  return file;
}

} // namespace

FILE *openSessionFile(const char *name) {
  struct stat node {};
  bool exists = stat(name, &node) == 0;
  if (strcmp(name, "-") == 0 || (exists && !S_ISREG(node.st_mode))) {
    return openOutputFile(name);
  }
  // A file we may not write stays as it is, as the text formats leave it.
  if (exists && access(name, W_OK) != 0) {
    return nullptr;
  }
  // A symbolic link keeps pointing where it did; its file is replaced.
  char *real = realpath(name, nullptr);
  std::string target = real != nullptr ? real : name;
  free(real);
  sessionPattern.clear();
  return openSession(target, exists ? static_cast<int>(node.st_mode & 07777) : -1);
}

FILE *createSessionFile(const char *name, const char *pattern, int number, time_t start) {
  FILE *file = openSession(name, -1);
  sessionPattern = pattern;
  sessionNumber = number;
  sessionStart = start;
  return file;
}

const char *sessionFileName() { return sessionTarget.c_str(); }

int sessionFileNumber() { return sessionNumber; }

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
  // QELVO_DROP_FILE_SYNC and QELVO_DROP_DIR_SYNC: test builds only, which
  // show that `make crash-test` notices either sync missing.
#ifndef QELVO_DROP_FILE_SYNC
  if (!synced(fileno(file))) {
    return false;
  }
#endif
  if (createdDirectory == nullptr) {
    return true;
  }
  // A directory we may not read cannot be synced by us; the file still is.
  int directory = open(createdDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifndef QELVO_DROP_DIR_SYNC
  bool ok = directory < 0 || synced(directory);
#else
  bool ok = true;
#endif
  if (directory >= 0) {
    close(directory);
  }
  return ok;
}

bool syncFolder(const std::string &folder) {
  int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok = directory < 0 || synced(directory);
  if (directory >= 0) {
    close(directory);
  }
  return ok;
}

// Moves the temporary file to `target` without ever replacing a file there;
// false with errno set. Without RENAME_NOREPLACE, a hard link does the same.
bool moveWithoutReplacing(const std::string &target) {
  if (renameat2(AT_FDCWD, sessionTemp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  if (link(sessionTemp.c_str(), target.c_str()) != 0) {
    return false;
  }
  unlink(sessionTemp.c_str());
  return true;
}

// The synced session file goes into place: a single capture's replaces the
// file there, a series' takes the next free number.
bool moveSessionIntoPlace() {
  if (sessionPattern.empty()) {
    if (rename(sessionTemp.c_str(), sessionTarget.c_str()) != 0) {
      return false;
    }
  } else {
    while (!moveWithoutReplacing(sessionTarget)) {
      char name[PATH_MAX];
      int number = errno == EEXIST ? seriesFileName(sessionPattern.c_str(), sessionStart,
                                                    sessionNumber, name, sizeof name)
                                   : -1;
      if (number < 0) {
        return false;
      }
      sessionNumber = number;
      sessionTarget = name;
      settings.outputName = sessionTarget.c_str();
    }
  }
  sessionTemp.clear();
  return syncFolder(folderOf(sessionTarget));
}

// The end of a session file: the archive of a capture with samples is
// written, synced and moved into place; otherwise, or when any of that fails,
// the temporary file goes and whatever had the name stays.
bool closeSessionFile(FILE *file) {
  session = false;
  bool written = flushDataFileNow() && ferror(file) == 0 && !dataFileWriteFailed();
  samplesKept = dataFileSamplesFlushed();
  bool keep = started && samplesKept > 0;
  if (keep && written) {
    written = writeSessionFile(file) && fflush(file) == 0 && synced(fileno(file));
  }
  int error = errno; // the cause of a failed step, for the message
  bool closed = fclose(file) == 0;
  error = closed ? error : errno;
  bool moved = keep && written && closed && moveSessionIntoPlace();
  error = keep && written && closed && !moved ? errno : error;
  discardSessionTemp();
  if (!written || !closed || (keep && !moved)) {
    noteDataFileWriteFailure(error); // a failure noted earlier keeps its cause
    samplesKept = 0;
    return false;
  }
  return true;
}

} // namespace

bool closeOutputFile() {
  FILE *file = settings.outputFile;
  if (file == nullptr) {
    return true;
  }
  settings.outputFile = nullptr;
  if (session) {
    return closeSessionFile(file);
  }
  // A session file written in place, to a FIFO say.
  if (settings.format == FORMAT_SR && started && !writeSessionFile(file)) {
    noteDataFileWriteFailure(errno);
  }
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

void cannotOpenOutputMessage(const char *name) { errorLine("Cannot open output file '%s'", name); }

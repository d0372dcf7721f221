// Helpers shared by the unit and end-to-end tests: scoped temporary
// directories, whole-file reads, child processes with captured output and
// pseudo-terminal pairs.
#pragma once

#include <functional>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

struct ProcessResult {
  int exitStatus = -1; // exit code, or -1 when killed
  int signal = 0;      // terminating signal, 0 when it exited
  std::string out;
  std::string err;
};

// Runs `fn` in a forked child with standard output and error captured; the
// child's status is what `fn` passes to exit, or 0 when it returns.
ProcessResult runInChild(const std::function<void()> &fn);

struct ProcessOptions {
  std::vector<std::string> env; // "NAME=value" added; "NAME" alone unsets
  std::string cwd;              // empty: inherit
};

// Runs a program to its end and captures its output.
ProcessResult runProgram(const std::vector<std::string> &argv, const ProcessOptions &options = {});

// A started child process whose output goes to files; for programs that run
// alongside the test (the virtual scope) or must be signalled.
class Child {
public:
  // `errDevice`, when given, takes standard error instead of a file (a
  // terminal, say); currentErr() then reads nothing.
  Child(const std::vector<std::string> &argv, const ProcessOptions &options = {},
        const std::string &errDevice = "");
  ~Child(); // kills and reaps the child if it is still running
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  int pid() const { return pid_; }
  void kill(int sig);
  // Waits for the end (up to timeoutMs, then SIGKILL) and returns the result.
  ProcessResult wait(int timeoutMs = 30000);
  std::string currentOut() const;
  std::string currentErr() const;

private:
  int pid_ = -1;
  TempDir dir_;
  bool reaped_ = false;
};

// A pseudo-terminal pair: the test plays the device on `master`, the code
// under test uses `slavePath` or `slave`.
class PtyPair {
public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
  int master = -1;
  int slave = -1;
  std::string slavePath;
  // Bytes written by the code under test, waiting up to timeoutMs of silence.
  std::string readMaster(int timeoutMs = 100);
  void writeMaster(const std::string &bytes);
};

// Everything readable from `fd` until it has been quiet for quietMs.
std::string readUntilQuiet(int fd, int quietMs);

// Polls `condition` every few milliseconds for up to timeoutMs.
bool waitFor(const std::function<bool()> &condition, int timeoutMs);

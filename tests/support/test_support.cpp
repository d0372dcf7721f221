#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qelvo-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

static void decodeStatus(int status, ProcessResult &result) {
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
}

ProcessResult runInChild(const std::function<void()> &fn) {
  TempDir dir;
  std::string outPath = dir.file("out");
  std::string errPath = dir.file("err");
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    fn();
    exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ProcessResult result;
  decodeStatus(status, result);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

static void execChild(const std::vector<std::string> &argv, const ProcessOptions &options,
                      const std::string &outPath, const std::string &errPath,
                      const std::string &errDevice) {
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = errDevice.empty() ? open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                              : open(errDevice.c_str(), O_WRONLY | O_NOCTTY);
  int nullIn = open("/dev/null", O_RDONLY);
  dup2(nullIn, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (const std::string &entry : options.env) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      unsetenv(entry.c_str());
    } else {
      setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
  }
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
    _exit(126);
  }
  // Start each program in its own process group with default signal
  // handling, whatever the test runner set up.
  setpgid(0, 0);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  std::vector<char *> args;
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

Child::Child(const std::vector<std::string> &argv, const ProcessOptions &options,
             const std::string &errDevice) {
  fflush(stdout);
  fflush(stderr);
  std::string outPath = dir_.file("out");
  std::string errPath = dir_.file("err");
  pid_ = fork();
  if (pid_ == 0) {
    execChild(argv, options, outPath, errPath, errDevice);
  }
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Child::kill(int sig) { ::kill(pid_, sig); }

ProcessResult Child::wait(int timeoutMs) {
  ProcessResult result;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!reaped_) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      reaped_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  decodeStatus(status, result);
  result.out = currentOut();
  result.err = currentErr();
  return result;
}

std::string Child::currentOut() const { return readFile(dir_.file("out")); }
std::string Child::currentErr() const { return readFile(dir_.file("err")); }

ProcessResult runProgram(const std::vector<std::string> &argv, const ProcessOptions &options) {
  Child child(argv, options);
  return child.wait();
}

PtyPair::PtyPair() {
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  slavePath = name;
  // The device side starts raw, as a real serial port would not echo.
  termios attributes{};
  tcgetattr(slave, &attributes);
  cfmakeraw(&attributes);
  tcsetattr(slave, TCSANOW, &attributes);
}

PtyPair::~PtyPair() {
  close(master);
  close(slave);
}

std::string readUntilQuiet(int fd, int quietMs) {
  std::string bytes;
  pollfd pfd{fd, POLLIN, 0};
  while (poll(&pfd, 1, quietMs) > 0 && (pfd.revents & POLLIN) != 0) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

std::string PtyPair::readMaster(int timeoutMs) { return readUntilQuiet(master, timeoutMs); }

void PtyPair::writeMaster(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      throw std::runtime_error("write to pty master failed");
    }
    done += static_cast<size_t>(n);
  }
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

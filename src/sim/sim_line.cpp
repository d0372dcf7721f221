#include "sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>

volatile sig_atomic_t stopRequested = 0;

static const int64_t NS_PER_S = 1000000000;
static const int BITS_PER_CHAR = 10;
// Like a serial adapter that hands the host what has come in when its 2 ms
// latency timer expires, paced bytes reach the line in groups spanning at
// least 2 ms (one character at slow speeds); a group leaves when its last
// byte is due, so the reply as a whole keeps the line's pace.
static const int64_t GROUP_NS = 2000000;
// A reply the tool has not read for this long is abandoned: the tool is gone.
static const int STALL_LIMIT_MS = 5000;

static int64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * NS_PER_S + now.tv_nsec;
}

static void sleepUntil(int64_t ns) {
  timespec until{};
  until.tv_sec = ns / NS_PER_S;
  until.tv_nsec = ns % NS_PER_S;
  // A signal cuts the sleep short; the caller then sees the stop request.
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// When byte `index` (counted from the origin) is due to have left the line.
static int64_t dueNs(const SimLine &line, long index) {
  long double charNs = static_cast<long double>(BITS_PER_CHAR) * NS_PER_S / line.baud;
  return line.originNs + static_cast<int64_t>(std::ceil(charNs * index));
}

bool openSimLine(SimLine &line, const SimOptions &options) {
  char name[PATH_MAX];
  if (openpty(&line.master, &line.slave, name, nullptr, nullptr) != 0) {
    return false;
  }
  line.slavePath = name;
  termios attributes{};
  tcgetattr(line.slave, &attributes);
  cfmakeraw(&attributes);
  tcsetattr(line.slave, TCSANOW, &attributes);
  fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
  line.pace = options.pace;
  line.paceBaud = options.paceBaud;
  return true;
}

void closeSimLine(SimLine &line) {
  close(line.master);
  close(line.slave);
  line.master = line.slave = -1;
}

long baudOfCode(speed_t code) {
  static const struct {
    speed_t code;
    long baud;
  } speeds[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  for (const auto &entry : speeds) {
    if (entry.code == code) {
      return entry.baud;
    }
  }
  return 0;
}

static long currentBaud(const SimLine &line) {
  if (line.pace == PACE_NONE) {
    return 0;
  }
  if (line.pace == PACE_FIXED) {
    return line.paceBaud;
  }
  termios attributes{};
  if (tcgetattr(line.slave, &attributes) != 0) {
    return 0;
  }
  return baudOfCode(cfgetospeed(&attributes));
}

void beginReply(SimLine &line) {
  int64_t lineFree = line.baud > 0 ? dueNs(line, line.sentSinceOrigin) : 0;
  int64_t now = nowNs();
  line.originNs = now > lineFree ? now : lineFree;
  line.sentSinceOrigin = 0;
  line.baud = currentBaud(line);
}

// Writes all of `bytes` to the non-blocking master, waiting while the pty's
// small buffer is full.
static bool writeAll(SimLine &line, const char *bytes, size_t count) {
  int64_t stalledSince = 0;
  while (count > 0 && !stopRequested) {
    ssize_t written = write(line.master, bytes, count);
    if (written > 0) {
      bytes += written;
      count -= static_cast<size_t>(written);
      stalledSince = 0;
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    int64_t now = nowNs();
    if (stalledSince == 0) {
      stalledSince = now;
    } else if (now - stalledSince > STALL_LIMIT_MS * (NS_PER_S / 1000)) {
      tcflush(line.slave, TCIFLUSH);
      return false;
    }
    pollfd writable{line.master, POLLOUT, 0};
    poll(&writable, 1, 100);
  }
  return count == 0;
}

// Characters in one group at the reply's speed.
static size_t groupSize(const SimLine &line) {
  long double perGroup =
      std::ceil(static_cast<long double>(GROUP_NS) * line.baud / (BITS_PER_CHAR * NS_PER_S));
  return perGroup < 1 ? 1 : static_cast<size_t>(perGroup);
}

bool sendReply(SimLine &line, const char *bytes, size_t count) {
  if (line.baud <= 0) {
    return writeAll(line, bytes, count);
  }
  size_t group = groupSize(line);
  while (count > 0 && !stopRequested) {
    int64_t now = nowNs();
    long groupEnd = line.sentSinceOrigin + static_cast<long>(group < count ? group : count);
    int64_t next = dueNs(line, groupEnd);
    if (now < next) {
      sleepUntil(next);
      continue;
    }
    // Every byte whose time has come goes out in one write, so a late wake-up
    // catches up instead of stretching the reply.
    long double elapsed = static_cast<long double>(now - line.originNs);
    long due =
        static_cast<long>(elapsed * line.baud / (BITS_PER_CHAR * NS_PER_S)) - line.sentSinceOrigin;
    size_t batch = due < 1 ? 1 : static_cast<size_t>(due);
    batch = batch < count ? batch : count;
    if (!writeAll(line, bytes, batch)) {
      return false;
    }
    bytes += batch;
    count -= batch;
    line.sentSinceOrigin += static_cast<long>(batch);
  }
  return count == 0;
}

bool pauseReply(SimLine &line, long ms) {
  int64_t lineFree = line.baud > 0 ? dueNs(line, line.sentSinceOrigin) : nowNs();
  line.originNs = lineFree + ms * 1000000;
  line.sentSinceOrigin = 0;
  while (!stopRequested && nowNs() < line.originNs) {
    sleepUntil(line.originNs);
  }
  return !stopRequested;
}

bool makeLink(const SimLine &line, const std::string &path) {
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISLNK(existing.st_mode)) {
      errno = EEXIST;
      return false;
    }
    unlink(path.c_str());
  }
  return symlink(line.slavePath.c_str(), path.c_str()) == 0;
}

void removeLink(const SimLine &line, const std::string &path) {
  char target[PATH_MAX];
  ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  if (length < 0) {
    return;
  }
  target[length] = '\0';
  if (line.slavePath == target) {
    unlink(path.c_str());
  }
}

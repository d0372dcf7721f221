#include "sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
  until.tv_nsec = static_cast<long>(ns % NS_PER_S);
  // A signal cuts the sleep short; the caller then sees the stop request.
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// When byte `index` (counted from the origin) is due to have left the line.
static int64_t dueNs(const SimLine &line, long index) {
  long double charNs = static_cast<long double>(BITS_PER_CHAR) * NS_PER_S / line.baud;
  return line.originNs + static_cast<int64_t>(std::ceil(charNs * index));
}

static bool nonBlocking(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0; }

static bool openOwnPty(SimLine &line) {
  char name[PATH_MAX];
  if (openpty(&line.fd, &line.toolEnd, name, nullptr, nullptr) != 0) {
    return false;
  }
  line.path = name;
  termios attributes{};
  tcgetattr(line.toolEnd, &attributes);
  cfmakeraw(&attributes);
  tcsetattr(line.toolEnd, TCSANOW, &attributes);
  return nonBlocking(line.fd);
}

// A cable to the tool has no modem lines worth waiting for: the scope talks
// whatever CTS and carrier say. A fixed pace is also the port's speed.
static bool openTty(SimLine &line, const SimOptions &options) {
  line.fd = open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd < 0) {
    return false;
  }
  if (tcgetattr(line.fd, &line.foundTty) != 0) {
    return false;
  }
  termios attributes = line.foundTty;
  cfmakeraw(&attributes);
  attributes.c_cflag = (attributes.c_cflag & ~CRTSCTS) | CLOCAL | CREAD;
  // A real cable garbles a mismatch of its own: the scope's speed is the port's.
  speed_t code = options.pace == PACE_FIXED ? codeOfBaud(options.paceBaud)
                 : options.scopeSpeed > 0   ? codeOfBaud(options.scopeSpeed)
                                            : B0;
  if (code != B0) {
    cfsetispeed(&attributes, code);
    cfsetospeed(&attributes, code);
  }
  return tcsetattr(line.fd, TCSANOW, &attributes) == 0;
}

static bool socketAddress(const std::string &path, sockaddr_un &address) {
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  path.copy(address.sun_path, path.size());
  address.sun_path[path.size()] = '\0';
  return true;
}

// An old socket left at the path is replaced; any other file there stays.
static bool openListener(SimLine &line) {
  sockaddr_un address{};
  if (!socketAddress(line.path, address)) {
    return false;
  }
  struct stat existing {};
  if (lstat(line.path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      errno = EEXIST;
      return false;
    }
    unlink(line.path.c_str());
  }
  line.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return line.listener >= 0 &&
         bind(line.listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
         listen(line.listener, 1) == 0;
}

static bool openConnection(SimLine &line) {
  sockaddr_un address{};
  if (!socketAddress(line.path, address)) {
    return false;
  }
  line.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return line.fd >= 0 &&
         connect(line.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
         nonBlocking(line.fd);
}

bool openSimLine(SimLine &line, const SimOptions &options) {
  line.kind = options.link;
  line.path = options.linkTarget;
  line.pace = options.pace;
  line.paceBaud = options.paceBaud;
  line.delivery = options.delivery;
  line.scopeSpeed = options.scopeSpeed;
  line.mismatch = options.mismatch;
  if (line.delivery == DELIVERY_BYTES) {
    // One character lasts 22 us at 460800 bit/s; the default timer slack of
    // 50 us would wake us for several at a time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  switch (line.kind) {
  case LINK_OWN_PTY: return openOwnPty(line);
  case LINK_TTY: return openTty(line, options);
  case LINK_LISTEN: return openListener(line);
  case LINK_CONNECT: return openConnection(line);
  }
  return false;
}

bool awaitTool(SimLine &line) {
  if (line.kind != LINK_LISTEN) {
    return true;
  }
  while (!stopRequested) {
    line.fd = accept4(line.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (line.fd >= 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
  return false;
}

void closeSimLine(SimLine &line) {
  if (line.kind == LINK_TTY && line.fd >= 0) {
    tcsetattr(line.fd, TCSANOW, &line.foundTty);
  }
  if (line.listener >= 0) {
    close(line.listener);
    unlink(line.path.c_str());
  }
  close(line.fd);
  close(line.toolEnd);
  line.fd = line.toolEnd = line.listener = -1;
}

bool peerClosed(const SimLine &line, ssize_t readResult) {
  bool socketLink = line.kind == LINK_LISTEN || line.kind == LINK_CONNECT;
  return socketLink && (readResult == 0 || (errno != EAGAIN && errno != EINTR));
}

void discardToolInput(SimLine &line) {
  if (line.toolEnd >= 0) {
    tcflush(line.toolEnd, TCIFLUSH);
  }
}

static const struct {
  speed_t code;
  long baud;
} SPEEDS[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

long baudOfCode(speed_t code) {
  for (const auto &entry : SPEEDS) {
    if (entry.code == code) {
      return entry.baud;
    }
  }
  return 0;
}

speed_t codeOfBaud(long baud) {
  for (const auto &entry : SPEEDS) {
    if (entry.baud == baud) {
      return entry.code;
    }
  }
  return B0;
}

// The speed the tool set on the line; 0 on a socket, which has none.
static long toolBaud(const SimLine &line) {
  termios attributes{};
  if (tcgetattr(line.toolEnd >= 0 ? line.toolEnd : line.fd, &attributes) != 0) {
    return 0;
  }
  return baudOfCode(cfgetospeed(&attributes));
}

static long currentBaud(const SimLine &line) {
  if (line.pace == PACE_NONE) {
    return 0;
  }
  if (line.pace == PACE_FIXED) {
    return line.paceBaud;
  }
  return toolBaud(line); // on a socket unpaced
}

// The tool's line speed when it differs from the scope's own, else 0. Only
// the scope's own pty needs the mismatch played: it has no bits to garble.
static long mismatchedBaud(const SimLine &line) {
  long tool = line.scopeSpeed > 0 && line.kind == LINK_OWN_PTY ? toolBaud(line) : 0;
  return tool > 0 && tool != line.scopeSpeed ? tool : 0;
}

namespace {

// The level of a line that carries `bytes` back to back from time 0, each
// bit `bitNs` long: idle (1) before and after, a start bit (0), the data bits
// from the lowest, a stop bit (1).
struct SentBits {
  const char *bytes;
  size_t count;
  long double bitNs;

  int at(long double ns) const {
    if (ns < 0) {
      return 1;
    }
    auto bit = static_cast<size_t>(ns / bitNs);
    size_t character = bit / BITS_PER_CHAR;
    size_t position = bit % BITS_PER_CHAR;
    if (character >= count || position == BITS_PER_CHAR - 1) {
      return 1;
    }
    return position == 0 ? 0 : (static_cast<unsigned char>(bytes[character]) >> (position - 1)) & 1;
  }
};

} // namespace

std::string misread(const char *bytes, size_t count, long sentBaud, long readBaud) {
  SentBits line{bytes, count, static_cast<long double>(NS_PER_S) / sentBaud};
  long double readBitNs = static_cast<long double>(NS_PER_S) / readBaud;
  std::string heard;
  long double listening = 0; // the receiver hunts for a start from here on
  // A falling edge can only come where a sent bit begins.
  for (size_t edge = 0; edge < count * BITS_PER_CHAR; ++edge) {
    long double start = edge * line.bitNs;
    if (start < listening || line.at(start - line.bitNs / 2) == 0 || line.at(start) != 0) {
      continue;
    }
    if (line.at(start + readBitNs / 2) != 0) {
      continue; // a glitch, not a start bit
    }
    unsigned value = 0;
    for (int bit = 0; bit < 8; ++bit) {
      value |= static_cast<unsigned>(line.at(start + (bit + 1.5L) * readBitNs)) << bit;
    }
    heard += static_cast<char>(value);
    listening = start + (BITS_PER_CHAR - 0.5L) * readBitNs;
  }
  return heard;
}

std::string heardByScope(const SimLine &line, const char *bytes, size_t count) {
  long tool = mismatchedBaud(line);
  if (tool == 0) {
    return std::string(bytes, count);
  }
  return line.mismatch == MISMATCH_SILENT ? std::string()
                                          : misread(bytes, count, tool, line.scopeSpeed);
}

void beginReply(SimLine &line) {
  int64_t lineFree = line.baud > 0 ? dueNs(line, line.sentSinceOrigin) : 0;
  int64_t now = nowNs();
  line.originNs = now > lineFree ? now : lineFree;
  line.sentSinceOrigin = 0;
  line.baud = currentBaud(line);
}

// Writes all of `bytes` to the non-blocking line, waiting while its
// small buffer is full.
static bool writeAll(SimLine &line, const char *bytes, size_t count) {
  int64_t stalledSince = 0;
  while (count > 0 && !stopRequested) {
    ssize_t written = write(line.fd, bytes, count);
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
      discardToolInput(line);
      return false;
    }
    pollfd writable{line.fd, POLLOUT, 0};
    poll(&writable, 1, 100);
  }
  return count == 0;
}

// Characters in one group at the reply's speed.
static size_t groupSize(const SimLine &line) {
  if (line.delivery == DELIVERY_BYTES) {
    return 1;
  }
  long double perGroup =
      std::ceil(static_cast<long double>(GROUP_NS) * line.baud / (BITS_PER_CHAR * NS_PER_S));
  return perGroup < 1 ? 1 : static_cast<size_t>(perGroup);
}

static bool sendPaced(SimLine &line, const char *bytes, size_t count);

bool sendReply(SimLine &line, const char *bytes, size_t count) {
  long tool = mismatchedBaud(line);
  if (tool == 0) {
    return sendPaced(line, bytes, count);
  }
  if (line.mismatch == MISMATCH_SILENT) {
    return true; // lost on the way, as what the scope hears is
  }
  std::string garbled = misread(bytes, count, line.scopeSpeed, tool);
  return sendPaced(line, garbled.data(), garbled.size());
}

static bool sendPaced(SimLine &line, const char *bytes, size_t count) {
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
    // catches up instead of stretching the reply; byte by byte, each has a
    // write of its own, back to back.
    long double elapsed = static_cast<long double>(now - line.originNs);
    long due =
        static_cast<long>(elapsed * line.baud / (BITS_PER_CHAR * NS_PER_S)) - line.sentSinceOrigin;
    size_t batch = due < 1 || line.delivery == DELIVERY_BYTES ? 1 : static_cast<size_t>(due);
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
  return symlink(line.path.c_str(), path.c_str()) == 0;
}

void removeLink(const SimLine &line, const std::string &path) {
  char target[PATH_MAX];
  ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  if (length < 0) {
    return;
  }
  target[length] = '\0';
  if (line.path == target) {
    unlink(path.c_str());
  }
}

// Runs in the test machine of `make vm-test`: starts a command (qelvo) on
// PORT and, once COUNT bytes have left the port, drops CTS so that the
// driver holds back what the command sends next, the way a scope that
// lowers CTS would. Prints how many bytes left the port after that and how
// many are still queued once the command has ended; both must be 0: the
// command must neither send its held-back bytes after giving the port its
// settings back nor leave them behind.
//
//   qelvo-vm-hold PORT COUNT COMMAND...     (status: the command's)
//
// On a socket QEMU's UART reads its modem lines high; in loopback CTS
// follows RTS, which this drops. The driver looks at CTS again when the
// settings change, which a flip of HUPCL there and back brings about.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The UART's loopback bit for TIOCMSET, as the kernel numbers it (the C
// library's headers leave it out).
constexpr int MODEM_LOOP = 0x8000;

int transmitted(int fd) {
  serial_icounter_struct counts{};
  return ioctl(fd, TIOCGICOUNT, &counts) == 0 ? counts.tx : -1;
}

bool dropCts(int fd) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) {
    return false;
  }
  lines = (lines | MODEM_LOOP) & ~TIOCM_RTS;
  termios settings{};
  if (ioctl(fd, TIOCMSET, &lines) != 0 || tcgetattr(fd, &settings) != 0) {
    return false;
  }
  termios flipped = settings;
  flipped.c_cflag ^= HUPCL;
  return tcsetattr(fd, TCSANOW, &flipped) == 0 && tcsetattr(fd, TCSANOW, &settings) == 0;
}

void raiseCts(int fd) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) == 0) {
    lines = (lines & ~MODEM_LOOP) | TIOCM_RTS;
    ioctl(fd, TIOCMSET, &lines);
  }
}

} // namespace

int main(int argc, char *argv[]) {
  if (argc < 4) {
    fprintf(stderr, "usage: qelvo-vm-hold PORT COUNT COMMAND...\n");
    return 2;
  }
  // Held open, the port keeps its queue and loopback when the command closes it.
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  int start = fd < 0 ? -1 : transmitted(fd);
  if (start < 0) {
    perror(argv[1]);
    return 2;
  }
  int holdAt = start + atoi(argv[2]);
  pid_t child = fork();
  if (child == 0) {
    close(fd);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  bool held = false;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (!held && transmitted(fd) >= holdAt) {
      held = true;
      if (!dropCts(fd)) {
        perror("qelvo-vm-hold: CTS");
      }
    }
    usleep(500);
  }
  int queued = -1;
  ioctl(fd, TIOCOUTQ, &queued);
  int after = held ? transmitted(fd) - holdAt : -1;
  printf("%d %d\n", after, queued);
  tcflush(fd, TCOFLUSH);
  raiseCts(fd);
  close(fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#include "serve/token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static bool randomToken(Token &token) {
  unsigned char bytes[TOKEN_DIGITS / 2];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno != EINTR) {
      fprintf(stderr, "qelvo-serve: no random numbers for the token: %s\n", strerror(errno));
      return false;
    }
    got += n > 0 ? static_cast<size_t>(n) : 0;
  }
  for (size_t i = 0; i < sizeof bytes; ++i) {
    snprintf(token.text + 2 * i, 3, "%02x", bytes[i]);
  }
  return true;
}

static bool isTokenText(const char *text, size_t size) {
  if (size == TOKEN_DIGITS + 1 && text[TOKEN_DIGITS] == '\n') {
    size = TOKEN_DIGITS;
  }
  if (size != TOKEN_DIGITS) {
    return false;
  }
  for (size_t i = 0; i < size; ++i) {
    if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) {
      return false;
    }
  }
  return true;
}

static bool makeTokenFile(const char *file, Token &token) {
  int fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    fprintf(stderr, "qelvo-serve: cannot make the token file '%s': %s\n", file, strerror(errno));
    return false;
  }
  char line[TOKEN_DIGITS + 1];
  memcpy(line, token.text, TOKEN_DIGITS);
  line[TOKEN_DIGITS] = '\n';
  struct stat made {};
  bool written = write(fd, line, sizeof line) == static_cast<ssize_t>(sizeof line) &&
                 fsync(fd) == 0 && fstat(fd, &made) == 0;
  int error = errno;
  close(fd);
  if (!written) {
    fprintf(stderr, "qelvo-serve: cannot write the token file '%s': %s\n", file, strerror(error));
    unlink(file);
    return false;
  }
  token.fileDevice = made.st_dev;
  token.fileInode = made.st_ino;
  return true;
}

bool loadToken(const char *file, Token &token) {
  if (file == nullptr) {
    return randomToken(token);
  }
  int fd = open(file, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) {
    return randomToken(token) && makeTokenFile(file, token);
  }
  if (fd < 0) {
    fprintf(stderr, "qelvo-serve: cannot read the token file '%s': %s\n", file, strerror(errno));
    return false;
  }
  struct stat info {};
  char text[TOKEN_DIGITS + 2];
  ssize_t size = -1;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) == 0) {
    size = read(fd, text, sizeof text);
  }
  close(fd);
  if (!S_ISREG(info.st_mode)) {
    fprintf(stderr, "qelvo-serve: the token file '%s' is not a regular file\n", file);
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    fprintf(stderr,
            "qelvo-serve: the token file '%s' may be read by group or others: "
            "allow its owner alone (chmod 600)\n",
            file);
    return false;
  }
  if (size < 0 || !isTokenText(text, static_cast<size_t>(size))) {
    fprintf(stderr,
            "qelvo-serve: the token file '%s' must hold one line of 32 lower-case hex digits\n",
            file);
    return false;
  }
  memcpy(token.text, text, TOKEN_DIGITS);
  token.text[TOKEN_DIGITS] = '\0';
  token.fileDevice = info.st_dev;
  token.fileInode = info.st_ino;
  return true;
}

bool tokenMatches(std::string_view given, const Token &token) {
  // Every digit is looked at whatever the guess, and its length alone is no
  // secret.
  unsigned difference = given.size() == TOKEN_DIGITS ? 0 : 1;
  for (size_t i = 0; i < TOKEN_DIGITS; ++i) {
    unsigned char guess = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= guess ^ static_cast<unsigned char>(token.text[i]);
  }
  return difference == 0;
}

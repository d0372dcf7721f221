#include "serve/captures_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "serve/json.h"

int openCapturesDir(const char *dir) {
  if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
    fprintf(stderr, "qelvo-serve: cannot make the captures folder '%s': %s\n", dir,
            strerror(errno));
    return -1;
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "qelvo-serve: cannot open the captures folder '%s': %s\n", dir,
            strerror(errno));
  }
  return fd;
}

bool servableName(const char *name) {
  if (name[0] == '\0' || name[0] == '.') {
    return false;
  }
  for (const char *c = name; *c != '\0'; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte == '/' || byte < 0x20 || byte == 0x7f) {
      return false;
    }
  }
  return true;
}

static bool isTokenFile(const struct stat &info, const Token &token) {
  return token.fileInode != 0 && info.st_ino == token.fileInode && info.st_dev == token.fileDevice;
}

namespace {
struct Entry {
  std::string name;
  off_t bytes;
  timespec modified;
};
} // namespace

std::string listCaptures(int dirFd, const Token &token) {
  std::vector<Entry> entries;
  int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = listFd < 0 ? nullptr : fdopendir(listFd);
  if (dir == nullptr && listFd >= 0) {
    close(listFd);
  }
  while (dir != nullptr) {
    const dirent *entry = readdir(dir);
    if (entry == nullptr) {
      closedir(dir);
      break;
    }
    struct stat info {};
    if (servableName(entry->d_name) &&
        fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        !isTokenFile(info, token)) {
      entries.push_back({entry->d_name, info.st_size, info.st_mtim});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
    if (a.modified.tv_sec != b.modified.tv_sec) {
      return a.modified.tv_sec > b.modified.tv_sec;
    }
    if (a.modified.tv_nsec != b.modified.tv_nsec) {
      return a.modified.tv_nsec > b.modified.tv_nsec;
    }
    return a.name > b.name;
  });
  std::string json = "[";
  for (const Entry &entry : entries) {
    tm utc{};
    gmtime_r(&entry.modified.tv_sec, &utc);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    char bytes[32];
    snprintf(bytes, sizeof bytes, "%lld", static_cast<long long>(entry.bytes));
    json += json.size() > 1 ? "," : "";
    json += "{\"name\":" + jsonString(entry.name) + ",\"bytes\":" + bytes + ",\"modified\":\"" +
            when + "\"}";
  }
  return json + "]";
}

int openCapture(int dirFd, const char *name, const Token &token, off_t &size) {
  if (!servableName(name)) {
    return -1;
  }
  int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat info {};
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || isTokenFile(info, token))) {
    close(fd);
    fd = -1;
  }
  size = info.st_size;
  return fd;
}

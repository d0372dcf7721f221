#include "scope/port_info.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

SystemRoots systemRoots;

namespace {

// The entries of a directory, without "." and ".."; none when it cannot be
// read.
std::vector<std::string> entriesOf(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return names;
  }
  while (dirent *entry = readdir(d)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(d);
  return names;
}

// The first line of a small file (a sysfs attribute), "" when unreadable.
std::string firstLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

bool exists(const std::string &path) {
  struct stat node {};
  return stat(path.c_str(), &node) == 0;
}

std::string linkTarget(const std::string &path) {
  char target[PATH_MAX];
  ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::string baseName(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string realPath(const std::string &path) {
  char *resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    return std::string();
  }
  std::string result(resolved);
  free(resolved);
  return result;
}

bool naturalOrder(const std::string &a, const std::string &b) {
  return strverscmp(a.c_str(), b.c_str()) < 0;
}

// The serial core's port types (the `type` attribute) a user may recognise.
const char *uartName(int type) {
  switch (type) {
  case 1: return "8250";
  case 2: return "16450";
  case 3: return "16550";
  case 4: return "16550A";
  case 6: return "16650";
  case 7: return "16650V2";
  case 8: return "16750";
  case 10: return "16C950";
  case 11: return "16654";
  case 12: return "16850";
  case 14: return "NS16550A";
  case 32: return "PL011";
  default: return nullptr;
  }
}

// The driver of a port's device. Newer kernels put serial core ports on a
// bus of their own, whose "port" and "ctrl" drivers say nothing; the driver
// that matters is the one of the first ancestor outside that bus.
std::string driverOf(const std::string &device, const std::string &sysRoot) {
  for (std::string dir = device; dir.size() > sysRoot.size(); dir = parentOf(dir)) {
    std::string target = linkTarget(dir + "/driver");
    if (target.empty()) {
      return std::string();
    }
    if (target.find("/serial-base/") == std::string::npos) {
      return baseName(target);
    }
  }
  return std::string();
}

void readUsbAncestor(const std::string &device, const std::string &sysRoot, SerialPort &port) {
  for (std::string dir = device; dir.size() > sysRoot.size(); dir = parentOf(dir)) {
    if (exists(dir + "/idVendor")) {
      port.usbId = firstLine(dir + "/idVendor") + ":" + firstLine(dir + "/idProduct");
      port.manufacturer = firstLine(dir + "/manufacturer");
      port.product = firstLine(dir + "/product");
      port.serial = firstLine(dir + "/serial");
      return;
    }
  }
}

// The names in a /dev/serial directory whose link leads to the node `name`.
std::vector<std::string> linksTo(const std::string &devRoot, const char *kind,
                                 const std::string &name) {
  std::vector<std::string> names;
  std::string dir = devRoot + "/serial/" + kind;
  for (const std::string &entry : entriesOf(dir)) {
    if (baseName(linkTarget(dir + "/" + entry)) == name) {
      names.push_back("/dev/serial/" + std::string(kind) + "/" + entry);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool sameFile(const struct stat &a, const struct stat &b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) {
    return a.st_rdev == b.st_rdev;
  }
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool commOf(const SystemRoots &roots, int pid, std::string &comm) {
  std::ifstream in(roots.proc + "/" + std::to_string(pid) + "/comm");
  if (!in) {
    return false;
  }
  std::getline(in, comm);
  return true;
}

bool contains(const std::vector<gid_t> &groups, gid_t gid) {
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

} // namespace

std::vector<SerialPort> findSerialPorts(const SystemRoots &roots) {
  std::vector<SerialPort> ports;
  std::string sysRoot = realPath(roots.sys);
  std::string classDir = roots.sys + "/class/tty";
  for (const std::string &name : entriesOf(classDir)) {
    std::string entry = classDir + "/" + name;
    std::string device = realPath(entry + "/device");
    if (device.empty()) {
      continue; // a console or a pseudo-terminal
    }
    SerialPort port;
    port.name = name;
    std::string type = firstLine(entry + "/type");
    if (!type.empty()) {
      int code = atoi(type.c_str());
      if (code == 0) {
        continue; // a ttyS with no UART behind it
      }
      const char *uart = uartName(code);
      port.uart = uart != nullptr ? uart : type;
    }
    port.driver = driverOf(device, sysRoot);
    readUsbAncestor(device, sysRoot, port);
    if (port.driver == "ftdi_sio") {
      std::string latency = firstLine(device + "/latency_timer");
      if (!latency.empty()) {
        port.latencyMs = atoi(latency.c_str());
      }
    }
    port.byId = linksTo(roots.dev, "by-id", name);
    port.byPath = linksTo(roots.dev, "by-path", name);
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPort &a, const SerialPort &b) { return naturalOrder(a.name, b.name); });
  return ports;
}

std::string stableName(const SerialPort &port) {
  return port.byId.empty() ? "/dev/" + port.name : port.byId.front();
}

std::vector<PortHolder> findHolders(const SystemRoots &roots, const struct stat &node, pid_t self,
                                    bool *complete) {
  std::vector<int> pids;
  for (const std::string &entry : entriesOf(roots.proc)) {
    if (entry.find_first_not_of("0123456789") == std::string::npos) {
      pids.push_back(atoi(entry.c_str()));
    }
  }
  std::sort(pids.begin(), pids.end());
  std::vector<PortHolder> holders;
  if (complete != nullptr) {
    *complete = true;
  }
  for (int pid : pids) {
    if (pid == self) {
      continue;
    }
    std::string fdDir = roots.proc + "/" + std::to_string(pid) + "/fd";
    if (complete != nullptr && access(fdDir.c_str(), R_OK | X_OK) != 0 && errno == EACCES) {
      *complete = false;
    }
    for (const std::string &fd : entriesOf(fdDir)) {
      struct stat open {};
      if (stat((fdDir + "/" + fd).c_str(), &open) == 0 && sameFile(open, node)) {
        PortHolder holder{pid, ""};
        if (commOf(roots, pid, holder.comm)) {
          holders.push_back(holder);
        }
        break;
      }
    }
  }
  return holders;
}

bool findLockHolder(const SystemRoots &roots, const struct stat &node, pid_t self,
                    PortHolder &holder) {
  std::ifstream in(roots.proc + "/locks");
  std::string line;
  while (std::getline(in, line)) {
    // "1: FLOCK  ADVISORY  WRITE 7360 fe:00:10953787 0 EOF"; waiters read
    // "1: -> FLOCK ..." and hold nothing.
    std::istringstream fields(line);
    std::string number, type, mode, access, file;
    int pid = 0;
    if (!(fields >> number >> type >> mode >> access >> pid >> file) || type != "FLOCK") {
      continue;
    }
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) {
      continue;
    }
    if (major == major(node.st_dev) && minor == minor(node.st_dev) && inode == node.st_ino &&
        pid != self && commOf(roots, pid, holder.comm)) {
      holder.pid = pid;
      return true;
    }
  }
  return false;
}

bool isSerialHardware(const SystemRoots &roots, dev_t device) {
  unsigned majorNumber = major(device);
  if (majorNumber >= 136 && majorNumber <= 143) {
    return false; // pseudo-terminal slaves
  }
  return exists(roots.sys + "/dev/char/" + std::to_string(majorNumber) + ":" +
                std::to_string(minor(device)) + "/device");
}

std::string modeText(mode_t mode) {
  std::string text = S_ISCHR(mode)    ? "c"
                     : S_ISBLK(mode)  ? "b"
                     : S_ISDIR(mode)  ? "d"
                     : S_ISLNK(mode)  ? "l"
                     : S_ISFIFO(mode) ? "p"
                     : S_ISSOCK(mode) ? "s"
                                      : "-";
  const char *letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) {
    text += (mode & (0400u >> bit)) != 0 ? letters[bit] : '-';
  }
  auto special = [&](size_t at, mode_t flag, char withX, char withoutX) {
    if ((mode & flag) != 0) {
      text[at] = text[at] == 'x' ? withX : withoutX;
    }
  };
  special(3, S_ISUID, 's', 'S');
  special(6, S_ISGID, 's', 'S');
  special(9, S_ISVTX, 't', 'T');
  return text;
}

std::string userNameOf(uid_t uid) {
  passwd *entry = getpwuid(uid);
  return entry != nullptr ? std::string(entry->pw_name) : std::to_string(uid);
}

std::string groupNameOf(gid_t gid) {
  group *entry = getgrgid(gid);
  return entry != nullptr ? std::string(entry->gr_name) : std::to_string(gid);
}

Credentials currentCredentials() {
  Credentials who;
  who.uid = geteuid();
  who.userName = userNameOf(who.uid);
  who.processGroups.push_back(getegid());
  int count = getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = getgroups(count, groups.data());
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    who.processGroups.insert(who.processGroups.end(), groups.begin(), groups.end());
  }
  // The group database as a fresh login would see it: a user added to a
  // group since logging in is there, but not yet in this process.
  if (passwd *entry = getpwuid(who.uid)) {
    int listed = 32;
    std::vector<gid_t> groups(static_cast<size_t>(listed));
    if (getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &listed) < 0) {
      groups.resize(static_cast<size_t>(listed));
      getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &listed);
    }
    groups.resize(static_cast<size_t>(std::max(listed, 0)));
    who.databaseGroups = groups;
  }
  return who;
}

bool mayReadWrite(const struct stat &node, const Credentials &who) {
  if (who.uid == 0) {
    return true;
  }
  mode_t needed = node.st_uid == who.uid                     ? 0600
                  : contains(who.processGroups, node.st_gid) ? 0060
                                                             : 0006;
  return (node.st_mode & needed) == needed;
}

std::string permissionRemedy(const struct stat &node, const Credentials &who) {
  // A node only root's group may use is no group to join.
  bool groupMay = (node.st_mode & 0060) == 0060 && node.st_gid != 0;
  if (groupMay && !contains(who.processGroups, node.st_gid)) {
    std::string group = groupNameOf(node.st_gid);
    if (contains(who.databaseGroups, node.st_gid)) {
      return "log out and in again to join group " + group;
    }
    return "run sudo usermod -aG " + group + " " + who.userName + ", then log in again";
  }
  return "a udev rule can set its group and mode (see examples/)";
}

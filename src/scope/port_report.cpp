#include "scope/port_report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

#include "settings/settings.h"

namespace {

// A line of the port report, after the program's name.
__attribute__((format(printf, 2, 3))) void tell(FILE *out, const char *format, ...) {
  fprintf(out, "%s: ", shownProgramName());
  va_list values;
  va_start(values, format);
  vfprintf(out, format, values);
  va_end(values);
}

// Services that open every new serial port they see, and keep it.
bool seizesPorts(const std::string &comm) { return comm == "brltty" || comm == "ModemManager"; }

void adviseOnService(const PortHolder &holder) {
  if (seizesPorts(holder.comm)) {
    tell(stderr,
         "%s takes new serial ports: disable it (sudo systemctl disable --now %s), "
         "or add the udev rule from examples/\n",
         holder.comm.c_str(), holder.comm.c_str());
  }
}

std::string portNames(const std::vector<SerialPort> &ports) {
  std::string names;
  for (const SerialPort &port : ports) {
    names += (names.empty() ? "" : ", ") + stableName(port);
  }
  return names;
}

void printField(FILE *out, const char *label, const std::string &value) {
  if (!value.empty()) {
    fprintf(out, "  %-15s%s\n", label, value.c_str());
  }
}

std::string accessText(const std::string &node) {
  struct stat info {};
  if (stat(node.c_str(), &info) != 0) {
    return "no device node";
  }
  Credentials who = currentCredentials();
  if (mayReadWrite(info, who)) {
    return "yes";
  }
  return "no (owner " + userNameOf(info.st_uid) + ", group " + groupNameOf(info.st_gid) +
         ", mode " + modeText(info.st_mode) + "): " + permissionRemedy(info, who);
}

std::string holdersText(const SystemRoots &roots, const std::string &node) {
  struct stat info {};
  if (stat(node.c_str(), &info) != 0) {
    return "";
  }
  std::string text;
  bool complete = true;
  for (const PortHolder &holder : findHolders(roots, info, getpid(), &complete)) {
    text += (text.empty() ? "by process " : ", ") + std::to_string(holder.pid) + " (" +
            holder.comm + ")";
  }
  if (text.empty()) {
    return complete ? "no" : "not by a process of yours (root sees all)";
  }
  return text;
}

} // namespace

void explainOpenFailure(const char *device, int openError) {
  struct stat node {};
  bool found = stat(device, &node) == 0;
  if (!found && (errno == ENOENT || errno == ENOTDIR)) {
    std::vector<SerialPort> ports = findSerialPorts(systemRoots);
    if (ports.empty()) {
      tell(stderr,
           "'%s' does not exist, and no serial port was found: is the adapter "
           "plugged in?\n",
           device);
    } else {
      tell(stderr, "'%s' does not exist; serial ports here: %s\n", device,
           portNames(ports).c_str());
    }
    return;
  }
  if (!found) {
    return;
  }
  if (S_ISREG(node.st_mode) || S_ISDIR(node.st_mode)) {
    tell(stderr, "'%s' is %s, not a serial port\n", device,
         S_ISREG(node.st_mode) ? "a regular file" : "a directory");
    return;
  }
  if (openError == EACCES || openError == EPERM) {
    tell(stderr, "no permission to open '%s' (owner %s, group %s, mode %s): %s\n", device,
         userNameOf(node.st_uid).c_str(), groupNameOf(node.st_gid).c_str(),
         modeText(node.st_mode).c_str(), permissionRemedy(node, currentCredentials()).c_str());
    return;
  }
  // A ttyS name the kernel reserved without finding a UART for it answers
  // an open with an I/O error; an unplugged adapter's leftover node with
  // ENXIO or ENODEV.
  if (openError == EIO || openError == ENXIO || openError == ENODEV) {
    tell(stderr, "'%s' has no serial hardware behind it\n", device);
    return;
  }
  if (!S_ISCHR(node.st_mode) || openError == ENOTTY || openError == EINVAL) {
    tell(stderr, "'%s' is not a terminal, not a serial port\n", device);
  }
}

void reportLineInUse(const char *device, bool locked) {
  struct stat node {};
  std::vector<PortHolder> holders;
  if (stat(device, &node) == 0) {
    PortHolder locker;
    if (!locked) {
      holders = findHolders(systemRoots, node, getpid());
    } else if (findLockHolder(systemRoots, node, getpid(), locker)) {
      holders.push_back(locker);
    }
  }
  if (holders.empty()) {
    fprintf(stderr, "*** Error: serial line '%s' is in use by another process ***\n", device);
    return;
  }
  fprintf(stderr, "*** Error: serial line '%s' is in use by process %d (%s) ***\n", device,
          holders.front().pid, holders.front().comm.c_str());
  adviseOnService(holders.front());
}

void warnAlsoOpen(const char *device, int fd) {
  struct stat node {};
  if (fstat(fd, &node) != 0 || !S_ISCHR(node.st_mode) ||
      !isSerialHardware(systemRoots, node.st_rdev)) {
    return;
  }
  for (const PortHolder &holder : findHolders(systemRoots, node, getpid())) {
    fprintf(stderr, "*** Warning: '%s' is also open in process %d (%s) ***\n", device, holder.pid,
            holder.comm.c_str());
    adviseOnService(holder);
  }
}

void listSerialPorts(const SystemRoots &roots, FILE *out) {
  std::vector<SerialPort> ports = findSerialPorts(roots);
  if (ports.empty()) {
    tell(out, "no serial port found\n");
    return;
  }
  for (const SerialPort &port : ports) {
    std::string node = roots.dev + "/" + port.name;
    fprintf(out, "\n/dev/%s\n", port.name.c_str());
    for (const std::string &name : port.byId) {
      printField(out, "by-id:", name);
    }
    for (const std::string &name : port.byPath) {
      printField(out, "by-path:", name);
    }
    printField(out, "driver:", port.driver.empty() ? "unknown" : port.driver);
    printField(out, "uart:", port.uart);
    printField(out, "usb id:", port.usbId);
    printField(out, "manufacturer:", port.manufacturer);
    printField(out, "product:", port.product);
    printField(out, "serial:", port.serial);
    printField(out, "access:", accessText(node));
    printField(out, "in use:", holdersText(roots, node));
    if (port.latencyMs >= 0) {
      printField(out, "latency timer:", std::to_string(port.latencyMs) + " ms");
    }
  }
}

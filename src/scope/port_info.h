// What the system knows about its serial ports, read from sysfs, /dev and
// /proc alone. Nothing here opens a port: an open can toggle its modem lines
// (DTR resets many boards), and a port must not change because someone asked
// what it is.
//
// The three trees are looked up under `systemRoots`; the tests point it at
// fake trees, the tool never changes it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct SystemRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string proc = "/proc";
};
extern SystemRoots systemRoots;

struct SerialPort {
  std::string name;                // "ttyUSB0": the node is /dev/NAME
  std::vector<std::string> byId;   // full names under /dev/serial/by-id
  std::vector<std::string> byPath; // and under /dev/serial/by-path
  std::string driver;              // "" when sysfs names none
  std::string uart;                // the serial core's UART type ("16550A"), if any
  std::string usbId;               // "0403:6001" for a USB adapter, else ""
  std::string manufacturer;
  std::string product;
  std::string serial;
  int latencyMs = -1; // an FTDI adapter's latency timer, -1 for none
};

// Every serial port with hardware behind it, in natural order of names
// (ttyS2 before ttyS10). Consoles and pseudo-terminals have no device in
// sysfs and are not ports; a serial core port of unknown type (a ttyS with
// no UART) is left out.
std::vector<SerialPort> findSerialPorts(const SystemRoots &roots);

// The name to give a user for a port: its first /dev/serial/by-id name,
// which survives replugging and reboots, else /dev/NAME.
std::string stableName(const SerialPort &port);

struct PortHolder {
  int pid = 0;
  std::string comm; // /proc/PID/comm, without its newline
};

// The processes other than `self` with the file of `node` open (the same
// device for a device node), in order of process id. Only root may look
// into other users' processes: `complete`, when given, tells whether every
// process could be looked at.
std::vector<PortHolder> findHolders(const SystemRoots &roots, const struct stat &node, pid_t self,
                                    bool *complete = nullptr);

// The process other than `self` holding a flock() lock on the file of
// `node`, from /proc/locks; false when none is listed or its process is gone.
bool findLockHolder(const SystemRoots &roots, const struct stat &node, pid_t self,
                    PortHolder &holder);

// A serial port with hardware behind it, as opposed to a pseudo-terminal or
// a console: sysfs knows a device for it.
bool isSerialHardware(const SystemRoots &roots, dev_t device);

// The mode as `ls -l` writes it: "crw-rw----".
std::string modeText(mode_t mode);

// Who this process is, as far as opening a device goes.
struct Credentials {
  uid_t uid = 0;
  std::string userName;
  std::vector<gid_t> processGroups;  // effective and supplementary groups
  std::vector<gid_t> databaseGroups; // the user's groups in the group database
};
Credentials currentCredentials();

// The name of a user or group, or its number when the database has none.
std::string userNameOf(uid_t uid);
std::string groupNameOf(gid_t gid);

// True when `who` may read and write a node with this owner, group and mode.
bool mayReadWrite(const struct stat &node, const Credentials &who);

// What to do when `who` may not open the node: join its group, log in again
// to use a group already joined, or give the node a group with a udev rule.
std::string permissionRemedy(const struct stat &node, const Credentials &who);

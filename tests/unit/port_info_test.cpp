#include "scope/port_info.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "scope/port_report.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// A sysfs, /dev and /proc laid out the way the kernel and udev lay them out,
// with relative links where they use them.
class FakeSystem {
public:
  FakeSystem() {
    roots.sys = dir.file("sys");
    roots.dev = dir.file("dev");
    roots.proc = dir.file("proc");
    for (const std::string &path : {roots.sys + "/class/tty", roots.dev, roots.proc}) {
      fs::create_directories(path);
    }
  }

  // A tty class entry for `name` whose device is sys/devices/`device`, bound
  // to `driver` on `bus`.
  void addPort(const std::string &name, const std::string &device, const std::string &bus,
               const std::string &driver) {
    std::string deviceDir = roots.sys + "/devices/" + device;
    fs::create_directories(deviceDir + "/tty/" + name);
    fs::create_directories(roots.sys + "/bus/" + bus + "/drivers/" + driver);
    fs::create_symlink(roots.sys + "/bus/" + bus + "/drivers/" + driver, deviceDir + "/driver");
    fs::create_symlink("../../../" + fs::path(device).filename().string(),
                       deviceDir + "/tty/" + name + "/device");
    fs::create_symlink("../../devices/" + device + "/tty/" + name,
                       roots.sys + "/class/tty/" + name);
    writeFile(roots.dev + "/" + name, "");
    chmod((roots.dev + "/" + name).c_str(), 0600);
  }

  // A USB adapter at bus position `usb` (under sys/devices/usb1).
  void addUsbPort(const std::string &name, const std::string &usb, const std::string &driver,
                  const std::string &ids, const std::string &maker, const std::string &product,
                  const std::string &serial) {
    std::string usbDir = "usb1/" + usb;
    fs::create_directories(roots.sys + "/devices/" + usbDir);
    attribute(usbDir + "/idVendor", ids.substr(0, 4));
    attribute(usbDir + "/idProduct", ids.substr(5));
    attribute(usbDir + "/manufacturer", maker);
    attribute(usbDir + "/product", product);
    attribute(usbDir + "/serial", serial);
    bool acm = driver == "cdc_acm";
    std::string device = usbDir + "/" + usb + ":1.0" + (acm ? "" : "/" + name);
    addPort(name, device, acm ? "usb" : "usb-serial", driver);
    link("by-id", "usb-" + maker + "_" + serial + "-if00" + (acm ? "" : "-port0"), name);
    link("by-path", "pci-0000:00:14.0-usb-0:" + usb.substr(2) + ":1.0", name);
  }

  void attribute(const std::string &path, const std::string &value) {
    writeFile(roots.sys + "/devices/" + path, value + "\n");
  }

  void link(const std::string &kind, const std::string &linkName, const std::string &name) {
    fs::create_directories(roots.dev + "/serial/" + kind);
    fs::create_symlink("../../" + name, roots.dev + "/serial/" + kind + "/" + linkName);
  }

  // Process `pid`, named `comm`, with `path` open as descriptor 5.
  void addProcess(int pid, const std::string &comm, const std::string &path) {
    std::string dirName = roots.proc + "/" + std::to_string(pid);
    fs::create_directories(dirName + "/fd");
    writeFile(dirName + "/comm", comm + "\n");
    fs::create_symlink(path, dirName + "/fd/5");
  }

  TempDir dir;
  SystemRoots roots;
};

std::string listing(const SystemRoots &roots) {
  return runInChild([&] { listSerialPorts(roots, stdout); }).out;
}

} // namespace

TEST(PortInfo, ListsEveryKindOfPortAndSkipsAUartlessTtyS) {
  FakeSystem system;
  system.addUsbPort("ttyUSB0", "1-1", "ftdi_sio", "0403:6001", "FTDI", "FT232R USB UART",
                    "A50285BI");
  system.attribute("usb1/1-1/1-1:1.0/ttyUSB0/latency_timer", "16");
  system.addUsbPort("ttyUSB10", "1-2", "cp210x", "10c4:ea60", "Silicon_Labs",
                    "CP2102 USB to UART Bridge Controller", "0001");
  system.addUsbPort("ttyUSB2", "1-3", "ch341-uart", "1a86:7523", "QinHeng", "USB Serial", "");
  system.addProcess(812, "ModemManager", system.roots.dev + "/ttyUSB2");
  system.addProcess(900, "minicom", system.roots.dev + "/ttyUSB2");
  // A built-in 8250 as newer kernels show it: the serial core's own "port"
  // and "ctrl" devices between the tty and the platform driver.
  system.addPort("ttyS0", "platform/serial8250/serial8250:0/serial8250:0.0", "serial-base", "port");
  system.attribute("platform/serial8250/serial8250:0/serial8250:0.0/tty/ttyS0/type", "4");
  fs::create_symlink(system.roots.sys + "/bus/serial-base/drivers/port",
                     system.roots.sys + "/devices/platform/serial8250/serial8250:0/driver");
  fs::create_directories(system.roots.sys + "/bus/platform/drivers/serial8250");
  fs::create_symlink(system.roots.sys + "/bus/platform/drivers/serial8250",
                     system.roots.sys + "/devices/platform/serial8250/driver");
  system.addPort("ttyS1", "platform/serial8250/serial8250:0.1", "platform", "serial8250");
  system.attribute("platform/serial8250/serial8250:0.1/tty/ttyS1/type", "0");
  system.addPort("ttyAMA0", "platform/soc/fe201000.serial", "amba", "uart-pl011");
  system.attribute("platform/soc/fe201000.serial/tty/ttyAMA0/type", "32");
  // Neither a console nor a pseudo-terminal has a device.
  fs::create_directories(system.roots.sys + "/devices/virtual/tty/tty0");
  fs::create_symlink("../../devices/virtual/tty/tty0", system.roots.sys + "/class/tty/tty0");
  unlink((system.roots.dev + "/ttyAMA0").c_str());

  EXPECT_EQ(listing(system.roots),
            "\n/dev/ttyAMA0\n"
            "  driver:        uart-pl011\n"
            "  uart:          PL011\n"
            "  access:        no device node\n"
            "\n/dev/ttyS0\n"
            "  driver:        serial8250\n"
            "  uart:          16550A\n"
            "  access:        yes\n"
            "  in use:        no\n"
            "\n/dev/ttyUSB0\n"
            "  by-id:         /dev/serial/by-id/usb-FTDI_A50285BI-if00-port0\n"
            "  by-path:       /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0\n"
            "  driver:        ftdi_sio\n"
            "  usb id:        0403:6001\n"
            "  manufacturer:  FTDI\n"
            "  product:       FT232R USB UART\n"
            "  serial:        A50285BI\n"
            "  access:        yes\n"
            "  in use:        no\n"
            "  latency timer: 16 ms\n"
            "\n/dev/ttyUSB2\n"
            "  by-id:         /dev/serial/by-id/usb-QinHeng_-if00-port0\n"
            "  by-path:       /dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0\n"
            "  driver:        ch341-uart\n"
            "  usb id:        1a86:7523\n"
            "  manufacturer:  QinHeng\n"
            "  product:       USB Serial\n"
            "  access:        yes\n"
            "  in use:        by process 812 (ModemManager), 900 (minicom)\n"
            "\n/dev/ttyUSB10\n"
            "  by-id:         /dev/serial/by-id/usb-Silicon_Labs_0001-if00-port0\n"
            "  by-path:       /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0\n"
            "  driver:        cp210x\n"
            "  usb id:        10c4:ea60\n"
            "  manufacturer:  Silicon_Labs\n"
            "  product:       CP2102 USB to UART Bridge Controller\n"
            "  serial:        0001\n"
            "  access:        yes\n"
            "  in use:        no\n");

  // A path that is not there names the ports by the names that last.
  systemRoots = system.roots;
  ProcessResult r = runInChild([] { explainOpenFailure("/nonexistent/tty", ENOENT); });
  systemRoots = SystemRoots{};
  EXPECT_EQ(r.err, "qelvo: '/nonexistent/tty' does not exist; serial ports here: /dev/ttyAMA0, "
                   "/dev/ttyS0, /dev/serial/by-id/usb-FTDI_A50285BI-if00-port0, "
                   "/dev/serial/by-id/usb-QinHeng_-if00-port0, "
                   "/dev/serial/by-id/usb-Silicon_Labs_0001-if00-port0\n");
}

TEST(PortInfo, AMachineWithoutPortsSaysSo) {
  FakeSystem system;
  system.addPort("ttyS0", "pnp0/00:01", "pnp", "serial");
  system.attribute("pnp0/00:01/tty/ttyS0/type", "0");
  EXPECT_EQ(listing(system.roots), "qelvo: no serial port found\n");
  systemRoots = system.roots;
  ProcessResult r = runInChild([] { explainOpenFailure("/dev/ttyUSB0", ENOENT); });
  systemRoots = SystemRoots{};
  EXPECT_EQ(r.err, "qelvo: '/dev/ttyUSB0' does not exist, and no serial port was found: is the "
                   "adapter plugged in?\n");
}

TEST(PortInfo, FindsTheLockHolderAndTellsHardwareFromPseudoTerminals) {
  FakeSystem system;
  std::string locked = system.dir.file("node");
  writeFile(locked, "");
  struct stat node {};
  ASSERT_EQ(stat(locked.c_str(), &node), 0);
  char file[64];
  snprintf(file, sizeof file, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
           static_cast<unsigned long long>(node.st_ino));
  PortHolder holder;
  writeFile(system.roots.proc + "/locks", std::string("1: POSIX  ADVISORY  WRITE 700 ") + file +
                                              " 0 EOF\n" + "2: -> FLOCK  ADVISORY  WRITE 701 " +
                                              file + " 0 EOF\n" +
                                              "3: FLOCK  ADVISORY  WRITE 702 00:00:1 0 EOF\n");
  system.addProcess(702, "other", "/");
  EXPECT_FALSE(findLockHolder(system.roots, node, 1, holder)) << "no flock() holds this file";
  writeFile(system.roots.proc + "/locks", readFile(system.roots.proc + "/locks") +
                                              "4: FLOCK  ADVISORY  WRITE 703 " + file + " 0 EOF\n");
  EXPECT_FALSE(findLockHolder(system.roots, node, 1, holder)) << "process 703 is gone";
  system.addProcess(703, "qelvo", "/");
  EXPECT_FALSE(findLockHolder(system.roots, node, 703, holder)) << "not our own lock";
  ASSERT_TRUE(findLockHolder(system.roots, node, 1, holder));
  EXPECT_EQ(holder.pid, 703);
  EXPECT_EQ(holder.comm, "qelvo");

  fs::create_directories(system.roots.sys + "/dev/char/188:0/device");
  fs::create_directories(system.roots.sys + "/dev/char/4:1");
  fs::create_directories(system.roots.sys + "/dev/char/136:3/device");
  EXPECT_TRUE(isSerialHardware(system.roots, makedev(188, 0)));
  EXPECT_FALSE(isSerialHardware(system.roots, makedev(4, 1))) << "a console";
  EXPECT_FALSE(isSerialHardware(system.roots, makedev(136, 3))) << "a pseudo-terminal";
  EXPECT_FALSE(isSerialHardware(system.roots, makedev(188, 1))) << "unknown to sysfs";
}

TEST(PortInfo, ModesAreWrittenAsLsWritesThem) {
  struct Row {
    mode_t mode;
    const char *text;
  } rows[] = {
      {S_IFCHR | 0660, "crw-rw----"},  {S_IFCHR | 0600, "crw-------"},
      {S_IFREG | 0644, "-rw-r--r--"},  {S_IFDIR | 01777, "drwxrwxrwt"},
      {S_IFREG | 04755, "-rwsr-xr-x"}, {S_IFREG | 02640, "-rw-r-S---"},
      {S_IFIFO | 0666, "prw-rw-rw-"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(modeText(row.mode), row.text) << row.text;
  }
}

TEST(PortInfo, PermissionRemedyFitsTheUsersGroups) {
  Credentials pi;
  pi.uid = 1000;
  pi.userName = "pi";
  pi.processGroups = {1000, 54320};
  pi.databaseGroups = {1000, 54320, 54321};
  struct Row {
    uid_t owner;
    gid_t group;
    mode_t mode;
    bool may;
    const char *remedy;
  } rows[] = {
      {0, 54321, 0660, false, "log out and in again to join group 54321"},
      {0, 54322, 0660, false, "run sudo usermod -aG 54322 pi, then log in again"},
      {0, 54322, 0600, false, "a udev rule can set its group and mode (see examples/)"},
      {0, 0, 0660, false, "a udev rule can set its group and mode (see examples/)"},
      {0, 54320, 0660, true, nullptr},
      {0, 54322, 0666, true, nullptr},
      {1000, 54320, 0060, false, nullptr}, // the owner's bits rule the owner
      {1000, 0, 0600, true, nullptr},
      // Read alone is not enough, for each class of user.
      {1000, 0, 0466, false, nullptr},
      {0, 54320, 0646, false, "a udev rule can set its group and mode (see examples/)"},
      {0, 54322, 0664, false, "run sudo usermod -aG 54322 pi, then log in again"},
  };
  for (const Row &row : rows) {
    struct stat node {};
    node.st_uid = row.owner;
    node.st_gid = row.group;
    node.st_mode = S_IFCHR | row.mode;
    EXPECT_EQ(mayReadWrite(node, pi), row.may) << modeText(node.st_mode) << " " << row.group;
    if (row.remedy != nullptr) {
      EXPECT_EQ(permissionRemedy(node, pi), row.remedy) << row.group;
    }
  }
  Credentials root;
  struct stat any {};
  EXPECT_TRUE(mayReadWrite(any, root));
}

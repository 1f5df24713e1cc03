// Fidelity catalogue: every sysfs GPIO and tty behaviour the library, the
// pin holder and the serial bridge rely on, tried the same way on the
// stand-ins (FUSE gpio_sim, pty controllers, inside test/tools/simboard) and on
// the kernel's own drivers (inside test/tools/kernelboard); then both result
// lists side by side as a Markdown table.
//   fidelity --run standin|kernel OUT      fidelity --table STANDIN KERNEL OUT
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "kernel_board.h"
#include "process.h"
#include "pty_device.h"

namespace {

// Which board the scenarios run on; set once by main.
bool g_kernel = false;

struct Scenario {
  const char* id;
  const char* what;
  // Why a difference here does not matter to the programs; empty when it would.
  const char* whenDifferent;
};

const Scenario kCatalogue[] = {
    {"gpio.export", "write \"397\" (3 bytes) to export", ""},
    {"gpio.export.files", "line files present right after export", ""},
    {"gpio.export.again", "export an exported line", ""},
    {"gpio.export.negative", "write \"-1\" to export", ""},
    {"gpio.export.absent", "write \"999\" (no such line) to export", "the programs only use line 397"},
    {"gpio.direction.out", "write \"out\\0\" (4 bytes) to direction", ""},
    {"gpio.edge.output", "write \"both\\0\" to an output's edge", ""},
    {"gpio.value.out", "write \"1\\0\" to an output's value, read it back", ""},
    {"gpio.direction.in", "write \"in\\0\" (3 bytes) to direction", ""},
    {"gpio.direction.bad", "write \"sideways\\0\" to direction", "no program writes another keyword"},
    {"gpio.value.input", "write \"1\\0\" to an input's value", ""},
    {"gpio.value.read", "read value of an input pulled high (whole text)", ""},
    {"gpio.value.onebyte", "read 1 byte of value", ""},
    {"gpio.activelow", "write \"1\\0\" to active_low; value of the high input", ""},
    {"gpio.edge.both", "write \"both\\0\" to edge", ""},
    {"gpio.edge.empty", "write \"\\0\" to edge", ""},
    {"gpio.direction.edge", "write \"out\\0\" to direction while edge is both", ""},
    {"gpio.unexport", "write \"397\" to unexport; line folder gone at once", ""},
    {"gpio.unexport.again", "unexport a line not exported", ""},
    {"gpio.open.absent", "open value of a line not exported", ""},
    {"tty.open", "open host end O_RDWR, O_NOCTTY, O_NONBLOCK", ""},
    {"tty.fresh", "a fresh host end's local modes", "the bridge makes the line raw before use"},
    {"tty.termios", "tcsetattr raw 9600 8N1 CLOCAL VMIN=1; read back", ""},
    {"tty.modem", "TIOCMGET on the host end",
     "the bridge ignores modem lines (CLOCAL); a pty has none"},
    {"tty.bytes.out", "bytes 0..255 host to controller", ""},
    {"tty.bytes.in", "bytes 0..255 controller to host", ""},
    {"tty.block", "non-blocking writes until the controller-side buffer is full",
     "only the amount differs; the bridge waits up to its write bound either way"},
    {"tty.unplug.poll", "poll(POLLOUT) on the host end after unplug", ""},
    {"tty.unplug.read", "read on the host end after unplug", ""},
    {"tty.unplug.write", "write on the host end after unplug", ""},
    {"tty.unplug.open", "open the host path while unplugged", ""},
    {"tty.replug.open", "open the host path after replug", ""},
};

std::string errnoName(int e) {
  switch (e) {
    case EBUSY: return "EBUSY";
    case EINVAL: return "EINVAL";
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
    case ENXIO: return "ENXIO";
    case ENODEV: return "ENODEV";
    case EAGAIN: return "EAGAIN";
    case ENOTTY: return "ENOTTY";
    case EACCES: return "EACCES";
    default: return "errno " + std::to_string(e);
  }
}

// One write of exactly these bytes, as the library makes it.
std::string writeFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return "open " + errnoName(errno);
  ssize_t n = write(fd, bytes.data(), bytes.size());
  std::string r = n < 0 ? errnoName(errno) : "accepted " + std::to_string(n);
  close(fd);
  return r;
}

std::string readFile(const std::string& path, size_t count) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "open " + errnoName(errno);
  char buf[64];
  ssize_t n = read(fd, buf, count < sizeof buf ? count : sizeof buf);
  close(fd);
  if (n < 0) return errnoName(errno);
  std::string text;
  for (ssize_t i = 0; i < n; ++i) text += buf[i] == '\n' ? std::string("\\n") : std::string(1, buf[i]);
  return "\"" + text + "\"";
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void setLine(int level) {
  if (g_kernel) {
    setMockupLine(level);
  } else {
    gpioBoard("wave 397 const " + std::to_string(level));
  }
}

void runGpio(std::map<std::string, std::string>* r) {
  const std::string g = "/sys/class/gpio/";
  const std::string line = g + "gpio397/";
  (*r)["gpio.export"] = writeFile(g + "export", "397");
  bool all = true;
  for (const char* f : {"direction", "value", "edge", "active_low"}) all = all && exists(line + f);
  (*r)["gpio.export.files"] = all ? "yes" : "no";
  (*r)["gpio.export.again"] = writeFile(g + "export", "397");
  (*r)["gpio.export.negative"] = writeFile(g + "export", "-1");
  (*r)["gpio.export.absent"] = writeFile(g + "export", "999");
  (*r)["gpio.direction.out"] = writeFile(line + "direction", std::string("out", 4));
  (*r)["gpio.edge.output"] = writeFile(line + "edge", std::string("both", 5));
  std::string v = writeFile(line + "value", std::string("1", 2));
  (*r)["gpio.value.out"] = v + ", reads " + readFile(line + "value", 64);
  (*r)["gpio.direction.in"] = writeFile(line + "direction", std::string("in", 3));
  (*r)["gpio.direction.bad"] = writeFile(line + "direction", std::string("sideways", 9));
  (*r)["gpio.value.input"] = writeFile(line + "value", std::string("1", 2));
  setLine(1);
  (*r)["gpio.value.read"] = readFile(line + "value", 64);
  (*r)["gpio.value.onebyte"] = readFile(line + "value", 1);
  v = writeFile(line + "active_low", std::string("1", 2));
  (*r)["gpio.activelow"] = v + ", value reads " + readFile(line + "value", 64);
  writeFile(line + "active_low", std::string("0", 2));
  (*r)["gpio.edge.both"] = writeFile(line + "edge", std::string("both", 5));
  (*r)["gpio.edge.empty"] = writeFile(line + "edge", std::string("", 1));
  (*r)["gpio.direction.edge"] = writeFile(line + "direction", std::string("out", 4));
  writeFile(line + "direction", std::string("in", 3));
  writeFile(line + "edge", std::string("none", 5));
  v = writeFile(g + "unexport", "397");
  (*r)["gpio.unexport"] = v + (exists(line) ? ", folder still there" : ", folder gone");
  (*r)["gpio.unexport.again"] = writeFile(g + "unexport", "397");
  (*r)["gpio.open.absent"] = readFile(line + "value", 1);
}

// The controller's end of the drive line: the gadget tty, or the pty
// master of g_pty. Both written and read by the main thread only.
int g_device = -1;
PtyDevice g_pty;

bool plug() {
  if (g_kernel) {
    if (!plugCable()) return false;
    g_device = openGadget("/dev/ttyGS0");
  } else {
    plugDevice("/dev/ttyACM0", &g_pty);
    g_device = g_pty.master;
  }
  return g_device >= 0;
}

void unplug() {
  if (g_kernel) {
    unplugCable();
    close(g_device);
  } else {
    unplugDevice("/dev/ttyACM0", &g_pty);
  }
  g_device = -1;
}

std::string transfer(int from, int to) {
  std::vector<int> all;
  for (int b = 0; b < 256; ++b) all.push_back(b);
  if (!writeBytes(from, all)) return "write failed";
  std::vector<int> got = readBytes(to, 256, 10);
  return got == all ? "all 256 unaltered" : "got " + std::to_string(got.size()) + " bytes, altered or short";
}

void runTty(std::map<std::string, std::string>* r) {
  const char* path = "/dev/ttyACM0";
  if (g_kernel) {
    g_device = openGadget("/dev/ttyGS0");
  } else if (!plug()) {
    return;
  }
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  (*r)["tty.open"] = fd < 0 ? errnoName(errno) : "ok";
  if (fd < 0) return;
  struct termios t;
  tcgetattr(fd, &t);
  (*r)["tty.fresh"] = std::string((t.c_lflag & ICANON) ? "ICANON" : "-ICANON") + ((t.c_lflag & ECHO) ? " ECHO" : " -ECHO");
  cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  t.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  int set = tcsetattr(fd, TCSANOW, &t);
  struct termios back;
  tcgetattr(fd, &back);
  (*r)["tty.termios"] = (set == 0 ? std::string("accepted") : errnoName(errno)) +
                        (cfgetospeed(&back) == B9600 && (back.c_cflag & CSIZE) == CS8 ? ", 9600 CS8 kept" : ", changed");
  int modem = 0;
  if (ioctl(fd, TIOCMGET, &modem) == 0) {
    (*r)["tty.modem"] = std::string((modem & TIOCM_DTR) ? "DTR" : "-DTR") + ((modem & TIOCM_RTS) ? " RTS" : " -RTS");
  } else {
    (*r)["tty.modem"] = errnoName(errno);
  }
  (*r)["tty.bytes.out"] = transfer(fd, g_device);
  (*r)["tty.bytes.in"] = transfer(g_device, fd);

  // The controller stops reading: how much the host can write before EAGAIN.
  size_t accepted = 0;
  const double deadline = nowSeconds() + 20;
  int idle = 0;
  char chunk[256] = {0};
  while (idle < 50 && nowSeconds() < deadline) {
    ssize_t n = write(fd, chunk, sizeof chunk);
    if (n > 0) {
      accepted += static_cast<size_t>(n);
      idle = 0;
    } else if (n < 0 && errno == EAGAIN) {
      ++idle;
      usleep(2000);  // the driver may still be moving bytes on
    } else {
      break;
    }
  }
  // The amount varies from run to run on the kernel: shown, not compared.
  (*r)["tty.block"] = idle >= 50 ? "EAGAIN when full" : "never blocked";
  (*r)["tty.block.detail"] = " (" + std::to_string(accepted / 1024) + " KiB)";
  tcflush(g_device, TCIOFLUSH);
  readBytes(g_device, 1 << 20, 0.5);
  tcflush(fd, TCIOFLUSH);

  unplug();
  struct pollfd p = {fd, POLLOUT, 0};
  int ready = poll(&p, 1, 2000);
  std::string revents;
  if (p.revents & POLLHUP) revents += " POLLHUP";
  if (p.revents & POLLERR) revents += " POLLERR";
  if (p.revents & POLLOUT) revents += " POLLOUT";
  (*r)["tty.unplug.poll"] = ready > 0 ? revents.substr(1) : "no event";
  char byte = 0;
  ssize_t n = read(fd, &byte, 1);
  (*r)["tty.unplug.read"] = n < 0 ? errnoName(errno) : "returns " + std::to_string(n);
  n = write(fd, &byte, 1);
  (*r)["tty.unplug.write"] = n < 0 ? errnoName(errno) : "returns " + std::to_string(n);
  close(fd);
  fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  (*r)["tty.unplug.open"] = fd < 0 ? errnoName(errno) : "ok";
  if (fd >= 0) close(fd);
  if (!plug()) return;
  fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  (*r)["tty.replug.open"] = fd < 0 ? errnoName(errno) : "ok";
  if (fd >= 0) close(fd);
  if (!g_kernel) unplug();
}

int run(const std::string& board, const std::string& out) {
  g_kernel = board == "kernel";
  std::map<std::string, std::string> results;
  Child sim;
  if (!g_kernel) {
    std::string error;
    if (!startGpioBoard(&sim, &error)) {
      fprintf(stderr, "fidelity: %s\n", error.c_str());
      return 1;
    }
  } else if (exists("/sys/class/gpio/gpio397")) {
    writeFile("/sys/class/gpio/unexport", "397");
  }
  runGpio(&results);
  if (!g_kernel) stopGpioBoard(&sim);
  runTty(&results);
  std::ofstream file(out);
  int missing = 0;
  for (const Scenario& s : kCatalogue) {
    auto found = results.find(s.id);
    if (found == results.end()) ++missing;
    file << s.id << "\t" << (found == results.end() ? "not run" : found->second) << "\n";
    if (results.count(std::string(s.id) + ".detail")) {
      file << s.id << ".detail\t" << results[std::string(s.id) + ".detail"] << "\n";
    }
  }
  return missing == 0 ? 0 : 1;
}

std::map<std::string, std::string> load(const std::string& path) {
  std::map<std::string, std::string> results;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) results[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return results;
}

int table(const std::string& standinPath, const std::string& kernelPath, const std::string& out) {
  std::map<std::string, std::string> standin = load(standinPath);
  std::map<std::string, std::string> kernel = load(kernelPath);
  std::ofstream file(out);
  file << "| Behaviour | Stand-in | Kernel (aarch64) | |\n|---|---|---|---|\n";
  int mattering = 0;
  for (const Scenario& s : kCatalogue) {
    const std::string a = standin.count(s.id) ? standin[s.id] : "not run";
    const std::string b = kernel.count(s.id) ? kernel[s.id] : "not run";
    std::string note = "same";
    if (a != b) {
      note = *s.whenDifferent ? std::string("differs: ") + s.whenDifferent : "**differs**";
      if (!*s.whenDifferent) ++mattering;
    }
    const std::string detail = std::string(s.id) + ".detail";
    file << "| " << s.what << " | " << a << standin[detail] << " | " << b << kernel[detail] << " | " << note << " |\n";
  }
  printf("fidelity: %d difference(s) that matter; table in %s\n", mattering, out.c_str());
  return mattering == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--run" && argc == 4) return run(argv[2], argv[3]);
  if (mode == "--table" && argc == 5) return table(argv[2], argv[3], argv[4]);
  fprintf(stderr, "usage: fidelity --run standin|kernel OUT | --table STANDIN KERNEL OUT\n");
  return 2;
}

// The board's devices inside test/tools/kernelboard; see kernel_board.h.
#include "kernel_board.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "process.h"

namespace {

const char kGadget[] = "/sys/kernel/config/usb_gadget/pelmora/UDC";

// The one gpio-mockup chip's debugfs folder; line 397 is its offset 13.
std::string mockupPath() {
  const std::string dir = "/sys/kernel/debug/gpio-mockup/";
  DIR* d = opendir(dir.c_str());
  std::string chip;
  while (d != nullptr) {
    const struct dirent* e = readdir(d);
    if (e == nullptr) break;
    if (std::string(e->d_name).compare(0, 8, "gpiochip") == 0) chip = e->d_name;
  }
  if (d != nullptr) closedir(d);
  return dir + chip + "/13";
}

std::string controllerName() {
  DIR* d = opendir("/sys/class/udc");
  std::string name;
  while (d != nullptr) {
    const struct dirent* e = readdir(d);
    if (e == nullptr) break;
    if (e->d_name[0] != '.') name = e->d_name;
  }
  if (d != nullptr) closedir(d);
  return name;
}

}  // namespace

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeText(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = write(fd, text.data(), text.size());
  close(fd);
  return n == static_cast<ssize_t>(text.size());
}

bool setMockupLine(int level) { return writeText(mockupPath(), level ? "1" : "0"); }

int mockupLine() {
  const std::string text = readText(mockupPath());
  return text.empty() ? -1 : text[0] - '0';
}

int openGadget(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct termios t;
  tcgetattr(fd, &t);
  // The gadget tty starts cooked with echo: raw, or it answers every byte.
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &t);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

std::vector<int> readBytes(int fd, size_t count, double seconds) {
  std::vector<int> bytes;
  const double deadline = nowSeconds() + seconds;
  while (bytes.size() < count) {
    const double left = deadline - nowSeconds();
    if (left <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    unsigned char buf[4096];
    const size_t want = count - bytes.size() < sizeof buf ? count - bytes.size() : sizeof buf;
    ssize_t n = read(fd, buf, want);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), buf, buf + n);
  }
  return bytes;
}

bool writeBytes(int fd, const std::vector<int>& bytes) {
  std::string data;
  for (int b : bytes) data.push_back(static_cast<char>(b));
  size_t done = 0;
  const double deadline = nowSeconds() + 10;
  while (done < data.size() && nowSeconds() < deadline) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
  return done == data.size();
}

bool waitHostRaw(const std::string& hostPath, pid_t pid, double seconds) {
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
  return waitUntil([&] {
    bool holds = false;
    DIR* d = opendir(fdDir.c_str());
    while (d != nullptr && !holds) {
      const struct dirent* e = readdir(d);
      if (e == nullptr) break;
      char target[256];
      ssize_t n = readlink((fdDir + e->d_name).c_str(), target, sizeof target - 1);
      holds = n > 0 && hostPath == std::string(target, static_cast<size_t>(n));
    }
    if (d != nullptr) closedir(d);
    if (!holds) return false;
    // A second opener changes no modem line and, closing, hangs nothing up.
    int fd = open(hostPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct termios t;
    bool raw = tcgetattr(fd, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0;
    close(fd);
    return raw;
  }, seconds);
}

bool unplugCable() {
  if (!writeText(kGadget, "\n")) return false;
  return waitUntil([] { return access("/dev/ttyACM0", F_OK) != 0 && access("/dev/ttyACM1", F_OK) != 0; }, 10);
}

bool plugCable() {
  if (!writeText(kGadget, controllerName())) return false;
  return waitUntil([] { return access("/dev/ttyACM0", F_OK) == 0 && access("/dev/ttyACM1", F_OK) == 0; }, 10);
}

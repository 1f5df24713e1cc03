// Starting, steering and stopping the sysfs GPIO stand-in; see gpio_board.h.
#include "gpio_board.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

const char kMountPoint[] = "/sys/class/gpio";

std::string socketPath() {
  const char* dir = getenv("SIMBOARD_DIR");
  return std::string(dir ? dir : "/tmp") + "/gpio.sock";
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

bool gpioBoardMounted() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    if (line.find(std::string(" ") + kMountPoint + " ") != std::string::npos &&
        line.find(" - fuse") != std::string::npos) {
      return true;
    }
  }
  return false;
}

bool startGpioBoard(Child* sim, std::string* error) {
  const std::string path = programPath("gpio_sim");
  return startGpioBoardFrom(path.substr(0, path.rfind('/')), sim, error);
}

bool startGpioBoardFrom(const std::string& binDir, Child* sim, std::string* error) {
  std::string why;
  if (!startChild(sim, {binDir + "/gpio_sim", kMountPoint, "--control", socketPath()}, "", {}, &why)) {
    if (error) *error = why;
    return false;
  }
  if (!waitUntil([] { return exists(std::string(kMountPoint) + "/export"); }, 10)) {
    pumpOutput(sim, 0.1);
    if (error) *error = "gpio_sim did not mount: " + sim->errText;
    stopChild(sim, SIGTERM, 5);
    return false;
  }
  return true;
}

std::string gpioBoard(const std::string& command) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string path = socketPath();
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("error socket: ") + strerror(errno);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    std::string reply = "error connect " + path + ": " + strerror(errno);
    close(fd);
    return reply;
  }
  const std::string line = command + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    close(fd);
    return "error send";
  }
  std::string reply;
  const double deadline = nowSeconds() + 5;
  while (reply.find('\n') == std::string::npos) {
    const double left = deadline - nowSeconds();
    struct pollfd p = {fd, POLLIN, 0};
    int r = left > 0 ? poll(&p, 1, static_cast<int>(left * 1000) + 1) : 0;
    if (r < 0 && errno == EINTR) continue;
    char buf[512];
    ssize_t n = r > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
    if (n <= 0) {
      close(fd);
      return "error no reply to " + command;
    }
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  reply.resize(reply.find('\n'));
  return reply;
}

long long gpioBoardNumber(const std::string& reply, const std::string& key) {
  const size_t at = reply.find(key);
  if (reply.compare(0, 2, "ok") != 0 || at == std::string::npos) return -1;
  return atoll(reply.c_str() + at + key.size());
}

long gpioBoardReads() { return static_cast<long>(gpioBoardNumber(gpioBoard("state 397"), " reads=")); }

void stopGpioBoard(Child* sim) {
  if (sim->pid > 0) stopChild(sim, SIGTERM, 5);
  if (!waitUntil([] { return !gpioBoardMounted(); }, 5)) {
    // Killed before it could unmount: detach the dead mount ourselves.
    umount2(kMountPoint, MNT_DETACH);
  }
}

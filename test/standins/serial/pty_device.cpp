// Pseudo-terminal controllers for the serial stand-ins; see pty_device.h.
#include "pty_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// Places the pty's slave, named name, at path.
static bool placeDevice(const char* name, const char* path) {
  unlink(path);
  int mark = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
  if (mark != -1) {
    close(mark);
    if (mount(name, path, NULL, MS_BIND, NULL) == 0) return true;
    unlink(path);
  }
  if (symlink(name, path) == 0) return true;
  fprintf(stderr, "cannot place %s at %s: %s\n", name, path, strerror(errno));
  return false;
}

bool plugDevice(const char* path, PtyDevice* device) {
  char name[128];
  device->master = device->own = device->watch = -1;
  device->hostOpens = 0;
  // The slave keeps the kernel's default (cooked) settings, like a freshly
  // enumerated USB modem: the host has to make the line raw itself.
  if (openpty(&device->master, &device->own, name, NULL, NULL) != 0) {
    fprintf(stderr, "cannot create a pseudo-terminal: %s\n", strerror(errno));
    device->master = -1;
    return false;
  }
  // Watched after our own open, so only the host's are counted.
  device->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (device->watch == -1 || inotify_add_watch(device->watch, name, IN_OPEN | IN_CLOSE) == -1) {
    fprintf(stderr, "cannot watch %s: %s\n", name, strerror(errno));
  } else if (placeDevice(name, path)) {
    fcntl(device->master, F_SETFL, fcntl(device->master, F_GETFL) | O_NONBLOCK);
    fcntl(device->master, F_SETFD, FD_CLOEXEC);
    fcntl(device->own, F_SETFD, FD_CLOEXEC);
    return true;
  }
  if (device->watch != -1) close(device->watch);
  close(device->own);
  close(device->master);
  device->master = -1;
  return false;
}

void unplugDevice(const char* path, PtyDevice* device) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode)) umount2(path, MNT_DETACH);
  unlink(path);
  if (device->master == -1) return;
  // The master first: the host sees its line hang up.
  close(device->master);
  close(device->own);
  close(device->watch);
  device->master = device->own = device->watch = -1;
  device->hostOpens = 0;
}

bool readCommands(std::string* pending, std::vector<std::string>* commands) {
  char buf[4096];
  ssize_t n = read(0, buf, sizeof buf);
  if (n <= 0) return false;
  pending->append(buf, static_cast<size_t>(n));
  size_t end;
  while ((end = pending->find('\n')) != std::string::npos) {
    commands->push_back(pending->substr(0, end));
    pending->erase(0, end + 1);
  }
  return true;
}

void catchStopSignals(void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);
}

bool hostHasLineOpen(PtyDevice* device) {
  alignas(struct inotify_event) char buf[4096];
  bool closed = false;
  ssize_t n;
  while ((n = read(device->watch, buf, sizeof buf)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      if ((e->mask & IN_OPEN) != 0) ++device->hostOpens;
      if ((e->mask & IN_CLOSE) != 0 && device->hostOpens > 0) --device->hostOpens;
      closed = closed || (e->mask & IN_CLOSE) != 0;
    }
  }
  if (closed && device->hostOpens == 0) ioctl(device->own, TIOCNXCL);
  return device->hostOpens > 0;
}

bool setHostOutput(const PtyDevice& device, bool flowing) {
  // Flow control is a property of the line: stopped through our handle, the
  // host's writes wait (EAGAIN when non-blocking).
  return tcflow(device.own, flowing ? TCOON : TCOOFF) == 0;
}

bool hostConfiguredLine(int master) {
  struct termios t;
  if (tcgetattr(master, &t) != 0) return false;
  return (t.c_lflag & (ICANON | ECHO)) == 0;
}

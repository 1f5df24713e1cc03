// Pseudo-terminal controllers for the serial stand-ins; see pty_device.h.
#include "pty_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

int plugDevice(const char* path) {
  int master = -1;
  int slave = -1;
  char name[128];
  // The slave keeps the kernel's default (cooked) settings, like a freshly
  // enumerated USB modem: the host has to make the line raw itself.
  if (openpty(&master, &slave, name, NULL, NULL) != 0) {
    fprintf(stderr, "cannot create a pseudo-terminal: %s\n", strerror(errno));
    return -1;
  }
  unlink(path);
  bool placed = false;
  int mark = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
  if (mark != -1) {
    close(mark);
    placed = mount(name, path, NULL, MS_BIND, NULL) == 0;
    if (!placed) unlink(path);
  }
  if (!placed && symlink(name, path) != 0) {
    fprintf(stderr, "cannot place %s at %s: %s\n", name, path, strerror(errno));
    close(slave);
    close(master);
    return -1;
  }
  // Closing our slave descriptor makes the master report a hang-up until
  // the host opens the line, which is how we see the host come and go.
  close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  return master;
}

void unplugDevice(const char* path, int master) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode)) umount2(path, MNT_DETACH);
  unlink(path);
  if (master != -1) close(master);
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

bool hostHasLineOpen(int master) {
  struct pollfd p = {master, POLLIN, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & POLLHUP) == 0;
}

bool hostConfiguredLine(int master) {
  struct termios t;
  if (tcgetattr(master, &t) != 0) return false;
  return (t.c_lflag & (ICANON | ECHO)) == 0;
}

// The command writer of `serial --watch`: the plain writer's passes (same
// bytes, change filter, echo, pacing, stalls, unplugs and stops), but
// between them it sleeps until a command file changes, the line needs
// looking at, the stop comes, or the re-read period is up; and it reads the
// files only once they have been quiet for a moment, so the two renames of
// one command give one pair, not the new throttle with the old steering.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "arguments.h"
#include "line.h"
#include "workers.h"
#include "writer.h"

// Passes come at least this often whatever inotify says, so a change it
// does not report (a folder on a network file system, a file replaced in an
// unusual way, a folder that appears later) costs at most 100 ms; under
// 100 ms so that a late wake-up still keeps to it. serial_raw sends its
// pair on every pass, so at least this often too.
static const int kRereadMs = 90;

// How long the command files must have been quiet before they are read:
// teleop_files renames its two files one right after the other, but on a
// busy board it may be preempted between them for a few milliseconds. The
// least that let no mixed pair through beside busy loops
// (bench_command_pairs); 2 ms let some through.
static const int kDefaultSettleMs = 3;

// The quiet time in use: set by main before the worker starts.
static int g_settleMs = kDefaultSettleMs;

// What in the command folder wakes the writer: a file written in place,
// renamed or linked over, and the folder itself going away.
static const uint32_t kFolderEvents =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// The watch on the command folder; only the watching writer uses it.
struct CommandWatch {
  int fd;             // the inotify instance, -1 if none could be made
  int folder;         // its watch on the folder, -1 while the folder is not watched
  double lastChange;  // monotonic ms at which a command file was last seen changing
  double lastRead;    // monotonic ms at which the files were last read
};

// Watches the folder if it is not watched yet: it may appear only later, or
// have been replaced.
static void watchFolder(CommandWatch* watch) {
  if (watch->fd != -1 && watch->folder == -1)
    watch->folder = inotify_add_watch(watch->fd, kCommandFolder, kFolderEvents);
}

static bool isCommandFile(const struct inotify_event& e) {
  return e.len > 0 && (strcmp(e.name, kThrottleName) == 0 || strcmp(e.name, kSteeringName) == 0);
}

// Reads every pending event; true when a command file may have changed.
// Other files of the folder (an operator's temporary files) wake nobody.
static bool commandFilesChanged(CommandWatch* watch) {
  bool changed = false;
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(watch->fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (changed) watch->lastChange = monotonicMs();
      return changed;
    }
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      if ((e->mask & IN_Q_OVERFLOW) != 0 || isCommandFile(*e)) changed = true;
      if (e->wd != watch->folder || (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) == 0) continue;
      // The folder went away or moved: watch whatever has its name next.
      if ((e->mask & IN_IGNORED) == 0) inotify_rm_watch(watch->fd, watch->folder);
      watch->folder = -1;
      changed = true;
    }
  }
}

// Sleeps until the next pass is due: a command file changed, the line hung
// up, the stop came, or kRereadMs have passed since passBegan (a stalled
// line is looked at as often as the plain writer looks). False on the stop.
static bool waitForChange(Writer* w, CommandWatch* watch, double passBegan) {
  const double due = passBegan + (w->stalled ? kIdlePassMs : kRereadMs);
  // A change seen after the files were last read: read them again now.
  if (watch->lastChange > watch->lastRead) return true;
  for (;;) {
    if (*w->line.run == 0) return false;
    double left = due - monotonicMs();
    if (left <= 0) return true;
    // No events asked of the line: poll reports a hang-up anyway.
    struct pollfd fds[3] = {{watch->fd, POLLIN, 0}, {stopNotice(), POLLIN, 0}, {w->line.fd, 0, 0}};
    struct timespec wait = {0, static_cast<long>(left * 1e6)};
    if (ppoll(fds, 3, &wait, NULL) <= 0) continue;
    if ((fds[0].revents & POLLIN) != 0 && commandFilesChanged(watch)) return true;
    if (fds[2].revents != 0) {
      // Looked into at the next pass, not 100 ms later.
      w->nextCheck = 0;
      return true;
    }
  }
}

void setSettleTime(int ms) { g_settleMs = ms; }

// Waits until the command files have been quiet for the settle time, or
// until latest. False on the stop.
static bool settle(Writer* w, CommandWatch* watch, double latest) {
  commandFilesChanged(watch);
  for (;;) {
    if (*w->line.run == 0) return false;
    const double quiet = std::min(watch->lastChange + g_settleMs, latest);
    const double left = quiet - monotonicMs();
    if (left <= 0) return true;
    struct pollfd fds[2] = {{watch->fd, POLLIN, 0}, {stopNotice(), POLLIN, 0}};
    struct timespec wait = {0, static_cast<long>(left * 1e6)};
    if (ppoll(fds, 2, &wait, NULL) > 0 && (fds[0].revents & POLLIN) != 0) commandFilesChanged(watch);
  }
}

// Reads the command files once they are quiet, and sends their pair: a
// burst of writes is one change. Read again when a file changed while they
// were read, which could have let a pair half old, half new through; but
// read within kMaxSettleMs, so a steady stream of writes is still
// forwarded. False on the stop.
static bool readSettledCommands(Writer* w, CommandWatch* watch) {
  // Without a watch there are no changes to wait out.
  const bool settling = watch->fd != -1 && g_settleMs > 0;
  const double latest = monotonicMs() + kMaxSettleMs;
  bool forward = false;
  do {
    if (settling && !settle(w, watch, latest)) return false;
    watch->lastRead = monotonicMs();
    forward = readCommands(w);
  } while (settling && forward && commandFilesChanged(watch) && monotonicMs() < latest);
  if (forward) sendCommands(w);
  return true;
}

void* swatch(void* arg) {
  const std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  Writer w;
  startWriting(&w, run);
  CommandWatch watch = {inotify_init1(IN_NONBLOCK | IN_CLOEXEC), -1, 0, 0};
  if (watch.fd == -1)
    printf("swrite: cannot watch %s (%s): reading it every %d ms.\n", kCommandFolder, strerror(errno), kRereadMs);
  while (*run != 0) {
    // Watched before the files are read, so no change after the read is missed.
    watchFolder(&watch);
    tendLine(&w);
    const double passBegan = monotonicMs();
    if (!readSettledCommands(&w, &watch)) break;
    if (!waitForChange(&w, &watch, passBegan)) break;
  }
  // The neutral command first: closing an inotify instance waits for the
  // kernel to retire its watches, which can take tens of milliseconds.
  leaveLine(&w);
  if (watch.fd != -1) close(watch.fd);
  return NULL;
}

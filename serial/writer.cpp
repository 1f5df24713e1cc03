// The command writer of `serial <word>`: re-reads the two command files and
// sends each pair to the drive controller on /dev/ttyACM0, framed by the
// neutral command, never faster than the line carries. Its passes are
// shared with the watching writer (watch.cpp).
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "bridge_logic.h"
#include "console.h"
#include "line.h"
#include "workers.h"
#include "writer.h"

// The command files' paths, relative to the working folder.
static const std::string kThrottleFile = std::string(kCommandFolder) + "/" + kThrottleName;
static const std::string kSteeringFile = std::string(kCommandFolder) + "/" + kSteeringName;
static const bool kChangeFilter = !SERIAL_RAW;
static const bool kEcho = !SERIAL_RAW;

// The freshness bound in ms, 0 for none: written by main before the
// worker starts, then only read by the writer.
static int g_staleMs = 0;

// While the line is open, how often the writer looks for a hang-up.
static const int kLineCheckMs = 100;

// Bits of the result of readFiles: which files gave a value this pass.
static const int kGotThrottle = 1;
static const int kGotSteering = 2;

// Reads the integer at the start of a command file into *value, as "%d"
// reads it, however long its white space and digits run; false, and *value
// untouched, when there is none. Only a regular file is read: a named pipe
// or a device could hold the writer (and so the stop) for good, so it
// gives no value, as does a read the stop cut short.
static bool readCommandFile(const char* path, const std::atomic<int>* run, int* value) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return false;
  struct stat st;
  bool got = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    ConsoleSource file;
    initConsoleSource(&file, fd, NULL, run);
    int after = kConsoleEnd;
    got = readDecimal(consoleByte, &file, value, &after) == kConsoleNumber && after != kConsoleStopped;
  }
  close(fd);
  return got;
}

// Reads both command files; returns kGotThrottle | kGotSteering for the
// files that gave a value. A value not given is left as it was.
static int readFiles(const std::atomic<int>* run, int* throttle, int* steering) {
  int got = 0;
  if (readCommandFile(kThrottleFile.c_str(), run, throttle)) got |= kGotThrottle;
  if (readCommandFile(kSteeringFile.c_str(), run, steering)) got |= kGotSteering;
  return got;
}

// Closes a failed drive line, saying so once per outage, and tries it
// again in a second.
static void loseLine(Writer* w) {
  dropLine(&w->line);
  if (!w->lossReported) printf("swrite: lost %s.\n", kDrivePort);
  w->lossReported = true;
  // A missing line is said by the loss already.
  w->said = kPortMissing;
  w->stalled = false;
  w->nextOpen = monotonicMs() + kReopenMs;
}

// The open line took nothing within the write bound but has not hung up.
// It is kept as it is, queue and all: flushing or closing it could leave
// the controller holding the throttle byte of a pair whose steering byte
// never comes, and it would pair every later byte with the wrong partner.
static void stallLine(Writer* w) {
  if (!w->lossReported) printf("swrite: lost %s.\n", kDrivePort);
  w->lossReported = true;
  w->stalled = true;
}

// Acts on what became of bytes meant for the line.
static void afterWrite(Writer* w, LineResult result) {
  if (result == kLineStalled) stallLine(w);
  if (result == kLineFailed) loseLine(w);
}

// A stalled line is looked at once a pass. Once it takes bytes again, the
// writer says so and sends the current pair.
static void tendStalledLine(Writer* w) {
  LineResult result = lineTakesBytes(&w->line);
  if (result == kLineFailed) loseLine(w);
  if (result != kLineSent) return;
  printf("swrite: %s takes bytes again.\n", kDrivePort);
  w->stalled = false;
  w->lossReported = false;
  w->resend = true;
}

// Kept: serial_raw has always given the drive controller 10 ms after the
// starting neutral command, and setups built around that build may count
// on the pause before the first pair.
static void pauseAfterStartingNeutral(const std::atomic<int>* run) {
  if (SERIAL_RAW && *run != 0) usleep(10000);
}

// Puts a freshly opened drive line in use, the neutral command first.
static void takeLine(Writer* w, int fd) {
  w->stalled = false;
  LineResult result = takeDriveLine(&w->line, fd);
  pauseAfterStartingNeutral(w->line.run);
  afterWrite(w, result);
}

// A missing line is tried again about once a second, an open one checked
// for a hang-up, a stalled one for bytes moving again, a working one
// waited on until it can carry a pair.
void tendLine(Writer* w) {
  DriveLine* line = &w->line;
  if (line->fd == -1) {
    if (monotonicMs() >= w->nextOpen) {
      w->nextOpen = monotonicMs() + kReopenMs;
      int fd = -1;
      const PortResult result = openPort(kDrivePort, &fd);
      // Said once per outage, and again if a missing line turns out held
      // by another program (or the other way round).
      if (result != w->said) reportPort(kDrivePort, result);
      w->said = result;
      if (fd != -1) {
        w->lossReported = false;
        takeLine(w, fd);
        w->resend = line->fd != -1;
      }
    }
  } else if (monotonicMs() >= w->nextCheck) {
    w->nextCheck = monotonicMs() + kLineCheckMs;
    if (lineHungUp(line->fd)) loseLine(w);
  }
  if (line->fd != -1 && w->stalled) {
    tendStalledLine(w);
  } else if (line->fd != -1) {
    // Read the files only once the line can carry a pair, so the pair sent
    // is the freshest; serial_raw's passes are paced by the line this way.
    afterWrite(w, waitLineReady(line));
  }
}

bool lineIdle(const Writer& w) { return w.line.fd == -1 || w.stalled; }

void setStaleBound(int ms) { g_staleMs = ms; }

// What the freshness bound compares of a command file.
static FileStamp stampOf(const char* path) {
  FileStamp stamp = FileStamp();
  struct stat st;
  if (stat(path, &st) != 0) return stamp;
  stamp.present = true;
  stamp.inode = st.st_ino;
  stamp.modifiedNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  stamp.changedNs = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  stamp.size = st.st_size;
  return stamp;
}

// The neutral command while the files are stale. A line that cannot take
// it now (stalled) gets it once it takes bytes again, through resend.
static void restLine(Writer* w) {
  w->resend = false;
  w->lastThrottle = throttleByte(kNeutralThrottle);
  w->lastSteering = steeringByte(kNeutralSteering, kNegateSteering);
  if (w->line.fd != -1 && !w->stalled) afterWrite(w, zeroize(&w->line));
}

// The freshness bound's say in a pass: false when the files' pair must
// not be forwarded. serial_raw, which sends a pair on every pass, sends
// the neutral one while the files are stale.
static bool freshEnough(Writer* w) {
  if (g_staleMs == 0) return true;
  // Looked at before the files are read: what is read is at least as new.
  const FileStamp stamps[2] = {stampOf(kThrottleFile.c_str()), stampOf(kSteeringFile.c_str())};
  switch (freshness(&w->freshness, stamps, monotonicMs(), g_staleMs)) {
    case kFreshGoStale:
      restLine(w);
      printf("swrite: no command written for %d ms: neutral command.\n", g_staleMs);
      return false;
    case kFreshHold:
      if (w->resend || !kChangeFilter) restLine(w);
      return false;
    case kFreshResume:
      w->resend = true;
      return true;
    case kFreshForward:
      break;
  }
  return true;
}

bool readCommands(Writer* w) {
  if (!freshEnough(w)) return false;
  int got = readFiles(w->line.run, &w->throttle, &w->steering);
  w->haveThrottle = w->haveThrottle || (got & kGotThrottle) != 0;
  w->haveSteering = w->haveSteering || (got & kGotSteering) != 0;
  return true;
}

// serial echoes each pair it sends.
void sendCommands(Writer* w) {
  // Never send a pair made from a value no file has given yet.
  if (!commandsKnown(w->haveThrottle, w->haveSteering)) return;
  unsigned char throttle = throttleByte(w->throttle);
  unsigned char steering = steeringByte(w->steering, kNegateSteering);
  if (!w->resend && !pairToSend(kChangeFilter, throttle, steering, w->lastThrottle, w->lastSteering)) return;
  w->resend = false;
  w->lastThrottle = throttle;
  w->lastSteering = steering;
  // A stalled line gets the current pair once it takes bytes again.
  if (w->line.fd != -1 && !w->stalled) afterWrite(w, sendPair(&w->line, throttle, steering));
  if (kEcho) printf("Throttle = %d\nSteering = %d\n\n", echoedThrottle(throttle), w->steering);
}

// The car is left at rest whenever the bridge lets go of the line. A line
// lost meanwhile gets one last try within the stop's budget, so a
// re-plugged controller hears it too; a stalled one gets the neutral
// command if it takes bytes again within that budget, and only then is
// what it still holds dropped.
void leaveLine(Writer* w) {
  DriveLine* line = &w->line;
  if (line->fd != -1 && zeroize(line) == kLineFailed) loseLine(w);
  armStopBudget(line);
  if (line->fd == -1 && stopBudgetLeft(*line)) {
    int fd = -1;
    if (openPort(kDrivePort, &fd) == kPortOpen) takeDriveLine(line, fd);
  }
  if (line->fd != -1) releaseLine(line);
}

void startWriting(Writer* w, const std::atomic<int>* run) {
  initDriveLine(&w->line, run);
  w->lossReported = false;
  w->stalled = false;
  w->throttle = kNeutralThrottle;
  w->steering = kNeutralSteering;
  w->haveThrottle = false;
  w->haveSteering = false;
  w->lastThrottle = 255;
  w->lastSteering = 255;
  w->resend = false;
  startFreshness(&w->freshness);
  int fd = -1;
  w->said = openPort(kDrivePort, &fd);
  reportPort(kDrivePort, w->said);
  if (fd != -1) {
    takeLine(w, fd);
  } else {
    w->lossReported = true;  // reportPort has said so
    pauseAfterStartingNeutral(run);
  }
  if (g_staleMs > 0) printf("swrite: holding the neutral command until a command file is written.\n");
  w->nextOpen = monotonicMs() + kReopenMs;
  w->nextCheck = monotonicMs() + kLineCheckMs;
}

void* swrite(void* arg) {
  const std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  Writer w;
  startWriting(&w, run);
  while (*run != 0) {
    tendLine(&w);
    // Without a working line nothing paces the passes: the writer still
    // reads the files (so serial keeps echoing), but does not spin.
    if (lineIdle(w) && !pauseWhileRunning(run, kIdlePassMs)) break;
    if (readCommands(&w)) sendCommands(&w);
  }
  leaveLine(&w);
  return NULL;
}

// tachometer: measures the wheel's speed from its sensor on GPIO line 397.
// Counts the line's level changes per window, publishes revolutions per
// minute on /tachometer and appends each window to logs under files/.
//   tachometer [--edges | --events] [--cwd DIR] [counts [speed]]   (files/ present)
// Polling and --edges read the line exported as input through sysfs;
// --edges sleeps in poll() between its edge events instead of polling
// without pause. --events requests the line itself from the kernel's GPIO
// character device and times the windows by the kernel's event stamps.
// --cwd works in DIR, creating DIR/files if missing. Its health goes to
// /diagnostics about once a second.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <diagnostic_updater/diagnostic_updater.h>
#include <pelmora/Tachometer.h>
#include <ros/ros.h>

#include "arguments.h"
#include "car.h"
#include "clock.h"
#include "console.h"
#include "edges.h"
#include "events.h"
#include "folders.h"
#include "gpio_paths.h"
#include "gpio_sysfs.h"
#include "health.h"
#include "line_events.h"
#include "window.h"

// The three logs and what of them still waits in their buffers.
struct Logs {
  FILE* rpm;
  FILE* duration;
  FILE* raw;
  bool unflushed;    // windows appended since the latest flush
  double flushedMs;  // clock reading of the latest flush
};

// How the line is read.
struct Line {
  int value;        // the latest level read
  int edgeFd;       // the value file waited on in edge mode; -1: busy polling
  bool edgeWanted;  // edge mode, taken up (again) at a good read while edgeFd is -1
  bool edgeSet;     // both edges were set: foundEdge goes back at the end
  char foundEdge[kEdgeSettingSize];  // the edge setting found, as the pin holder owns the line
  double failedMs;  // clock reading of the latest failed read; < 0: the latest read worked
};

// What the node has to say of itself on /diagnostics and standard error.
struct Health {
  double reportedMs;              // clock reading of the latest report
  unsigned long published;        // windows published since then
  unsigned long long lostAtReport;  // changes lost by then
  double changeMs;                // clock reading of the latest change; < 0: none yet
  double publishedMs;             // clock reading of the latest publishing
  unsigned long long lostAtWindow;  // changes lost by the latest window's start
  unsigned long long lostUnsaid;  // lost since the latest line about losses
  double lossSaidMs;              // clock reading of that line
};

// The facts of the latest report and the mode in use: written by
// reportHealthIfDue, read by describeHealth, which the updater calls from it
// (main thread only).
static HealthFacts g_facts;
static const char* g_mode = "polling";

// A log that cannot be opened is reported once and skipped: measuring and
// publishing matter more than the record.
static FILE* openLog(const char* name) {
  FILE* log = fopen(name, "w");
  if (!log) fprintf(stderr, "tachometer: cannot open %s: %s\n", name, strerror(errno));
  return log;
}

static void appendToLog(FILE* log, double value) {
  if (log) fprintf(log, "%lf\n", value);
}

// Hands what waits in a log's buffer to the kernel: from then on a killed
// node or a crash loses nothing of it. The kernel is also told to start
// writing it to the storage now rather than within its usual half minute,
// as the car may be switched off at its battery; that call does not wait
// for the write, where a sync would stall the sampling for tens of
// milliseconds on a busy disk, long enough to lose changes.
static void flushLog(FILE* log) {
  if (!log) return;
  fflush(log);
  sync_file_range(fileno(log), 0, 0, SYNC_FILE_RANGE_WRITE);
}

static void flushLogsIfDue(Logs* logs, double nowMs) {
  if (!flushDue(logs->unflushed, logs->flushedMs, nowMs)) return;
  flushLog(logs->rpm);
  flushLog(logs->duration);
  logs->unflushed = false;
  logs->flushedMs = nowMs;
}

// At the end, when a stall costs nothing: everything written out and
// synced to the storage, as the car may be switched off at its battery
// right after, then closed.
static void closeLogs(Logs* logs) {
  FILE* const files[] = {logs->rpm, logs->duration, logs->raw};
  for (FILE* log : files) {
    if (!log) continue;
    fflush(log);
    fdatasync(fileno(log));
    fclose(log);
  }
}

// The line's edge setting as it is now; false (with one line on standard
// error) when it cannot be read, *missing when the line is not exported.
static bool readEdgeSetting(char* setting, bool* missing) {
  char edgePath[kGpioPathSize];
  gpioLinePath(edgePath, sizeof edgePath, kSensorLine, "edge");
  char text[16];
  ssize_t n = -1;
  int fd = open(edgePath, O_RDONLY);
  if (fd >= 0) {
    n = read(fd, text, sizeof text);
    close(fd);
  }
  if (n < 0) {
    *missing = errno == ENOENT;
    fprintf(stderr, "tachometer: cannot read %s (%s), %s\n", edgePath, strerror(errno),
            *missing ? "waiting on edges once the line is there" : "polling instead");
    return false;
  }
  if (!parseEdgeSetting(text, static_cast<size_t>(n), setting)) {
    fprintf(stderr, "tachometer: unknown edge setting in %s, polling instead\n", edgePath);
    return false;
  }
  return true;
}

// Makes the kernel report both edges on the value file and opens it; the
// descriptor, or -1 (with one line of the node's own on standard error)
// when edges cannot be waited for; the line then keeps foundEdge.
static int watchEdges(const char* foundEdge) {
  if (gpioSetEdge(kSensorLine, "both") != 0) {
    fprintf(stderr, "tachometer: cannot set the edge of gpio%d, polling instead\n", kSensorLine);
    return -1;
  }
  const int fd = gpioOpen(kSensorLine);
  if (fd < 0) {
    fprintf(stderr, "tachometer: cannot open gpio%d, polling instead\n", kSensorLine);
    gpioSetEdge(kSensorLine, foundEdge);
  }
  return fd;
}

// Edge mode from here on: the edge setting found is kept (once) to be put
// back at the end, both edges are set and the value file is opened. Where
// the line's edge cannot be used, edge mode is given up with one line; a
// line not exported yet is tried again at its first good read.
static void takeUpEdges(Line* line) {
  bool missing = false;
  if (!line->edgeSet && !readEdgeSetting(line->foundEdge, &missing)) {
    line->edgeWanted = missing;
    return;
  }
  line->edgeFd = watchEdges(line->foundEdge);
  line->edgeWanted = line->edgeFd >= 0;
  line->edgeSet = line->edgeSet || line->edgeWanted;
}

// One sample in edge mode: sleeps until the kernel reports a change (at
// most waitMs), then reads the level from the start of the file. The
// read also clears the report, so the next wait sleeps until the next
// change. False when the read fails; value is then left as it was.
static bool waitAndRead(int fd, int waitMs, int* value) {
  struct pollfd watch;
  watch.fd = fd;
  watch.events = POLLPRI | POLLERR;
  watch.revents = 0;
  poll(&watch, 1, waitMs);
  char level;
  const ssize_t n = pread(fd, &level, 1, 0);
  if (n == 0) errno = ENODATA;
  if (n != 1) return false;
  *value = level == '0' ? 0 : 1;
  return true;
}

// One sample of the line, or a wait of at most until wakeMs (a clock
// reading) when none is due yet. Busy polling reads at once; edge mode
// waits for a change; after a failed read the next one comes kRetryMs
// later, through the library in either mode, so that its message comes at
// most ten times a second. The first good read ends that: edge mode waits
// on edges again. A failed read leaves the value as it was.
static void sampleLine(Line* line, double nowMs, double wakeMs) {
  const bool failing = line->failedMs >= 0.0;
  if (failing && nowMs < line->failedMs + kRetryMs) {
    const double retryMs = line->failedMs + kRetryMs;
    poll(NULL, 0, waitMs(nowMs, retryMs < wakeMs ? retryMs : wakeMs, kEdgeWaitMs));
    return;
  }
  bool read = false;
  if (line->edgeFd >= 0) {
    read = waitAndRead(line->edgeFd, waitMs(nowMs, wakeMs, kEdgeWaitMs), &line->value);
    if (!read) {
      fprintf(stderr, "tachometer: cannot read gpio%d (%s), reading it ten times a second until it can\n",
              kSensorLine, strerror(errno));
      gpioClose(line->edgeFd);
      line->edgeFd = -1;
    }
  } else {
    read = gpioGetValue(kSensorLine, &line->value) == 0;
    if (read && line->edgeWanted) takeUpEdges(line);
  }
  line->failedMs = read ? -1.0 : millis();
}

// The updater's one task: the latest facts as a status.
static void describeHealth(diagnostic_updater::DiagnosticStatusWrapper& status) {
  std::string message;
  const int level = healthLevel(g_facts, &message);
  status.summary(static_cast<unsigned char>(level), message);
  status.add("mode", g_mode);
  status.addf("windows published per second", "%.1f", g_facts.windowsPerSecond);
  if (g_facts.lostSinceStart < 0) {
    status.add("changes lost since start", "not countable");
  } else {
    status.addf("changes lost since start", "%lld", g_facts.lostSinceStart);
  }
  status.add("line readable", g_facts.lineReadable ? "yes" : "no");
  if (g_facts.sinceChangeMs < 0.0) {
    status.add("time since the latest change", "no change yet");
  } else {
    status.addf("time since the latest change", "%.3f s", g_facts.sinceChangeMs / 1000.0);
  }
}

// Publishes the health once a second has passed on the node's own clock;
// otherwise costs one comparison, as it runs at every sample.
static void reportHealthIfDue(diagnostic_updater::Updater* updater, Health* health, const Line& line,
                              const LineEvents& events, double nowMs) {
  if (!updater || !sayDue(true, health->reportedMs, nowMs)) return;
  const bool countable = events.fd >= 0 && events.version == 2;
  if (events.fd >= 0) {
    g_mode = events.version == 2 ? "events v2" : "events v1";
  } else {
    g_mode = line.edgeFd >= 0 ? "edges" : "polling";
  }
  g_facts.windowsPerSecond = health->published * 1000.0 / (nowMs - health->reportedMs);
  g_facts.lostSinceStart = countable ? static_cast<long long>(events.lost) : -1;
  g_facts.lostLastSecond = static_cast<long long>(events.lost - health->lostAtReport);
  g_facts.lineReadable = events.fd >= 0 ? events.readable : line.failedMs < 0.0;
  g_facts.sinceChangeMs = health->changeMs < 0.0 ? -1.0 : nowMs - health->changeMs;
  g_facts.sincePublishMs = nowMs - health->publishedMs;
  updater->force_update();
  health->reportedMs = nowMs;
  health->published = 0;
  health->lostAtReport = events.lost;
}

// Losses in the windows closed so far, said at most once a second.
static void sayLosses(Health* health, const LineEvents& events, double nowMs) {
  health->lostUnsaid += events.lost - health->lostAtWindow;
  health->lostAtWindow = events.lost;
  if (!sayDue(health->lostUnsaid > 0, health->lossSaidMs, nowMs)) return;
  fprintf(stderr, "tachometer: %llu level changes lost in the kernel's event buffer (%llu since start); "
          "the windows that lost them read low\n", health->lostUnsaid, events.lost);
  health->lostUnsaid = 0;
  health->lossSaidMs = nowMs;
}

// Every stop signal gets the interrupt's orderly stop: the open window is
// closed and logged and the logs are closed; dying by the signal would
// lose what they buffer. Like roscpp's own interrupt handler, this only
// sets its shutdown flag.
static void requestStop(int) {
  ros::requestShutdown();
}

int main(int argc, char** argv) {
  openMissingStandardStreams();
  ros::init(argc, argv, "tachometer");
  signal(SIGTERM, requestStop);
  signal(SIGHUP, requestStop);
  signal(SIGQUIT, requestStop);
  ros::NodeHandle node;
  ros::Publisher publisher = node.advertise<pelmora::Tachometer>("/tachometer", 1);

  const bool edges = takeEdgesFlag(&argc, argv);
  const bool byEvents = takeEventsFlag(&argc, argv);
  ConsoleArguments options;
  const char* wrong = takeConsoleArguments(&argc, argv, kCwdOption, &options);
  if (wrong != NULL) {
    fprintf(stderr, "tachometer: %s\n", wrong);
    return 2;
  }
  if (options.cwd != NULL && !enterWorkFolder("tachometer", options.cwd)) return 1;
  // Its logs' folder, so the car's folder can start empty; a log that
  // cannot be opened is reported below.
  if (options.cwd != NULL) makeFolders("files");
  int counts = 0;
  int speed = 0;
  readArguments(argc, argv, &counts, &speed);
  printf("This iteration's\nCounts=%d\nSpeed=%d\n", counts, speed);
  if (edges && byEvents) {
    fprintf(stderr, "tachometer: --edges and --events exclude each other\n");
    return 1;
  }

  Line line = {0, -1, edges, false, "", -1.0};
  LineEvents events;
  memset(&events, 0, sizeof events);
  events.fd = -1;
  // The line is the node's own in --events mode: not exported, not read
  // through sysfs. A line it cannot have ends it before the logs are touched.
  if (byEvents && !requestLineEvents(kSensorLine, &events)) return 1;
  if (!byEvents) gpioGetValue(kSensorLine, &line.value);
  if (edges) takeUpEdges(&line);
  initTimer();
  // None once an interrupt has shut ROS down (while waiting for the master,
  // say): the node handles it makes would start roscpp again.
  std::unique_ptr<diagnostic_updater::Updater> updater;
  if (ros::ok()) {
    updater.reset(new diagnostic_updater::Updater(node));
    updater->setHardwareID("gpio" + std::to_string(kSensorLine));
    updater->add("wheel speed", describeHealth);
  }
  Health health = {0.0, 0, 0, -1.0, 0.0, 0, 0, -2 * kWindowLimitMs};

  char rpmName[kLogNameSize];
  char durationName[kLogNameSize];
  rpmLogName(rpmName, counts, speed);
  durationLogName(durationName, counts, speed);
  printf("Files:\n'%s'\n'%s'\n", rpmName, durationName);
  Logs logs = {NULL, NULL, NULL, false, 0.0};
  logs.rpm = openLog(rpmName);
  logs.duration = openLog(durationName);
  // Nothing is ever written to the raw log; it is still created (emptied)
  // at each start because the robot's other scripts may expect the file.
  logs.raw = openLog(kRawLogName);

  double last = 0.0;
  double elapsed = 0.0;
  unsigned int changes = 0;
  while (ros::ok()) {
    // Busy polling unless edge mode: a sleep would miss short pulses, and
    // without edge events nothing tells when to look.
    bool still = false;
    while (ros::ok() && windowOpen(changes, counts, elapsed)) {
      const double now = millis();
      flushLogsIfDue(&logs, now);
      reportHealthIfDue(updater.get(), &health, line, events, now);
      const double wake = wakeTime(last, elapsed, logs.unflushed, logs.flushedMs);
      if (byEvents) {
        LineChange change;
        if (!nextLineChange(&events, waitMs(now, wake, kEdgeWaitMs), &change)) {
          // Still only once the kernel has no change left for the node.
          still = wheelStill(millis() - last, elapsed);
          if (still) break;
          continue;
        }
        line.value = change.level;
        elapsed = changeElapsed(millisAt(change.monotonicNs), last);
      } else {
        still = wheelStill(now - last, elapsed);
        if (still) break;
        const int prev = line.value;
        sampleLine(&line, now, wake);
        if (line.value == prev) continue;
        elapsed = millis() - last;
      }
      printf("%d @ %lf ms\n", line.value, elapsed);
      ++changes;
      health.changeMs = last + elapsed;
    }
    if (byEvents && closedByChange(changes, counts, elapsed, still)) {
      // From the change that closed the window before to the one that
      // closed this one, as the kernel saw them.
      last += elapsed;
    } else {
      elapsed = millis() - last;
      last = millis();
    }

    pelmora::Tachometer message;
    message.rpm = still ? 0.0 : windowRpm(changes, elapsed);
    publisher.publish(message);
    appendToLog(logs.rpm, message.rpm);
    appendToLog(logs.duration, elapsed);
    logs.unflushed = true;
    const double published = millis();
    flushLogsIfDue(&logs, published);
    ++health.published;
    health.publishedMs = published;
    if (byEvents) sayLosses(&health, events, published);
    reportHealthIfDue(updater.get(), &health, line, events, published);

    startNextWindow(&changes, &elapsed);
    ros::spinOnce();
  }

  if (line.edgeFd >= 0) gpioClose(line.edgeFd);
  if (line.edgeSet) gpioSetEdge(kSensorLine, line.foundEdge);
  releaseLineEvents(&events);

  closeLogs(&logs);
  return 0;
}

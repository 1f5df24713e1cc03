// tachometer: measures the wheel's speed from its sensor on GPIO line 397.
// Counts the line's level changes per window, publishes revolutions per
// minute on /tachometer and appends each window to logs under files/.
//   tachometer [--edges] [counts [speed]]   (the line exported as input, files/ present)
// --edges sleeps in poll() between the line's edge events instead of
// polling without pause.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <pelmora/Tachometer.h>
#include <ros/ros.h>

#include "clock.h"
#include "console.h"
#include "edges.h"
#include "gpio_sysfs.h"
#include "window.h"

static const int kSensorLine = 397;
static const char kEdgePath[] = "/sys/class/gpio/gpio397/edge";

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

static void closeLog(FILE* log) {
  if (log) fclose(log);
}

// The line's edge setting as it is now; false (with one line on standard
// error) when it cannot be read.
static bool readEdgeSetting(char* setting) {
  char text[16];
  ssize_t n = -1;
  int fd = open(kEdgePath, O_RDONLY);
  if (fd >= 0) {
    n = read(fd, text, sizeof text);
    close(fd);
  }
  if (n < 0) {
    fprintf(stderr, "tachometer: cannot read %s (%s), polling instead\n", kEdgePath, strerror(errno));
    return false;
  }
  if (!parseEdgeSetting(text, static_cast<size_t>(n), setting)) {
    fprintf(stderr, "tachometer: unknown edge setting in %s, polling instead\n", kEdgePath);
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

// One sample in edge mode: sleeps until the kernel reports a change (at
// most kEdgeWaitMs), then reads the level from the start of the file. The
// read also clears the report, so the next wait sleeps until the next
// change. False when the read fails; value is then left as it was.
static bool waitAndRead(int fd, int* value) {
  struct pollfd watch;
  watch.fd = fd;
  watch.events = POLLPRI | POLLERR;
  watch.revents = 0;
  poll(&watch, 1, kEdgeWaitMs);
  char level;
  const ssize_t n = pread(fd, &level, 1, 0);
  if (n == 0) errno = ENODATA;
  if (n != 1) return false;
  *value = level == '0' ? 0 : 1;
  return true;
}

// A termination gets the interrupt's orderly stop: the logs are buffered,
// and dying by the signal would lose every window not yet flushed. Like
// roscpp's own interrupt handler, this only sets its shutdown flag.
static void requestStop(int) {
  ros::requestShutdown();
}

int main(int argc, char** argv) {
  standard_streams();
  ros::init(argc, argv, "tachometer");
  signal(SIGTERM, requestStop);
  ros::NodeHandle node;
  ros::Publisher publisher = node.advertise<pelmora::Tachometer>("/tachometer", 1);

  const bool edges = takeEdgesFlag(&argc, argv);
  int counts = 0;
  int speed = 0;
  readArguments(argc, argv, &counts, &speed);
  printf("This iteration's\nCounts=%d\nSpeed=%d\n", counts, speed);

  int value = 0;
  gpioGetValue(kSensorLine, &value);
  // Edge mode: the setting found here is put back at the end, as the pin
  // holder owns the line. -1: busy polling.
  char foundEdge[kEdgeSettingSize];
  const bool edgeKnown = edges && readEdgeSetting(foundEdge);
  int edgeFd = edgeKnown ? watchEdges(foundEdge) : -1;
  const bool edgeSet = edgeFd >= 0;
  initTimer();

  char rpmName[kLogNameSize];
  char durationName[kLogNameSize];
  rpmLogName(rpmName, counts, speed);
  durationLogName(durationName, counts, speed);
  printf("Files:\n'%s'\n'%s'\n", rpmName, durationName);
  FILE* rpmLog = openLog(rpmName);
  FILE* durationLog = openLog(durationName);
  // Nothing is ever written to the raw log; it is still created (emptied)
  // at each start because the robot's other scripts may expect the file.
  FILE* rawLog = openLog(kRawLogName);

  double last = 0.0;
  double elapsed = 0.0;
  unsigned int changes = 0;
  while (ros::ok()) {
    // Busy polling unless edge mode: a sleep would miss short pulses, and
    // without edge events nothing tells when to look.
    while (ros::ok() && windowOpen(changes, counts, elapsed)) {
      const int prev = value;
      while (ros::ok() && value == prev) {
        if (edgeFd < 0) {
          gpioGetValue(kSensorLine, &value);
        } else if (!waitAndRead(edgeFd, &value)) {
          fprintf(stderr, "tachometer: cannot read gpio%d (%s), polling instead\n", kSensorLine,
                  strerror(errno));
          gpioClose(edgeFd);
          edgeFd = -1;
        }
        if (value != prev) {
          elapsed = millis() - last;
          printf("%d @ %lf ms\n", value, elapsed);
          ++changes;
        }
      }
    }
    elapsed = millis() - last;
    last = millis();

    pelmora::Tachometer message;
    message.rpm = windowRpm(changes, elapsed);
    publisher.publish(message);
    appendToLog(rpmLog, message.rpm);
    appendToLog(durationLog, elapsed);

    startNextWindow(&changes, &elapsed);
    ros::spinOnce();
  }

  if (edgeFd >= 0) gpioClose(edgeFd);
  if (edgeSet) gpioSetEdge(kSensorLine, foundEdge);

  closeLog(rpmLog);
  closeLog(durationLog);
  closeLog(rawLog);
  return 0;
}

// tachometer: measures the wheel's speed from its sensor on GPIO line 397.
// Counts the line's level changes per window, publishes revolutions per
// minute on /tachometer and appends each window to logs under files/.
//   tachometer [counts [speed]]   (the line exported as input, files/ present)
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <pelmora/Tachometer.h>
#include <ros/ros.h>

#include "clock.h"
#include "gpio_sysfs.h"
#include "window.h"

static const int kSensorLine = 397;

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

// A termination gets the interrupt's orderly stop: the logs are buffered,
// and dying by the signal would lose every window not yet flushed. Like
// roscpp's own interrupt handler, this only sets its shutdown flag.
static void requestStop(int) {
  ros::requestShutdown();
}

int main(int argc, char** argv) {
  ros::init(argc, argv, "tachometer");
  signal(SIGTERM, requestStop);
  ros::NodeHandle node;
  ros::Publisher publisher = node.advertise<pelmora::Tachometer>("/tachometer", 1);

  int counts = 0;
  int speed = 0;
  readArguments(argc, argv, &counts, &speed);
  printf("This iteration's\nCounts=%d\nSpeed=%d\n", counts, speed);

  int value = 0;
  gpioGetValue(kSensorLine, &value);
  initTimer();

  char rpmName[kLogNameSize];
  char durationName[kLogNameSize];
  rpmLogName(rpmName, counts, speed);
  durationLogName(durationName, counts, speed);
  printf("Files:\n'%s'\n'%s'\n", rpmName, durationName);
  FILE* rpmLog = openLog(rpmName);
  FILE* durationLog = openLog(durationName);
  FILE* rawLog = openLog(kRawLogName);

  double last = 0.0;
  double elapsed = 0.0;
  unsigned int changes = 0;
  while (ros::ok()) {
    // Busy polling: the sysfs value file gives no cheaper way to see every
    // change, and a sleep would miss short pulses.
    while (ros::ok() && windowOpen(changes, counts, elapsed)) {
      const int prev = value;
      while (ros::ok() && value == prev) {
        gpioGetValue(kSensorLine, &value);
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

    // The next window is measured in full: a long window must not close
    // the next one at once with 0 rpm.
    changes = 0;
    elapsed = 0.0;
    ros::spinOnce();
  }

  closeLog(rpmLog);
  closeLog(durationLog);
  closeLog(rawLog);
  return 0;
}

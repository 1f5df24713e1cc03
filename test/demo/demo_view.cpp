// The demo's live view and scripted operator. As a ROS node it waits
// until the car's nodes and drive_command are registered, listens to
// /tachometer and to the drive commands on "serial", plays the scenario
// (wheel speed, and lines at drive_command's console) and shows true rpm,
// published rpm, commands and the bytes at the drive controller side by
// side. The car's own operator node, teleop_files, turns the commands into
// the serial bridge's command files.
//
//   demo_view --run DIR --seconds N --rpm R --drive-console FIFO
//             --drive-record FILE [--interactive]
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include <ros/ros.h>
#include <pelmora/Tachometer.h>
#include <pelmora/Telemetry.h>

#include "demo_logic.h"
#include "gpio_board.h"

namespace {

struct Options {
  std::string run;           // the demo's run folder (its rpm logs)
  double seconds = 30;       // 0: until the user quits
  double rpm = 600;          // starting wheel speed
  std::string driveConsole;  // fifo on drive_command's standard input
  std::string driveRecord;   // the drive controller stand-in's byte record
  bool interactive = false;
};

// Written by ROS callbacks (spinOnce, main thread), read by the view.
double g_start = 0;
double g_publishedRpm = NAN;
int g_windows = 0;
int g_speed = 0, g_angle = 0, g_commands = 0;
FILE* g_publishedLog = nullptr;
FILE* g_trueLog = nullptr;
double g_trueRpm = 0;

double now() { return ros::WallTime::now().toSec(); }

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--interactive") {
      o->interactive = true;
    } else if (a == "--run" && hasValue) {
      o->run = argv[++i];
    } else if (a == "--seconds" && hasValue) {
      o->seconds = atof(argv[++i]);
    } else if (a == "--rpm" && hasValue) {
      o->rpm = atof(argv[++i]);
    } else if (a == "--drive-console" && hasValue) {
      o->driveConsole = argv[++i];
    } else if (a == "--drive-record" && hasValue) {
      o->driveRecord = argv[++i];
    } else {
      fprintf(stderr, "demo_view: unknown or incomplete option %s\n", a.c_str());
      return false;
    }
  }
  return !o->run.empty() && !o->driveConsole.empty();
}

void onTachometer(const pelmora::Tachometer::ConstPtr& m) {
  g_publishedRpm = m->rpm;
  ++g_windows;
  if (g_publishedLog) fprintf(g_publishedLog, "%.3f %.3f\n", now() - g_start, m->rpm);
}

void onCommand(const pelmora::Telemetry::ConstPtr& m) {
  g_speed = m->speed;
  g_angle = m->angle;
  ++g_commands;
}

bool setWheelRpm(double rpm) {
  char command[64];
  snprintf(command, sizeof command, "wave 397 rpm %g", rpm);
  std::string reply = gpioBoard(command);
  if (reply.compare(0, 2, "ok") != 0) {
    fprintf(stderr, "demo_view: the wheel stand-in refused '%s': %s\n", command, reply.c_str());
    return false;
  }
  g_trueRpm = rpm;
  if (g_trueLog) fprintf(g_trueLog, "%.3f %.3f\n", now() - g_start, rpm);
  return true;
}

// True once the car's nodes and drive_command's are registered, within
// seconds: the scenario is timed from then.
bool waitForCar(double seconds) {
  const char* const wanted[] = {"/tachometer", "/camera_launcher", "/teleop_files", "/serial_writer"};
  for (const double end = now() + seconds; now() < end; ros::WallDuration(0.1).sleep()) {
    ros::V_string nodes;
    if (!ros::master::getNodes(nodes)) continue;
    size_t found = 0;
    for (const char* node : wanted) found += std::count(nodes.begin(), nodes.end(), node) > 0 ? 1 : 0;
    if (found == sizeof wanted / sizeof wanted[0]) return true;
  }
  return false;
}

bool sendConsole(int fd, const std::string& line) {
  std::string text = line + "\n";
  return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The newest pairs the drive controller received, as "a,b" texts.
std::vector<std::string> lastDrivePairs(const std::string& record, size_t count, long* total) {
  std::vector<int> bytes = readDriveRecordBytes(record);
  *total = static_cast<long>(bytes.size());
  std::vector<std::string> pairs;
  size_t pairCount = bytes.size() / 2;
  for (size_t p = pairCount > count ? pairCount - count : 0; p < pairCount; ++p)
    pairs.push_back(std::to_string(bytes[2 * p]) + "," + std::to_string(bytes[2 * p + 1]));
  return pairs;
}

void showView(const Options& o, double elapsed, bool tty) {
  long total = 0;
  std::vector<std::string> pairs = lastDrivePairs(o.driveRecord, 4, &total);
  std::string recent;
  for (const std::string& p : pairs) recent += " [" + p + "]";
  char published[32];
  if (std::isnan(g_publishedRpm))
    snprintf(published, sizeof published, "%s", "-");
  else
    snprintf(published, sizeof published, "%.1f", g_publishedRpm);
  if (tty) printf("\033[H\033[J");
  printf("t=%5.1fs | wheel true %7.1f rpm | published %9s rpm (%d windows) | command speed %d angle %d"
         " (%d msgs) | drive line %ld bytes:%s\n",
         elapsed, g_trueRpm, published, g_windows, g_speed, g_angle, g_commands, total, recent.c_str());
  if (tty && o.interactive)
    printf("type: rpm N | t N | s N | any drive_command text | q to quit\n");
  fflush(stdout);
}

// One line typed by the user; false when the user wants to stop.
bool handleUserLine(const std::string& line, int consoleFd) {
  if (line == "q" || line == "quit") return false;
  if (line.compare(0, 4, "rpm ") == 0) {
    setWheelRpm(atof(line.c_str() + 4));
    return true;
  }
  if (!sendConsole(consoleFd, line)) fprintf(stderr, "demo_view: drive_command's console is gone\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ros::init(argc, argv, "demo_view", ros::init_options::NoSigintHandler);
  Options o;
  if (!parseOptions(argc, argv, &o)) {
    fprintf(stderr, "usage: demo_view --run DIR --seconds N --rpm R --drive-console FIFO "
                    "--drive-record FILE [--interactive]\n");
    return 2;
  }
  g_publishedLog = fopen((o.run + "/published_rpm.log").c_str(), "w");
  g_trueLog = fopen((o.run + "/true_rpm.log").c_str(), "w");
  int consoleFd = open(o.driveConsole.c_str(), O_WRONLY);
  if (consoleFd < 0) {
    fprintf(stderr, "demo_view: cannot open %s: %s\n", o.driveConsole.c_str(), strerror(errno));
    return 1;
  }
  if (!waitForCar(60)) {
    fprintf(stderr, "demo_view: the car's nodes did not all register within 60 s\n");
    return 1;
  }
  ros::NodeHandle nh;
  ros::Subscriber tach = nh.subscribe("/tachometer", 100, onTachometer);
  ros::Subscriber cmd = nh.subscribe("/serial", 100, onCommand);

  g_start = now();
  setWheelRpm(o.rpm);
  std::vector<ScenarioStep> steps = demoScenario(o.rpm, o.seconds);
  size_t nextStep = 0;
  const bool tty = isatty(1);
  double lastView = 0;
  std::string typed;
  bool running = true;
  while (running && ros::ok()) {
    double elapsed = now() - g_start;
    if (!o.interactive && elapsed >= o.seconds) break;
    while (!o.interactive && nextStep < steps.size() && steps[nextStep].at <= elapsed) {
      const ScenarioStep& s = steps[nextStep++];
      if (s.rpm > 0) setWheelRpm(s.rpm);
      if (!s.console.empty()) sendConsole(consoleFd, s.console);
    }
    ros::spinOnce();
    if (elapsed - lastView >= (tty ? 0.5 : 2.0)) {
      showView(o, elapsed, tty);
      lastView = elapsed;
    }
    struct pollfd in = {0, POLLIN, 0};
    if (o.interactive && poll(&in, 1, 50) > 0) {
      char buf[256];
      ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) break;  // the user's console closed: stop, do not spin
      typed.append(buf, static_cast<size_t>(n));
      size_t nl;
      while (running && (nl = typed.find('\n')) != std::string::npos) {
        running = handleUserLine(typed.substr(0, nl), consoleFd);
        typed.erase(0, nl + 1);
      }
    } else if (!o.interactive) {
      usleep(50 * 1000);
    }
  }
  showView(o, now() - g_start, false);
  // The speed in force up to the end, so the plot's true line reaches it.
  if (g_trueLog) fprintf(g_trueLog, "%.3f %.3f\n", now() - g_start, g_trueRpm);
  close(consoleFd);
  if (g_publishedLog) fclose(g_publishedLog);
  if (g_trueLog) fclose(g_trueLog);
  return 0;
}

// Shared set-up for the serial bridge tests; see bridge_harness.h.
#include "bridge_harness.h"

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

void makeDir(const std::string& path) {
  std::string cmd = "mkdir -p '" + path + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot create %s\n", path.c_str());
}

}  // namespace

CommandTree makeCommandTree() {
  CommandTree tree;
  tree.root = makeTempDir("/tmp/serial_test");
  tree.run = tree.root + "/run";
  tree.teleop = tree.root + "/teleop";
  tree.raw = tree.root + "/py/teleOp";
  makeDir(tree.run);
  makeDir(tree.teleop);
  makeDir(tree.raw);
  return tree;
}

void removeCommandTree(const CommandTree& tree) { removeTree(tree.root); }

void writeAtomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
  }
  rename(temporary.c_str(), path.c_str());
}

void writeInPlace(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

bool startDriveController(DriveController* drive, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {programPath("drive_controller")};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!startChild(&drive->child, argv)) return false;
  return waitForOutput(&drive->child, "ready /dev/ttyACM0\n", 10);
}

void updateDrive(DriveController* drive, double seconds) {
  pumpOutput(&drive->child, seconds);
  const std::string& text = drive->child.outText;
  size_t end;
  while ((end = text.find('\n', drive->parsedUpTo)) != std::string::npos) {
    std::istringstream line(text.substr(drive->parsedUpTo, end - drive->parsedUpTo));
    drive->parsedUpTo = end + 1;
    LineEvent e{0, -1, ""};
    std::string what;
    if (!(line >> e.time >> what)) continue;
    if (what.find_first_not_of("0123456789") == std::string::npos) {
      e.byte = atoi(what.c_str());
    } else {
      e.event = what;
    }
    drive->events.push_back(e);
  }
}

std::vector<int> driveBytes(const DriveController& drive) {
  std::vector<int> bytes;
  for (const LineEvent& e : drive.events) {
    if (e.byte >= 0) bytes.push_back(e.byte);
  }
  return bytes;
}

int countEvents(const DriveController& drive, const std::string& event) {
  int n = 0;
  for (const LineEvent& e : drive.events) {
    if (e.event == event) ++n;
  }
  return n;
}

bool waitExitReading(Child* bridge, DriveController* drive, double seconds) {
  return waitUntil([&] {
    updateDrive(drive, 0);
    return waitExit(bridge, 0.005);
  }, seconds);
}

bool waitForOutputReading(Child* bridge, DriveController* drive, const std::string& needle, double seconds) {
  return waitUntil([&] {
    updateDrive(drive, 0);
    return waitForOutput(bridge, needle, 0.005);
  }, seconds);
}

bool startTachoController(Child* tacho, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {programPath("tacho_controller")};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!startChild(tacho, argv)) return false;
  return waitForOutput(tacho, "ready /dev/ttyACM1\n", 10);
}

bool startBridge(Child* bridge, const std::string& build, const std::vector<std::string>& args,
                 const std::string& dir, InputMode input) {
  std::vector<std::string> argv = {programPath(build)};
  argv.insert(argv.end(), args.begin(), args.end());
  return startChild(bridge, argv, dir, {}, nullptr, input);
}

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

int watchFileReads(const std::string& dir) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd >= 0) inotify_add_watch(fd, dir.c_str(), IN_CLOSE_NOWRITE);
  return fd;
}

bool waitForFileReads(int watch, const std::string& name, int n, double seconds) {
  int seen = 0;
  const double deadline = nowSeconds() + seconds;
  alignas(struct inotify_event) char buf[64 * 1024];
  while (seen < n) {
    double left = deadline - nowSeconds();
    if (left <= 0) return false;
    struct pollfd p = {watch, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    ssize_t len = read(watch, buf, sizeof buf);
    for (ssize_t at = 0; at < len;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      if (e->len > 0 && name == e->name) ++seen;
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
    }
  }
  return true;
}

const Build kBuilds[2] = {{"serial", 166, true}, {"serial_raw", 90, false}};

std::string commandFolder(const CommandTree& tree, const Build& build) {
  return build.name == "serial" ? tree.teleop : tree.raw;
}

void writeCommandFiles(const CommandTree& tree, const Build& build, int throttle, int steering) {
  writeAtomically(commandFolder(tree, build) + "/throttle.txt", std::to_string(throttle) + "\n");
  writeAtomically(commandFolder(tree, build) + "/steering.txt", std::to_string(steering) + "\n");
}

int steeringOf(const Build& build, int steering) { return (build.negate ? -steering : steering) & 0xFF; }

std::string echo(int throttle, int steering) {
  return "Throttle = " + std::to_string(throttle) + "\nSteering = " + std::to_string(steering) + "\n\n";
}

std::vector<int> bytesSinceLastOpen(const DriveController& drive) {
  std::vector<int> bytes;
  for (const LineEvent& e : drive.events) {
    if (e.event == "open") bytes.clear();
    if (e.byte >= 0) bytes.push_back(e.byte);
  }
  return bytes;
}

std::vector<DrivePair> drivePairs(const DriveController& drive) {
  std::vector<DrivePair> pairs;
  int throttle = -1;
  for (const LineEvent& e : drive.events) {
    if (e.event == "open") throttle = -1;
    if (e.byte < 0) continue;
    if (throttle < 0) {
      throttle = e.byte;
    } else {
      pairs.push_back(DrivePair{e.time, throttle, e.byte});
      throttle = -1;
    }
  }
  return pairs;
}

double firstPairAfter(const DriveController& drive, int throttle, int steering, double after) {
  for (const DrivePair& p : drivePairs(drive)) {
    if (p.time > after && p.throttle == throttle && p.steering == steering) return p.time;
  }
  return -1;
}


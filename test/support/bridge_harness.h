// Shared set-up for the serial bridge tests: a temporary tree holding the
// command file folders, the controller stand-ins as children, and the drive
// controller's record parsed into bytes and line events.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"
#include "process_watch.h"

// A temporary tree: <root>/run is the bridge's working directory, so
// <root>/teleop and <root>/py/teleOp are its command file folders.
struct CommandTree {
  std::string root;
  std::string run;
  std::string teleop;  // folder of the serial build's files
  std::string raw;     // folder of the serial_raw build's files
};

CommandTree makeCommandTree();
void removeCommandTree(const CommandTree& tree);

// Writes the way an operator program should: temporary file, then rename.
void writeAtomically(const std::string& path, const std::string& text);
// Writes in place (truncate, then write), as a careless operator might.
void writeInPlace(const std::string& path, const std::string& text);

// One line of the drive controller's record.
struct LineEvent {
  double time;
  int byte;           // -1 for an event line
  std::string event;  // "open", "close", ... or empty for a byte
};

// The drive controller stand-in, its output parsed as it comes.
struct DriveController {
  Child child;
  size_t parsedUpTo = 0;
  std::vector<LineEvent> events;
};

// Extra arguments (--unpaced, ...) are passed on.
bool startDriveController(DriveController* drive, const std::vector<std::string>& args = {});
// Reads what the stand-in printed so far (waiting at most seconds).
void updateDrive(DriveController* drive, double seconds);
std::vector<int> driveBytes(const DriveController& drive);
int countEvents(const DriveController& drive, const std::string& event);
// Waits until pred(drive) holds, reading the record meanwhile.
template <typename Pred>
bool waitDrive(DriveController* drive, Pred pred, double seconds) {
  const double deadline = nowSeconds() + seconds;
  while (true) {
    updateDrive(drive, 0);
    if (pred(*drive)) return true;
    if (nowSeconds() >= deadline) return false;
    updateDrive(drive, 0.01);
  }
}

// waitExit and waitForOutput for a bridge that writes to the drive line:
// they keep reading the drive controller's record meanwhile, since a writer
// flooding the line (serial_raw) stalls once the stand-in's output backs up.
bool waitExitReading(Child* bridge, DriveController* drive, double seconds);
bool waitForOutputReading(Child* bridge, DriveController* drive, const std::string& needle, double seconds);

// The tachometer controller stand-in; extra arguments are passed on.
bool startTachoController(Child* tacho, const std::vector<std::string>& args = {});

// Starts a bridge build ("serial" or "serial_raw") with args in dir.
bool startBridge(Child* bridge, const std::string& build, const std::vector<std::string>& args,
                 const std::string& dir, InputMode input = kBlockingInput);

// Counts the occurrences of needle in text.
int countOf(const std::string& text, const std::string& needle);

// Watches dir for files read to the end and closed (the writer's passes).
int watchFileReads(const std::string& dir);
// Waits until name in the watched dir has been read n more times.
bool waitForFileReads(int watch, const std::string& name, int n, double seconds);

// The two shipped builds and what tells them apart on the wire.
struct Build {
  std::string name;
  int neutralSteering;
  bool negate;
};
extern const Build kBuilds[2];

// The folder of a build's command files in tree.
std::string commandFolder(const CommandTree& tree, const Build& build);
// Writes a build's two command files, each atomically.
void writeCommandFiles(const CommandTree& tree, const Build& build, int throttle, int steering);

// The steering byte a build sends for a steering value.
int steeringOf(const Build& build, int steering);
// The serial build's console echo of one pair.
std::string echo(int throttle, int steering);
// The bytes the controller received since the host last opened the line.
std::vector<int> bytesSinceLastOpen(const DriveController& drive);

// A command pair as the controller took it: the time of its second byte.
// Pairs are counted from each opening of the line.
struct DrivePair {
  double time;
  int throttle;
  int steering;
};
std::vector<DrivePair> drivePairs(const DriveController& drive);
// When the pair first arrived after the time after; -1 if it has not.
double firstPairAfter(const DriveController& drive, int throttle, int steering, double after);

// The same, waiting at most seconds for it, reading the record meanwhile
// and calling pump() at each look (to drain other programs' output).
template <typename Pump>
double pairArrival(DriveController* drive, int throttle, int steering, double after, double seconds, Pump pump) {
  double at = -1;
  waitDrive(drive, [&](const DriveController& d) {
    pump();
    at = firstPairAfter(d, throttle, steering, after);
    return at >= 0;
  }, seconds);
  return at;
}


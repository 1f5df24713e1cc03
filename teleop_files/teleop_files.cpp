// teleop_files: ROS node "teleop_files", the operator program between
// drive_command and the serial bridge. It keeps the latest command on
// "serial" in FOLDER/throttle.txt and FOLDER/steering.txt, the files that
// `serial write` forwards to the drive controller, rewriting them at least
// every 100 ms while commands arrive. Without a command for 500 ms, and
// when it ends, the files hold the neutral command.
//   teleop_files [FOLDER] [ROS arguments]      FOLDER defaults to ../teleop, created when missing
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <ros/callback_queue.h>
#include <ros/ros.h>

#include <pelmora/Telemetry.h>

#include "console.h"
#include "folders.h"
#include "teleop_logic.h"

// Set by the stop-signal handler, read by the main loop.
static volatile sig_atomic_t g_stop = 0;

// Written by the subscription callback and by the main loop, both on the
// main thread (callbacks run inside callAvailable).
static TeleopState g_state;

struct CommandFiles {
  std::string folder;
  std::string throttlePath;  // folder/throttle.txt
  std::string steeringPath;  // folder/steering.txt
  CommandFile throttle;
  CommandFile steering;
  bool failing;  // a write failed and was reported; cleared by the next success
};

// Async-signal-safe: a flag, and roscpp's own shutdown request, which only
// sets one too (it ends a wait for the master).
static void onStopSignal(int) {
  g_stop = 1;
  ros::requestShutdown();
}

static void catchStopSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  // SIGHUP too: a closed terminal must not leave the car at the last command.
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGHUP, &sa, NULL);
}

static double monotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

static void onCommand(const pelmora::Telemetry::ConstPtr& message) {
  teleopCommand(&g_state, message->speed, message->angle, monotonicSeconds());
}

// Writes value and a newline to a temporary file beside path, to be
// renamed over it: a reader opens either the old number or the new one,
// never part of one. Returns 0, or the errno of the step that failed.
static int writeTemporary(const std::string& path, int value, std::string* temporary) {
  *temporary = path + ".tmp." + std::to_string(getpid());
  int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  char text[16];
  const int length = snprintf(text, sizeof text, "%d\n", value);
  const ssize_t written = write(fd, text, static_cast<size_t>(length));
  int error = written == length ? 0 : (written < 0 ? errno : EIO);
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(temporary->c_str());
    temporary->clear();
  }
  return error;
}

// One command file to bring to a value.
struct Replacement {
  const std::string* path;
  CommandFile* file;
  int wanted;
  bool due;               // it needs writing now
  std::string temporary;  // its new content, once written
  int held;               // the file it replaces, held open across the renames; -1 if none
};

// Brings both files to the state's pair; a file that failed is tried again
// on the next call. Both new files are written before either is renamed
// into place, and then renamed one right after the other, so a reader
// woken by the first rename finds the second moments later; when one
// cannot be written, neither is replaced, so no pair is half new. Returns
// 0 or the first errno.
static int updateFiles(CommandFiles* files, const TeleopState& state) {
  const double now = monotonicSeconds();
  Replacement both[2] = {{&files->throttlePath, &files->throttle, state.speed, false, "", -1},
                         {&files->steeringPath, &files->steering, state.angle, false, "", -1}};
  int error = 0;
  for (Replacement& r : both) {
    r.due = fileNeedsWrite(*r.file, r.wanted, state, now);
    if (r.due && error == 0) error = writeTemporary(*r.path, r.wanted, &r.temporary);
  }
  // The files being replaced are held open across the renames, so the
  // last reference to each is dropped at the close below, not inside its
  // rename: freeing a file (on ext4, with the journal) can take
  // milliseconds, which would hold the second rename back.
  for (Replacement& r : both) {
    if (!r.temporary.empty()) r.held = open(r.path->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  for (Replacement& r : both) {
    if (r.temporary.empty()) continue;
    if (error == 0 && rename(r.temporary.c_str(), r.path->c_str()) != 0) error = errno;
    if (error != 0) {
      unlink(r.temporary.c_str());
      continue;
    }
    r.file->written = true;
    r.file->value = r.wanted;
    r.file->writtenAt = now;
  }
  for (Replacement& r : both) {
    if (r.held >= 0) close(r.held);
  }
  return error;
}

// As updateFiles, reporting a failure once until the files can be written again.
static void keepFilesUpdated(CommandFiles* files, const TeleopState& state) {
  const int error = updateFiles(files, state);
  if (error != 0 && !files->failing)
    fprintf(stderr, "teleop_files: cannot replace the command files in %s: %s\n", files->folder.c_str(),
            strerror(error));
  files->failing = error != 0;
}

static void followCommands(CommandFiles* files) {
  ros::NodeHandle node;
  ros::Subscriber commands = node.subscribe("serial", 10, onCommand);
  ros::CallbackQueue* queue = ros::getGlobalCallbackQueue();
  while (!g_stop && ros::ok()) {
    // Back at least every 10 ms, so the deadman is never later than that.
    queue->callAvailable(ros::WallDuration(0.01));
    if (teleopDeadman(&g_state, monotonicSeconds()))
      printf("teleop_files: no command for %.0f ms: neutral command (%d, %d)\n", kDeadmanSeconds * 1000,
             kNeutralThrottle, kNeutralSteering);
    keepFilesUpdated(files, g_state);
  }
}

int main(int argc, char** argv) {
  openMissingStandardStreams();
  // Line-buffered into a log too, so the deadman's line shows when it fires.
  setvbuf(stdout, NULL, _IOLBF, 0);
  try {
    ros::init(argc, argv, "teleop_files", ros::init_options::NoSigintHandler);
  } catch (const ros::Exception& e) {
    fprintf(stderr, "teleop_files: %s\n", e.what());
    return 1;
  }
  // ros::init has taken the ROS arguments out of argv.
  if (argc > 2) {
    fprintf(stderr, "usage: teleop_files [FOLDER] [ROS arguments]\n");
    return 2;
  }
  catchStopSignals();

  CommandFiles files;
  files.folder = argc > 1 ? argv[1] : kSerialCommandFolder;
  files.throttlePath = files.folder + "/" + kThrottleName;
  files.steeringPath = files.folder + "/" + kSteeringName;
  files.throttle.written = false;
  files.steering.written = false;
  files.failing = false;
  teleopStart(&g_state);
  // The bridge may already be reading: it starts at rest, and a folder
  // that cannot be made or written is found before the first command.
  int error = makeFolders(files.folder.c_str());
  if (error == 0) error = updateFiles(&files, g_state);
  if (error != 0) {
    fprintf(stderr, "teleop_files: cannot write the command files in %s: %s\n", files.folder.c_str(),
            strerror(error));
    return 1;
  }
  printf("teleop_files: command files in %s, at the neutral command\n", files.folder.c_str());

  followCommands(&files);

  teleopStop(&g_state);
  keepFilesUpdated(&files, g_state);
  printf("teleop_files: stopped at the neutral command\n");
  return files.failing ? 1 : 0;
}

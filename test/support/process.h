// Child processes for tests: start a shipped program with pipes on its
// console, feed it, read what it prints with bounded waits, and stop it.
// Every child started here is killed at exit, also when a test fails.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

#include "monotonic_clock.h"

struct Child {
  pid_t pid = -1;
  int in = -1;   // write end of the child's standard input, -1 once closed
  int out = -1;  // read end of its standard output
  int err = -1;  // read end of its standard error
  std::string outText;  // everything read from out so far
  std::string errText;  // everything read from err so far
  int status = -1;      // wait status once it has exited
  bool exited = false;
};

// How the child's standard streams are handed over: some launchers give a
// non-blocking input, some start a program with streams closed.
enum InputMode {
  kBlockingInput,
  kNonBlockingInput,
  kClosedInput,    // standard input closed
  kClosedOutput,   // standard output and error closed, input a pipe
  kClosedStreams,  // all three closed
};

// Starts argv[0] (a path) with argv, in directory cwd (empty: inherit),
// with the extra "NAME=value" entries in env. Returns false and sets
// *error when the program could not be started.
bool startChild(Child* child, const std::vector<std::string>& argv, const std::string& cwd = "",
                const std::vector<std::string>& env = {}, std::string* error = nullptr,
                InputMode input = kBlockingInput);

// Writes text to the child's standard input; false when the pipe is gone.
bool writeInput(Child* child, const std::string& text);
void closeInput(Child* child);

// Waits at most seconds until the child has read everything written to its
// standard input and one of its threads waits in a read of that pipe again
// (or its only thread in poll, as a reader that polls before each read
// does): a reader back in its wait has acted on all it read before. True
// when so.
bool waitInputTaken(Child* child, double seconds);

// Reads whatever the child printed, waiting at most seconds for more.
void pumpOutput(Child* child, double seconds);

// Waits until needle appears in the child's standard output (or standard
// error when fromErr), at most seconds. True when it appeared.
bool waitForOutput(Child* child, const std::string& needle, double seconds, bool fromErr = false);

// Waits at most seconds for the child to exit; true when it has.
bool waitExit(Child* child, double seconds);

// Exit code when it exited normally, -1 otherwise (or still running).
int exitCode(const Child& child);

// Sends sig; then, if it has not exited after seconds, SIGKILL. Always reaps.
void stopChild(Child* child, int sig, double seconds);

// Kills every child still running (also called at exit).
void killAllChildren();

// Makes a fresh folder prefix.XXXXXX (prefix a path, as "/tmp/name");
// "" when it cannot.
std::string makeTempDir(const std::string& prefix);

// Removes dir and everything in it, going on past what it cannot remove;
// "" removes nothing.
void removeTree(const std::string& dir);

// The folder of the build's programs (stand-ins included): $SIMBOARD_BIN
// when set, else the build's own; and the path of one of them.
std::string programDir();
std::string programPath(const std::string& name);

// Polls pred every few milliseconds until it is true or seconds pass.
template <typename Pred>
bool waitUntil(Pred pred, double seconds) {
  const double deadline = nowSeconds() + seconds;
  while (true) {
    if (pred()) return true;
    if (nowSeconds() >= deadline) return false;
    struct timespec pause = {0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

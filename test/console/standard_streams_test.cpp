// Every program started without some of its standard streams opens
// /dev/null in their place before anything else, so no line, log or socket
// it opens becomes its console or its output. Each runs in an empty
// simulated board with an unreachable ROS master, where it waits (on its
// console, or for the master); /proc shows what its descriptors point to.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"
#include "process_watch.h"

namespace {

struct Row {
  std::vector<std::string> argv;  // the program's name and its arguments
  InputMode streams;
};

// Where descriptor fd of pid points; empty while it is closed.
std::string target(pid_t pid, int fd) {
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char buf[256];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

}  // namespace

TEST(StandardStreams, EveryProgramStartedWithoutThemHasDevNullInstead) {
  const std::string dir = makeTempDir("/tmp/standard_streams");
  ASSERT_NE("", dir);
  // Those that read a console keep their input, or its end would stop them
  // (without one, --no-console, they do not read it).
  const Row rows[] = {
      {{"gpio_hold"}, kClosedOutput},      {{"serial", "write"}, kClosedOutput},
      {{"drive_command"}, kClosedOutput},  {{"tachometer"}, kClosedStreams},
      {{"teleop_files", dir}, kClosedStreams}, {{"camera_launcher"}, kClosedStreams},
      {{"gpio_hold", "--no-console"}, kClosedStreams}, {{"serial", "--no-console", "write"}, kClosedStreams},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.argv[0]);
    std::vector<std::string> argv = row.argv;
    argv[0] = programPath(argv[0]);
    Child child;
    ASSERT_TRUE(startChild(&child, argv, dir, {"ROS_MASTER_URI=http://127.0.0.1:1"}, nullptr, row.streams));
    const int first = row.streams == kClosedStreams ? 0 : 1;
    // Closed until the program's main has run.
    waitUntil([&] {
      for (int fd = first; fd <= 2; ++fd) {
        if (target(child.pid, fd).empty()) return false;
      }
      return true;
    }, 10);
    for (int fd = first; fd <= 2; ++fd) {
      EXPECT_EQ("/dev/null", target(child.pid, fd)) << "descriptor " << fd << "; " << endOf(child);
    }
    stopChild(&child, SIGKILL, 5);
  }
  removeTree(dir);
}

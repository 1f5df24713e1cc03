// teleop_files: when the deadman decides to rest the car, and the shipped
// node between a publisher on "serial" and readers of its command files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <ros/ros.h>
#include <pelmora/Telemetry.h>

#include "bridge_harness.h"
#include "process.h"
#include "ros_graph.h"
#include "teleop_logic.h"

namespace {

TEST(TeleopDecisions, DeadmanFiresOnceHalfASecondAfterTheLastCommandAndTheEndRests) {
  TeleopState s;
  teleopStart(&s);
  EXPECT_FALSE(teleopDeadman(&s, 100));  // no operator yet: already at rest
  teleopCommand(&s, 1700, 60, 10);
  EXPECT_FALSE(teleopDeadman(&s, 10.499));
  EXPECT_EQ(1700, s.speed);
  EXPECT_EQ(60, s.angle);
  teleopCommand(&s, 1700, 60, 10.25);  // each command starts the half second anew
  EXPECT_FALSE(teleopDeadman(&s, 10.74));
  EXPECT_TRUE(teleopDeadman(&s, 10.75));
  EXPECT_EQ(kNeutralThrottle, s.speed);
  EXPECT_EQ(kNeutralSteering, s.angle);
  EXPECT_FALSE(teleopDeadman(&s, 20));  // once per silence
  teleopCommand(&s, 1650, 100, 30);     // the next command takes over
  EXPECT_EQ(1650, s.speed);
  EXPECT_TRUE(teleopDeadman(&s, 30.5));
  teleopCommand(&s, 1900, 10, 40);  // the node ends while driving
  teleopStop(&s);
  EXPECT_EQ(kNeutralThrottle, s.speed);
  EXPECT_EQ(kNeutralSteering, s.angle);
}

// A file is written first, then when its value changes, and while commands
// arrive also when its last write is kRefreshSeconds old (a writer with a
// freshness bound must see a live operator), never so at rest.
TEST(TeleopDecisions, AFileIsWrittenFirstOnChangesAndAgainWhileDriving) {
  TeleopState s;
  teleopStart(&s);
  CommandFile file = {false, 0, 0};
  EXPECT_TRUE(fileNeedsWrite(file, 0, s, 0));  // never written: even a 0 must go out
  file = {true, 1600, 0};
  EXPECT_FALSE(fileNeedsWrite(file, 1600, s, 100));  // at rest before any command
  teleopCommand(&s, 1700, 60, 10);
  file = {true, 1700, 10};
  EXPECT_FALSE(fileNeedsWrite(file, 1700, s, 10.08));
  EXPECT_TRUE(fileNeedsWrite(file, 1700, s, 10.1));
  EXPECT_TRUE(fileNeedsWrite(file, 1600, s, 10.001));
  EXPECT_LT(kRefreshSeconds, 0.1);
  ASSERT_TRUE(teleopDeadman(&s, 10.5));
  file = {true, 1600, 10.5};
  EXPECT_FALSE(fileNeedsWrite(file, 1600, s, 20));  // silent once the deadman fired
  teleopCommand(&s, 1700, 60, 30);
  teleopStop(&s);
  EXPECT_FALSE(fileNeedsWrite(file, 1600, s, 40));  // nor once the node ends
}

std::string readWhole(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "(missing)";
  char buf[64];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n < 0 ? "(unreadable)" : std::string(buf, static_cast<size_t>(n));
}

// The shipped node on the command folder of a temporary bridge tree, and a
// publisher on /serial.
class TeleopFiles : public testing::Test {
 protected:
  void SetUp() override {
    tree = makeCommandTree();
    teleop = tree.teleop;
    publisher = node.advertise<pelmora::Telemetry>("/serial", 10);
    startNode();
  }
  void TearDown() override {
    stopChild(&teleopFiles, SIGKILL, 5);
    stopChild(&bridge, SIGKILL, 5);
    stopChild(&controller.child, SIGTERM, 5);
    removeCommandTree(tree);
  }
  void startNode() {
    if (teleopFiles.pid > 0) stopChild(&teleopFiles, SIGKILL, 5);
    std::string error;
    ASSERT_TRUE(startChild(&teleopFiles, {programPath("teleop_files"), teleop}, "", {}, &error)) << error;
    ASSERT_TRUE(waitForOutput(&teleopFiles, "at the neutral command", 20)) << endOf(teleopFiles);
    ASSERT_TRUE(waitUntil([this] { return publisher.getNumSubscribers() > 0; }, 20));
  }
  void send(int speed, int angle) {
    pelmora::Telemetry m;
    m.speed = speed;
    m.angle = angle;
    publisher.publish(m);
  }
  bool filesHold(int speed, int angle) {
    return readWhole(teleop + "/throttle.txt") == std::to_string(speed) + "\n" &&
           readWhole(teleop + "/steering.txt") == std::to_string(angle) + "\n";
  }
  // Sends the command every 100 ms, as drive_command does, until done()
  // holds, at most seconds.
  template <typename Pred>
  bool sendUntil(int speed, int angle, Pred done, double seconds) {
    double next = 0;
    return waitUntil(
        [&] {
          if (nowSeconds() >= next) {
            send(speed, angle);
            next = nowSeconds() + 0.1;
          }
          return done();
        },
        seconds);
  }
  // Drives until the files hold the command.
  bool drive(int speed, int angle) {
    return sendUntil(speed, angle, [&] { return filesHold(speed, angle); }, 10);
  }

  ros::NodeHandle node;
  ros::Publisher publisher;
  CommandTree tree;
  std::string teleop;
  Child teleopFiles;
  // The car's writer (serial --watch) on tree, and the drive controller stand-in.
  Child bridge;
  DriveController controller;
};

// Counts the command files' events read from an inotify descriptor: writes
// into a file under its own name, and files renamed onto that name.
void countFileEvents(int watch, int* writtenInPlace, int* renamedOnto) {
  alignas(struct inotify_event) char buf[4096];
  ssize_t n;
  while ((n = read(watch, buf, sizeof buf)) > 0) {
    for (char* p = buf; p < buf + n;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(p);
      const std::string name = e->len ? e->name : "";
      if (name == "throttle.txt" || name == "steering.txt") {
        if (e->mask & (IN_MODIFY | IN_CLOSE_WRITE)) ++*writtenInPlace;
        if (e->mask & IN_MOVED_TO) ++*renamedOnto;
      }
      p += sizeof(struct inotify_event) + e->len;
    }
  }
}

TEST_F(TeleopFiles, AReaderInATightLoopNeverSeesAPartialNumber) {
  // The window of a write in place is a few microseconds, which a reader on
  // a busy machine rarely hits: the file system's own record says whether a
  // command file was ever written under its name.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, teleop.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO), 0);
  int writtenInPlace = 0, renamedOnto = 0;
  std::atomic<bool> done(false);
  std::atomic<int> changes(0);
  std::string odd;  // written by the reader until done, read after join
  std::thread reader([&] {
    std::string previous;
    while (!done) {
      const std::string text = readWhole(teleop + "/throttle.txt");
      if (text != previous) ++changes;
      previous = text;
      if (text != "1600\n" && text != "1\n" && text != "1234567890\n" && odd.empty()) odd = text;
    }
  });
  // As fast as the node takes them, between a short and a long number.
  const double end = nowSeconds() + 2;
  for (int i = 0; nowSeconds() < end; ++i) {
    send(i % 2 ? 1 : 1234567890, i % 2 ? 0 : -2147483647);
    countFileEvents(watch, &writtenInPlace, &renamedOnto);
    usleep(500);
  }
  done = true;
  reader.join();
  countFileEvents(watch, &writtenInPlace, &renamedOnto);
  close(watch);
  EXPECT_EQ("", odd) << "a reader saw a file that was not a whole number";
  EXPECT_GE(changes.load(), 20) << "too few replacements to tell";
  EXPECT_EQ(0, writtenInPlace);
  EXPECT_GE(renamedOnto, 40);
}

TEST_F(TeleopFiles, DeadmanRestsTheCarHalfASecondAfterTheLastCommandAndNotBefore) {
  ASSERT_TRUE(drive(1700, 60));
  send(1700, 60);
  // Received after it was sent: the node's half second ends after this one.
  const double lastSent = nowSeconds();
  ASSERT_TRUE(waitUntil([this] { return filesHold(kNeutralThrottle, kNeutralSteering); }, 5));
  const double rest = nowSeconds() - lastSent;
  EXPECT_GE(rest, kDeadmanSeconds);
  // The car is at rest within a second of losing its operator.
  EXPECT_LT(rest, 1.0);
  ASSERT_TRUE(waitForOutput(&teleopFiles, "no command for 500 ms", 5)) << teleopFiles.outText;

  // The next command takes over, and a new silence rests the car again.
  ASSERT_TRUE(drive(1650, 100));
  ASSERT_TRUE(waitUntil([this] { return filesHold(kNeutralThrottle, kNeutralSteering); }, 5));
  pumpOutput(&teleopFiles, 0.1);
  EXPECT_EQ(2, countOf(teleopFiles.outText, "no command for 500 ms")) << teleopFiles.outText;
}

// As the car runs them, teleop_files and serial --watch: commands that
// change both values at once reach the drive controller only as the pairs
// commanded, never as the new throttle with the old steering.
TEST_F(TeleopFiles, CommandsChangingBothValuesReachTheWireOnlyAsCommanded) {
  const int kCommands[4][2] = {{1700, 60}, {1650, 100}, {1750, 30}, {1600, 90}};
  const int kSent = 300;
  std::set<std::pair<int, int>> commanded;
  for (const auto& c : kCommands) commanded.insert({(c[0] - 1000) / 10, steeringOf(kBuilds[0], c[1])});
  ASSERT_TRUE(startDriveController(&controller));
  ASSERT_TRUE(startBridge(&bridge, "serial", {"--no-console", "--watch"}, tree.run));
  for (int i = 0; i < kSent; ++i) {
    send(kCommands[i % 4][0], kCommands[i % 4][1]);
    const double next = nowSeconds() + 0.02;
    waitUntil([&] { pumpOutput(&bridge, 0); updateDrive(&controller, 0); return nowSeconds() >= next; }, 1);
  }
  const int last = (kSent - 1) % 4;
  ASSERT_TRUE(pairArrival(&controller, (kCommands[last][0] - 1000) / 10, steeringOf(kBuilds[0], kCommands[last][1]),
                          0, 5, [&] { pumpOutput(&bridge, 0); }) >= 0);
  int changes = 0, uncommanded = 0;
  std::string first;
  const std::vector<DrivePair> pairs = drivePairs(controller);
  for (size_t k = 0; k < pairs.size(); ++k) {
    changes += k > 0 && (pairs[k].throttle != pairs[k - 1].throttle || pairs[k].steering != pairs[k - 1].steering);
    if (commanded.count({pairs[k].throttle, pairs[k].steering}) != 0) continue;
    if (uncommanded++ == 0) first = std::to_string(pairs[k].throttle) + "," + std::to_string(pairs[k].steering);
  }
  EXPECT_EQ(0, uncommanded) << "pairs nobody commanded, the first " << first;
  // Most commands reached the wire: the check above was not an empty one.
  EXPECT_GE(changes, kSent / 2) << pairs.size() << " pairs";
}

TEST_F(TeleopFiles, EachStopSignalLeavesTheFilesAtRest) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    if (sig != SIGINT) startNode();
    ASSERT_TRUE(drive(1700, 60));
    kill(teleopFiles.pid, sig);
    // Commands keep coming, so only the node's own stop can rest the car.
    ASSERT_TRUE(sendUntil(1700, 60, [this] { return waitExit(&teleopFiles, 0); }, 5));
    EXPECT_EQ(0, exitCode(teleopFiles)) << endOf(teleopFiles);
    EXPECT_TRUE(filesHold(kNeutralThrottle, kNeutralSteering));
    EXPECT_EQ(0, countOf(teleopFiles.outText, "no command for 500 ms"));
  }
}

TEST(TeleopFilesStart, AFolderItCannotWriteIsNamedWithTheReasonInOneLine) {
  Child node;
  std::string error;
  ASSERT_TRUE(startChild(&node, {programPath("teleop_files"), "/proc/version/teleop"}, "", {}, &error)) << error;
  ASSERT_TRUE(waitExit(&node, 10));
  EXPECT_EQ(1, exitCode(node));
  EXPECT_EQ("teleop_files: cannot write the command files in /proc/version/teleop: Not a directory\n",
            node.errText);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Child master;
  std::string error;
  if (!joinPrivateMaster(&master, argc, argv, "teleop_files_test", 30, &error)) {
    fprintf(stderr, "teleop_files_test: %s\n", error.c_str());
    return 1;
  }
  ros::start();
  const int result = RUN_ALL_TESTS();
  ros::shutdown();
  stopChild(&master, SIGINT, 10);
  return result;
}

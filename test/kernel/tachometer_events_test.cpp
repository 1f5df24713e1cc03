// The tachometer's --events mode on the real kernel, inside
// `test/tools/kernelboard --arch x86_64 --host-root` (make test-kernel): the
// native node requests gpio-mockup's line 397 through the GPIO character
// device while this program toggles it through debugfs and subscribes to
// /tachometer. One master serves every case: it takes 12 s to start under
// emulation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <pelmora/Tachometer.h>

#include "gpio_cdev.h"
#include "kernel_board.h"
#include "node_harness.h"
#include "process_watch.h"
#include "ros_graph.h"

namespace {

const char kChip[] = "/dev/gpiochip0";
const char kRpmLog[] = "files/tachs_counts_5_speed_2000.txt";
const char kDurationLog[] = "files/times_counts_5_speed_2000.txt";

// Requests line 397 (gpio-mockup's offset 13) as an input with both edges
// through v2, as the node does; the request's descriptor, or -1.
int requestLine() {
  const int chip = open(kChip, O_RDWR | O_CLOEXEC);
  if (chip < 0) return -1;
  CdevLineRequest request;
  memset(&request, 0, sizeof request);
  request.offsets[0] = 13;
  strncpy(request.consumer, "test", sizeof request.consumer - 1);
  request.config.flags = kCdevV2Input | kCdevV2BothEdges;
  request.lineCount = 1;
  const int fd = ioctl(chip, kCdevLineIoctl, &request) == 0 ? request.fd : -1;
  close(chip);
  return fd;
}

bool lineFree() {
  const int fd = requestLine();
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Sets the line to each level in turn every intervalNs (absolute times, so
// a late write does not delay the rest).
void toggle(int changes, int64_t intervalNs) {
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int k = 1; k <= changes; ++k) {
    next.tv_nsec += intervalNs;
    next.tv_sec += next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    if (intervalNs > 0) clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    setMockupLine(k % 2);
  }
}

// The last "(N since start)" that the node said of its losses; 0 if none.
long lostSaid(const std::string& errText) {
  const size_t at = errText.rfind(" since start)");
  if (at == std::string::npos) return 0;
  const size_t open = errText.rfind('(', at);
  return atol(errText.c_str() + open + 1);
}

class KernelEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(setMockupLine(0));
    dir_ = makeTachometerDir("/tmp");
    ASSERT_FALSE(dir_.empty());
    boost::function<void(const pelmora::Tachometer::ConstPtr&)> received =
        [this](const pelmora::Tachometer::ConstPtr& m) { rpms_.push_back(m->rpm); };
    sub_ = ros::NodeHandle().subscribe("/tachometer", 10000, received);
  }
  void TearDown() override {
    if (node_.pid > 0) stopChild(&node_, SIGKILL, 5);
    sub_.shutdown();
    removeTree(dir_);
  }
  // Starts the node and waits until it holds the line (so no toggle is
  // made before it listens) and publishes.
  void start(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::string error;
    ASSERT_TRUE(startTachometer(&node_, dir_, args, &error, env)) << error;
    ASSERT_TRUE(waitUntil([&] {
      pumpOutput(&node_, 0.01);
      ros::spinOnce();
      return sub_.getNumPublishers() > 0 && readText("/sys/kernel/debug/gpio").find("|tachometer") != std::string::npos;
    }, 60)) << endOf(node_);
  }
  // Lets the node's output and messages come for seconds.
  void drain(double seconds) {
    const double until = nowSeconds() + seconds;
    waitUntil([&] {
      pumpOutput(&node_, 0.01);
      ros::spinOnce();
      return nowSeconds() >= until;
    }, seconds + 1);
  }
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  std::string dir_;
  Child node_;
  std::vector<double> rpms_;
  ros::Subscriber sub_;
};

// 3000 rpm (a change every 10 ms) in both ABIs: the published rate within
// 1 %; SIGINT ends the node with exit 0, every change in its output and
// logs, every published window logged, and the line free again.
TEST_F(KernelEvents, PublishesTheToggledRateAndReleasesTheLine) {
  struct Case {
    const char* abi;
    std::vector<std::string> env;
    std::string err;
  } const cases[] = {
      {"v2", {}, ""},
      {"v1", {"PELMORA_GPIO_EVENTS=v1"},
       "tachometer: line events v1 on this kernel: changes lost in its 16-event buffer would go unseen\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.abi);
    node_ = Child();
    rpms_.clear();
    ASSERT_NO_FATAL_FAILURE(start({"--events"}, c.env));
    const int changes = 400;
    toggle(changes, 10 * 1000000);
    drain(0.5);
    stopChild(&node_, SIGINT, 30);
    EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
    EXPECT_EQ(c.err, node_.errText);
    EXPECT_TRUE(lineFree());
    ros::spinOnce();

    std::vector<LoggedWindow> windows = readWindows(path(kRpmLog), path(kDurationLog));
    long logged = 0;
    for (const LoggedWindow& w : windows) logged += w.changes;
    EXPECT_EQ(changes, logged);
    EXPECT_EQ(static_cast<size_t>(changes), changeLevels(node_.outText).size());
    std::vector<LoggedWindow> whole = wholeWindows(windows);
    ASSERT_GE(whole.size(), 20u);
    double counted = 0, elapsed = 0;
    std::vector<double> each;
    for (const LoggedWindow& w : whole) {
      counted += w.changes;
      elapsed += w.elapsedMs;
      each.push_back(w.rpm);
    }
    std::sort(each.begin(), each.end());
    EXPECT_NEAR(3000.0, counted * 30000.0 / elapsed, 30.0);
    EXPECT_NEAR(3000.0, each[each.size() / 2], 30.0);
    std::vector<Reading> readings;
    for (double rpm : rpms_) readings.push_back({rpm, 0});
    EXPECT_EQ(readings.size(), alignReadings(readings, windows).size()) << "published windows missing from the log";
  }
}

// A line someone else holds: one line, exit 1, the logs untouched.
TEST_F(KernelEvents, HeldLineIsRefused) {
  struct Case {
    const char* holder;
    std::string err;
  } const cases[] = {
      {"sysfs", "tachometer: line 397 is exported through sysfs (gpio_hold must not run with --events)\n"},
      {"another program", "tachometer: line 397 is held by another program\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.holder);
    int held = -1;
    if (std::string(c.holder) == "sysfs") {
      ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
    } else {
      held = requestLine();
      ASSERT_GE(held, 0);
    }
    node_ = Child();
    std::string error;
    ASSERT_TRUE(startTachometer(&node_, dir_, {"--events"}, &error)) << error;
    EXPECT_TRUE(waitExit(&node_, 60));
    EXPECT_EQ(1, exitCode(node_));
    EXPECT_EQ(c.err, node_.errText);
    EXPECT_NE(0, access(path(kRpmLog).c_str(), F_OK));
    if (held >= 0) {
      close(held);
    } else {
      EXPECT_TRUE(writeText("/sys/class/gpio/unexport", "397"));
    }
  }
}

// A burst larger than the kernel's event buffer while the node is stopped:
// v2 drops the oldest, and the gap in its sequence numbers is the count
// the node reports, so changes made are changes seen plus changes lost.
TEST_F(KernelEvents, OverflowIsCountedAsLost) {
  ASSERT_NO_FATAL_FAILURE(start({"--events"}));
  toggle(10, 10 * 1000000);
  drain(0.3);
  ASSERT_EQ(0, kill(node_.pid, SIGSTOP));
  const int burst = 1600;
  toggle(burst, 0);
  ASSERT_EQ(0, kill(node_.pid, SIGCONT));
  toggle(20, 10 * 1000000);
  EXPECT_TRUE(waitForOutput(&node_, " since start)", 30, true)) << node_.errText;
  drain(0.5);
  stopChild(&node_, SIGINT, 30);
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
  const long seen = static_cast<long>(changeLevels(node_.outText).size());
  const long lost = lostSaid(node_.errText);
  RecordProperty("lost", std::to_string(lost));
  EXPECT_GT(lost, 0);
  EXPECT_EQ(10 + burst + 20, seen + lost) << node_.errText;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (getenv("KERNELBOARD") == nullptr) {
    fprintf(stderr, "kerneltest_tachometer_events: run me inside test/tools/kernelboard --arch x86_64 --host-root\n");
    return 2;
  }
  setenv("ROS_HOME", "/tmp", 1);
  setenv("ROS_IP", "127.0.0.1", 1);
  Child master;
  std::string error;
  if (!joinPrivateMaster(&master, argc, argv, "tachometer_events_kernel_test", 120, &error)) {
    fprintf(stderr, "kerneltest_tachometer_events: %s\n", error.c_str());
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  ros::shutdown();
  stopChild(&master, SIGTERM, 20);
  return result;
}

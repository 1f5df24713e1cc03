// Harness for the tachometer node tests; see node_harness.h.
#include "node_harness.h"

#include <signal.h>

#include <cmath>
#include <regex>
#include <sstream>

#include <pelmora/Tachometer.h>

#include "gpio_board.h"

std::vector<LoggedWindow> readWindows(const std::string& rpmLog, const std::string& durationLog) {
  EXPECT_EQ(readNumbers(rpmLog).size(), readNumbers(durationLog).size())
      << "the two logs disagree on the number of windows";
  std::vector<LoggedWindow> windows = readWindowLogs(rpmLog, durationLog);
  for (size_t k = 0; k < windows.size(); ++k) {
    // Both are printed with six decimals, so the product is close to whole.
    EXPECT_NEAR(windows[k].rpm * windows[k].elapsedMs / 30000.0, windows[k].changes, 0.01)
        << "window " << k << " rpm " << windows[k].rpm << " elapsed " << windows[k].elapsedMs;
  }
  return windows;
}

std::vector<size_t> alignReadings(const std::vector<Reading>& readings,
                                  const std::vector<LoggedWindow>& windows) {
  std::vector<size_t> at;
  size_t k = 0;
  for (const Reading& r : readings) {
    while (k < windows.size() && std::fabs(windows[k].rpm - r.rpm) > 1e-6 * std::max(1.0, r.rpm)) ++k;
    if (k == windows.size()) return {};
    at.push_back(k++);
  }
  return at;
}

std::vector<int> changeLevels(const std::string& output) {
  static const std::regex changeLine("([01]) @ [0-9]+\\.[0-9]{6} ms");
  std::vector<int> levels;
  std::istringstream in(output);
  std::string line;
  int banner = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, changeLine)) {
      levels.push_back(m[1].str() == "1" ? 1 : 0);
    } else {
      // "This iteration's", Counts, Speed, "Files:" and the two names.
      EXPECT_LT(banner, 6) << "unexpected output line: " << line;
      EXPECT_TRUE(levels.empty()) << "banner line after a change: " << line;
      ++banner;
    }
  }
  return levels;
}

void TachometerNode::SetUp() {
  std::string error;
  ASSERT_TRUE(startTachometerBoard(&sim_, &error)) << error;
  dir_ = makeTachometerDir();
  ASSERT_FALSE(dir_.empty());
}

void TachometerNode::TearDown() {
  if (node_.pid > 0) stopChild(&node_, SIGINT, 10);
  subscriber_.shutdown();
  stopGpioBoard(&sim_);
  removeTree(dir_);
}

std::string TachometerNode::board(const std::string& command) {
  std::string reply = gpioBoard(command);
  EXPECT_EQ(0u, reply.rfind("ok", 0)) << command << " -> " << reply;
  return reply;
}

void TachometerNode::startNode(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  ros::NodeHandle handle;
  readings_.clear();
  typedef const ros::MessageEvent<const pelmora::Tachometer>& Event;
  boost::function<void(Event)> received = [this](Event event) {
    readings_.push_back({event.getMessage()->rpm, monotonicNs()});
    publisherName_ = event.getPublisherName();
  };
  subscriber_ = handle.subscribe<pelmora::Tachometer, Event>("/tachometer", 10000, received);
  std::string error;
  ASSERT_TRUE(startTachometer(&node_, dir_, args, &error, env)) << error;
  bool connected = spinUntil([&] { return subscriber_.getNumPublishers() > 0; }, 30);
  ASSERT_TRUE(connected) << "no publisher on /tachometer; stderr: " << node_.errText;
}

bool TachometerNode::waitReadings(size_t n, double seconds) {
  return spinUntil([&] { return readings_.size() >= n; }, seconds);
}

long TachometerNode::readsDuring(double seconds) {
  const long from = gpioBoardReads();
  const double until = nowSeconds() + seconds;
  spinUntil([&] { return nowSeconds() >= until; }, seconds + 1);
  return gpioBoardReads() - from;
}

void TachometerNode::interruptNode() {
  // Generous: under the thread checker a node in a tight publishing loop
  // takes many seconds to wind roscpp down.
  stopChild(&node_, SIGINT, 45);
  ros::spinOnce();
}

int runNodeTests(int argc, char** argv, const char* name) {
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, name);
  return RUN_ALL_TESTS();
}

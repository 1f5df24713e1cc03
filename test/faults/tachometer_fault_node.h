// The tachometer node measuring a 600 rpm wave on the GPIO stand-in, with
// helpers to hold a fault under it and to check that it measures again.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "node_harness.h"
#include "process_watch.h"

// 600 rpm: a change every 50 ms, a window of 5 changes every 250 ms.
const double kRpm = 600.0;
const double kTolerance = 90.0;
const char* const kRpmLog = "files/tachs_counts_5_speed_2000.txt";
const char* const kDurationLog = "files/times_counts_5_speed_2000.txt";

// Standard error lines that are not the given library message.
inline std::vector<std::string> otherLines(const std::string& text, std::string message) {
  if (!message.empty() && message.back() == '\n') message.pop_back();
  std::vector<std::string> others;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, message.size(), message) != 0) others.push_back(line);
  return others;
}

class TachometerFaults : public TachometerNode {
 protected:
  // Measuring at kRpm, with the descriptor count of the steady node.
  void startMeasuring() {
    board("wave 397 rpm 600");
    ASSERT_NO_FATAL_FAILURE(startNode({}));
    ASSERT_TRUE(waitReadings(4, 30)) << readings_.size() << " readings";
    steadyDescriptors_ = openDescriptorCount(node_.pid);
    ASSERT_GT(steadyDescriptors_, 0);
  }

  // Holds the fault for about a second: the node lives, reports it with
  // `message` lines only, and opens nothing it does not close.
  // `alsoOnce` is a line that may stand once at the fault's start (a read of
  // a file opened just before the fault).
  void holdFault(const std::string& inject, const std::string& message, const std::string& alsoOnce = "") {
    const size_t errBefore = node_.errText.size();
    board(inject);
    ASSERT_TRUE(waitForOutput(&node_, message, 10, true)) << node_.errText.substr(errBefore, 500);
    int most = 0;
    const double until = nowSeconds() + 1.0;
    while (nowSeconds() < until) {
      pumpOutput(&node_, 0.05);
      ros::spinOnce();
      most = std::max(most, openDescriptorCount(node_.pid));
    }
    ASSERT_FALSE(waitExit(&node_, 0)) << endOf(node_);
    // A leak would be one descriptor per failed sample, thousands a second;
    // a couple of roscpp's own connections may come and go.
    EXPECT_LE(most, steadyDescriptors_ + 2);
    const std::string during = node_.errText.substr(errBefore);
    std::vector<std::string> others = otherLines(during, message);
    if (!alsoOnce.empty() && !others.empty() && others[0] == alsoOnce) others.erase(others.begin());
    EXPECT_TRUE(others.empty()) << others.size() << " other lines, first: " << others[0];
    EXPECT_GT(during.size() / message.size(), 10u) << "one message per failed sample expected";
  }

  // After the fault is cleared: publishing again, at the wave's rpm. The
  // median, since a busy machine may stall the polling past a change.
  void expectMeasuringAgain() {
    const size_t from = readings_.size();
    // The window that spans the fault is skipped, then five are checked.
    ASSERT_TRUE(waitReadings(from + 7, 30)) << readings_.size() - from << " readings after the fault";
    std::vector<double> rpms;
    for (size_t k = from + 2; k < from + 7; ++k) rpms.push_back(readings_[k].rpm);
    std::nth_element(rpms.begin(), rpms.begin() + 2, rpms.end());
    EXPECT_NEAR(kRpm, rpms[2], kTolerance);
    EXPECT_LE(openDescriptorCount(node_.pid), steadyDescriptors_ + 2);
  }

  int steadyDescriptors_ = -1;
};

// Harness for tests that run the shipped tachometer node (tachometer_run.h
// starts it on the GPIO stand-in) with a subscriber on /tachometer.
#pragma once

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"
#include "tachometer_run.h"

// One message as the subscriber received it.
struct Reading {
  double rpm;
  int64_t atNs;  // CLOCK_MONOTONIC at receipt, the stand-in's clock
};

// Both logs side by side (readWindowLogs); fails the test when their
// lengths differ or a window's rpm and length give no whole change count.
std::vector<LoggedWindow> readWindows(const std::string& rpmLog, const std::string& durationLog);

// Index in the log of every reading, in order, or empty when the readings
// are not an in-order subsequence of the logged rpm values.
std::vector<size_t> alignReadings(const std::vector<Reading>& readings,
                                  const std::vector<LoggedWindow>& windows);

// The "<level> @ <ms> ms" lines of the node's output; fails the test on a
// line of any other shape after the banners.
std::vector<int> changeLevels(const std::string& output);

class TachometerNode : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends a command to the stand-in and expects an "ok" reply.
  std::string board(const std::string& command);
  // Starts the node in dir_ (with the extra "NAME=value" entries in env)
  // and waits until the subscriber is connected.
  void startNode(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // Waits until pred holds, at most seconds, receiving the readings and
  // keeping the node's output drained, or its printf would block it.
  template <typename Pred>
  bool spinUntil(Pred pred, double seconds) {
    return waitUntil([&] {
      pumpOutput(&node_, 0);
      ros::spinOnce();
      return pred();
    }, seconds);
  }
  // Spins until n readings have come, at most seconds.
  bool waitReadings(size_t n, double seconds);
  // Spins for seconds; how often line 397 was read meanwhile.
  long readsDuring(double seconds);
  // SIGINT, as on the console, and waits for the exit.
  void interruptNode();
  // The node's working directory and a path in it.
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }

  Child sim_;
  Child node_;
  std::string dir_;
  std::vector<Reading> readings_;
  std::string publisherName_;  // node name of the latest reading's sender
  ros::Subscriber subscriber_;
};

// Runs every test; the program's main.
int runNodeTests(int argc, char** argv, const char* name);

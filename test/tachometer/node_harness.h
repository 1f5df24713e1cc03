// Harness for tests that run the shipped tachometer node: the GPIO stand-in
// at /sys/class/gpio with line 397 exported, a working directory of the
// test's own with an empty files/, the node as a child and a subscriber on /tachometer.
#pragma once

#include <gtest/gtest.h>
#include <ros/ros.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

// One message as the subscriber received it.
struct Reading {
  double rpm;
  int64_t atNs;  // CLOCK_MONOTONIC at receipt, the stand-in's clock
};

// One window as the two logs hold it.
struct LoggedWindow {
  double rpm;
  double elapsedMs;
  long changes;  // rpm * elapsed / 30000, rounded
};

int64_t monotonicNs();

// Lines of a log file read as numbers ("nan" included); empty when missing.
std::vector<double> readNumbers(const std::string& path);

// Both logs side by side; fails the test when their lengths differ.
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
  // Starts the node in dir_ and waits until the subscriber is connected.
  void startNode(const std::vector<std::string>& args);
  // Spins until n readings have come, at most seconds.
  bool waitReadings(size_t n, double seconds);
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

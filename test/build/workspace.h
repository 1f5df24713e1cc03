// A fresh catkin workspace under /tmp for the build tests: shell lines run
// in it with the ROS tools first on PATH, and the deliverables are checked
// where ROS looks for them.
#pragma once

#include <string>

#include "process.h"

// Makes /tmp/pelmora_ws.XXXXXX with an empty src/; returns "" on failure.
std::string makeWorkspace();
void removeWorkspace(const std::string& workspace);

// Runs line under bash in workspace; its exit code, -1 (with a test
// failure) when it could not start or outlived seconds.
int runInWorkspace(const std::string& workspace, const std::string& line, Child* child, double seconds);

// The tail of what a build printed, for failure messages.
std::string outputTail(const Child& child);

// Non-fatal checks that the six programs, the library and the generated
// message headers are in the devel space, and all deliverables in the
// install space; both answer rosmsg, and the installed launch file passes
// roslaunch-check.
void expectDevelSpace(const std::string& workspace);
void expectInstallSpace(const std::string& workspace);

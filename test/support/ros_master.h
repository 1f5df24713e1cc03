// A ROS master of a benchmark's or test's own, on a free loopback port.
// No ROS library here: the master is a child process.
#pragma once

#include <string>

#include "process.h"

// A TCP port on 127.0.0.1 that nothing listens on right now; -1 if none.
int freeLoopbackPort();

// The master URI at port on 127.0.0.1; with a port from freeLoopbackPort,
// a master that cannot be reached.
std::string loopbackMasterUri(int port);

// Starts `rosmaster --core` on a free port and points this process's
// ROS_MASTER_URI at it (so ros::init and the children started afterwards
// use it). Does not wait for it to answer. False and *error on failure.
bool startRosMaster(Child* master, std::string* error);

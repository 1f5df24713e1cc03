// What a test or benchmark sees of the ROS graph: a master of its own to
// join, whether a node is registered, and the "shutdown" request that the
// graph (rosnode kill) sends to a node.
#pragma once

#include <string>

#include "process.h"

// Starts a ROS master of the caller's own (startRosMaster) and joins it as
// node name, leaving the interrupt to the caller; waits at most seconds for
// the master to answer. False, with *error, when it does not.
bool joinPrivateMaster(Child* master, int argc, char** argv, const std::string& name, double seconds,
                       std::string* error);

// The calls below need roscpp initialised.

// True when the master lists node; its XML-RPC URI into *uri when given.
bool lookupNode(const std::string& node, std::string* uri = nullptr);

// Asks node to shut down through its own XML-RPC API, as rosnode kill
// does; true when the node accepted the request.
bool requestShutdown(const std::string& node);

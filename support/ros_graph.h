// What a test sees of the ROS graph through the master it runs against:
// whether a node is registered, and the "shutdown" request that the graph
// (rosnode kill) sends to a node. Needs roscpp, initialised by the caller.
#pragma once

#include <string>

// True when the master lists node; its XML-RPC URI into *uri when given.
bool lookupNode(const std::string& node, std::string* uri = nullptr);

// Asks node to shut down through its own XML-RPC API, as rosnode kill
// does; true when the node accepted the request.
bool requestShutdown(const std::string& node);

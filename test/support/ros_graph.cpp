// The ROS graph as the tests see it; see ros_graph.h.
#include "ros_graph.h"

#include <ros/init.h>
#include <ros/master.h>
#include <ros/network.h>
#include <ros/this_node.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <stdint.h>
#include <stdlib.h>

#include "ros_master.h"

bool joinPrivateMaster(Child* master, int argc, char** argv, const std::string& name, double seconds,
                       std::string* error) {
  if (!startRosMaster(master, error)) return false;
  ros::init(argc, argv, name, ros::init_options::NoSigintHandler);
  if (waitUntil([] { return ros::master::check(); }, seconds)) return true;
  if (error) *error = std::string("no ROS master answered at ") + getenv("ROS_MASTER_URI");
  return false;
}

bool lookupNode(const std::string& node, std::string* uri) {
  XmlRpc::XmlRpcValue request, response, payload;
  request[0] = ros::this_node::getName();
  request[1] = node;
  if (!ros::master::execute("lookupNode", request, response, payload, false)) return false;
  if (uri) *uri = static_cast<std::string>(payload);
  return true;
}

bool requestShutdown(const std::string& node) {
  std::string uri;
  if (!lookupNode(node, &uri)) return false;
  std::string host;
  uint32_t port = 0;
  if (!ros::network::splitURI(uri, host, port)) return false;
  XmlRpc::XmlRpcClient client(host.c_str(), static_cast<int>(port), "/");
  XmlRpc::XmlRpcValue args, result;
  args[0] = ros::this_node::getName();
  args[1] = "the test asks the node to shut down";
  const bool accepted =
      client.execute("shutdown", args, result) && !client.isFault() && static_cast<int>(result[0]) == 1;
  client.close();
  return accepted;
}

// Runs the stereo camera's driver nodelet inside a node process of its own.
// Usage: camera_launcher [ROS arguments, e.g. __name:=left __ns:=/car topic:=other]
// The driver gets this node's resolved name and its command-line remappings;
// when it cannot be loaded the node stays up, idle, with the loader's services.
#include <nodelet/loader.h>
#include <ros/ros.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "console.h"

int main(int argc, char** argv) {
  openMissingStandardStreams();
  try {
    // Options 0: roscpp installs its own SIGINT handler and shuts down cleanly.
    ros::init(argc, argv, "camera_launcher", 0);

    // Declared in this order so that they are released in the reverse one:
    // the arguments, the remappings, then the loader, whose destructor
    // unloads the driver. true: the loader also offers load_nodelet,
    // unload_nodelet and list under this node's private namespace.
    nodelet::Loader loader(true);
    std::map<std::string, std::string> remappings(ros::names::getRemappings());
    std::vector<std::string> nodeletArgs;

    // A failed load is reported by the nodelet package itself; the node then
    // idles so the rest of the robot still sees it and can stop it.
    loader.load(ros::this_node::getName(), "zed_wrapper/ZEDWrapperNodelet", remappings,
                nodeletArgs);

    ros::spin();
  } catch (const std::exception& e) {
    // A bad name on the command line, or no nodelet package to load from:
    // nothing to recover, but say what it was rather than abort.
    std::fprintf(stderr, "camera_launcher: %s\n", e.what());
    return 1;
  }
  return 0;
}

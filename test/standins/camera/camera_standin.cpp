// Stand-in for the stereo camera's driver nodelet, for tests and the bench.
// Registered under the driver's type name; once loaded it publishes a frame
// counter (std_msgs/UInt32) on ~frame at 10 Hz and says on standard output
// when it is loaded (with what name, arguments and remappings) and unloaded,
// so a host process can be watched from outside.
#include <nodelet/nodelet.h>
#include <pluginlib/class_list_macros.hpp>
#include <ros/ros.h>
#include <std_msgs/UInt32.h>

#include <cstdio>
#include <string>

namespace pelmora_camera_standin {

class CameraStandin : public nodelet::Nodelet {
 public:
  CameraStandin() : frames_(0) {}

  ~CameraStandin() {
    // getName() is only set once the loader has initialised the nodelet.
    std::printf("camera stand-in: unloaded %s\n", getName().c_str());
    std::fflush(stdout);
  }

 private:
  void onInit() {
    // ~frame is relative to the nodelet's name, so the host's name, namespace
    // and remappings all show in where the counter appears.
    publisher_ = getPrivateNodeHandle().advertise<std_msgs::UInt32>("frame", 10);
    timer_ = getNodeHandle().createTimer(ros::Duration(0.1), &CameraStandin::publishFrame, this);
    std::string remaps;
    const nodelet::M_string& remappings = getRemappingArgs();
    for (nodelet::M_string::const_iterator it = remappings.begin(); it != remappings.end(); ++it) {
      remaps += (remaps.empty() ? "" : " ") + it->first + ":=" + it->second;
    }
    std::printf("camera stand-in: loaded %s with %u arguments, remappings [%s], frames on %s\n",
                getName().c_str(), static_cast<unsigned>(getMyArgv().size()), remaps.c_str(),
                publisher_.getTopic().c_str());
    std::fflush(stdout);
  }

  void publishFrame(const ros::TimerEvent&) {
    std_msgs::UInt32 count;
    count.data = ++frames_;
    publisher_.publish(count);
  }

  // Written and read only by the nodelet's callback thread (the timer).
  unsigned frames_;
  ros::Publisher publisher_;
  ros::Timer timer_;
};

}  // namespace pelmora_camera_standin

PLUGINLIB_EXPORT_CLASS(pelmora_camera_standin::CameraStandin, nodelet::Nodelet)

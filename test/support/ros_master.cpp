// A private ROS master; see ros_master.h.
#include "ros_master.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

std::string loopbackMasterUri(int port) { return "http://127.0.0.1:" + std::to_string(port); }

bool startRosMaster(Child* master, std::string* error) {
  const int port = freeLoopbackPort();
  if (port < 0) {
    if (error) *error = "no free port on 127.0.0.1";
    return false;
  }
  setenv("ROS_MASTER_URI", loopbackMasterUri(port).c_str(), 1);
  return startChild(master, {"/usr/bin/rosmaster", "--core", "-p", std::to_string(port)}, "", {}, error);
}

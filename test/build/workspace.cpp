#include "workspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

const std::vector<std::string> kPrograms = {"gpio_hold", "tachometer", "serial", "serial_raw",
                                            "drive_command", "teleop_files", "camera_launcher"};

bool isExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }
bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string makeWorkspace() {
  std::string workspace = makeTempDir("/tmp/pelmora_ws");
  if (workspace.empty() || mkdir((workspace + "/src").c_str(), 0755) != 0) return "";
  return workspace;
}

void removeWorkspace(const std::string& workspace) { removeTree(workspace); }

int runInWorkspace(const std::string& workspace, const std::string& line, Child* child, double seconds) {
  std::string error;
  if (!startChild(child, {"/bin/bash", "-c", line}, workspace, {"PATH=/usr/bin:/bin:/usr/sbin:/sbin"},
                  &error)) {
    ADD_FAILURE() << error;
    return -1;
  }
  if (!waitExit(child, seconds)) {
    stopChild(child, SIGKILL, 5);
    ADD_FAILURE() << "timed out: " << line;
    return -1;
  }
  return exitCode(*child);
}

std::string outputTail(const Child& child) {
  const std::string& out = child.outText;
  return out.substr(out.size() > 4000 ? out.size() - 4000 : 0) + child.errText;
}

void expectDevelSpace(const std::string& workspace) {
  for (const std::string& program : kPrograms)
    EXPECT_TRUE(isExecutable(workspace + "/devel/lib/pelmora/" + program)) << program;
  EXPECT_TRUE(exists(workspace + "/devel/lib/libgpio_sysfs.so"));
  EXPECT_TRUE(exists(workspace + "/devel/include/pelmora/Tachometer.h"));
  Child md5;
  EXPECT_EQ(0, runInWorkspace(workspace,
                              "source devel/setup.bash && rosmsg md5 pelmora/Tachometer && "
                              "rosmsg md5 pelmora/Telemetry",
                              &md5, 60))
      << md5.errText;
  EXPECT_EQ("1c487592c900c21b37f53edce9a36629\n1562a5a885c295584eaf5e0ababaabd7\n", md5.outText);
}

void expectInstallSpace(const std::string& workspace) {
  const std::string install = workspace + "/install";
  for (const std::string& program : kPrograms)
    EXPECT_TRUE(isExecutable(install + "/lib/pelmora/" + program)) << program;
  EXPECT_TRUE(exists(install + "/share/pelmora/pelmora-car.service"));
  EXPECT_TRUE(exists(install + "/lib/libgpio_sysfs.so"));
  EXPECT_TRUE(exists(install + "/include/gpio_sysfs.h"));
  EXPECT_TRUE(exists(install + "/include/pelmora/Telemetry.h"));
  EXPECT_TRUE(exists(install + "/share/pelmora/msg/Tachometer.msg"));
  EXPECT_TRUE(exists(install + "/share/pelmora/package.xml"));
  Child check;
  EXPECT_EQ(0, runInWorkspace(workspace, "source install/setup.bash && \"$(rospack find roslaunch)/scripts/roslaunch-check\" "
                              "install/share/pelmora/launch/car.launch",
                              &check, 60))
      << check.outText << check.errText;
  Child md5;
  EXPECT_EQ(0, runInWorkspace(workspace, "source install/setup.bash && rosmsg md5 pelmora/Telemetry", &md5, 60))
      << md5.errText;
  EXPECT_EQ("1562a5a885c295584eaf5e0ababaabd7\n", md5.outText);
}

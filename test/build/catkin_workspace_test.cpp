// Builds the package as a user on the car would: linked under src/ of a
// fresh catkin workspace, `catkin_make` and `catkin_make install`, then checks
// that every program, the library, the messages and the launch files land
// where ROS looks for them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

std::string g_workspace;  // written by SetUpTestSuite, read by the tests

bool isExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }
bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs a shell line in the workspace with the ROS tools first on PATH.
int runInWorkspace(const std::string& line, Child* child, double seconds) {
  std::string error;
  if (!startChild(child, {"/bin/bash", "-c", line}, g_workspace,
                  {"PATH=/usr/bin:/bin:/usr/sbin:/sbin"}, &error)) {
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

const std::vector<std::string> kPrograms = {"gpio_hold", "tachometer", "serial", "serial_raw",
                                            "drive_command", "camera_launcher"};

class CatkinWorkspace : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/pelmora_ws.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    g_workspace = dir;
    ASSERT_EQ(0, mkdir((g_workspace + "/src").c_str(), 0755));
    ASSERT_EQ(0, symlink(PELMORA_SOURCE_DIR, (g_workspace + "/src/pelmora").c_str()));
    Child make;
    int code = runInWorkspace(
        "catkin_make -DCATKIN_ENABLE_TESTING=OFF -DPYTHON_EXECUTABLE=/usr/bin/python3 -j2 "
        "&& catkin_make install -j2",
        &make, 800);
    ASSERT_EQ(0, code) << make.outText.substr(make.outText.size() > 4000 ? make.outText.size() - 4000 : 0)
                       << make.errText;
  }
  static void TearDownTestSuite() {
    if (g_workspace.empty()) return;
    Child rm;
    std::string error;
    if (startChild(&rm, {"/bin/rm", "-rf", g_workspace}, "", {}, &error)) waitExit(&rm, 60);
  }
};

TEST_F(CatkinWorkspace, DevelSpaceHoldsEveryDeliverable) {
  for (const std::string& program : kPrograms)
    EXPECT_TRUE(isExecutable(g_workspace + "/devel/lib/pelmora/" + program)) << program;
  EXPECT_TRUE(exists(g_workspace + "/devel/lib/libgpio_sysfs.so"));
  EXPECT_TRUE(exists(g_workspace + "/devel/include/pelmora/Tachometer.h"));
}

TEST_F(CatkinWorkspace, MessagesAnswerFromTheDevelSpace) {
  Child md5;
  EXPECT_EQ(0, runInWorkspace("source devel/setup.bash && rosmsg md5 pelmora/Tachometer && "
                              "rosmsg md5 pelmora/Telemetry",
                              &md5, 60))
      << md5.errText;
  EXPECT_EQ("1c487592c900c21b37f53edce9a36629\n1562a5a885c295584eaf5e0ababaabd7\n", md5.outText);
}

TEST_F(CatkinWorkspace, InstallSpaceHoldsProgramsLibraryMessagesAndLaunchFiles) {
  const std::string install = g_workspace + "/install";
  for (const std::string& program : kPrograms)
    EXPECT_TRUE(isExecutable(install + "/lib/pelmora/" + program)) << program;
  EXPECT_TRUE(exists(install + "/lib/libgpio_sysfs.so"));
  EXPECT_TRUE(exists(install + "/include/gpio_sysfs.h"));
  EXPECT_TRUE(exists(install + "/include/pelmora/Telemetry.h"));
  EXPECT_TRUE(exists(install + "/share/pelmora/msg/Tachometer.msg"));
  EXPECT_TRUE(exists(install + "/share/pelmora/package.xml"));
  EXPECT_TRUE(exists(install + "/share/pelmora/launch/car.launch"));
  Child md5;
  EXPECT_EQ(0, runInWorkspace("source install/setup.bash && rosmsg md5 pelmora/Telemetry", &md5, 60))
      << md5.errText;
  EXPECT_EQ("1562a5a885c295584eaf5e0ababaabd7\n", md5.outText);
}

}  // namespace

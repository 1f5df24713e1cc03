// Builds the package as a user on the car would: linked under src/ of a
// fresh catkin workspace, `catkin_make` and `catkin_make install`, then checks
// that every program, the library, the messages and the launch files land
// where ROS looks for them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "workspace.h"

namespace {

std::string g_workspace;  // written by SetUpTestSuite, read by the tests

class CatkinWorkspace : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_workspace = makeWorkspace();
    ASSERT_FALSE(g_workspace.empty());
    ASSERT_EQ(0, symlink(PELMORA_SOURCE_DIR, (g_workspace + "/src/pelmora").c_str()));
    Child make;
    int code = runInWorkspace(g_workspace,
                              "catkin_make -DCATKIN_ENABLE_TESTING=OFF -DPYTHON_EXECUTABLE=/usr/bin/python3 -j2 "
                              "&& catkin_make install -j2",
                              &make, 800);
    ASSERT_EQ(0, code) << outputTail(make);
  }
  static void TearDownTestSuite() { removeWorkspace(g_workspace); }
};

TEST_F(CatkinWorkspace, DevelSpaceHoldsEveryDeliverable) { expectDevelSpace(g_workspace); }

TEST_F(CatkinWorkspace, InstallSpaceHoldsProgramsLibraryMessagesAndLaunchFiles) {
  expectInstallSpace(g_workspace);
}

}  // namespace

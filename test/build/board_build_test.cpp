// The build on the car: the committed tree in a fresh catkin workspace,
// plain `catkin_make` (tests on, catkin's default) and `catkin_make install`
// where only the product's dependencies exist: fuse3, GoogleTest, GoogleMock,
// clang and gnuplot are hidden (tools/without-deps). Then the same
// workspace configured once more with testing off, every dependency there:
// the product must not lean on anything that only the tests configure.
#include <gtest/gtest.h>

#include <string>

#include "workspace.h"

namespace {

std::string g_workspace;  // written by SetUpTestSuite, read by the tests
std::string g_output;     // what the build printed, same
std::string g_offOutput;  // what the build with testing off printed, same

class BoardBuild : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_workspace = makeWorkspace();
    ASSERT_FALSE(g_workspace.empty());
    Child copy;
    ASSERT_EQ(0, runInWorkspace(g_workspace,
                                "mkdir src/pelmora && git -C " PELMORA_SOURCE_DIR
                                " archive --format=tar HEAD | tar -x -C src/pelmora",
                                &copy, 60))
        << copy.errText;
    Child make;
    int code = runInWorkspace(g_workspace,
                              PELMORA_SOURCE_DIR "/tools/without-deps -- bash -c "
                              "'catkin_make -j2 && catkin_make install -j2'",
                              &make, 800);
    g_output = make.outText + make.errText;
    ASSERT_EQ(0, code) << outputTail(make);
    Child off;
    code = runInWorkspace(g_workspace, "catkin_make -DCATKIN_ENABLE_TESTING=OFF -j2", &off, 800);
    g_offOutput = off.outText + off.errText;
    ASSERT_EQ(0, code) << outputTail(off);
  }
  static void TearDownTestSuite() { removeWorkspace(g_workspace); }
};

TEST_F(BoardBuild, SkippedPartsSayWhatIsMissing) {
  EXPECT_NE(std::string::npos, g_output.find("Using CATKIN_ENABLE_TESTING: ON"));
  EXPECT_NE(std::string::npos, g_output.find("pelmora: GPIO stand-in not configured: missing fuse3"));
  EXPECT_NE(std::string::npos,
            g_output.find("pelmora: tests not configured: missing GoogleTest, the GPIO stand-in"));
  EXPECT_NE(std::string::npos, g_output.find("pelmora: benchmarks not configured"));
  EXPECT_NE(std::string::npos, g_output.find("pelmora: demo not configured"));
}

// Checked after the build with testing off, which rebuilt the devel space.
TEST_F(BoardBuild, DevelAndInstallSpacesHoldEveryDeliverable) {
  expectDevelSpace(g_workspace);
  expectInstallSpace(g_workspace);
}

// The build above succeeded; this shows the option took effect.
TEST_F(BoardBuild, TestingOffIsWhatWasBuilt) {
  EXPECT_NE(std::string::npos, g_offOutput.find("Using CATKIN_ENABLE_TESTING: OFF"));
}

TEST_F(BoardBuild, LibraryHeaderCompilesAndLinksFromTheInstallSpace) {
  Child cxx;
  EXPECT_EQ(0, runInWorkspace(g_workspace,
                              "printf '#include <gpio_sysfs.h>\\nint main() { return gpioExport(397) == 0 ? 0 : 0; }\\n'"
                              " > use.cpp && g++ -std=c++11 -Wall -Wextra -Werror use.cpp -Iinstall/include"
                              " -Linstall/lib -lgpio_sysfs -o use && LD_LIBRARY_PATH=$PWD/install/lib ldd ./use",
                              &cxx, 120))
      << cxx.errText;
  EXPECT_NE(std::string::npos, cxx.outText.find(g_workspace + "/install/lib/libgpio_sysfs.so"));
}

}  // namespace

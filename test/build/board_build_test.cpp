// The build on the car: the committed tree in a fresh catkin workspace,
// plain `catkin_make` (tests on, catkin's default) and `catkin_make install`
// where only the product's dependencies exist: fuse3, GoogleTest, GoogleMock,
// clang and gnuplot are hidden (test/tools/without-deps). Then the same
// workspace configured once more with testing off, every dependency there:
// the product must not lean on anything that only the tests configure.
// Last, with every dependency there, catkin's own test run (`catkin_make
// tests`, then `run_tests`) in a build of its own, one test at a time.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "workspace.h"

namespace {

std::string g_workspace;  // written by SetUpTestSuite, read by the tests
std::string g_output;     // what the build printed, same
std::string g_offOutput;  // what the build with testing off printed, same
std::string g_runOutput;  // what catkin's test run printed, same
int g_runCode = -1;       // and its exit code (catkin_test_results'), same

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
                              PELMORA_SOURCE_DIR "/test/tools/without-deps -- bash -c "
                              "'catkin_make -j2 && catkin_make install -j2'",
                              &make, 800);
    g_output = make.outText + make.errText;
    ASSERT_EQ(0, code) << outputTail(make);
    Child off;
    code = runInWorkspace(g_workspace, "catkin_make -DCATKIN_ENABLE_TESTING=OFF -j2", &off, 800);
    g_offOutput = off.outText + off.errText;
    ASSERT_EQ(0, code) << outputTail(off);
    Child run;
    g_runCode = runInWorkspace(g_workspace,
                               "b=\"--build build-tests -DCATKIN_DEVEL_PREFIX=$PWD/devel-tests\"; "
                               "catkin_make $b -j2 all tests && catkin_make $b -j1 run_tests; "
                               "catkin_test_results --verbose build-tests/test_results; code=$?; "
                               "echo \"results: $(ls build-tests/test_results/pelmora | grep -vc ^rosunit-) of "
                               "$(cd build-tests && ctest -N | sed -n 's/^Total Tests: //p') tests\"; exit $code",
                               &run, 1500);
    g_runOutput = run.outText + run.errText;
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

// Every test wrote its result (a missing one counts as failed), and none failed.
TEST_F(BoardBuild, RunTestsReportsEveryTestAndNoneFails) {
  EXPECT_EQ(0, g_runCode) << g_runOutput.substr(g_runOutput.size() > 8000 ? g_runOutput.size() - 8000 : 0);
  int results = -1, tests = -2;
  const size_t at = g_runOutput.rfind("results: ");
  ASSERT_NE(std::string::npos, at);
  ASSERT_EQ(2, sscanf(g_runOutput.c_str() + at, "results: %d of %d tests", &results, &tests));
  EXPECT_GT(tests, 0);
  EXPECT_EQ(tests, results);
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

// The simulated board as a developer without root runs it, in a user
// namespace: here as nobody, where the machine allows it. A failing board
// leaves no folder behind either.
TEST(SimulatedBoard, RunsForANormalUserAndLeavesNoFolder) {
  if (getuid() != 0) GTEST_SKIP() << "run by a normal user already: so is every board test here";
  const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  auto runAsNobody = [&](const std::vector<std::string>& command, const std::vector<std::string>& env, Child* c) {
    std::vector<std::string> argv = nobody;
    argv.insert(argv.end(), command.begin(), command.end());
    std::string error;
    if (!startChild(c, argv, "", env, &error)) return -1;
    if (!waitExit(c, 60)) stopChild(c, SIGKILL, 5);
    return exitCode(*c);
  };
  Child probe;
  if (runAsNobody({"/usr/bin/unshare", "-r", "-m", "true"}, {}, &probe) != 0)
    GTEST_SKIP() << "no unprivileged user namespaces here: " << probe.errText;

  char tmp[] = "/tmp/pelmora_user.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmp));
  ASSERT_EQ(0, chown(tmp, 65534, 65534));
  const std::string simboard = PELMORA_SOURCE_DIR "/test/tools/simboard";
  const std::string tmpdir = std::string("TMPDIR=") + tmp;
  struct stat fuse;
  const bool fuseForAll = stat("/dev/fuse", &fuse) == 0 && (fuse.st_mode & 0006) == 0006;
  Child board, failed;
  // The whole board needs /dev/fuse for the GPIO stand-in; the bare one does not.
  const std::vector<std::string> check =
      fuseForAll ? std::vector<std::string>{simboard, "--", "/bin/sh", "-c",
                                            "test -e /sys/class/gpio/export && test -e /dev/ttyACM0 && test -e /dev/ttyACM1"}
                 : std::vector<std::string>{simboard, "--bare", "--", "/bin/sh", "-c",
                                            "test -d /sys/class/gpio && test -c /dev/null && test -e /dev/ptmx"};
  EXPECT_EQ(0, runAsNobody(check, {tmpdir, "SIMBOARD_BIN=" + programDir()}, &board)) << board.errText;
  EXPECT_EQ(1, runAsNobody({simboard, "--", "true"}, {tmpdir, "SIMBOARD_BIN=/nonexistent"}, &failed));
  EXPECT_NE(std::string::npos, failed.errText.find("simboard: no gpio_sim in /nonexistent")) << failed.errText;
  EXPECT_EQ(0, rmdir(tmp)) << "left behind in " << tmp;
  removeWorkspace(tmp);
  if (!fuseForAll) GTEST_SKIP() << "bare board only: the GPIO stand-in needs /dev/fuse usable by the user";
}

}  // namespace

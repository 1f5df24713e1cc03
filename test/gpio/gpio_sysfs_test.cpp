// The shipped gpio_sysfs library against the sysfs GPIO stand-in mounted at
// /sys/class/gpio: bytes on the wire, results and standard-error lines.
// Calls whose standard error is checked run in a child (this program
// re-executed with --call), so their perror lines can be captured.
#include <dlfcn.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "gpio_call.h"
#include "gpio_sysfs.h"

namespace {

GpioCall callInChild(const std::vector<std::string>& args) { return gpioCallInChild(args, 10); }

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

class GpioSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(startGpioBoard(&sim_, &error)) << error;
  }
  void TearDown() override { stopGpioBoard(&sim_); }
  void exportLine(int line) { ASSERT_EQ("ok", gpioBoard("export " + std::to_string(line))); }
  Child sim_;
};

// ---- export and unexport ----

TEST_F(GpioSysfs, ExportWritesTheDigitsOnlyAndCreatesTheLineFiles) {
  EXPECT_EQ(0, gpioExport(397));
  EXPECT_EQ("ok 333937", gpioBoard("written export"));
  for (const char* file : {"direction", "value", "edge", "active_low"}) {
    EXPECT_TRUE(fileExists(std::string("/sys/class/gpio/gpio397/") + file)) << file;
  }
  EXPECT_EQ(0u, gpioBoard("state 397").find("ok exported=1 "));
}

TEST_F(GpioSysfs, ExportOfAnExportedLineReportsBusyWithItsDescriptor) {
  exportLine(397);
  GpioCall r = callInChild({"export", "397"});
  EXPECT_EQ("gpioExport: Device or resource busy\n", r.err);
  EXPECT_EQ(r.next, r.result);
  EXPECT_GT(r.result, 0);
}

TEST_F(GpioSysfs, UnexportReleasesAndRefusesALineNotExported) {
  exportLine(397);
  EXPECT_EQ(0, gpioUnexport(397));
  EXPECT_EQ("ok 333937", gpioBoard("written unexport"));
  EXPECT_FALSE(fileExists("/sys/class/gpio/gpio397"));
  GpioCall r = callInChild({"unexport", "397"});
  EXPECT_EQ("gpioUnexport: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
  EXPECT_GT(r.result, 0);
}

TEST_F(GpioSysfs, NegativeLineNumberKeepsItsSign) {
  GpioCall r = callInChild({"export", "-1"});
  EXPECT_EQ("ok 2d31", gpioBoard("written export"));
  EXPECT_EQ("gpioExport: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(GpioSysfs, ExportAndUnexportNameTheLineWhenSysfsIsMissing) {
  stopGpioBoard(&sim_);
  GpioCall r = callInChild({"export", "397"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("gpioExport unable to open gpio397: No such file or directory\n", r.err);
  r = callInChild({"unexport", "-12"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("gpioUnexport unable to open gpio-12: No such file or directory\n", r.err);
}

// ---- the line's own files ----

TEST_F(GpioSysfs, DirectionKeywordsGoOutWithTheirZeroByte) {
  exportLine(397);
  EXPECT_EQ(0, gpioSetDirection(397, 7));
  EXPECT_EQ("ok 6f757400", gpioBoard("written gpio397/direction"));
  EXPECT_NE(std::string::npos, gpioBoard("state 397").find(" direction=out "));
  EXPECT_EQ(0, gpioSetDirection(397, 0));
  EXPECT_EQ("ok 696e00", gpioBoard("written gpio397/direction"));
  EXPECT_NE(std::string::npos, gpioBoard("state 397").find(" direction=in "));
}

TEST_F(GpioSysfs, SetValueAndActiveLowWriteOneForAnyNonZero) {
  exportLine(397);
  ASSERT_EQ(0, gpioSetDirection(397, 1));
  int value = -1;
  EXPECT_EQ(0, gpioSetValue(397, -1));
  EXPECT_EQ("ok 3100", gpioBoard("written gpio397/value"));
  EXPECT_EQ(0, gpioGetValue(397, &value));
  EXPECT_EQ(1, value);
  EXPECT_EQ(0, gpioSetValue(397, 0));
  EXPECT_EQ("ok 3000", gpioBoard("written gpio397/value"));
  EXPECT_EQ(0, gpioGetValue(397, &value));
  EXPECT_EQ(0, value);

  // Active low inverts what value shows.
  EXPECT_EQ(0, gpioActiveLow(397, -1));
  EXPECT_EQ("ok 3100", gpioBoard("written gpio397/active_low"));
  EXPECT_EQ(0, gpioGetValue(397, &value));
  EXPECT_EQ(1, value);
  EXPECT_EQ(0, gpioActiveLow(397, 0));
  EXPECT_EQ("ok 3000", gpioBoard("written gpio397/active_low"));
  EXPECT_EQ(0, gpioGetValue(397, &value));
  EXPECT_EQ(0, value);
}

TEST_F(GpioSysfs, SetValueOnAnInputIsRefused) {
  exportLine(397);
  GpioCall r = callInChild({"setvalue", "397", "1"});
  EXPECT_EQ("gpioSetValue: Operation not permitted\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(GpioSysfs, SetEdgePassesTheTextWithItsZeroByteUnchecked) {
  exportLine(397);
  EXPECT_EQ(0, gpioSetEdge(397, "both"));
  EXPECT_EQ("ok 626f746800", gpioBoard("written gpio397/edge"));
  EXPECT_NE(std::string::npos, gpioBoard("state 397").find(" edge=both "));
  GpioCall r = callInChild({"edge", "397", ""});
  EXPECT_EQ("ok 00", gpioBoard("written gpio397/edge"));
  EXPECT_EQ("gpioSetEdge: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(GpioSysfs, GetValueReadsTheLevelOfThatMomentOncePerCall) {
  exportLine(397);
  for (int i = 0; i < 40; ++i) {
    const int level = i % 2;
    ASSERT_EQ(0u, gpioBoard("wave 397 const " + std::to_string(level)).find("ok start="));
    int value = -1;
    ASSERT_EQ(0, gpioGetValue(397, &value));
    ASSERT_EQ(level, value) << "call " << i;
  }
  EXPECT_NE(std::string::npos, gpioBoard("state 397").find(" reads=40"));
}

TEST_F(GpioSysfs, GetValueFailuresLeaveTheVariableAlone) {
  exportLine(397);
  ASSERT_EQ("ok", gpioBoard("fault 397 short 1"));
  GpioCall r = callInChild({"getvalue", "397"});
  EXPECT_EQ(-7, r.value);
  EXPECT_EQ(r.next, r.result);
  EXPECT_EQ(0u, r.err.find("gpioGetValue: "));
  EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n'));

  ASSERT_EQ("ok", gpioBoard("fault 397 read EIO 1"));
  r = callInChild({"getvalue", "397"});
  EXPECT_EQ(-7, r.value);
  EXPECT_EQ(r.next, r.result);
  EXPECT_EQ("gpioGetValue: Input/output error\n", r.err);

  ASSERT_EQ("ok", gpioBoard("fault 397 open EACCES 1"));
  r = callInChild({"getvalue", "397"});
  EXPECT_EQ(-7, r.value);
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("gpioGetValue unable to open gpio397: Permission denied\n", r.err);

  // The faults were for one call each.
  ASSERT_EQ("ok start=", gpioBoard("wave 397 const 1").substr(0, 9));
  r = callInChild({"getvalue", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(1, r.value);
  EXPECT_EQ("", r.err);
}

TEST_F(GpioSysfs, EveryPerLineCallOnALineNotExportedNamesTheLine) {
  const std::vector<std::vector<std::string>> calls = {
      {"direction", "398", "1"}, {"setvalue", "398", "1"}, {"getvalue", "398"},
      {"edge", "398", "both"},   {"open", "398"},          {"activelow", "398", "1"}};
  const std::vector<std::string> names = {"gpioSetDirection", "gpioSetValue", "gpioGetValue",
                                          "gpioSetEdge",      "gpioOpen",     "gpioActiveLow"};
  for (size_t i = 0; i < calls.size(); ++i) {
    GpioCall r = callInChild(calls[i]);
    EXPECT_EQ(-1, r.result) << names[i];
    EXPECT_EQ(names[i] + " unable to open gpio398: No such file or directory\n", r.err);
  }
  EXPECT_EQ(-7, callInChild({"getvalue", "398"}).value);
}

TEST_F(GpioSysfs, OpenHandsOutANonBlockingDescriptorUntilClose) {
  exportLine(397);
  ASSERT_EQ(0u, gpioBoard("wave 397 const 1").find("ok start="));
  const int fd = gpioOpen(397);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(O_RDONLY | O_NONBLOCK, fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK));
  char level = 0;
  EXPECT_EQ(1, read(fd, &level, 1));
  EXPECT_EQ('1', level);
  EXPECT_EQ(0, gpioClose(fd));
  EXPECT_EQ(-1, gpioClose(fd));
  GpioCall r = callInChild({"close", "-5"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("", r.err);
}

// ---- the wrong-count path ----

TEST_F(GpioSysfs, FailedReadsLeaveNoDescriptorOpen) {
  exportLine(397);
  ASSERT_EQ("ok", gpioBoard("fault 397 short"));
  const int before = openDescriptorCount();
  // More failures than the default descriptor limit: a leak would end in
  // failed opens (-1) long before the last call.
  fflush(stderr);
  const int savedErr = dup(2);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 2);
  int failuresWithDescriptor = 0;
  for (int i = 0; i < 1500; ++i) {
    int value = 0;
    if (gpioGetValue(397, &value) > 0) ++failuresWithDescriptor;
  }
  dup2(savedErr, 2);
  close(savedErr);
  close(devNull);
  EXPECT_EQ(1500, failuresWithDescriptor);
  EXPECT_EQ(before, openDescriptorCount());
}

TEST_F(GpioSysfs, AFailureOnDescriptorZeroIsNotReportedAsSuccess) {
  exportLine(397);
  ASSERT_EQ("ok", gpioBoard("fault 397 short 1"));
  GpioCall r = callInChild({"getvalue-fd0", "397"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ(-7, r.value);
  EXPECT_EQ(0u, r.err.find("gpioGetValue: "));
}

// ---- the shared object itself ----

TEST(GpioSysfsLibrary, ExportsTheNineFunctionsUnderTheirPlainNames) {
  void* library = dlopen(PELMORA_BIN_DIR "/../libgpio_sysfs.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  for (const char* name : {"gpioExport", "gpioUnexport", "gpioSetDirection", "gpioSetValue",
                           "gpioGetValue", "gpioSetEdge", "gpioOpen", "gpioClose", "gpioActiveLow"}) {
    EXPECT_NE(nullptr, dlsym(library, name)) << name;
  }
  dlclose(library);
}

}  // namespace

int main(int argc, char** argv) { return gpioCallMain(argc, argv, nullptr); }

// The shipped gpio_sysfs library where only the sysfs GPIO stand-in can
// take it: no sysfs at all, and value files that fail in chosen ways. Part
// of test_gpio_sysfs, beside the cases it shares with the kernel board.
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
#include "gpio_line.h"
#include "gpio_sysfs.h"

namespace {

GpioCall callInChild(const std::vector<std::string>& args) { return gpioCallInChild(args, 10); }

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

class GpioStandin : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(setUpLineBoard(&error)) << error;
    ASSERT_EQ("ok", gpioBoard("export 397"));
  }
  void TearDown() override { tearDownLineBoard(); }
};

TEST_F(GpioStandin, ExportAndUnexportNameTheLineWhenSysfsIsMissing) {
  tearDownLineBoard();
  GpioCall r = callInChild({"export", "397"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("gpioExport unable to open gpio397: No such file or directory\n", r.err);
  r = callInChild({"unexport", "-12"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("gpioUnexport unable to open gpio-12: No such file or directory\n", r.err);
}

TEST_F(GpioStandin, GetValueReadsTheFileOncePerCall) {
  const long before = gpioBoardReads();
  for (int i = 0; i < 40; ++i) {
    int value = -1;
    ASSERT_EQ(0, gpioGetValue(397, &value));
  }
  EXPECT_EQ(before + 40, gpioBoardReads());
}

TEST_F(GpioStandin, GetValueFailuresLeaveTheVariableAlone) {
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
  ASSERT_TRUE(setLineLevel(1));
  r = callInChild({"getvalue", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(1, r.value);
  EXPECT_EQ("", r.err);
}

TEST_F(GpioStandin, FailedReadsLeaveNoDescriptorOpen) {
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

TEST_F(GpioStandin, AFailureOnDescriptorZeroIsNotReportedAsSuccess) {
  ASSERT_EQ("ok", gpioBoard("fault 397 short 1"));
  GpioCall r = callInChild({"getvalue-fd0", "397"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ(-7, r.value);
  EXPECT_EQ(0u, r.err.find("gpioGetValue: "));
}

}  // namespace

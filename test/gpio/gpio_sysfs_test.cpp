// The shipped gpio_sysfs library and gpio_hold on line 397 of a board's
// sysfs GPIO: built for the stand-in (test_gpio_sysfs, natively and for
// AArch64) and for the kernel's own (test_kernel_gpio); gpio_line.h is
// what differs. Bytes handed to the files, results and standard-error
// lines; calls whose standard error is checked run in a child (--call).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "gpio_call.h"
#include "gpio_line.h"
#include "gpio_sysfs.h"
#include "process.h"

namespace {

const std::string kLine = "/sys/class/gpio/gpio397/";

GpioCall call(const std::vector<std::string>& args) { return gpioCallInChild(args, 20); }

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Writes text to a sysfs file in one write, as a shell's echo would.
bool sysfsWrite(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = write(fd, text.data(), text.size());
  close(fd);
  return n == static_cast<ssize_t>(text.size());
}

class GpioLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(setUpLineBoard(&error)) << error;
  }
  void TearDown() override {
    stopChild(&holder_, SIGKILL, 2);
    tearDownLineBoard();
  }
  void exportLine() { ASSERT_TRUE(sysfsWrite("/sys/class/gpio/export", "397")); }
  void startHolder() {
    std::string error;
    ASSERT_TRUE(startChild(&holder_, {programPath("gpio_hold"), "ignored", "--args"}, "", {}, &error)) << error;
  }
  // Holding: the line is exported as an input.
  bool waitHolding() {
    return waitUntil([] { return exists(kLine + "direction") && firstLine(kLine + "direction") == "in"; }, 20);
  }
  Child holder_;
};

// ---- the library ----

TEST_F(GpioLine, ExportTakesTheDigitsAloneAndTheLineAppearsAtOnce) {
  GpioCall r = call({"export", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("export", r.file);
  EXPECT_EQ("333937", r.bytes);
  EXPECT_EQ(3, r.answer);
  EXPECT_EQ("", r.err);
  for (const char* file : {"direction", "value", "edge", "active_low"}) EXPECT_TRUE(exists(kLine + file)) << file;

  r = call({"export", "397"});
  EXPECT_EQ("gpioExport: Device or resource busy\n", r.err);
  EXPECT_EQ(r.next, r.result);
  EXPECT_GT(r.result, 0);
  EXPECT_EQ(-EBUSY, r.answer);
}

TEST_F(GpioLine, UnexportRemovesTheLineAtOnceAndRefusesItThen) {
  exportLine();
  GpioCall r = call({"unexport", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("unexport", r.file);
  EXPECT_EQ("333937", r.bytes);
  EXPECT_FALSE(exists(kLine));
  r = call({"unexport", "397"});
  EXPECT_EQ("gpioUnexport: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
  EXPECT_GT(r.result, 0);
}

TEST_F(GpioLine, NegativeLineNumberKeepsItsSignAndIsRefused) {
  GpioCall r = call({"export", "-1"});
  EXPECT_EQ("2d31", r.bytes);
  EXPECT_EQ("gpioExport: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

// Direction, value and edge take their keyword with its zero byte; any
// non-zero value is written as 1.
TEST_F(GpioLine, KeywordsWithTheirZeroByteAreAccepted) {
  exportLine();
  GpioCall r = call({"direction", "397", "7"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("6f757400", r.bytes);
  EXPECT_EQ(4, r.answer);
  EXPECT_EQ("out", firstLine(kLine + "direction"));
  r = call({"setvalue", "397", "-1"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("3100", r.bytes);
  EXPECT_EQ(2, r.answer);
  EXPECT_EQ(1, lineLevel());
  r = call({"getvalue", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(1, r.value);
  r = call({"setvalue", "397", "0"});
  EXPECT_EQ("3000", r.bytes);
  EXPECT_EQ(0, lineLevel());
  EXPECT_EQ(0, call({"getvalue", "397"}).value);
  r = call({"direction", "397", "0"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("696e00", r.bytes);
  EXPECT_EQ(3, r.answer);
  EXPECT_EQ("in", firstLine(kLine + "direction"));
  r = call({"edge", "397", "both"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("626f746800", r.bytes);
  EXPECT_EQ(5, r.answer);
  EXPECT_EQ("both", firstLine(kLine + "edge"));
  r = call({"edge", "397", ""});
  EXPECT_EQ("00", r.bytes);
  EXPECT_EQ("gpioSetEdge: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
  EXPECT_EQ("", call({"edge", "397", "none"}).err);
}

// Each call reads the level of that moment; active low inverts it.
TEST_F(GpioLine, ValueFollowsTheLineAndActiveLowInvertsIt) {
  exportLine();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(setLineLevel(i % 2));
    int value = -1;
    ASSERT_EQ(0, gpioGetValue(397, &value));
    ASSERT_EQ(i % 2, value) << "call " << i;
  }
  ASSERT_TRUE(setLineLevel(1));
  GpioCall r = call({"activelow", "397", "-1"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("3100", r.bytes);
  EXPECT_EQ(2, r.answer);
  EXPECT_EQ(0, call({"getvalue", "397"}).value);
  EXPECT_EQ("0", firstLine(kLine + "value"));
  r = call({"activelow", "397", "0"});
  EXPECT_EQ("3000", r.bytes);
  EXPECT_EQ(1, call({"getvalue", "397"}).value);
}

TEST_F(GpioLine, SetValueOnAnInputIsRefused) {
  exportLine();
  GpioCall r = call({"setvalue", "397", "1"});
  EXPECT_EQ("gpioSetValue: Operation not permitted\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(GpioLine, EveryPerLineCallOnALineNotExportedNamesTheLine) {
  const std::vector<std::vector<std::string>> calls = {
      {"direction", "398", "1"}, {"setvalue", "398", "1"}, {"getvalue", "398"},
      {"edge", "398", "both"},   {"open", "398"},          {"activelow", "398", "1"}};
  const std::vector<std::string> names = {"gpioSetDirection", "gpioSetValue", "gpioGetValue",
                                          "gpioSetEdge",      "gpioOpen",     "gpioActiveLow"};
  for (size_t i = 0; i < calls.size(); ++i) {
    GpioCall r = call(calls[i]);
    EXPECT_EQ(-1, r.result) << names[i];
    EXPECT_EQ(-7, r.value) << names[i];
    EXPECT_EQ(names[i] + " unable to open gpio398: No such file or directory\n", r.err);
  }
}

TEST_F(GpioLine, OpenHandsOutANonBlockingDescriptorUntilClose) {
  exportLine();
  ASSERT_TRUE(setLineLevel(1));
  const int fd = gpioOpen(397);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(O_RDONLY | O_NONBLOCK, fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK));
  char level = 0;
  EXPECT_EQ(1, read(fd, &level, 1));
  EXPECT_EQ('1', level);
  EXPECT_EQ(0, gpioClose(fd));
  EXPECT_EQ(-1, gpioClose(fd));
  GpioCall r = call({"close", "-5"});
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("", r.err);
}

TEST(GpioSysfsLibrary, ExportsTheNineFunctionsUnderTheirPlainNames) {
  void* library = dlopen(programPath("../libgpio_sysfs.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  for (const char* name : {"gpioExport", "gpioUnexport", "gpioSetDirection", "gpioSetValue",
                           "gpioGetValue", "gpioSetEdge", "gpioOpen", "gpioClose", "gpioActiveLow"}) {
    EXPECT_NE(nullptr, dlsym(library, name)) << name;
  }
  dlclose(library);
}

// ---- gpio_hold ----

// Console text is read as "%d" reads it (the console module's own tests
// hold the table): here one spelling of each outcome. A non-zero number,
// a word without one and the rest of a word after its number keep it
// holding, silently; a zero releases, whatever follows it in its word.
TEST_F(GpioLine, HolderExportsAsInputHoldsOnNonZeroAndReleasesOnZero) {
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  ASSERT_TRUE(writeInput(&holder_, "5 abc 7-0\n"));
  ASSERT_TRUE(waitInputTaken(&holder_, 20));
  EXPECT_FALSE(waitExit(&holder_, 0));
  EXPECT_TRUE(exists(kLine));
  // The held input follows the sensor.
  ASSERT_TRUE(setLineLevel(1));
  EXPECT_EQ("1", firstLine(kLine + "value"));
  ASSERT_TRUE(writeInput(&holder_, "0.\n"));
  ASSERT_TRUE(waitExit(&holder_, 20));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_FALSE(exists(kLine));
  EXPECT_EQ("", holder_.outText);
  EXPECT_EQ("", holder_.errText);
}

// The end of input releases the line too, a number before it or not.
TEST_F(GpioLine, HolderReleasesALineLeftExportedAsAnOutputAndMakesItAnInput) {
  exportLine();
  ASSERT_TRUE(sysfsWrite(kLine + "direction", "out"));
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  ASSERT_TRUE(writeInput(&holder_, "7"));
  closeInput(&holder_);
  ASSERT_TRUE(waitExit(&holder_, 20));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_FALSE(exists(kLine));
  // No busy export, no other complaint.
  EXPECT_EQ("", holder_.errText);
}

}  // namespace

int main(int argc, char** argv) { return gpioCallMain(argc, argv); }

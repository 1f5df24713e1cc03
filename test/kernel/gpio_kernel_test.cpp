// The shipped gpio_sysfs library and gpio_hold on the kernel's own sysfs
// GPIO (line 397 from gpio-mockup), inside tools/kernelboard. The bytes
// each call hands the kernel are seen by interposing write(2): the library
// calls it through the dynamic linker, so this program's definition wins.
// Calls whose standard error is checked run in a child (--call).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gpio_call.h"
#include "gpio_sysfs.h"
#include "kernel_board.h"
#include "process.h"

namespace {

// The last write to a file under /sys: its file name, bytes (hex) and the
// kernel's answer. Written and read by the test's one thread.
std::string g_file;
std::string g_bytes;
long g_answer = -100;

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  typedef ssize_t (*WriteFn)(int, const void*, size_t);
  static WriteFn real = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
  ssize_t n = real(fd, buf, count);
  const int saved = errno;
  char target[256];
  ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (len > 5 && std::string(target, 5) == "/sys/") {
    std::string path(target, static_cast<size_t>(len));
    g_file = path.substr(path.rfind('/') + 1);
    g_bytes.clear();
    for (size_t i = 0; i < count; ++i) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", static_cast<const unsigned char*>(buf)[i]);
      g_bytes += hex;
    }
    g_answer = n < 0 ? -errno : n;
  }
  errno = saved;
  return n;
}

namespace {

const std::string kLine = "/sys/class/gpio/gpio397/";

// The child's report of the last write under /sys.
std::string lastWrite() {
  char text[400];
  snprintf(text, sizeof text, " file=%s bytes=%s answer=%ld", g_file.empty() ? "-" : g_file.c_str(),
           g_bytes.empty() ? "-" : g_bytes.c_str(), g_answer);
  return text;
}

GpioCall call(const std::vector<std::string>& args) { return gpioCallInChild(args, 20); }

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
std::string firstLine(const std::string& path) {
  std::string text = readText(path);
  return text.substr(0, text.find('\n'));
}

class KernelGpio : public ::testing::Test {
 protected:
  void SetUp() override {
    if (exists(kLine)) writeText("/sys/class/gpio/unexport", "397");
    ASSERT_TRUE(setMockupLine(0));
  }
  void TearDown() override {
    stopChild(&holder_, SIGKILL, 2);
    if (exists(kLine)) writeText("/sys/class/gpio/unexport", "397");
  }
  void startHolder() {
    std::string error;
    ASSERT_TRUE(startChild(&holder_, {std::string(PELMORA_BOARD_BIN) + "/gpio_hold", "ignored"}, "", {}, &error))
        << error;
  }
  bool waitHolding() {
    return waitUntil([] { return exists(kLine + "direction") && firstLine(kLine + "direction") == "in"; }, 20);
  }
  Child holder_;
};

// ---- the library ----

TEST_F(KernelGpio, ExportTakesTheDigitsAloneAndTheLineAppearsAtOnce) {
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

TEST_F(KernelGpio, UnexportRemovesTheLineAtOnceAndRefusesItThen) {
  ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
  GpioCall r = call({"unexport", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("unexport", r.file);
  EXPECT_EQ("333937", r.bytes);
  EXPECT_FALSE(exists(kLine));
  r = call({"unexport", "397"});
  EXPECT_EQ("gpioUnexport: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(KernelGpio, NegativeLineNumberKeepsItsSignAndIsRefused) {
  GpioCall r = call({"export", "-1"});
  EXPECT_EQ("2d31", r.bytes);
  EXPECT_EQ("gpioExport: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(KernelGpio, KeywordsWithTheirZeroByteAreAccepted) {
  ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
  GpioCall r = call({"direction", "397", "7"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("6f757400", r.bytes);
  EXPECT_EQ(4, r.answer);
  EXPECT_EQ("out", firstLine(kLine + "direction"));
  r = call({"setvalue", "397", "-1"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("3100", r.bytes);
  EXPECT_EQ(1, mockupLine());
  r = call({"getvalue", "397"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(1, r.value);
  r = call({"setvalue", "397", "0"});
  EXPECT_EQ("3000", r.bytes);
  EXPECT_EQ(0, mockupLine());
  r = call({"direction", "397", "0"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("696e00", r.bytes);
  EXPECT_EQ(3, r.answer);
  EXPECT_EQ("in", firstLine(kLine + "direction"));
  r = call({"edge", "397", "both"});
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("626f746800", r.bytes);
  EXPECT_EQ("both", firstLine(kLine + "edge"));
  r = call({"edge", "397", ""});
  EXPECT_EQ("00", r.bytes);
  EXPECT_EQ("gpioSetEdge: Invalid argument\n", r.err);
  EXPECT_EQ(r.next, r.result);
  EXPECT_EQ("", call({"edge", "397", "none"}).err);
}

TEST_F(KernelGpio, ValueFollowsTheLineAndActiveLowInvertsIt) {
  ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(setMockupLine(i % 2));
    int value = -1;
    ASSERT_EQ(0, gpioGetValue(397, &value));
    ASSERT_EQ(i % 2, value) << "call " << i;
  }
  ASSERT_TRUE(setMockupLine(1));
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

TEST_F(KernelGpio, SetValueOnAnInputIsRefused) {
  ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
  GpioCall r = call({"setvalue", "397", "1"});
  EXPECT_EQ("gpioSetValue: Operation not permitted\n", r.err);
  EXPECT_EQ(r.next, r.result);
}

TEST_F(KernelGpio, EveryPerLineCallOnALineNotExportedNamesTheLine) {
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

TEST_F(KernelGpio, OpenHandsOutANonBlockingDescriptorUntilClose) {
  ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
  ASSERT_TRUE(setMockupLine(1));
  const int fd = gpioOpen(397);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(O_RDONLY | O_NONBLOCK, fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK));
  char level = 0;
  EXPECT_EQ(1, read(fd, &level, 1));
  EXPECT_EQ('1', level);
  EXPECT_EQ(0, gpioClose(fd));
  EXPECT_EQ(-1, gpioClose(fd));
}

// ---- gpio_hold ----

TEST_F(KernelGpio, HolderExportsAsInputHoldsOnNonZeroAndReleasesOnZero) {
  startHolder();
  ASSERT_TRUE(waitHolding());
  // Non-zero numbers and words without one keep it holding, silently.
  ASSERT_TRUE(writeInput(&holder_, "5 -3\nabc 7abc\n"));
  ASSERT_TRUE(waitInputTaken(&holder_, 20));
  EXPECT_FALSE(waitExit(&holder_, 0));
  EXPECT_TRUE(exists(kLine));
  // The held input follows the sensor.
  ASSERT_TRUE(setMockupLine(1));
  EXPECT_EQ("1", firstLine(kLine + "value"));
  // A zero with a slip after it, as "%d" reads it, releases.
  ASSERT_TRUE(writeInput(&holder_, "0.\n"));
  ASSERT_TRUE(waitExit(&holder_, 20));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_FALSE(exists(kLine));
  EXPECT_EQ("", holder_.outText);
  EXPECT_EQ("", holder_.errText);
}

TEST_F(KernelGpio, HolderReleasesALineLeftExportedAsAnOutputAndMakesItAnInput) {
  ASSERT_TRUE(writeText("/sys/class/gpio/export", "397"));
  ASSERT_TRUE(writeText(kLine + "direction", "out"));
  startHolder();
  ASSERT_TRUE(waitHolding());
  closeInput(&holder_);
  ASSERT_TRUE(waitExit(&holder_, 20));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_FALSE(exists(kLine));
  EXPECT_EQ("", holder_.errText);
}

}  // namespace

int main(int argc, char** argv) { return gpioCallMain(argc, argv, lastWrite); }

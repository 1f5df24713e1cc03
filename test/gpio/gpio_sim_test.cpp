// The sysfs GPIO stand-in as the programs see it: gpio_sim mounted at
// /sys/class/gpio, driven through its control socket and gpio_sim_ctl.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "gpio_board.h"
#include "gpio_sim_logic.h"

namespace {

const std::string kGpio = "/sys/class/gpio/";

// Writes bytes to a sysfs file in one call; 0 or the errno of the failure.
int writeBytes(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return errno;
  ssize_t n = write(fd, bytes.data(), bytes.size());
  int error = n < 0 ? errno : (n == static_cast<ssize_t>(bytes.size()) ? 0 : -1);
  close(fd);
  return error;
}

std::string readText(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "open failed: " + std::string(strerror(errno));
  char buf[64];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n < 0 ? "read failed: " + std::string(strerror(errno)) : std::string(buf, static_cast<size_t>(n));
}

bool listed(const std::string& dir, const std::string& name) {
  DIR* d = opendir(dir.c_str());
  bool found = false;
  while (struct dirent* e = d ? readdir(d) : nullptr) found = found || name == e->d_name;
  if (d) closedir(d);
  return found;
}

// The start time from a wave reply "ok start=<ns>"; -1 when it is not one.
int64_t waveStart(const std::string& reply) {
  int64_t start = -1;
  return reply.compare(0, 9, "ok start=") == 0 && parseDecimalInt64(reply.substr(9), &start) ? start : -1;
}

class GpioSim : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(startGpioBoard(&sim_, &error)) << error;
  }
  void TearDown() override { stopGpioBoard(&sim_); }
  Child sim_;
};

TEST_F(GpioSim, ExportAndUnexportShowAtOnce) {
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(0, writeBytes(kGpio + "export", "397"));
    struct stat st;
    ASSERT_EQ(0, stat((kGpio + "gpio397/value").c_str(), &st)) << "round " << i;
    ASSERT_TRUE(listed(kGpio, "gpio397"));
    ASSERT_TRUE(listed(kGpio + "gpio397", "active_low"));
    ASSERT_EQ(0, writeBytes(kGpio + "unexport", "397"));
    ASSERT_NE(0, stat((kGpio + "gpio397").c_str(), &st)) << "stale entry in round " << i;
    ASSERT_FALSE(listed(kGpio, "gpio397"));
  }
}

TEST_F(GpioSim, RefusesWhatTheKernelRefuses) {
  EXPECT_EQ(EINVAL, writeBytes(kGpio + "unexport", "397"));
  EXPECT_EQ(EINVAL, writeBytes(kGpio + "export", "abc"));
  EXPECT_EQ(EINVAL, writeBytes(kGpio + "export", "5000"));
  // The kernel reads up to the first zero byte: this exports line 39.
  EXPECT_EQ(0, writeBytes(kGpio + "export", std::string("39\0" "7", 4)));
  EXPECT_TRUE(listed(kGpio, "gpio39"));
  EXPECT_FALSE(listed(kGpio, "gpio397"));
  ASSERT_EQ(0, writeBytes(kGpio + "export", std::string("397\n\0", 5)));
  EXPECT_EQ(EBUSY, writeBytes(kGpio + "export", "397\n"));
  EXPECT_EQ(EINVAL, writeBytes(kGpio + "gpio397/direction", "sideways"));
  EXPECT_EQ(EPERM, writeBytes(kGpio + "gpio397/value", "1"));
  EXPECT_EQ(EINVAL, writeBytes(kGpio + "gpio397/edge", "up"));
  EXPECT_EQ(EINVAL, writeBytes(kGpio + "gpio397/active_low", "yes"));
  // The same words with a newline or zero byte after them are taken.
  EXPECT_EQ(0, writeBytes(kGpio + "gpio397/direction", "out\n"));
  EXPECT_EQ("out\n", readText(kGpio + "gpio397/direction"));
  EXPECT_EQ(0, writeBytes(kGpio + "gpio397/value", std::string("1\0", 2)));
  EXPECT_EQ("1\n", readText(kGpio + "gpio397/value"));
  EXPECT_EQ(EIO, writeBytes(kGpio + "gpio397/edge", "rising\n"));
  EXPECT_EQ("none\n", readText(kGpio + "gpio397/edge"));
  EXPECT_EQ(0, writeBytes(kGpio + "gpio397/direction", std::string("in\0", 3)));
  EXPECT_EQ("in\n", readText(kGpio + "gpio397/direction"));
  EXPECT_EQ(0, writeBytes(kGpio + "gpio397/edge", "rising\n"));
  EXPECT_EQ("rising\n", readText(kGpio + "gpio397/edge"));
  // A shell's redirection (open with O_TRUNC, then a write) works too.
  EXPECT_EQ(0, system("echo 397 > /sys/class/gpio/unexport"));
  EXPECT_EQ("ok 3339370a", gpioBoard("written unexport"));
}

TEST_F(GpioSim, ValueIsNeverServedFromACache) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  // One descriptor, re-read from the start as a poller does.
  int fd = open((kGpio + "gpio397/value").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 30; ++i) {
    const int level = (i / 2) % 2;
    ASSERT_NE(-1, waveStart(gpioBoard("wave 397 const " + std::to_string(level))));
    char buf[8];
    ASSERT_EQ(2, pread(fd, buf, sizeof buf, 0));
    ASSERT_EQ(std::string(level ? "1\n" : "0\n"), std::string(buf, 2)) << "read " << i;
    ASSERT_EQ(std::string(level ? "1\n" : "0\n"), readText(kGpio + "gpio397/value"));
  }
  close(fd);
  // The wave ended low; active low shows it as 1.
  ASSERT_EQ(0, writeBytes(kGpio + "gpio397/active_low", "1"));
  EXPECT_EQ("1\n", readText(kGpio + "gpio397/value"));
  EXPECT_EQ("ok exported=1 direction=in value=1 edge=none active_low=1 reads=61", gpioBoard("state 397"));
}

TEST_F(GpioSim, ReadsFollowTheWaveOnTheMonotonicClock) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  const int64_t start = waveStart(gpioBoard("wave 397 interval 7000"));
  ASSERT_GT(start, 0);
  Wave wave;
  std::string error;
  ASSERT_TRUE(parseWave({"interval", "7000"}, start, &wave, &error));
  int checked = 0;
  const int64_t end = start + 250 * 1000000LL;
  while (monotonicNs() < end) {
    const int64_t before = monotonicNs();
    const std::string text = readText(kGpio + "gpio397/value");
    const int64_t after = monotonicNs();
    // Only a read with no change during it has one right answer.
    if (waveChanges(wave, before, after + 1) == 0) {
      ASSERT_EQ(waveLevel(wave, before) ? "1\n" : "0\n", text);
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
  const int64_t now = monotonicNs();
  EXPECT_EQ("ok " + std::to_string(waveChanges(wave, start, now)),
            gpioBoard("changes 397 " + std::to_string(start) + " " + std::to_string(now)));
}

TEST_F(GpioSim, FaultsLastForTheirCountOrUntilCleared) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  ASSERT_EQ("ok", gpioBoard("fault 397 open EACCES 2"));
  EXPECT_EQ("open failed: Permission denied", readText(kGpio + "gpio397/value"));
  EXPECT_EQ("open failed: Permission denied", readText(kGpio + "gpio397/value"));
  EXPECT_EQ("0\n", readText(kGpio + "gpio397/value"));
  ASSERT_EQ("ok", gpioBoard("fault 397 read EIO"));
  for (int i = 0; i < 5; ++i) EXPECT_EQ("read failed: Input/output error", readText(kGpio + "gpio397/value"));
  ASSERT_EQ("ok", gpioBoard("fault 397 none"));
  EXPECT_EQ("0\n", readText(kGpio + "gpio397/value"));
  ASSERT_EQ("ok", gpioBoard("fault 397 short 1"));
  EXPECT_EQ("", readText(kGpio + "gpio397/value"));
  EXPECT_EQ("0\n", readText(kGpio + "gpio397/value"));
  // Other files of the line are not affected.
  ASSERT_EQ("ok", gpioBoard("fault 397 open EIO"));
  EXPECT_EQ("in\n", readText(kGpio + "gpio397/direction"));
}

// What poll() on the value file reports within ms: 0 for nothing.
int pollValue(int fd, int ms) {
  struct pollfd p = {fd, POLLPRI | POLLERR, 0};
  return poll(&p, 1, ms) == 1 ? p.revents : 0;
}

std::string preadText(int fd) {
  char buf[8];
  ssize_t n = pread(fd, buf, sizeof buf, 0);
  return n < 0 ? "read failed: " + std::string(strerror(errno)) : std::string(buf, static_cast<size_t>(n));
}

// As sysfs: POLLPRI|POLLERR after a selected change, held until a read
// from the start, and at once after an open that has not read yet.
TEST_F(GpioSim, PollReportsEachSelectedChangeUntilRead) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  int fd = open((kGpio + "gpio397/value").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(POLLPRI | POLLERR, pollValue(fd, 0));
  EXPECT_EQ("0\n", preadText(fd));
  EXPECT_EQ(0, pollValue(fd, 0));
  // Edge none: changes are not reported.
  ASSERT_NE(-1, waveStart(gpioBoard("wave 397 const 1")));
  EXPECT_EQ(0, pollValue(fd, 30));

  ASSERT_EQ(0, writeBytes(kGpio + "gpio397/edge", "both"));
  const int64_t start = waveStart(gpioBoard("wave 397 script 0@0 1@40 0@80"));
  ASSERT_GT(start, 0);
  // The new wave's jump to 0 at its start is a change of its own.
  EXPECT_EQ(POLLPRI | POLLERR, pollValue(fd, 0));
  EXPECT_EQ("0\n", preadText(fd));
  EXPECT_EQ(POLLPRI | POLLERR, pollValue(fd, 2000));
  EXPECT_GE(monotonicNs() - start, 40 * 1000000LL);
  EXPECT_LT(monotonicNs() - start, 80 * 1000000LL);
  // Still reported, until the read takes it in.
  EXPECT_EQ(POLLPRI | POLLERR, pollValue(fd, 0));
  EXPECT_EQ("1\n", preadText(fd));
  EXPECT_EQ(POLLPRI | POLLERR, pollValue(fd, 2000));
  EXPECT_GE(monotonicNs() - start, 80 * 1000000LL);
  EXPECT_EQ("0\n", preadText(fd));
  EXPECT_EQ(0, pollValue(fd, 50));

  // Rising only: one report per rise, and the level read then is 1.
  ASSERT_EQ(0, writeBytes(kGpio + "gpio397/edge", "rising"));
  ASSERT_NE(-1, waveStart(gpioBoard("wave 397 interval 15000")));
  int rises = 0;
  for (int k = 0; k < 6; ++k) {
    ASSERT_EQ(POLLPRI | POLLERR, pollValue(fd, 2000)) << "wait " << k;
    const std::string level = preadText(fd);
    if (level == "1\n") ++rises;
  }
  // A rise and a fall 15 ms apart: a loaded machine may read late once.
  EXPECT_GE(rises, 5);
  // Unexported under the open file: reported at once, the read fails.
  ASSERT_EQ("ok", gpioBoard("unexport 397"));
  EXPECT_EQ(POLLPRI | POLLERR, pollValue(fd, 1000));
  EXPECT_EQ("read failed: No such device", preadText(fd));
  close(fd);
}

TEST_F(GpioSim, EdgeFaultRefusesTheWriteAndKeepsTheSetting) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  ASSERT_EQ(0, writeBytes(kGpio + "gpio397/edge", "falling"));
  ASSERT_EQ("ok", gpioBoard("fault 397 edge EIO 1"));
  EXPECT_EQ(EIO, writeBytes(kGpio + "gpio397/edge", std::string("both\0", 5)));
  EXPECT_EQ("falling\n", readText(kGpio + "gpio397/edge"));
  EXPECT_EQ(0, writeBytes(kGpio + "gpio397/edge", "both"));
  EXPECT_EQ("both\n", readText(kGpio + "gpio397/edge"));
  EXPECT_EQ(0u, gpioBoard("fault 397 edge ENOTHING").find("error "));
}

TEST_F(GpioSim, ControlRepliesAndTheCommandLineClient) {
  EXPECT_EQ("ok exported=0 direction=in value=0 edge=none active_low=0 reads=0", gpioBoard("state 397"));
  EXPECT_EQ("ok", gpioBoard("written gpio397/value"));
  EXPECT_EQ(0u, gpioBoard("unexport 397").find("error "));
  EXPECT_EQ(0u, gpioBoard("export 4000").find("error "));
  EXPECT_EQ(0u, gpioBoard("wave 397 rpm").find("error "));
  EXPECT_EQ(0u, gpioBoard("fault 397 read ENOTHING").find("error "));
  EXPECT_EQ(0u, gpioBoard("fault 397 short 0").find("error "));
  EXPECT_EQ(0u, gpioBoard("jump 397").find("error "));
  EXPECT_EQ("ok 0", gpioBoard("changes 397 0 1000000000"));

  const std::string ctl = programPath("gpio_sim_ctl");
  const std::string socket = std::string(getenv("SIMBOARD_DIR")) + "/gpio.sock";
  Child c;
  ASSERT_TRUE(startChild(&c, {ctl, socket, "export", "397"}));
  ASSERT_TRUE(waitExit(&c, 10));
  EXPECT_EQ(0, exitCode(c));
  EXPECT_EQ("ok\n", c.outText);
  ASSERT_TRUE(startChild(&c, {ctl, socket, "export", "397"}));
  ASSERT_TRUE(waitExit(&c, 10));
  EXPECT_EQ(1, exitCode(c));
  EXPECT_EQ("error Device or resource busy\n", c.outText);
}

TEST_F(GpioSim, StopsCleanlyOnTerm) {
  ASSERT_TRUE(gpioBoardMounted());
  stopChild(&sim_, SIGTERM, 10);
  EXPECT_EQ(0, exitCode(sim_));
  EXPECT_FALSE(gpioBoardMounted());
  EXPECT_NE(0, access((std::string(getenv("SIMBOARD_DIR")) + "/gpio.sock").c_str(), F_OK));
}

}  // namespace

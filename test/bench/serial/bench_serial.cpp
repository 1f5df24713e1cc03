// Command writer figures, on a simulated board: passes per second, and the
// latency from an operator's atomic file update (write, then rename) to the
// complete pair at the drive controller stand-in, for serial and
// serial_raw, beside two floors measured in the same run: a bare read of
// the two command files, and a two-byte write through a pseudo-terminal.
//   test/tools/simboard --bare -- devel/lib/pelmora/bench_serial [updates]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bridge_harness.h"
#include "figures.h"

namespace {

void printRow(const char* what, const Figures& f, size_t n) {
  printf("  %-44s median %9.1f us   p99 %9.1f us   (n=%zu)\n", what, f.median * 1e6, f.p99 * 1e6, n);
}

// Reads the drive controller's "<time> <byte>" lines as they come, keeping
// only the byte count and the last pair's values and arrival time.
struct DriveStream {
  int fd = -1;
  std::string partial;
  long long bytes = 0;
  int lastThrottle = -1;
  int lastSteering = -1;
  double pairTime = 0;
};

// Reads whatever is there (waiting up to ms); true when a pair completed.
bool readDrive(DriveStream* s, int ms) {
  struct pollfd p = {s->fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return false;
  char buf[65536];
  ssize_t n = read(s->fd, buf, sizeof buf);
  if (n <= 0) return false;
  s->partial.append(buf, static_cast<size_t>(n));
  bool completed = false;
  size_t start = 0;
  size_t end;
  while ((end = s->partial.find('\n', start)) != std::string::npos) {
    double t;
    unsigned b;
    // Byte lines only: "open" and "close" lines hold letters.
    if (s->partial.find_first_not_of("0123456789. ", start) >= end &&
        sscanf(s->partial.c_str() + start, "%lf %u", &t, &b) == 2) {
      if (s->bytes % 2 == 0) {
        s->lastThrottle = static_cast<int>(b);
      } else {
        s->lastSteering = static_cast<int>(b);
        s->pairTime = t;
        completed = true;
      }
      ++s->bytes;
    }
    start = end + 1;
  }
  s->partial.erase(0, start);
  return completed;
}

// Counts the writer's passes as reads of the throttle file, for seconds.
double passesPerSecond(const std::string& dir, double seconds, DriveStream* drive) {
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, dir.c_str(), IN_CLOSE_NOWRITE);
  long long passes = 0;
  bool overflowed = false;
  const double start = nowSeconds();
  alignas(struct inotify_event) char buf[256 * 1024];
  while (nowSeconds() - start < seconds) {
    // The drive stand-in's output is kept flowing so the writer never
    // blocks on a full pty.
    readDrive(drive, 0);
    struct pollfd p = {watch, POLLIN, 0};
    if (poll(&p, 1, 5) <= 0) continue;
    ssize_t len = read(watch, buf, sizeof buf);
    for (ssize_t at = 0; at < len;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      if (e->mask & IN_Q_OVERFLOW) overflowed = true;
      if (e->len > 0 && std::string("throttle.txt") == e->name) ++passes;
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
    }
  }
  double elapsed = nowSeconds() - start;
  close(watch);
  if (overflowed) printf("  (inotify queue overflowed: the pass count below is a lower bound)\n");
  return passes / elapsed;
}

void benchBridge(const std::string& build, const std::string& folder, int steeringByte, int updates) {
  const std::string root = makeTempDir("/tmp/bench_serial");
  if (root.empty()) return;
  std::string dir = root + "/" + folder;
  std::string cmd = "mkdir -p '" + dir + "' '" + root + "/run'";
  if (system(cmd.c_str()) != 0) return;
  writeAtomically(dir + "/throttle.txt", "1600\n");
  writeAtomically(dir + "/steering.txt", "90\n");

  Child driveChild;
  Child bridge;
  if (!startChild(&driveChild, {programPath("drive_controller"), "--unpaced"}) ||
      !waitForOutput(&driveChild, "ready /dev/ttyACM0\n", 10)) {
    printf("  %s: the drive controller stand-in did not start\n", build.c_str());
    return;
  }
  DriveStream drive;
  drive.fd = driveChild.out;
  // The "ready" line may have been read already; the rest comes raw.
  if (!startChild(&bridge, {programPath(build), "bench"}, root + "/run")) {
    printf("  %s: cannot start\n", build.c_str());
    return;
  }
  double until = nowSeconds() + 10;
  while (drive.bytes < 4 && nowSeconds() < until) readDrive(&drive, 50);

  double passes = passesPerSecond(dir, 1.0, &drive);
  long long before = drive.bytes;
  double t0 = nowSeconds();
  while (nowSeconds() - t0 < 0.5) readDrive(&drive, 5);
  double pairsPerSecond = (drive.bytes - before) / 2 / (nowSeconds() - t0);

  std::vector<double> latencies;
  int lost = 0;
  for (int i = 0; i < updates; ++i) {
    int throttle = 1100 + 10 * (i % 50);  // consecutive updates always differ
    int wanted = (throttle - 1000) / 10;
    pumpOutput(&bridge, 0);  // keep the echo pipe drained
    double start = nowSeconds();
    writeAtomically(dir + "/throttle.txt", std::to_string(throttle) + "\n");
    bool seen = false;
    double deadline = start + 5;
    while (!seen && nowSeconds() < deadline) {
      if (readDrive(&drive, 20) && drive.lastThrottle == wanted && drive.lastSteering == steeringByte &&
          drive.pairTime >= start) {
        seen = true;
      }
    }
    if (seen) {
      latencies.push_back(drive.pairTime - start);
    } else {
      ++lost;
    }
  }
  writeInput(&bridge, "0\n");
  waitExit(&bridge, 10);
  stopChild(&driveChild, SIGTERM, 5);
  removeTree(root);

  printf("%s\n", build.c_str());
  printf("  %-44s %9.0f\n", "writer passes per second (file reads)", passes);
  printf("  %-44s %9.0f\n", "pairs per second at the drive controller", pairsPerSecond);
  printRow("file rename -> complete pair at controller", figuresOf(latencies), latencies.size());
  if (lost > 0) printf("  %d updates never arrived within 5 s\n", lost);
}

void benchFileReadFloor(int rounds) {
  const std::string dir = makeTempDir("/tmp/bench_serial_floor");
  if (dir.empty()) return;
  writeInPlace(dir + "/throttle.txt", "1600\n");
  writeInPlace(dir + "/steering.txt", "90\n");
  std::vector<double> times;
  char text[64];
  long long sum = 0;
  for (int i = 0; i < rounds; ++i) {
    double start = nowSeconds();
    for (const char* name : {"/throttle.txt", "/steering.txt"}) {
      FILE* f = fopen((dir + name).c_str(), "r");
      if (f == NULL) continue;
      sum += static_cast<long long>(fread(text, 1, sizeof text, f));
      fclose(f);
    }
    times.push_back(nowSeconds() - start);
  }
  removeTree(dir);
  printRow(sum > 0 ? "bare read of both command files" : "bare read (files unreadable)", figuresOf(times),
           times.size());
}

void benchPtyFloor(int rounds) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, NULL, NULL, NULL) != 0) {
    printf("  no pseudo-terminal for the pty floor\n");
    return;
  }
  struct termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  std::vector<double> times;
  unsigned char pair[2] = {60, 166};
  for (int i = 0; i < rounds; ++i) {
    double start = nowSeconds();
    if (write(slave, &pair[0], 1) != 1 || write(slave, &pair[1], 1) != 1) break;
    int got = 0;
    unsigned char buf[8];
    while (got < 2) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      got += static_cast<int>(n);
    }
    times.push_back(nowSeconds() - start);
  }
  close(slave);
  close(master);
  printRow("two one-byte pty writes -> read at master", figuresOf(times), times.size());
}

}  // namespace

int main(int argc, char** argv) {
  int updates = argc > 1 ? atoi(argv[1]) : 300;
  if (updates <= 0) updates = 300;
  printf("floors\n");
  benchFileReadFloor(20000);
  benchPtyFloor(5000);
  benchBridge("serial", "teleop", 166, updates);
  benchBridge("serial_raw", "py/teleOp", 90, updates);
  return 0;
}

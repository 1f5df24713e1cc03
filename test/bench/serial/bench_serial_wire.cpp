// Command writer latency at wire speed, on a simulated board: the drive
// controller stand-in takes bytes at the line's rate (9600 baud, 2.08 ms a
// pair), and for serial and serial_raw we measure median and p99 of the
// time from a command file change to its pair at the controller, and from
// a stop (a typed 0) to the neutral pair there. Beside them: the one-pair
// wire floor, and an ideal in-process writer that paces itself the same
// way (one pair per pair time, after the previous has drained).
//   test/tools/simboard --bare -- devel/lib/pelmora/bench_serial_wire [changes] [stops]
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bridge_harness.h"
#include "figures.h"

namespace {

const double kPairSeconds = 20.0 / 9600;

void printRow(const std::string& what, const std::vector<double>& v) {
  Figures f = figuresOf(v);
  printf("  %-40s median %7.2f ms   p99 %7.2f ms   (n=%zu)\n", what.c_str(), f.median * 1e3, f.p99 * 1e3, v.size());
}

// Arrival time of the first whole pair from byte index `from` on whose
// throttle byte is throttle; -1 while none has come.
double pairArrival(const DriveController& drive, size_t* from, int throttle) {
  std::vector<const LineEvent*> bytes;
  for (const LineEvent& e : drive.events) {
    if (e.byte >= 0) bytes.push_back(&e);
  }
  for (size_t i = *from & ~static_cast<size_t>(1); i + 1 < bytes.size(); i += 2) {
    if (bytes[i]->byte == throttle) {
      *from = i + 2;
      return bytes[i + 1]->time;
    }
  }
  return -1;
}

// Waits until the pair with this throttle byte has arrived; its latency
// from t0, or -1 after a 2 s time-out.
double waitPair(DriveController* drive, size_t* from, int throttle, double t0) {
  double arrived = -1;
  waitDrive(drive, [&](const DriveController& d) { return (arrived = pairArrival(d, from, throttle)) >= 0; }, 2);
  return arrived < 0 ? -1 : arrived - t0;
}

// A pause between changes, long enough for the wire to go idle sometimes.
void spacing(int i) { usleep(3000 + (i * 7919) % 9000); }

// The command values of change i: a throttle byte that differs from the
// one before, steering fixed.
int throttleOf(int i) { return 1010 + 10 * (i % 150); }

struct Results {
  std::vector<double> change;
  std::vector<double> stop;
  int lost = 0;
};

void benchBuild(const std::string& build, int changes, int stops, Results* r) {
  CommandTree tree = makeCommandTree();
  const std::string dir = build == "serial" ? tree.teleop : tree.raw;
  for (int s = 0; s < stops; ++s) {
    writeAtomically(dir + "/throttle.txt", "1600\n");
    writeAtomically(dir + "/steering.txt", "90\n");
    DriveController drive;
    Child bridge;
    if (!startDriveController(&drive) || !startBridge(&bridge, build, {"write"}, tree.run)) {
      fprintf(stderr, "cannot start %s\n", build.c_str());
      exit(1);
    }
    size_t from = 2;
    if (waitPair(&drive, &from, 60, nowSeconds()) < 0) fprintf(stderr, "%s: no first pair\n", build.c_str());
    // The first run also measures the changes.
    for (int i = 0; s == 0 && i < changes; ++i) {
      spacing(i);
      const int throttle = throttleOf(i);
      const double t0 = nowSeconds();
      writeAtomically(dir + "/throttle.txt", std::to_string(throttle) + "\n");
      double latency = waitPair(&drive, &from, (throttle - 1000) / 10, t0);
      if (latency < 0) {
        ++r->lost;
      } else {
        r->change.push_back(latency);
      }
      pumpOutput(&bridge, 0);
    }
    spacing(s);
    const double t0 = nowSeconds();
    writeInput(&bridge, "0\n");
    waitExitReading(&bridge, &drive, 5);
    waitDrive(&drive, [](const DriveController& d) { return countEvents(d, "close") >= 1; }, 5);
    std::vector<const LineEvent*> bytes;
    for (const LineEvent& e : drive.events) {
      if (e.byte >= 0) bytes.push_back(&e);
    }
    if (bytes.size() >= 2 && bytes[bytes.size() - 2]->byte == 60) r->stop.push_back(bytes.back()->time - t0);
    stopChild(&bridge, SIGKILL, 2);
    stopChild(&drive.child, SIGTERM, 2);
  }
  removeCommandTree(tree);
}

// The ideal writer's shared state: the bench thread writes, the writer reads.
std::atomic<int> g_idealThrottle(60);
std::atomic<int> g_idealRun(1);

// A minimal writer in this process: one pair per pair time, each only once
// the previous has left the kernel's buffers; with filter, only changes.
void idealWriter(bool filter) {
  int fd = open("/dev/ttyACM0", O_RDWR | O_NOCTTY);
  struct termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  t.c_cflag |= CREAD | CLOCAL;
  tcsetattr(fd, TCSANOW, &t);
  int last = -1;
  double next = 0;
  for (;;) {
    while (nowSeconds() < next) usleep(100);
    int queued = 1;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) usleep(100);
    bool stopping = g_idealRun == 0;
    int throttle = stopping ? 60 : g_idealThrottle.load();
    if (filter && !stopping && throttle == last) {
      usleep(20);
      continue;
    }
    unsigned char pair[2] = {static_cast<unsigned char>(throttle), 166};
    if (write(fd, pair, 2) != 2) break;
    last = throttle;
    next = nowSeconds() + kPairSeconds;
    if (stopping) break;
  }
  close(fd);
}

void benchIdeal(bool filter, int changes, int stops, Results* r) {
  for (int s = 0; s < stops; ++s) {
    DriveController drive;
    if (!startDriveController(&drive)) exit(1);
    g_idealThrottle = 60;
    g_idealRun = 1;
    std::thread writer(idealWriter, filter);
    size_t from = 0;
    waitPair(&drive, &from, 60, nowSeconds());
    for (int i = 0; s == 0 && i < changes; ++i) {
      spacing(i);
      const int throttle = (throttleOf(i) - 1000) / 10;
      const double t0 = nowSeconds();
      g_idealThrottle = throttle;
      double latency = waitPair(&drive, &from, throttle, t0);
      if (latency < 0) {
        ++r->lost;
      } else {
        r->change.push_back(latency);
      }
    }
    spacing(s);
    const double t0 = nowSeconds();
    g_idealRun = 0;
    writer.join();
    waitDrive(&drive, [](const DriveController& d) { return countEvents(d, "close") >= 1; }, 5);
    std::vector<const LineEvent*> bytes;
    for (const LineEvent& e : drive.events) {
      if (e.byte >= 0) bytes.push_back(&e);
    }
    if (bytes.size() >= 2 && bytes[bytes.size() - 2]->byte == 60) r->stop.push_back(bytes.back()->time - t0);
    stopChild(&drive.child, SIGTERM, 2);
  }
}

void report(const std::string& name, const Results& r) {
  printRow(name + ": file change -> pair", r.change);
  printRow(name + ": stop -> neutral pair", r.stop);
  if (r.lost > 0) printf("  %s: %d changes never arrived within 2 s\n", name.c_str(), r.lost);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  const int changes = argc > 1 ? atoi(argv[1]) : 300;
  const int stops = argc > 2 ? atoi(argv[2]) : 20;
  printf("bench_serial_wire: drive controller draining at 9600 baud, %d changes, %d stops\n", changes, stops);
  printf("  one pair on the wire (floor)               %7.2f ms\n", kPairSeconds * 1e3);
  Results ideal, idealFiltered, serial, raw;
  benchIdeal(false, changes, stops, &ideal);
  report("ideal, every pass", ideal);
  benchIdeal(true, changes, stops, &idealFiltered);
  report("ideal, changes only", idealFiltered);
  benchBuild("serial", changes, stops, &serial);
  report("serial", serial);
  benchBuild("serial_raw", changes, stops, &raw);
  report("serial_raw", raw);
  killAllChildren();
  return 0;
}

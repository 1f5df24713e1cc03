// The bridge's serial lines; see line.h.
#include "line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "bridge_logic.h"

// Longest a wait for the drive line to take a byte may last: a controller
// that takes nothing for this long counts as lost, as if unplugged.
static const int kWriteBoundMs = 1000;
// Once a stop is asked for, how long the writer may still spend on the line,
// so the bridge ends within two seconds whatever the controller does.
static const int kStopBudgetMs = 1500;

// The stop-signal handler stores into it, so it must be lock-free.
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the hurry flag must be a lock-free atomic");

// Set by a stop signal that finds the stop under way (the handler runs on
// the console thread); read by the writer's waits, which then give the line
// one try per byte instead of waiting.
static std::atomic<int> g_hurry(0);

// The stop notice's eventfd: set by main before the worker starts, then
// only read (polled) by the worker.
static int g_stopNotice = -1;

double monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

PortResult openPort(const char* path, int* fd) {
  // O_NONBLOCK so the open does not wait for the modem lines, O_NOCTTY so a
  // controller can never become our controlling terminal. A tty in
  // exclusive mode refuses the open with EBUSY (except to root).
  *fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (*fd == -1) return errno == EBUSY ? kPortHeld : kPortMissing;
  // Two writers on one line would interleave their pairs, and a controller
  // that takes bytes two by two would pair them wrongly: the lock guards
  // against another bridge even where the exclusive mode does not (root).
  if (flock(*fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(*fd);
    *fd = -1;
    return kPortHeld;
  }
  ioctl(*fd, TIOCEXCL);
  // Back to blocking reads and writes.
  fcntl(*fd, F_SETFL, 0);
  puts("port is open.");
  return kPortOpen;
}

void reportPort(const char* path, PortResult why) {
  if (why == kPortMissing) printf("open_port: Unable to open %s.\n", path);
  if (why == kPortHeld) printf("open_port: %s is held by another program.\n", path);
}

int open_port(const char* path) {
  int fd = -1;
  reportPort(path, openPort(path, &fd));
  return fd;
}

void closePort(int fd) {
  // A pseudo-terminal (the stand-ins) keeps the mode past the last close,
  // where a USB serial tty starts afresh.
  ioctl(fd, TIOCNXCL);
  close(fd);
}

int configure_port(int fd) {
  struct termios options = termios();
  tcgetattr(fd, &options);
  // Raw: no echo, no line editing, no signal characters, no CR/LF
  // translation on either side, so every byte value passes unaltered.
  cfmakeraw(&options);
  // No software flow control: 17 and 19 are ordinary data here.
  options.c_iflag &= ~(IXON | IXOFF | IXANY);
  cfsetispeed(&options, B9600);
  cfsetospeed(&options, B9600);
  options.c_cflag &= ~PARENB;
  options.c_cflag &= ~CSTOPB;
  options.c_cflag &= ~CSIZE;
  options.c_cflag |= CS8;
  // Receiver on, modem lines ignored, no hardware flow control.
  options.c_cflag |= CREAD | CLOCAL;
  options.c_cflag &= ~CRTSCTS;
  // A read of one byte blocks until that byte has arrived.
  options.c_cc[VMIN] = 1;
  options.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &options);
  return fd;
}

// The line's baud rate as configured; 9600 for a rate not listed.
static double lineBaud(int fd) {
  static const struct {
    speed_t code;
    double baud;
  } kSpeeds[] = {{B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
                 {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
  struct termios options;
  if (tcgetattr(fd, &options) != 0) return 9600;
  speed_t code = cfgetospeed(&options);
  for (size_t i = 0; i < sizeof kSpeeds / sizeof kSpeeds[0]; ++i) {
    if (kSpeeds[i].code == code) return kSpeeds[i].baud;
  }
  return 9600;
}

void initDriveLine(DriveLine* line, const std::atomic<int>* run) {
  line->fd = -1;
  line->run = run;
  line->pairMs = 20 * 1000.0 / 9600;
  line->nextPairAt = 0;
  line->stopDeadline = 0;
  line->pendingSteering = -1;
}

void armStopBudget(DriveLine* line) {
  if (*line->run == 0 && line->stopDeadline == 0) line->stopDeadline = monotonicMs() + kStopBudgetMs;
}

bool stopBudgetLeft(const DriveLine& line) {
  return g_hurry == 0 && (line.stopDeadline == 0 || monotonicMs() < line.stopDeadline);
}

void hurryStop() { g_hurry.store(1); }

// Until when a wait on the line that began at start may last: the write
// bound, cut short by the stop's budget once it is armed, and over at once
// after a second stop signal.
static double waitDeadline(const DriveLine& line, double start) {
  if (g_hurry != 0) return start;
  double deadline = start + kWriteBoundMs;
  if (line.stopDeadline != 0 && line.stopDeadline < deadline) deadline = line.stopDeadline;
  return deadline;
}

// Writes one byte to the non-blocking line, waiting for room within the
// bound.
static LineResult writeByte(DriveLine* line, unsigned char byte) {
  const double start = monotonicMs();
  for (;;) {
    ssize_t n = write(line->fd, &byte, 1);
    if (n == 1) return kLineSent;
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0 || errno != EAGAIN) return kLineFailed;
    armStopBudget(line);
    double left = waitDeadline(*line, start) - monotonicMs();
    if (left <= 0) return kLineStalled;
    // Short slices, so a stop seen meanwhile shortens the wait.
    struct pollfd p = {line->fd, POLLOUT, 0};
    poll(&p, 1, left < 10 ? static_cast<int>(left) + 1 : 10);
  }
}

// Waits until the bytes written so far have left the kernel's buffers, as
// tcdrain does, but within the bound; false when they did not.
static bool drainLine(DriveLine* line) {
  const double start = monotonicMs();
  for (;;) {
    int queued = 0;
    if (ioctl(line->fd, TIOCOUTQ, &queued) != 0 || queued == 0) return true;
    armStopBudget(line);
    if (waitDeadline(*line, start) <= monotonicMs()) return false;
    usleep(500);
  }
}

LineResult waitLineReady(DriveLine* line) {
  for (;;) {
    double left = line->nextPairAt - monotonicMs();
    if (left <= 0 || g_hurry != 0) break;
    usleep(static_cast<useconds_t>(left * 1000) + 1);
  }
  return drainLine(line) ? kLineSent : kLineStalled;
}

// The steering byte of a half-sent pair, once the line takes it.
static void pendingSent(DriveLine* line) {
  line->pendingSteering = -1;
  line->nextPairAt = monotonicMs() + line->pairMs / 2;
}

LineResult sendPair(DriveLine* line, unsigned char throttle, unsigned char steering) {
  if (line->pendingSteering >= 0) {
    LineResult finished = writeByte(line, static_cast<unsigned char>(line->pendingSteering));
    if (finished != kLineSent) return finished;
    pendingSent(line);
  }
  LineResult ready = waitLineReady(line);
  if (ready != kLineSent) return ready;
  LineResult sent = writeByte(line, throttle);
  if (sent == kLineSent) {
    sent = writeByte(line, steering);
    // The controller holds the throttle byte: whatever comes next on the
    // line must be this steering byte.
    if (sent == kLineStalled) line->pendingSteering = steering;
  }
  line->nextPairAt = monotonicMs() + line->pairMs;
  return sent;
}

LineResult lineTakesBytes(DriveLine* line) {
  if (line->pendingSteering >= 0) {
    unsigned char byte = static_cast<unsigned char>(line->pendingSteering);
    ssize_t n = write(line->fd, &byte, 1);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return kLineFailed;
    if (n != 1) return kLineStalled;
    pendingSent(line);
  }
  int queued = 0;
  if (ioctl(line->fd, TIOCOUTQ, &queued) == 0 && queued > 0) return kLineStalled;
  struct pollfd p = {line->fd, POLLOUT, 0};
  if (poll(&p, 1, 0) < 0) return kLineStalled;
  if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return kLineFailed;
  return (p.revents & POLLOUT) != 0 ? kLineSent : kLineStalled;
}

LineResult zeroize(DriveLine* line) {
  return sendPair(line, throttleByte(kNeutralThrottle), steeringByte(kNeutralSteering, kNegateSteering));
}

LineResult takeDriveLine(DriveLine* line, int fd) {
  line->fd = configure_port(fd);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  line->pairMs = 20 * 1000.0 / lineBaud(fd);
  line->nextPairAt = 0;
  line->pendingSteering = -1;
  return zeroize(line);
}

bool lineHungUp(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void releaseLine(DriveLine* line) {
  if (!drainLine(line)) tcflush(line->fd, TCOFLUSH);
  closePort(line->fd);
  line->fd = -1;
  line->pendingSteering = -1;
}

void dropLine(DriveLine* line) {
  tcflush(line->fd, TCOFLUSH);
  closePort(line->fd);
  line->fd = -1;
  line->pendingSteering = -1;
}

void openStopNotice() { g_stopNotice = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void announceStop() {
  uint64_t one = 1;
  // A failed write leaves nothing to do: the notice is readable already,
  // or there is none and nobody sleeps on it.
  ssize_t written = write(g_stopNotice, &one, sizeof one);
  (void)written;
}

int stopNotice() { return g_stopNotice; }

bool pauseWhileRunning(const std::atomic<int>* run, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (*run == 0) return false;
    usleep(10000);
  }
  return *run != 0;
}

// Serial bridge between the board and the car's two USB controllers.
//   serial            send the neutral command to /dev/ttyACM0 once
//   serial read       print the tachometer bytes arriving on /dev/ttyACM1
//   serial <other>    forward the command files to /dev/ttyACM0
// In the last two modes, typing 0 on the console stops the bridge, and so do
// SIGINT, SIGTERM and SIGHUP. Built twice: SERIAL_RAW=1 gives serial_raw
// (plain steering byte, no change filter, no echo, other command file folder).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "bridge_logic.h"

#ifndef SERIAL_RAW
#define SERIAL_RAW 0
#endif

#if SERIAL_RAW
static const char* const kThrottleFile = "../py/teleOp/throttle.txt";
static const char* const kSteeringFile = "../py/teleOp/steering.txt";
static const bool kNegateSteering = false;
static const bool kChangeFilter = false;
static const bool kEcho = false;
#else
static const char* const kThrottleFile = "../teleop/throttle.txt";
static const char* const kSteeringFile = "../teleop/steering.txt";
static const bool kNegateSteering = true;
static const bool kChangeFilter = true;
static const bool kEcho = true;
#endif

// The stop-signal handler stores into it, so it must be lock-free.
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the run flag must be a lock-free atomic");

// Run flag: written by the console thread and the stop-signal handler (on
// the console thread), read by the worker once per pass.
static std::atomic<int> g_run(1);

static const char* const kDrivePort = "/dev/ttyACM0";
static const char* const kTachometerPort = "/dev/ttyACM1";

// How often a reader waiting for a byte looks at the run flag, and how long
// it waits before opening a lost tachometer line again.
static const int kStopCheckMs = 100;
static const int kReopenMs = 1000;

// While the drive line is missing the writer still passes over the command
// files (so serial keeps echoing), but paced instead of spinning; while it
// is open, how often the writer looks for a hung-up line between writes.
static const int kMissingPassMs = 10;
static const int kLineCheckMs = 100;

// Bits of the result of readFiles: which files gave a value this pass.
static const int kGotThrottle = 1;
static const int kGotSteering = 2;

// Opens a tty for reading and writing; reports a failure on stdout only
// when report is set. Returns the descriptor or -1.
static int openPort(const char* path, bool report) {
  // O_NONBLOCK so the open does not wait for the modem lines, O_NOCTTY so a
  // controller can never become our controlling terminal.
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd == -1) {
    if (report) printf("open_port: Unable to open %s.\n", path);
    return -1;
  }
  // Back to blocking reads and writes.
  fcntl(fd, F_SETFL, 0);
  puts("port is open.");
  return fd;
}

// Opens a controller's line; returns its descriptor or -1 (reported).
int open_port(const char* path) { return openPort(path, true); }

// Puts the line in 9600 8N1 raw mode; returns fd unchanged.
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

// Longest the writer waits for the drive line to take a byte: a controller
// that takes nothing for this long counts as lost, as if unplugged.
static const int kWriteBoundMs = 1000;
// Once a stop is asked for, how long the writer may still spend on the line,
// so the bridge ends within two seconds whatever the controller does.
static const int kStopBudgetMs = 1500;

// Set by a stop signal that arrives while a stop is already under way
// (signal handler on the console thread); read by the writer, which then
// gives the line one try per byte instead of waiting.
static std::atomic<int> g_hurry(0);

// When the stop's time is up (monotonic ms, 0 before the writer has seen the
// stop). Written and read by the writer thread only.
static double g_stopDeadline = 0;

// One pair's time on the drive line (20 bits at its baud rate), and when
// the next pair may go: the writer never writes faster than the wire
// carries, so no stale pair (nor the stop's neutral pair) waits in the
// kernel's queue behind others. Written and read by the writer thread only.
static double g_pairMs = 20 * 1000.0 / 9600;
static double g_nextPairAt = 0;

static double monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// Until when a wait on the line that began at start may last: the write
// bound, cut short by the stop's budget once a stop is seen.
static double waitDeadline(double start, const std::atomic<int>* run) {
  double now = monotonicMs();
  if (*run == 0 && g_stopDeadline == 0) g_stopDeadline = now + kStopBudgetMs;
  if (g_hurry != 0) return now;
  double deadline = start + kWriteBoundMs;
  if (g_stopDeadline != 0 && g_stopDeadline < deadline) deadline = g_stopDeadline;
  return deadline;
}

// Writes one byte to the non-blocking drive line, waiting for room within
// the bound; false when the line failed (an unplugged controller's tty
// answers EIO or ENXIO) or took nothing in time (a stalled controller).
static bool writeByte(int fd, unsigned char byte, const std::atomic<int>* run) {
  const double start = monotonicMs();
  for (;;) {
    ssize_t n = write(fd, &byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0 || errno != EAGAIN) return false;
    double left = waitDeadline(start, run) - monotonicMs();
    if (left <= 0) return false;
    // Short slices, so a stop seen meanwhile shortens the wait.
    struct pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, left < 10 ? static_cast<int>(left) + 1 : 10);
  }
}

// Waits until the bytes written so far have left the kernel's buffers, as
// tcdrain does, but within the write bound; false when they did not.
static bool drainLine(int fd, const std::atomic<int>* run) {
  const double start = monotonicMs();
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued == 0) return true;
    if (waitDeadline(start, run) <= monotonicMs()) return false;
    usleep(500);
  }
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

// Waits until the line can carry the next pair: one pair's time after the
// previous one, and once that has left the kernel's buffers. False when
// the line took nothing within the write bound.
static bool waitLineReady(int fd, const std::atomic<int>* run) {
  for (;;) {
    double left = g_nextPairAt - monotonicMs();
    if (left <= 0 || g_hurry != 0) break;
    usleep(static_cast<useconds_t>(left * 1000) + 1);
  }
  return drainLine(fd, run);
}

// One command pair as two one-byte writes, throttle first, paced by the
// line; false when the line failed.
static bool sendPair(int fd, unsigned char throttle, unsigned char steering, const std::atomic<int>* run) {
  if (!waitLineReady(fd, run)) return false;
  bool sent = writeByte(fd, throttle, run) && writeByte(fd, steering, run);
  g_nextPairAt = monotonicMs() + g_pairMs;
  return sent;
}

static bool sendNeutral(int fd, const std::atomic<int>* run) {
  return sendPair(fd, throttleByte(kNeutralThrottle), steeringByte(kNeutralSteering, kNegateSteering), run);
}

// Sends the neutral command (throttle 1600, steering 90), each byte within
// the write bound, as neutral mode does; false when the line failed.
bool zeroize(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return sendNeutral(fd, &g_run);
}

// Reads one integer from a command file into *value; false, and *value
// untouched, when the file cannot be opened or holds no integer.
static bool readCommandFile(const char* path, int* value) {
  FILE* file = fopen(path, "r");
  if (file == NULL) return false;
  char text[4096];
  size_t length = fread(text, 1, sizeof text, file);
  fclose(file);
  return parseCommandText(text, length, value);
}

// Reads both command files; returns kGotThrottle | kGotSteering for the
// files that gave a value. A value not given is left as it was.
int readFiles(int* throttle, int* steering) {
  int got = 0;
  if (readCommandFile(kThrottleFile, throttle)) got |= kGotThrottle;
  if (readCommandFile(kSteeringFile, steering)) got |= kGotSteering;
  return got;
}

// Waits up to ms while the flag stays non-zero; false once it is 0.
static bool pauseWhileRunning(const std::atomic<int>* run, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (*run == 0) return false;
    usleep(10000);
  }
  return *run != 0;
}

// Waits until fd has a byte (or has hung up); false when the flag went to 0.
static bool waitReadable(int fd, const std::atomic<int>* run) {
  while (*run != 0) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kStopCheckMs) > 0) return true;
  }
  return false;
}

// Tachometer reader thread: prints every non-zero byte of /dev/ttyACM1.
// A lost or missing controller is reported once per outage and the line is
// opened again every second, so a re-plugged controller comes back.
void* sread(void* arg) {
  std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  int fd = configure_port(open_port(kTachometerPort));
  bool outageReported = fd == -1;
  while (*run != 0) {
    if (fd == -1) {
      if (!pauseWhileRunning(run, kReopenMs)) break;
      fd = openPort(kTachometerPort, !outageReported);
      if (fd == -1) {
        outageReported = true;
        continue;
      }
      configure_port(fd);
      outageReported = false;
    }
    if (!waitReadable(fd, run)) break;
    unsigned char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n == 1) {
      if (byte != 0) printf("Tachometer: %u\n", static_cast<unsigned>(byte));
      continue;
    }
    // A tty read that gives no byte after poll said ready: the device went away.
    if (!outageReported) printf("sread: lost %s.\n", kTachometerPort);
    outageReported = true;
    close(fd);
    fd = -1;
  }
  if (fd != -1) close(fd);
  return NULL;
}

// True when the tty was hung up under us: an unplugged USB controller (or
// a stand-in that closed its side) shows it before any write fails.
static bool lineHungUp(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Closes the drive line once what was written has gone out. Output a
// stalled controller never took is dropped: a USB serial close would
// otherwise wait for it (up to 30 s).
static void releaseLine(int fd, const std::atomic<int>* run) {
  if (!drainLine(fd, run)) tcflush(fd, TCOFLUSH);
  close(fd);
}

// Closes a failed drive line, saying so once per outage.
static void dropDriveLine(int* fd, bool* lossReported) {
  // A failed line is not waited for.
  tcflush(*fd, TCOFLUSH);
  close(*fd);
  *fd = -1;
  if (!*lossReported) printf("swrite: lost %s.\n", kDrivePort);
  *lossReported = true;
}

// Puts a freshly opened drive line in use: raw 9600 8N1, non-blocking so
// that no write can hold the writer beyond its bound, then the neutral
// command before anything else (serial_raw gives the controller 10 ms
// more). Returns fd, or -1 when the line failed already (closed, reported).
static int takeDriveLine(int fd, bool* lossReported, const std::atomic<int>* run) {
  configure_port(fd);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  g_pairMs = 20 * 1000.0 / lineBaud(fd);
  g_nextPairAt = 0;
  bool sent = sendNeutral(fd, run);
  if (SERIAL_RAW && *run != 0) usleep(10000);
  if (!sent) dropDriveLine(&fd, lossReported);
  return fd;
}

// Command writer thread: re-reads the command files and sends each pair to
// /dev/ttyACM0, framed by the neutral command, never faster than the line
// carries. A drive
// line that fails, or takes no byte for a second, is closed and opened
// again about once a second; the controller then gets the neutral command,
// then the current pair.
void* swrite(void* arg) {
  std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  int fd = open_port(kDrivePort);
  bool lossReported = fd == -1;  // open_port has said so
  if (fd != -1) {
    fd = takeDriveLine(fd, &lossReported, run);
  } else if (SERIAL_RAW) {
    usleep(10000);
  }
  double nextOpen = monotonicMs() + kReopenMs;
  double nextCheck = monotonicMs() + kLineCheckMs;
  int throttle = kNeutralThrottle;
  int steering = kNeutralSteering;
  bool haveThrottle = false;
  bool haveSteering = false;
  unsigned char lastThrottle = 255;
  unsigned char lastSteering = 255;
  bool resend = false;  // a reopened line gets the current pair even if unchanged
  while (*run != 0) {
    if (fd == -1) {
      if (!pauseWhileRunning(run, kMissingPassMs)) break;
      if (monotonicMs() >= nextOpen) {
        nextOpen = monotonicMs() + kReopenMs;
        fd = openPort(kDrivePort, false);
        if (fd != -1) {
          lossReported = false;
          fd = takeDriveLine(fd, &lossReported, run);
          resend = fd != -1;
          if (fd == -1) nextOpen = monotonicMs() + kReopenMs;
        }
      }
    } else if (monotonicMs() >= nextCheck) {
      nextCheck = monotonicMs() + kLineCheckMs;
      if (lineHungUp(fd)) {
        dropDriveLine(&fd, &lossReported);
        nextOpen = monotonicMs() + kReopenMs;
      }
    }
    // Read the files only once the line can carry a pair, so the pair sent
    // is the freshest; serial_raw's passes are paced by the line this way.
    if (fd != -1 && !waitLineReady(fd, run)) {
      dropDriveLine(&fd, &lossReported);
      nextOpen = monotonicMs() + kReopenMs;
    }
    int got = readFiles(&throttle, &steering);
    haveThrottle = haveThrottle || (got & kGotThrottle) != 0;
    haveSteering = haveSteering || (got & kGotSteering) != 0;
    // Never send a pair made from a value no file has given yet.
    if (!commandsKnown(haveThrottle, haveSteering)) continue;
    unsigned char throttleOut = throttleByte(throttle);
    unsigned char steeringOut = steeringByte(steering, kNegateSteering);
    if (!resend && !pairToSend(kChangeFilter, throttleOut, steeringOut, lastThrottle, lastSteering)) continue;
    resend = false;
    lastThrottle = throttleOut;
    lastSteering = steeringOut;
    if (fd != -1 && !sendPair(fd, throttleOut, steeringOut, run)) {
      dropDriveLine(&fd, &lossReported);
      nextOpen = monotonicMs() + kReopenMs;
    }
    if (kEcho) printf("Throttle = %d\nSteering = %d\n\n", echoedThrottle(throttleOut), steering);
  }
  // The car is left at rest whenever the bridge lets go of the line. A line
  // lost meanwhile gets one last try within the stop's budget, so a
  // re-plugged controller hears it too.
  if (fd != -1 && !sendNeutral(fd, run)) dropDriveLine(&fd, &lossReported);
  if (fd == -1 && waitDeadline(monotonicMs(), run) > monotonicMs()) {
    fd = openPort(kDrivePort, false);
    if (fd != -1) {
      configure_port(fd);
      fcntl(fd, F_SETFL, O_NONBLOCK);
      sendNeutral(fd, run);
    }
  }
  if (fd != -1) releaseLine(fd, run);
  return NULL;
}

// Console bytes read but not yet taken; only the console thread uses it.
struct ConsoleInput {
  char buf[4096];
  size_t length;
  size_t next;
};

// What nextConsoleChar gives instead of a byte.
static const int kConsoleEnd = -1;
static const int kConsoleStopped = -2;

// The next console byte, or kConsoleEnd at end of input (or an unreadable
// console), or kConsoleStopped once the run flag is 0. The stop signals are
// blocked on this thread except inside ppoll, which unblocks them together
// with starting the wait, so a signal that comes after the flag test still
// ends the wait instead of being lost until the next key.
static int nextConsoleChar(ConsoleInput* in, const sigset_t* waitMask) {
  while (in->next == in->length) {
    if (g_run == 0) return kConsoleStopped;
    struct pollfd p = {0, POLLIN, 0};
    if (ppoll(&p, 1, NULL, waitMask) < 0) {
      if (errno == EINTR) continue;
      return kConsoleEnd;
    }
    ssize_t n = read(0, in->buf, sizeof in->buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return kConsoleEnd;
    in->length = static_cast<size_t>(n);
    in->next = 0;
  }
  return static_cast<unsigned char>(in->buf[in->next++]);
}

// Reads the next console integer as "%d" would: the number at the start
// of a word, the rest of the word dropped; words that do not start with a
// number are skipped. False at end of input or once the run flag is 0.
static bool readConsoleInteger(ConsoleInput* in, const sigset_t* waitMask, int* value) {
  for (;;) {
    int c = nextConsoleChar(in, waitMask);
    while (c >= 0 && isConsoleSpace(static_cast<char>(c))) c = nextConsoleChar(in, waitMask);
    if (c < 0) return false;
    ConsoleWord word;
    consoleWordReset(&word);
    while (c >= 0 && !isConsoleSpace(static_cast<char>(c))) {
      consoleWordAdd(&word, static_cast<char>(c));
      c = nextConsoleChar(in, waitMask);
    }
    if (c == kConsoleStopped) return false;
    // A word that does not start with a number is dropped without a word.
    if (consoleWordVerdict(word, value) == kConsoleNumber) return true;
    if (c == kConsoleEnd) return false;
  }
}

// Stores a console value into the run flag. A stop is final: a number read
// just as an interrupt arrives must not start the worker up again.
static void storeRunFlag(int value) {
  int current = g_run.load();
  while (current != 0 && !g_run.compare_exchange_weak(current, value)) {
  }
}

// Async-signal-safe: lock-free atomics and nothing else. A signal that
// finds the stop under way tells the writer to stop waiting on the line.
static void onStopSignal(int) {
  if (g_run.exchange(0) == 0) g_hurry.store(1);
}

// SIGINT, SIGTERM and SIGHUP act as a typed 0. They stay blocked on every
// thread (the worker inherits the mask) and are taken only inside the
// main thread's ppoll calls, with *waitMask.
static void catchStopSignals(sigset_t* waitMask) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, waitMask);
  sigdelset(waitMask, SIGINT);
  sigdelset(waitMask, SIGTERM);
  sigdelset(waitMask, SIGHUP);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigfillset(&sa.sa_mask);
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGHUP, &sa, NULL);
}

static int runNeutral() {
  int fd = configure_port(open_port(kDrivePort));
  zeroize(fd);
  if (fd != -1) releaseLine(fd, &g_run);
  return 0;
}

int main(int argc, char** argv) {
  // Line-buffered even into a pipe or a log, so each line shows when printed.
  setvbuf(stdout, NULL, _IOLBF, 0);
  // A closed stdout (serial write | head) must not kill the bridge between
  // a pair and the neutral command; the failed print is simply lost.
  signal(SIGPIPE, SIG_IGN);

  pthread_attr_t attr;
  pthread_attr_t* attrToUse = NULL;
  if (!SERIAL_RAW) {
    // One above the default priority; the attribute inherits the creator's
    // scheduling, so on Linux this does not change the worker.
    struct sched_param param;
    pthread_attr_init(&attr);
    pthread_attr_getschedparam(&attr, &param);
    param.sched_priority += 1;
    pthread_attr_setschedparam(&attr, &param);
    attrToUse = &attr;
  }

  BridgeMode mode = bridgeMode(argc, argv);
  if (mode == kModeNeutral) return runNeutral();

  sigset_t waitMask;
  catchStopSignals(&waitMask);
  pthread_t worker;
  void* (*body)(void*) = mode == kModeReader ? sread : swrite;
  if (pthread_create(&worker, attrToUse, body, &g_run) != 0) {
    fputs("cannot start the worker thread\n", stderr);
    return 1;
  }
  ConsoleInput console;
  console.length = 0;
  console.next = 0;
  while (g_run != 0) {
    int value = 0;
    // End of input stops the worker like a typed 0.
    storeRunFlag(readConsoleInteger(&console, &waitMask, &value) ? value : 0);
  }
  // Joined while taking stop signals, so a second one can hurry the writer.
  while (pthread_tryjoin_np(worker, NULL) == EBUSY) {
    struct timespec slice = {0, 10 * 1000 * 1000};
    ppoll(NULL, 0, &slice, &waitMask);
  }
  return 0;
}

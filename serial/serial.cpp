// Serial bridge between the board and the car's two USB controllers.
//   serial            send the neutral command to /dev/ttyACM0 once
//   serial read       print the tachometer bytes arriving on /dev/ttyACM1
//   serial <other>    forward the command files to /dev/ttyACM0
// In the last two modes, typing 0 on the console stops the bridge. Built
// twice: SERIAL_RAW=1 gives serial_raw (plain steering byte, no change
// filter, no echo, other command file folder).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <termios.h>
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

static const char* const kDrivePort = "/dev/ttyACM0";
static const char* const kTachometerPort = "/dev/ttyACM1";

// How often a reader waiting for a byte looks at the run flag, and how long
// it waits before opening a lost tachometer line again.
static const int kStopCheckMs = 100;
static const int kReopenMs = 1000;

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

// One command pair as two one-byte writes, throttle first. The controller
// sends no reply, so a failed write is neither detected nor retried.
static void sendPair(int fd, unsigned char throttle, unsigned char steering) {
  ssize_t written = write(fd, &throttle, 1);
  written = write(fd, &steering, 1);
  (void)written;
}

// Sends the neutral command (throttle 1600, steering 90).
void zeroize(int fd) {
  sendPair(fd, throttleByte(kNeutralThrottle), steeringByte(kNeutralSteering, kNegateSteering));
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

// Command writer thread: re-reads the command files without pause and
// sends each pair to /dev/ttyACM0, framed by the neutral command.
void* swrite(void* arg) {
  std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  int fd = configure_port(open_port(kDrivePort));
  zeroize(fd);
  if (SERIAL_RAW) usleep(10000);
  int throttle = kNeutralThrottle;
  int steering = kNeutralSteering;
  bool haveThrottle = false;
  bool haveSteering = false;
  unsigned char lastThrottle = 255;
  unsigned char lastSteering = 255;
  while (*run != 0) {
    int got = readFiles(&throttle, &steering);
    haveThrottle = haveThrottle || (got & kGotThrottle) != 0;
    haveSteering = haveSteering || (got & kGotSteering) != 0;
    // Never send a pair made from a value no file has given yet.
    if (!commandsKnown(haveThrottle, haveSteering)) continue;
    unsigned char throttleOut = throttleByte(throttle);
    unsigned char steeringOut = steeringByte(steering, kNegateSteering);
    if (!pairToSend(kChangeFilter, throttleOut, steeringOut, lastThrottle, lastSteering)) continue;
    lastThrottle = throttleOut;
    lastSteering = steeringOut;
    sendPair(fd, throttleOut, steeringOut);
    if (kEcho) printf("Throttle = %d\nSteering = %d\n\n", echoedThrottle(throttleOut), steering);
  }
  // The car is left at rest whenever the bridge lets go of the line.
  zeroize(fd);
  close(fd);
  return NULL;
}

// Reads the next console integer, reporting and skipping words that are
// not integers. False at end of input.
static bool readConsoleInteger(int* value) {
  for (;;) {
    int c = getchar();
    while (c != EOF && isConsoleSpace(static_cast<char>(c))) c = getchar();
    if (c == EOF) return false;
    ConsoleWord word;
    consoleWordReset(&word);
    while (c != EOF && !isConsoleSpace(static_cast<char>(c))) {
      consoleWordAdd(&word, static_cast<char>(c));
      c = getchar();
    }
    if (consoleWordVerdict(word, value) == kConsoleNumber) return true;
    fputs("ignored console input: not an integer\n", stderr);
    if (c == EOF) return false;
  }
}

static int runNeutral() {
  int fd = configure_port(open_port(kDrivePort));
  zeroize(fd);
  close(fd);
  return 0;
}

int main(int argc, char** argv) {
  // Line-buffered even into a pipe or a log, so each line shows when printed.
  setvbuf(stdout, NULL, _IOLBF, 0);
  std::atomic<int> run(1);

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

  pthread_t worker;
  void* (*body)(void*) = mode == kModeReader ? sread : swrite;
  if (pthread_create(&worker, attrToUse, body, &run) != 0) {
    fputs("cannot start the worker thread\n", stderr);
    return 1;
  }
  while (run != 0) {
    int value = 0;
    // End of input stops the worker like a typed 0.
    run = readConsoleInteger(&value) ? value : 0;
  }
  pthread_join(worker, NULL);
  return 0;
}

// The bridge's serial lines: opening a controller's tty in 9600 8N1 raw
// mode, and on the drive line bounded one-byte writes, pacing at the
// wire's speed, the stop's time budget and the neutral command.
#ifndef PELMORA_SERIAL_LINE_H
#define PELMORA_SERIAL_LINE_H

#include <atomic>

// The controllers' devices.
#include "car.h"

// The bridge is built twice: SERIAL_RAW=1 gives serial_raw (plain steering
// byte, no change filter, no echo, other command file folder).
#ifndef SERIAL_RAW
#define SERIAL_RAW 0
#endif
const bool kNegateSteering = !SERIAL_RAW;

// How long a worker waits before opening a lost line again.
const int kReopenMs = 1000;

// What became of bytes meant for the drive line.
enum LineResult {
  kLineSent,     // the line took them
  kLineStalled,  // it took nothing within the write bound but has not hung up
  kLineFailed,   // it failed: an unplugged controller's tty answers EIO or ENXIO
};

// The drive line as the thread that opened it holds it (the writer, or main
// in neutral mode); no other thread touches it.
struct DriveLine {
  int fd;                       // -1 while no line is open
  const std::atomic<int>* run;  // the bridge's run flag
  double pairMs;                // one pair's time on the wire: 20 bits at the line's baud rate
  double nextPairAt;            // monotonic ms from which the next pair may go
  double stopDeadline;          // monotonic ms when the stop's time is up; 0 until the stop is seen
  int pendingSteering;          // steering byte of a pair whose throttle byte alone went out; -1: none
};

double monotonicMs();

// What became of a try to open a controller's line.
enum PortResult {
  kPortOpen,     // opened, and held by this program alone
  kPortMissing,  // no such device, or it cannot be opened
  kPortHeld,     // another program holds it: nothing was changed or written
};

// Opens a controller's line and takes it for this program alone, before
// any setting or byte: an advisory lock on the device, then the tty's
// exclusive mode. On kPortOpen *fd is the line's descriptor and "port is
// open." has been printed.
PortResult openPort(const char* path, int* fd);
// Says in one line on standard output why path could not be taken.
void reportPort(const char* path, PortResult why);
// Opens a controller's line; returns its descriptor, or -1 reported on
// standard output.
int open_port(const char* path);
// Gives the line up: its exclusive mode ended, then closed (the lock goes
// with the descriptor).
void closePort(int fd);
// Puts the line in 9600 8N1 raw mode; returns fd unchanged.
int configure_port(int fd);

// A drive line not open yet, for a thread that stops when *run is 0.
void initDriveLine(DriveLine* line, const std::atomic<int>* run);
// Puts the freshly opened drive line fd in use: raw 9600 8N1, non-blocking
// so that no write holds the thread beyond its bound, paced at its baud
// rate, then the neutral command before anything else. The line stays
// open whatever the neutral command's result.
LineResult takeDriveLine(DriveLine* line, int fd);
// Sends the neutral command (kNeutralThrottle, kNeutralSteering).
LineResult zeroize(DriveLine* line);
// One command pair as two one-byte writes, throttle first, one pair's wire
// time after the previous pair and once that has left the kernel's
// buffers, so no stale pair queues in front of a newer one. A pair whose
// throttle byte alone went out is completed first: the controller takes
// the bytes two by two. Stalled: the pair's throttle byte did not go out,
// or its steering byte is kept for the next write.
LineResult sendPair(DriveLine* line, unsigned char throttle, unsigned char steering);
// Waits until the line can carry the next pair.
LineResult waitLineReady(DriveLine* line);
// Without waiting, on a line that stalled: sends the byte of a half-sent
// pair if the line now takes it; kLineSent once it takes bytes again and
// holds none of ours, kLineStalled while it does not.
LineResult lineTakesBytes(DriveLine* line);
// True when the tty was hung up under us: an unplugged USB controller (or a
// stand-in that closed its side) shows it before any write fails.
bool lineHungUp(int fd);
// Closes the line once what was written has gone out. Output a stalled
// controller never took is dropped: a USB serial close would otherwise
// wait for it (up to 30 s).
void releaseLine(DriveLine* line);
// Closes a failed line at once, dropping what it did not take.
void dropLine(DriveLine* line);

// Starts the stop's time budget the first time it finds the run flag at 0.
void armStopBudget(DriveLine* line);
// True while the stop leaves time to spend on the line.
bool stopBudgetLeft(const DriveLine& line);
// Tells every wait on the drive line to give up at once: a second stop
// signal. Async-signal-safe.
void hurryStop();

// A descriptor that polls readable once the stop has been announced, for a
// worker that sleeps in poll. Main opens it before it starts the worker and
// announces the stop once the run flag is 0; -1 if it could not be opened.
void openStopNotice();
void announceStop();
int stopNotice();

// Waits up to ms while *run stays non-zero; false once it is 0.
bool pauseWhileRunning(const std::atomic<int>* run, int ms);

#endif

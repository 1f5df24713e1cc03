// The shared console rule; see console.h.
#include "console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <unistd.h>

// White space as isspace gives it in the C locale.
static bool isConsoleSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isDigit(int c) { return c >= '0' && c <= '9'; }

ConsoleVerdict readDecimal(ConsoleNext next, void* context, int* value, int* after) {
  int c = next(context);
  while (isConsoleSpace(c)) c = next(context);
  *after = c;
  if (c < 0) return kConsoleEnded;
  bool negative = false;
  if (c == '+' || c == '-') {
    // Like scanf, the sign is consumed even when no digit follows.
    negative = c == '-';
    c = next(context);
  }
  *after = c;
  if (!isDigit(c)) return kConsoleNotNumber;
  // The magnitude stops growing just past the int range, so no count of
  // digits wraps round (to 0, which would stop a program).
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  while (isDigit(c)) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) magnitude = limit;
    c = next(context);
  }
  *after = c;
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return kConsoleNumber;
}

ConsoleVerdict readConsoleNumber(ConsoleNext next, void* context, int* value) {
  int c = kConsoleEnd;
  ConsoleVerdict verdict = readDecimal(next, context, value, &c);
  while (c >= 0 && !isConsoleSpace(c)) c = next(context);
  return verdict;
}

int nextRunValue(ConsoleNext next, void* context) {
  for (;;) {
    int value = 0;
    ConsoleVerdict verdict = readConsoleNumber(next, context, &value);
    if (verdict == kConsoleNumber) return value;
    if (verdict == kConsoleEnded) return 0;
  }
}

void initConsoleSource(ConsoleSource* source, int fd, const sigset_t* waitMask, const std::atomic<int>* run) {
  source->fd = fd;
  source->waitMask = waitMask;
  source->run = run;
  source->length = 0;
  source->next = 0;
}

// Waits in ppoll until fd has input: 1 when it may have, 0 when a signal
// ended the wait, -1 when the wait failed.
static int waitForInput(const ConsoleSource* in) {
  struct pollfd p = {in->fd, POLLIN, 0};
  if (ppoll(&p, 1, NULL, in->waitMask) >= 0) return 1;
  return errno == EINTR ? 0 : -1;
}

int consoleByte(void* context) {
  ConsoleSource* in = static_cast<ConsoleSource*>(context);
  while (in->next == in->length) {
    if (in->run != NULL && in->run->load() == 0) return kConsoleStopped;
    // Signals blocked elsewhere get through only inside ppoll, which
    // unblocks them together with starting the wait: one that comes after
    // the run flag test still ends the wait instead of waiting for a key.
    if (in->waitMask != NULL) {
      int ready = waitForInput(in);
      if (ready < 0) return kConsoleEnd;
      if (ready == 0) continue;
    }
    ssize_t n = read(in->fd, in->buf, sizeof in->buf);
    if (n > 0) {
      in->length = static_cast<size_t>(n);
      in->next = 0;
    } else if (n == 0) {
      return kConsoleEnd;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (waitForInput(in) < 0) return kConsoleEnd;
    } else if (errno != EINTR) {
      return kConsoleEnd;
    }
  }
  return in->buf[in->next++];
}

void openMissingStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, the ones below being open.
    int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != -1 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

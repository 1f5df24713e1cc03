// Stand-in for the tachometer controller on /dev/ttyACM1: sends bytes to
// the host, either a periodic stream (--period MS, cycling through --bytes)
// or bytes asked for on stdin ("send 0 5 0 255"). Like the real board it
// only talks to a host that has opened the line and made it raw; queued
// bytes wait for that. Other commands on stdin: unplug, plug, quit.
// stdout reports "ready PATH", "configured" (per host open) and "sent N".
//   tacho_controller [--device PATH] [--period MS] [--bytes "B B ..."]
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "monotonic_clock.h"
#include "pty_device.h"

// Set by the signal handler, read by the main loop.
static volatile sig_atomic_t g_stop = 0;

static void onSignal(int) { g_stop = 1; }

static void say(const std::string& text) {
  printf("%s\n", text.c_str());
  fflush(stdout);
}

// Parses "B B ..." (0 to 255 each) into bytes; false on anything else.
static bool parseBytes(const std::string& text, std::string* bytes) {
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    char* end = NULL;
    long v = strtol(word.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 255) return false;
    bytes->push_back(static_cast<char>(v));
  }
  return true;
}

static bool parseArgs(int argc, char** argv, const char** device, int* periodMs,
                      std::string* cycle) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 < argc && arg == "--device") {
      *device = argv[++i];
    } else if (i + 1 < argc && arg == "--period") {
      *periodMs = atoi(argv[++i]);
      if (*periodMs <= 0) return false;
    } else if (i + 1 < argc && arg == "--bytes") {
      cycle->clear();
      if (!parseBytes(argv[++i], cycle) || cycle->empty()) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Discards what the host writes (this controller takes no commands).
static void drainInput(int master) {
  char buf[256];
  while (read(master, buf, sizeof buf) > 0) {
  }
}

int main(int argc, char** argv) {
  const char* device = "/dev/ttyACM1";
  int periodMs = 0;
  std::string cycle(1, static_cast<char>(42));
  if (!parseArgs(argc, argv, &device, &periodMs, &cycle)) {
    fprintf(stderr, "usage: tacho_controller [--device PATH] [--period MS] [--bytes \"B B ...\"]\n");
    return 2;
  }
  catchStopSignals(onSignal);

  PtyDevice pty;
  if (!plugDevice(device, &pty)) return 1;
  say(std::string("ready ") + device);

  bool stdinOpen = true;
  bool configured = false;
  std::string pending;  // console text not yet a full line
  std::string queue;    // bytes asked for, not yet written
  size_t queuedTotal = 0;
  size_t cyclePos = 0;
  double nextTick = nowSeconds() + periodMs / 1000.0;
  while (!g_stop) {
    bool listening = pty.master != -1 && hostHasLineOpen(&pty);
    if (pty.master != -1) drainInput(pty.master);
    if (listening && !configured && hostConfiguredLine(pty.master)) {
      configured = true;
      say("configured");
    }
    if (!listening) configured = false;

    double now = nowSeconds();
    if (periodMs > 0 && now >= nextTick) {
      if (configured) {
        queue.push_back(cycle[cyclePos]);
        ++queuedTotal;
        cyclePos = (cyclePos + 1) % cycle.size();
      }
      // A late tick is not made up for with a burst.
      nextTick += periodMs / 1000.0;
      if (nextTick < now) nextTick = now + periodMs / 1000.0;
    }
    if (configured && !queue.empty()) {
      ssize_t n = write(pty.master, queue.data(), queue.size());
      if (n > 0) queue.erase(0, static_cast<size_t>(n));
      if (queue.empty() && periodMs == 0) say("sent " + std::to_string(queuedTotal));
    }

    // Waiting for the host (open, raw) is only visible by looking again.
    int timeout = 200;
    if (!configured || !queue.empty()) timeout = 2;
    if (periodMs > 0) {
      int untilTick = static_cast<int>((nextTick - nowSeconds()) * 1000) + 1;
      if (untilTick < timeout) timeout = untilTick < 0 ? 0 : untilTick;
    }
    struct pollfd fds[1] = {{stdinOpen ? 0 : -1, POLLIN, 0}};
    if (poll(fds, 1, timeout) < 0 && errno != EINTR) break;
    if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
    std::vector<std::string> commands;
    if (!readCommands(&pending, &commands)) {
      stdinOpen = false;
      continue;
    }
    for (const std::string& command : commands) {
      if (command.compare(0, 5, "send ") == 0) {
        std::string bytes;
        if (parseBytes(command.substr(5), &bytes)) {
          queue += bytes;
          queuedTotal += bytes.size();
        } else {
          fprintf(stderr, "tacho_controller: bad byte list: %s\n", command.c_str());
        }
      } else if (command == "unplug" && pty.master != -1) {
        unplugDevice(device, &pty);
        configured = false;
        say("unplugged");
      } else if (command == "plug" && pty.master == -1) {
        if (!plugDevice(device, &pty)) return 1;
        say("plugged");
      } else if (command == "quit") {
        g_stop = 1;
      }
    }
  }
  if (pty.master != -1) unplugDevice(device, &pty);
  return 0;
}

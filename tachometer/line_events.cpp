// The tachometer's --events mode: the GPIO character device; see line_events.h.
#include "line_events.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "events.h"
#include "gpio_cdev.h"
#include "gpio_paths.h"

namespace {

const int64_t kRetryNs = 100 * 1000000LL;

int64_t nowNs(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

std::string kernelRelease() {
  struct utsname name;
  return uname(&name) == 0 ? name.release : "unknown";
}

std::string readLine(const std::string& path) {
  char text[64] = "";
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return "";
  if (!fgets(text, sizeof text, file)) text[0] = '\0';
  fclose(file);
  text[strcspn(text, "\n")] = '\0';
  return text;
}

std::string resolved(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? real : "";
}

// Folder entries named prefix followed by anything.
std::vector<std::string> entriesStarting(const char* dir, const char* prefix) {
  std::vector<std::string> names;
  DIR* d = opendir(dir);
  while (d) {
    const struct dirent* e = readdir(d);
    if (!e) break;
    if (strncmp(e->d_name, prefix, strlen(prefix)) == 0) names.push_back(e->d_name);
  }
  if (d) closedir(d);
  return names;
}

// The chips sysfs lists with their bases.
std::vector<GpioChip> sysfsChips() {
  std::vector<GpioChip> chips;
  for (const std::string& name : entriesStarting(kGpioDir, "gpiochip")) {
    const std::string dir = std::string(kGpioDir) + "/" + name;
    GpioChip chip = {"", resolved(dir), readLine(dir + "/label"), atoi(readLine(dir + "/base").c_str()),
                     atoi(readLine(dir + "/ngpio").c_str())};
    chips.push_back(chip);
  }
  return chips;
}

// The chips' character devices, as far as they can be opened and asked.
std::vector<GpioChip> chipDevices() {
  std::vector<GpioChip> devices;
  for (const std::string& name : entriesStarting("/dev", "gpiochip")) {
    GpioChip device = {"/dev/" + name, "", "", -1, 0};
    struct stat st;
    if (stat(device.device.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
      char dir[64];
      snprintf(dir, sizeof dir, "/sys/dev/char/%u:%u", major(st.st_rdev), minor(st.st_rdev));
      device.folder = resolved(dir);
    }
    const int fd = open(device.device.c_str(), O_RDWR | O_CLOEXEC);
    CdevChipInfo info;
    memset(&info, 0, sizeof info);
    if (fd >= 0 && ioctl(fd, kCdevChipInfoIoctl, &info) == 0) {
      info.label[kCdevNameSize - 1] = '\0';
      device.label = info.label;
      device.lines = static_cast<int>(info.lines);
    }
    if (fd >= 0) close(fd);
    devices.push_back(device);
  }
  return devices;
}

// The request's descriptor (v2, else v1 where the kernel lacks v2), or -1
// with errno; *version says which answered.
int requestOnChip(int chipFd, int offset, int* version) {
  const char* forced = getenv("PELMORA_GPIO_EVENTS");
  if (!forced || strcmp(forced, "v1") != 0) {
    CdevLineRequest request;
    memset(&request, 0, sizeof request);
    request.offsets[0] = static_cast<uint32_t>(offset);
    strncpy(request.consumer, "tachometer", kCdevNameSize - 1);
    request.config.flags = kCdevV2Input | kCdevV2BothEdges;
    request.lineCount = 1;
    // The most the kernel gives: 1 s of changes at 30000 rpm.
    request.eventBufferSize = kCdevV2BufferMax;
    *version = 2;
    if (ioctl(chipFd, kCdevLineIoctl, &request) == 0) return request.fd;
    // Kernels before 5.10 do not know the request.
    if (errno != ENOTTY && errno != EINVAL) return -1;
  }
  CdevEventRequest request;
  memset(&request, 0, sizeof request);
  request.lineOffset = static_cast<uint32_t>(offset);
  request.handleFlags = kCdevV1Input;
  request.eventFlags = kCdevV1BothEdges;
  strncpy(request.consumer, "tachometer", kCdevNameSize - 1);
  *version = 1;
  if (ioctl(chipFd, kCdevLineEventIoctl, &request) == 0) return request.fd;
  return -1;
}

void sayNoEvents(const char* what) {
  fprintf(stderr, "tachometer: no GPIO %s on this kernel (Linux %s); --edges works here\n", what,
          kernelRelease().c_str());
}

// Takes the kernel's events into events->changes; false when the read fails.
bool readBatch(LineEvents* events) {
  CdevLineEvent v2[kEventBatch];
  CdevEventData v1[kEventBatch];
  const bool isV2 = events->version == 2;
  const size_t size = isV2 ? sizeof v2[0] : sizeof v1[0];
  const ssize_t n = isV2 ? read(events->fd, v2, sizeof v2) : read(events->fd, v1, sizeof v1);
  if (n <= 0) {
    if (n == 0) errno = ENODATA;
    return errno == EINTR || errno == EAGAIN;
  }
  const int64_t readNs = nowNs(CLOCK_MONOTONIC);
  const int64_t offsetNs = nowNs(CLOCK_REALTIME) - readNs;
  const bool stepped = clockStepped(events->offsetNs, offsetNs) || events->stepPending;
  events->offsetNs = offsetNs;
  events->count = static_cast<size_t>(n) / size;
  events->next = 0;
  for (size_t k = 0; k < events->count; ++k) {
    int64_t stamp = 0;
    if (isV2) {
      events->lost += changesLost(events->seqno, v2[k].lineSeqno);
      events->seqno = v2[k].lineSeqno;
      events->changes[k].level = v2[k].id == kCdevV2Rising ? 1 : 0;
      stamp = static_cast<int64_t>(v2[k].timestampNs);
    } else {
      events->changes[k].level = v1[k].id == kCdevV1Rising ? 1 : 0;
      stamp = static_cast<int64_t>(v1[k].timestampNs);
      if (!events->clockKnown) {
        events->realtime = stampsOnRealtime(stamp, readNs, readNs + offsetNs, events->beforeFiveSeven);
        events->clockKnown = true;
      }
    }
    events->changes[k].monotonicNs = monotonicStamp(stamp, events->realtime, offsetNs, stepped, readNs);
  }
  // Events left in the kernel were stamped before this read too.
  events->stepPending = stepped && events->count == kEventBatch;
  return true;
}

}  // namespace

bool requestLineEvents(int line, LineEvents* events) {
  memset(events, 0, sizeof *events);
  events->fd = -1;
  events->line = line;
  events->readable = true;
  events->beforeFiveSeven = releaseBefore(kernelRelease().c_str(), 5, 7);
  events->offsetNs = nowNs(CLOCK_REALTIME) - nowNs(CLOCK_MONOTONIC);

  const std::vector<GpioChip> devices = chipDevices();
  if (devices.empty()) {
    sayNoEvents("character device");
    return false;
  }
  int offset = 0;
  const int chip = chipOfLine(sysfsChips(), devices, line, &offset);
  if (chip < 0) {
    fprintf(stderr, "tachometer: no GPIO chip's character device holds line %d\n", line);
    return false;
  }
  const char* device = devices[chip].device.c_str();
  const int chipFd = open(device, O_RDWR | O_CLOEXEC);
  if (chipFd < 0) {
    fprintf(stderr, "tachometer: cannot open %s: %s\n", device, strerror(errno));
    return false;
  }
  events->fd = requestOnChip(chipFd, offset, &events->version);
  const int error = errno;
  close(chipFd);
  if (events->fd >= 0) {
    // Never blocks: a read with nothing left returns at once.
    fcntl(events->fd, F_SETFL, O_NONBLOCK);
    if (events->version == 1) {
      fprintf(stderr, "tachometer: line events v1 on this kernel: changes lost in its 16-event buffer "
              "would go unseen\n");
    }
    return true;
  }
  char exported[kGpioPathSize];
  if (error == EBUSY && access(gpioLinePath(exported, sizeof exported, line, NULL), F_OK) == 0) {
    fprintf(stderr, "tachometer: line %d is exported through sysfs (gpio_hold must not run with --events)\n", line);
  } else if (error == EBUSY) {
    fprintf(stderr, "tachometer: line %d is held by another program\n", line);
  } else if (error == ENOTTY || error == EINVAL) {
    sayNoEvents("line events");
  } else {
    fprintf(stderr, "tachometer: cannot request line %d from %s: %s\n", line, device, strerror(error));
  }
  return false;
}

bool nextLineChange(LineEvents* events, int waitMs, LineChange* change) {
  if (events->next < events->count) {
    *change = events->changes[events->next++];
    return true;
  }
  if (!events->readable) {
    const int64_t left = events->failedNs + kRetryNs - nowNs(CLOCK_MONOTONIC);
    if (left > 0) {
      const int leftMs = static_cast<int>((left + 999999) / 1000000);
      poll(NULL, 0, leftMs < waitMs ? leftMs : waitMs);
      return false;
    }
  }
  struct pollfd watch = {events->fd, POLLIN, 0};
  const int woke = poll(&watch, 1, events->readable ? waitMs : 0);
  // A wake without events still tells whether the time of day stepped.
  if (woke == 0) {
    const int64_t offsetNs = nowNs(CLOCK_REALTIME) - nowNs(CLOCK_MONOTONIC);
    events->stepPending = events->stepPending || clockStepped(events->offsetNs, offsetNs);
    events->offsetNs = offsetNs;
    if (events->readable) return false;
  }
  if (!readBatch(events)) {
    if (events->readable) {
      fprintf(stderr, "tachometer: cannot read the events of line %d (%s), trying again ten times a second\n",
              events->line, strerror(errno));
    }
    events->readable = false;
    events->failedNs = nowNs(CLOCK_MONOTONIC);
    return false;
  }
  events->readable = true;
  if (events->next >= events->count) return false;
  *change = events->changes[events->next++];
  return true;
}

void releaseLineEvents(LineEvents* events) {
  if (events->fd >= 0) close(events->fd);
  events->fd = -1;
}

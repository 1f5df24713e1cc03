// gpio_sim: a stand-in for the kernel's sysfs GPIO interface. It mounts a
// FUSE file system (normally at /sys/class/gpio on a simulated board) with
// export, unexport and gpio<N>/{direction,value,edge,active_low}; an input
// line's level follows a waveform chosen over a control socket. As in the
// kernel, poll() on an open value file reports POLLPRI|POLLERR once the
// line has made a change its edge setting selects, until the file is read
// from its start.
//
//   gpio_sim MOUNTPOINT --control SOCKET
//
// Runs in the foreground and unmounts on SIGTERM or SIGINT. Control: one
// command per line on SOCKET, one reply line ("ok ..." or "error ...") each:
//   wave LINE const 0|1 | interval US | rpm R | script LEVEL@MS...
//   changes LINE FROM_NS TO_NS      fault LINE open|read ERRNO [COUNT]
//   fault LINE short [COUNT]        fault LINE edge ERRNO [COUNT]   fault LINE none
//   export LINE   unexport LINE     state LINE     written PATH
#define FUSE_USE_VERSION 312

#include <errno.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gpio_sim_logic.h"
#include "monotonic_clock.h"

enum FileKind { kNoFile, kRoot, kExport, kUnexport, kLineDir, kDirection, kValue, kEdge, kActiveLow };
enum FaultKind { kNoFault, kOpenFault, kReadFault, kShortFault, kEdgeFault };

struct Fault {
  FaultKind kind = kNoFault;
  int error = 0;
  int remaining = -1;  // -1: until cleared
};

struct Line {
  bool exported = false;
  bool output = false;
  int latch = 0;  // physical output level
  std::string edge = "none";
  int activeLow = 0;
  Wave wave;
  Fault fault;
  long reads = 0;
  // Edge events: the count of selected changes so far, counted up to (not
  // including) countedNs. It starts at 1 and a new open has seen 0, so the
  // first poll after an open reports at once, as sysfs does.
  int64_t events = 1;
  int64_t countedNs = 0;
};

// An open value file: what its reads have seen of the line's events, and
// the kernel's request to be told of the next one.
struct OpenValue {
  int line = -1;
  int64_t seen = 0;
  struct fuse_pollhandle* pollHandle = nullptr;
};

// The chip's lines are 0..kLineCount-1; other numbers are refused.
static const int kLineCount = 1024;

// Guards g_lines and g_written; FUSE workers and control threads take it.
static std::mutex g_lock;
// Line state; written and read by FUSE workers and control threads.
static std::map<int, Line> g_lines;
// Last payload written to each file (path relative to the mount point);
// written by FUSE workers, read by control threads.
static std::map<std::string, std::string> g_written;
// Open value files by their handle number; written and read by FUSE
// workers and the notifier, under g_lock.
static std::map<uint64_t, OpenValue> g_opens;
// Next handle number (0 means not a value file); FUSE workers, under g_lock.
static uint64_t g_nextOpen = 1;
// Signalled, under g_lock, when a poller waits or a line's wave or edge
// changes; the notifier waits on it.
static std::condition_variable g_pollersChanged;
// Set by main, under g_lock, to end the notifier.
static bool g_stopping = false;
// Control socket path; written once by main, read at exit.
static std::string g_socketPath;
// Time stamp of every file; written once by main before the mount.
static time_t g_mountTime;

// "gpio397" -> 397; the kernel never writes leading zeros.
static bool parseLineName(const std::string& name, int* line) {
  if (name.compare(0, 4, "gpio") != 0 || name.size() < 5 || name.size() > 8) return false;
  const std::string digits = name.substr(4);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  if (digits.size() > 1 && digits[0] == '0') return false;
  *line = atoi(digits.c_str());
  return true;
}

static FileKind fileKindOf(const std::string& name) {
  if (name == "direction") return kDirection;
  if (name == "value") return kValue;
  if (name == "edge") return kEdge;
  if (name == "active_low") return kActiveLow;
  return kNoFile;
}

// Inodes: the root, export and unexport, then eight numbers per line: its
// directory and its four attributes.
static const fuse_ino_t kExportIno = 2;
static const fuse_ino_t kUnexportIno = 3;
static const fuse_ino_t kFirstLineIno = 16;

static fuse_ino_t inodeOf(FileKind kind, int line) {
  if (kind == kExport) return kExportIno;
  if (kind == kUnexport) return kUnexportIno;
  if (kind == kRoot) return FUSE_ROOT_ID;
  return kFirstLineIno + static_cast<fuse_ino_t>(line) * 8 + (kind - kLineDir);
}

// What an inode names; a line's entries exist only while it is exported.
// Call with g_lock held.
static FileKind inodeKind(fuse_ino_t ino, int* line) {
  if (ino == FUSE_ROOT_ID) return kRoot;
  if (ino == kExportIno) return kExport;
  if (ino == kUnexportIno) return kUnexport;
  if (ino < kFirstLineIno) return kNoFile;
  const fuse_ino_t number = (ino - kFirstLineIno) / 8;
  const int slot = static_cast<int>((ino - kFirstLineIno) % 8);
  if (number >= static_cast<fuse_ino_t>(kLineCount) || slot > kActiveLow - kLineDir) return kNoFile;
  *line = static_cast<int>(number);
  auto it = g_lines.find(*line);
  if (it == g_lines.end() || !it->second.exported) return kNoFile;
  return static_cast<FileKind>(kLineDir + slot);
}

// The file's path below the mount point, as the control protocol names it.
static std::string pathOf(FileKind kind, int line) {
  static const char* const kNames[] = {"direction", "value", "edge", "active_low"};
  if (kind == kExport) return "export";
  if (kind == kUnexport) return "unexport";
  const std::string dir = "gpio" + std::to_string(line);
  return kind == kLineDir ? dir : dir + "/" + kNames[kind - kDirection];
}

// Takes one use of a pending fault of the given kind; true when it applies.
static bool takeFault(Line* line, FaultKind kind, int* error) {
  if (line->fault.kind != kind) return false;
  *error = line->fault.error;
  if (line->fault.remaining > 0 && --line->fault.remaining == 0) line->fault = Fault();
  return true;
}

// The level the value file shows at time now: active_low inverts it.
static int shownLevel(const Line& line, int64_t now) {
  const int physical = line.output ? line.latch : waveLevel(line.wave, now);
  return physical ^ line.activeLow;
}

static int shownLevel(const Line& line) { return shownLevel(line, monotonicNs()); }

// Which physical changes the line reports; 0 for none. Only an input
// line has its interrupt.
static int reportedEdges(const Line& line) {
  if (!line.exported || line.output) return 0;
  return std::max(0, edgeMask(line.edge, line.activeLow != 0));
}

// Counts the line's reported changes up to and including now. Called
// before anything that changes what is reported. g_lock held.
static void countEdges(Line* line, int64_t now) {
  if (now < line->countedNs) return;
  const int mask = reportedEdges(*line);
  if (mask != 0) line->events += waveEdgeChanges(line->wave, mask, line->countedNs, now + 1);
  line->countedNs = now + 1;
}

// Export or unexport as the kernel does it; 0 or a negative errno.
static int exportLine(const std::string& text, bool exporting) {
  long number = 0;
  if (!parseKernelInteger(text, &number) || number < 0 || number >= kLineCount) return -EINVAL;
  Line& line = g_lines[static_cast<int>(number)];
  countEdges(&line, monotonicNs());
  if (exporting) {
    if (line.exported) return -EBUSY;
    // Requesting a line clears its polarity and edge; direction stays as
    // the hardware has it.
    line.exported = true;
    line.activeLow = 0;
    line.edge = "none";
  } else {
    if (!line.exported) return -EINVAL;
    line.exported = false;
  }
  return 0;
}

// Stores one attribute write; 0 or a negative errno. g_lock held.
static int storeAttribute(FileKind kind, Line* line, const std::string& text) {
  long number = 0;
  countEdges(line, monotonicNs());
  switch (kind) {
    case kDirection:
      if (text == "in") {
        line->output = false;
      } else if (text == "out" || text == "low" || text == "high") {
        line->output = true;
        line->latch = text == "high" ? 1 : 0;
      } else {
        return -EINVAL;
      }
      return 0;
    case kValue:
      if (!line->output) return -EPERM;
      if (!parseKernelInteger(text, &number)) return -EINVAL;
      line->latch = (number != 0) ^ line->activeLow;
      return 0;
    case kEdge:
      if (text != "none" && text != "rising" && text != "falling" && text != "both") return -EINVAL;
      // The kernel will not take an interrupt on a line it drives.
      if (line->output && text != "none") return -EIO;
      line->edge = text;
      return 0;
    case kActiveLow:
      if (!parseKernelInteger(text, &number)) return -EINVAL;
      line->activeLow = number != 0;
      return 0;
    default:
      return -EIO;
  }
}

static void fillAttributes(fuse_ino_t ino, FileKind kind, struct stat* st) {
  memset(st, 0, sizeof *st);
  st->st_ino = ino;
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_atime = st->st_mtime = st->st_ctime = g_mountTime;
  if (kind == kRoot || kind == kLineDir) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return;
  }
  st->st_mode = S_IFREG | (kind == kExport || kind == kUnexport ? 0200 : 0644);
  st->st_nlink = 1;
  st->st_size = 4096;  // what sysfs reports for every attribute
}

// Entries and attributes are given with timeout 0, so the kernel asks again
// at every path walk and an export or unexport shows at once.
static void simLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  struct fuse_entry_param entry;
  memset(&entry, 0, sizeof entry);
  FileKind kind = kNoFile;
  int line = -1;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    const FileKind parentKind = inodeKind(parent, &line);
    const std::string n(name);
    if (parentKind == kRoot) {
      if (n == "export") {
        kind = kExport;
      } else if (n == "unexport") {
        kind = kUnexport;
      } else if (parseLineName(n, &line) && line < kLineCount) {
        auto it = g_lines.find(line);
        if (it != g_lines.end() && it->second.exported) kind = kLineDir;
      }
    } else if (parentKind == kLineDir) {
      kind = fileKindOf(n);
    }
  }
  if (kind == kNoFile) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  entry.ino = inodeOf(kind, line);
  fillAttributes(entry.ino, kind, &entry.attr);
  fuse_reply_entry(req, &entry);
}

static void simGetattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
  (void)fi;
  int line = -1;
  FileKind kind;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    kind = inodeKind(ino, &line);
  }
  if (kind == kNoFile) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st;
  fillAttributes(ino, kind, &st);
  fuse_reply_attr(req, &st, 0);
}

// Shells open with O_TRUNC; sysfs ignores the truncation.
static void simSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                       struct fuse_file_info* fi) {
  (void)attr;
  (void)toSet;
  simGetattr(req, ino, fi);
}

static void simReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                       struct fuse_file_info* fi) {
  (void)fi;
  std::vector<std::pair<std::string, fuse_ino_t>> entries = {{".", ino}, {"..", FUSE_ROOT_ID}};
  {
    std::lock_guard<std::mutex> lock(g_lock);
    int line = -1;
    const FileKind kind = inodeKind(ino, &line);
    if (kind == kRoot) {
      entries.push_back({"export", kExportIno});
      entries.push_back({"unexport", kUnexportIno});
      for (const auto& l : g_lines) {
        if (l.second.exported) entries.push_back({pathOf(kLineDir, l.first), inodeOf(kLineDir, l.first)});
      }
    } else if (kind == kLineDir) {
      for (int k = kDirection; k <= kActiveLow; ++k) {
        const std::string path = pathOf(static_cast<FileKind>(k), line);
        entries.push_back({path.substr(path.find('/') + 1), inodeOf(static_cast<FileKind>(k), line)});
      }
    } else {
      fuse_reply_err(req, kind == kNoFile ? ENOENT : ENOTDIR);
      return;
    }
  }
  std::string buf;
  for (const auto& e : entries) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = e.second;
    st.st_mode = e.second >= kFirstLineIno && (e.second - kFirstLineIno) % 8 != 0 ? S_IFREG : S_IFDIR;
    if (e.second == kExportIno || e.second == kUnexportIno) st.st_mode = S_IFREG;
    const size_t length = fuse_add_direntry(req, nullptr, 0, e.first.c_str(), nullptr, 0);
    const size_t at = buf.size();
    buf.resize(at + length);
    fuse_add_direntry(req, &buf[at], length, e.first.c_str(), &st, static_cast<off_t>(at + length));
  }
  if (offset < 0 || static_cast<size_t>(offset) >= buf.size()) {
    fuse_reply_buf(req, nullptr, 0);
  } else {
    fuse_reply_buf(req, buf.data() + offset, std::min(size, buf.size() - static_cast<size_t>(offset)));
  }
}

static void simOpen(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
  int error = 0;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    int line = -1;
    const FileKind kind = inodeKind(ino, &line);
    if (kind == kNoFile) {
      error = ENOENT;
    } else if (kind == kRoot || kind == kLineDir) {
      error = EISDIR;
    } else if (kind == kValue && !takeFault(&g_lines[line], kOpenFault, &error)) {
      fi->fh = g_nextOpen++;
      g_opens[fi->fh].line = line;
    }
  }
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  // No page cache: every read must see the level of that moment.
  fi->direct_io = 1;
  fuse_reply_open(req, fi);
}

static void simRelease(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
  (void)ino;
  struct fuse_pollhandle* pending = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_opens.find(fi->fh);
    if (it != g_opens.end()) {
      pending = it->second.pollHandle;
      g_opens.erase(it);
    }
  }
  if (pending) fuse_pollhandle_destroy(pending);
  fuse_reply_err(req, 0);
}

// The attribute's text, or a negative errno; counts reads of value. A
// read of value from its start takes in the line's events, as sysfs does.
static int attributeContent(fuse_ino_t ino, uint64_t handle, off_t offset, std::string* text) {
  std::lock_guard<std::mutex> lock(g_lock);
  int number = -1;
  const FileKind kind = inodeKind(ino, &number);
  if (kind == kExport || kind == kUnexport) return -EIO;  // write-only attributes
  // An attribute of a line unexported since the open is gone.
  if (kind == kNoFile) return -ENODEV;
  Line& line = g_lines[number];
  int error = 0;
  switch (kind) {
    case kValue: {
      ++line.reads;
      const int64_t now = monotonicNs();
      auto open = g_opens.find(handle);
      if (offset == 0 && open != g_opens.end()) {
        countEdges(&line, now);
        open->second.seen = line.events;
      }
      if (takeFault(&line, kReadFault, &error)) return -error;
      if (takeFault(&line, kShortFault, &error)) return 0;
      *text = shownLevel(line, now) ? "1\n" : "0\n";
      return 0;
    }
    case kDirection:
      *text = line.output ? "out\n" : "in\n";
      return 0;
    case kEdge:
      *text = line.edge + "\n";
      return 0;
    case kActiveLow:
      *text = line.activeLow ? "1\n" : "0\n";
      return 0;
    default:
      return -EIO;
  }
}

static void simRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
  std::string text;
  const int result = attributeContent(ino, fi->fh, offset, &text);
  if (result < 0) {
    fuse_reply_err(req, -result);
  } else if (offset < 0 || static_cast<size_t>(offset) >= text.size()) {
    fuse_reply_buf(req, nullptr, 0);
  } else {
    fuse_reply_buf(req, text.data() + offset, std::min(size, text.size() - static_cast<size_t>(offset)));
  }
}

static void simWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset,
                     struct fuse_file_info* fi) {
  (void)offset;  // sysfs takes each write whole, wherever the file position is
  (void)fi;
  const std::string text = attributeText(buf, size);
  int result;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    int number = -1;
    const FileKind kind = inodeKind(ino, &number);
    if (kind == kNoFile) {
      result = -ENODEV;
    } else {
      g_written[pathOf(kind, number)] = std::string(buf, size);
      int error = 0;
      if (kind == kExport || kind == kUnexport) {
        result = exportLine(text, kind == kExport);
      } else if (kind == kEdge && takeFault(&g_lines[number], kEdgeFault, &error)) {
        result = -error;
      } else {
        result = storeAttribute(kind, &g_lines[number], text);
      }
    }
    g_pollersChanged.notify_one();
  }
  if (result < 0) {
    fuse_reply_err(req, -result);
  } else {
    fuse_reply_write(req, size);
  }
}

// The value file reports POLLPRI|POLLERR while an event has come since its
// last read from the start, and always once its line is gone; otherwise
// the kernel's handle is kept for the notifier. Like sysfs, it is always
// readable and writable as well.
static void simPoll(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi, struct fuse_pollhandle* ph) {
  unsigned revents = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
  struct fuse_pollhandle* replaced = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    int number = -1;
    const FileKind kind = inodeKind(ino, &number);
    auto open = g_opens.find(fi->fh);
    if (kind == kNoFile) {
      revents |= POLLPRI | POLLERR;
    } else if (kind == kValue && open != g_opens.end()) {
      Line& line = g_lines[number];
      countEdges(&line, monotonicNs());
      if (open->second.seen != line.events) {
        revents |= POLLPRI | POLLERR;
      } else if (ph != nullptr) {
        replaced = open->second.pollHandle;
        open->second.pollHandle = ph;
        ph = nullptr;
        g_pollersChanged.notify_one();
      }
    }
  }
  if (replaced) fuse_pollhandle_destroy(replaced);
  if (ph) fuse_pollhandle_destroy(ph);
  fuse_reply_poll(req, revents);
}

// Tells the kernel of each event a poller waits for, at the time of the
// change: sleeps until the next selected change of a polled line.
static void* notifyPollers(void*) {
  // Wake at the change itself, as an interrupt would, not up to 50 us late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::vector<struct fuse_pollhandle*> due;
  std::unique_lock<std::mutex> lock(g_lock);
  while (!g_stopping) {
    const int64_t now = monotonicNs();
    int64_t next = INT64_MAX;
    for (auto& open : g_opens) {
      if (open.second.pollHandle == nullptr) continue;
      Line& line = g_lines[open.second.line];
      countEdges(&line, now);
      if (open.second.seen != line.events) {
        due.push_back(open.second.pollHandle);
        open.second.pollHandle = nullptr;
      } else if (reportedEdges(line) != 0) {
        next = std::min(next, waveNextEdge(line.wave, reportedEdges(line), now));
      }
    }
    if (!due.empty()) {
      lock.unlock();
      for (struct fuse_pollhandle* ph : due) {
        fuse_lowlevel_notify_poll(ph);
        fuse_pollhandle_destroy(ph);
      }
      due.clear();
      lock.lock();
    } else if (next == INT64_MAX) {
      g_pollersChanged.wait(lock);
    } else {
      g_pollersChanged.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(next)));
    }
  }
  return nullptr;
}

// ---- control protocol ----

static std::string errorReply(int negativeErrno) {
  return "error " + std::string(strerror(-negativeErrno));
}

static bool parseLineNumber(const std::string& text, int* line) {
  return parseDecimalInt(text, line) && *line >= 0 && *line < kLineCount;
}

static std::string stateReply(int number) {
  const Line& line = g_lines[number];
  return "ok exported=" + std::to_string(line.exported ? 1 : 0) +
         " direction=" + (line.output ? "out" : "in") +
         " value=" + std::to_string(shownLevel(line)) + " edge=" + line.edge +
         " active_low=" + std::to_string(line.activeLow) + " reads=" + std::to_string(line.reads);
}

static std::string faultCommand(Line* line, const std::vector<std::string>& w) {
  Fault fault;
  size_t countAt = 0;
  if (w.size() == 3 && w[2] == "none") {
    line->fault = Fault();
    return "ok";
  } else if (w.size() >= 4 && (w[2] == "open" || w[2] == "read" || w[2] == "edge")) {
    fault.kind = w[2] == "open" ? kOpenFault : w[2] == "read" ? kReadFault : kEdgeFault;
    if (!errnoFromName(w[3], &fault.error)) return "error unknown errno name " + w[3];
    countAt = 4;
  } else if (w.size() >= 3 && w[2] == "short") {
    fault.kind = kShortFault;
    countAt = 3;
  } else {
    return "error usage: fault LINE open|read|edge ERRNO_NAME [COUNT] | short [COUNT] | none";
  }
  if (w.size() > countAt + 1) return "error too many words";
  if (w.size() == countAt + 1 && (!parseDecimalInt(w[countAt], &fault.remaining) || fault.remaining <= 0)) {
    return "error COUNT must be a positive integer";
  }
  line->fault = fault;
  return "ok";
}

// Runs one control command and returns its reply line.
static std::string runCommand(const std::string& commandLine) {
  const std::vector<std::string> w = splitWords(commandLine);
  if (w.empty()) return "error empty command";
  std::lock_guard<std::mutex> lock(g_lock);
  if (w[0] == "written") {
    if (w.size() != 2) return "error usage: written PATH";
    auto it = g_written.find(w[1][0] == '/' ? w[1].substr(1) : w[1]);
    return it == g_written.end() ? "ok" : "ok " + hexBytes(it->second);
  }
  int number = -1;
  if (w.size() < 2 || !parseLineNumber(w[1], &number)) {
    return "error usage: " + w[0] + " LINE ... (LINE 0.." + std::to_string(kLineCount - 1) + ")";
  }
  Line& line = g_lines[number];
  if (w[0] == "wave") {
    Wave wave;
    std::string error;
    const int64_t start = monotonicNs();
    if (!parseWave(std::vector<std::string>(w.begin() + 2, w.end()), start, &wave, &error)) {
      return "error " + error;
    }
    // A new wave that starts at another level is a change of its own.
    countEdges(&line, start);
    const int before = waveLevel(line.wave, start);
    line.wave = wave;
    const int after = waveLevel(wave, start);
    if (after != before && (reportedEdges(line) & (after ? kEdgeRising : kEdgeFalling))) ++line.events;
    g_pollersChanged.notify_one();
    return "ok start=" + std::to_string(start);
  }
  if (w[0] == "changes") {
    int64_t from = 0, to = 0;
    if (w.size() != 4 || !parseDecimalInt64(w[2], &from) || !parseDecimalInt64(w[3], &to)) {
      return "error usage: changes LINE FROM_NS TO_NS";
    }
    return "ok " + std::to_string(waveChanges(line.wave, from, to));
  }
  if (w[0] == "fault") return faultCommand(&line, w);
  if (w[0] == "export" || w[0] == "unexport") {
    if (w.size() != 2) return "error usage: " + w[0] + " LINE";
    int result = exportLine(w[1], w[0] == "export");
    g_pollersChanged.notify_one();
    return result < 0 ? errorReply(result) : "ok";
  }
  if (w[0] == "state") {
    if (w.size() != 2) return "error usage: state LINE";
    return stateReply(number);
  }
  return "error unknown command " + w[0];
}

static bool sendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One client connection: a reply line for every command line.
static void* serveClient(void* arg) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  std::string pending;
  char buf[512];
  while (true) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t newline;
    bool ok = true;
    while (ok && (newline = pending.find('\n')) != std::string::npos) {
      const std::string command = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      ok = sendAll(fd, runCommand(command) + "\n");
    }
    if (!ok || pending.size() > 65536) break;
  }
  close(fd);
  return nullptr;
}

static void* acceptClients(void* arg) {
  const int listener = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  while (true) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) continue;
      return nullptr;
    }
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attr, serveClient, reinterpret_cast<void*>(static_cast<intptr_t>(fd))) != 0) {
      close(fd);
    }
    pthread_attr_destroy(&attr);
  }
}

// Listens on path; the socket exists before the mount, so a client that
// sees the mounted files can talk to us at once. -1 on failure.
static int listenControl(const std::string& path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "gpio_sim: socket path too long: %s\n", path.c_str());
    return -1;
  }
  strcpy(addr.sun_path, path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    perror("gpio_sim: socket");
    return -1;
  }
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    fprintf(stderr, "gpio_sim: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

static bool parseArguments(int argc, char** argv, std::string* mountpoint, std::string* socketPath) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--control" && i + 1 < argc) {
      *socketPath = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && mountpoint->empty()) {
      *mountpoint = arg;
    } else {
      return false;
    }
  }
  return !mountpoint->empty() && !socketPath->empty();
}

int main(int argc, char** argv) {
  std::string mountpoint;
  if (!parseArguments(argc, argv, &mountpoint, &g_socketPath)) {
    fprintf(stderr, "usage: gpio_sim MOUNTPOINT --control SOCKET\n");
    return 2;
  }
  g_mountTime = time(nullptr);
  const int listener = listenControl(g_socketPath);
  if (listener < 0) return 1;
  // The control threads (and the client threads they start) keep the stop
  // signals blocked: the FUSE loop only notices a signal that lands on one
  // of its own threads.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  pthread_t acceptor;
  const int started = pthread_create(&acceptor, nullptr, acceptClients,
                                     reinterpret_cast<void*>(static_cast<intptr_t>(listener)));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started != 0) {
    fprintf(stderr, "gpio_sim: cannot start the control thread\n");
    return 1;
  }

  struct fuse_lowlevel_ops ops;
  memset(&ops, 0, sizeof ops);
  ops.lookup = simLookup;
  ops.getattr = simGetattr;
  ops.setattr = simSetattr;
  ops.readdir = simReaddir;
  ops.open = simOpen;
  ops.read = simRead;
  ops.write = simWrite;
  ops.release = simRelease;
  ops.poll = simPoll;

  char arg0[] = "gpio_sim";
  char optFlag[] = "-o";
  char options[] = "fsname=gpio_sim,subtype=gpio_sim";
  char* fuseArgv[] = {arg0, optFlag, options, nullptr};
  struct fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
  int status = 1;
  struct fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  // Handlers first: a stop signal that comes right after the mount still
  // ends in a clean unmount.
  // The notifier keeps the stop signals blocked too.
  pthread_t notifier;
  bool notifying = false;
  if (session != nullptr) {
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    notifying = pthread_create(&notifier, nullptr, notifyPollers, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  if (session == nullptr || !notifying || fuse_set_signal_handlers(session) != 0) {
    fprintf(stderr, "gpio_sim: cannot set up the file system\n");
  } else {
    if (fuse_session_mount(session, mountpoint.c_str()) != 0) {
      fprintf(stderr, "gpio_sim: cannot mount at %s\n", mountpoint.c_str());
    } else {
      // The sysfs interface serves many processes at once: one worker per
      // pending request. The loop reports the signal that ended it as a
      // positive number.
      struct fuse_loop_config* loop = fuse_loop_cfg_create();
      status = fuse_session_loop_mt(session, loop) < 0 ? 1 : 0;
      fuse_loop_cfg_destroy(loop);
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  // The notifier uses the session: end it first.
  if (notifying) {
    {
      std::lock_guard<std::mutex> lock(g_lock);
      g_stopping = true;
      g_pollersChanged.notify_one();
    }
    pthread_join(notifier, nullptr);
  }
  for (auto& open : g_opens) {
    if (open.second.pollHandle) fuse_pollhandle_destroy(open.second.pollHandle);
  }
  g_opens.clear();
  if (session != nullptr) fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  close(listener);
  unlink(g_socketPath.c_str());
  return status;
}

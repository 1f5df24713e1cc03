// What a test can see of a running child from outside: its open
// descriptors, the processor time it has used, and how it ended.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "process.h"

// Entries in /proc/<pid>/fd, or -1 when the process is gone.
inline int openDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!dir) return -1;
  int n = 0;
  while (struct dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

// Descriptors of the process whose target starts with prefix.
inline int descriptorsInto(pid_t pid, const std::string& prefix) {
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fdDir.c_str());
  if (!dir) return -1;
  int n = 0;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char target[256];
    ssize_t size = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (size > 0 && std::string(target, size).compare(0, prefix.size(), prefix) == 0) ++n;
  }
  closedir(dir);
  return n;
}

// The test may run with the interrupt ignored (a background job inherits
// that, and so would every child): give children the console's default.
inline void defaultStopSignals() {
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
}

// User plus system time of the process so far, in seconds; -1 when gone.
inline double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks; the fields after it are plain.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int k = 3; k < 14; ++k) fields >> skip;  // state .. cmajflt
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// Processor seconds the child used over about one second of wall time,
// reading its output meanwhile so a full pipe cannot stall it.
inline double cpuOverOneSecond(Child* child) {
  const double before = cpuSeconds(child->pid);
  const double began = nowSeconds();
  while (nowSeconds() - began < 1.0) pumpOutput(child, 0.05);
  const double after = cpuSeconds(child->pid);
  if (before < 0 || after < 0) return -1;
  return (after - before) / (nowSeconds() - began);
}

// A waiting program uses a few milliseconds per second; a spinning one a
// whole core, or half of one on a busy machine.
const double kSpinShare = 0.25;

// How the child ended, for failure messages.
inline std::string endOf(const Child& child) {
  if (!child.exited) return "still running";
  if (WIFEXITED(child.status)) return "exit " + std::to_string(WEXITSTATUS(child.status));
  if (WIFSIGNALED(child.status))
    return std::string("killed by ") + strsignal(WTERMSIG(child.status)) +
           (WCOREDUMP(child.status) ? " (core dumped)" : "");
  return "status " + std::to_string(child.status);
}

inline bool killedBy(const Child& child, int sig) {
  return child.exited && WIFSIGNALED(child.status) && WTERMSIG(child.status) == sig &&
         !WCOREDUMP(child.status);
}

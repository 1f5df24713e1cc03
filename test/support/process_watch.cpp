// What /proc shows of a running process; see process_watch.h.
#include "process_watch.h"

#include <dirent.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

std::vector<std::string> openDescriptors(pid_t pid) {
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
  std::vector<std::string> targets;
  DIR* dir = opendir(fdDir.c_str());
  if (dir == nullptr) return targets;
  while (const struct dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char target[4096];
    ssize_t n = readlink((fdDir + e->d_name).c_str(), target, sizeof target - 1);
    // Closed between the listing and the look.
    if (n <= 0) continue;
    targets.push_back(std::string(target, static_cast<size_t>(n)));
  }
  closedir(dir);
  return targets;
}

int openDescriptorCount(pid_t pid) {
  if (access(("/proc/" + std::to_string(pid) + "/fd").c_str(), F_OK) != 0) return -1;
  return static_cast<int>(openDescriptors(pid).size());
}

int descriptorsInto(pid_t pid, const std::string& prefix) {
  int n = 0;
  for (const std::string& target : openDescriptors(pid)) {
    if (target.compare(0, prefix.size(), prefix) == 0) ++n;
  }
  return n;
}

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return -1;
  // The command name may hold blanks; the fields after it do not.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int k = 3; k < 14; ++k) fields >> skip;  // state .. cmajflt
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

double cpuOverOneSecond(Child* child) {
  const double before = cpuSeconds(child->pid);
  const double began = nowSeconds();
  while (nowSeconds() - began < 1.0) pumpOutput(child, 0.05);
  const double after = cpuSeconds(child->pid);
  if (before < 0 || after < 0) return -1;
  return (after - before) / (nowSeconds() - began);
}

bool catchesSignals(pid_t pid, const std::vector<int>& sigs) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 7, "SigCgt:") != 0) continue;
    unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    for (int sig : sigs) {
      if ((mask & (1ULL << (sig - 1))) == 0) return false;
    }
    return true;
  }
  return false;
}

void defaultStopSignals() {
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
}

std::string endOf(const Child& child) {
  if (!child.exited) return "still running";
  if (WIFEXITED(child.status)) return "exit " + std::to_string(WEXITSTATUS(child.status));
  if (WIFSIGNALED(child.status))
    return std::string("killed by ") + strsignal(WTERMSIG(child.status)) +
           (WCOREDUMP(child.status) ? " (core dumped)" : "");
  return "status " + std::to_string(child.status);
}

bool killedBy(const Child& child, int sig) {
  return child.exited && WIFSIGNALED(child.status) && WTERMSIG(child.status) == sig &&
         !WCOREDUMP(child.status);
}

// Child process handling for the tests; see process.h.
#include "process.h"

#include <dirent.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

namespace {

// Pids of children not yet reaped; written by start/reap, read at exit.
std::mutex g_childrenLock;
std::set<pid_t> g_children;
bool g_atexitRegistered = false;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void forget(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_childrenLock);
  g_children.erase(pid);
}

void reap(Child* child, bool block) {
  if (child->exited || child->pid <= 0) return;
  int status = 0;
  pid_t r = waitpid(child->pid, &status, block ? 0 : WNOHANG);
  if (r == child->pid) {
    child->exited = true;
    child->status = status;
    forget(child->pid);
  }
}

// Reads what is available on fd into text without blocking; false at EOF.
bool drain(int fd, std::string* text) {
  char buf[4096];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      text->append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EINTR;
  }
}

// True when path is an AArch64 program: run on another machine, it goes
// through the emulator named by PELMORA_EXEC_WRAPPER (the board's tests
// under qemu-user), since the kernel there has no binfmt handler for it.
bool isAarch64Program(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  Elf64_Ehdr header;
  ssize_t n = read(fd, &header, sizeof header);
  close(fd);
  return n == static_cast<ssize_t>(sizeof header) && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_machine == EM_AARCH64;
}

std::vector<std::string> withEmulator(const std::vector<std::string>& argv) {
  const char* wrapper = getenv("PELMORA_EXEC_WRAPPER");
  if (!wrapper || !*wrapper || argv.empty() || !isAarch64Program(argv[0])) return argv;
  // The emulator must get the program's own path: its /proc/self/exe is itself.
  char* real = realpath(argv[0].c_str(), nullptr);
  std::vector<std::string> wrapped = {wrapper, real ? real : argv[0]};
  free(real);
  wrapped.insert(wrapped.end(), argv.begin() + 1, argv.end());
  return wrapped;
}

}  // namespace

std::string programDir() {
  const char* bin = getenv("SIMBOARD_BIN");
  return bin && *bin ? bin : PELMORA_BIN_DIR;
}

std::string programPath(const std::string& name) { return programDir() + "/" + name; }

void killAllChildren() {
  std::set<pid_t> pids;
  {
    std::lock_guard<std::mutex> lock(g_childrenLock);
    pids.swap(g_children);
  }
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool startChild(Child* child, const std::vector<std::string>& programArgv, const std::string& cwd,
                const std::vector<std::string>& env, std::string* error, InputMode input) {
  const std::vector<std::string> argv = withEmulator(programArgv);
  if (!g_atexitRegistered) {
    g_atexitRegistered = true;
    std::atexit(killAllChildren);
  }
  int inPipe[2], outPipe[2], errPipe[2], execPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC) ||
      pipe2(execPipe, O_CLOEXEC)) {
    if (error) *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    if (error) *error = std::string("fork: ") + strerror(errno);
    return false;
  }
  if (pid == 0) {
    // Die with the test, so nothing outlives a crashed test program.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(inPipe[0], 0);
    if (input == kNonBlockingInput) fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    if (input == kClosedInput || input == kClosedStreams) close(0);
    if (input == kClosedOutput || input == kClosedStreams) {
      close(1);
      close(2);
    }
    signal(SIGPIPE, SIG_DFL);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
      int e = errno;
      (void)!write(execPipe[1], &e, sizeof e);
      _exit(127);
    }
    for (const std::string& kv : env) putenv(strdup(kv.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    int e = errno;
    (void)!write(execPipe[1], &e, sizeof e);
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  close(execPipe[1]);
  int execErrno = 0;
  ssize_t n;
  do {
    n = read(execPipe[0], &execErrno, sizeof execErrno);
  } while (n < 0 && errno == EINTR);
  close(execPipe[0]);
  *child = Child();
  child->pid = pid;
  child->in = inPipe[1];
  child->out = outPipe[0];
  child->err = errPipe[0];
  fcntl(child->out, F_SETFL, O_NONBLOCK);
  fcntl(child->err, F_SETFL, O_NONBLOCK);
  {
    std::lock_guard<std::mutex> lock(g_childrenLock);
    g_children.insert(pid);
  }
  if (n > 0) {
    if (error) *error = "cannot start " + argv[0] + ": " + strerror(execErrno);
    waitExit(child, 5);
    return false;
  }
  return true;
}

bool writeInput(Child* child, const std::string& text) {
  if (child->in < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(child->in, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void closeInput(Child* child) {
  if (child->in >= 0) close(child->in);
  child->in = -1;
}

namespace {

// True when a thread of pid sleeps in a pipe read (the kernel's wait
// channel names it: pipe_read, anon_pipe_read, pipe_wait), or when its one
// thread that is not parked on a futex sleeps in poll: a console reader that
// waits in ppoll for its input (and for the stop signals) before each read
// has nothing else to wait on. Threads on a futex are not the program's
// own waits for input (qemu-user adds one such thread to every program).
bool readingAPipe(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return false;
  bool reading = false;
  int unparked = 0;
  bool polling = false;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + e->d_name + "/wchan");
    std::string channel;
    std::getline(in, channel);
    if (channel.find("pipe_read") != std::string::npos || channel.find("pipe_wait") != std::string::npos)
      reading = true;
    if (channel.find("futex") == std::string::npos) ++unparked;
    polling = polling || channel.find("poll") != std::string::npos;
  }
  closedir(dir);
  return reading || (unparked == 1 && polling);
}

}  // namespace

bool waitInputTaken(Child* child, double seconds) {
  return waitUntil([&] {
    int unread = -1;
    pumpOutput(child, 0);
    return child->in >= 0 && ioctl(child->in, FIONREAD, &unread) == 0 && unread == 0 &&
           readingAPipe(child->pid);
  }, seconds);
}

void pumpOutput(Child* child, double seconds) {
  const double deadline = nowSeconds() + seconds;
  while (child->out >= 0 || child->err >= 0) {
    struct pollfd fds[2] = {{child->out, POLLIN, 0}, {child->err, POLLIN, 0}};
    double left = deadline - nowSeconds();
    int r = poll(fds, 2, left > 0 ? static_cast<int>(left * 1000) : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (fds[0].revents && !drain(child->out, &child->outText)) {
      close(child->out);
      child->out = -1;
    }
    if (fds[1].revents && !drain(child->err, &child->errText)) {
      close(child->err);
      child->err = -1;
    }
    if (nowSeconds() >= deadline) break;
  }
}

bool waitForOutput(Child* child, const std::string& needle, double seconds, bool fromErr) {
  const double deadline = nowSeconds() + seconds;
  while (true) {
    const std::string& text = fromErr ? child->errText : child->outText;
    if (text.find(needle) != std::string::npos) return true;
    double left = deadline - nowSeconds();
    if (left <= 0) return false;
    if (child->out < 0 && child->err < 0) return false;
    pumpOutput(child, left < 0.05 ? left : 0.05);
  }
}

bool waitExit(Child* child, double seconds) {
  const double deadline = nowSeconds() + seconds;
  while (true) {
    pumpOutput(child, 0);
    reap(child, false);
    if (child->exited) {
      pumpOutput(child, 0.2);
      return true;
    }
    if (nowSeconds() >= deadline) return false;
    pumpOutput(child, 0.01);
  }
}

int exitCode(const Child& child) {
  if (!child.exited || !WIFEXITED(child.status)) return -1;
  return WEXITSTATUS(child.status);
}

void stopChild(Child* child, int sig, double seconds) {
  if (child->pid <= 0) return;
  if (!child->exited) {
    kill(child->pid, sig);
    if (!waitExit(child, seconds)) {
      kill(child->pid, SIGKILL);
      reap(child, true);
    }
  }
  closeInput(child);
  if (child->out >= 0) close(child->out);
  if (child->err >= 0) close(child->err);
  child->out = child->err = -1;
}

std::string makeTempDir(const std::string& prefix) {
  std::string pattern = prefix + ".XXXXXX";
  return mkdtemp(&pattern[0]) ? pattern : "";
}

void removeTree(const std::string& dir) {
  if (!dir.empty()) nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

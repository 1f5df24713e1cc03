// gpio_sim_ctl: sends one command to a running gpio_sim and prints its
// reply; exit status 0 when the reply starts with "ok", 1 otherwise.
//
//   gpio_sim_ctl SOCKET command words...
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

// How long to wait for the stand-in's reply before giving up.
static const int kReplyTimeoutMs = 5000;

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: gpio_sim_ctl SOCKET command words...\n");
    return 2;
  }
  std::string command;
  for (int i = 2; i < argc; ++i) command += std::string(i > 2 ? " " : "") + argv[i];
  command += "\n";

  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(argv[1]) >= sizeof addr.sun_path) {
    fprintf(stderr, "gpio_sim_ctl: socket path too long\n");
    return 1;
  }
  strcpy(addr.sun_path, argv[1]);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    fprintf(stderr, "gpio_sim_ctl: cannot connect to %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(command.size())) {
    fprintf(stderr, "gpio_sim_ctl: cannot send: %s\n", strerror(errno));
    return 1;
  }
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, kReplyTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      fprintf(stderr, "gpio_sim_ctl: no reply\n");
      return 1;
    }
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      fprintf(stderr, "gpio_sim_ctl: connection closed without a reply\n");
      return 1;
    }
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  reply.resize(reply.find('\n'));
  printf("%s\n", reply.c_str());
  return reply.compare(0, 2, "ok") == 0 ? 0 : 1;
}

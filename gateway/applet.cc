// applet.cc - the applet's side of the gateway protocol, on the command line.
//
//   applet [-H host] [-p port] [-t seconds] REQUEST...
//   applet [-H host] [-p port] [-t seconds] -f FILE     (one request per line; - for stdin)
//
// Sends each request as one datagram and prints each reply on a line of its own. Exits 0 when
// every request was answered, 1 when one was not (after the time-out), 2 for bad usage.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "handles.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: applet [-H host] [-p port] [-t seconds] REQUEST...\n"
               "       applet [-H host] [-p port] [-t seconds] -f FILE\n"
               "Sends each request (such as openSnmpSession#127.0.0.1:161, getSnmpData#N#OID,\n"
               "getIpAddress#N#OID, getHostName, closeSession#N) to the gateway (default\n"
               "127.0.0.1 port 8088) and prints each reply. -f reads one request per line\n"
               "from FILE (- for standard input). Default time-out: 15 seconds.\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::string host = "127.0.0.1";
  std::string port = "8088";
  double timeout = 15.0;
  std::string file;
  int opt;
  while ((opt = getopt(argc, argv, "H:p:t:f:h")) != -1) {
    switch (opt) {
      case 'H':
        host = optarg;
        break;
      case 'p':
        port = optarg;
        break;
      case 't':
        timeout = std::atof(optarg);
        break;
      case 'f':
        file = optarg;
        break;
      default:
        usage();
        return opt == 'h' ? 0 : 2;
    }
  }
  std::vector<std::string> requests(argv + optind, argv + argc);
  if (!file.empty()) {
    std::ifstream in;
    std::istream *src = &std::cin;
    if (file != "-") {
      in.open(file);
      if (!in) {
        std::fprintf(stderr, "applet: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return 2;
      }
      src = &in;
    }
    for (std::string line; std::getline(*src, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      requests.push_back(line);
    }
  }
  if (requests.empty() || timeout <= 0) {
    usage();
    return 2;
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *res = nullptr;
  if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res); rc != 0) {
    std::fprintf(stderr, "applet: %s port %s: %s\n", host.c_str(), port.c_str(), gai_strerror(rc));
    return 2;
  }
  sockaddr_in gateway{};
  std::memcpy(&gateway, res->ai_addr, sizeof gateway);
  freeaddrinfo(res);

  UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0 || connect(fd.get(), reinterpret_cast<sockaddr *>(&gateway), sizeof gateway)) {
    std::fprintf(stderr, "applet: socket: %s\n", std::strerror(errno));
    return 2;
  }
  int status = 0;
  for (const std::string &request : requests) {
    if (send(fd.get(), request.data(), request.size(), 0) < 0) {
      std::fprintf(stderr, "applet: send: %s\n", std::strerror(errno));
      return 1;
    }
    pollfd pfd{fd.get(), POLLIN, 0};
    int ready;
    do {
      ready = poll(&pfd, 1, static_cast<int>(timeout * 1000));
    } while (ready < 0 && errno == EINTR);
    char reply[65536];
    ssize_t n = ready > 0 ? recv(fd.get(), reply, sizeof reply, 0) : -1;
    if (n < 0) {
      std::fprintf(stderr, "applet: no reply from %s port %s within %g s to: %s\n", host.c_str(),
                   port.c_str(), timeout, request.c_str());
      status = 1;
      continue;
    }
    std::fwrite(reply, 1, static_cast<size_t>(n), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  return status;
}

// two_hosts.h - test support: a management station and a remote console as two hosts.
//
// Each host is a network, a UTS (so it has a host name of its own) and a mount namespace,
// held open by a small child process of the test; the two are joined by a veth pair with the
// addresses 198.51.100.1 (station) and 198.51.100.2 (console). Programs run inside a host
// through nsenter, which keeps their PID, so kt::Process stops them as usual. Everything is
// torn down with the holder processes: nothing is left behind, also after a crash (the holders
// die with the test process).
//
// Where namespaces can't be made, both hosts are this machine: the station is 127.0.0.1, the
// console 127.0.0.2, and both have the machine's host name (separate() tells which).
#ifndef KESTARA_TESTS_SUPPORT_TWO_HOSTS_H
#define KESTARA_TESTS_SUPPORT_TWO_HOSTS_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace kt {

class Host {
 public:
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  const std::string &hostName() const { return host_name_; }
  const std::string &address() const { return address_; }
  // argv (argv[0] a path) wrapped so that it runs inside this host, under the same PID.
  std::vector<std::string> command(std::vector<std::string> argv) const;
  // Starts a program inside this host.
  Process start(std::vector<std::string> argv, const Env &env = {}) const;
  // Hides the folder `path` from the programs of this host (an empty file system over it, in
  // the host's own mounts), so that they can reach what is there only over the network. False
  // when that can't be done (the hosts are not separate).
  bool hide(const std::string &path) const;
  // A UDP socket inside this host, bound to its address and a free port.
  std::unique_ptr<UdpClient> udpClient() const;

 private:
  friend class TwoHosts;
  Host() = default;
  pid_t holder_ = -1;  // the process that keeps the namespaces; -1 on the machine itself
  std::string host_name_;
  std::string address_;
};

class TwoHosts {
 public:
  // Makes the station and the console with the given host names (used only when the hosts
  // are separate).
  static std::unique_ptr<TwoHosts> create(const std::string &stationName = "station",
                                          const std::string &consoleName = "console");
  bool separate() const { return separate_; }
  // Takes the link between the hosts down (a partition: what is sent is lost, nothing is
  // refused) or up again; false when that can't be done (the hosts are not separate).
  bool setLink(bool up) const;
  const Host &station() const { return *station_; }
  const Host &console() const { return *console_; }

 private:
  std::unique_ptr<Host> station_;
  std::unique_ptr<Host> console_;
  bool separate_ = false;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_TWO_HOSTS_H

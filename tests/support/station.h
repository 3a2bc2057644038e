// station.h - test support: a management station of the test's own: an object database, the SNMP
// client configuration of its programs, the address where their node events arrive and a process
// manager's notify socket; its programs are started with all of these.
#ifndef KESTARA_TESTS_SUPPORT_STATION_H
#define KESTARA_TESTS_SUPPORT_STATION_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notify_socket.h"
#include "process.h"
#include "test_database.h"

namespace kt {

struct StationOptions {
  std::string version = "2c";                 // SNMP version of the programs' sessions
  std::chrono::milliseconds timeout = 300ms;  // each try's time-out
  int retries = 0;                            // tries after the first
  bool defineField = true;                    // isKestaraDevice defined (`ovw -fields`)
  std::string folder = "";                    // the database's folder; empty: one of its own
};

class Station {
 public:
  explicit Station(StationOptions options = {});
  Station(const Station &) = delete;
  Station &operator=(const Station &) = delete;

  TestDatabase &db() { return db_; }
  const TestDatabase &db() const { return db_; }
  // The folder of the programs' snmp.conf (SNMPCONFPATH), for hosts/NAME.conf files.
  const TempDir &conf() const { return conf_; }
  // Node events (the database tool's, and traps sent by tests) go to this loopback port.
  uint16_t eventPort() const { return eventPort_; }
  std::string eventPeer() const { return "127.0.0.1:" + std::to_string(eventPort_); }
  // The process manager's side: NOTIFY_SOCKET of the programs started with managed().
  NotifySocket &notify() { return notify_; }

  // The programs' environment: the client configuration, the database and the event address,
  // then `extra`; a later entry for a name overrides an earlier one.
  Env env(const Env &extra = {}) const;
  // `extra` with NOTIFY_SOCKET: the program runs under process management.
  Env managed(Env extra = {}) const;
  // Sets this process's own environment to env(): for tests that run the programs' shared
  // code in-process.
  void exportEnv() const;

  // Starts build/bin/PROGRAM with `args` in the station's environment.
  std::unique_ptr<Process> start(const std::string &program, std::vector<std::string> args = {},
                                 const Env &extra = {}) const;
  // Runs it to its end.
  RunResult run(const std::string &program, std::vector<std::string> args = {},
                const Env &extra = {}, std::chrono::milliseconds timeout = 60s) const;

 private:
  TestDatabase db_;
  TempDir conf_;
  uint16_t eventPort_ = 0;
  NotifySocket notify_;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_STATION_H

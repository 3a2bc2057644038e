// postgres.h - test support: a PostgreSQL server of the test's own.
//
// The server is Debian's (the newest under /usr/lib/postgresql), made with initdb in a
// temporary folder and run as an unprivileged user when the test runs as root (the server
// refuses to run as root). It listens on a loopback address of the test's own network and on
// a socket in its folder, trusts every local connection, and keeps nothing: fsync is off.
#ifndef KESTARA_TESTS_SUPPORT_POSTGRES_H
#define KESTARA_TESTS_SUPPORT_POSTGRES_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

namespace kt {

class Host;

class PostgresServer {
 public:
  struct Options {
    // The server's TCP address: a loopback address of the test's network, or a host's address.
    std::string address = "127.0.0.1";
    // The host the server runs in (its network and mounts); null: the test's own.
    const Host *host = nullptr;
    // Extra server settings, each "name=value" (given to the server as -c name=value).
    std::vector<std::string> settings;
    // The folder that holds the server's own (its cluster and socket); empty: a temporary one.
    std::string parent;
  };

  // Why no server can be started here (no server binaries, or root without setpriv); empty
  // when one can. Tests skip themselves with this reason.
  static std::string unavailable();

  // Makes the cluster, starts the server and waits until it accepts connections; nothing
  // (with the reason in `why`) when it could not.
  static std::unique_ptr<PostgresServer> start(const Options &options, std::string &why);
  static std::unique_ptr<PostgresServer> start(std::string &why) { return start({}, why); }
  ~PostgresServer();
  PostgresServer(const PostgresServer &) = delete;
  PostgresServer &operator=(const PostgresServer &) = delete;

  // A connection URI for `database` as the cluster's owner, "kestara", over TCP.
  std::string uri(const std::string &database = "kestara") const;
  // The same with the server's socket folder as a second host: a program that can't reach the
  // TCP address (a host's program, or the test itself when the server runs in a host) connects
  // through the socket, unless its host hides the folder.
  std::string location(const std::string &database = "kestara") const;
  // The server's folder (its socket; the cluster in "data").
  const std::string &folder() const;
  const std::string &address() const { return address_; }
  uint16_t port() const { return port_; }
  pid_t pid() const { return server_ ? server_->pid() : -1; }

  // Creates an empty database; false (with the server's message in `why`) when it failed.
  bool createDatabase(const std::string &name, std::string &why) const;
  // Runs one SQL command in `database` as the owner; its first row's first value, or
  // nothing (with the message in `why`) when it failed.
  std::optional<std::string> query(const std::string &sql, std::string &why,
                                   const std::string &database = "kestara") const;

  // Fast shutdown (clients are disconnected); true when the server ended in time.
  bool stop();
  // Starts the stopped server again on the same port and waits until it is ready.
  bool restart(std::string &why);
  bool running() const { return server_ != nullptr; }
  std::string log() const;
  // The conninfo of a connection through the server's socket alone (on the same machine).
  std::string localConnection(const std::string &database) const;

 private:
  PostgresServer() = default;
  bool launch(std::string &why);

  std::unique_ptr<TempDir> dir_;
  std::string bin_;   // the folder of the server's programs
  std::string data_;  // the cluster
  std::string address_;
  const Host *host_ = nullptr;
  uint16_t port_ = 0;
  std::vector<std::string> settings_;
  std::unique_ptr<Process> server_;
};

// The server that every test of a test binary may share (such as the tests that run once per
// store back end): started when first asked for, started again when a test stopped it, stopped
// when the binary ends. Nothing (with the reason in `why`) when no server can run here.
PostgresServer *sharedPostgres(std::string &why);

// A test suite that shares one server: started before its first test (each test skips itself
// with the reason when none can be), started again before a test when an earlier one stopped it,
// and stopped after the last.
class PostgresSuite : public testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  static PostgresServer &server() { return *server_; }

 private:
  static PostgresServer *server_;
  static std::string *why_;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_POSTGRES_H

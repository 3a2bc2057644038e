// test_database.h - test support: an object database of the test's own, filled with the `ovw`
// tool as an operator would.
#ifndef KESTARA_TESTS_SUPPORT_TEST_DATABASE_H
#define KESTARA_TESTS_SUPPORT_TEST_DATABASE_H

#include <optional>
#include <string>
#include <vector>

#include "OVw.h"
#include "process.h"

namespace kt {

class PostgresServer;

// Whether the test's databases are PostgreSQL ones (KT_DATABASE=postgresql: ctest runs the
// system tests once per back end) rather than SQLite files. KT_DATABASE=postgresql-socket (for
// the benchmarks) reaches the server through its socket folder instead of TCP.
bool onPostgres();

// Skips the test when it runs against PostgreSQL: for tests of what only a database file has.
#define KT_SQLITE_ONLY(why)                                         \
  do {                                                              \
    if (kt::onPostgres()) GTEST_SKIP() << "SQLite only: " << (why); \
  } while (0)

class TestDatabase {
 public:
  // A fresh database in a folder of its own; `defineField` registers isKestaraDevice
  // (`ovw -fields`).
  explicit TestDatabase(bool defineField = true) : TestDatabase("", defineField) {}
  // The same in `folder` (a file system the test prepared; empty: a folder of its own). On
  // PostgreSQL, a new database on the test process's shared server (the folder is not used).
  explicit TestDatabase(const std::string &folder, bool defineField = true);
  // A new database on `server`, whatever the back end of the test's other databases.
  TestDatabase(const PostgresServer &server, bool defineField = true);

  // The location (OVW_DATABASE): a file path, or a PostgreSQL connection URI.
  const std::string &path() const { return path_; }
  // OVW_DATABASE, and OV_EVENT_ADDRESS pointing where the tool's node events are wanted
  // (by default a loopback port where nothing listens); with a source root (KESTARA_SRC), the
  // registration files of the source tree.
  Env env() const;
  void setEventAddress(const std::string &address) { eventAddress_ = address; }

  // Runs `ovw ARGS...` against this database.
  RunResult ovw(const std::vector<std::string> &args) const;
  // The same when it must succeed (a failure fails the test): its standard output without the
  // last newline.
  std::string ovwOutput(const std::vector<std::string> &args) const;

  // Adds a node (isNode set; isSNMPSupported as given) and returns its id, 0 on failure.
  OVwObjectId addNode(const std::string &hostName, const std::string &selectionName,
                      bool snmpSupported = true) const;
  // The same without the node event that `ovw add node` sends: nobody hears of the node.
  OVwObjectId addQuietNode(const std::string &hostName, const std::string &selectionName) const;
  // Adds one node per name (host and selection name alike) without node events; the ids in
  // order, fewer when one could not be added.
  std::vector<OVwObjectId> addNodes(const std::vector<std::string> &names) const;
  bool setFlag(OVwObjectId object, bool value) const;
  // A console's map session (`ovw start session`, `open map`) with a flagged node `name`
  // selected; the node's id, 0 on failure.
  OVwObjectId selectFlaggedNode(const std::string &name = "router7") const;
  // The node's isKestaraDevice, read with the tool; nothing when it can't be read.
  std::optional<bool> flag(OVwObjectId object) const;

 private:
  std::optional<TempDir> dir_;
  std::string path_;
  std::string eventAddress_ = "udp:127.0.0.1:9";
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_TEST_DATABASE_H

// main.cc - the main of every test binary: each test process gets a network of its own, and
// an object database of its own unless the test names one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "postgres.h"
#include "process.h"
#include "test_database.h"

namespace {

// With the PostgreSQL back end, the process's server starts before the first test; every test
// is skipped with the reason when none can run here.
class PostgresEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    kt::PostgresServer *server = kt::sharedPostgres(why);
    if (server == nullptr) GTEST_SKIP() << "no PostgreSQL server here: " << why;
    if (!server->createDatabase("scratch", why)) GTEST_SKIP() << why;
    setenv("OVW_DATABASE", server->location("scratch").c_str(), 0);
  }
};

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace here; tests share the host's loopback\n");
  }
  // A program started without OVW_DATABASE would use the station's database in
  // /var/lib/kestara: point it into this process's scratch folder (or server) instead. The
  // folder is static so that a process ending by exit() removes it too, as a death test's child
  // (a fresh run of this binary) does.
  static kt::TempDir scratch;
  if (kt::onPostgres()) {
    testing::AddGlobalTestEnvironment(new PostgresEnvironment);
  } else {
    setenv("OVW_DATABASE", scratch.file("ovw.db").c_str(), 0);
  }
  return RUN_ALL_TESTS();
}

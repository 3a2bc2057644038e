// store_backend_test.cc - the store a location names: an SQLite database file, or a database on
// a PostgreSQL server.
#include "store_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "OVw.h"
#include "ovw_test_util.h"
#include "schema.h"

namespace {

using kestara::ovw::openStore;
using ovwtest::OVwDbTest;

// A server that can't be reached is reported at once, by the library and the tool, and no file
// is made for a location that names a server.
TEST_F(OVwDbTest, AnUnreachablePostgresServerIsReportedPromptlyAndCreatesNothing) {
  for (const char *location : {"postgresql://kestara@127.0.0.1:1/ovw?connect_timeout=5",
                               "host=127.0.0.1 port=1 dbname=ovw connect_timeout=5"}) {
    SCOPED_TRACE(location);
    const auto start = std::chrono::steady_clock::now();
    auto store = openStore(location);
    ASSERT_FALSE(store);
    EXPECT_EQ(OVW_ERR_NO_DATABASE, store.error().code);
    EXPECT_NE(std::string::npos, store.error().detail.find("cannot connect to the database server"))
        << store.error().detail;
    EXPECT_LT(std::chrono::steady_clock::now() - start, kt::scaled(std::chrono::seconds(5)));
    setenv("OVW_DATABASE", location, 1);
    EXPECT_EQ(-1, OVwDbInit());
    EXPECT_EQ(OVW_ERR_NO_DATABASE, OVwError());
    kt::RunResult r = ovw({"--db", location, "list"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot connect to the database server")) << r.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

// A location that names a server opens its database there, with the tables made on first use.
TEST_F(OVwDbTest, PostgresLocationsOpenTheServersDatabase) {
  std::string why;
  kt::PostgresServer *server = kt::sharedPostgres(why);
  if (server == nullptr) GTEST_SKIP() << why;
  ASSERT_TRUE(server->createDatabase("opened", why)) << why;
  const std::string keywords = "host=" + server->address() +
                               " port=" + std::to_string(server->port()) +
                               " user=kestara dbname=opened";
  for (const std::string &location : {server->uri("opened"), keywords}) {
    SCOPED_TRACE(location);
    auto store = openStore(location);
    ASSERT_TRUE(store) << store.error().detail;
    EXPECT_EQ(location, (*store)->location());
    auto node = (*store)->fieldByName("isNode");
    ASSERT_TRUE(node) << node.error().detail;
    EXPECT_TRUE(node->has_value());
  }
  EXPECT_EQ(std::to_string(kestara::ovw::kSchemaVersion),
            server->query("SELECT version FROM ovw_identity", why, "opened").value_or(why));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

// A path is a file, whatever characters its folders have.
TEST_F(OVwDbTest, FilePathsOpenAnSqliteDatabase) {
  const std::string path = dir_.file("host=db.example/ovw.db");
  auto store = openStore(path);
  ASSERT_TRUE(store) << store.error().detail;
  EXPECT_EQ(path, (*store)->location());
  EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace

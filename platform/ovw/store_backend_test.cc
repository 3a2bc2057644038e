// store_backend_test.cc - the store a location names: an SQLite database file, or a PostgreSQL
// database, which this build refuses before it creates anything.
#include "store_backend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "OVw.h"
#include "ovw_test_util.h"

namespace {

using kestara::ovw::openStore;
using ovwtest::OVwDbTest;

TEST_F(OVwDbTest, PostgresLocationsAreRefusedByTheLibraryAndTheTool) {
  for (const char *location :
       {"postgresql://kestara@db.example/ovw", "postgres:///ovw", "host=db.example dbname=ovw"}) {
    SCOPED_TRACE(location);
    auto store = openStore(location);
    ASSERT_FALSE(store);
    EXPECT_EQ(OVW_ERR_NO_DATABASE, store.error().code);
    EXPECT_NE(std::string::npos,
              store.error().detail.find("PostgreSQL databases are not supported by this build"));
    setenv("OVW_DATABASE", location, 1);
    EXPECT_EQ(-1, OVwDbInit());
    EXPECT_EQ(OVW_ERR_NO_DATABASE, OVwError());
    kt::RunResult r = ovw({"--db", location, "list"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("not supported by this build")) << r.err;
  }
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

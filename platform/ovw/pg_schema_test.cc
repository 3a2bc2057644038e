// pg_schema_test.cc - the OVw schema on a PostgreSQL server: made once, upgraded, and a foreign
// or newer database refused and left as it is.
#include "pg_schema.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "postgres.h"

namespace {

using kestara::ovw::kSchemaVersion;
using kestara::ovw::pg::Connection;
using kestara::ovw::pg::openDatabase;
using kestara::ovw::pg::schemaVersion;

class PgSchemaTest : public kt::PostgresSuite {
 protected:
  void SetUp() override {
    kt::PostgresSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // A database of the test's own.
    name_ = std::string("t_") + testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char &c : name_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string why;
    ASSERT_TRUE(server().createDatabase(name_, why)) << why;
  }
  std::string uri() const { return server().uri(name_); }
  std::string query(const std::string &sql) const {
    std::string why;
    auto value = server().query(sql, why, name_);
    EXPECT_TRUE(value.has_value()) << why;
    return value.value_or("");
  }

  std::string name_;
};

TEST_F(PgSchemaTest, ANewDatabaseGetsTheSchemaOnce) {
  for (int open = 0; open < 2; ++open) {
    auto c = openDatabase(uri());
    ASSERT_TRUE(c.ok()) << c.error().detail;
    auto version = schemaVersion(**c);
    ASSERT_TRUE(version.ok());
    EXPECT_EQ(kSchemaVersion, *version);
  }
  EXPECT_EQ("2", query("SELECT count(*) FROM fields"));
  // Numbers are never handed out twice, even after the newest row is gone.
  const std::string first = query("INSERT INTO objects(hostname) VALUES ('a') RETURNING id");
  query("DELETE FROM objects");
  const std::string second = query("INSERT INTO objects(hostname) VALUES ('b') RETURNING id");
  EXPECT_LT(std::stoll(first), std::stoll(second));
  EXPECT_EQ("2", query("SELECT count(*) FROM fields"));
}

TEST_F(PgSchemaTest, AnOlderVersionIsBroughtUpToDate) {
  {
    auto c = openDatabase(uri(), 1);
    ASSERT_TRUE(c.ok()) << c.error().detail;
    EXPECT_EQ(1, *schemaVersion(**c));
  }
  query("INSERT INTO objects(hostname) VALUES ('kept')");
  auto c = openDatabase(uri());
  ASSERT_TRUE(c.ok()) << c.error().detail;
  EXPECT_EQ(kSchemaVersion, *schemaVersion(**c));
  EXPECT_EQ("kept", query("SELECT hostname FROM objects"));
  EXPECT_EQ("0", query("SELECT count(*) FROM attachments WHERE pid <> 0"));
}

TEST_F(PgSchemaTest, ForeignAndNewerDatabasesAreRefusedUntouched) {
  query("CREATE TABLE inventory (id INTEGER)");
  auto foreign = openDatabase(uri());
  ASSERT_FALSE(foreign.ok());
  EXPECT_EQ(OVW_ERR_NO_DATABASE, foreign.error().code);
  EXPECT_NE(std::string::npos, foreign.error().detail.find("not an OVw database"));
  EXPECT_EQ("1", query("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"));

  query("DROP TABLE inventory");
  ASSERT_TRUE(openDatabase(uri()).ok());
  query("UPDATE ovw_identity SET version = 99");
  const std::string tables = query("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'");
  auto newer = openDatabase(uri());
  ASSERT_FALSE(newer.ok());
  EXPECT_EQ(OVW_ERR_NO_DATABASE, newer.error().code);
  EXPECT_NE(std::string::npos, newer.error().detail.find("newer than this build"));
  EXPECT_EQ("99", query("SELECT version FROM ovw_identity"));
  EXPECT_EQ(tables, query("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"));
}

// Processes that open a new database at the same moment: each gets it, the schema is made once.
TEST_F(PgSchemaTest, SimultaneousOpenersMakeOneSchema) {
  constexpr int kOpeners = 6;
  std::atomic<int> ok{0};
  std::vector<std::string> errors(kOpeners);
  std::vector<std::thread> openers;
  for (int i = 0; i < kOpeners; ++i) {
    openers.emplace_back([&, i] {
      auto c = openDatabase(uri());
      if (c.ok()) {
        ++ok;
      } else {
        errors[static_cast<size_t>(i)] = c.error().detail;
      }
    });
  }
  for (std::thread &t : openers) t.join();
  EXPECT_EQ(kOpeners, ok.load()) << errors[0] << errors[1];
  EXPECT_EQ("2", query("SELECT count(*) FROM fields"));
  EXPECT_EQ("1", query("SELECT count(*) FROM ovw_identity"));
}

TEST_F(PgSchemaTest, UnreachableServerIsNoDatabase) {
  auto c = openDatabase("postgresql://kestara@127.0.0.1:1/none");
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(OVW_ERR_NO_DATABASE, c.error().code);
}

}  // namespace

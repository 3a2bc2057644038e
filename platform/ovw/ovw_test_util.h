// ovw_test_util.h - shared pieces of the OVw tests: a database per test (a file, or a database
// on the binary's PostgreSQL server), the `ovw` tool and the test peer as real processes.
#ifndef KESTARA_PLATFORM_OVW_TEST_UTIL_H
#define KESTARA_PLATFORM_OVW_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "OVw.h"
#include "PlatformFault.h"
#include "postgres.h"
#include "process.h"

namespace ovwtest {

using namespace std::chrono_literals;

// A database of its own for each test, named in OVW_DATABASE for this process and its children:
// an SQLite file in the test's folder, or (backend() "postgresql") a fresh database on the
// PostgreSQL server that the binary's tests share.
class OVwDbTest : public ::testing::Test {
 protected:
  virtual std::string backend() const { return "sqlite"; }
  bool onPostgres() const { return backend() == "postgresql"; }

  void SetUp() override {
    if (onPostgres()) {
      std::string why;
      server_ = kt::sharedPostgres(why);
      if (server_ == nullptr) GTEST_SKIP() << why;
      static int databases = 0;
      const std::string name =
          "ovw_" + std::to_string(getpid()) + "_" + std::to_string(++databases);
      ASSERT_TRUE(server_->createDatabase(name, why)) << why;
      db_path_ = server_->uri(name);
    } else {
      db_path_ = dir_.file("ovw.db");
    }
    setenv("OVW_DATABASE", db_path_.c_str(), 1);
    unsetenv("KESTARA_FAULTS");
    KestaraFaultClear();
  }
  void TearDown() override {
    OVwDbDone();
    KestaraFaultClear();
  }

  kt::Env env() const { return {{"OVW_DATABASE", db_path_}}; }

  // Runs `ovw ARGS...` to its end.
  kt::RunResult ovw(std::vector<std::string> args, kt::Env extra = {}) const {
    args.insert(args.begin(), kt::binPath("ovw"));
    kt::Env e = env();
    e.insert(e.end(), extra.begin(), extra.end());
    return kt::run(args, e, 20s);
  }

  // Runs `ovw ARGS...`, expecting success; returns its standard output.
  std::string ok(std::vector<std::string> args) const {
    kt::RunResult r = ovw(args);
    EXPECT_EQ(0, r.status) << "ovw failed: " << r.err;
    return r.out;
  }

  // `ovw add node HOST ...`: the new object id.
  uint32_t addNode(std::vector<std::string> args) const {
    args.insert(args.begin(), {"add", "node"});
    args.push_back("--no-trap");
    std::string out = ok(args);
    return static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10));
  }

  // The usual start: fields registered, the session "test:0" running with map "default" open.
  void startMap() const {
    ok({"-fields"});
    ok({"start", "session", kSession});
    ok({"open", "map", "--session", kSession});
  }

  // Starts the test peer attached to "test:0" and waits until it is ready.
  kt::Process startPeer(std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {OVW_TEST_PEER, "--session", kSession});
    kt::Process p = kt::Process::start(args, env());
    EXPECT_TRUE(p.waitForOutput("ready\n", 10s)) << p.output() << p.errors();
    return p;
  }

  static constexpr const char *kSession = "test:0";
  kt::TempDir dir_;
  std::string db_path_;
  kt::PostgresServer *server_ = nullptr;  // on PostgreSQL: the shared server
};

// The same tests on each store back end: TEST_P(OVwBackendTest, ...), with
// OVW_TESTS_ON_EVERY_BACKEND(OVwBackendTest) once in the file.
class OVwBackendTest : public OVwDbTest, public ::testing::WithParamInterface<const char *> {
 protected:
  std::string backend() const override { return GetParam(); }
};

inline std::string backendName(const ::testing::TestParamInfo<const char *> &info) {
  return info.param;
}

#define OVW_TESTS_ON_EVERY_BACKEND(Suite)                                              \
  INSTANTIATE_TEST_SUITE_P(Backends, Suite, ::testing::Values("sqlite", "postgresql"), \
                           ::ovwtest::backendName)

}  // namespace ovwtest

#endif  // KESTARA_PLATFORM_OVW_TEST_UTIL_H

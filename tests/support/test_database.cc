// test_database.cc - test support: an object database of the test's own, filled with `ovw`.
#include "test_database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "postgres.h"

namespace kt {

namespace {

// The text of a run for a failure message.
std::string describe(const RunResult &r) {
  return "status " + std::to_string(r.status) + ", out: " + r.out + ", err: " + r.err;
}

std::string trimmed(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  size_t end = text.find_last_not_of(" \t\r\n");
  return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// A database of its own on `server`; its location, or "" (the test fails) when it can't be made.
std::string newDatabase(const PostgresServer &server) {
  static std::atomic<int> made{0};
  const std::string name = "test" + std::to_string(++made);
  std::string why;
  if (!server.createDatabase(name, why)) {
    ADD_FAILURE() << "cannot create database " << name << ": " << why;
    return "";
  }
  // The benchmarks' other way to a server on the same machine: its socket folder alone.
  const char *backend = std::getenv("KT_DATABASE");
  if (backend != nullptr && std::strcmp(backend, "postgresql-socket") == 0) {
    return server.localConnection(name);
  }
  return server.location(name);
}

}  // namespace

bool onPostgres() {
  const char *backend = std::getenv("KT_DATABASE");
  return backend != nullptr && (std::strcmp(backend, "postgresql") == 0 ||
                                std::strcmp(backend, "postgresql-socket") == 0);
}

TestDatabase::TestDatabase(const std::string &folder, bool defineField) {
  if (onPostgres()) {
    std::string why;
    const PostgresServer *server = sharedPostgres(why);
    if (server == nullptr) {
      ADD_FAILURE() << "no PostgreSQL server: " << why;
    } else {
      path_ = newDatabase(*server);
    }
  } else {
    if (folder.empty()) dir_.emplace();
    path_ = (folder.empty() ? dir_->path() : folder) + "/ovw.db";
  }
  if (defineField) {
    RunResult r = ovw({"-fields"});
    EXPECT_EQ(0, r.status) << describe(r);
  }
}

TestDatabase::TestDatabase(const PostgresServer &server, bool defineField)
    : path_(newDatabase(server)) {
  if (defineField) {
    RunResult r = ovw({"-fields"});
    EXPECT_EQ(0, r.status) << describe(r);
  }
}

Env TestDatabase::env() const {
  Env env = {{"OVW_DATABASE", path_}, {"OV_EVENT_ADDRESS", eventAddress_}};
  // Without a source root the tool finds its registration files by itself.
  if (std::getenv("KESTARA_SRC") != nullptr) {
    env.emplace_back("OVW_REGISTRATION_DIR", srcPath("platform/ovw/registration"));
  }
  return env;
}

RunResult TestDatabase::ovw(const std::vector<std::string> &args) const {
  std::vector<std::string> argv = {binPath("ovw")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, env(), 60s);
}

std::string TestDatabase::ovwOutput(const std::vector<std::string> &args) const {
  RunResult r = ovw(args);
  EXPECT_EQ(0, r.status) << "ovw " << (args.empty() ? "" : args[0]) << ": " << describe(r);
  if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
  return r.out;
}

OVwObjectId TestDatabase::addNode(const std::string &hostName, const std::string &selectionName,
                                  bool snmpSupported) const {
  std::vector<std::string> args = {"add", "node"};
  if (!snmpSupported) args.push_back("--no-snmp");
  args.insert(args.end(), {"--", hostName, selectionName});
  RunResult r = ovw(args);
  if (r.status != 0) {
    ADD_FAILURE() << "ovw add node " << hostName << ": " << describe(r);
    return 0;
  }
  return static_cast<OVwObjectId>(std::strtoul(trimmed(r.out).c_str(), nullptr, 10));
}

OVwObjectId TestDatabase::addQuietNode(const std::string &hostName,
                                       const std::string &selectionName) const {
  RunResult r = ovw({"add", "node", "--no-trap", "--", hostName, selectionName});
  if (r.status != 0) {
    ADD_FAILURE() << "ovw add node " << hostName << ": " << describe(r);
    return 0;
  }
  return static_cast<OVwObjectId>(std::strtoul(trimmed(r.out).c_str(), nullptr, 10));
}

std::vector<OVwObjectId> TestDatabase::addNodes(const std::vector<std::string> &names) const {
  std::vector<OVwObjectId> ids;
  for (const std::string &name : names) {
    const OVwObjectId id = addQuietNode(name, name);
    if (id == 0) break;
    ids.push_back(id);
  }
  return ids;
}

bool TestDatabase::setFlag(OVwObjectId object, bool value) const {
  RunResult r =
      ovw({"set", "field", std::to_string(object), "isKestaraDevice", value ? "true" : "false"});
  EXPECT_EQ(0, r.status) << describe(r);
  return r.status == 0;
}

OVwObjectId TestDatabase::selectFlaggedNode(const std::string &name) const {
  ovwOutput({"start", "session"});
  ovwOutput({"open", "map"});
  const OVwObjectId node = addQuietNode(name, name);
  if (node == 0 || !setFlag(node, true)) return 0;
  ovwOutput({"select", std::to_string(node)});
  return node;
}

std::optional<bool> TestDatabase::flag(OVwObjectId object) const {
  RunResult r = ovw({"get", "field", std::to_string(object), "isKestaraDevice"});
  if (r.status != 0) return std::nullopt;
  std::string value = trimmed(r.out);
  if (value == "true") return true;
  if (value == "false") return false;
  return std::nullopt;
}

}  // namespace kt

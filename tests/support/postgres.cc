// postgres.cc - test support: a PostgreSQL server of the test's own.
#include "postgres.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "two_hosts.h"
#include "users.h"

namespace kt {

namespace {

namespace fs = std::filesystem;

constexpr const char *kOwner = "kestara";

// The newest server's program folder under /usr/lib/postgresql, or "".
std::string serverPrograms() {
  std::string best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string bin = entry.path().string() + "/bin";
    if (access((bin + "/postgres").c_str(), X_OK) != 0 ||
        access((bin + "/initdb").c_str(), X_OK) != 0) {
      continue;
    }
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > bestVersion) {
      bestVersion = version;
      best = bin;
    }
  }
  return best;
}

bool asRoot() { return geteuid() == 0; }

// Under root, the user the server runs as: the server's programs look their user up, so it
// must be a known one (Debian's package makes "postgres"; "nobody" otherwise).
std::optional<User> databaseOwner() {
  for (const char *name : {"postgres", "nobody"}) {
    if (const passwd *pw = getpwnam(name); pw != nullptr && pw->pw_uid != 0) {
      return User{pw->pw_uid, pw->pw_gid, {}};
    }
  }
  return std::nullopt;
}

// `argv` as the cluster's owner: databaseOwner() under root, else the current user.
std::vector<std::string> asOwner(std::vector<std::string> argv) {
  return asRoot() ? asUser(*databaseOwner(), std::move(argv)) : argv;
}

// Makes the cluster `data` with initdb, or copies the one made before for the same server
// programs: initdb takes most of a test server's start, and the build folder keeps one cluster
// for the tests that come after. A cluster is kept only whole (copied aside, then renamed into
// place), so tests that start servers at once never copy a half-made one.
bool makeCluster(const std::string &bin, const std::string &data, std::string &why) {
  const fs::path programs(bin);
  const std::string kept = std::string(KESTARA_TEST_CACHE) + "/postgresql-" +
                           programs.parent_path().filename().string() + "-cluster";
  // cp -a keeps the owner, which the server insists on, and the modes.
  std::error_code ec;
  if (fs::exists(kept + "/PG_VERSION", ec) &&
      run({"/bin/cp", "-a", kept, data}, {}, scaled(std::chrono::seconds(60))).status == 0) {
    return true;
  }
  fs::remove_all(data, ec);
  RunResult made = run(asOwner({bin + "/initdb", "-D", data, "-U", kOwner, "-A", "trust", "-E",
                                "UTF8", "--locale=C", "--no-sync", "--no-instructions"}),
                       {{"LC_ALL", "C"}}, scaled(std::chrono::seconds(120)));
  if (made.status != 0) {
    why = "initdb failed: " + made.err + made.out;
    return false;
  }
  const std::string aside = kept + "." + std::to_string(getpid());
  fs::create_directories(KESTARA_TEST_CACHE, ec);
  if (run({"/bin/cp", "-a", data, aside}, {}, scaled(std::chrono::seconds(60))).status != 0 ||
      rename(aside.c_str(), kept.c_str()) != 0) {
    fs::remove_all(aside, ec);  // another test kept its cluster first, or there is no room
  }
  return true;
}

// libpq's handles, released on every path.
struct ConnectionCloser {
  void operator()(PGconn *c) const { PQfinish(c); }
};
struct ResultClearer {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;
using Result = std::unique_ptr<PGresult, ResultClearer>;

}  // namespace

std::string PostgresServer::unavailable() {
  if (serverPrograms().empty()) {
    return "no PostgreSQL server programs under /usr/lib/postgresql (Debian's postgresql package)";
  }
  if (asRoot() && (!canSwitchUsers() || !databaseOwner())) {
    return "needs setpriv and a user \"postgres\" or \"nobody\" to run the server as";
  }
  return "";
}

std::unique_ptr<PostgresServer> PostgresServer::start(const Options &options, std::string &why) {
  why = unavailable();
  if (!why.empty()) return nullptr;
  std::unique_ptr<PostgresServer> server(new PostgresServer);
  server->bin_ = serverPrograms();
  server->dir_ = options.parent.empty() ? std::make_unique<TempDir>()
                                        : std::make_unique<TempDir>(TempDir::Under{options.parent});
  server->data_ = server->dir_->file("data");
  server->address_ = options.address;
  server->host_ = options.host;
  server->settings_ = options.settings;
  // The folder holds the server's socket and its cluster, both the owner's.
  const std::string &top = server->dir_->path();
  if (asRoot() && (chmod(top.c_str(), 0755) != 0 ||
                   chown(top.c_str(), databaseOwner()->uid, databaseOwner()->gid) != 0)) {
    why = "cannot give " + top + " to the database's owner";
    return nullptr;
  }
  if (!makeCluster(server->bin_, server->data_, why)) return nullptr;
  // Programs of the test's other hosts connect over the test network (the cluster trusts only
  // local connections by itself).
  if (std::ofstream hba(server->data_ + "/pg_hba.conf", std::ios::app);
      !(hba << "host all all samenet trust\n")) {
    why = "cannot write " + server->data_ + "/pg_hba.conf";
    return nullptr;
  }
  // A host's network is the test's own and empty: the usual port is free there.
  server->port_ = options.host != nullptr ? 5432 : freeTcpPort(options.address.c_str());
  if (!server->launch(why)) return nullptr;
  if (!server->createDatabase(kOwner, why)) return nullptr;
  return server;
}

bool PostgresServer::launch(std::string &why) {
  std::vector<std::string> argv = {bin_ + "/postgres",   "-D", data_,    "-k",
                                   dir_->path(),         "-h", address_, "-p",
                                   std::to_string(port_)};
  // Nothing the tests write needs to survive a crash of the machine.
  for (const char *setting : {"fsync=off", "synchronous_commit=off", "full_page_writes=off",
                              "max_connections=200", "log_min_messages=warning"}) {
    argv.insert(argv.end(), {"-c", setting});
  }
  for (const std::string &setting : settings_) argv.insert(argv.end(), {"-c", setting});
  argv = asOwner(std::move(argv));
  if (host_ != nullptr) argv = host_->command(std::move(argv));
  server_ = std::make_unique<Process>(Process::start(argv, {{"LC_ALL", "C"}}));
  const std::string ping = localConnection("postgres") + " connect_timeout=2";
  const bool ready =
      eventually([&] { return !server_->running() || PQping(ping.c_str()) == PQPING_OK; },
                 scaled(std::chrono::seconds(60)));
  if (!ready || !server_->running()) {
    why = "the server did not start: " + server_->errors();
    server_.reset();
    return false;
  }
  return true;
}

PostgresServer::~PostgresServer() { (void)stop(); }

std::string PostgresServer::uri(const std::string &database) const {
  return std::string("postgresql://") + kOwner + "@" + address_ + ":" + std::to_string(port_) +
         "/" + database;
}

std::string PostgresServer::location(const std::string &database) const {
  // A host in a URI is a socket folder when it starts with '/', written as %2F.
  std::string socket;
  for (char c : dir_->path()) socket += c == '/' ? std::string("%2F") : std::string(1, c);
  const std::string port = std::to_string(port_);
  return std::string("postgresql://") + kOwner + "@" + address_ + ":" + port + "," + socket + ":" +
         port + "/" + database;
}

const std::string &PostgresServer::folder() const { return dir_->path(); }

std::string PostgresServer::localConnection(const std::string &database) const {
  return "host=" + dir_->path() + " port=" + std::to_string(port_) + " user=" + kOwner +
         " dbname=" + database;
}

bool PostgresServer::createDatabase(const std::string &name, std::string &why) const {
  return query("CREATE DATABASE \"" + name + "\"", why, "postgres").has_value();
}

std::optional<std::string> PostgresServer::query(const std::string &sql, std::string &why,
                                                 const std::string &database) const {
  Connection c(PQconnectdb((localConnection(database) + " connect_timeout=10").c_str()));
  if (c == nullptr || PQstatus(c.get()) != CONNECTION_OK) {
    why = c ? PQerrorMessage(c.get()) : "out of memory";
    return std::nullopt;
  }
  Result r(PQexec(c.get(), sql.c_str()));
  const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    why = PQerrorMessage(c.get());
    return std::nullopt;
  }
  if (status == PGRES_TUPLES_OK && PQntuples(r.get()) > 0 && PQnfields(r.get()) > 0) {
    return std::string(PQgetvalue(r.get(), 0, 0));
  }
  return std::string();
}

bool PostgresServer::stop() {
  if (!server_) return true;
  // SIGINT: a fast shutdown, which ends every session at once.
  server_->signal(SIGINT);
  const bool ended = server_->wait(scaled(std::chrono::seconds(20))).has_value();
  if (!ended) (void)server_->stop();
  server_.reset();
  return ended;
}

bool PostgresServer::restart(std::string &why) {
  if (server_) {
    why = "the server is running";
    return false;
  }
  return launch(why);
}

std::string PostgresServer::log() const { return server_ ? server_->errors() : std::string(); }

PostgresServer *sharedPostgres(std::string &why) {
  static std::unique_ptr<PostgresServer> shared;
  static std::string failed;
  if (!shared) {
    if (!failed.empty()) {
      why = failed;
      return nullptr;
    }
    // KT_POSTGRES_SETTINGS adds server settings ("name=value;..."), such as a statement log
    // while a benchmark runs.
    PostgresServer::Options options;
    const char *settings = std::getenv("KT_POSTGRES_SETTINGS");
    const std::string extra = settings != nullptr ? settings : "";
    for (size_t at = 0; at < extra.size();) {
      const size_t end = std::min(extra.find(';', at), extra.size());
      if (end > at) options.settings.push_back(extra.substr(at, end - at));
      at = end + 1;
    }
    shared = PostgresServer::start(options, why);
    if (!shared) {
      failed = why.empty() ? "the server did not start" : why;
      return nullptr;
    }
  }
  if (!shared->running() && !shared->restart(why)) return nullptr;
  return shared.get();
}

PostgresServer *PostgresSuite::server_ = nullptr;
std::string *PostgresSuite::why_ = nullptr;

void PostgresSuite::SetUpTestSuite() {
  std::string why = PostgresServer::unavailable();
  if (why.empty()) server_ = PostgresServer::start(why).release();
  if (server_ == nullptr) why_ = new std::string(why);
}

void PostgresSuite::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

void PostgresSuite::SetUp() {
  if (server_ == nullptr) GTEST_SKIP() << *why_;
  if (!server_->running()) {
    std::string why;
    ASSERT_TRUE(server_->restart(why)) << why;
  }
}

}  // namespace kt

// gateway.cc - test support: the gateway as a process of the test's own.
#include "gateway.h"

#include "snmp_agent.h"

namespace kt {

namespace {

Process startGateway(const TempDir &conf, const std::optional<TestDatabase> &db,
                     const GatewayOptions &options) {
  writeClientConfig(conf, options.version, std::chrono::duration<double>(options.timeout).count(),
                    options.retries);
  Env env = clientEnv(conf);
  if (options.anyAgent) env.push_back(kAnyAgent);
  if (db) {
    const Env dbEnv = db->env();
    env.insert(env.end(), dbEnv.begin(), dbEnv.end());
  }
  env.insert(env.end(), options.env.begin(), options.env.end());
  std::vector<std::string> argv = {binPath("tavrin")};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  return Process::start(argv, env);
}

}  // namespace

Gateway::Gateway(GatewayOptions options)
    : process_([&] {
        if (options.database) db_.emplace();
        return startGateway(conf_, db_, options);
      }()) {
  ready_ = process_.waitForOutput("Will wait on select for port 8088", 10s);
}

std::optional<std::string> Gateway::ask(std::string_view request,
                                        std::chrono::milliseconds timeout) {
  return ask(client_, request, timeout);
}

std::optional<std::string> Gateway::ask(UdpClient &from, std::string_view request,
                                        std::chrono::milliseconds timeout) {
  return from.request("127.0.0.1", kGatewayPort, request, timeout);
}

std::string Gateway::open(const std::string &peer) { return open(client_, peer); }

std::string Gateway::open(UdpClient &from, const std::string &peer) {
  return ask(from, "openSnmpSession#" + peer).value_or("");
}

}  // namespace kt

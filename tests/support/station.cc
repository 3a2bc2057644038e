// station.cc - test support: a management station of the test's own.
#include "station.h"

#include <stdlib.h>

#include <map>

#include "snmp_agent.h"

namespace kt {

Station::Station(StationOptions options) : db_(options.folder, options.defineField) {
  writeClientConfig(conf_, options.version, std::chrono::duration<double>(options.timeout).count(),
                    options.retries);
  eventPort_ = freeUdpPort();
  db_.setEventAddress("udp:" + eventPeer());
}

Env Station::env(const Env &extra) const {
  std::map<std::string, std::string> merged;
  for (const Env &part : {clientEnv(conf_), db_.env(), extra}) {
    for (const auto &[name, value] : part) merged[name] = value;
  }
  return Env(merged.begin(), merged.end());
}

Env Station::managed(Env extra) const {
  extra.emplace(extra.begin(), "NOTIFY_SOCKET", notify_.path());
  return extra;
}

void Station::exportEnv() const {
  for (const auto &[name, value] : env()) setenv(name.c_str(), value.c_str(), 1);
}

std::unique_ptr<Process> Station::start(const std::string &program, std::vector<std::string> args,
                                        const Env &extra) const {
  args.insert(args.begin(), binPath(program));
  return std::make_unique<Process>(Process::start(args, env(extra)));
}

RunResult Station::run(const std::string &program, std::vector<std::string> args, const Env &extra,
                       std::chrono::milliseconds timeout) const {
  args.insert(args.begin(), binPath(program));
  return kt::run(args, env(extra), timeout);
}

}  // namespace kt

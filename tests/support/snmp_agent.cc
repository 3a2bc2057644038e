// snmp_agent.cc - test support: net-snmp's snmpd as a real agent on loopback.
#include "snmp_agent.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace kt {

std::unique_ptr<SnmpAgent> SnmpAgent::start(const AgentOptions &options) {
  std::unique_ptr<SnmpAgent> agent(new SnmpAgent());
  agent->dir_ = std::make_unique<TempDir>();
  agent->address_ = options.address;
  for (int attempt = 0; attempt < 3; ++attempt) {
    agent->port_ = options.port != 0 ? options.port : freeUdpPort(options.address.c_str());
    if (agent->port_ == 0) return nullptr;
    std::ostringstream conf;
    conf << "rocommunity " << options.community << " default\n";
    conf << "sysname " << options.sys_name << "\n";
    conf << "syscontact tests\nsyslocation loopback\n";
    if (options.probe) {
      conf << "override "
           << "." << kProbeOid << " octet_str \"" << options.probe_value << "\"\n";
    }
    for (const std::string &line : options.extra_config) conf << line << "\n";
    std::string conf_path = agent->dir_->write("snmpd.conf", conf.str());
    std::string endpoint = "udp:" + agent->address_ + ":" + std::to_string(agent->port_);
    Env env = {{"SNMPCONFPATH", agent->dir_->path()},
               {"SNMP_PERSISTENT_DIR", agent->dir_->path()},
               {"MIBS", ""}};
    agent->process_ = std::make_unique<Process>(Process::start(
        {"/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c", conf_path, "-I", "-smux", endpoint}, env));
    if (agent->process_->waitForOutput("NET-SNMP version", 10s) && agent->process_->running()) {
      return agent;
    }
    std::fprintf(stderr, "snmpd did not start on %s:\n%s\n", endpoint.c_str(),
                 agent->process_->output().c_str());
    agent->process_.reset();
    if (options.port != 0) break;
  }
  return nullptr;
}

SnmpAgent::~SnmpAgent() { process_.reset(); }

std::string SnmpAgent::peer() const { return address_ + ":" + std::to_string(port_); }

std::string writeClientConfig(const TempDir &dir, const std::string &version,
                              double timeout_seconds, int retries, const std::string &community) {
  std::ostringstream conf;
  conf << "defVersion " << version << "\n";
  conf << "defCommunity " << community << "\n";
  // snmp.conf takes whole seconds only; the exact time-out travels in the environment.
  conf << "timeout " << std::max(1, static_cast<int>(std::ceil(timeout_seconds))) << "\n";
  conf << "retries " << retries << "\n";
  dir.write("timeout_ms", std::to_string(std::lround(timeout_seconds * 1000)));
  dir.write("retries", std::to_string(retries));
  return dir.write("snmp.conf", conf.str());
}

Env clientEnv(const TempDir &dir) {
  Env env = {{"SNMPCONFPATH", dir.path()}, {"MIBS", ""}, {"SNMP_PERSISTENT_DIR", dir.path()}};
  std::string timeout_ms = readFile(dir.file("timeout_ms"));
  std::string retries = readFile(dir.file("retries"));
  if (!timeout_ms.empty()) env.emplace_back("OVSNMP_TIMEOUT_MS", timeout_ms);
  if (!retries.empty()) env.emplace_back("OVSNMP_RETRIES", retries);
  return env;
}

std::vector<std::string> agentUserLines(const V3User &user) {
  std::string create =
      "createUser " + user.name + " " + user.authType + " \"" + user.authPass + "\"";
  if (!user.privType.empty()) create += " " + user.privType + " \"" + user.privPass + "\"";
  return {create, "rouser " + user.name + " " + user.access};
}

std::string clientUserLines(const V3User &user) {
  std::ostringstream lines;
  lines << "defVersion 3\n";
  lines << "defSecurityName " << user.name << "\n";
  lines << "defSecurityLevel " << user.level << "\n";
  lines << "defAuthType " << user.authType << "\n";
  lines << "defAuthPassphrase \"" << user.authPass << "\"\n";
  if (!user.privType.empty()) {
    lines << "defPrivType " << user.privType << "\n";
    lines << "defPrivPassphrase \"" << user.privPass << "\"\n";
  }
  return lines.str();
}

void writeHostConfig(const TempDir &dir, const std::string &host, const std::string &peer,
                     const std::string &lines) {
  mkdir(dir.file("hosts").c_str(), 0700);
  dir.write("hosts/" + host + ".conf", "transport udp:" + peer + "\n" + lines);
}

}  // namespace kt

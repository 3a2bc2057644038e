// test_agent.h - test support: a scripted SNMP agent on loopback that answers GetRequests in
// ways a well-behaved snmpd never does.
#ifndef KESTARA_TESTS_SUPPORT_TEST_AGENT_H
#define KESTARA_TESTS_SUPPORT_TEST_AGENT_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kt {

// One answer per request, in the request's version and community and with its request id.
enum class Script {
  kErrorIndexZero,  // error status genErr, error index 0, the request's bindings
  kErrorIndexOne,   // error status genErr, error index 1, the request's bindings
  kOtherVariable,   // no error, one binding: sysDescr.0 (not what was asked) as INTEGER 7
  kLongString,      // no error, the asked name with an OCTET STRING of 1000 bytes 'S'
  kNoBinding,       // no error and no binding at all
  kGarbage,         // bytes that are no SNMP message
};

class ScriptedAgent {
 public:
  explicit ScriptedAgent(Script script);
  ~ScriptedAgent();
  ScriptedAgent(const ScriptedAgent &) = delete;
  ScriptedAgent &operator=(const ScriptedAgent &) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  // "127.0.0.1:PORT".
  std::string peer() const;
  // Requests received so far.
  int requests() const { return requests_.load(); }

 private:
  void serve();
  std::vector<uint8_t> answer(const std::vector<uint8_t> &request) const;

  Script script_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_TEST_AGENT_H

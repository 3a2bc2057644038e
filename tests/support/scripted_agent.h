// scripted_agent.h - test support: an SNMP agent on loopback that misbehaves on purpose: it
// answers each request as its script says (silence, late, wrong request id, broken BER, error
// status, duplicates, another variable, no SNMP at all). Requests are read and answers built with a
// minimal BER codec of its own, so that every byte of a broken answer is under the test's control.
#ifndef KESTARA_TESTS_SUPPORT_SCRIPTED_AGENT_H
#define KESTARA_TESTS_SUPPORT_SCRIPTED_AGENT_H

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kt {

using Bytes = std::vector<uint8_t>;

// What one request of an SNMP message holds, as far as the agent needs it.
struct Request {
  int64_t version = 0;
  std::string community;
  uint8_t pduType = 0;
  int64_t requestId = 0;
  Bytes firstName;  // the content octets of the first binding's OBJECT IDENTIFIER
};

// Parses a GetRequest/GetNextRequest message. Nothing when it is not one.
std::optional<Request> parseRequest(std::span<const uint8_t> message);

// BER encoding helpers, exposed for tests of the codec itself.
Bytes berLength(size_t length);
Bytes berTlv(uint8_t tag, std::span<const uint8_t> content);
Bytes berInteger(int64_t value);
// Content octets of a dotted identifier such as "1.3.6.1.2.1.1.5.0".
Bytes berOidContent(const std::string &dotted);

// One way of answering a request.
enum class Act {
  kAnswer,       // a GetResponse with the value below, sent at once
  kSilent,       // nothing
  kLate,         // the same GetResponse, sent `delay` after the request
  kWrongId,      // a GetResponse whose request id is not the request's
  kTruncated,    // the GetResponse cut to half its length
  kOverLength,   // the GetResponse with its outer length claiming 40 more bytes than sent
  kHugeLength,   // the value's length written in 9 length octets (no agent can mean that)
  kErrorStatus,  // a GetResponse with `errorStatus` and `errorIndex`, bindings as asked (and
                 // `extraBindings` more)
  kDuplicate,    // the GetResponse sent twice
  kNoBinding,    // a GetResponse with an empty binding list
  kException,    // a binding with the exception tag `valueTag` (0x80, 0x81, 0x82) and no value
  kNotResponse,  // the answer sent with the GetRequest tag instead of GetResponse
  kGarbage,      // bytes that are no SNMP message
};

struct Step {
  Act act = Act::kAnswer;
  std::string value = "scripted";      // OCTET STRING value of the answers
  uint8_t valueTag = 0x04;             // the value's tag (0x04 OCTET STRING, 0x02 INTEGER, ...)
  std::chrono::milliseconds delay{0};  // how long to wait before answering (kLate, kAnswer)
  int errorStatus = 0;
  int errorIndex = 0;
  int extraBindings = 0;  // kErrorStatus: bindings added after the asked one
  std::string name{};     // the variable answered, dotted; empty: the one asked for
};

// Answers that a well-behaved snmpd never gives to a GetRequest.
// genErr with the given error index, the asked binding echoed.
Step genErr(int errorIndex);
// No error, but the value of sysDescr.0 (not what was asked) as INTEGER 7.
Step otherVariable();

// The agent answers the n-th request it reads with script[n], and every request after the
// script's end with `fallback`.
class ScriptedAgent {
 public:
  explicit ScriptedAgent(std::vector<Step> script, Step fallback = {},
                         const char *address = "127.0.0.1");
  ~ScriptedAgent();
  ScriptedAgent(const ScriptedAgent &) = delete;
  ScriptedAgent &operator=(const ScriptedAgent &) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  std::string peer() const;  // "ADDRESS:PORT"
  int requests() const { return requests_.load(); }
  // Replaces the script for the requests that follow.
  void setScript(std::vector<Step> script, Step fallback);

  // The answer the agent would send for `request` under `step` (for tests of the codec).
  static Bytes encodeAnswer(const Request &request, const Step &step);

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    Bytes bytes;
    sockaddr_in to;
  };
  void serve();
  void handle(std::span<const uint8_t> message, const sockaddr_in &from);
  void sendNow(const Bytes &bytes, const sockaddr_in &to);

  std::mutex mutex_;
  std::vector<Step> script_;
  Step fallback_;
  size_t next_ = 0;
  std::deque<Pending> pending_;  // late answers, by due time
  int fd_ = -1;
  uint16_t port_ = 0;
  std::string address_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_SCRIPTED_AGENT_H

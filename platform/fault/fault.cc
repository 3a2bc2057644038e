// fault.cc - the fault-injection seam shared by the OVw and OVsnmp stand-ins.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "PlatformFault.h"

namespace {

// The operation name whose rules count every call.
constexpr std::string_view kEveryOperation = "*";

struct Rule {
  int n;
  int error_code;
  bool from_then_on;
};

// One operation's calls, for the report.
struct Operation {
  std::string name;
  long first;
  long count;
};

struct Seam {
  std::map<std::string, std::vector<Rule>, std::less<>> rules;
  std::map<std::string, int, std::less<>> calls;
  std::vector<Rule> every;  // the rules of "*"
  bool loaded_env = false;
  // The report: its file (empty: off) and the operations in the order of their first calls.
  std::string report_path;
  std::vector<Operation> operations;
  std::map<std::string, size_t, std::less<>> operation_index;
};

// Every call, in order: what the rules of "*" count.
constinit long totalCalls = 0;

Seam &seam() {
  static Seam s;
  return s;
}

// True while no rule is armed and no report is kept, once the environment has been read: a
// check then only counts the call. Every program makes several checks per request, so this
// case is kept cheap.
constinit bool idle = false;

void updateIdle(const Seam &s) {
  idle = s.loaded_env && s.rules.empty() && s.every.empty() && s.report_path.empty();
}

void addRule(Seam &s, std::string_view name, const Rule &rule) {
  if (name == kEveryOperation) {
    s.every.push_back(rule);
  } else {
    s.rules[std::string(name)].push_back(rule);
  }
  updateIdle(s);
}

// Writes the report to a temporary file beside it and renames it into place, so that a reader
// never sees half of it. False when it could not be written.
bool writeReport(const Seam &s) {
  const std::string temporary = s.report_path + ".tmp";
  std::FILE *file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = std::fprintf(file, "calls %ld\n", totalCalls) > 0;
  for (const Operation &op : s.operations) {
    ok = ok && std::fprintf(file, "%s %ld %ld\n", op.name.c_str(), op.first, op.count) > 0;
  }
  ok = std::fclose(file) == 0 && ok;
  return ok && std::rename(temporary.c_str(), s.report_path.c_str()) == 0;
}

int startReport(Seam &s, const char *path) {
  s.report_path.clear();
  s.operations.clear();
  s.operation_index.clear();
  if (path == nullptr || *path == '\0') return 0;
  s.report_path = path;
  totalCalls = 0;
  if (writeReport(s)) return 0;
  s.report_path.clear();
  return -1;
}

void recordCall(Seam &s, std::string_view operation) {
  auto it = s.operation_index.find(operation);
  if (it == s.operation_index.end()) {
    it = s.operation_index.emplace(std::string(operation), s.operations.size()).first;
    s.operations.push_back(Operation{std::string(operation), totalCalls, 0});
  }
  ++s.operations[it->second].count;
  (void)writeReport(s);
}

// Parses KESTARA_FAULTS: "name:N:code[+];name:N:code[+]...". Malformed entries are skipped.
// Starts the report that KESTARA_FAULT_REPORT names.
void readEnvironment(Seam &s) {
  s.loaded_env = true;
  (void)startReport(s, std::getenv("KESTARA_FAULT_REPORT"));
  const char *env = std::getenv("KESTARA_FAULTS");
  if (env == nullptr) return;
  std::string_view rest(env);
  while (!rest.empty()) {
    size_t semi = rest.find(';');
    std::string_view item = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    size_t c1 = item.find(':');
    if (c1 == std::string_view::npos) continue;
    size_t c2 = item.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    std::string name(item.substr(0, c1));
    std::string n_text(item.substr(c1 + 1, c2 - c1 - 1));
    std::string code_text(item.substr(c2 + 1));
    bool from = !code_text.empty() && code_text.back() == '+';
    if (from) code_text.pop_back();
    char *end = nullptr;
    long n = std::strtol(n_text.c_str(), &end, 10);
    if (end == n_text.c_str() || *end != '\0' || n < 1 || n > 1000000000) continue;
    long code = std::strtol(code_text.c_str(), &end, 10);
    if (end == code_text.c_str() || *end != '\0' || code < 1 || code > 1000000) continue;
    addRule(s, name, Rule{static_cast<int>(n), static_cast<int>(code), from});
  }
}

void loadEnvironment(Seam &s) {
  readEnvironment(s);
  updateIdle(s);
}

// The code of the first rule that fails call number `call`, or 0.
int ruleFor(const std::vector<Rule> &rules, long call) {
  for (const Rule &r : rules) {
    if (call == r.n || (r.from_then_on && call > r.n)) return r.error_code;
  }
  return 0;
}

}  // namespace

extern "C" int KestaraFaultAdd(const char *operation, int n, int error_code, int from_then_on) {
  if (operation == nullptr || n < 1) return -1;
  Seam &s = seam();
  if (!s.loaded_env) loadEnvironment(s);
  addRule(s, operation, Rule{n, error_code, from_then_on != 0});
  return 0;
}

extern "C" void KestaraFaultClear(void) {
  Seam &s = seam();
  s.rules.clear();
  s.calls.clear();
  s.every.clear();
  totalCalls = 0;
  (void)startReport(s, nullptr);
  s.loaded_env = true;
  updateIdle(s);
}

extern "C" int KestaraFaultCheck(const char *operation) {
  if (idle) {
    if (operation != nullptr) ++totalCalls;
    return 0;
  }
  Seam &s = seam();
  if (!s.loaded_env) loadEnvironment(s);
  if (operation == nullptr) return 0;
  const long call = ++totalCalls;
  if (!s.report_path.empty()) recordCall(s, operation);
  if (!s.rules.empty()) {
    auto it = s.rules.find(std::string_view(operation));
    if (it != s.rules.end()) {
      if (int code = ruleFor(it->second, ++s.calls[it->first])) return code;
    }
  }
  return ruleFor(s.every, call);
}

extern "C" long KestaraFaultCalls(void) {
  Seam &s = seam();
  if (!s.loaded_env) loadEnvironment(s);
  return totalCalls;
}

extern "C" int KestaraFaultReport(const char *path) {
  Seam &s = seam();
  if (!s.loaded_env) loadEnvironment(s);
  const int outcome = startReport(s, path);
  updateIdle(s);
  return outcome;
}

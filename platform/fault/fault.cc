// fault.cc - the fault-injection seam shared by the OVw and OVsnmp stand-ins.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "PlatformFault.h"

namespace {

struct Rule {
  int n;
  int error_code;
  bool from_then_on;
};

struct Seam {
  std::map<std::string, std::vector<Rule>, std::less<>> rules;
  std::map<std::string, int, std::less<>> calls;
  bool loaded_env = false;
};

Seam &seam() {
  static Seam s;
  return s;
}

// Parses KESTARA_FAULTS: "name:N:code[+];name:N:code[+]...". Malformed entries are skipped.
void loadEnvironment(Seam &s) {
  s.loaded_env = true;
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
    s.rules[name].push_back(Rule{static_cast<int>(n), static_cast<int>(code), from});
  }
}

}  // namespace

extern "C" int KestaraFaultAdd(const char *operation, int n, int error_code, int from_then_on) {
  if (operation == nullptr || n < 1) return -1;
  Seam &s = seam();
  if (!s.loaded_env) loadEnvironment(s);
  s.rules[operation].push_back(Rule{n, error_code, from_then_on != 0});
  return 0;
}

extern "C" void KestaraFaultClear(void) {
  Seam &s = seam();
  s.rules.clear();
  s.calls.clear();
  s.loaded_env = true;
}

extern "C" int KestaraFaultCheck(const char *operation) {
  Seam &s = seam();
  if (!s.loaded_env) loadEnvironment(s);
  if (s.rules.empty() || operation == nullptr) return 0;
  auto it = s.rules.find(std::string_view(operation));
  if (it == s.rules.end()) return 0;
  int call = ++s.calls[it->first];
  for (const Rule &r : it->second) {
    if (call == r.n || (r.from_then_on && call > r.n)) return r.error_code;
  }
  return 0;
}

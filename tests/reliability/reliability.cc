// reliability.cc - sizes, figures and memory readings for the reliability tests.
#include "reliability.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace rel {

bool fullForm() {
  const char *form = std::getenv("KESTARA_RELIABILITY");
  return form != nullptr && std::string(form) == "full";
}

int64_t knob(const std::string &name, int64_t shortValue, int64_t fullValue) {
  std::string variable = "RELIABILITY_" + name;
  if (const char *text = std::getenv(variable.c_str()); text != nullptr && *text != '\0') {
    int64_t value = 0;
    std::string_view view(text);
    auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec == std::errc() && end == view.data() + view.size() && value >= 0) return value;
  }
  return fullForm() ? fullValue : shortValue;
}

void figure(const std::string &name, const std::string &value) {
  std::printf("FIGURE %s = %s\n", name.c_str(), value.c_str());
  std::fflush(stdout);
  ::testing::Test::RecordProperty(name, value);
  if (const char *file = std::getenv("RELIABILITY_FIGURES"); file != nullptr && *file != '\0') {
    std::ofstream out(file, std::ios::app);
    out << name << " = " << value << "\n";
  }
}

void figure(const std::string &name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  figure(name, std::string(text));
}

std::optional<int64_t> rssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      std::istringstream in(line.substr(6));
      int64_t kib = 0;
      if (in >> kib) return kib;
    }
  }
  return std::nullopt;
}

bool sanitized(const std::string &program) {
  return kt::readFile(program).find("__asan_init") != std::string::npos;
}

}  // namespace rel

// reliability.cc - sizes, figures, memory readings and a database for the reliability tests.
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

Database::Database() : dir_(std::in_place), path_(dir_->file("ovw.db")) {
  kt::RunResult r = ovw({"-fields"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

Database::Database(const std::string &folder) : path_(folder + "/ovw.db") {
  kt::RunResult r = ovw({"-fields"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

kt::Env Database::env() const {
  kt::Env env = {{"OVW_DATABASE", path_}};
  // Node events of the tool go nowhere unless a test asks for them.
  env.emplace_back("OV_EVENT_ADDRESS",
                   eventAddress_.empty() ? std::string("udp:127.0.0.1:9") : eventAddress_);
  return env;
}

kt::RunResult Database::ovw(std::vector<std::string> args) const {
  args.insert(args.begin(), kt::binPath("ovw"));
  return kt::run(args, env(), std::chrono::seconds(60));
}

uint32_t Database::addNode(const std::string &host, const std::string &selection) const {
  kt::RunResult r = ovw({"add", "node", "--no-trap", "--", host, selection});
  if (r.status != 0) {
    ADD_FAILURE() << "ovw add node " << host << ": " << r.out << r.err;
    return 0;
  }
  return static_cast<uint32_t>(std::strtoul(r.out.c_str(), nullptr, 10));
}

}  // namespace rel

// station.cc - the fault sweep's database and its listing.
#include "station.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fault_sweep {

using namespace std::chrono_literals;

Database::Database() : path_(dir_.file("ovw.db")), frozen_(dir_.file("frozen.db")) {
  ovw({"-fields"});
}

std::string Database::ovw(std::vector<std::string> args, const std::string &path) const {
  args.insert(args.begin(), {kt::binPath("ovw"), "--db", path.empty() ? path_ : path});
  // Node events of the tool go where nothing listens.
  kt::RunResult r = kt::run(args, {{"OV_EVENT_ADDRESS", "udp:127.0.0.1:9"}}, 20s);
  EXPECT_EQ(0, r.status) << "ovw " << args[3] << ": " << r.err;
  if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
  return r.out;
}

uint32_t Database::addNode(const std::string &host, const std::string &selection,
                           bool flagged) const {
  const std::string out = ovw({"add", "node", "--no-trap", "--", host, selection});
  const uint32_t id = static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10));
  EXPECT_NE(0u, id) << out;
  if (flagged) ovw({"set", "field", std::to_string(id), "isKestaraDevice", "true"});
  return id;
}

void Database::freeze() const { ovw({"backup", frozen_}); }

std::string Database::copyTo(const Folder &dir) const {
  const std::string path = dir.file("ovw.db");
  std::filesystem::copy_file(frozen_, path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

size_t Listing::symbolsOf(uint32_t object) const {
  size_t n = 0;
  for (const Symbol &s : symbols) n += s.object == object ? 1 : 0;
  return n;
}

// Reads the "Maps:" symbol lines ("      symbol ID object OBJ ...") and the "Objects:" lines
// ("  ID  host ..., isKestaraDevice=true").
Listing list(const Database &db, const std::string &path) {
  Listing listing;
  std::istringstream in(db.ovw({"list"}, path));
  std::string line;
  std::string section;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != ' ') {
      section = line;
      continue;
    }
    std::istringstream words(line);
    if (section == "Maps:" && line.starts_with("      symbol ")) {
      Listing::Symbol s;
      std::string symbolWord, objectWord;
      if (words >> symbolWord >> s.id >> objectWord >> s.object) listing.symbols.push_back(s);
    } else if (section == "Objects:" && line.size() > 2 && std::isdigit(line[2]) != 0) {
      uint32_t id = 0;
      if (words >> id) listing.flags[id] = line.find("isKestaraDevice=true") != std::string::npos;
    }
  }
  return listing;
}

}  // namespace fault_sweep

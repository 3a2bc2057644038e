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

std::string Database::ovw(std::vector<std::string> args, const std::string &path) const {
  args.insert(args.begin(), {"--db", path.empty() ? db_.path() : path});
  return db_.ovwOutput(args);
}

uint32_t Database::addNode(const std::string &host, const std::string &selection,
                           bool flagged) const {
  const uint32_t id = db_.addQuietNode(host, selection);
  EXPECT_NE(0u, id);
  if (flagged) db_.setFlag(id, true);
  return id;
}

std::string Database::copyTo(const kt::TempDir &dir) const {
  const std::string path = dir.file("ovw.db");
  std::filesystem::copy_file(dir_.file("frozen.db"), path,
                             std::filesystem::copy_options::overwrite_existing);
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

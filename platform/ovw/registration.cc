// registration.cc - reading registration files and storing what they define.
#include "registration.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestara::ovw {

namespace {

// Largest registration file read.
constexpr std::streamsize kMaxFileSize = 1 << 20;

Error parseError(std::string_view origin, int line, const std::string &message) {
  return makeError(OVW_ERR_BAD_ARG,
                   std::string(origin) + ":" + std::to_string(line) + ": " + message);
}

// Splits a line into words and quoted texts; a '#' outside quotes ends the line.
Result<std::vector<std::string>> tokenize(std::string_view line, std::string_view origin,
                                          int number) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string word;
    if (c == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char q = line[i++];
        if (q == '"') {
          closed = true;
          break;
        }
        if (q == '\\') {
          if (i >= line.size()) break;
          q = line[i++];
          if (q != '"' && q != '\\') return parseError(origin, number, "unknown escape in text");
        }
        word.push_back(q);
      }
      if (!closed) return parseError(origin, number, "text without closing quote");
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '"' && line[i] != '#') {
        word.push_back(line[i++]);
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::optional<int> fieldType(std::string_view word) {
  if (word == "boolean") return OVW_FIELD_BOOLEAN;
  if (word == "integer") return OVW_FIELD_INTEGER;
  if (word == "string") return OVW_FIELD_STRING;
  if (word == "enumeration") return OVW_FIELD_ENUM;
  return std::nullopt;
}

bool isDirectory(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::string> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return makeError(OVW_ERR_NOT_FOUND, "cannot read " + path);
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<size_t>(in.gcount()));
    if (static_cast<std::streamsize>(text.size()) > kMaxFileSize) {
      return makeError(OVW_ERR_BAD_ARG, path + " is too large for a registration file");
    }
  }
  return text;
}

Result<std::vector<std::string>> filesIn(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return makeError(OVW_ERR_NOT_FOUND, "cannot read folder " + dir);
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) {
    std::string_view name(e->d_name);
    if (name.size() > 4 && name.substr(name.size() - 4) == ".reg") names.emplace_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (std::string &n : names) n = dir + "/" + n;
  return names;
}

}  // namespace

Status parseRegistrations(std::string_view text, std::string_view origin, Registrations &out) {
  int number = 0;
  ApplicationDefinition *current = nullptr;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    Result<std::vector<std::string>> words = tokenize(line, origin, number);
    if (!words) return words.error();
    const std::vector<std::string> &w = *words;
    if (w.empty()) continue;
    const std::string &keyword = w[0];
    if (keyword == "field") {
      if (w.size() != 3) return parseError(origin, number, "expected: field NAME TYPE");
      std::optional<int> type = fieldType(w[2]);
      if (!type) return parseError(origin, number, "unknown field type \"" + w[2] + "\"");
      Status ok = checkText("field name", w[1]);
      if (!ok) return parseError(origin, number, ok.error().detail);
      out.fields.push_back(FieldDefinition{w[1], *type});
    } else if (keyword == "application") {
      if (w.size() != 2) return parseError(origin, number, "expected: application NAME");
      Status ok = checkText("application name", w[1]);
      if (!ok) return parseError(origin, number, ok.error().detail);
      out.applications.push_back(ApplicationDefinition{w[1], std::nullopt, {}});
      current = &out.applications.back();
    } else if (keyword == "description") {
      if (current == nullptr) return parseError(origin, number, "description before application");
      if (w.size() != 2) return parseError(origin, number, "expected: description TEXT");
      current->description = w[1];
    } else if (keyword == "action") {
      if (current == nullptr) return parseError(origin, number, "action before application");
      if (w.size() != 2 && !(w.size() == 4 && w[2] == "command")) {
        return parseError(origin, number, "expected: action NAME [command TEXT]");
      }
      Status ok = checkText("action name", w[1]);
      if (!ok) return parseError(origin, number, ok.error().detail);
      ActionDefinition action{w[1], std::nullopt};
      if (w.size() == 4) action.command = w[3];
      current->actions.push_back(std::move(action));
    } else {
      return parseError(origin, number, "unknown statement \"" + keyword + "\"");
    }
  }
  return Status::Ok();
}

Result<Registrations> readRegistrations(const std::vector<std::string> &paths) {
  std::vector<std::string> files;
  for (const std::string &p : paths) {
    if (isDirectory(p)) {
      Result<std::vector<std::string>> in = filesIn(p);
      if (!in) return in.error();
      if (in->empty()) return makeError(OVW_ERR_NOT_FOUND, "no *.reg files in " + p);
      files.insert(files.end(), in->begin(), in->end());
    } else {
      files.push_back(p);
    }
  }
  Registrations out;
  for (const std::string &f : files) {
    Result<std::string> text = readFile(f);
    if (!text) return text.error();
    OVW_TRY(parseRegistrations(*text, f, out));
  }
  return out;
}

std::optional<std::string> defaultRegistrationDir() {
  const char *env = std::getenv("OVW_REGISTRATION_DIR");
  if (env != nullptr && env[0] != '\0') return std::string(env);
#ifdef OVW_REGISTRATION_FROM_BIN
  // The program's own folder, with the symbolic links resolved: the files lie at the same
  // place relative to it in an installed tree and in a build tree.
  std::array<char, PATH_MAX> exe{};
  ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  if (n > 0) {
    std::string folder(exe.data(), static_cast<size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    std::string dir = folder + OVW_REGISTRATION_FROM_BIN;
    if (isDirectory(dir)) return dir;
  }
#endif
  return std::nullopt;
}

Status loadRegistrations(StoreBackend &store, const Registrations &registrations) {
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  for (const FieldDefinition &f : registrations.fields) {
    OVW_TRY(store.defineField(f.name, f.type));
  }
  for (const ApplicationDefinition &a : registrations.applications) {
    std::optional<std::string_view> description;
    if (a.description) description = *a.description;
    OVW_TRY(store.registerApplication(a.name, description));
    for (const ActionDefinition &action : a.actions) {
      std::optional<std::string_view> command;
      if (action.command) command = *action.command;
      OVW_TRY(store.registerAction(a.name, action.name, command));
    }
  }
  return txn->commit();
}

}  // namespace kestara::ovw

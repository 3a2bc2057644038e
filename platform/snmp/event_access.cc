// event_access.cc - the event configuration lines of ovsnmp.conf and the check of each event.
#include "event_access.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>

#include "OVsnmp.h"

namespace ovsnmp {
namespace {

// net-snmp's configuration lines are at most this long; so is every word of one.
constexpr size_t kMaxWord = 1024;
// RFC 3414: pass phrases of at least 8 characters.
constexpr size_t kMinPassphrase = 8;
constexpr size_t kMinEngineId = 5;
constexpr size_t kMaxEngineId = 32;
constexpr size_t kMaxCreateUsers = kMaxUsers;

constexpr std::array kOfferedPrivTypes = {USM_CREATE_USER_PRIV_AES, USM_CREATE_USER_PRIV_AES192,
                                          USM_CREATE_USER_PRIV_AES256};

// The texts of this library's own complaints start with their keyword: they are kept whole.
constexpr std::array<std::string_view, 3> kOwnKeywords = {
    "createUser:", "eventUser:", "eventCommunity:"};

void wipe(std::string &text) {
  if (!text.empty()) explicit_bzero(text.data(), text.size());
}

// The words of a line as net-snmp splits them (blanks between, quotes around words that hold
// blanks). Wiped when they go: they may be pass phrases.
class Words {
 public:
  explicit Words(const char *line) {
    std::array<char, kMaxWord> word{};
    // skip_white_const gives null at the end of the line.
    const char *next = line != nullptr ? skip_white_const(line) : nullptr;
    while (next != nullptr && *next != '\0') {
      next = copy_nword_const(next, word.data(), static_cast<int>(word.size()));
      words_.emplace_back(word.data());
      if (words_.back().size() >= word.size() - 1) tooLong_ = true;
      explicit_bzero(word.data(), word.size());
      if (next != nullptr) next = skip_white_const(next);
    }
  }
  ~Words() {
    for (std::string &w : words_) wipe(w);
  }
  Words(const Words &) = delete;
  Words &operator=(const Words &) = delete;

  size_t size() const { return words_.size(); }
  const std::string &operator[](size_t i) const { return words_[i]; }
  bool tooLong() const { return tooLong_; }

 private:
  std::vector<std::string> words_;
  bool tooLong_ = false;
};

bool printableName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxUserNameLength &&
         std::ranges::all_of(name, [](char c) {
           const auto u = static_cast<unsigned char>(c);
           return u > 0x20 && u < 0x7f;
         });
}

// An engine ID in hexadecimal, with or without 0x in front.
std::optional<std::vector<u_char>> parseEngineId(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.size() % 2 != 0 || text.size() / 2 < kMinEngineId || text.size() / 2 > kMaxEngineId) {
    return std::nullopt;
  }
  std::vector<u_char> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<u_char>(high * 16 + low));
  }
  return bytes;
}

// What a createUser line says, besides its pass phrases.
struct CreateUser {
  std::optional<std::vector<u_char>> engineId;  // none: the local engine
  std::string name;
  bool privacy = false;
};

// Checks a createUser line; "" and the user when it can be used.
std::string parseCreateUser(const char *line, CreateUser &user) {
  Words words(line);
  if (words.tooLong()) return "createUser: a word is too long";
  size_t i = 0;
  if (i < words.size() && words[i] == "-e") {
    if (i + 1 >= words.size()) return "createUser: -e needs an engine ID";
    user.engineId = parseEngineId(words[i + 1]);
    if (!user.engineId) {
      return "createUser: -e takes an engine ID of 5 to 32 bytes in hexadecimal";
    }
    i += 2;
  }
  if (i >= words.size() || !printableName(words[i])) {
    return "createUser: the user name is 1 to 32 printable characters without blanks";
  }
  user.name = words[i++];
  if (i >= words.size()) return "createUser: the user needs an authentication type";
  const int authType = usm_lookup_auth_type(words[i].c_str());
  if (authType < 0 || authType == NETSNMP_USMAUTH_NOAUTH) {
    return "createUser: the authentication type is MD5, SHA, SHA-224, SHA-256, SHA-384 or "
           "SHA-512";
  }
  ++i;
  if (i < words.size() && (words[i] == "-l" || words[i] == "-m")) {
    return "createUser: keys are given as pass phrases here (not -l or -m)";
  }
  if (i >= words.size() || words[i].size() < kMinPassphrase) {
    return "createUser: the authentication pass phrase has at least 8 characters";
  }
  ++i;
  if (i < words.size()) {
    const int privType = usm_lookup_priv_type(words[i].c_str());
    if (std::ranges::find(kOfferedPrivTypes, privType) == kOfferedPrivTypes.end()) {
      return "createUser: the privacy type is AES, AES-192 or AES-256";
    }
    user.privacy = true;
    ++i;
    if (i < words.size() && (words[i] == "-l" || words[i] == "-m")) {
      return "createUser: keys are given as pass phrases here (not -l or -m)";
    }
    if (i < words.size() && words[i].size() < kMinPassphrase) {
      return "createUser: the privacy pass phrase has at least 8 characters";
    }
    if (i < words.size()) ++i;
  }
  if (i != words.size()) return "createUser: more words than a user takes";
  return "";
}

// Bytes of a text, as net-snmp hands the communities over.
std::span<const unsigned char> bytesOf(std::string_view text) {
  return {reinterpret_cast<const unsigned char *>(text.data()), text.size()};
}

// Equal in a time that does not depend on where they differ.
bool sameSecret(std::span<const unsigned char> a, std::span<const unsigned char> b) {
  const size_t n = std::max(a.size(), b.size());
  unsigned difference = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < n; ++i) {
    const unsigned x = i < a.size() ? a[i] : 0u;
    const unsigned y = i < b.size() ? b[i] : 0u;
    difference |= x ^ y;
  }
  return difference == 0;
}

void setProblem(EventAccess &access, std::string problem) {
  if (access.problem.empty()) access.problem = std::move(problem);
}

// net-snmp calls these for the lines of ovsnmp.conf; a complaint goes through config_perror,
// which adds the file and the line and reaches ConfigProblems.
void communityHandler(const char *, char *line) {
  const std::string problem = addCommunityLine(eventAccess(), line);
  if (!problem.empty()) config_perror(problem.c_str());
}

void userHandler(const char *, char *line) {
  const std::string problem = addUserLine(eventAccess(), line);
  if (!problem.empty()) config_perror(problem.c_str());
}

void createUserHandler(const char *, char *line) {
  const std::string problem = addCreateUserLine(eventAccess(), line);
  if (!problem.empty()) config_perror(problem.c_str());
}

const char *g_problemType = nullptr;  // the file type whose complaints are kept, while kept
netsnmp_log_handler *g_logHandler = nullptr;

int logged(int, int, void *serverarg, void *) {
  const auto *message = static_cast<const snmp_log_message *>(serverarg);
  if (g_problemType != nullptr && message != nullptr && message->msg != nullptr) {
    noteConfigMessage(eventAccess(), g_problemType, message->msg);
  }
  return 0;
}

}  // namespace

EventAccess::~EventAccess() {
  for (std::string &c : communities) wipe(c);
  for (std::string &line : createUsers) wipe(line);
}

EventAccess &eventAccess() {
  static EventAccess *access = new EventAccess;  // never destroyed: used until the end
  return *access;
}

void registerEventConfig(const char *type) {
  register_config_handler(type, "eventCommunity", communityHandler, nullptr, "COMMUNITY");
  register_config_handler(type, "eventUser", userHandler, nullptr, "NAME [auth|priv]");
  register_config_handler(type, "createUser", createUserHandler, nullptr,
                          "[-e ENGINEID] NAME AUTHTYPE AUTHPASS [PRIVTYPE [PRIVPASS]]");
}

ConfigProblems::ConfigProblems(const char *type) {
  g_problemType = type;
  g_logHandler = netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_WARNING);
  (void)snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, logged, nullptr);
}

ConfigProblems::~ConfigProblems() {
  (void)snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, logged, nullptr, 1);
  if (g_logHandler != nullptr) (void)netsnmp_remove_loghandler(g_logHandler);
  g_logHandler = nullptr;
  g_problemType = nullptr;
}

std::string addCommunityLine(EventAccess &access, const char *line) {
  Words words(line);
  if (words.size() != 1 || words.tooLong() || words[0].empty() ||
      words[0].size() > kMaxEventCommunityLength) {
    return "eventCommunity: one community of 1 to 255 characters";
  }
  if (access.communities.size() >= kMaxCommunities) {
    return "eventCommunity: at most 64 communities";
  }
  access.communities.push_back(words[0]);
  return "";
}

std::string addUserLine(EventAccess &access, const char *line) {
  Words words(line);
  if (words.size() < 1 || words.size() > 2 || !printableName(words[0])) {
    return "eventUser: a user name of 1 to 32 printable characters, then auth or priv";
  }
  int level = SNMP_SEC_LEVEL_AUTHNOPRIV;
  if (words.size() == 2) {
    std::string word = words[1];
    std::ranges::transform(word, word.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (word == "priv") {
      level = SNMP_SEC_LEVEL_AUTHPRIV;
    } else if (word != "auth") {
      return "eventUser: the level is auth or priv";
    }
  }
  if (access.users.size() >= kMaxUsers && !access.users.contains(words[0])) {
    return "eventUser: at most 4096 users";
  }
  access.users[words[0]] = level;
  return "";
}

std::string addCreateUserLine(EventAccess &access, const char *line) {
  CreateUser user;
  std::string problem = parseCreateUser(line, user);
  if (!problem.empty()) return problem;
  if (access.createUsers.size() >= kMaxCreateUsers) return "createUser: at most 4096 users";
  access.createUsers.emplace_back(line);
  return "";
}

void noteConfigMessage(EventAccess &access, std::string_view type, std::string_view message) {
  // "FILE: line N: Error: text" (or Warning), as net-snmp's configuration reader writes it.
  const size_t at = message.find(": line ");
  if (at == std::string_view::npos) return;
  const std::string_view file = message.substr(0, at);
  const size_t slash = file.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? file : file.substr(slash + 1);
  const std::string own = std::string(type) + ".conf";
  const std::string ownLocal = std::string(type) + ".local.conf";
  if (base != own && base != ownLocal) return;
  std::string_view rest = message.substr(at + 7);
  size_t digits = 0;
  while (digits < rest.size() && digits < 9 &&
         std::isdigit(static_cast<unsigned char>(rest[digits]))) {
    ++digits;
  }
  if (digits == 0) return;
  const std::string_view lineNumber = rest.substr(0, digits);
  rest.remove_prefix(digits);
  std::string_view text;
  for (std::string_view kind : {": Error: ", ": Warning: "}) {
    if (rest.starts_with(kind)) text = rest.substr(kind.size());
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '.' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  const bool own_text = std::ranges::any_of(
      kOwnKeywords, [&](std::string_view keyword) { return text.starts_with(keyword); });
  // Anything else may repeat a word of the line (an unknown keyword, say, which may be a pass
  // phrase that slipped onto a line of its own).
  std::string problem = std::string(file.substr(0, 200)) + ": line " + std::string(lineNumber) +
                        ": " + (own_text ? std::string(text) : "this line can't be used");
  setProblem(access, std::move(problem));
}

bool createEventUsers() {
  EventAccess &access = eventAccess();
  if (access.usersCreated) return access.problem.empty();
  access.usersCreated = true;
  std::array<u_char, kMaxEngineId> local{};
  const size_t localLength = snmpv3_get_engineID(local.data(), local.size());
  for (const std::string &line : access.createUsers) {
    CreateUser user;
    if (!parseCreateUser(line.c_str(), user).empty()) continue;  // checked when it was read
    std::string copy = line;
    usm_parse_create_usmUser("createUser", copy.data());
    wipe(copy);
    const u_char *engine = user.engineId ? user.engineId->data() : local.data();
    const size_t engineLength = user.engineId ? user.engineId->size() : localLength;
    const usmUser *created = usm_get_user(engine, engineLength, user.name.c_str());
    if (created == nullptr || created->authKeyLen == 0 ||
        (user.privacy && created->privKeyLen == 0)) {
      setProblem(access, "createUser " + user.name + ": the user could not be created");
      return false;
    }
  }
  return access.problem.empty();
}

Decision checkEvent(const EventAccess &access, const EventCredentials &event) {
  if (event.version == SNMP_VERSION_3) {
    if (event.securityModel != SNMP_SEC_MODEL_USM ||
        event.securityLevel < SNMP_SEC_LEVEL_AUTHNOPRIV) {
      return {Verdict::kUnauthenticated, OVSNMP_ERR_SECURITY_LEVEL};
    }
    auto it = access.users.find(std::string(event.user));
    if (it == access.users.end()) return {Verdict::kUnauthorised, OVSNMP_ERR_NOT_AUTHORISED};
    if (event.securityLevel < it->second) {
      return {Verdict::kUnauthorised, OVSNMP_ERR_SECURITY_LEVEL};
    }
    return {};
  }
  if (event.version != SNMP_VERSION_1 && event.version != SNMP_VERSION_2c) {
    return {Verdict::kUnauthenticated, OVSNMP_ERR_NOT_AUTHORISED};
  }
  if (access.communities.empty()) return {};
  bool found = false;
  for (const std::string &community : access.communities) {
    found |= sameSecret(bytesOf(community), event.community);  // every one, whatever matched
  }
  return found ? Decision{} : Decision{Verdict::kUnauthorised, OVSNMP_ERR_NOT_AUTHORISED};
}

}  // namespace ovsnmp

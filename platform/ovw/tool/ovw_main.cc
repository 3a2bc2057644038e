// ovw_main.cc - the `ovw` administration tool.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "PlatformFault.h"
#include "admin.h"
#include "listing.h"
#include "migrate.h"
#include "node_trap.h"
#include "registration.h"
#include "store_backend.h"

namespace {

using namespace kestara::ovw;  // NOLINT(google-build-using-namespace)

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// --- Command line ---------------------------------------------------------------------------

struct Options {
  std::optional<std::string> db;
  std::optional<std::string> session;
  std::optional<std::string> map;
  std::optional<std::string> hostname;
  std::optional<std::string> selection_name;
  std::optional<std::string> node;
  std::optional<std::string> snmp;
  std::optional<std::string> timeout_ms;
  std::optional<std::string> from;
  std::optional<std::string> to;
  bool json = false;
  bool not_node = false;
  bool no_snmp = false;
  bool no_trap = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> given;  // option names used, for the per-command check
};

struct OptionSpec {
  const char *name;
  bool takes_value;
  std::function<void(Options &, const std::string &)> set;
};

const std::vector<OptionSpec> &optionSpecs() {
  static const std::vector<OptionSpec> specs = {
      {"--db", true, [](Options &o, const std::string &v) { o.db = v; }},
      {"--session", true, [](Options &o, const std::string &v) { o.session = v; }},
      {"--map", true, [](Options &o, const std::string &v) { o.map = v; }},
      {"--hostname", true, [](Options &o, const std::string &v) { o.hostname = v; }},
      {"--selection-name", true, [](Options &o, const std::string &v) { o.selection_name = v; }},
      {"--node", true, [](Options &o, const std::string &v) { o.node = v; }},
      {"--snmp", true, [](Options &o, const std::string &v) { o.snmp = v; }},
      {"--timeout-ms", true, [](Options &o, const std::string &v) { o.timeout_ms = v; }},
      {"--from", true, [](Options &o, const std::string &v) { o.from = v; }},
      {"--to", true, [](Options &o, const std::string &v) { o.to = v; }},
      {"--json", false, [](Options &o, const std::string &) { o.json = true; }},
      {"--not-node", false, [](Options &o, const std::string &) { o.not_node = true; }},
      {"--no-snmp", false, [](Options &o, const std::string &) { o.no_snmp = true; }},
      {"--no-trap", false, [](Options &o, const std::string &) { o.no_trap = true; }},
      {"--help", false, [](Options &o, const std::string &) { o.help = true; }},
      {"--version", false, [](Options &o, const std::string &) { o.version = true; }},
  };
  return specs;
}

struct UsageError {
  std::string message;
};

struct Failure {
  std::string message;
};

// Splits the arguments into options and positional words. "-fields" is a command word.
Options parseArguments(int argc, char **argv, std::vector<std::string> &words) {
  Options o;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-' || arg == "-fields" ||
        (arg[1] >= '0' && arg[1] <= '9')) {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h") arg = "--help";
    std::string name = arg;
    std::optional<std::string> value;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const OptionSpec *spec = nullptr;
    for (const OptionSpec &s : optionSpecs()) {
      if (name == s.name) spec = &s;
    }
    if (spec == nullptr) throw UsageError{"unknown option " + name};
    if (spec->takes_value && !value) {
      if (i + 1 >= argc) throw UsageError{"option " + name + " needs a value"};
      value = argv[++i];
    }
    if (!spec->takes_value && value) throw UsageError{"option " + name + " takes no value"};
    spec->set(o, value.value_or(""));
    o.given.push_back(name);
  }
  return o;
}

uint32_t parseObjectId(const std::string &text) {
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || text[0] == '+' || *end != '\0' || errno != 0 || v == 0 ||
      v > UINT32_MAX) {
    throw UsageError{"\"" + text + "\" is not an object id (1 to 4294967295)"};
  }
  return static_cast<uint32_t>(v);
}

bool parseBool(const std::string &text, const std::string &what) {
  if (text == "true" || text == "yes" || text == "1" || text == "on") return true;
  if (text == "false" || text == "no" || text == "0" || text == "off") return false;
  throw UsageError{what + " must be true or false, not \"" + text + "\""};
}

std::chrono::milliseconds parseTimeout(const Options &o) {
  if (!o.timeout_ms) return admin::kDefaultCloseTimeout;
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(o.timeout_ms->c_str(), &end, 10);
  if (o.timeout_ms->empty() || *end != '\0' || errno != 0 || v < 0 || v > 3600000) {
    throw UsageError{"--timeout-ms must be a number of milliseconds from 0 to 3600000"};
  }
  return std::chrono::milliseconds(v);
}

// --- Commands -------------------------------------------------------------------------------

struct Context {
  Options options;
  std::vector<std::string> args;  // after the command words
  std::unique_ptr<StoreBackend> store;

  std::string session() const { return options.session.value_or(admin::localSessionName()); }
  StoreBackend &db() {
    if (!store) {
      std::string path = options.db.value_or(databasePath());
      Result<std::unique_ptr<StoreBackend>> s = openStore(path);
      if (!s) throw Failure{s.error().detail};
      store = std::move(*s);
    }
    return *store;
  }
};

void check(const Status &s) {
  if (!s) throw Failure{s.error().detail};
}

template <typename T>
T check(Result<T> r) {
  if (!r) throw Failure{r.error().detail};
  return std::move(*r);
}

void warn(const std::string &message) { std::cerr << "ovw: warning: " << message << "\n"; }

void trap(const Context &ctx, uint32_t specific, uint32_t object) {
  if (ctx.options.no_trap) return;
  std::string address = nodeEventAddress();
  Status s = sendNodeEvent(address, specific, object);
  if (!s) warn("node event not sent to " + address + ": " + s.error().detail);
}

void reportClose(const admin::CloseReport &report, std::chrono::milliseconds timeout) {
  for (const std::string &app : report.unacknowledged) {
    warn("\"" + app + "\" did not acknowledge the close within " + std::to_string(timeout.count()) +
         " ms; map closed anyway");
  }
  std::cout << "map \"" << report.map << "\" closed\n";
}

void argCount(const Context &ctx, size_t min, size_t max) {
  if (ctx.args.size() < min) throw UsageError{"missing arguments"};
  if (ctx.args.size() > max) throw UsageError{"too many arguments"};
}

int cmdFields(Context &ctx) {
  std::vector<std::string> paths = ctx.args;
  if (paths.empty()) {
    std::optional<std::string> dir = defaultRegistrationDir();
    if (!dir) {
      throw Failure{"no registration files found; set OVW_REGISTRATION_DIR or name them"};
    }
    paths.push_back(*dir);
  }
  Registrations reg = check(readRegistrations(paths));
  check(loadRegistrations(ctx.db(), reg));
  for (const FieldDefinition &f : reg.fields) std::cout << "field \"" << f.name << "\" defined\n";
  for (const ApplicationDefinition &a : reg.applications) {
    std::cout << "application \"" << a.name << "\" registered";
    for (const ActionDefinition &action : a.actions) {
      std::cout << (&action == &a.actions.front() ? " with action " : ", ") << "\"" << action.name
                << "\"";
    }
    std::cout << "\n";
  }
  return 0;
}

int cmdStartSession(Context &ctx) {
  argCount(ctx, 0, 1);
  std::string name = ctx.args.empty() ? ctx.session() : ctx.args[0];
  check(admin::startSession(ctx.db(), name));
  std::cout << "session \"" << name << "\" started\n";
  return 0;
}

int cmdEndSession(Context &ctx) {
  argCount(ctx, 0, 1);
  std::string name = ctx.args.empty() ? ctx.session() : ctx.args[0];
  std::chrono::milliseconds timeout = parseTimeout(ctx.options);
  std::optional<admin::CloseReport> closed = check(admin::endSession(ctx.db(), name, timeout));
  if (closed) reportClose(*closed, timeout);
  std::cout << "session \"" << name << "\" ended\n";
  return 0;
}

int cmdOpenMap(Context &ctx) {
  argCount(ctx, 0, 1);
  std::string name = ctx.args.empty() ? admin::kDefaultMap : ctx.args[0];
  MapRow map = check(admin::openMap(ctx.db(), ctx.session(), name));
  std::cout << "map \"" << map.name << "\" open in session \"" << ctx.session() << "\"\n";
  return 0;
}

int cmdCloseMap(Context &ctx) {
  argCount(ctx, 0, 0);
  std::chrono::milliseconds timeout = parseTimeout(ctx.options);
  reportClose(check(admin::closeMap(ctx.db(), ctx.session(), timeout)), timeout);
  return 0;
}

int cmdAddNode(Context &ctx) {
  argCount(ctx, 1, 2);
  admin::NodeSpec spec;
  spec.hostname = ctx.args[0];
  if (ctx.args.size() > 1) spec.selection_name = ctx.args[1];
  if (ctx.options.selection_name) spec.selection_name = ctx.options.selection_name;
  spec.is_node = !ctx.options.not_node;
  spec.snmp_supported = !ctx.options.no_snmp;
  spec.map = ctx.options.map;
  spec.session = ctx.session();
  admin::NodeAdded added = check(admin::addNode(ctx.db(), spec));
  std::cout << added.object_id << "\n";
  std::cout.flush();
  trap(ctx, kNodeAddedTrap, added.object_id);
  return 0;
}

int cmdChangeNode(Context &ctx) {
  argCount(ctx, 1, 1);
  uint32_t id = parseObjectId(ctx.args[0]);
  admin::NodeChange change;
  change.hostname = ctx.options.hostname;
  change.selection_name = ctx.options.selection_name;
  if (ctx.options.node) change.is_node = parseBool(*ctx.options.node, "--node");
  if (ctx.options.snmp) change.snmp_supported = parseBool(*ctx.options.snmp, "--snmp");
  check(admin::changeNode(ctx.db(), id, change));
  std::cout << "object " << id << " changed\n";
  std::cout.flush();
  trap(ctx, kNodeChangedTrap, id);
  return 0;
}

int cmdDeleteObject(Context &ctx) {
  argCount(ctx, 1, kMaxListItems);
  std::vector<uint32_t> ids;
  for (const std::string &a : ctx.args) ids.push_back(parseObjectId(a));
  check(admin::deleteObjects(ctx.db(), ids));
  for (uint32_t id : ids) std::cout << "object " << id << " deleted\n";
  return 0;
}

int cmdSetField(Context &ctx) {
  argCount(ctx, 3, 3);
  uint32_t id = parseObjectId(ctx.args[0]);
  bool value = parseBool(ctx.args[2], "the value");
  check(admin::setBooleanField(ctx.db(), id, ctx.args[1], value));
  std::cout << "object " << id << ": " << ctx.args[1] << " = " << (value ? "true" : "false")
            << "\n";
  return 0;
}

int cmdGetField(Context &ctx) {
  argCount(ctx, 2, 2);
  uint32_t id = parseObjectId(ctx.args[0]);
  bool value = check(admin::getBooleanField(ctx.db(), id, ctx.args[1]));
  std::cout << (value ? "true" : "false") << "\n";
  return 0;
}

int cmdSelect(Context &ctx) {
  argCount(ctx, 0, kMaxListItems);
  std::vector<uint32_t> ids;
  for (const std::string &a : ctx.args) ids.push_back(parseObjectId(a));
  check(admin::select(ctx.db(), ctx.session(), ids));
  if (ids.empty()) {
    std::cout << "selection cleared\n";
  } else {
    std::cout << "selected";
    for (uint32_t id : ids) std::cout << " " << id;
    std::cout << "\n";
  }
  return 0;
}

int cmdOpenSubmap(Context &ctx) {
  argCount(ctx, 1, 1);
  uint32_t id = parseObjectId(ctx.args[0]);
  uint32_t submap = check(admin::openSubmap(ctx.db(), ctx.session(), id));
  std::cout << "submap " << submap << " of object " << id << " opened\n";
  return 0;
}

int cmdSendEvent(Context &ctx) {
  argCount(ctx, 1, 2);
  uint32_t id = parseObjectId(ctx.args[0]);
  uint32_t specific = kNodeEventTrap;
  if (ctx.args.size() > 1) {
    const std::string &s = ctx.args[1];
    if (s == "added") {
      specific = kNodeAddedTrap;
    } else if (s == "changed") {
      specific = kNodeChangedTrap;
    } else {
      specific = parseObjectId(s);
    }
  }
  std::string address = nodeEventAddress();
  Status sent = sendNodeEvent(address, specific, id);
  if (!sent) throw Failure{sent.error().detail};
  std::cout << "node event " << specific << " for object " << id << " sent to " << address << "\n";
  return 0;
}

int cmdBackup(Context &ctx) {
  argCount(ctx, 1, 1);
  check(ctx.db().backup(ctx.args[0]));
  std::cout << "database " << ctx.db().location() << " copied to " << ctx.args[0] << "\n";
  return 0;
}

int cmdRestore(Context &ctx) {
  argCount(ctx, 1, 1);
  check(ctx.db().restore(ctx.args[0]));
  std::cout << "database " << ctx.db().location() << " restored from " << ctx.args[0] << "\n";
  return 0;
}

int cmdCheck(Context &ctx) {
  argCount(ctx, 0, 0);
  std::vector<std::string> faults = check(ctx.db().check());
  for (const std::string &f : faults) std::cout << "fault: " << shownText(f) << "\n";
  if (!faults.empty()) {
    std::cout << ctx.db().location() << ": " << faults.size() << " fault(s) found\n";
    return kExitFailure;
  }
  std::cout << ctx.db().location() << ": no faults found\n";
  return 0;
}

int cmdMigrate(Context &ctx) {
  argCount(ctx, 0, 0);
  if (!ctx.options.to) throw UsageError{"migrate needs --to DATABASE"};
  const std::string from = ctx.options.from.value_or(ctx.options.db.value_or(databasePath()));
  const MigrateCount count = check(migrate(from, *ctx.options.to));
  std::cout << "station moved from " << from << " to " << *ctx.options.to << ": " << count.rows
            << " rows in " << count.tables << " tables\n";
  return 0;
}

// --- list -----------------------------------------------------------------------------------

int cmdList(Context &ctx) {
  argCount(ctx, 0, 0);
  admin::Snapshot snap = check(admin::snapshot(ctx.db()));
  if (ctx.options.json) {
    printJson(std::cout, snap);
  } else {
    printText(std::cout, snap);
  }
  return 0;
}

// --- Command table and help -----------------------------------------------------------------

struct Command {
  std::string verb;
  std::string noun;  // empty: the command is one word
  std::string usage;
  std::string summary;
  std::string details;
  std::set<std::string> options;  // besides --db, --session and --help
  int (*run)(Context &);
};

const std::vector<Command> &commands() {
  static const std::vector<Command> table = {
      {"-fields",
       "",
       "ovw -fields [PATH...]",
       "load the field and application registrations",
       "Defines the fields and registers the applications and actions of the registration\n"
       "files (*.reg): the isKestaraDevice boolean field and the \"Varnis Console Application\"\n"
       "with its action \"Start Web Action\". Without PATH the shipped files are read from\n"
       "$OVW_REGISTRATION_DIR, else the source tree, else the installed copy. A PATH may be a\n"
       "file or a folder. Loading the same files again changes nothing.\n",
       {},
       cmdFields},
      {"start",
       "session",
       "ovw start session [NAME]",
       "start a map session",
       "Starts the session NAME (default --session, else <host name>:0). Map applications\n"
       "attach to a running session with _OVwInitSession.\n",
       {},
       cmdStartSession},
      {"end",
       "session",
       "ovw end session [NAME] [--timeout-ms N]",
       "end a session: closes its map (event 4), then event 1",
       "Closes the session's open map as \"ovw close map\" does, then ends the session:\n"
       "attached applications receive event 1 (end of session).\n",
       {"--timeout-ms"},
       cmdEndSession},
      {"open",
       "map",
       "ovw open map [NAME]",
       "open a map in the session: event 3",
       "Opens the map NAME (default \"default\"; created with its root submap when new) in the\n"
       "session, which must have no map open. Attached applications receive event 3.\n",
       {},
       cmdOpenMap},
      {"close",
       "map",
       "ovw close map [--timeout-ms N]",
       "close the session's map: event 4, waiting for acknowledgements",
       "Sends event 4 (map close) to the session's applications and waits up to N ms\n"
       "(default 2000) for the acknowledgement of each application registered for it, then\n"
       "closes the map anyway; a missing acknowledgement is reported as a warning. The\n"
       "selection is cleared.\n",
       {"--timeout-ms"},
       cmdCloseMap},
      {"add",
       "node",
       "ovw add node HOST [SELECTION] [--map M] [--not-node] [--no-snmp] [--no-trap]",
       "add a node: event 18 and a node-added trap",
       "Creates a node object with host name HOST and selection name SELECTION (or\n"
       "--selection-name S; default HOST), isNode and isSNMPSupported true (unless\n"
       "--not-node, --no-snmp), a symbol on the root submap of the map (--map, else the\n"
       "session's open map, else \"default\") and a submap of its own. Prints the new object\n"
       "id. Applications receive event 18, and a node-added trap (specific 58785794) goes to\n"
       "$OV_EVENT_ADDRESS (default udp:127.0.0.1:162) unless --no-trap; a trap that can't be\n"
       "sent is a warning.\n",
       {"--map", "--not-node", "--no-snmp", "--no-trap", "--selection-name"},
       cmdAddNode},
      {"change",
       "node",
       "ovw change node ID [--hostname H] [--selection-name S] [--node yes|no] [--snmp yes|no]",
       "change a node: node-changed trap",
       "Changes the object's host name, selection name, isNode or isSNMPSupported, then sends a\n"
       "node-changed trap (specific 40000016) to $OV_EVENT_ADDRESS unless --no-trap.\n",
       {"--hostname", "--selection-name", "--node", "--snmp", "--no-trap"},
       cmdChangeNode},
      {"delete",
       "object",
       "ovw delete object ID...",
       "delete objects: event 15",
       "Deletes the objects with their field values, symbols and own submaps. Applications\n"
       "receive one event 15 listing them. Nothing is deleted when one ID does not exist.\n",
       {},
       cmdDeleteObject},
      {"set",
       "field",
       "ovw set field ID FIELD true|false",
       "set a boolean field",
       "Sets or clears the boolean FIELD (such as isKestaraDevice) of object ID.\n",
       {},
       cmdSetField},
      {"get",
       "field",
       "ovw get field ID FIELD",
       "print a boolean field: true or false",
       "Prints true or false: the value of the boolean FIELD of object ID (false when unset).\n",
       {},
       cmdGetField},
      {"select",
       "",
       "ovw select [ID...]",
       "set the selection of the session's open map",
       "Replaces the selection of the map open in the session with the objects ID..., in that\n"
       "order (the first decides the selection lookup). Without ID the selection is cleared.\n",
       {},
       cmdSelect},
      {"open",
       "submap",
       "ovw open submap ID",
       "open a node's submap: event 30",
       "Opens the own submap of object ID on the session's open map; applications receive\n"
       "event 30 with the submap.\n",
       {},
       cmdOpenSubmap},
      {"send",
       "event",
       "ovw send event ID [added|changed|SPECIFIC]",
       "send a node event trap for an object",
       "Sends a node event trap for object ID to $OV_EVENT_ADDRESS (default\n"
       "udp:127.0.0.1:162): specific 58982403 unless named (added 58785794, changed 40000016).\n"
       "The object need not exist.\n",
       {},
       cmdSendEvent},
      {"backup",
       "",
       "ovw backup FILE",
       "copy the database to FILE while the programs run",
       "Writes a consistent copy of the database to FILE with SQLite's online backup: every\n"
       "change committed up to one moment, also those still in the write-ahead log, while the\n"
       "programs go on using the database. The copy is one self-contained file of mode 0660,\n"
       "written beside FILE and renamed into place, so an existing FILE is replaced whole. Do\n"
       "not copy the database with cp: its latest changes may be only in ovw.db-wal.\n",
       {},
       cmdBackup},
      {"restore",
       "",
       "ovw restore FILE",
       "replace the database's contents with a copy made by \"ovw backup\"",
       "Replaces everything in the database with the contents of FILE, a copy made by \"ovw\n"
       "backup\" (FILE is only read). A copy of an older version is upgraded at the next\n"
       "opening; a newer one, or another kind of file, is refused. Stop the programs that use\n"
       "the database first: it is refused while a program is attached to a map session.\n",
       {},
       cmdRestore},
      {"migrate",
       "",
       "ovw migrate [--from DATABASE] --to DATABASE",
       "move a station to another database: an SQLite file into PostgreSQL, or back",
       "Copies everything in the database --from (default: the one --db or OVW_DATABASE names)\n"
       "into the database --to, each a file path or a PostgreSQL location (postgresql://... or\n"
       "\"host=... dbname=...\"), with every id kept and no id to be handed out twice. --to must\n"
       "hold no station yet (no object, map, session or event); it is written in one\n"
       "transaction, so a failed move leaves it as it was. Stop the programs first: what they\n"
       "write meanwhile is not copied. Compare \"ovw list --json\" of both to check the move.\n",
       {"--from", "--to"},
       cmdMigrate},
      {"check",
       "",
       "ovw check",
       "check the database and its files; exit status 1 on a fault",
       "Runs SQLite's integrity and foreign-key checks, and checks the database's files (the\n"
       "database, its -wal and -shm files, the wake folder and its FIFOs): each must be\n"
       "readable and writable by its owner and the database's group only (files 0660, the\n"
       "wake folder 2770). Prints each fault found; the exit status is 1 when there is one.\n",
       {},
       cmdCheck},
      {"list",
       "",
       "ovw list [--json]",
       "list everything in the database",
       "Lists fields, applications, sessions (open map, selection, attached applications),\n"
       "maps with their submaps and symbols, and objects with their field values. --json\n"
       "prints the same as one JSON object, for scripts.\n",
       {"--json"},
       cmdList},
  };
  return table;
}

void printHelp(std::ostream &out) {
  out << "Usage: ovw [--db PATH] [--session NAME] COMMAND [ARGUMENTS]\n\n"
         "Administers the OVw map and object database that the Kestara programs share: sessions,\n"
         "maps, nodes, fields and the selection, and the events that map applications receive.\n\n"
         "Commands:\n";
  for (const Command &c : commands()) {
    std::string name = c.verb + (c.noun.empty() ? "" : " " + c.noun);
    out << "  " << name << std::string(name.size() < 16 ? 16 - name.size() : 1, ' ') << c.summary
        << "\n";
  }
  out << "  help [COMMAND]  show help for a command (also: ovw COMMAND --help)\n\n"
         "Options of every command:\n"
         "  --db PATH       the database (default $OVW_DATABASE, else /var/lib/kestara/ovw.db)\n"
         "  --session NAME  the map session (default <host name>:0)\n"
         "  -h, --help      show help\n"
         "  --version       show the version\n\n"
         "Environment:\n"
         "  OVW_DATABASE          the database path\n"
         "  OVW_REGISTRATION_DIR  the folder of registration files for -fields\n"
         "  OV_EVENT_ADDRESS      where node event traps go (default udp:127.0.0.1:162)\n"
         "  OV_EVENT_COMMUNITY    the community of node event traps (default public)\n\n"
         "A typical start: ovw -fields; ovw start session; ovw open map; ovw add node HOST.\n"
         "Exit status: 0 on success, 1 when the command failed, 2 for a usage error.\n";
}

void printCommandHelp(const Command &c, std::ostream &out) {
  out << "Usage: " << c.usage << "\n\n" << c.details;
  out << "\nOptions of every command: --db PATH, --session NAME, --help.\n";
}

// Finds the command named by the first words; the words used are removed.
const Command *findCommand(std::vector<std::string> &words) {
  if (words.empty()) return nullptr;
  for (const Command &c : commands()) {
    if (words[0] != c.verb) continue;
    if (c.noun.empty()) {
      words.erase(words.begin());
      return &c;
    }
    if (words.size() >= 2 && words[1] == c.noun) {
      words.erase(words.begin(), words.begin() + 2);
      return &c;
    }
  }
  return nullptr;
}

std::string nounsOf(const std::string &verb) {
  std::string nouns;
  for (const Command &c : commands()) {
    if (c.verb == verb && !c.noun.empty()) nouns += (nouns.empty() ? "" : ", ") + c.noun;
  }
  return nouns;
}

int run(int argc, char **argv) {
  std::vector<std::string> words;
  Options options;
  try {
    options = parseArguments(argc, argv, words);
  } catch (const UsageError &e) {
    std::cerr << "ovw: " << e.message << "\nTry \"ovw --help\".\n";
    return kExitUsage;
  }
  if (options.version) {
    std::cout << "ovw " << KESTARA_VERSION << "\n";
    return 0;
  }
  if (words.empty()) {
    printHelp(options.help ? std::cout : std::cerr);
    return options.help ? 0 : kExitUsage;
  }
  if (words[0] == "help") {
    words.erase(words.begin());
    if (words.empty()) {
      printHelp(std::cout);
      return 0;
    }
    std::string asked = words[0] + (words.size() > 1 ? " " + words[1] : "");
    const Command *c = findCommand(words);
    if (c == nullptr) {
      std::cerr << "ovw: no command \"" << asked << "\"\nTry \"ovw --help\".\n";
      return kExitUsage;
    }
    printCommandHelp(*c, std::cout);
    return 0;
  }
  std::string first = words[0];
  const Command *command = findCommand(words);
  if (command == nullptr) {
    std::string nouns = nounsOf(first);
    if (!nouns.empty()) {
      std::cerr << "ovw: \"" << first << "\" needs one of: " << nouns << "\n";
    } else {
      std::cerr << "ovw: unknown command \"" << first << "\"\n";
    }
    std::cerr << "Try \"ovw --help\".\n";
    return kExitUsage;
  }
  if (options.help) {
    printCommandHelp(*command, std::cout);
    return 0;
  }
  for (const std::string &given : options.given) {
    if (given == "--db" || given == "--session" || given == "--help") continue;
    if (command->options.count(given) == 0) {
      std::cerr << "ovw: option " << given << " does not apply to \"" << command->usage << "\"\n";
      return kExitUsage;
    }
  }
  Context ctx{std::move(options), std::move(words), nullptr};
  try {
    return command->run(ctx);
  } catch (const UsageError &e) {
    std::cerr << "ovw: " << e.message << "\nUsage: " << command->usage << "\n";
    return kExitUsage;
  } catch (const Failure &e) {
    std::cout.flush();
    std::cerr << "ovw: " << e.message << "\n";
    return kExitFailure;
  }
}

}  // namespace

int main(int argc, char **argv) {
  // Fault rules in the environment are meant for the programs under test, not for this tool.
  KestaraFaultClear();
  try {
    return run(argc, argv);
  } catch (const std::exception &e) {
    std::cerr << "ovw: " << e.what() << "\n";
    return kExitFailure;
  }
}

// listing.cc - what `ovw list` prints: the snapshot as text for people, or as one JSON document.
#include "listing.h"

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kestara::ovw {

namespace {

const char *typeName(int type) {
  switch (type) {
    case OVW_FIELD_BOOLEAN:
      return "boolean";
    case OVW_FIELD_INTEGER:
      return "integer";
    case OVW_FIELD_STRING:
      return "string";
    case OVW_FIELD_ENUM:
      return "enumeration";
    default:
      return "unknown";
  }
}

const char *behaviorName(int behavior) {
  switch (behavior) {
    case OVW_BEHAVIOR_EXPLODE:
      return "explode";
    case OVW_BEHAVIOR_ACTION:
      return "action";
    default:
      return "none";
  }
}

using Json = nlohmann::ordered_json;

Json optionalText(const std::optional<std::string> &s) { return s ? Json(*s) : Json(nullptr); }

Json symbolJson(const SymbolRow &s) {
  return {{"id", s.id},
          {"submap", s.submap_id},
          {"object", s.object_id},
          {"type", s.type},
          {"label", s.label},
          {"application", optionalText(s.application)},
          {"behavior", behaviorName(s.behavior)},
          {"action", optionalText(s.action)},
          {"targets", s.targets}};
}

// Names come from the database: control characters would garble the terminal.
std::string shown(std::string_view s) { return shownText(s); }

std::string orNone(const std::optional<std::string> &s) {
  return s ? "\"" + shown(*s) + "\"" : "-";
}

}  // namespace

std::string shownText(std::string_view s) {
  std::string out(s);
  for (char &c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

void printJson(std::ostream &out, const admin::Snapshot &snap) {
  std::map<std::string, int> fieldTypes;
  Json fields = Json::array();
  for (const admin::Snapshot::Field &f : snap.fields) {
    fieldTypes[f.name] = f.type;
    fields.push_back({{"id", f.id}, {"name", f.name}, {"type", typeName(f.type)}});
  }
  Json applications = Json::array();
  for (const admin::Snapshot::Application &a : snap.applications) {
    Json actions = Json::array();
    for (const admin::Snapshot::Action &x : a.actions) {
      actions.push_back({{"name", x.name}, {"command", optionalText(x.command)}});
    }
    applications.push_back({{"name", a.name},
                            {"description", optionalText(a.description)},
                            {"actions", std::move(actions)}});
  }
  Json sessions = Json::array();
  for (const admin::Snapshot::Session &s : snap.sessions) {
    Json attachments = Json::array();
    for (const admin::Snapshot::AttachmentInfo &a : s.attachments) {
      attachments.push_back({{"application", a.application}, {"pid", a.pid}, {"events", a.events}});
    }
    sessions.push_back({{"name", s.name},
                        {"running", s.running},
                        {"map", optionalText(s.map)},
                        {"selection", s.selection},
                        {"attachments", std::move(attachments)}});
  }
  Json maps = Json::array();
  for (const admin::Snapshot::Map &m : snap.maps) {
    Json submaps = Json::array();
    for (const admin::Snapshot::Submap &sm : m.submaps) {
      Json symbols = Json::array();
      for (const SymbolRow &sym : sm.symbols) symbols.push_back(symbolJson(sym));
      submaps.push_back({{"id", sm.row.id},
                         {"name", sm.row.name},
                         {"parent_object", sm.row.parent_object},
                         {"symbols", std::move(symbols)}});
    }
    maps.push_back({{"id", m.row.id},
                    {"name", m.row.name},
                    {"root_submap", m.row.root_submap},
                    {"submaps", std::move(submaps)}});
  }
  Json objects = Json::array();
  for (const admin::Snapshot::Object &obj : snap.objects) {
    Json values = Json::object();
    for (const auto &[name, value] : obj.values) {
      auto type = fieldTypes.find(name);
      if (type != fieldTypes.end() && type->second == OVW_FIELD_BOOLEAN) {
        values[name] = value != 0;
      } else {
        values[name] = value;
      }
    }
    objects.push_back({{"id", obj.row.id},
                       {"hostname", optionalText(obj.row.hostname)},
                       {"selection_name", optionalText(obj.row.selection_name)},
                       {"fields", std::move(values)}});
  }
  const Json document = {{"database", snap.database},
                         {"fields", std::move(fields)},
                         {"applications", std::move(applications)},
                         {"sessions", std::move(sessions)},
                         {"maps", std::move(maps)},
                         {"objects", std::move(objects)}};
  out << document.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

void printText(std::ostream &out, const admin::Snapshot &snap) {
  std::ostringstream o;
  o << "Database " << snap.database << "\n\nFields:\n";
  for (const auto &f : snap.fields) {
    o << "  " << f.id << "  " << shown(f.name) << " (" << typeName(f.type) << ")\n";
  }
  o << "\nApplications:\n";
  if (snap.applications.empty()) o << "  (none; run \"ovw -fields\")\n";
  for (const auto &a : snap.applications) {
    o << "  \"" << shown(a.name) << "\"\n";
    for (const auto &x : a.actions) o << "    action \"" << shown(x.name) << "\"\n";
  }
  o << "\nSessions:\n";
  if (snap.sessions.empty()) o << "  (none)\n";
  for (const auto &s : snap.sessions) {
    o << "  " << shown(s.name) << (s.running ? "  running" : "  ended");
    if (s.map) o << ", map " << orNone(s.map);
    if (!s.selection.empty()) {
      o << ", selected:";
      for (uint32_t id : s.selection) o << " " << id;
    }
    o << "\n";
    for (const auto &a : s.attachments) {
      o << "    attached: \"" << shown(a.application) << "\" (pid " << a.pid << "), events";
      if (a.events.empty()) o << " none";
      for (int e : a.events) o << " " << e;
      o << "\n";
    }
  }
  o << "\nMaps:\n";
  if (snap.maps.empty()) o << "  (none)\n";
  for (const auto &m : snap.maps) {
    o << "  " << m.row.id << "  \"" << shown(m.row.name) << "\"\n";
    for (const auto &sm : m.submaps) {
      o << "    submap " << sm.row.id << " \"" << shown(sm.row.name) << "\"";
      if (sm.row.parent_object == 0) {
        o << " (root)";
      } else {
        o << " of object " << sm.row.parent_object;
      }
      o << "\n";
      for (const auto &sym : sm.symbols) {
        o << "      symbol " << sym.id << " object " << sym.object_id << " " << shown(sym.type)
          << " \"" << shown(sym.label) << "\"";
        if (sym.application) o << " by " << orNone(sym.application);
        if (sym.behavior == OVW_BEHAVIOR_ACTION) {
          o << ", action " << orNone(sym.action) << " on";
          for (uint32_t t : sym.targets) o << " " << t;
        } else if (sym.behavior == OVW_BEHAVIOR_EXPLODE) {
          o << ", explodes";
        }
        o << "\n";
      }
    }
  }
  o << "\nObjects:\n";
  if (snap.objects.empty()) o << "  (none)\n";
  for (const auto &obj : snap.objects) {
    o << "  " << obj.row.id << "  host " << orNone(obj.row.hostname) << ", selection "
      << orNone(obj.row.selection_name);
    for (const auto &[name, value] : obj.values) {
      o << ", " << shown(name) << "=" << (value != 0 ? "true" : "false");
    }
    o << "\n";
  }
  out << o.str();
}

}  // namespace kestara::ovw

// admin.h - what the `ovw` tool does to the database: the part of the platform's GUI and network
// monitor that operators, demos and tests play.
#ifndef KESTARA_PLATFORM_OVW_ADMIN_H
#define KESTARA_PLATFORM_OVW_ADMIN_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "result.h"
#include "store_backend.h"

namespace kestara::ovw::admin {

inline constexpr const char *kDefaultMap = "default";
inline constexpr std::chrono::milliseconds kDefaultCloseTimeout{2000};

// "<local host name>:0".
std::string localSessionName();

Status startSession(StoreBackend &store, const std::string &name);

struct CloseReport {
  std::string map;
  std::vector<std::string> unacknowledged;  // applications that did not acknowledge in time
};

// Closes the session's open map: posts event 4, waits up to `timeout` for the acknowledgements
// of the applications registered for it, then closes the map anyway.
Result<CloseReport> closeMap(StoreBackend &store, const std::string &session,
                             std::chrono::milliseconds timeout);

// Ends a session: closes its map first (as closeMap) when one is open, then posts event 1.
Result<std::optional<CloseReport>> endSession(StoreBackend &store, const std::string &name,
                                              std::chrono::milliseconds timeout);

// Opens a map (created with its root submap when new) in the session: event 3.
Result<MapRow> openMap(StoreBackend &store, const std::string &session, const std::string &map);

struct NodeSpec {
  std::string hostname;
  std::optional<std::string> selection_name;  // default: the host name
  bool is_node = true;
  bool snmp_supported = true;
  std::optional<std::string> map;  // default: the session's open map, else "default"
  std::string session;
};

struct NodeAdded {
  uint32_t object_id = 0;
  std::string map;
  uint32_t symbol_id = 0;
  uint32_t submap_id = 0;
};

// Creates a node object with a symbol on the map's root submap and a submap of its own, and
// announces it with event 18.
Result<NodeAdded> addNode(StoreBackend &store, const NodeSpec &spec);

struct NodeChange {
  std::optional<std::string> hostname;
  std::optional<std::string> selection_name;
  std::optional<bool> is_node;
  std::optional<bool> snmp_supported;
};
Status changeNode(StoreBackend &store, uint32_t object, const NodeChange &change);

// Deletes objects, announced with one event 15. Nothing is deleted when one doesn't exist.
Status deleteObjects(StoreBackend &store, const std::vector<uint32_t> &objects);

Status setBooleanField(StoreBackend &store, uint32_t object, const std::string &field, bool value);
Result<bool> getBooleanField(StoreBackend &store, uint32_t object, const std::string &field);

// Replaces the selection of the session's open map (empty: nothing selected).
Status select(StoreBackend &store, const std::string &session,
              const std::vector<uint32_t> &objects);

// Opens the object's own submap on the session's open map: event 30. Returns the submap id.
Result<uint32_t> openSubmap(StoreBackend &store, const std::string &session, uint32_t object);

// Everything there is, for `ovw list`.
struct Snapshot {
  struct Field {
    uint32_t id;
    std::string name;
    int type;
  };
  struct Action {
    std::string name;
    std::optional<std::string> command;
  };
  struct Application {
    std::string name;
    std::optional<std::string> description;
    std::vector<Action> actions;
  };
  struct AttachmentInfo {
    int64_t id;
    std::string application;
    int64_t pid;
    std::vector<int> events;
  };
  struct Session {
    int64_t id;
    std::string name;
    bool running;
    std::optional<std::string> map;
    std::vector<uint32_t> selection;
    std::vector<AttachmentInfo> attachments;
  };
  struct Submap {
    SubmapRow row;
    std::vector<SymbolRow> symbols;
  };
  struct Map {
    MapRow row;
    std::vector<Submap> submaps;
  };
  struct Object {
    ObjectRow row;
    std::vector<std::pair<std::string, int64_t>> values;  // field name, value
  };
  std::string database;
  std::vector<Field> fields;
  std::vector<Application> applications;
  std::vector<Session> sessions;
  std::vector<Map> maps;
  std::vector<Object> objects;
};
Result<Snapshot> snapshot(StoreBackend &store);

}  // namespace kestara::ovw::admin

#endif  // KESTARA_PLATFORM_OVW_ADMIN_H

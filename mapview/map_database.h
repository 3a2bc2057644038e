// map_database.h - the HTTP side's access to the object database: the open map of the session
// and its selection, through a connection of its own.
//
// Threads: the OVw library (OVw.h) keeps its state in one record per process and is not safe
// for threads, and its message wait blocks until an event comes; so only the session thread
// (map_session.h) ever calls it. The HTTP threads and the map watcher use this class instead: it
// holds its own SQLite connection through the store and the admin layer that the `ovw` tool uses,
// which share no memory with the library, and one mutex serialises every call on that
// connection. SQLite keeps the two connections consistent (WAL).
#ifndef KESTARA_MAPVIEW_MAP_DATABASE_H
#define KESTARA_MAPVIEW_MAP_DATABASE_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "map_view.h"
#include "result.h"
#include "store_backend.h"

namespace mapview {

class MapDatabase {
 public:
  // Opens the database at `path` for the session `session`.
  [[nodiscard]] static kestara::ovw::Result<std::unique_ptr<MapDatabase>> open(
      const std::string &path, std::string session);
  MapDatabase(const MapDatabase &) = delete;
  MapDatabase &operator=(const MapDatabase &) = delete;

  [[nodiscard]] const std::string &session() const { return session_; }

  // The session's open map as it is now (one read transaction).
  [[nodiscard]] kestara::ovw::Result<MapView> view();
  // Replaces the selection of the session's open map.
  [[nodiscard]] kestara::ovw::Status select(const std::vector<uint32_t> &objects);
  // Removes the attachments of process `pid` as `application` from the session, so that the
  // process's message wait ends (it then finds its attachment gone). Returns how many went.
  [[nodiscard]] kestara::ovw::Result<int> detachProcess(pid_t pid, const std::string &application);

 private:
  MapDatabase(std::unique_ptr<kestara::ovw::StoreBackend> store, std::string session)
      : store_(std::move(store)), session_(std::move(session)) {}

  std::mutex mutex_;
  std::unique_ptr<kestara::ovw::StoreBackend> store_;
  std::string session_;
};

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_MAP_DATABASE_H

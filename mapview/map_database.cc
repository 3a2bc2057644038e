// map_database.cc - the HTTP side's access to the object database.
#include "map_database.h"

#include "admin.h"

namespace mapview {

namespace ovw = kestara::ovw;

ovw::Result<std::unique_ptr<MapDatabase>> MapDatabase::open(const std::string &path,
                                                            std::string session) {
  ovw::Result<std::unique_ptr<ovw::StoreBackend>> store = ovw::openStore(path);
  if (!store) return store.error();
  return std::unique_ptr<MapDatabase>(new MapDatabase(std::move(*store), std::move(session)));
}

ovw::Result<MapView> MapDatabase::view() {
  const std::lock_guard lock(mutex_);
  ovw::Result<ovw::admin::Snapshot> snapshot = ovw::admin::snapshot(*store_);
  if (!snapshot) return snapshot.error();
  return buildMapView(*snapshot, session_);
}

ovw::Status MapDatabase::select(const std::vector<uint32_t> &objects) {
  const std::lock_guard lock(mutex_);
  return ovw::admin::select(*store_, session_, objects);
}

ovw::Result<int> MapDatabase::detachProcess(pid_t pid, const std::string &application) {
  const std::lock_guard lock(mutex_);
  ovw::Result<ovw::admin::Snapshot> snapshot = ovw::admin::snapshot(*store_);
  if (!snapshot) return snapshot.error();
  int detached = 0;
  for (const ovw::admin::Snapshot::Session &s : snapshot->sessions) {
    for (const ovw::admin::Snapshot::AttachmentInfo &a : s.attachments) {
      if (a.pid != pid || a.application != application) continue;
      OVW_TRY(store_->detach(a.id));
      ++detached;
    }
  }
  return detached;
}

}  // namespace mapview

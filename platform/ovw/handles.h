// handles.h - the records the OVw library hands to its callers (object, symbol, submap and map
// information, id lists): built from store rows, kept until the caller frees them.
#ifndef KESTARA_PLATFORM_OVW_HANDLES_H
#define KESTARA_PLATFORM_OVW_HANDLES_H

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OVw.h"
#include "store_backend.h"

namespace kestara::ovw::library {

// Texts of one record; pointers stay valid as long as the pool (a deque never moves its
// elements).
class StringPool {
 public:
  const char *add(const std::optional<std::string> &text) {
    if (!text) return nullptr;
    return texts_.emplace_back(*text).c_str();
  }
  const char *add(const std::string &text) { return texts_.emplace_back(text).c_str(); }

 private:
  std::deque<std::string> texts_;
};

enum class Kind { kIdList, kObjectList, kObjectInfo, kSymbolList, kSymbolInfo, kSubmapInfo, kMap };

struct Record {
  virtual ~Record() = default;
};

struct IdListRecord : Record {
  OVwObjectIdList list{};
  std::vector<OVwObjectId> ids;
};

struct ObjectListRecord : Record {
  OVwObjectList list{};
  std::vector<OVwObjectInfo> items;
  StringPool texts;
};

struct ObjectInfoRecord : Record {
  OVwObjectInfo info{};
  StringPool texts;
};

struct SymbolListRecord : Record {
  OVwSymbolList list{};
  std::vector<OVwSymbolInfo> items;
  std::deque<std::vector<OVwObjectId>> targets;
  StringPool texts;
};

struct SymbolInfoRecord : Record {
  OVwSymbolInfo info{};
  std::vector<OVwObjectId> targets;
  StringPool texts;
};

struct SubmapInfoRecord : Record {
  OVwSubmapInfo info{};
  StringPool texts;
};

struct MapRecord : Record {
  OVwMapInfo info{};
  StringPool texts;
};

// Keeps `record` for the caller, who holds it by `handle` (a member of the record) until the Free
// call of its kind; returns `handle`.
void keepRecord(std::unique_ptr<Record> record, Kind kind, const void *handle);
template <typename R, typename T>
T *keep(std::unique_ptr<R> record, Kind kind, T *handle) {
  keepRecord(std::move(record), kind, handle);
  return handle;
}

// Takes a record back. Pointers the library did not hand out (or already took back), and those
// of another kind, are ignored.
void release(const void *handle, Kind kind);

// --- Building records from rows ---

void fillObject(OVwObjectInfo &info, const ObjectRow &row, StringPool &texts);
std::unique_ptr<ObjectListRecord> objectList(const std::vector<ObjectRow> &rows);
void fillSymbol(OVwSymbolInfo &info, const SymbolRow &row, std::vector<OVwObjectId> &targets,
                StringPool &texts);
std::unique_ptr<SymbolListRecord> symbolList(const std::vector<SymbolRow> &rows);
void fillSubmap(OVwSubmapInfo &info, const SubmapRow &row, StringPool &texts);
std::unique_ptr<MapRecord> mapRecord(const MapRow &row, const std::string &session_name);
// An id list, kept for the caller.
OVwObjectIdList *idList(const std::vector<uint32_t> &ids);

}  // namespace kestara::ovw::library

#endif  // KESTARA_PLATFORM_OVW_HANDLES_H

// maps.h - maps, submaps and symbols for the OVw library. Each call checks that the map handle
// names an existing map (and, where it says so, the map open in the attached session) and
// returns what the entry point of the same name hands back.
#ifndef KESTARA_PLATFORM_OVW_MAPS_H
#define KESTARA_PLATFORM_OVW_MAPS_H

#include "OVw.h"
#include "result.h"

namespace kestara::ovw::library {

// The map open in the attached session, kept for the caller.
Result<OVwMapInfo *> openMapInfo();
// Both only check that `map` is the map open in the attached session.
Status beginMapSync(OVwMapInfo *map);
Status endMapSync(OVwMapInfo *map);
Status ackMapClose(OVwMapInfo *map, const OVwMapCloseInfo *close_info);

Result<OVwSymbolList *> symbolsByObject(OVwMapInfo *map, OVwObjectId object);
Result<OVwSymbolList *> listSymbols(OVwMapInfo *map, OVwSubmapId submap, int kind,
                                    const char *application);
Result<OVwSymbolInfo *> symbolInfo(OVwMapInfo *map, OVwSymbolId symbol);
Result<OVwSubmapInfo *> submapInfo(OVwMapInfo *map, OVwSubmapId submap);
Result<OVwObjectInfo *> objectInfo(OVwMapInfo *map, OVwObjectId object);
Result<OVwObjectList *> listObjectsOnMap(OVwMapInfo *map, const OVwFieldBindList *filter);

// Symbols are always placed automatically: there is no position.
Result<OVwSymbolId> createSymbol(OVwMapInfo *map, OVwSubmapId submap, OVwObjectId object,
                                 const char *symbol_type, const char *label, int status,
                                 int variety, int flags);
Status setSymbolBehavior(OVwMapInfo *map, OVwSymbolId symbol, int behavior, const char *application,
                         const char *action, const OVwObjectIdList *targets);
Status deleteSymbol(OVwMapInfo *map, OVwSymbolId symbol);

}  // namespace kestara::ovw::library

#endif  // KESTARA_PLATFORM_OVW_MAPS_H

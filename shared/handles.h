// handles.h - owning handles for what the platform libraries and the C library hand out, each
// released with its own call on every path.
#ifndef KESTARA_SHARED_HANDLES_H
#define KESTARA_SHARED_HANDLES_H

#include <netdb.h>

#include <cstdio>
#include <memory>

#include "OVsnmp.h"
#include "OVw.h"
#include "field_list.h"

// Releases a pointer with `Release`, which is not called for null.
template <typename T, auto Release>
struct Releaser {
  void operator()(T *p) const {
    if (p != nullptr) (void)Release(p);
  }
};

// A unique_ptr that gives its object back with `Release`.
template <typename T, auto Release>
using Owned = std::unique_ptr<T, Releaser<T, Release>>;

using PduPtr = Owned<OVsnmpPdu, OVsnmpFreePdu>;
using ObjectIdListPtr = Owned<OVwObjectIdList, OVwDbFreeObjectIdList>;
using FieldListPtr = Owned<OVwFieldBindList, freeFieldValueList>;
using ObjectListPtr = Owned<OVwObjectList, OVwFreeObjectList>;
using SymbolListPtr = Owned<OVwSymbolList, OVwFreeSymbolList>;
using SymbolInfoPtr = Owned<OVwSymbolInfo, OVwFreeSymbolInfo>;
using SubmapInfoPtr = Owned<OVwSubmapInfo, OVwFreeSubmapInfo>;
using ObjectInfoPtr = Owned<OVwObjectInfo, OVwFreeObjectInfo>;
using MapInfoPtr = Owned<OVwMapInfo, OVwFreeMapInfo>;
using AddrInfoPtr = Owned<addrinfo, freeaddrinfo>;
using FilePtr = Owned<std::FILE, std::fclose>;

#endif  // KESTARA_SHARED_HANDLES_H

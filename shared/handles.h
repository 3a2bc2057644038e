// handles.h - owning handles for what the platform libraries, the C library and the system hand
// out, each released with its own call on every path. Copying is not allowed; moving hands the
// thing over.
#ifndef KESTARA_SHARED_HANDLES_H
#define KESTARA_SHARED_HANDLES_H

#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "OVsnmp.h"
#include "OVw.h"
#include "field_list.h"

// --- Records behind a pointer ----------------------------------------------------------------

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

// --- Handles that are numbers ------------------------------------------------------------------

// Owns one handle of type T, or none (`None`), and releases it with `Release` on destruction
// or reset().
template <typename T, auto Release, T None>
class Handle {
 public:
  Handle() = default;
  explicit Handle(T value) : value_(value) {}
  ~Handle() { reset(); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  Handle(Handle &&other) noexcept : value_(std::exchange(other.value_, None)) {}
  Handle &operator=(Handle &&other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, None));
    return *this;
  }

  [[nodiscard]] T get() const { return value_; }
  explicit operator bool() const { return value_ != None; }
  // Releases the handle held, if any, and takes `value` (None: nothing).
  void reset(T value = None) {
    if (value_ != None) (void)Release(value_);
    value_ = value;
  }
  // Hands the handle over without releasing it.
  [[nodiscard]] T release() { return std::exchange(value_, None); }

 private:
  T value_ = None;
};

// A descriptor (-1: none), closed when its owner goes.
using UniqueFd = Handle<int, ::close, -1>;

// An OVsnmp session (0: none), closed with OVsnmpClose when its owner goes. (Sessions of
// snmpOpen are closed with snmpClose, which says when the library refuses: SnmpSession in
// snmp_ops.h.)
using EventSessionHandle = Handle<OVsnmpSession, OVsnmpClose, OVsnmpSession{0}>;

#endif  // KESTARA_SHARED_HANDLES_H

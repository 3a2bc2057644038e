// pdu_store.cc - the library's own PDU records and their conversion to and from net-snmp.
#include "pdu_store.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "node_pool.h"

namespace ovsnmp {

namespace {

// The registry's entries are kept for reuse: one is made and dropped for every PDU handed out.
using Registry = std::unordered_map<const OVsnmpPdu *, PduPtr, std::hash<const OVsnmpPdu *>,
                                    std::equal_to<const OVsnmpPdu *>,
                                    NodeAllocator<std::pair<const OVsnmpPdu *const, PduPtr>>>;

// Never destroyed: records still held by the program at exit stay reachable and are not
// torn down behind its back.
Registry &registry() {
  static Registry *r = new Registry;
  return *r;
}

// Spare records, and the bounds that keep what they hold small.
constexpr size_t kSparePdus = 64;
constexpr size_t kSpareBindings = 4;  // per record
constexpr size_t kSpareWords = 128;   // of a spare binding's value storage
constexpr size_t kSpareNameLength = 32;

std::vector<Pdu *> &sparePdus() {
  static auto *spares = [] {
    auto *v = new std::vector<Pdu *>;
    v->reserve(kSparePdus);
    return v;
  }();
  return *spares;
}

// A binding for `pdu`: one of its spare ones when it has one.
std::unique_ptr<Binding> takeBinding(Pdu &pdu) {
  if (pdu.spare.empty()) return std::make_unique<Binding>();
  std::unique_ptr<Binding> b = std::move(pdu.spare.back());
  pdu.spare.pop_back();
  b->pub = OVsnmpVarBind{};
  return b;
}

bool smallEnough(const Binding &b) {
  return b.storage.capacity() <= kSpareWords && b.name.capacity() <= kSpareNameLength;
}

int32_t clampToInt32(long value) {
  return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

// net-snmp keeps sub-identifiers in `oid` (unsigned long); ours are 32 bits. Copies `length`
// of them into `out` (`extra` zero words more), reusing its storage. False when the identifier
// is too long or a sub-identifier does not fit.
bool fromNetSnmpOid(const oid *name, size_t length, std::vector<uint32_t> &out, size_t extra = 0) {
  if (length > kMaxOidLength || (length > 0 && name == nullptr)) return false;
  out.resize(length + extra);
  for (size_t i = 0; i < length; ++i) {
    if (name[i] > UINT32_MAX) return false;
    out[i] = static_cast<OVsnmpOid>(name[i]);
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(length), out.end(), 0);
  return true;
}

// Copies one net-snmp binding's value. False when the value is malformed.
bool copyValue(const netsnmp_variable_list &var, Binding &b) {
  const uint8_t type = var.type;
  switch (type) {
    case ASN_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      b.setNull(type);
      return true;
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      if (var.val.integer == nullptr) return false;
      // A negative INTEGER keeps its 32-bit two's complement.
      b.setWord(type, static_cast<uint32_t>(static_cast<unsigned long>(*var.val.integer)));
      return true;
    case ASN_COUNTER64:
      if (var.val.counter64 == nullptr) return false;
      b.setCounter64(static_cast<uint32_t>(var.val.counter64->high),
                     static_cast<uint32_t>(var.val.counter64->low));
      return true;
    case ASN_OBJECT_ID: {
      if (var.val.objid == nullptr && var.val_len > 0) return false;
      const size_t length = var.val_len / sizeof(oid);
      // One zero word more: val stays non-null for an empty identifier.
      if (!fromNetSnmpOid(var.val.objid, length, b.storage, 1)) return false;
      b.pub.type = OVSNMP_OBJECTID;
      b.pub.val = b.storage.data();
      b.pub.val_len = length * sizeof(OVsnmpOid);
      return true;
    }
    default:
      // OCTET STRING, IpAddress, Opaque and any other type: the bytes as received.
      if (var.val.string == nullptr && var.val_len > 0) return false;
      b.setBytes(type, std::span<const uint8_t>(var.val.string, var.val_len));
      return true;
  }
}

}  // namespace

void Binding::setNull(uint8_t type) {
  storage.clear();
  pub.type = type;
  pub.val = nullptr;
  pub.val_len = 0;
}

void Binding::setWord(uint8_t type, uint32_t word) {
  storage.assign(1, word);
  pub.type = type;
  pub.val = storage.data();
  pub.val_len = sizeof(uint32_t);
}

void Binding::setCounter64(uint32_t high, uint32_t low) {
  storage = {high, low};
  pub.type = OVSNMP_COUNTER64;
  pub.val = storage.data();
  pub.val_len = 2 * sizeof(uint32_t);
}

void Binding::setBytes(uint8_t type, std::span<const uint8_t> bytes) {
  storage.assign(bytes.size() / sizeof(uint32_t) + 1, 0);
  if (!bytes.empty()) std::memcpy(storage.data(), bytes.data(), bytes.size());
  pub.type = type;
  pub.val = storage.data();
  pub.val_len = bytes.size();
}

Binding &Pdu::add(std::span<const OVsnmpOid> name) {
  std::unique_ptr<Binding> b = takeBinding(*this);
  b->name.assign(name.begin(), name.end());
  b->setNull(OVSNMP_NULL);
  bindings.push_back(std::move(b));
  relink();
  return *bindings.back();
}

void Pdu::relink() {
  pub.enterprise = enterprise.empty() ? nullptr : enterprise.data();
  pub.enterprise_length = enterprise.size();
  OVsnmpVarBind *next = nullptr;
  for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
    Binding &b = **it;
    b.pub.oid = b.name.empty() ? nullptr : b.name.data();
    b.pub.oid_length = b.name.size();
    b.pub.next_variable = next;
    next = &b.pub;
  }
  pub.variables = next;
}

void PduRecycler::operator()(Pdu *pdu) const {
  std::vector<Pdu *> &spares = sparePdus();
  if (spares.size() >= kSparePdus || pdu->enterprise.capacity() > kSpareNameLength ||
      pdu->bindings.capacity() > kSpareBindings) {
    delete pdu;
    return;
  }
  // Within the room makePdu reserved: nothing here allocates.
  for (std::unique_ptr<Binding> &b : pdu->bindings) {
    if (pdu->spare.size() < kSpareBindings && smallEnough(*b)) pdu->spare.push_back(std::move(b));
  }
  pdu->bindings.clear();
  pdu->enterprise.clear();
  pdu->pub = OVsnmpPdu{};
  spares.push_back(pdu);  // within the room reserved
}

PduPtr makePdu(int command) {
  std::vector<Pdu *> &spares = sparePdus();
  PduPtr pdu;
  if (spares.empty()) {
    pdu.reset(new Pdu);
    pdu->spare.reserve(kSpareBindings);
  } else {
    pdu.reset(spares.back());
    spares.pop_back();
  }
  pdu->pub.command = command;
  pdu->relink();
  return pdu;
}

OVsnmpPdu *issue(PduPtr pdu) {
  OVsnmpPdu *pub = &pdu->pub;
  registry().emplace(pub, std::move(pdu));
  return pub;
}

Pdu *lookup(const OVsnmpPdu *pdu) {
  if (pdu == nullptr) return nullptr;
  auto it = registry().find(pdu);
  return it == registry().end() ? nullptr : it->second.get();
}

PduPtr reclaim(const OVsnmpPdu *pdu) {
  if (pdu == nullptr) return nullptr;
  auto it = registry().find(pdu);
  if (it == registry().end()) return nullptr;
  PduPtr owned = std::move(it->second);
  registry().erase(it);
  return owned;
}

snmp_pdu *toNetSnmpRequest(const Pdu &pdu) {
  netsnmp_pdu *out = snmp_pdu_create(pdu.pub.command);
  if (out == nullptr) return nullptr;
  for (const auto &b : pdu.bindings) {
    oid name[kMaxOidLength];
    const size_t length = std::min(b->name.size(), kMaxOidLength);
    std::copy_n(b->name.begin(), length, name);
    if (snmp_add_null_var(out, name, length) == nullptr) {
      snmp_free_pdu(out);
      return nullptr;
    }
  }
  return out;
}

snmp_pdu *toNetSnmpRequest(int command, std::span<const OVsnmpOid> name) {
  netsnmp_pdu *out = snmp_pdu_create(command);
  if (out == nullptr) return nullptr;
  oid copy[kMaxOidLength];
  const size_t length = std::min(name.size(), kMaxOidLength);
  std::copy_n(name.begin(), length, copy);
  if (snmp_add_null_var(out, copy, length) == nullptr) {
    snmp_free_pdu(out);
    return nullptr;
  }
  return out;
}

PduPtr fromNetSnmp(const snmp_pdu &in) {
  PduPtr pdu = makePdu(in.command);
  pdu->pub.error_status = clampToInt32(in.errstat);
  pdu->pub.error_index = clampToInt32(in.errindex);
  if (in.command == SNMP_MSG_TRAP) {
    if (!fromNetSnmpOid(in.enterprise, in.enterprise_length, pdu->enterprise)) return nullptr;
    pdu->pub.generic_type = clampToInt32(in.trap_type);
    pdu->pub.specific_type = clampToInt32(in.specific_type);
  }
  for (const netsnmp_variable_list *var = in.variables; var != nullptr; var = var->next_variable) {
    std::unique_ptr<Binding> b = takeBinding(*pdu);
    if (!fromNetSnmpOid(var->name, var->name_length, b->name)) return nullptr;
    if (!copyValue(*var, *b)) return nullptr;
    pdu->bindings.push_back(std::move(b));
  }
  pdu->relink();
  return pdu;
}

}  // namespace ovsnmp

// oid_text.cc - event filters and the v1 form of traps.
#include "oid_text.h"

#include <algorithm>

namespace ovsnmp {

namespace {

std::string_view trim(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<Oid> parseOid(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  Oid oid;
  uint64_t value = 0;
  bool have_digit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<uint64_t>(c - '0');
      if (value > UINT32_MAX) return std::nullopt;
      have_digit = true;
    } else if (c == '.') {
      if (!have_digit || oid.size() == kMaxOidLength) return std::nullopt;
      oid.push_back(static_cast<OVsnmpOid>(value));
      value = 0;
      have_digit = false;
    } else {
      return std::nullopt;
    }
  }
  if (!have_digit || oid.size() == kMaxOidLength) return std::nullopt;
  oid.push_back(static_cast<OVsnmpOid>(value));
  return oid;
}

std::optional<std::vector<Oid>> parseFilter(std::string_view text) {
  std::vector<Oid> entries;
  while (true) {
    size_t semi = text.find(';');
    std::string_view item = trim(text.substr(0, semi));
    if (!item.empty()) {
      std::optional<Oid> oid = parseOid(item);
      if (!oid) return std::nullopt;
      entries.push_back(std::move(*oid));
    }
    if (semi == std::string_view::npos) break;
    text.remove_prefix(semi + 1);
  }
  if (entries.empty()) return std::nullopt;
  return entries;
}

bool sameOid(std::span<const OVsnmpOid> a, std::span<const OVsnmpOid> b) {
  return std::ranges::equal(a, b);
}

Oid notificationIdOfV1(std::span<const OVsnmpOid> enterprise, int32_t generic, int32_t specific) {
  if (generic >= 0 && generic <= 5) {
    Oid id(std::begin(kSnmpTraps), std::end(kSnmpTraps));
    id.push_back(static_cast<OVsnmpOid>(generic + 1));
    return id;
  }
  Oid id(enterprise.begin(), enterprise.end());
  id.push_back(0);
  id.push_back(static_cast<OVsnmpOid>(specific));
  return id;
}

V1Form v1FormOf(std::span<const OVsnmpOid> trap_oid, std::span<const OVsnmpOid> trap_enterprise) {
  V1Form form;
  const std::span<const OVsnmpOid> traps(kSnmpTraps);
  if (trap_oid.size() == traps.size() + 1 && sameOid(trap_oid.first(traps.size()), traps) &&
      trap_oid.back() >= 1 && trap_oid.back() <= 6) {
    form.generic = static_cast<int32_t>(trap_oid.back() - 1);
    form.specific = 0;
    if (!trap_enterprise.empty()) {
      form.enterprise.assign(trap_enterprise.begin(), trap_enterprise.end());
    } else {
      form.enterprise.assign(traps.begin(), traps.end());
    }
    return form;
  }
  form.generic = 6;
  if (trap_oid.empty()) return form;
  form.specific = static_cast<int32_t>(trap_oid.back());
  size_t keep = trap_oid.size() - 1;
  if (keep >= 1 && trap_oid[keep - 1] == 0) --keep;
  form.enterprise.assign(trap_oid.begin(), trap_oid.begin() + static_cast<ptrdiff_t>(keep));
  return form;
}

bool filterMatches(std::span<const Oid> filter, std::span<const OVsnmpOid> id) {
  return std::ranges::any_of(filter, [&](const Oid &entry) { return sameOid(entry, id); });
}

}  // namespace ovsnmp

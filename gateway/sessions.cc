// sessions.cc - the gateway's SNMP sessions: owned by an address, counted, and closed when idle.
#include "sessions.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace {

// A whole number from the environment within [low, high], or `fallback`.
long envNumber(const char *name, long low, long high, long fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr) return fallback;
  std::string_view view(text);
  long value = 0;
  auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (ec != std::errc() || end != view.data() + view.size() || value < low || value > high) {
    return fallback;
  }
  return value;
}

}  // namespace

SessionLimits SessionLimits::fromEnvironment() {
  SessionLimits l;
  l.perAddress = static_cast<size_t>(
      envNumber("TAVRIN_SESSIONS_PER_ADDRESS", 1, 65536, static_cast<long>(l.perAddress)));
  l.total =
      static_cast<size_t>(envNumber("TAVRIN_SESSIONS_MAX", 1, 65536, static_cast<long>(l.total)));
  l.idle = std::chrono::seconds(
      envNumber("TAVRIN_SESSION_IDLE_SECONDS", 1, 7 * 24 * 3600, l.idle.count()));
  l.reclaimable = std::min(l.reclaimable, l.idle);
  return l;
}

size_t SessionTable::countOf(in_addr owner) const {
  return static_cast<size_t>(std::ranges::count_if(
      entries_, [&](const auto &e) { return e.second.owner.s_addr == owner.s_addr; }));
}

SessionTable::Admit SessionTable::admit(in_addr owner, Clock::time_point now,
                                        std::optional<Entry> &reclaimed) {
  reclaimed.reset();
  if (countOf(owner) >= limits_.perAddress) return Admit::kAddressFull;
  if (entries_.size() < limits_.total) return Admit::kYes;
  auto oldest = std::ranges::min_element(
      entries_, [](const auto &a, const auto &b) { return a.second.lastUse < b.second.lastUse; });
  if (oldest == entries_.end() || now - oldest->second.lastUse < limits_.reclaimable) {
    return Admit::kTableFull;
  }
  reclaimed = oldest->second;
  entries_.erase(oldest);
  return Admit::kYes;
}

void SessionTable::add(OVsnmpSession handle, in_addr owner, Clock::time_point now) {
  entries_[handle] = Entry{handle, owner, now};
}

bool SessionTable::use(OVsnmpSession handle, in_addr who, Clock::time_point now) {
  auto it = entries_.find(handle);
  if (it == entries_.end() || it->second.owner.s_addr != who.s_addr) return false;
  it->second.lastUse = now;
  return true;
}

void SessionTable::remove(OVsnmpSession handle) { entries_.erase(handle); }

std::vector<SessionTable::Entry> SessionTable::expire(Clock::time_point now) {
  std::vector<Entry> expired;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now - it->second.lastUse >= limits_.idle) {
      expired.push_back(it->second);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  return expired;
}

std::optional<SessionTable::Clock::time_point> SessionTable::nextExpiry() const {
  std::optional<Clock::time_point> next;
  for (const auto &[handle, e] : entries_) {
    const auto due = e.lastUse + limits_.idle;
    if (!next || due < *next) next = due;
  }
  return next;
}

// sessions.cc - the gateway's SNMP sessions: owned by an address, counted, and closed when idle.
#include "sessions.h"

#include <algorithm>
#include <string_view>

#include "text.h"

SessionLimits SessionLimits::fromEnvironment() {
  SessionLimits l;
  l.perAddress = environmentNumber("TAVRIN_SESSIONS_PER_ADDRESS", 1, 65536, l.perAddress);
  l.total = environmentNumber("TAVRIN_SESSIONS_MAX", 1, 65536, l.total);
  l.idle = std::chrono::seconds(environmentNumber("TAVRIN_SESSION_IDLE_SECONDS", 1, 7 * 24 * 3600,
                                                  static_cast<uint64_t>(l.idle.count())));
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
  if (!noneBefore_ || now + limits_.idle < *noneBefore_) noneBefore_ = now + limits_.idle;
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
  if (!noneBefore_ || now < *noneBefore_) return expired;
  noneBefore_.reset();
  for (auto it = entries_.begin(); it != entries_.end();) {
    const auto due = it->second.lastUse + limits_.idle;
    if (now >= due) {
      expired.push_back(it->second);
      it = entries_.erase(it);
    } else {
      if (!noneBefore_ || due < *noneBefore_) noneBefore_ = due;
      ++it;
    }
  }
  return expired;
}

std::optional<SessionTable::Clock::time_point> SessionTable::nextExpiry() const {
  if (entries_.empty()) return std::nullopt;
  return noneBefore_;
}

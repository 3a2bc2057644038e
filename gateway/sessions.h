// sessions.h - the gateway's SNMP sessions: each belongs to the address that opened it, an
// address may hold only so many, and a session left idle is closed.
#ifndef KESTARA_GATEWAY_SESSIONS_H
#define KESTARA_GATEWAY_SESSIONS_H

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <vector>

#include "OVsnmp.h"

struct SessionLimits {
  size_t perAddress = 16;                // sessions one address may hold open
  size_t total = 256;                    // sessions open at once, for all addresses
  std::chrono::seconds idle{600};        // a session unused this long is closed
  std::chrono::seconds reclaimable{30};  // when the table is full, the least recently used
                                         // session is closed for a new one once idle this long

  // The defaults above, with TAVRIN_SESSIONS_PER_ADDRESS, TAVRIN_SESSIONS_MAX and
  // TAVRIN_SESSION_IDLE_SECONDS from the environment where they hold a number in range.
  static SessionLimits fromEnvironment();
};

class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  struct Entry {
    OVsnmpSession handle = 0;
    in_addr owner{};
    Clock::time_point lastUse;
  };

  explicit SessionTable(SessionLimits limits) : limits_(limits) {}

  // Why an address may not open a session now.
  enum class Admit { kYes, kAddressFull, kTableFull };
  // Whether `owner` may open one more session. When the table is full, the least recently used
  // session is given up for the new one if it has been idle long enough: it is removed from
  // the table and returned in `reclaimed` for the caller to close.
  [[nodiscard]] Admit admit(in_addr owner, Clock::time_point now, std::optional<Entry> &reclaimed);
  void add(OVsnmpSession handle, in_addr owner, Clock::time_point now);
  // True when `handle` is a session that `who` opened; its idle time then starts again.
  [[nodiscard]] bool use(OVsnmpSession handle, in_addr who, Clock::time_point now);
  void remove(OVsnmpSession handle);
  // Removes and returns the sessions idle for the limit or longer; the caller closes them.
  [[nodiscard]] std::vector<Entry> expire(Clock::time_point now);
  // When the next session may have been idle for the limit (never later than that: a session
  // used since may be due later); nothing when none is open.
  [[nodiscard]] std::optional<Clock::time_point> nextExpiry() const;

  size_t size() const { return entries_.size(); }
  size_t countOf(in_addr owner) const;
  const SessionLimits &limits() const { return limits_; }

 private:
  SessionLimits limits_;
  std::map<OVsnmpSession, Entry> entries_;
  // No session expires before this: the earliest expiry at the last look through the table
  // (uses only push expiries later), or an added session's. Looked through again once it
  // has come, so that a pass of the event loop does not walk every session.
  std::optional<Clock::time_point> noneBefore_;
};

#endif  // KESTARA_GATEWAY_SESSIONS_H

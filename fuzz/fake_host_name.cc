// fake_host_name.cc - "getHostName" without a network or a map, for fuzz targets.
#include <cstring>

#include "host_name.h"

HostNameStep startHostName(std::span<char, kReplySize> reply, size_t, const sockaddr_in &, bool,
                           UniqueFd &) {
  std::memcpy(reply.data(), "getHostName", 12);
  return HostNameStep::kDone;
}

HostNameStep readHostNameAnswer(std::span<char, kReplySize>, bool, const UniqueFd &) {
  return HostNameStep::kDone;
}

void hostNameTimedOut(std::span<char, kReplySize> reply) {
  std::memcpy(reply.data(), "failed: Quenby not responding", 30);
}

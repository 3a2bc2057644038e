// fake_host_name.cc - "getHostName" without a network or a map, for fuzz targets.
#include <cstring>

#include "host_name.h"

void serveGetHostName(std::span<char, kReplySize> reply, size_t, const sockaddr_in &) {
  std::memcpy(reply.data(), "getHostName", 12);
}

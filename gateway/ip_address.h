// ip_address.h - "getIpAddress": the IPv4 address of the interface with a given MAC address.
#ifndef KESTARA_GATEWAY_IP_ADDRESS_H
#define KESTARA_GATEWAY_IP_ADDRESS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "OVsnmp.h"
#include "protocol.h"

// One lookup: reads the 6-byte physical address named by the request's identifier, walks the
// node's MIB-II address table (at most 16 entries) and answers the dotted IPv4 address of the
// first entry whose interface has that physical address, or "0.0.0.0" when there is none or
// anything fails. Each get is an asynchronous request; its completion sends the next one, so
// that a slow agent holds up no other request.
//
// The object is not moved while a request of it is in flight (the SNMP library holds its
// address as the requests' context, given to start() and answered()).
class IpAddressLookup {
 public:
  static constexpr size_t kOidCapacity = 256;
  static constexpr int kMaxSteps = 16;

  enum class Step { kSent, kDone };

  // `output` receives the reply text; it holds "0.0.0.0" until the lookup finds an address.
  IpAddressLookup(OVsnmpSession session, std::span<const OVsnmpOid> macVariable, bool trace,
                  std::span<char, kReplySize> output);

  // Sends the first get. kDone when the lookup ended at once (the reply is in `output`);
  // otherwise `completion` is called with `context` for the get sent, and is to hand what it
  // gets to answered().
  [[nodiscard]] Step start(OVsnmpCompletion completion, void *context);
  // Takes the completion of the get last sent (and its response, which it releases), and sends
  // the next get or ends.
  [[nodiscard]] Step answered(int error, OVsnmpPdu *response, OVsnmpCompletion completion,
                              void *context);

 private:
  enum class Stage { kWanted, kIfIndex, kPhysAddress };
  static constexpr size_t kValueSize = 52;

  Step sendIfIndex(OVsnmpCompletion completion, void *context);
  Step sendPhysAddress(OVsnmpCompletion completion, void *context);
  Step exhausted();
  Step endOfSteps();

  OVsnmpSession session_;
  bool trace_;
  std::span<char, kReplySize> output_;
  Stage stage_ = Stage::kWanted;
  int step_ = 0;
  int32_t ifIndex_ = 0;
  std::array<OVsnmpOid, kOidCapacity> mac_{};
  size_t macCount_ = 0;
  std::array<char, kValueSize> wanted_{};
  std::array<char, kValueSize> answer_{};
  // The walk's position: each answer is written back into it, so that sub-identifiers 11 to 14
  // hold the IPv4 address of the entry last answered. Its own count stays 10.
  std::array<OVsnmpOid, kOidCapacity> ipAdEntIfIndexOid_{};
  // ifPhysAddress, with one instance sub-identifier set to an interface index before each get.
  std::array<OVsnmpOid, kOidCapacity> ifPhysAddressOid_{};
  // The name the get in flight asked for.
  std::array<OVsnmpOid, kOidCapacity> asked_{};
  size_t askedCount_ = 0;
};

#endif  // KESTARA_GATEWAY_IP_ADDRESS_H

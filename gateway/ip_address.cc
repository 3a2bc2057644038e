// ip_address.cc - "getIpAddress": walks ipAdEntIfIndex and compares ifPhysAddress.
#include "ip_address.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "snmp_ops.h"
#include "text.h"

namespace {

constexpr size_t kMacSize = 6;
constexpr size_t kIfIndexCount = 10;
constexpr size_t kIfPhysAddressCount = 11;

// The interface-index column of the MIB-II address table, ipAdEntIfIndex, and the interface's
// physical address, ifPhysAddress.
constexpr std::array<OVsnmpOid, kIfIndexCount> kIfIndexColumn = {1, 3, 6, 1, 2, 1, 4, 20, 1, 2};
constexpr std::array<OVsnmpOid, 10> kIfPhysAddress = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6};

}  // namespace

IpAddressLookup::IpAddressLookup(OVsnmpSession session, std::span<const OVsnmpOid> macVariable,
                                 bool trace, std::span<char, kReplySize> output)
    : session_(session), trace_(trace), output_(output) {
  macCount_ = std::min(macVariable.size(), mac_.size());
  std::copy_n(macVariable.begin(), macCount_, mac_.begin());
  // Every walk starts at the head of the column. The address part is cleared too: it is not
  // sent with the count of 10, and an answer that does not carry a name (an OCTET STRING
  // outside the table) must not be paired with a stale address.
  std::copy(kIfIndexColumn.begin(), kIfIndexColumn.end(), ipAdEntIfIndexOid_.begin());
  std::copy(kIfPhysAddress.begin(), kIfPhysAddress.end(), ifPhysAddressOid_.begin());
  copyText(output_, "0.0.0.0");
}

IpAddressLookup::Step IpAddressLookup::start(OVsnmpCompletion completion, void *context) {
  stage_ = Stage::kWanted;
  askedCount_ = macCount_;
  std::copy_n(mac_.begin(), macCount_, asked_.begin());
  if (!sendRead(session_, std::span(asked_).first(askedCount_), OVSNMP_GET_REQ, wanted_, completion,
                context)) {
    copyText(output_, "0.0.0.0");
    return Step::kDone;
  }
  return Step::kSent;
}

IpAddressLookup::Step IpAddressLookup::sendIfIndex(OVsnmpCompletion completion, void *context) {
  stage_ = Stage::kIfIndex;
  // The first step asks from the head of the column, every later one from the entry answered
  // last (the count plus the 4 sub-identifiers of its address).
  askedCount_ = step_ == 0 ? kIfIndexCount : kIfIndexCount + 4;
  std::copy_n(ipAdEntIfIndexOid_.begin(), askedCount_, asked_.begin());
  if (!sendRead(session_, std::span(asked_).first(askedCount_), OVSNMP_GETNEXT_REQ, answer_,
                completion, context)) {
    return exhausted();
  }
  return Step::kSent;
}

IpAddressLookup::Step IpAddressLookup::sendPhysAddress(OVsnmpCompletion completion, void *context) {
  stage_ = Stage::kPhysAddress;
  ifPhysAddressOid_[10] = static_cast<OVsnmpOid>(ifIndex_);
  askedCount_ = kIfPhysAddressCount;
  std::copy_n(ifPhysAddressOid_.begin(), askedCount_, asked_.begin());
  // Cleared so that a physical address shorter than six bytes compares with zeros after it,
  // not with what an earlier answer left in the buffer.
  answer_.fill('\0');
  if (!sendRead(session_, std::span(asked_).first(askedCount_), OVSNMP_GET_REQ, answer_, completion,
                context)) {
    // A get that can't be made only skips this entry, as a failed one does.
    if (++step_ >= kMaxSteps) return endOfSteps();
    return sendIfIndex(completion, context);
  }
  return Step::kSent;
}

IpAddressLookup::Step IpAddressLookup::exhausted() {
  if (trace_) std::printf("    Exhausted list of IfIndexes - non-IP interface ...\n");
  copyText(output_, "0.0.0.0");
  return Step::kDone;
}

IpAddressLookup::Step IpAddressLookup::endOfSteps() {
  if (trace_) std::printf("   Didn't find ipAddrIndex to match Interface\n");
  copyText(output_, "0.0.0.0");
  return Step::kDone;
}

IpAddressLookup::Step IpAddressLookup::answered(int error, OVsnmpPdu *response,
                                                OVsnmpCompletion completion, void *context) {
  const std::span<const OVsnmpOid> asked = std::span(asked_).first(askedCount_);
  switch (stage_) {
    case Stage::kWanted: {
      std::array<OVsnmpOid, kOidCapacity> name = mac_;
      if (completeRead(error, response, asked, OVSNMP_GET_REQ, std::span(name).first(macCount_),
                       wanted_) != GetOutcome::kValue) {
        copyText(output_, "0.0.0.0");
        return Step::kDone;
      }
      if (trace_) {
        auto b = [&](size_t i) {
          return static_cast<unsigned>(static_cast<unsigned char>(wanted_[i]));
        };
        std::printf("   MAC Addr = %2x %2x %2x %2x %2x %2x\n", b(0), b(1), b(2), b(3), b(4), b(5));
      }
      step_ = 0;
      return sendIfIndex(completion, context);
    }
    case Stage::kIfIndex: {
      const bool got = completeRead(error, response, asked, OVSNMP_GETNEXT_REQ, ipAdEntIfIndexOid_,
                                    answer_) == GetOutcome::kValue;
      // The whole prefix is compared: an agent whose address table is empty answers the first
      // GetNext with whatever object follows the table (ipRouteTable, say), whose columns
      // would otherwise be taken for interface indexes and their instances for addresses.
      if (!got ||
          !std::equal(kIfIndexColumn.begin(), kIfIndexColumn.end(), ipAdEntIfIndexOid_.begin())) {
        return exhausted();
      }
      // Read as "%d" reads it; text without digits reads as 0.
      ifIndex_ = static_cast<int32_t>(scanDecimal(std::string_view(answer_.data())).value_or(0));
      return sendPhysAddress(completion, context);
    }
    case Stage::kPhysAddress: {
      std::array<OVsnmpOid, kOidCapacity> name = ifPhysAddressOid_;
      if (completeRead(error, response, asked, OVSNMP_GET_REQ,
                       std::span(name).first(kIfPhysAddressCount), answer_) == GetOutcome::kValue &&
          std::memcmp(answer_.data(), wanted_.data(), kMacSize) == 0) {
        const auto &a = ipAdEntIfIndexOid_;
        std::snprintf(output_.data(), output_.size(), "%d.%d.%d.%d", static_cast<int>(a[10]),
                      static_cast<int>(a[11]), static_cast<int>(a[12]), static_cast<int>(a[13]));
        if (trace_) {
          std::printf("    IpAddress: %d.%d.%d.%d   on SNMP Interface %d\n",
                      static_cast<int>(a[10]), static_cast<int>(a[11]), static_cast<int>(a[12]),
                      static_cast<int>(a[13]), static_cast<int>(ifIndex_));
        }
        return Step::kDone;
      }
      if (++step_ >= kMaxSteps) return endOfSteps();
      return sendIfIndex(completion, context);
    }
  }
  return Step::kDone;
}

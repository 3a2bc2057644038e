// Tests of the PDU records: conversion from what net-snmp parsed, and the registry.
#include "pdu_store.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ovsnmp {
namespace {

struct NetSnmpPduDeleter {
  void operator()(netsnmp_pdu *pdu) const { snmp_free_pdu(pdu); }
};
using NetSnmpPdu = std::unique_ptr<netsnmp_pdu, NetSnmpPduDeleter>;

const oid kName[] = {1, 3, 6, 1, 4, 1, 32473, 1, 0};

NetSnmpPdu response() {
  NetSnmpPdu pdu(snmp_pdu_create(SNMP_MSG_RESPONSE));
  return pdu;
}

void add(netsnmp_pdu *pdu, u_char type, const void *value, size_t length) {
  ASSERT_NE(snmp_pdu_add_variable(pdu, kName, 9, type, value, length), nullptr);
}

TEST(FromNetSnmp, KeepsCounter64HighWordFirst) {
  NetSnmpPdu in = response();
  counter64 c{};
  c.high = 0x01020304;
  c.low = 0xa0b0c0d0;
  add(in.get(), ASN_COUNTER64, &c, sizeof c);
  PduPtr out = fromNetSnmp(*in);
  ASSERT_TRUE(out);
  const OVsnmpVarBind &vb = *out->pub.variables;
  EXPECT_EQ(vb.type, OVSNMP_COUNTER64);
  ASSERT_EQ(vb.val_len, 8u);
  EXPECT_EQ(static_cast<const uint32_t *>(vb.val)[0], 0x01020304u);
  EXPECT_EQ(static_cast<const uint32_t *>(vb.val)[1], 0xa0b0c0d0u);
}

TEST(FromNetSnmp, KeepsBytesWithZerosAndUnknownTypesAsBytes) {
  NetSnmpPdu in = response();
  const char text[] = {'a', '\0', 'b'};
  add(in.get(), ASN_OCTET_STR, text, sizeof text);
  const u_char bits[] = {0xff, 0x01};
  add(in.get(), ASN_BIT_STR, bits, sizeof bits);
  PduPtr out = fromNetSnmp(*in);
  ASSERT_TRUE(out);
  const OVsnmpVarBind &s = *out->pub.variables;
  EXPECT_EQ(std::string(static_cast<const char *>(s.val), s.val_len), std::string("a\0b", 3));
  const OVsnmpVarBind &b = *s.next_variable;
  EXPECT_EQ(b.type, ASN_BIT_STR);
  EXPECT_EQ(b.val_len, 2u);
  EXPECT_EQ(out->bindings.size(), 2u);
}

TEST(FromNetSnmp, RefusesIdentifiersLongerThanTheLimit) {
  std::vector<oid> longest(kMaxOidLength, 1);
  std::vector<oid> too_long(kMaxOidLength + 1, 1);

  NetSnmpPdu fits = response();
  add(fits.get(), ASN_OBJECT_ID, longest.data(), longest.size() * sizeof(oid));
  PduPtr ok = fromNetSnmp(*fits);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->pub.variables->val_len, kMaxOidLength * sizeof(OVsnmpOid));

  NetSnmpPdu value = response();
  add(value.get(), ASN_OBJECT_ID, too_long.data(), too_long.size() * sizeof(oid));
  EXPECT_FALSE(fromNetSnmp(*value));

  NetSnmpPdu wide = response();
  const oid big[] = {1, 3, 0x100000000ULL};  // does not fit in 32 bits
  add(wide.get(), ASN_OBJECT_ID, big, sizeof big);
  EXPECT_FALSE(fromNetSnmp(*wide));
}

}  // namespace
}  // namespace ovsnmp

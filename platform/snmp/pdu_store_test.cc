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

// Records given back are kept for the next ones: a kept record must come out of makePdu as
// empty as a new one, whatever it held, and its bindings must take new names and values whole.
TEST(PduRecords, AKeptRecordStartsEmptyAndTakesNewValuesWhole) {
  NetSnmpPdu trap(snmp_pdu_create(SNMP_MSG_TRAP));
  const oid enterprise[] = {1, 3, 6, 1, 4, 1, 32473};
  trap->enterprise = static_cast<oid *>(netsnmp_memdup(enterprise, sizeof enterprise));
  trap->enterprise_length = 7;
  trap->trap_type = 6;
  trap->specific_type = 4;
  trap->errstat = 2;
  trap->errindex = 1;
  const std::string text(600, 's');  // more than a kept binding holds: that one is dropped
  add(trap.get(), ASN_OCTET_STR, text.data(), text.size());
  const oid value[] = {1, 3, 6, 1, 2, 1, 1, 2, 0, 99, 98};
  add(trap.get(), ASN_OBJECT_ID, value, sizeof value);
  const long number = -5;
  add(trap.get(), ASN_INTEGER, &number, sizeof number);

  const Pdu *kept = nullptr;
  {
    PduPtr first = fromNetSnmp(*trap);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->bindings.size(), 3u);
    EXPECT_EQ(first->pub.enterprise_length, 7u);
    kept = first.get();
  }  // given back here

  PduPtr request = makePdu(OVSNMP_GET_REQ);
  EXPECT_EQ(request.get(), kept);  // the one just given back
  EXPECT_EQ(request->pub.command, OVSNMP_GET_REQ);
  EXPECT_EQ(request->pub.error_status, 0);
  EXPECT_EQ(request->pub.error_index, 0);
  EXPECT_EQ(request->pub.generic_type, 0);
  EXPECT_EQ(request->pub.specific_type, 0);
  EXPECT_EQ(request->pub.enterprise, nullptr);
  EXPECT_EQ(request->pub.enterprise_length, 0u);
  EXPECT_EQ(request->pub.variables, nullptr);
  EXPECT_TRUE(request->bindings.empty());
  const OVsnmpOid name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  const Binding &b = request->add(name);
  EXPECT_EQ(b.pub.type, OVSNMP_NULL);
  EXPECT_EQ(b.pub.val, nullptr);
  EXPECT_EQ(b.pub.val_len, 0u);
  EXPECT_EQ(b.pub.next_variable, nullptr);
  ASSERT_EQ(b.pub.oid_length, 9u);
  EXPECT_EQ(b.pub.oid[8], 0u);
  request.reset();

  // A shorter identifier value into a kept binding that held a longer one.
  NetSnmpPdu answer = response();
  const oid shorter[] = {1, 3};
  add(answer.get(), ASN_OBJECT_ID, shorter, sizeof shorter);
  add(answer.get(), ASN_OBJECT_ID, shorter, 0);  // an empty identifier
  PduPtr second = fromNetSnmp(*answer);
  ASSERT_TRUE(second);
  const OVsnmpVarBind &v = *second->pub.variables;
  EXPECT_EQ(v.type, OVSNMP_OBJECTID);
  ASSERT_EQ(v.val_len, 2 * sizeof(OVsnmpOid));
  EXPECT_EQ(static_cast<const uint32_t *>(v.val)[0], 1u);
  EXPECT_EQ(static_cast<const uint32_t *>(v.val)[1], 3u);
  EXPECT_EQ(static_cast<const uint32_t *>(v.val)[2], 0u);  // the word after it
  const OVsnmpVarBind &empty = *v.next_variable;
  EXPECT_EQ(empty.val_len, 0u);
  EXPECT_NE(empty.val, nullptr);
  EXPECT_EQ(empty.next_variable, nullptr);
}

}  // namespace
}  // namespace ovsnmp

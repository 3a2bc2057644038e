// node_event.cc - what a node event says: the event session's callback takes the object id
// out of each node event and hands it on to the listener.
#include <array>
#include <cstdio>
#include <memory>
#include <new>

#include "discovery.h"
#include "handles.h"
#include "text.h"

namespace {

// The enterprise of the node events and the variable that carries the object id.
constexpr std::array<OVsnmpOid, 10> kNodeEventEnterprise = {1, 3, 6, 1, 4, 1, 11, 2, 17, 1};
constexpr std::array<OVsnmpOid, 12> kObjectVariable = {1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0};

bool isObjectVariable(const OVsnmpVarBind &binding) {
  if (binding.oid == nullptr) return false;
  return OVsnmpOidCompare(kObjectVariable.data(), kObjectVariable.size(), binding.oid,
                          binding.oid_length, 0) == 0;
}

}  // namespace

uint32_t parseObjectNumber(std::span<const unsigned char> text) {
  return scanDecimal(std::string_view(reinterpret_cast<const char *>(text.data()), text.size()))
      .value_or(0);
}

OVwObjectId eventObjectId(const OVsnmpPdu &pdu) {
  const size_t enterpriseLength = pdu.enterprise != nullptr ? pdu.enterprise_length : 0;
  if (OVsnmpOidCompare(kNodeEventEnterprise.data(), kNodeEventEnterprise.size(), pdu.enterprise,
                       enterpriseLength, 0) != 0) {
    return 0;
  }
  for (const OVsnmpVarBind *binding = pdu.variables; binding != nullptr;
       binding = binding->next_variable) {
    if (!isObjectVariable(*binding) || binding->type != OVSNMP_OCTETSTRING ||
        binding->val == nullptr) {
      continue;
    }
    return parseObjectNumber({static_cast<const unsigned char *>(binding->val), binding->val_len});
  }
  return 0;
}

void nodeEventCallback(int code, OVsnmpSession session, OVsnmpPdu *pdu, void *sink) {
  PduPtr owned(pdu);  // released whatever the code
  switch (code) {
    case OVSNMP_EVENT_SESSION_ERROR:
    case OVSNMP_EVENT_LOST_CONNECTION:
      (void)OVsnmpClose(session);
      std::printf("SNMP error or lost connection on Callback\n");
      if (sink != nullptr) static_cast<NodeEventSink *>(sink)->sessionFailed();
      return;
    case OVSNMP_TRAP:
    case OVSNMP_INFORM: {
      if (!owned) {
        std::printf("Bad callback data.\n");
        return;
      }
      const OVwObjectId objectId = eventObjectId(*owned);
      if (objectId != 0 && sink != nullptr)
        static_cast<NodeEventSink *>(sink)->objectNamed(objectId);
      return;
    }
    default:
      return;
  }
}

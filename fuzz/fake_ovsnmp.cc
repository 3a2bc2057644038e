// fake_ovsnmp.cc - an OVsnmp stand-in for fuzzing: responses come from the fuzzer's bytes.
//
// Each blocking send takes bytes from the script: the first picks the outcome (time-out,
// another failure, or a response), a response then takes its error status and index, a number
// of bindings and, for each, a type, a name and a value of script-given lengths.
#include "fake_ovsnmp.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>

#include "OVsnmp.h"

int OVsnmpErrno = 0;

namespace {

std::span<const uint8_t> g_script;
long g_live = 0;
std::set<OVsnmpSession> g_sessions;
OVsnmpSession g_next = 1;
// Asynchronous requests sent and not yet completed, oldest first.
struct Outstanding {
  OVsnmpSession session;
  OVsnmpPdu *request;
  OVsnmpCompletion completion;
  void *context;
};
std::deque<Outstanding> g_outstanding;

uint8_t take() {
  if (g_script.empty()) return 0;
  uint8_t b = g_script[0];
  g_script = g_script.subspan(1);
  return b;
}

void *dup(const void *src, size_t n) {
  void *p = std::malloc(n == 0 ? 1 : n);
  if (n > 0) std::memcpy(p, src, n);
  return p;
}

OVsnmpPdu *newPdu(int command) {
  auto *pdu = static_cast<OVsnmpPdu *>(std::calloc(1, sizeof(OVsnmpPdu)));
  pdu->command = command;
  ++g_live;
  return pdu;
}

OVsnmpVarBind *append(OVsnmpPdu *pdu) {
  auto *vb = static_cast<OVsnmpVarBind *>(std::calloc(1, sizeof(OVsnmpVarBind)));
  OVsnmpVarBind **tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next_variable;
  *tail = vb;
  return vb;
}

void freeBinding(OVsnmpVarBind *vb) {
  std::free(vb->oid);
  std::free(vb->val);
  std::free(vb);
}

}  // namespace

void fakeSnmpScript(std::span<const uint8_t> bytes) { g_script = bytes; }
long fakeSnmpLivePdus() { return g_live; }

extern "C" {

OVsnmpSession OVsnmpOpen(const char *, const char *peername, int, int, int, int, OVsnmpCallback,
                         void *) {
  if (peername == nullptr || *peername == '\0') {
    OVsnmpErrno = OVSNMP_ERR_OPEN;
    return 0;
  }
  g_sessions.insert(g_next);
  return g_next++;
}

int OVsnmpClose(OVsnmpSession session) {
  if (g_sessions.erase(session) == 0) {
    OVsnmpErrno = OVSNMP_ERR_BAD_SESSION;
    return -1;
  }
  // The session's requests in flight are cancelled, in the order they were sent.
  std::deque<Outstanding> cancelled;
  for (auto it = g_outstanding.begin(); it != g_outstanding.end();) {
    if (it->session == session) {
      cancelled.push_back(*it);
      it = g_outstanding.erase(it);
    } else {
      ++it;
    }
  }
  for (const Outstanding &o : cancelled) {
    OVsnmpFreePdu(o.request);
    o.completion(session, OVSNMP_ERR_CANCELLED, nullptr, o.context);
  }
  return 0;
}

int OVsnmpSetSessionFlags(OVsnmpSession session, uint32_t) {
  if (g_sessions.count(session) == 0) {
    OVsnmpErrno = OVSNMP_ERR_BAD_SESSION;
    return -1;
  }
  return 0;
}

OVsnmpPdu *OVsnmpCreatePdu(int type) {
  if (type != OVSNMP_GET_REQ && type != OVSNMP_GETNEXT_REQ) {
    OVsnmpErrno = OVSNMP_ERR_BAD_PDU;
    return nullptr;
  }
  return newPdu(type);
}

OVsnmpVarBind *OVsnmpAddNullVarBind(OVsnmpPdu *pdu, const OVsnmpOid *oid, size_t count) {
  if (pdu == nullptr || oid == nullptr || count == 0 || count > 128) {
    OVsnmpErrno = OVSNMP_ERR_BAD_ARG;
    return nullptr;
  }
  OVsnmpVarBind *vb = append(pdu);
  vb->oid = static_cast<OVsnmpOid *>(dup(oid, count * sizeof(OVsnmpOid)));
  vb->oid_length = count;
  vb->type = OVSNMP_NULL;
  return vb;
}

}  // extern "C"

namespace {

// The outcome of one send, as the script says: a response (error 0) or an error.
OVsnmpPdu *scriptedAnswer(const OVsnmpPdu *pdu, int &error) {
  uint8_t outcome = take();
  if (outcome % 8 == 0) {
    error = OVSNMP_ERR_TIMEOUT;
    return nullptr;
  }
  if (outcome % 8 == 1) {
    error = OVSNMP_ERR_SEND;
    return nullptr;
  }
  error = OVSNMP_ERR_NONE;
  OVsnmpPdu *response = newPdu(OVSNMP_GET_RSP);
  response->error_status = (outcome % 8 == 2) ? take() % 6 : 0;
  response->error_index = response->error_status != 0 ? take() % 4 : 0;
  int bindings = take() % 4;
  for (int i = 0; i < bindings; ++i) {
    OVsnmpVarBind *vb = append(response);
    vb->type = take();
    // Most answers name what was asked, as agents do; the others any name at all.
    const OVsnmpVarBind *asked = pdu->variables;
    if (asked != nullptr && take() % 4 != 0) {
      vb->oid = static_cast<OVsnmpOid *>(dup(asked->oid, asked->oid_length * sizeof(OVsnmpOid)));
      vb->oid_length = asked->oid_length;
      if (take() % 2 == 0 && vb->oid_length > 0) vb->oid[vb->oid_length - 1] += take() % 3;
    } else {
      size_t oid_len = take() % 130;
      vb->oid = static_cast<OVsnmpOid *>(std::calloc(oid_len + 1, sizeof(OVsnmpOid)));
      for (size_t k = 0; k < oid_len; ++k) vb->oid[k] = take() * 0x01010101u;
      vb->oid_length = oid_len;
    }
    size_t val_len = take();
    if (val_len > 0 || take() % 2 == 0) {
      auto *val = static_cast<uint8_t *>(std::malloc(val_len == 0 ? 1 : val_len));
      for (size_t k = 0; k < val_len; ++k) val[k] = take();
      vb->val = val;
      vb->val_len = val_len;
    }
  }
  return response;
}

}  // namespace

bool fakeSnmpCompleteOne() {
  if (g_outstanding.empty()) return false;
  Outstanding o = g_outstanding.front();
  g_outstanding.pop_front();
  int error = OVSNMP_ERR_NONE;
  OVsnmpPdu *response = scriptedAnswer(o.request, error);
  OVsnmpFreePdu(o.request);
  o.completion(o.session, error, response, o.context);
  return true;
}

size_t fakeSnmpOutstanding() { return g_outstanding.size(); }

extern "C" {

OVsnmpPdu *OVsnmpBlockingSend(OVsnmpSession session, OVsnmpPdu *pdu) {
  if (g_sessions.count(session) == 0) {
    OVsnmpErrno = OVSNMP_ERR_BAD_SESSION;
    return nullptr;
  }
  int error = OVSNMP_ERR_NONE;
  OVsnmpPdu *response = scriptedAnswer(pdu, error);
  if (response == nullptr) {
    OVsnmpErrno = error;
    return nullptr;
  }
  OVsnmpFreePdu(pdu);  // a successful send consumes the request
  return response;
}

int OVsnmpSendAsync(OVsnmpSession session, OVsnmpPdu *pdu, OVsnmpCompletion completion,
                    void *context) {
  if (g_sessions.count(session) == 0) {
    OVsnmpErrno = OVSNMP_ERR_BAD_SESSION;
    return -1;
  }
  if (pdu == nullptr || completion == nullptr) {
    OVsnmpErrno = OVSNMP_ERR_BAD_ARG;
    return -1;
  }
  g_outstanding.push_back({session, pdu, completion, context});
  return 0;
}

int OVsnmpSendRequestAsync(OVsnmpSession session, int type, const OVsnmpOid *oid, size_t count,
                           OVsnmpCompletion completion, void *context) {
  if (g_sessions.count(session) == 0) {
    OVsnmpErrno = OVSNMP_ERR_BAD_SESSION;
    return -1;
  }
  if (oid == nullptr || count == 0 || count > 128 || completion == nullptr) {
    OVsnmpErrno = OVSNMP_ERR_BAD_ARG;
    return -1;
  }
  // The same request as a PDU with one binding, answered as the scripted agent answers those.
  OVsnmpPdu *pdu = OVsnmpCreatePdu(type);
  if (pdu == nullptr) return -1;
  if (OVsnmpAddNullVarBind(pdu, oid, count) == nullptr) {
    OVsnmpFreePdu(pdu);
    return -1;
  }
  g_outstanding.push_back({session, pdu, completion, context});
  return 0;
}

OVsnmpPdu *OVsnmpFixPdu(OVsnmpPdu *response, int type) {
  if (response == nullptr || response->error_index <= 0) {
    OVsnmpErrno = OVSNMP_ERR_BAD_ARG;
    return nullptr;
  }
  int n = 0;
  for (OVsnmpVarBind *vb = response->variables; vb != nullptr; vb = vb->next_variable) ++n;
  if (response->error_index > n) {
    OVsnmpErrno = OVSNMP_ERR_BAD_ARG;
    return nullptr;
  }
  if (n <= 1) {
    OVsnmpErrno = OVSNMP_ERR_NO_VARBIND;
    return nullptr;
  }
  OVsnmpVarBind **link = &response->variables;
  for (int i = 1; i < response->error_index; ++i) link = &(*link)->next_variable;
  OVsnmpVarBind *gone = *link;
  *link = gone->next_variable;
  freeBinding(gone);
  response->command = type;
  response->error_status = 0;
  response->error_index = 0;
  return response;
}

void OVsnmpFreePdu(OVsnmpPdu *pdu) {
  if (pdu == nullptr) return;
  for (OVsnmpVarBind *vb = pdu->variables; vb != nullptr;) {
    OVsnmpVarBind *next = vb->next_variable;
    freeBinding(vb);
    vb = next;
  }
  std::free(pdu->enterprise);
  std::free(pdu);
  --g_live;
}

const char *OVsnmpErrString(int) { return "fake error"; }

int OVsnmpOidCompare(const OVsnmpOid *first, size_t first_count, const OVsnmpOid *second,
                     size_t second_count, int) {
  if (first == nullptr) first_count = 0;
  if (second == nullptr) second_count = 0;
  for (size_t i = 0; i < first_count && i < second_count; ++i) {
    if (first[i] != second[i]) return first[i] < second[i] ? -1 : 1;
  }
  if (first_count == second_count) return 0;
  return first_count < second_count ? -1 : 1;
}

}  // extern "C"

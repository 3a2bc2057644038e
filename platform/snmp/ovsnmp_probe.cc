// ovsnmp_probe - test helper: one GetRequest through the SNMP library in a fresh process, so
// that a test can check what net-snmp's configuration (read once per process) makes of it.
// Usage: ovsnmp_probe AGENT OID. Prints "errstat=N errindex=N type=N" or "errno=N".
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "OVsnmp.h"

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  std::vector<OVsnmpOid> name;
  for (const char *p = argv[2]; *p != '\0';) {
    if (*p == '.') {
      ++p;
      continue;
    }
    char *end = nullptr;
    name.push_back(static_cast<OVsnmpOid>(std::strtoul(p, &end, 10)));
    if (end == p) return 2;
    p = end;
  }
  OVsnmpSession s = OVsnmpOpen(nullptr, argv[1], -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  if (s == 0) {
    std::printf("errno=%d\n", OVsnmpErrno);
    return 0;
  }
  OVsnmpPdu *request = OVsnmpCreatePdu(OVSNMP_GET_REQ);
  if (request == nullptr || OVsnmpAddNullVarBind(request, name.data(), name.size()) == nullptr) {
    return 2;
  }
  OVsnmpPdu *response = OVsnmpBlockingSend(s, request);
  if (response == nullptr) {
    std::printf("errno=%d\n", OVsnmpErrno);
    OVsnmpFreePdu(request);
  } else {
    int type = response->variables != nullptr ? response->variables->type : -1;
    std::printf("errstat=%d errindex=%d type=%d\n", static_cast<int>(response->error_status),
                static_cast<int>(response->error_index), type);
    OVsnmpFreePdu(response);
  }
  OVsnmpClose(s);
  return 0;
}

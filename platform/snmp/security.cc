// security.cc - SNMPv3 for the library's sessions: saved defaults, settings check, engine-ID
// discovery, report errors and this process's own engine.
#include "security.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <type_traits>

#include "OVsnmp.h"

namespace ovsnmp {
namespace {

static_assert(std::is_same_v<oid, unsigned long>, "net-snmp's sub-identifiers are unsigned long");

// The integer and text defaults that a session's open takes from the store.
constexpr std::array kIntDefaults = {NETSNMP_DS_LIB_SNMPVERSION, NETSNMP_DS_LIB_TIMEOUT,
                                     NETSNMP_DS_LIB_RETRIES, NETSNMP_DS_LIB_DEFAULT_PORT,
                                     NETSNMP_DS_LIB_SECLEVEL};
constexpr std::array kStringDefaults = {
    NETSNMP_DS_LIB_COMMUNITY,        NETSNMP_DS_LIB_SECNAME,         NETSNMP_DS_LIB_CONTEXT,
    NETSNMP_DS_LIB_PASSPHRASE,       NETSNMP_DS_LIB_AUTHPASSPHRASE,  NETSNMP_DS_LIB_PRIVPASSPHRASE,
    NETSNMP_DS_LIB_SECMODEL,         NETSNMP_DS_LIB_AUTHMASTERKEY,   NETSNMP_DS_LIB_PRIVMASTERKEY,
    NETSNMP_DS_LIB_AUTHLOCALIZEDKEY, NETSNMP_DS_LIB_PRIVLOCALIZEDKEY};

// The privacy types offered: AES with 128-, 192- and 256-bit keys (not DES, not the variants
// that derive longer keys another way).
constexpr std::array kOfferedPrivTypes = {USM_CREATE_USER_PRIV_AES, USM_CREATE_USER_PRIV_AES192,
                                          USM_CREATE_USER_PRIV_AES256};

// The start of the clock that the local engine's boots value counts from: 2024-01-01T00:00Z.
constexpr std::time_t kBootsEpoch = 1704067200;
constexpr long kMaxBoots = 2147483646;  // RFC 3414: snmpEngineBoots stays below 2^31 - 1
// net-snmp's text form of an engine ID holds at most this many bytes of text.
constexpr size_t kMaxEngineIdText = 27;
// The fifth byte of an engine ID says how it was made; net-snmp's random one (made at each start
// when nothing is configured and nothing is saved) has this one.
constexpr u_char kRandomEngineIdFormat = 0x80;

void wipe(std::string &secret) {
  if (!secret.empty()) explicit_bzero(secret.data(), secret.size());
}

std::vector<unsigned long> copyOid(const oid *name, size_t length) {
  if (name == nullptr) return {};
  return std::vector<unsigned long>(name, name + length);
}

// Makes `type` ("defAuthType" or "defPrivType") the store's default again, by its name, when it
// is not what it was; net-snmp keeps these two outside the store and sets them only from a
// configuration line.
void restoreType(const char *token, const std::vector<unsigned long> &saved,
                 const std::vector<unsigned long> &now, const char *name) {
  if (saved == now || name == nullptr) return;
  std::string line = std::string(token) + " " + name;
  (void)netsnmp_config(line.data());
}

bool offeredPrivType(const oid *proto, size_t length) {
  if (proto == nullptr) return false;
  const int type = sc_get_privtype(proto, static_cast<u_int>(length));
  return std::ranges::find(kOfferedPrivTypes, type) != kOfferedPrivTypes.end();
}

bool knownAuthType(const oid *proto, size_t length) {
  if (proto == nullptr) return false;
  const int type = sc_get_authtype(proto, static_cast<u_int>(length));
  return type >= 0 && type != NETSNMP_USMAUTH_NOAUTH;
}

}  // namespace

LibraryDefaults::LibraryDefaults() {
  for (int which : kIntDefaults) ints_.push_back(netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, which));
  for (int which : kStringDefaults) {
    const char *text = netsnmp_ds_get_string(NETSNMP_DS_LIBRARY_ID, which);
    strings_.push_back(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
  }
  size_t length = 0;
  const oid *auth = get_default_authtype(&length);
  authType_ = copyOid(auth, length);
  const oid *priv = get_default_privtype(&length);
  privType_ = copyOid(priv, length);
}

LibraryDefaults::~LibraryDefaults() {
  for (size_t i = 0; i < kIntDefaults.size(); ++i) {
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, kIntDefaults[i], ints_[i]);
  }
  for (size_t i = 0; i < kStringDefaults.size(); ++i) {
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, kStringDefaults[i],
                          strings_[i] ? strings_[i]->c_str() : nullptr);
    if (strings_[i]) wipe(*strings_[i]);
  }
  size_t length = 0;
  const oid *auth = get_default_authtype(&length);
  restoreType(
      "defAuthType", authType_, copyOid(auth, length),
      usm_lookup_auth_str(sc_get_authtype(authType_.data(), static_cast<u_int>(authType_.size()))));
  const oid *priv = get_default_privtype(&length);
  restoreType(
      "defPrivType", privType_, copyOid(priv, length),
      usm_lookup_priv_str(sc_get_privtype(privType_.data(), static_cast<u_int>(privType_.size()))));
}

long configuredVersion() {
  switch (netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_SNMPVERSION)) {
    case NETSNMP_DS_SNMP_VERSION_1:
      return SNMP_VERSION_1;
    case NETSNMP_DS_SNMP_VERSION_3:
      return SNMP_VERSION_3;
    default:  // 2c, or nothing configured
      return SNMP_VERSION_2c;
  }
}

bool usableSecurity(const snmp_session &session) {
  if (session.securityName == nullptr || session.securityNameLen == 0) return false;
  if (session.securityModel != SNMP_SEC_MODEL_USM) return false;
  switch (session.securityLevel) {
    case SNMP_SEC_LEVEL_NOAUTH:
      return true;
    case SNMP_SEC_LEVEL_AUTHNOPRIV:
      return knownAuthType(session.securityAuthProto, session.securityAuthProtoLen) &&
             session.securityAuthKeyLen > 0;
    case SNMP_SEC_LEVEL_AUTHPRIV:
      return knownAuthType(session.securityAuthProto, session.securityAuthProtoLen) &&
             session.securityAuthKeyLen > 0 &&
             offeredPrivType(session.securityPrivProto, session.securityPrivProtoLen) &&
             session.securityPrivKeyLen > 0;
    default:
      return false;
  }
}

bool engineKnown(const snmp_session &session) {
  return session.securityEngineIDLen > 0 && (session.flags & SNMP_FLAGS_USER_CREATED) != 0;
}

bool setUpUser(snmp_session &session) {
  if (session.securityEngineIDLen == 0) return false;
  return usm_create_user_from_session(&session) == SNMPERR_SUCCESS &&
         (session.flags & SNMP_FLAGS_USER_CREATED) != 0;
}

void forgetEngine(snmp_session &session) {
  const bool sameContext = session.contextEngineID != nullptr &&
                           session.contextEngineIDLen == session.securityEngineIDLen &&
                           (session.securityEngineID == nullptr ||
                            std::memcmp(session.contextEngineID, session.securityEngineID,
                                        session.contextEngineIDLen) == 0);
  std::free(session.securityEngineID);
  session.securityEngineID = nullptr;
  session.securityEngineIDLen = 0;
  if (sameContext) {
    std::free(session.contextEngineID);
    session.contextEngineID = nullptr;
    session.contextEngineIDLen = 0;
  }
  session.flags &= ~static_cast<u_long>(SNMP_FLAGS_USER_CREATED);
}

snmp_pdu *makeDiscoveryRequest() {
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  if (pdu == nullptr) return nullptr;
  pdu->version = SNMP_VERSION_3;
  pdu->securityName = strdup("");  // net-snmp frees it with the PDU
  if (pdu->securityName == nullptr) {
    snmp_free_pdu(pdu);
    return nullptr;
  }
  pdu->securityNameLen = 0;
  pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
  pdu->securityModel = SNMP_SEC_MODEL_USM;
  return pdu;
}

int errorOfSnmpError(int snmp_errno) {
  switch (snmp_errno) {
    case SNMPERR_UNKNOWN_USER_NAME:
      return OVSNMP_ERR_UNKNOWN_USER;
    case SNMPERR_AUTHENTICATION_FAILURE:
      return OVSNMP_ERR_WRONG_DIGEST;
    case SNMPERR_DECRYPTION_ERR:
      return OVSNMP_ERR_DECRYPTION;
    case SNMPERR_UNSUPPORTED_SEC_LEVEL:
      return OVSNMP_ERR_SECURITY_LEVEL;
    case SNMPERR_NOT_IN_TIME_WINDOW:
      return OVSNMP_ERR_NOT_IN_TIME_WINDOW;
    case SNMPERR_UNKNOWN_ENG_ID:
      return OVSNMP_ERR_UNKNOWN_ENGINE;
    case SNMPERR_BAD_CONTEXT:  // snmpUnknownContexts, snmpUnavailableContexts
    case SNMPERR_UNKNOWN_SEC_MODEL:
    case SNMPERR_INVALID_MSG:
    case SNMPERR_UNKNOWN_REPORT:
      return OVSNMP_ERR_REPORT;
    case SNMPERR_TIMEOUT:
      return OVSNMP_ERR_TIMEOUT;
    case SNMPERR_USM_GENERICERROR:
    case SNMPERR_USM_UNKNOWNSECURITYNAME:
    case SNMPERR_USM_UNSUPPORTEDSECURITYLEVEL:
    case SNMPERR_USM_ENCRYPTIONERROR:
    case SNMPERR_USM_AUTHENTICATIONFAILURE:
    case SNMPERR_SC_GENERAL_FAILURE:
    case SNMPERR_SC_NOT_CONFIGURED:
    case SNMPERR_KT_NOT_AVAILABLE:
      return OVSNMP_ERR_SECURITY_CONFIG;
    default:
      return OVSNMP_ERR_SEND;
  }
}

void setUpLocalEngine() {
  std::array<u_char, 64> id{};
  const size_t length = snmpv3_get_engineID(id.data(), id.size());
  if (length < 5 || id[4] == kRandomEngineIdFormat) {
    std::array<char, 256> host{};
    std::string text = "ovsnmp";
    if (gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0') text = host.data();
    text.resize(std::min(text.size(), kMaxEngineIdText));
    (void)setup_engineID(nullptr, text.c_str());
  }
  // USM learns the local engine's ID from here (and net-snmp makes its boots 1 again: a new ID).
  (void)init_snmpv3_post_config(0, 0, nullptr, nullptr);
  const long boots =
      std::clamp<long>(static_cast<long>(std::time(nullptr) - kBootsEpoch), 1, kMaxBoots);
  // net-snmp's own line for the value it saves between starts; it counts one more start.
  std::string line = "engineBoots " + std::to_string(boots - 1);
  (void)netsnmp_config(line.data());
  const size_t idLength = snmpv3_get_engineID(id.data(), id.size());
  (void)set_enginetime(id.data(), static_cast<u_int>(idLength), snmpv3_local_snmpEngineBoots(),
                       snmpv3_local_snmpEngineTime(), TRUE);
}

}  // namespace ovsnmp

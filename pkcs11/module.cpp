// The PKCS #11 interface: general functions, slots and tokens, sessions,
// login, objects and the cryptographic operations, all serialised on one
// module lock. Every card access goes through the token's card port.
#include "module.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "mechanisms.h"

namespace vemra::p11 {

namespace {

std::unique_ptr<Backend> (*backendFactory)() = nullptr;
std::unique_ptr<Backend> (*hostFactory)() = nullptr;

constexpr CK_ULONG kMinPinLength = 4;
constexpr CK_ULONG kMaxPinLength = 8;
constexpr DWORD kRemovedCard = 0x80100069;
constexpr DWORD kResetCard = 0x80100068;
constexpr DWORD kNoSmartcard = 0x8010000C;
constexpr DWORD kUnknownAttempts = 0xFFFFFFFF;

void padded(unsigned char* field, std::size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string hex(const Bytes& bytes, std::size_t limit) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0F];
  }
  return out;
}

bool removal(DWORD rc) { return rc == kRemovedCard || rc == kResetCard || rc == kNoSmartcard; }

}  // namespace

Module& module() {
  static Module instance;
  return instance;
}

void setBackendFactory(std::unique_ptr<Backend> (*factory)()) { backendFactory = factory; }

bool registerHostBackend(std::unique_ptr<Backend> (*factory)()) {
  hostFactory = factory;
  return true;
}

namespace {

Slot* findSlot(CK_SLOT_ID id) {
  Module& m = module();
  return id < m.slots.size() ? &m.slots[id] : nullptr;
}

Session* findSession(CK_SESSION_HANDLE handle) {
  auto it = module().sessions.find(handle);
  return it == module().sessions.end() ? nullptr : &it->second;
}

void closeSessionsOf(CK_SLOT_ID slot) {
  auto& sessions = module().sessions;
  for (auto it = sessions.begin(); it != sessions.end();) {
    it = it->second.slot == slot ? sessions.erase(it) : std::next(it);
  }
}

// The card has left the reader (or was reset): the token goes, and with it
// every session on it and its login state.
void dropToken(CK_SLOT_ID id) {
  Slot& slot = module().slots[id];
  if (slot.token) wipe(slot.token->adminKey);
  slot.token.reset();
  closeSessionsOf(id);
}

// The PKCS #11 code of a card port's failure; a removed card also drops
// the token.
}  // namespace

CK_RV cardFailure(CK_SLOT_ID slot, DWORD rc, CK_RV otherwise) {
  if (rc == 0) return CKR_OK;
  if (removal(rc)) {
    dropToken(slot);
    return CKR_DEVICE_REMOVED;
  }
  switch (rc) {
    case SCARD_E_NO_MEMORY:
      return CKR_HOST_MEMORY;
    case SCARD_W_SECURITY_VIOLATION:
    case SCARD_E_NO_ACCESS:
      return CKR_USER_NOT_LOGGED_IN;
    case SCARD_W_WRONG_CHV:
      return CKR_PIN_INCORRECT;
    case SCARD_W_CHV_BLOCKED:
      return CKR_PIN_LOCKED;
    case SCARD_E_WRITE_TOO_MANY:
      return CKR_DEVICE_MEMORY;
    default:
      return otherwise;
  }
}

namespace {

// Brings the list of slots up to date with the readers: a reader keeps its
// slot number for the module's lifetime; a reader whose card is gone loses
// its token.
void refreshSlots() {
  Module& m = module();
  const std::vector<ReaderInfo> readers = m.backend->readers();
  for (CK_SLOT_ID id = 0; id < m.slots.size(); ++id) {
    auto it = std::find_if(readers.begin(), readers.end(),
                           [&](const ReaderInfo& r) { return r.name == m.slots[id].reader; });
    m.slots[id].cardPresent = it != readers.end() && it->cardPresent;
    if (!m.slots[id].cardPresent && m.slots[id].token) dropToken(id);
  }
  for (const ReaderInfo& r : readers) {
    if (std::none_of(m.slots.begin(), m.slots.end(), [&](const Slot& s) { return s.reader == r.name; })) {
      m.slots.push_back(Slot{r.name, r.cardPresent, nullptr});
    }
  }
}

// The token of a slot, connecting to its card on first use.
CK_RV token(CK_SLOT_ID id, Token*& out) {
  Slot* slot = findSlot(id);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  if (!slot->token) {
    if (!slot->cardPresent) return CKR_TOKEN_NOT_PRESENT;
    auto t = std::make_unique<Token>();
    const DWORD rc = module().backend->connect(slot->reader, t->port);
    if (rc == SCARD_E_UNKNOWN_CARD) return CKR_TOKEN_NOT_RECOGNIZED;
    if (rc != 0) return removal(rc) ? CKR_TOKEN_NOT_PRESENT : CKR_DEVICE_ERROR;
    Bytes cardId;
    Bytes map;
    Bytes serial;
    const DWORD idRc = t->port->readFile("", "cardid", cardId);
    const DWORD mapRc = t->port->readFile("mscp", "cmapfile", map);
    if (removal(idRc) || removal(mapRc)) return CKR_TOKEN_NOT_PRESENT;
    t->initialized = idRc == 0 && mapRc == 0;
    t->label = idRc == 0 && !cardId.empty() ? "VEMRA " + hex(cardId, 8) : "VEMRA (not initialised)";
    t->serial = t->port->serialNumber(serial) == 0 ? hex(serial, 8) : "";
    slot->token = std::move(t);
  }
  out = slot->token.get();
  return CKR_OK;
}

}  // namespace

bool userVisible(const Token& t, const Object& o) { return !o.isPrivate || t.login == Login::User; }

// Reads the containers and their certificates from the card.
CK_RV loadObjects(CK_SLOT_ID id, Token& t) {
  t.objects.clear();
  t.objectsLoaded = false;
  Bytes map;
  DWORD rc = t.port->readFile("mscp", "cmapfile", map);
  if (rc == SCARD_E_FILE_NOT_FOUND || rc == SCARD_E_DIR_NOT_FOUND) {
    t.objectsLoaded = true;
    return CKR_OK;
  }
  if (rc != 0) return cardFailure(id, rc);
  const std::vector<ContainerRecord> records = parseContainerMap(map);
  for (std::size_t i = 0; i < records.size() && i < 256; ++i) {
    if (!records[i].valid()) continue;
    const BYTE index = static_cast<BYTE>(i);
    ContainerKeys keys;
    rc = t.port->containerKeys(index, keys);
    if (rc == SCARD_E_NO_KEY_CONTAINER || rc == SCARD_E_FILE_NOT_FOUND) continue;  // a stale record
    if (rc != 0) return cardFailure(id, rc);
    const std::string label = narrow(records[i].name);
    for (DWORD keySpec : {DWORD{AT_KEYEXCHANGE}, DWORD{AT_SIGNATURE}}) {
      const std::optional<RsaPublic>& key = keySpec == AT_SIGNATURE ? keys.signature : keys.keyExchange;
      if (!key) continue;
      t.objects.push_back(privateKeyObject(index, keySpec, label, *key));
      t.objects.push_back(publicKeyObject(index, keySpec, label, *key));
      Bytes file;
      rc = t.port->readFile("mscp", certificateFileName(index, keySpec), file);
      if (removal(rc)) return cardFailure(id, rc);
      if (rc != 0) continue;
      if (auto der = certificateFromFile(file)) {
        if (auto cert = certificateObject(index, keySpec, label, *der)) t.objects.push_back(std::move(*cert));
      }
    }
  }
  t.objectsLoaded = true;
  return CKR_OK;
}

// The session and its token; CKR_SESSION_HANDLE_INVALID for an unknown
// handle, CKR_DEVICE_REMOVED when the card went.
CK_RV sessionToken(CK_SESSION_HANDLE handle, Session*& session, Token*& t) {
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  session = findSession(handle);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  Slot* slot = findSlot(session->slot);
  if (slot == nullptr || !slot->token) return CKR_DEVICE_REMOVED;
  t = slot->token.get();
  return CKR_OK;
}

// A visible object of the token by handle, reading the card when the
// objects are not loaded yet.
CK_RV findObject(Session& session, Token& t, CK_OBJECT_HANDLE handle, const Object*& out) {
  if (!t.objectsLoaded) {
    const CK_RV rv = loadObjects(session.slot, t);
    if (rv != CKR_OK) return rv;
  }
  for (const Object& o : t.objects) {
    if (o.handle == handle && userVisible(t, o)) {
      out = &o;
      return CKR_OK;
    }
  }
  return CKR_OBJECT_HANDLE_INVALID;
}

namespace {

bool anyReadOnlySession(CK_SLOT_ID slot) {
  for (const auto& [handle, s] : module().sessions) {
    if (s.slot == slot && (s.flags & CKF_RW_SESSION) == 0) return true;
  }
  return false;
}

// The counter flags after a PIN or key check: `attempts` as the card
// reported it with a wrong PIN.
void notePinResult(Token& t, bool user, DWORD rc, DWORD attempts) {
  const CK_FLAGS low = user ? CKF_USER_PIN_COUNT_LOW : CKF_SO_PIN_COUNT_LOW;
  const CK_FLAGS final = user ? CKF_USER_PIN_FINAL_TRY : CKF_SO_PIN_FINAL_TRY;
  const CK_FLAGS locked = user ? CKF_USER_PIN_LOCKED : CKF_SO_PIN_LOCKED;
  if (rc == 0) {
    t.pinFlags &= ~(low | final | locked);
  } else if (rc == SCARD_W_CHV_BLOCKED) {
    t.pinFlags = (t.pinFlags & ~(low | final)) | locked;
  } else if (rc == SCARD_W_WRONG_CHV) {
    t.pinFlags |= low;
    if (attempts == 1) t.pinFlags |= final;
    if (attempts == 0) t.pinFlags = (t.pinFlags & ~(low | final)) | locked;
  }
}

bool pinLengthOk(CK_ULONG length) { return length >= kMinPinLength && length <= kMaxPinLength; }

// Authenticates the administrator with a fresh challenge.
DWORD authenticateAdmin(Token& t, const Bytes& key, DWORD& attempts) {
  Bytes challenge;
  DWORD rc = t.port->challenge(challenge);
  if (rc != 0) return rc;
  std::optional<Bytes> response = challengeResponse(key, challenge);
  if (!response) return SCARD_F_INTERNAL_ERROR;
  rc = t.port->answerChallenge(*response, attempts);
  wipe(*response);
  return rc;
}

void endSign(Session& s) {
  s.signing = false;
  s.signUpdated = false;
  s.digest.reset();
  wipe(s.signData);
  s.digestDone = false;
}

void endDecrypt(Session& s) {
  s.decrypting = false;
  s.plainReady = false;
  wipe(s.plain);
  s.oaep = OaepParams{};
}

}  // namespace

}  // namespace vemra::p11

using namespace vemra::p11;

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (m.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (pInitArgs != nullptr) {
      const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
      if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
      const bool some = args->CreateMutex || args->DestroyMutex || args->LockMutex || args->UnlockMutex;
      const bool all = args->CreateMutex && args->DestroyMutex && args->LockMutex && args->UnlockMutex;
      if (some && !all) return CKR_ARGUMENTS_BAD;
      // The module locks with the system's own primitives; a caller that
      // offers only its own and forbids them cannot be served.
      if (all && (args->flags & CKF_OS_LOCKING_OK) == 0) return CKR_CANT_LOCK;
    }
    if (backendFactory == nullptr && hostFactory == nullptr) return CKR_GENERAL_ERROR;
    m.backend = backendFactory != nullptr ? backendFactory() : hostFactory();
    m.initialized = true;
    return CKR_OK;
  });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    m.sessions.clear();
    // A login ends with the module, also on the card.
    for (Slot& s : m.slots) {
      if (!s.token) continue;
      if (s.token->login != Login::None) (void)s.token->port->deauthenticate(PIN_SET_ALL_ROLES);
      wipe(s.token->adminKey);
    }
    m.slots.clear();
    m.backend.reset();
    m.initialized = false;
    return CKR_OK;
  });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  return guarded([&]() -> CK_RV {
    if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    *pInfo = CK_INFO{};
    pInfo->cryptokiVersion = {2, 40};
    padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "vemradrv");
    padded(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "VEMRA card PKCS #11 module");
    pInfo->libraryVersion = {VEMRA_VERSION_MAJOR, VEMRA_VERSION_MINOR};
    return CKR_OK;
  });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
    refreshSlots();
    std::vector<CK_SLOT_ID> ids;
    for (CK_SLOT_ID id = 0; id < m.slots.size(); ++id) {
      if (!tokenPresent || m.slots[id].cardPresent) ids.push_back(id);
    }
    if (pSlotList == nullptr) {
      *pulCount = ids.size();
      return CKR_OK;
    }
    if (*pulCount < ids.size()) {
      *pulCount = ids.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), pSlotList);
    *pulCount = ids.size();
    return CKR_OK;
  });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  return guarded([&]() -> CK_RV {
    if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    refreshSlots();
    Slot* slot = findSlot(slotID);
    if (slot == nullptr) return CKR_SLOT_ID_INVALID;
    *pInfo = CK_SLOT_INFO{};
    padded(pInfo->slotDescription, sizeof pInfo->slotDescription, slot->reader);
    padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "PC/SC");
    pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->cardPresent ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
  });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    refreshSlots();
    Token* t = nullptr;
    const CK_RV rv = token(slotID, t);
    if (rv != CKR_OK) return rv;
    *pInfo = CK_TOKEN_INFO{};
    padded(pInfo->label, sizeof pInfo->label, t->label);
    padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "vemradrv");
    padded(pInfo->model, sizeof pInfo->model, "VEMRA_MINIDR");
    padded(pInfo->serialNumber, sizeof pInfo->serialNumber, t->serial);
    pInfo->flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | (t->initialized ? CKF_TOKEN_INITIALIZED : 0) |
                   t->pinFlags;
    CK_ULONG sessions = 0;
    CK_ULONG rwSessions = 0;
    for (const auto& [handle, s] : m.sessions) {
      if (s.slot != slotID) continue;
      ++sessions;
      if (s.flags & CKF_RW_SESSION) ++rwSessions;
    }
    pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulSessionCount = sessions;
    pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulRwSessionCount = rwSessions;
    pInfo->ulMaxPinLen = kMaxPinLength;
    pInfo->ulMinPinLen = kMinPinLength;
    pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->hardwareVersion = {1, 0};
    pInfo->firmwareVersion = {1, 0};
    return CKR_OK;
  });
}

// Slot events would need a thread watching the readers; callers poll
// C_GetSlotList instead.
CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
  return guarded([] { return module().initialized ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  return guarded([&]() -> CK_RV {
    if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
    if (findSlot(slotID) == nullptr) refreshSlots();
    if (findSlot(slotID) == nullptr) return CKR_SLOT_ID_INVALID;
    std::size_t count = 0;
    const Mechanism* all = mechanisms(count);
    if (pMechanismList == nullptr) {
      *pulCount = count;
      return CKR_OK;
    }
    if (*pulCount < count) {
      *pulCount = count;
      return CKR_BUFFER_TOO_SMALL;
    }
    for (std::size_t i = 0; i < count; ++i) pMechanismList[i] = all[i].type;
    *pulCount = count;
    return CKR_OK;
  });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  return guarded([&]() -> CK_RV {
    if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    if (findSlot(slotID) == nullptr) refreshSlots();
    if (findSlot(slotID) == nullptr) return CKR_SLOT_ID_INVALID;
    const Mechanism* m = findMechanism(type);
    if (m == nullptr) return CKR_MECHANISM_INVALID;
    // The key sizes come from the card when it is there.
    DWORD minimum = 1024;
    DWORD maximum = 2048;
    Token* t = nullptr;
    if (token(slotID, t) == CKR_OK) {
      DWORD lo = 0;
      DWORD hi = 0;
      const DWORD rc = t->port->keySizes(lo, hi);
      if (rc == 0 && lo != 0 && hi >= lo) {
        minimum = lo;
        maximum = hi;
      } else if (removal(rc)) {
        return cardFailure(slotID, rc);
      }
    }
    pInfo->ulMinKeySize = minimum;
    pInfo->ulMaxKeySize = maximum;
    pInfo->flags = m->flags;
    return CKR_OK;
  });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (phSession == nullptr) return CKR_ARGUMENTS_BAD;
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    refreshSlots();
    if (findSlot(slotID) == nullptr) return CKR_SLOT_ID_INVALID;
    Token* t = nullptr;
    const CK_RV rv = token(slotID, t);
    if (rv != CKR_OK) return rv;
    if ((flags & CKF_RW_SESSION) == 0 && t->login == Login::SecurityOfficer) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    const CK_SESSION_HANDLE handle = m.nextSession++;
    Session& s = m.sessions[handle];
    s.slot = slotID;
    s.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    *phSession = handle;
    return CKR_OK;
  });
}

namespace {

// The last session on a token has closed: the login ends, also on the card.
void lastSessionClosed(CK_SLOT_ID id) {
  Slot* slot = findSlot(id);
  if (slot == nullptr || !slot->token || slot->token->login == Login::None) return;
  Token& t = *slot->token;
  const DWORD rc = t.port->deauthenticate(PIN_SET_ALL_ROLES);
  if (removal(rc)) {
    dropToken(id);
    return;
  }
  t.login = Login::None;
  wipe(t.adminKey);
}

}  // namespace

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* s = findSession(hSession);
    if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
    const CK_SLOT_ID slot = s->slot;
    endDecrypt(*s);
    endSign(*s);
    m.sessions.erase(hSession);
    if (std::none_of(m.sessions.begin(), m.sessions.end(), [&](const auto& e) { return e.second.slot == slot; })) {
      lastSessionClosed(slot);
    }
    return CKR_OK;
  });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  return guarded([&]() -> CK_RV {
    if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (findSlot(slotID) == nullptr) return CKR_SLOT_ID_INVALID;
    closeSessionsOf(slotID);
    lastSessionClosed(slotID);
    return CKR_OK;
  });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    const bool rw = (s->flags & CKF_RW_SESSION) != 0;
    pInfo->slotID = s->slot;
    pInfo->flags = s->flags;
    pInfo->ulDeviceError = 0;
    switch (t->login) {
      case Login::None:
        pInfo->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
        break;
      case Login::User:
        pInfo->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
        break;
      case Login::SecurityOfficer:
        pInfo->state = CKS_RW_SO_FUNCTIONS;
        break;
    }
    return CKR_OK;
  });
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (userType == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;  // no key asks for it
    if (userType != CKU_USER && userType != CKU_SO) return CKR_USER_TYPE_INVALID;
    const Login wanted = userType == CKU_USER ? Login::User : Login::SecurityOfficer;
    if (t->login == wanted) return CKR_USER_ALREADY_LOGGED_IN;
    if (t->login != Login::None) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    if (wanted == Login::SecurityOfficer && anyReadOnlySession(s->slot)) return CKR_SESSION_READ_ONLY_EXISTS;
    if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
    DWORD attempts = kUnknownAttempts;
    DWORD rc = 0;
    if (wanted == Login::User) {
      // A length the card never takes is refused here, spending no try.
      if (!pinLengthOk(ulPinLen)) return CKR_PIN_INCORRECT;
      Bytes pin(pPin, pPin + ulPinLen);
      rc = t->port->authenticateUser(pin, attempts);
      wipe(pin);
    } else {
      std::optional<Bytes> key = adminKeyFromHex(pPin, ulPinLen);
      if (!key) return CKR_PIN_INCORRECT;
      rc = authenticateAdmin(*t, *key, attempts);
      if (rc == 0) {
        t->adminKey = std::move(*key);
      } else {
        wipe(*key);
      }
    }
    notePinResult(*t, wanted == Login::User, rc, attempts);
    if (rc != 0) return cardFailure(s->slot, rc);
    t->login = wanted;
    t->objectsLoaded = false;
    return CKR_OK;
  });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (t->login == Login::None) return CKR_USER_NOT_LOGGED_IN;
    const DWORD rc = t->port->deauthenticate(PIN_SET_ALL_ROLES);
    t->login = Login::None;
    wipe(t->adminKey);
    for (auto& [handle, other] : module().sessions) {
      if (other.slot != s->slot) continue;
      endSign(other);
      endDecrypt(other);
      other.finding = false;
    }
    return cardFailure(s->slot, rc);
  });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (t->login != Login::SecurityOfficer) return CKR_USER_NOT_LOGGED_IN;
    if ((s->flags & CKF_RW_SESSION) == 0) return CKR_SESSION_READ_ONLY;
    if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
    if (!pinLengthOk(ulPinLen)) return CKR_PIN_LEN_RANGE;
    Bytes challenge;
    DWORD rc = t->port->challenge(challenge);
    if (rc != 0) return cardFailure(s->slot, rc);
    std::optional<Bytes> response = challengeResponse(t->adminKey, challenge);
    if (!response) return CKR_GENERAL_ERROR;
    Bytes pin(pPin, pPin + ulPinLen);
    rc = t->port->unblockPin(*response, pin);
    wipe(pin);
    wipe(*response);
    if (rc == 0) notePinResult(*t, true, 0, 0);
    return cardFailure(s->slot, rc);
  });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if ((s->flags & CKF_RW_SESSION) == 0) return CKR_SESSION_READ_ONLY;
    if (pOldPin == nullptr || pNewPin == nullptr) return CKR_ARGUMENTS_BAD;
    DWORD attempts = kUnknownAttempts;
    if (t->login == Login::SecurityOfficer) {
      // The security officer's PIN is the administrator key in hexadecimal.
      std::optional<Bytes> current = adminKeyFromHex(pOldPin, ulOldLen);
      if (!current) return CKR_PIN_INCORRECT;
      std::optional<Bytes> next = adminKeyFromHex(pNewPin, ulNewLen);
      if (!next) {
        wipe(*current);
        return CKR_PIN_INVALID;
      }
      Bytes challenge;
      DWORD rc = t->port->challenge(challenge);
      std::optional<Bytes> response = rc == 0 ? challengeResponse(*current, challenge) : std::nullopt;
      if (rc == 0 && !response) rc = SCARD_F_INTERNAL_ERROR;
      if (rc == 0) rc = t->port->changeAdminKey(*response, *next);
      if (response) wipe(*response);
      wipe(*current);
      if (rc == 0) {
        wipe(t->adminKey);
        t->adminKey = std::move(*next);
      } else {
        wipe(*next);
      }
      notePinResult(*t, false, rc, attempts);
      return cardFailure(s->slot, rc);
    }
    if (!pinLengthOk(ulNewLen)) return CKR_PIN_LEN_RANGE;
    if (!pinLengthOk(ulOldLen)) return CKR_PIN_INCORRECT;
    Bytes current(pOldPin, pOldPin + ulOldLen);
    Bytes next(pNewPin, pNewPin + ulNewLen);
    const DWORD rc = t->port->changePin(current, next, attempts);
    wipe(current);
    wipe(next);
    notePinResult(*t, true, rc, attempts);
    return cardFailure(s->slot, rc);
  });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    const Object* o = nullptr;
    rv = findObject(*s, *t, hObject, o);
    if (rv != CKR_OK) return rv;
    return getAttributes(*o, pTemplate, ulCount);
  });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (pulSize == nullptr) return CKR_ARGUMENTS_BAD;
    const Object* o = nullptr;
    rv = findObject(*s, *t, hObject, o);
    if (rv != CKR_OK) return rv;
    *pulSize = CK_UNAVAILABLE_INFORMATION;
    return CKR_OK;
  });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    if (s->finding) return CKR_OPERATION_ACTIVE;
    // Read the card again: another program may have changed it.
    rv = loadObjects(s->slot, *t);
    if (rv != CKR_OK) return rv;
    s->found.clear();
    s->nextFound = 0;
    for (const Object& o : t->objects) {
      if (userVisible(*t, o) && matchesTemplate(o, pTemplate, ulCount)) s->found.push_back(o.handle);
    }
    s->finding = true;
    return CKR_OK;
  });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (phObject == nullptr || pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
    if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
    CK_ULONG n = 0;
    while (n < ulMaxObjectCount && s->nextFound < s->found.size()) phObject[n++] = s->found[s->nextFound++];
    *pulObjectCount = n;
    return CKR_OK;
  });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (!s->finding) return CKR_OPERATION_NOT_INITIALIZED;
    s->finding = false;
    s->found.clear();
    return CKR_OK;
  });
}

// Signing.

namespace {

// The key of an operation: a private key the user may use for `usage`.
CK_RV operationKey(Session& s, Token& t, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE usage, const Object*& key) {
  if (t.login != Login::User) return CKR_USER_NOT_LOGGED_IN;
  const CK_RV rv = findObject(s, t, handle, key);
  if (rv == CKR_OBJECT_HANDLE_INVALID || (rv == CKR_OK && key->objectClass != CKO_PRIVATE_KEY)) {
    return CKR_KEY_HANDLE_INVALID;
  }
  if (rv != CKR_OK) return rv;
  if (!key->boolean(usage)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  return CKR_OK;
}

// Finishes a signature: the length alone when `signature` is NULL or too
// small (the operation stays), else the card's signature (the operation
// ends).
CK_RV finishSign(Session& s, Token& t, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
  const Object* key = nullptr;
  CK_RV rv = findObject(s, t, s.signKey, key);
  if (rv != CKR_OK) {
    endSign(s);
    return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
  }
  const CK_ULONG size = key->modulusBytes;
  const Mechanism* m = findMechanism(s.signMechanism);
  if (m->digest == nullptr && s.signData.size() + 11 > size) {
    endSign(s);
    return CKR_DATA_LEN_RANGE;
  }
  if (signature == nullptr) {
    *length = size;
    return CKR_OK;
  }
  if (*length < size) {
    *length = size;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (m->digest != nullptr && !s.digestDone) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned hashLength = 0;
    if (EVP_DigestFinal_ex(s.digest.get(), hash, &hashLength) != 1) {
      endSign(s);
      return CKR_GENERAL_ERROR;
    }
    s.signData.assign(hash, hash + hashLength);
    s.digestDone = true;
  }
  Bytes result;
  const BYTE container = key->container;
  const DWORD keySpec = key->keySpec;
  const DWORD rc = t.port->sign(container, keySpec, m->hashAlg, s.signData, result);
  endSign(s);
  if (rc != 0) return cardFailure(s.slot, rc);
  if (result.size() != size) return CKR_DEVICE_ERROR;
  std::memcpy(signature, result.data(), size);
  *length = size;
  return CKR_OK;
}

CK_RV signUpdate(Session& s, CK_BYTE_PTR part, CK_ULONG length) {
  if (s.digest) {
    if (EVP_DigestUpdate(s.digest.get(), part, length) != 1) return CKR_GENERAL_ERROR;
  } else {
    // Data signed as it is never exceeds a key's size.
    if (s.signData.size() + length > 512) return CKR_DATA_LEN_RANGE;
    s.signData.insert(s.signData.end(), part, part + length);
  }
  return CKR_OK;
}

}  // namespace

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (s->signing) return CKR_OPERATION_ACTIVE;
    const Mechanism* m = findMechanism(pMechanism->mechanism);
    if (m == nullptr || (m->flags & CKF_SIGN) == 0) return CKR_MECHANISM_INVALID;
    if (pMechanism->pParameter != nullptr || pMechanism->ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
    const Object* key = nullptr;
    rv = operationKey(*s, *t, hKey, CKA_SIGN, key);
    if (rv != CKR_OK) return rv;
    if (m->digest != nullptr) {
      s->digest.reset(EVP_MD_CTX_new());
      if (!s->digest || EVP_DigestInit_ex(s->digest.get(), EVP_get_digestbyname(m->digest), nullptr) != 1) {
        endSign(*s);
        return CKR_HOST_MEMORY;
      }
    }
    s->signing = true;
    s->signMechanism = m->type;
    s->signKey = hKey;
    return CKR_OK;
  });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (!s->signing) return CKR_OPERATION_NOT_INITIALIZED;
    if ((pData == nullptr && ulDataLen != 0) || pulSignatureLen == nullptr) {
      endSign(*s);
      return CKR_ARGUMENTS_BAD;
    }
    if (s->signUpdated) {
      endSign(*s);
      return CKR_OPERATION_ACTIVE;
    }
    // A second call after a length query or a too small buffer must not
    // take the data in again.
    if (!s->digestDone && s->signData.empty()) {
      if (s->digest) {
        if (EVP_DigestUpdate(s->digest.get(), pData, ulDataLen) != 1) {
          endSign(*s);
          return CKR_GENERAL_ERROR;
        }
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned hashLength = 0;
        if (EVP_DigestFinal_ex(s->digest.get(), hash, &hashLength) != 1) {
          endSign(*s);
          return CKR_GENERAL_ERROR;
        }
        s->signData.assign(hash, hash + hashLength);
        s->digestDone = true;
      } else {
        rv = signUpdate(*s, pData, ulDataLen);
        if (rv != CKR_OK) {
          endSign(*s);
          return rv;
        }
      }
    }
    return finishSign(*s, *t, pSignature, pulSignatureLen);
  });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (!s->signing) return CKR_OPERATION_NOT_INITIALIZED;
    if (pPart == nullptr && ulPartLen != 0) {
      endSign(*s);
      return CKR_ARGUMENTS_BAD;
    }
    s->signUpdated = true;
    rv = signUpdate(*s, pPart, ulPartLen);
    if (rv != CKR_OK) endSign(*s);
    return rv;
  });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    const CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (!s->signing) return CKR_OPERATION_NOT_INITIALIZED;
    if (pulSignatureLen == nullptr) {
      endSign(*s);
      return CKR_ARGUMENTS_BAD;
    }
    return finishSign(*s, *t, pSignature, pulSignatureLen);
  });
}

// Decryption.

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (s->decrypting) return CKR_OPERATION_ACTIVE;
    const Mechanism* m = findMechanism(pMechanism->mechanism);
    if (m == nullptr || (m->flags & CKF_DECRYPT) == 0) return CKR_MECHANISM_INVALID;
    OaepParams oaep;
    if (m->type == CKM_RSA_PKCS_OAEP) {
      rv = oaepParams(*pMechanism, oaep);
      if (rv != CKR_OK) return rv;
    } else if (pMechanism->pParameter != nullptr || pMechanism->ulParameterLen != 0) {
      return CKR_MECHANISM_PARAM_INVALID;
    }
    const Object* key = nullptr;
    rv = operationKey(*s, *t, hKey, CKA_DECRYPT, key);
    if (rv != CKR_OK) return rv;
    s->decrypting = true;
    s->decryptMechanism = m->type;
    s->decryptKey = hKey;
    s->oaep = std::move(oaep);
    return CKR_OK;
  });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  return guarded([&]() -> CK_RV {
    Session* s = nullptr;
    Token* t = nullptr;
    CK_RV rv = sessionToken(hSession, s, t);
    if (rv != CKR_OK) return rv;
    if (!s->decrypting) return CKR_OPERATION_NOT_INITIALIZED;
    if (pEncryptedData == nullptr || pulDataLen == nullptr) {
      endDecrypt(*s);
      return CKR_ARGUMENTS_BAD;
    }
    const Object* key = nullptr;
    rv = findObject(*s, *t, s->decryptKey, key);
    if (rv != CKR_OK) {
      endDecrypt(*s);
      return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    }
    if (ulEncryptedDataLen != key->modulusBytes) {
      endDecrypt(*s);
      return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    if (!s->plainReady) {
      // The plaintext's length is known only once the card has decrypted;
      // until then the key's size bounds it.
      if (pData == nullptr) {
        *pulDataLen = key->modulusBytes;
        return CKR_OK;
      }
      const Bytes block(pEncryptedData, pEncryptedData + ulEncryptedDataLen);
      const DWORD padding = s->decryptMechanism == CKM_RSA_PKCS_OAEP ? CARD_PADDING_OAEP : CARD_PADDING_PKCS1;
      const DWORD rc = t->port->decrypt(key->container, key->keySpec, block, padding,
                                        padding == CARD_PADDING_OAEP ? &s->oaep : nullptr, s->plain);
      if (rc != 0) {
        endDecrypt(*s);
        // The unpad callback refuses a block without valid padding.
        return cardFailure(s->slot, rc, rc == SCARD_E_INVALID_PARAMETER ? CKR_ENCRYPTED_DATA_INVALID : CKR_DEVICE_ERROR);
      }
      s->plainReady = true;
    }
    if (pData == nullptr) {
      *pulDataLen = s->plain.size();
      return CKR_OK;
    }
    if (*pulDataLen < s->plain.size()) {
      *pulDataLen = s->plain.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    if (!s->plain.empty()) std::memcpy(pData, s->plain.data(), s->plain.size());
    *pulDataLen = s->plain.size();
    endDecrypt(*s);
    return CKR_OK;
  });
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);

}  // extern "C"

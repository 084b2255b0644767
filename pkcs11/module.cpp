// The module's state table and what the interface functions share: the
// slots and their tokens, the sessions, the card's objects, and the mapping of
// a card port's failures.
#include "module.h"

#include <unistd.h>

#include <algorithm>

#include "mechanisms.h"
#include "text.h"

namespace vemra::p11 {

namespace {

std::unique_ptr<Backend> (*backendFactory)() = nullptr;
std::unique_ptr<Backend> (*hostFactory)() = nullptr;

// The codes that say the card, its reader or the service went.
constexpr DWORD kCardGone[] = {
    0x80100069,  // SCARD_W_REMOVED_CARD
    0x80100068,  // SCARD_W_RESET_CARD
    0x80100067,  // SCARD_W_UNPOWERED_CARD
    0x80100066,  // SCARD_W_UNRESPONSIVE_CARD
    0x8010000C,  // SCARD_E_NO_SMARTCARD
    0x80100003,  // SCARD_E_INVALID_HANDLE
    0x80100017,  // SCARD_E_READER_UNAVAILABLE
    0x8010001D,  // SCARD_E_NO_SERVICE
    0x8010001E,  // SCARD_E_SERVICE_STOPPED
};

// What a child of fork() inherited: never destroyed, since destroying it
// would disconnect the parent's cards. Reachable from here, so it is no
// leak either.
struct Abandoned {
  std::vector<std::unique_ptr<Token>> tokens;
  std::vector<std::shared_ptr<Backend>> backends;
};
Abandoned* abandoned = nullptr;

std::string hex8(const Bytes& bytes) {
  return host::hex(std::span(bytes).first(std::min<std::size_t>(bytes.size(), 8)), host::HexCase::Lower);
}

}  // namespace

Module& module() {
  static Module instance;
  return instance;
}

void leaveParentsState() {
  Module& m = module();
  if (!m.initialized || m.owner == ::getpid()) return;
  if (abandoned == nullptr) abandoned = new Abandoned;
  m.sessions.clear();
  for (Slot& s : m.slots) {
    if (!s.token) continue;
    wipe(s.token->adminKey);
    abandoned->tokens.push_back(std::move(s.token));
  }
  m.slots.clear();
  m.lost.clear();
  abandoned->backends.push_back(std::move(m.backend));
  m.initialized = false;
}

void dropLostTokens() {
  Module& m = module();
  std::vector<CK_SLOT_ID> lost;
  lost.swap(m.lost);
  for (CK_SLOT_ID id : lost) {
    if (id < m.slots.size()) dropToken(id);
  }
}

void setBackendFactory(std::unique_ptr<Backend> (*factory)()) { backendFactory = factory; }

bool registerHostBackend(std::unique_ptr<Backend> (*factory)()) {
  hostFactory = factory;
  return true;
}

std::unique_ptr<Backend> makeBackend() {
  if (backendFactory != nullptr) return backendFactory();
  return hostFactory != nullptr ? hostFactory() : nullptr;
}

bool removal(DWORD rc) { return std::find(std::begin(kCardGone), std::end(kCardGone), rc) != std::end(kCardGone); }

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

void endLogin(CK_SLOT_ID slot, Token& t, bool onCard) {
  if (onCard && t.login != Login::None) (void)t.port->deauthenticate(PIN_SET_ALL_ROLES);
  t.login = Login::None;
  t.userPin.clear();
  wipe(t.adminKey);
  t.objectsLoaded = false;
  for (auto& [handle, other] : module().sessions) {
    if (other.slot != slot) continue;
    endSign(other);
    endDecrypt(other);
    other.finding = false;
  }
}

DWORD renewUserLogin(CK_SLOT_ID slot, Token& t) {
  Bytes pin = t.userPin.copy();
  DWORD attempts = 0xFFFFFFFF;
  const DWORD rc = t.port->authenticateUser(pin, attempts);
  wipe(pin);
  // Changed or blocked by another program: this login is over, and the
  // caller hears why (CKR_PIN_INCORRECT or CKR_PIN_LOCKED).
  if (rc == SCARD_W_WRONG_CHV || rc == SCARD_W_CHV_BLOCKED) endLogin(slot, t, false);
  return rc;
}

Module::~Module() {
  stopReleases();
  // A child of fork() abandons what it inherited; only the process that
  // logged in logs out, so a child leaves its parent's login alone.
  leaveParentsState();
  if (!initialized || owner != ::getpid()) return;
  for (Slot& s : slots) {
    if (s.token && s.token->login != Login::None) (void)s.token->port->deauthenticate(PIN_SET_ALL_ROLES);
  }
}

CK_RV cardFailure(CK_SLOT_ID slot, DWORD rc, CK_RV otherwise) {
  if (rc == 0) return CKR_OK;
  if (removal(rc)) {
    module().lost.push_back(slot);
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

// Brings the list of slots up to date with the readers: a reader keeps its
// slot number for the module's lifetime; a reader whose card is gone loses
// its token.
std::vector<ReaderInfo> refreshSlots() {
  Module& m = module();
  std::vector<ReaderInfo> readers;
  // A listing that fails says nothing about the cards (the service may be
  // restarting): the slots stay as they were, and a token whose card went
  // finds out when it next uses it. The readers are then as the slots know
  // them.
  if (m.backend->readers(readers) != 0) {
    readers.clear();
    for (const Slot& s : m.slots) readers.push_back({s.reader, s.cardPresent});
    return readers;
  }
  for (CK_SLOT_ID id = 0; id < m.slots.size(); ++id) {
    auto it = std::find_if(readers.begin(), readers.end(),
                           [&](const ReaderInfo& r) { return r.name == m.slots[id].reader; });
    m.slots[id].cardPresent = it != readers.end() && it->cardPresent;
    if (!m.slots[id].cardPresent && m.slots[id].token) dropToken(id);
  }
  for (const ReaderInfo& r : readers) {
    if (std::none_of(m.slots.begin(), m.slots.end(), [&](const Slot& s) { return s.reader == r.name; })) {
      // Readers there at the first look are no event; later ones are.
      m.slots.push_back(Slot{r.name, r.cardPresent, nullptr, r.cardPresent, !m.slotsListed});
    }
  }
  m.slotsListed = true;
  return readers;
}

bool sameReaders(const std::vector<ReaderInfo>& a, const std::vector<ReaderInfo>& b) {
  const auto within = [](const std::vector<ReaderInfo>& x, const std::vector<ReaderInfo>& y) {
    return std::all_of(x.begin(), x.end(), [&](const ReaderInfo& r) {
      return std::any_of(y.begin(), y.end(),
                         [&](const ReaderInfo& o) { return o.name == r.name && o.cardPresent == r.cardPresent; });
    });
  };
  return a.size() == b.size() && within(a, b) && within(b, a);
}

// The token of a slot, connecting to its card on first use.
CK_RV token(CK_SLOT_ID id, Token*& out) {
  Slot* slot = findSlot(id);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  if (!slot->token) {
    if (!slot->cardPresent) return CKR_TOKEN_NOT_PRESENT;
    auto t = std::make_unique<Token>();
    std::unique_ptr<CardPort> port;
    const DWORD rc = module().backend->connect(slot->reader, port);
    if (rc == SCARD_E_UNKNOWN_CARD) return CKR_TOKEN_NOT_RECOGNIZED;
    if (rc != 0) return removal(rc) ? CKR_TOKEN_NOT_PRESENT : CKR_DEVICE_ERROR;
    auto kept = std::make_shared<CachedPort>(std::move(port));
    const std::chrono::milliseconds linger =
        module().threadsAllowed ? module().backend->cardLinger() : std::chrono::milliseconds{0};
    kept->setLinger(linger, linger * kLongestHoldInLingers);
    kept->keepBetweenPrograms(module().backend->keepsBetweenPrograms());
    t->port = std::move(kept);
    // The identity and the map are read as one: a map written meanwhile by
    // another program is seen whole or not at all.
    CardHold hold(t->port);
    if (hold.status() != 0) return removal(hold.status()) ? CKR_TOKEN_NOT_PRESENT : CKR_DEVICE_ERROR;
    Bytes cardId;
    Bytes map;
    Bytes serial;
    const DWORD idRc = t->port->readFile("", "cardid", cardId);
    const DWORD mapRc = t->port->readFile("mscp", "cmapfile", map);
    if (removal(idRc) || removal(mapRc)) return CKR_TOKEN_NOT_PRESENT;
    t->initialized = idRc == 0 && mapRc == 0;
    t->label = idRc == 0 && !cardId.empty() ? "VEMRA " + hex8(cardId) : "VEMRA (not initialised)";
    t->serial = t->port->serialNumber(serial) == 0 ? hex8(serial) : "";
    slot->token = std::move(t);
  }
  out = slot->token.get();
  return CKR_OK;
}

bool userVisible(const Token& t, const Object& o) { return !o.isPrivate || t.login == Login::User; }

// Reads the containers and, with `certificates`, their certificates from
// the card.
CK_RV loadObjects(CK_SLOT_ID id, Token& t, bool certificates) {
  t.objects.clear();
  t.objectsLoaded = false;
  t.certificatesLoaded = false;
  Bytes map;
  DWORD rc = t.port->readFile("mscp", "cmapfile", map);
  if (rc == SCARD_E_FILE_NOT_FOUND || rc == SCARD_E_DIR_NOT_FOUND) {
    t.objectsLoaded = t.certificatesLoaded = true;
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
      if (!certificates) continue;
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
  t.certificatesLoaded = certificates;
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
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!t.objectsLoaded || (attempt == 1 && !t.certificatesLoaded)) {
      const CK_RV rv = loadObjects(session.slot, t);
      if (rv != CKR_OK) return rv;
    }
    for (const Object& o : t.objects) {
      if (o.handle == handle && userVisible(t, o)) {
        out = &o;
        return CKR_OK;
      }
    }
    if (t.certificatesLoaded) break;
  }
  return CKR_OBJECT_HANDLE_INVALID;
}

Session::~Session() {
  endSign(*this);
  endDecrypt(*this);
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

}  // namespace vemra::p11

// The module's state: slots (one per PC/SC reader), the token of each slot
// with its card port, objects and login state, and the sessions.
#ifndef VEMRA_P11_MODULE_H
#define VEMRA_P11_MODULE_H

#include <openssl/evp.h>
#include <unistd.h>

#include <map>
#include <new>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cached_port.h"
#include "card_port.h"
#include "locked_secret.h"
#include "objects.h"
#include "p11-kit/pkcs11.h"
#include "vemradrv/version.h"
#include "raw_rsa.h"

namespace vemra::p11 {

enum class Login { None, User, SecurityOfficer };

struct Token {
  // Shared with the transactions held on it, so that a token dropped in the
  // middle of an operation leaves them a port to end on. The port keeps
  // what any program may read of the card (cached_port.h).
  std::shared_ptr<CardPort> port;
  std::string label;
  std::string serial;
  bool initialized = false;  // the card carries the standard layout
  std::vector<Object> objects;
  bool objectsLoaded = false;
  bool certificatesLoaded = false;  // the objects include the certificates
  Login login = Login::None;
  Bytes adminKey;             // kept while the security officer is logged in, for C_InitPIN
  LockedSecret userPin;       // kept while the user is logged in, to renew the card's login
  CK_FLAGS pinFlags = 0;      // the counter flags of the user PIN and the administrator key
};

struct Slot {
  std::string reader;
  bool cardPresent = false;
  std::unique_ptr<Token> token;
  // What C_WaitForSlotEvent last reported (or what was there when the slot
  // was first seen): a slot whose card differs has an event to report.
  bool reportedPresent = false;
  bool reported = false;  // a reader plugged in later is an event of its own
};

struct DigestFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

struct Session {
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Wipes what the session kept (data to sign, plaintext), however it ends.
  ~Session();

  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  // C_FindObjects*
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t nextFound = 0;
  // C_Sign*
  bool signing = false;
  bool signUpdated = false;
  CK_MECHANISM_TYPE signMechanism = 0;
  CK_OBJECT_HANDLE signKey = 0;
  PssParams pss;
  std::unique_ptr<EVP_MD_CTX, DigestFree> digest;
  Bytes signData;  // the data of CKM_RSA_PKCS, or the finished hash
  bool digestDone = false;
  // C_Decrypt*
  bool decrypting = false;
  CK_MECHANISM_TYPE decryptMechanism = 0;
  CK_OBJECT_HANDLE decryptKey = 0;
  OaepParams oaep;
  bool plainReady = false;
  Bytes plain;  // a result kept for the caller's second call with a larger buffer
};

struct Module {
  // A child of fork() abandons what it inherited instead of closing the
  // parent's connections at exit; a process that ends without C_Finalize
  // leaves no login on the card.
  ~Module();

  std::recursive_mutex lock;
  bool initialized = false;
  pid_t owner = 0;  // the process that called C_Initialize
  // Shared with a C_WaitForSlotEvent that waits without the lock.
  std::shared_ptr<Backend> backend;
  std::vector<Slot> slots;
  bool slotsListed = false;     // the readers were looked at once
  unsigned long lifetime = 0;   // counts C_Finalize calls: a wait from before one ends
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_SESSION_HANDLE nextSession = 1;
  // Slots whose card went during the current call; their tokens and
  // sessions are dropped when the call ends, as the call may still hold
  // them.
  std::vector<CK_SLOT_ID> lost;
  int depth = 0;  // nesting of interface calls in this thread
  bool threadsAllowed = true;  // C_Initialize did not forbid the module its own threads
};

Module& module();

// In a child of fork() that inherited an initialised module: forgets the
// parent's sessions and tokens without a PC/SC call (the connections are
// the parent's), so that the module is not initialised in the child.
void leaveParentsState();
// Drops the tokens (and their sessions) whose card went during the call.
void dropLostTokens();

// Cards held past the last call (CachedPort's linger) are let go by a
// thread of the module's own when their time is up. Under the module lock,
// when an interface call ends: wakes it for the earliest such card.
void scheduleReleases();
// Ends that thread (joined), without the module lock or under it; the cards
// still held are let go by their ports.
void stopReleases();
// Lets go of every card held past the last call, now; under the module lock.
void releaseHeldCards();

// Runs the body of an interface function under the module lock; no
// exception leaves the module.
template <typename F>
CK_RV guarded(F&& body) {
  try {
    Module& m = module();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    leaveParentsState();
    struct Call {
      Module& m;
      explicit Call(Module& module) : m(module) { ++m.depth; }
      ~Call() {
        if (--m.depth != 0) return;
        dropLostTokens();
        if (m.initialized) scheduleReleases();
      }
    } call(m);
    return body();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

// A card held across calls is let go at the end of a call once its hold
// has lasted this many lingers, so that a program that never pauses still
// lets others at the card.
constexpr int kLongestHoldInLingers = 50;

constexpr CK_ULONG kMinPinLength = 4;
constexpr CK_ULONG kMaxUserPinLength = 8;
// The longest PIN of the token: the security officer's, the administrator
// key in hexadecimal.
constexpr CK_ULONG kMaxPinLength = 48;

// The backend C_Initialize starts with: the tests' in-memory card, else the
// registered one; nothing when neither is there.
std::unique_ptr<Backend> makeBackend();

// Whether a card port's code says the card is gone: it left the reader, was
// reset or lost its power, the reader or the PC/SC service went, or the
// connection is no longer valid. A fresh token must connect again.
bool removal(DWORD rc);

// The state table's entries; nullptr for an unknown slot or session.
Slot* findSlot(CK_SLOT_ID id);
Session* findSession(CK_SESSION_HANDLE handle);
void closeSessionsOf(CK_SLOT_ID slot);
// The card has left the reader (or was reset): the token goes, and with it
// every session on it and its login state. Only for callers that hold no
// session or token of the slot; the others note the loss (cardFailure).
void dropToken(CK_SLOT_ID slot);
// Brings the list of slots up to date with the readers: a reader keeps its
// slot number for the module's lifetime; a reader whose card is gone loses
// its token. Returns the readers it saw.
std::vector<ReaderInfo> refreshSlots();
// The token of a slot, connecting to its card on first use.
CK_RV token(CK_SLOT_ID slot, Token*& out);

// The session and its token; CKR_SESSION_HANDLE_INVALID for an unknown
// handle, CKR_DEVICE_REMOVED when the card went.
CK_RV sessionToken(CK_SESSION_HANDLE handle, Session*& session, Token*& token);
// Reads the containers and, with `certificates`, their certificates from
// the card.
CK_RV loadObjects(CK_SLOT_ID slot, Token& token, bool certificates = true);
// A visible object of the token by handle, reading the card when the
// objects (or the certificates) are not loaded yet.
CK_RV findObject(Session& session, Token& token, CK_OBJECT_HANDLE handle, const Object*& out);
bool userVisible(const Token& token, const Object& object);
// The PKCS #11 code of a card port's failure (`otherwise` for a code with
// no meaning of its own); a removed card also drops the token when the
// interface call ends.
CK_RV cardFailure(CK_SLOT_ID slot, DWORD rc, CK_RV otherwise = CKR_DEVICE_ERROR);

// The token's login ends, on the card too when `onCard`: the kept secrets
// are wiped and the operations of its sessions end.
void endLogin(CK_SLOT_ID slot, Token& token, bool onCard);

// Verifies the kept user PIN again (another program ended the card's
// login); when the card no longer takes it, the login ends.
DWORD renewUserLogin(CK_SLOT_ID slot, Token& token);

// Whether the card refused an operation for want of a verified PIN.
inline bool notVerified(DWORD rc) { return rc == SCARD_W_SECURITY_VIOLATION || rc == SCARD_E_NO_ACCESS; }

// Runs a card operation of the logged-in user; when the card answers that
// the PIN is not verified (another program logged the card out), verifies
// the kept PIN again once and repeats the operation.
template <typename F>
DWORD asUser(CK_SLOT_ID slot, Token& token, F&& operation) {
  const DWORD rc = operation();
  if (!notVerified(rc) || token.login != Login::User || token.userPin.empty()) return rc;
  if (const DWORD renewed = renewUserLogin(slot, token); renewed != 0) return renewed;
  return operation();
}

// Holds a token's card for the life of the object; see CardPort.
class CardHold {
 public:
  explicit CardHold(std::shared_ptr<CardPort> port) : port_(std::move(port)), status_(port_->beginTransaction()) {}
  ~CardHold() {
    if (status_ == 0) port_->endTransaction();
  }
  CardHold(const CardHold&) = delete;
  CardHold& operator=(const CardHold&) = delete;
  DWORD status() const { return status_; }

 private:
  std::shared_ptr<CardPort> port_;
  DWORD status_;
};

// Ends a session's signing or decryption, wiping what it kept.
void endSign(Session& session);
void endDecrypt(Session& session);

// The body of an interface function on a session: under the module lock,
// with the session and its token looked up.
template <typename F>
CK_RV withSession(CK_SESSION_HANDLE handle, F&& operation) {
  return guarded([&]() -> CK_RV {
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = sessionToken(handle, session, token);
    if (rv != CKR_OK) return rv;
    return operation(*session, *token);
  });
}

// The body of an interface function that reaches the card: as withSession,
// with the card held from the first command to the last, so that no other
// program's command lands in between.
template <typename F>
CK_RV withCard(CK_SESSION_HANDLE handle, F&& operation) {
  return withSession(handle, [&](Session& session, Token& token) -> CK_RV {
    const CK_SLOT_ID slot = session.slot;
    CardHold hold(token.port);
    if (hold.status() != 0) return cardFailure(slot, hold.status());
    return operation(session, token);
  });
}

}  // namespace vemra::p11

#endif  // VEMRA_P11_MODULE_H

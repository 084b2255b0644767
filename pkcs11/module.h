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
#include "objects.h"
#include "p11-kit/pkcs11.h"

namespace vemra::p11 {

enum class Login { None, User, SecurityOfficer };

struct Token {
  std::unique_ptr<CachedPort> port;
  std::string label;
  std::string serial;
  bool initialized = false;  // the card carries the standard layout
  std::vector<Object> objects;
  bool objectsLoaded = false;
  bool certificatesLoaded = false;  // the objects include the certificates
  Login login = Login::None;
  Bytes adminKey;             // kept while the security officer is logged in, for C_InitPIN
  CK_FLAGS pinFlags = 0;      // the counter flags of the user PIN and the administrator key
};

struct Slot {
  std::string reader;
  bool cardPresent = false;
  std::unique_ptr<Token> token;
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
  // parent's connections at exit.
  ~Module();

  std::recursive_mutex lock;
  bool initialized = false;
  pid_t owner = 0;  // the process that called C_Initialize
  std::unique_ptr<Backend> backend;
  std::vector<Slot> slots;
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_SESSION_HANDLE nextSession = 1;
  // Slots whose card went during the current call; their tokens and
  // sessions are dropped when the call ends, as the call may still hold
  // them.
  std::vector<CK_SLOT_ID> lost;
  int depth = 0;  // nesting of interface calls in this thread
};

Module& module();

// In a child of fork() that inherited an initialised module: forgets the
// parent's sessions and tokens without a PC/SC call (the connections are
// the parent's), so that the module is not initialised in the child.
void leaveParentsState();
// Drops the tokens (and their sessions) whose card went during the call.
void dropLostTokens();

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
        if (--m.depth == 0) dropLostTokens();
      }
    } call(m);
    return body();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

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
// its token.
void refreshSlots();
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

// Ends a session's signing or decryption, wiping what it kept.
void endSign(Session& session);
void endDecrypt(Session& session);

// Holds a token's card for one interface function: what the module keeps
// of the card is checked against "cardcf" at most once in it and serves the
// rest of the call (cached_port.h). The token may be dropped meanwhile (the
// card went); the end then has nothing left to release.
class CardOperation {
 public:
  CardOperation(CK_SLOT_ID slot, Token& token);
  ~CardOperation();
  CardOperation(const CardOperation&) = delete;
  CardOperation& operator=(const CardOperation&) = delete;

 private:
  CK_SLOT_ID slot_;
  Token* token_;
};

// The body of an interface function on a session: under the module lock,
// with the session and its token looked up and the card held.
template <typename F>
CK_RV withSession(CK_SESSION_HANDLE handle, F&& operation) {
  return guarded([&]() -> CK_RV {
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = sessionToken(handle, session, token);
    if (rv != CKR_OK) return rv;
    const CardOperation held(session->slot, *token);
    return operation(*session, *token);
  });
}

}  // namespace vemra::p11

#endif  // VEMRA_P11_MODULE_H

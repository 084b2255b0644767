// Sessions and login: opening and closing sessions, the user's and the
// security officer's login, and the PIN functions.
#include <algorithm>

#include "mechanisms.h"
#include "module.h"

namespace vemra::p11 {

namespace {

constexpr DWORD kUnknownAttempts = 0xFFFFFFFF;

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

bool pinLengthOk(CK_ULONG length) { return length >= kMinPinLength && length <= kMaxUserPinLength; }

// The card takes a two-key triple-DES key in its 24-byte form: the last 8
// bytes repeat the first 8.
bool adminKeyForm(const Bytes& key) {
  return key.size() == 24 && std::equal(key.begin(), key.begin() + 8, key.begin() + 16);
}

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
  endLogin(id, t, false);
}

// The user PIN was changed: a logged-in user's kept PIN is the new one; in
// a public session the change verified the PIN on the card, and that login
// is nobody's, so it ends.
void changedUserPin(Token& t, const CK_UTF8CHAR* pin, CK_ULONG length) {
  if (t.login == Login::User) {
    if (!t.userPin.assign(pin, length)) t.userPin.clear();
  } else if (t.login == Login::None) {
    (void)t.port->deauthenticate(CREATE_PIN_SET(ROLE_USER));
  }
}

}  // namespace

}  // namespace vemra::p11

using namespace vemra::p11;

extern "C" {

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
  return withSession(hSession, [&](Session& s, Token& t) -> CK_RV {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    const bool rw = (s.flags & CKF_RW_SESSION) != 0;
    pInfo->slotID = s.slot;
    pInfo->flags = s.flags;
    pInfo->ulDeviceError = 0;
    switch (t.login) {
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
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    if (userType == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;  // no key asks for it
    if (userType != CKU_USER && userType != CKU_SO) return CKR_USER_TYPE_INVALID;
    const Login wanted = userType == CKU_USER ? Login::User : Login::SecurityOfficer;
    if (t.login == wanted) return CKR_USER_ALREADY_LOGGED_IN;
    if (t.login != Login::None) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    if (wanted == Login::SecurityOfficer && anyReadOnlySession(s.slot)) return CKR_SESSION_READ_ONLY_EXISTS;
    if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
    DWORD attempts = kUnknownAttempts;
    DWORD rc = 0;
    if (wanted == Login::User) {
      // A length the card never takes is refused here, spending no try.
      if (!pinLengthOk(ulPinLen)) return CKR_PIN_INCORRECT;
      // Kept for renewing the card's login, which every program shares and
      // any of them may end.
      if (!t.userPin.assign(pPin, ulPinLen)) return CKR_HOST_MEMORY;
      Bytes pin(pPin, pPin + ulPinLen);
      rc = t.port->authenticateUser(pin, attempts);
      wipe(pin);
      if (rc != 0) t.userPin.clear();
    } else {
      std::optional<Bytes> key = adminKeyFromHex(pPin, ulPinLen);
      if (!key) return CKR_PIN_INCORRECT;
      rc = authenticateAdmin(t, *key, attempts);
      if (rc == 0) {
        t.adminKey = std::move(*key);
      } else {
        wipe(*key);
      }
    }
    notePinResult(t, wanted == Login::User, rc, attempts);
    if (rc != 0) return cardFailure(s.slot, rc);
    t.login = wanted;
    t.objectsLoaded = false;
    return CKR_OK;
  });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  return withSession(hSession, [&](Session& s, Token& t) -> CK_RV {
    if (t.login == Login::None) return CKR_USER_NOT_LOGGED_IN;
    const DWORD rc = t.port->deauthenticate(PIN_SET_ALL_ROLES);
    endLogin(s.slot, t, false);
    return cardFailure(s.slot, rc);
  });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    if (t.login != Login::SecurityOfficer) return CKR_USER_NOT_LOGGED_IN;
    if ((s.flags & CKF_RW_SESSION) == 0) return CKR_SESSION_READ_ONLY;
    if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
    if (!pinLengthOk(ulPinLen)) return CKR_PIN_LEN_RANGE;
    Bytes challenge;
    DWORD rc = t.port->challenge(challenge);
    if (rc != 0) return cardFailure(s.slot, rc);
    std::optional<Bytes> response = challengeResponse(t.adminKey, challenge);
    if (!response) return CKR_GENERAL_ERROR;
    Bytes pin(pPin, pPin + ulPinLen);
    rc = t.port->unblockPin(*response, pin);
    wipe(pin);
    wipe(*response);
    if (rc == 0) notePinResult(t, true, 0, 0);
    return cardFailure(s.slot, rc);
  });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
  return withCard(hSession, [&](Session& s, Token& t) -> CK_RV {
    if ((s.flags & CKF_RW_SESSION) == 0) return CKR_SESSION_READ_ONLY;
    if (pOldPin == nullptr || pNewPin == nullptr) return CKR_ARGUMENTS_BAD;
    DWORD attempts = kUnknownAttempts;
    if (t.login == Login::SecurityOfficer) {
      // The security officer's PIN is the administrator key in hexadecimal.
      std::optional<Bytes> current = adminKeyFromHex(pOldPin, ulOldLen);
      if (!current) return CKR_PIN_INCORRECT;
      std::optional<Bytes> next = adminKeyFromHex(pNewPin, ulNewLen);
      if (!next || !adminKeyForm(*next)) {
        wipe(*current);
        if (next) wipe(*next);
        return CKR_PIN_INVALID;
      }
      Bytes challenge;
      DWORD rc = t.port->challenge(challenge);
      std::optional<Bytes> response = rc == 0 ? challengeResponse(*current, challenge) : std::nullopt;
      if (rc == 0 && !response) rc = SCARD_F_INTERNAL_ERROR;
      if (rc == 0) rc = t.port->changeAdminKey(*response, *next);
      if (response) wipe(*response);
      wipe(*current);
      if (rc == 0) {
        wipe(t.adminKey);
        t.adminKey = std::move(*next);
      } else {
        wipe(*next);
      }
      notePinResult(t, false, rc, attempts);
      return cardFailure(s.slot, rc);
    }
    if (!pinLengthOk(ulNewLen)) return CKR_PIN_LEN_RANGE;
    if (!pinLengthOk(ulOldLen)) return CKR_PIN_INCORRECT;
    Bytes current(pOldPin, pOldPin + ulOldLen);
    Bytes next(pNewPin, pNewPin + ulNewLen);
    const DWORD rc = t.port->changePin(current, next, attempts);
    wipe(current);
    wipe(next);
    notePinResult(t, true, rc, attempts);
    if (rc == 0) changedUserPin(t, pNewPin, ulNewLen);
    return cardFailure(s.slot, rc);
  });
}

}  // extern "C"

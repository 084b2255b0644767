// General functions, slots and tokens: the module's life, the readers as
// slots, the card as a token, and the mechanisms.
#include <unistd.h>

#include <algorithm>

#include "mechanisms.h"
#include "module.h"
#include "text.h"

using vemra::host::padField;

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
    // Without threads of its own the module lets go of the card after each call.
    m.threadsAllowed =
        pInitArgs == nullptr ||
        (static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs)->flags & CKF_LIBRARY_CANT_CREATE_OS_THREADS) == 0;
    m.backend = makeBackend();
    if (!m.backend) return CKR_GENERAL_ERROR;
    m.initialized = true;
    m.owner = ::getpid();
    return CKR_OK;
  });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  return guarded([&]() -> CK_RV {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    m.sessions.clear();
    stopReleases();
    // A login ends with the module, also on the card.
    for (Slot& s : m.slots) {
      if (!s.token) continue;
      if (s.token->login != Login::None) (void)s.token->port->deauthenticate(PIN_SET_ALL_ROLES);
      wipe(s.token->adminKey);
    }
    m.slots.clear();
    m.slotsListed = false;
    // A C_WaitForSlotEvent blocked in another thread ends.
    m.backend->cancelWait();
    m.backend.reset();
    ++m.lifetime;
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
    padField(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "vemradrv");
    padField(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "VEMRA card PKCS #11 module");
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
    padField(pInfo->slotDescription, sizeof pInfo->slotDescription, slot->reader);
    padField(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "PC/SC");
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
    padField(pInfo->label, sizeof pInfo->label, t->label);
    padField(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "vemradrv");
    padField(pInfo->model, sizeof pInfo->model, "VEMRA_MINIDR");
    padField(pInfo->serialNumber, sizeof pInfo->serialNumber, t->serial);
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

}  // extern "C"

// C_WaitForSlotEvent: a card put in or taken out, or a reader plugged in,
// reported once on its slot. The wait runs without the module's lock, so
// that the other functions, and C_Finalize which ends the wait, go on
// meanwhile.
#include <optional>

#include "module.h"

namespace vemra::p11 {

namespace {

// The first slot with an event not reported yet, now marked reported.
std::optional<CK_SLOT_ID> takeEvent() {
  Module& m = module();
  for (CK_SLOT_ID id = 0; id < m.slots.size(); ++id) {
    Slot& slot = m.slots[id];
    if (slot.reported && slot.reportedPresent == slot.cardPresent) continue;
    slot.reported = true;
    slot.reportedPresent = slot.cardPresent;
    return id;
  }
  return std::nullopt;
}

// What a wait outside the lock needs: the backend (kept alive through a
// C_Finalize), the readers the module saw, and the module's lifetime.
struct Wait {
  std::shared_ptr<Backend> backend;
  std::vector<ReaderInfo> known;
  unsigned long lifetime = 0;
};

// Under the lock: CKR_OK with an event in *slot; CKR_NO_EVENT when none is
// there and the caller does not block; else `wait` is set for waiting.
CK_RV lookForEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, std::optional<unsigned long> lifetime, Wait& wait) {
  Module& m = module();
  if (!m.initialized || (lifetime && *lifetime != m.lifetime)) return CKR_CRYPTOKI_NOT_INITIALIZED;
  std::vector<ReaderInfo> readers = refreshSlots();
  if (const std::optional<CK_SLOT_ID> event = takeEvent()) {
    *slot = *event;
    return CKR_OK;
  }
  if ((flags & CKF_DONT_BLOCK) != 0) return CKR_NO_EVENT;
  wait = Wait{m.backend, std::move(readers), m.lifetime};
  return CKR_OK;
}

}  // namespace

}  // namespace vemra::p11

using namespace vemra::p11;

extern "C" {

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  std::optional<unsigned long> lifetime;
  for (;;) {
    Wait wait;
    const CK_RV rv = guarded([&]() -> CK_RV {
      if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (pSlot == nullptr || pReserved != nullptr) return CKR_ARGUMENTS_BAD;
      return lookForEvent(flags, pSlot, lifetime, wait);
    });
    if (rv != CKR_OK || !wait.backend) return rv;
    lifetime = wait.lifetime;
    std::vector<ReaderInfo> now;
    DWORD rc = 0;
    try {
      rc = wait.backend->waitForChange(wait.known, now);
    } catch (...) {
      return CKR_GENERAL_ERROR;
    }
    // Only C_Finalize cancels the wait.
    if (rc == kWaitCancelled) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (rc != 0) return CKR_FUNCTION_FAILED;
  }
}

}  // extern "C"

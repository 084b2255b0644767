// Steps shared by the directory and file entry points: making the named
// directory current, the rights check by VERIFY probes, reading an object's
// access bytes back from its control parameters, and the guard that hands a
// caller's buffer back to the provider when an operation fails.
#pragma once

#include <cstdint>
#include <span>

#include "card/config.h"
#include "card/exchange.h"
#include "card/names.h"
#include "vemradrv/minidriver.h"

namespace vemra::files {

using card::Result;

// Makes the directory `directoryName` the current DF: NULL is the root (the
// application DF the prologue left current; nothing is sent), a name is
// looked up in the directory table and its DF selected. Errors:
// SCARD_E_INVALID_PARAMETER (empty or longer than eight bytes),
// SCARD_E_DIR_NOT_FOUND, the lookup's other failures, SCARD_F_INTERNAL_ERROR
// when the DF cannot be selected.
[[nodiscard]] Result resolveDirectory(const card::CardConfig& config, card::Handle card, const char* directoryName);

// Asks the card with VERIFY probes whether a reference that `accessByte`
// names is verified: the user PIN for userPinRef or userAccess, the
// administrator for adminPinRef or userAccess (user probe first; both run for
// userAccess). `held` is true when a probe answered 0x9000. Returns only a
// PC/SC failure of a probe.
[[nodiscard]] Result holdsRight(const card::CardConfig& config, card::Handle card, std::uint8_t accessByte, bool& held);

// Selects `fid` with `p1` and P2 0x00 and copies security attributes
// `first`, `first` + 1, ... (as many as `out` holds) from the first 86
// `count` pair of its control parameters. Errors: SCARD_F_INTERNAL_ERROR for
// a status other than 0x9000 or missing bytes.
[[nodiscard]] Result readAccessBytes(card::Handle card, std::uint8_t p1, std::uint16_t fid, std::uint8_t count,
                                     std::size_t first, std::span<std::uint8_t> out);

// Owns a block handed to the caller through `*target` until release(): if
// the operation fails first, the destructor gives the block back with
// pfnCspFree and sets `*target` to NULL, so a caller that frees on failure
// frees NULL and one that does not leaks nothing.
template <typename Byte>
class CallerBuffer {
 public:
  CallerBuffer(PCARD_DATA pCardData, Byte** target) : pCardData_(pCardData), target_(target) {}
  CallerBuffer(const CallerBuffer&) = delete;
  CallerBuffer& operator=(const CallerBuffer&) = delete;
  ~CallerBuffer() {
    if (!owned_) return;
    pCardData_->pfnCspFree(*target_);
    *target_ = nullptr;
  }

  // Allocates `size` bytes with pfnCspAlloc into `*target`; false for NULL.
  [[nodiscard]] bool allocate(std::size_t size) {
    *target_ = static_cast<Byte*>(pCardData_->pfnCspAlloc(size));
    if (*target_ == nullptr) return false;
    size_ = size;
    owned_ = true;
    return true;
  }
  [[nodiscard]] std::span<std::uint8_t> bytes() const { return {reinterpret_cast<std::uint8_t*>(*target_), size_}; }
  // The operation succeeded: the block stays with the caller.
  void release() { owned_ = false; }

 private:
  PCARD_DATA pCardData_;
  Byte** target_;
  std::size_t size_ = 0;
  bool owned_ = false;
};

}  // namespace vemra::files

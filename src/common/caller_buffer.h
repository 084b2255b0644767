// A block from the provider's pfnCspAlloc that an entry point hands to its
// caller through an out pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vemradrv/minidriver.h"

namespace vemra::common {

// Owns the block placed in `*target` until release(): if the operation fails
// first, the destructor gives the block back with pfnCspFree and sets
// `*target` to NULL, so a caller that frees on failure frees NULL and one
// that does not leaks nothing.
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

  // Allocates `size` bytes with pfnCspAlloc into `*target`; false (and
  // `*target` NULL) when the provider gives nothing.
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

}  // namespace vemra::common

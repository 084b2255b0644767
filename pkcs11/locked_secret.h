// A secret kept in memory locked against swapping (the user PIN of a
// logged-in token), wiped when replaced, cleared or destroyed.
#ifndef VEMRA_P11_LOCKED_SECRET_H
#define VEMRA_P11_LOCKED_SECRET_H

#include <cstddef>
#include <cstdint>

#include "card_port.h"

namespace vemra::p11 {

class LockedSecret {
 public:
  static constexpr std::size_t kCapacity = 64;

  LockedSecret() = default;
  ~LockedSecret();
  LockedSecret(const LockedSecret&) = delete;
  LockedSecret& operator=(const LockedSecret&) = delete;

  // Keeps `size` bytes; false (keeping nothing) when they do not fit or no
  // memory can be had.
  bool assign(const uint8_t* data, std::size_t size);
  void clear();
  bool empty() const { return size_ == 0; }
  // Whether `other` is the secret kept, compared in constant time; false
  // when nothing is kept.
  bool equals(const Bytes& other) const;
  // A copy for one call; the caller wipes it.
  Bytes copy() const;
  // Whether the memory is locked (the system may refuse).
  bool locked() const { return locked_; }

 private:
  uint8_t* page_ = nullptr;
  std::size_t pageSize_ = 0;
  std::size_t size_ = 0;
  bool locked_ = false;
};

}  // namespace vemra::p11

#endif  // VEMRA_P11_LOCKED_SECRET_H

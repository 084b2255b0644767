#include "locked_secret.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace vemra::p11 {

LockedSecret::~LockedSecret() {
  clear();
  if (page_ == nullptr) return;
  if (locked_) munlock(page_, pageSize_);
  munmap(page_, pageSize_);
}

bool LockedSecret::assign(const uint8_t* data, std::size_t size) {
  clear();
  if (size > kCapacity) return false;
  if (page_ == nullptr) {
    const long page = sysconf(_SC_PAGESIZE);
    pageSize_ = page > 0 ? static_cast<std::size_t>(page) : 4096;
    // A page of its own: kept out of core dumps, and locked when the system
    // allows (the PIN stays in memory either way, as it must for the login
    // to be renewed).
    void* p = mmap(nullptr, pageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    page_ = static_cast<uint8_t*>(p);
    locked_ = mlock(page_, pageSize_) == 0;
    (void)madvise(page_, pageSize_, MADV_DONTDUMP);
  }
  if (size != 0) std::memcpy(page_, data, size);
  size_ = size;
  return true;
}

void LockedSecret::clear() {
  if (page_ != nullptr) OPENSSL_cleanse(page_, kCapacity);
  size_ = 0;
}

bool LockedSecret::equals(const Bytes& other) const {
  return size_ != 0 && other.size() == size_ && CRYPTO_memcmp(page_, other.data(), size_) == 0;
}

Bytes LockedSecret::copy() const {
  Bytes out;
  out.reserve(kCapacity);
  if (size_ != 0) out.assign(page_, page_ + size_);
  return out;
}

}  // namespace vemra::p11

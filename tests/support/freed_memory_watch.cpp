#include "freed_memory_watch.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vemra::test {

namespace {

std::atomic<const std::vector<std::vector<std::uint8_t>>*> watched{nullptr};
std::atomic<std::size_t> found{0};

void inspect(void* block) {
  const auto* secrets = watched.load();
  if (secrets == nullptr || block == nullptr) return;
  const std::size_t size = ::malloc_usable_size(block);
  for (const std::vector<std::uint8_t>& secret : *secrets) {
    if (::memmem(block, size, secret.data(), secret.size()) != nullptr) {
      ++found;
      return;
    }
  }
}

}  // namespace

FreedMemoryWatch::FreedMemoryWatch(std::vector<std::vector<std::uint8_t>> secrets) : secrets_(std::move(secrets)) {
  found = 0;
  watched = &secrets_;
}

FreedMemoryWatch::~FreedMemoryWatch() { watched = nullptr; }

std::size_t FreedMemoryWatch::leaks() const { return found; }

}  // namespace vemra::test

void* operator new(std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
  vemra::test::inspect(block);
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  vemra::test::inspect(block);
  std::free(block);
}

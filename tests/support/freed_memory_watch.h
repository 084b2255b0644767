// Whether memory freed during a stretch of a test still held a secret. The
// test binary that links freed_memory_watch.cpp has its global operator new
// and delete replaced: while a watch runs, every block given back through
// operator delete is searched for the watched byte strings before it is
// freed.
#ifndef VEMRA_TEST_FREED_MEMORY_WATCH_H
#define VEMRA_TEST_FREED_MEMORY_WATCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vemra::test {

class FreedMemoryWatch {
 public:
  // Starts watching for any of `secrets` (each at least 4 bytes).
  explicit FreedMemoryWatch(std::vector<std::vector<std::uint8_t>> secrets);
  ~FreedMemoryWatch();
  FreedMemoryWatch(const FreedMemoryWatch&) = delete;
  FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

  // The number of blocks freed so far that held one of the secrets.
  std::size_t leaks() const;

 private:
  std::vector<std::vector<std::uint8_t>> secrets_;
};

}  // namespace vemra::test

#endif  // VEMRA_TEST_FREED_MEMORY_WATCH_H

// The provider's side of CARD_DATA for tests: allocator callbacks that keep
// count of live blocks (so a test can assert that nothing leaked and nothing
// was freed twice), can return NULL on the n-th allocation, and fill new
// blocks with 0xA5 so that unwritten bytes show; and an unpad callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vemradrv/minidriver.h"

namespace vemra::test {

class ProviderDouble {
 public:
  static ProviderDouble& instance();
  void reset();  // releases every live block and forgets all counts

  static LPVOID WINAPI alloc(SIZE_T size);
  static LPVOID WINAPI reAlloc(LPVOID address, SIZE_T size);
  static void WINAPI free(LPVOID address);
  static DWORD WINAPI unpad(PCARD_RSA_DECRYPT_INFO info, DWORD* pcbUnpadded, PBYTE* ppbUnpadded);

  // The nth allocation from now (1-based) returns NULL.
  void failAllocation(int nth) { failAt_ = allocations_ + nth; }

  std::size_t live() const { return blocks_.size(); }
  int allocations() const { return allocations_; }
  int frees() const { return frees_; }
  int reAllocations() const { return reAllocations_; }
  // Frees of a pointer that is not a live block (twice, or never allocated).
  int badFrees() const { return badFrees_; }
  std::size_t sizeOf(const void* block) const;
  bool isLive(const void* block) const { return blocks_.count(block) != 0; }
  // The content of the block freed last, as it was when it came back.
  const std::vector<std::uint8_t>& lastFreed() const { return lastFreed_; }

  // What the unpad callback answers: its result, and on success a block from
  // alloc() holding `unpadded`.
  void setUnpad(DWORD result, std::vector<std::uint8_t> unpadded);
  int unpadCalls() const { return unpadCalls_; }

 private:
  std::map<const void*, std::size_t> blocks_;
  int allocations_ = 0;
  int failAt_ = 0;
  int frees_ = 0;
  int reAllocations_ = 0;
  int badFrees_ = 0;
  std::vector<std::uint8_t> lastFreed_;
  DWORD unpadResult_ = 0;
  std::vector<std::uint8_t> unpadded_;
  int unpadCalls_ = 0;
};

// A CARD_DATA as a provider fills it before CardAcquireContext: version 7,
// the card's ATR and name, this double's callbacks and the two PC/SC handles.
// `atr` and `name` must outlive the record.
CARD_DATA providerCardData(std::vector<BYTE>& atr, std::u16string& name, SCARDHANDLE card);

// The checks every test ends with: the context (if any) released, every block
// from pfnCspAlloc given back exactly once, pfnCspReAlloc never called.
void expectProviderClean(CARD_DATA& cardData);

}  // namespace vemra::test

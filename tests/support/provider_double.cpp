#include "support/provider_double.h"

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace vemra::test {

ProviderDouble& ProviderDouble::instance() {
  static ProviderDouble provider;
  return provider;
}

void ProviderDouble::reset() {
  for (const auto& [block, size] : blocks_) std::free(const_cast<void*>(block));
  *this = ProviderDouble{};
}

LPVOID WINAPI ProviderDouble::alloc(SIZE_T size) {
  ProviderDouble& self = instance();
  if (++self.allocations_ == self.failAt_) return nullptr;
  // Never hand out NULL for a zero-length request: the caller owns a block.
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  std::memset(block, 0xA5, size == 0 ? 1 : size);
  self.blocks_[block] = size;
  return block;
}

LPVOID WINAPI ProviderDouble::reAlloc(LPVOID address, SIZE_T size) {
  ProviderDouble& self = instance();
  ++self.reAllocations_;
  void* block = alloc(size);
  if (block != nullptr && address != nullptr) {
    const std::size_t old = self.sizeOf(address);
    std::memcpy(block, address, old < size ? old : size);
    free(address);
  }
  return block;
}

void WINAPI ProviderDouble::free(LPVOID address) {
  ProviderDouble& self = instance();
  ++self.frees_;
  if (address == nullptr) return;
  const auto it = self.blocks_.find(address);
  if (it == self.blocks_.end()) {
    ++self.badFrees_;
    return;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(address);
  self.lastFreed_.assign(bytes, bytes + it->second);
  self.blocks_.erase(it);
  std::free(address);
}

DWORD WINAPI ProviderDouble::unpad(PCARD_RSA_DECRYPT_INFO, DWORD* pcbUnpadded, PBYTE* ppbUnpadded) {
  ProviderDouble& self = instance();
  ++self.unpadCalls_;
  if (self.unpadResult_ != 0) return self.unpadResult_;
  auto* block = static_cast<PBYTE>(alloc(self.unpadded_.size()));
  if (block == nullptr) return SCARD_E_NO_MEMORY;
  if (!self.unpadded_.empty()) std::memcpy(block, self.unpadded_.data(), self.unpadded_.size());
  *ppbUnpadded = block;
  *pcbUnpadded = static_cast<DWORD>(self.unpadded_.size());
  return 0;
}

std::size_t ProviderDouble::sizeOf(const void* block) const {
  const auto it = blocks_.find(block);
  return it == blocks_.end() ? 0 : it->second;
}

void ProviderDouble::setUnpad(DWORD result, std::vector<std::uint8_t> unpadded) {
  unpadResult_ = result;
  unpadded_ = std::move(unpadded);
}

CARD_DATA providerCardData(std::vector<BYTE>& atr, std::u16string& name, SCARDHANDLE card) {
  CARD_DATA cardData{};
  cardData.dwVersion = 7;
  cardData.pbAtr = atr.data();
  cardData.cbAtr = static_cast<DWORD>(atr.size());
  cardData.pwszCardName = name.data();
  cardData.pfnCspAlloc = ProviderDouble::alloc;
  cardData.pfnCspReAlloc = ProviderDouble::reAlloc;
  cardData.pfnCspFree = ProviderDouble::free;
  cardData.pfnCspUnpadData = ProviderDouble::unpad;
  cardData.hSCardCtx = 0x5C;
  cardData.hScard = card;
  return cardData;
}

void expectProviderClean(CARD_DATA& cardData) {
  if (cardData.pvVendorSpecific != nullptr) {
    EXPECT_EQ(CardDeleteContext(&cardData), 0u);
  }
  const ProviderDouble& provider = ProviderDouble::instance();
  EXPECT_EQ(provider.live(), 0u) << "blocks from pfnCspAlloc were not given back";
  EXPECT_EQ(provider.badFrees(), 0) << "a block was freed twice, or a pointer never allocated";
  EXPECT_EQ(provider.reAllocations(), 0) << "pfnCspReAlloc is never to be called";
}

}  // namespace vemra::test

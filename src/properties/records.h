// What the property entry points share: the key sizes the card offers and
// access to the caller's records through a byte pointer.
//
// The caller's buffers reach the driver as PBYTE and carry no alignment
// promise, so every DWORD of them is read and written by copying bytes, never
// through a cast pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "vemradrv/minidriver.h"

namespace vemra::properties {

// The RSA key sizes the card offers for both key types, in bits:
// 1024 and 2048, 2048 by default. The order is that of CARD_KEY_SIZES after
// its dwVersion.
inline constexpr DWORD kKeySizeMinimum = 1024;
inline constexpr DWORD kKeySizeDefault = 2048;
inline constexpr DWORD kKeySizeMaximum = 2048;
inline constexpr DWORD kKeySizeIncrement = 1024;

// The highest dwVersion the driver knows for CARD_CAPABILITIES,
// CARD_KEY_SIZES and CARD_FREE_SPACE_INFO.
inline constexpr DWORD kRecordVersion = 1;

// The DWORD at byte `offset` of `record`.
[[nodiscard]] inline DWORD loadDword(const BYTE* record, std::size_t offset) {
  DWORD value = 0;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

// Writes `values` as consecutive DWORDs from byte `offset` of `record`; the
// caller has checked that they fit.
inline void storeDwords(BYTE* record, std::size_t offset, std::initializer_list<DWORD> values) {
  for (const DWORD value : values) {
    std::memcpy(record + offset, &value, sizeof value);
    offset += sizeof value;
  }
}

// The fields of CARD_KEY_SIZES after dwVersion, which only the caller sets.
inline void storeKeySizes(BYTE* record) {
  storeDwords(record, offsetof(CARD_KEY_SIZES, dwMinimumBitlen),
              {kKeySizeMinimum, kKeySizeDefault, kKeySizeMaximum, kKeySizeIncrement});
}

}  // namespace vemra::properties

// CardGetAlgorithmProperty: properties of the symmetric algorithms a
// provider may ask about. The card computes no symmetric cryptography for the
// provider; the only value answered is the key size of two-key triple DES.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/entry.h"
#include "common/wide_string.h"
#include "properties/records.h"

namespace vemra::properties {
namespace {

using card::Result;

enum class Answer : std::uint8_t { Unsupported, TripleDes112KeySizes };

struct AlgorithmProperty {
  const char16_t* algorithm;
  const char16_t* property;  // nullptr: every property of the algorithm
  Answer answer;
};

// Looked up in this order; an algorithm not listed is refused as invalid.
constexpr AlgorithmProperty kAlgorithmProperties[] = {
    {u"3DES", nullptr, Answer::Unsupported},
    {u"3DES_112", u"Key Sizes", Answer::TripleDes112KeySizes},
    {u"3DES_112", nullptr, Answer::Unsupported},
    {u"AES", nullptr, Answer::Unsupported},
};

// Two-key triple DES: 128 bits (112 of them key bits), no other size.
constexpr DWORD kTripleDes112Bits = 128;

Result tripleDes112KeySizes(PBYTE data, DWORD capacity, PDWORD length) {
  *length = sizeof(CARD_KEY_SIZES);
  if (capacity < sizeof(CARD_KEY_SIZES)) return ERROR_INSUFFICIENT_BUFFER;
  if (data == nullptr) return SCARD_E_INVALID_PARAMETER;
  storeDwords(data, 0, {kRecordVersion, kTripleDes112Bits, kTripleDes112Bits, kTripleDes112Bits, 0});
  return 0;
}

Result getAlgorithmProperty(LPCWSTR algorithm, LPCWSTR property, PBYTE data, DWORD capacity, PDWORD length,
                            DWORD flags) {
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (property == nullptr || algorithm == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
  const auto row = std::find_if(std::begin(kAlgorithmProperties), std::end(kAlgorithmProperties),
                                [&](const AlgorithmProperty& p) {
                                  return common::sameWideString(algorithm, p.algorithm) &&
                                         (p.property == nullptr || common::sameWideString(property, p.property));
                                });
  if (row == std::end(kAlgorithmProperties)) return SCARD_E_INVALID_PARAMETER;
  switch (row->answer) {
    case Answer::Unsupported: return SCARD_E_UNSUPPORTED_FEATURE;
    case Answer::TripleDes112KeySizes: return tripleDes112KeySizes(data, capacity, length);
  }
  return SCARD_E_INVALID_PARAMETER;
}

}  // namespace
}  // namespace vemra::properties

extern "C" {

// Answers the property `pwszProperty` of the symmetric algorithm
// `pwszAlgId` in `pbData` (`cbData` bytes), its size in `*pdwDataLen`.
// `dwFlags` must be 0. "3DES_112" answers "Key Sizes" with the record
// {1, 128, 128, 128, 0}; "3DES", "AES" and the other properties of
// "3DES_112" are not offered.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for non-zero flags, a NULL name
// or length pointer, an unknown algorithm, or NULL `pbData` for the key
// sizes; ERROR_INSUFFICIENT_BUFFER when `cbData` is below 20 (the size is
// stored first); SCARD_E_UNSUPPORTED_FEATURE for the algorithms and
// properties not offered; and the prologue's errors.
DWORD WINAPI CardGetAlgorithmProperty(PCARD_DATA pCardData, LPCWSTR pwszAlgId, LPCWSTR pwszProperty, PBYTE pbData,
                                      DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags) {
  return vemra::common::runEntryPoint(
      "Function CardGetAlgorithmProperty called", "\tFunction CardGetAlgorithmProperty is done", pCardData,
      [&](const vemra::common::Session&) -> DWORD {
        return vemra::properties::getAlgorithmProperty(pwszAlgId, pwszProperty, pbData, cbData, pdwDataLen, dwFlags);
      });
}

}  // extern "C"

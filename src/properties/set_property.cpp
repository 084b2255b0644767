// CardSetProperty: the card properties a provider may try to set, from one
// table. The card identifier is the only one the driver writes (into the
// root file "cardid", through CardWriteFile); every other known property is
// checked and then declined as unsupported.
#include <algorithm>
#include <array>
#include <cstdint>

#include "common/entry.h"
#include "common/wide_string.h"

namespace vemra::properties {
namespace {

using card::Result;

// The checks a row makes, in order; each failure is SCARD_E_INVALID_PARAMETER.
enum class Check : std::uint8_t {
  End,               // no more checks
  Data,              // pbData is not NULL and cbDataLen not 0
  FlagsZero,         // dwFlags is 0
  FlagsPinId,        // dwFlags is ROLE_USER or ROLE_ADMIN
  WindowHandleSize,  // cbDataLen is the size of a window handle in this build
  IdentifierSize,    // cbDataLen is the 16 bytes of a card identifier
};
using Checks = std::array<Check, 3>;

enum class Action : std::uint8_t { Decline, WriteCardIdentifier };

struct Property {
  const char16_t* name;
  Checks checks;
  Action action;
};

constexpr DWORD kCardIdentifierSize = 16;

using enum Check;
constexpr Checks kNone = {End, End, End};
constexpr Checks kPinValue = {Data, FlagsPinId, End};
constexpr Checks kWindow = {Data, FlagsZero, WindowHandleSize};
constexpr Checks kValue = {Data, FlagsZero, End};
constexpr Checks kIdentifier = {FlagsZero, Data, IdentifierSize};

// Looked up in this order; the first whole-string match answers. Names not
// listed (among them "Read Only Mode" and the PIN strengths of change and
// unblock) are refused as invalid.
constexpr Property kProperties[] = {
    {u"Free Space", kNone, Action::Decline},
    {u"Capabilities", kNone, Action::Decline},
    {u"Key Sizes", kNone, Action::Decline},
    {u"PIN List", kNone, Action::Decline},
    {u"Authenticated State", kNone, Action::Decline},
    {u"Key Import Support", kNone, Action::Decline},
    {u"Algorithms", kNone, Action::Decline},
    {u"Padding Schemes", kNone, Action::Decline},
    {u"PIN Context String", kNone, Action::Decline},
    {u"Chaining Modes", kNone, Action::Decline},
    {u"PIN Strength Verify", kPinValue, Action::Decline},
    {u"PIN Information", kPinValue, Action::Decline},
    {u"Parent Window", kWindow, Action::Decline},
    {u"Supports Windows x.509 Enrollment", kValue, Action::Decline},
    {u"Cache Mode", kValue, Action::Decline},
    {u"Card Serial Number", kValue, Action::Decline},
    {u"Card Identifier", kIdentifier, Action::WriteCardIdentifier},
};

[[nodiscard]] bool passes(Check check, const BYTE* data, DWORD length, DWORD flags) {
  switch (check) {
    case End: return true;
    case Data: return data != nullptr && length != 0;
    case FlagsZero: return flags == 0;
    case FlagsPinId: return flags == ROLE_USER || flags == ROLE_ADMIN;
    case WindowHandleSize: return length == sizeof(void*);
    case IdentifierSize: return length == kCardIdentifierSize;
  }
  return false;
}

Result setProperty(const common::Session& session, LPCWSTR name, PBYTE data, DWORD length, DWORD flags) {
  if (name == nullptr) return SCARD_E_INVALID_PARAMETER;
  const auto property = std::find_if(std::begin(kProperties), std::end(kProperties),
                                     [&](const Property& p) { return common::sameWideString(name, p.name); });
  if (property == std::end(kProperties)) return SCARD_E_INVALID_PARAMETER;
  for (const Check check : property->checks) {
    if (!passes(check, data, length, flags)) return SCARD_E_INVALID_PARAMETER;
  }
  if (property->action == Action::Decline) {
    trace::step("SCARD_E_UNSUPPORTED_FEATURE");
    return SCARD_E_UNSUPPORTED_FEATURE;
  }
  char fileName[] = "cardid";
  return CardWriteFile(session.cardData, nullptr, fileName, 0, data, length);
}

}  // namespace
}  // namespace vemra::properties

extern "C" {

// Sets the card property `wszProperty` to the `cbDataLen` bytes at `pbData`.
// Only "Card Identifier" is written: `dwFlags` 0 and exactly 16 bytes, which
// CardWriteFile stores in the root file "cardid" (the file must exist). The
// other properties the interface names are checked and declined.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL or unknown name (names
// match as whole strings, and read-only properties such as "Read Only Mode"
// are unknown here), or for data, flags or a length the property refuses;
// SCARD_E_UNSUPPORTED_FEATURE for every known property but the card
// identifier; CardWriteFile's failure unchanged; and the prologue's errors.
DWORD WINAPI CardSetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                             DWORD dwFlags) {
  return vemra::common::runEntryPoint("Function CardSetProperty called", "\tFunction CardSetProperty is done",
                                      pCardData, [&](const vemra::common::Session& session) -> DWORD {
                                        return vemra::properties::setProperty(session, wszProperty, pbData,
                                                                              cbDataLen, dwFlags);
                                      });
}

}  // extern "C"

// CardGetContainerProperty and CardSetContainerProperty: the container
// properties of interface version 6. The driver answers the container's
// public keys and the PIN that guards its keys; it changes none of them.
#include <cstdint>
#include <cstring>
#include <span>

#include "card/bytes.h"
#include "card/commands.h"
#include "card/tables.h"
#include "common/entry.h"
#include "common/entry_points.h"
#include "common/wide_string.h"

namespace vemra::keys {
namespace {

using card::Result;

constexpr char16_t kContainerInfo[] = u"Container Info";
constexpr char16_t kPinIdentifier[] = u"PIN Identifier";
constexpr char16_t kAssociatedEcdhKey[] = u"Associated ECDH Key";

// Selects the key file `fid` with its control information. `found` tells
// whether the card answered 0x9000. Errors: the exchange's failure only.
Result selectWithControlInformation(card::Handle card, std::uint16_t fid, card::ControlParameters& parameters,
                                    bool& found) {
  std::uint16_t sw = 0;
  const auto select = card::command::selectByFid(card::command::Target::AnyFile, card::command::Answer::Fci, fid);
  if (const Result rc = card::selectKeepingParameters(card, select, parameters, sw)) return rc;
  found = sw == card::sw::kSuccess;
  return 0;
}

// The PIN reference a key file was created with: its security attribute 4,
// five bytes after the first 86 0A that follows a 6F, an 81 and an 83 in
// that order. A byte scan that stops at the end of the answer, not a TLV
// walk. False when the answer ends first.
[[nodiscard]] bool pinReferenceOf(const card::ControlParameters& parameters, std::uint8_t& reference) {
  const std::span<const std::uint8_t> bytes = parameters.bytes();
  const auto at = card::findPairAfter(bytes, {0x6F, 0x81, 0x83}, 0x86, 0x0A);
  if (!at) return false;
  card::ByteReader reader(bytes.subspan(*at));
  return reader.skip(5) && reader.readU8(reference);
}

// "PIN Identifier": the role whose PIN guards the container's key, taken
// from the key-exchange key file, or from the signature key file when the
// first does not answer. Errors: the exchange's failure,
// SCARD_E_NO_KEY_CONTAINER when neither file answers 0x9000,
// SCARD_F_INTERNAL_ERROR when the answer holds no PIN reference.
Result pinIdentifier(const common::Session& session, BYTE index, PIN_ID& role) {
  card::ControlParameters parameters;
  bool found = false;
  if (const Result rc = selectWithControlInformation(
          session.card, card::fidPlus(session.config.kxKeyFidBase, index), parameters, found))
    return rc;
  if (!found) {
    if (const Result rc = selectWithControlInformation(
            session.card, card::fidPlus(session.config.sigKeyFidBase, index), parameters, found))
      return rc;
    if (!found) return SCARD_E_NO_KEY_CONTAINER;
  }
  std::uint8_t reference = 0;
  if (!pinReferenceOf(parameters, reference)) return SCARD_F_INTERNAL_ERROR;
  role = card::roleOfPinRef(session.config, reference);
  return 0;
}

Result getContainerProperty(const common::Session& session, BYTE index, LPCWSTR property, PBYTE data, DWORD size,
                            PDWORD dataLength, DWORD flags) {
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (property == nullptr || data == nullptr || dataLength == nullptr) return SCARD_E_INVALID_PARAMETER;

  if (common::sameWideString(property, kContainerInfo)) {
    *dataLength = sizeof(CONTAINER_INFO);
    if (size < sizeof(CONTAINER_INFO)) return ERROR_INSUFFICIENT_BUFFER;
    // The caller's buffer holds the record, dwVersion included, but need not
    // be aligned for it: the record is filled in a copy and copied back. The
    // call runs the prologue again, like any call of the entry point.
    CONTAINER_INFO info;
    std::memcpy(&info, data, sizeof info);
    const Result rc = CardGetContainerInfo(session.cardData, index, 0, &info);
    std::memcpy(data, &info, sizeof info);
    return rc;
  }
  if (common::sameWideString(property, kPinIdentifier)) {
    *dataLength = sizeof(PIN_ID);
    if (size < sizeof(PIN_ID)) return ERROR_INSUFFICIENT_BUFFER;
    PIN_ID role = ROLE_EVERYONE;
    if (const Result rc = pinIdentifier(session, index, role)) return rc;
    std::memcpy(data, &role, sizeof role);  // the caller's buffer need not be aligned
    return 0;
  }
  if (common::sameWideString(property, kAssociatedEcdhKey)) return SCARD_E_UNSUPPORTED_FEATURE;
  return SCARD_E_INVALID_PARAMETER;
}

}  // namespace
}  // namespace vemra::keys

/*
 * CardGetContainerProperty: a property of container `bContainerIndex`.
 *   pCardData        the bound record.
 *   bContainerIndex  the container.
 *   wszProperty      the property's name, matched whole and case-sensitively:
 *                    "Container Info" (a CONTAINER_INFO filled as by
 *                    CardGetContainerInfo; the caller sets its dwVersion to 0
 *                    or 1), "PIN Identifier" (a PIN_ID: ROLE_USER,
 *                    ROLE_ADMIN or ROLE_EVERYONE), "Associated ECDH Key".
 *   pbData, cbData   the caller's buffer and its size.
 *   pdwDataLen       receives the size the property needs, also when the
 *                    buffer is too small.
 *   dwFlags          must be 0.
 * Returns 0, or: SCARD_E_INVALID_PARAMETER for non-zero flags, a NULL
 * argument or an unknown name; ERROR_INSUFFICIENT_BUFFER;
 * SCARD_E_UNSUPPORTED_FEATURE for "Associated ECDH Key";
 * SCARD_E_NO_KEY_CONTAINER when the container has no key file;
 * SCARD_F_INTERNAL_ERROR when a key file's control information names no PIN;
 * the errors of CardGetContainerInfo; a PC/SC failure unchanged; and the
 * prologue's errors.
 */
extern "C" DWORD WINAPI CardGetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                                 PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags) {
  return vemra::common::runEntryPoint(
      "Function CardGetContainerProperty called", "Function CardGetContainerProperty is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::keys::getContainerProperty(session, bContainerIndex, wszProperty, pbData, cbData, pdwDataLen,
                                                 dwFlags);
      });
}

/*
 * CardSetContainerProperty: no container property can be set.
 *   dwFlags  must be 0.
 * Returns SCARD_E_INVALID_PARAMETER for non-zero flags or a NULL record,
 * otherwise SCARD_E_UNSUPPORTED_FEATURE whatever the property, data and
 * length; and the prologue's errors.
 */
extern "C" DWORD WINAPI CardSetContainerProperty(PCARD_DATA pCardData, BYTE, LPCWSTR, PBYTE, DWORD,
                                                 DWORD dwFlags) {
  return vemra::common::runEntryPoint("Function CardSetContainerProperty called", pCardData,
                                      [&](const vemra::common::Session&) -> DWORD {
                                        if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
                                        return SCARD_E_UNSUPPORTED_FEATURE;
                                      });
}

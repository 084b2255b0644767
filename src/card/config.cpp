#include "card/config.h"

#include <array>
#include <span>

#include "card/bytes.h"
#include "vemradrv/minidriver.h"

namespace vemra::card {
namespace {

// The three configuration objects.
constexpr std::uint8_t kFidsObject = 0xB1;
constexpr std::uint8_t kCountsObject = 0xB2;
constexpr std::uint8_t kReferencesObject = 0xB3;

// Reads one configuration object with GET DATA 00 CA 00 <tag>, P3 00, and
// accepts it only with status 0x9000 and exactly object.size() data bytes,
// copied into `object`; on failure `object` is not written. The two-byte
// length is asked for (the command goes out the same), so that an answer 256
// bytes longer than the object cannot pass for it by wrapping around.
[[nodiscard]] Result getData(Handle card, std::uint8_t tag, std::span<std::uint8_t> object) {
  std::array<std::uint8_t, 256> response{};
  std::uint16_t length = 0;
  std::uint16_t sw = 0;
  if (const Result rc = transmit(card, command::getData(tag), response, length, sw)) return rc;
  if (sw != sw::kSuccess || length != object.size()) return SCARD_E_UNKNOWN_CARD;
  ByteReader reader{std::span<const std::uint8_t>(response.data(), object.size())};
  return reader.readBytes(object) ? 0 : SCARD_E_UNKNOWN_CARD;
}

[[nodiscard]] Result readWords(CardConfig& config, Handle card) {
  std::array<std::uint8_t, 16> object{};
  if (const Result rc = getData(card, kFidsObject, object)) return rc;
  ByteReader reader{object};
  for (std::uint16_t* field :
       {&config.dirTableFid, &config.dirFidBase, &config.fileTableFidBase, &config.fileFidBase, &config.kxKeyFidBase,
        &config.sigKeyFidBase, &config.reservedWord1, &config.reservedWord2}) {
    if (!reader.readU16(*field)) return SCARD_E_UNKNOWN_CARD;
  }
  return 0;
}

[[nodiscard]] Result readBytes(Handle card, std::uint8_t tag, std::initializer_list<std::uint8_t*> fields) {
  std::array<std::uint8_t, 6> object{};
  const std::span<std::uint8_t> wanted{object.data(), fields.size()};
  if (const Result rc = getData(card, tag, wanted)) return rc;
  ByteReader reader{wanted};
  for (std::uint8_t* field : fields) {
    if (!reader.readU8(*field)) return SCARD_E_UNKNOWN_CARD;
  }
  return 0;
}

}  // namespace

Result reselectApplication(Handle card) {
  std::uint16_t sw = 0;
  if (const Result rc = transmit(card, command::selectApplication(command::Answer::Nothing), sw)) return rc;
  return sw == sw::kSuccess ? 0 : SCARD_E_UNKNOWN_CARD;
}

Result readConfiguration(CardConfig& config, Handle card) {
  if (const Result rc = reselectApplication(card)) return rc;
  if (const Result rc = readWords(config, card)) return rc;
  if (const Result rc =
          readBytes(card, kCountsObject, {&config.dirTableRecords, &config.maxContainers, &config.fileTableRecords}))
    return rc;
  if (const Result rc = readBytes(card, kReferencesObject,
                                  {&config.kxKeyRefBase, &config.sigKeyRefBase, &config.userPinRef, &config.adminPinRef,
                                   &config.userAccess, &config.reservedByte}))
    return rc;
  config.challengeIssued = 0;
  return 0;
}

std::uint32_t roleOfPinRef(const CardConfig& config, std::uint8_t reference) {
  if (reference == config.userPinRef) return ROLE_USER;
  if (reference == config.adminPinRef) return ROLE_ADMIN;
  return ROLE_EVERYONE;
}

}  // namespace vemra::card

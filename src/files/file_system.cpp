#include "files/file_system.h"

#include <array>

#include "card/bytes.h"
#include "card/tables.h"

namespace vemra::files {

Result resolveDirectory(const card::CardConfig& config, card::Handle card, const char* directoryName) {
  if (directoryName == nullptr) return 0;
  const auto name = card::LogicalName::from(directoryName);
  if (!name) return SCARD_E_INVALID_PARAMETER;
  std::uint8_t number = 0;
  if (const Result rc = card::findDirectory(config, card, *name, number, nullptr)) return rc;
  return card::selectDirectory(card, card::fidPlus(config.dirFidBase, number));
}

namespace {

// VERIFY without data: 0x9000 when `reference` is verified.
Result probe(card::Handle card, std::uint8_t reference, bool& verified) {
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::Apdu{0x00, 0x20, 0x00, reference}, sw)) return rc;
  verified = verified || sw == card::kSwSuccess;
  return 0;
}

}  // namespace

Result holdsRight(const card::CardConfig& config, card::Handle card, std::uint8_t accessByte, bool& held) {
  held = false;
  if (accessByte == config.userPinRef || accessByte == config.userAccess) {
    if (const Result rc = probe(card, config.userPinRef, held)) return rc;
  }
  if (accessByte == config.adminPinRef || accessByte == config.userAccess) {
    if (const Result rc = probe(card, config.adminPinRef, held)) return rc;
  }
  return 0;
}

Result readAccessBytes(card::Handle card, std::uint8_t p1, std::uint16_t fid, std::uint8_t count, std::size_t first,
                       std::span<std::uint8_t> out) {
  card::ControlParameters parameters;
  std::uint16_t sw = 0;
  const std::array<std::uint8_t, 2> data{card::highByte(fid), card::lowByte(fid)};
  if (const Result rc = card::selectKeepingParameters(card, card::Apdu{0x00, 0xA4, p1, 0x00, data}, parameters, sw))
    return rc;
  if (sw != card::kSwSuccess) return SCARD_F_INTERNAL_ERROR;
  return card::securityAttributes(parameters, count, first, out) ? 0 : SCARD_F_INTERNAL_ERROR;
}

}  // namespace vemra::files

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
[[nodiscard]] Result probe(card::Handle card, std::uint8_t reference, bool& verified) {
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, command::verifyProbe(reference), sw)) return rc;
  verified = verified || sw == card::sw::kSuccess;
  return 0;
}

}  // namespace

Result checkDeletionRight(const card::CardConfig& config, card::Handle card, Target target, std::uint16_t fid,
                          std::uint8_t count) {
  std::array<std::uint8_t, 1> accessByte{};
  if (const Result rc = readAccessBytes(card, target, fid, count, 3, accessByte)) return rc;
  bool held = false;
  if (accessByte[0] == config.userPinRef || accessByte[0] == config.userAccess) {
    if (const Result rc = probe(card, config.userPinRef, held)) return rc;
  }
  if (accessByte[0] == config.adminPinRef || accessByte[0] == config.userAccess) {
    if (const Result rc = probe(card, config.adminPinRef, held)) return rc;
  }
  return held ? 0 : SCARD_W_SECURITY_VIOLATION;
}

Result readAccessBytes(card::Handle card, Target target, std::uint16_t fid, std::uint8_t count, std::size_t first,
                       std::span<std::uint8_t> out) {
  card::ControlParameters parameters;
  std::uint16_t sw = 0;
  const card::Apdu select = command::selectByFid(target, Answer::Fci, fid);
  if (const Result rc = card::selectKeepingParameters(card, select, parameters, sw)) return rc;
  if (sw != card::sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
  return card::securityAttributes(parameters, count, first, out) ? 0 : SCARD_F_INTERNAL_ERROR;
}

}  // namespace vemra::files

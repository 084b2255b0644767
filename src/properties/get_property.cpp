// CardGetProperty: the card-level properties of the minidriver interface,
// answered from one table. Each row names the property, the dwFlags values it
// accepts, the size of its value, the checks it makes in their order, and
// the routine that writes the value. Most values are constants of the
// driver; the free space, the card identifier, the serial number and the
// authenticated state ask the card.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "card/bytes.h"
#include "card/commands.h"
#include "common/entry.h"
#include "common/wide_string.h"
#include "properties/records.h"

namespace vemra::properties {
namespace {

using card::Result;

// One call's arguments after the common checks: `data` is not NULL.
struct Request {
  const common::Session& session;
  BYTE* data;
  DWORD capacity;  // cbData
  DWORD* length;   // pdwDataLen
  DWORD flags;
};

using Value = Result (*)(const Request&);

// The checks a row makes, in the order its list gives; the first that fails
// decides the call's result.
enum class Check : std::uint8_t {
  End,                // no more checks
  Flags,              // dwFlags is one of the row's values, else SCARD_E_INVALID_PARAMETER
  Size,               // *pdwDataLen := the row's size (the caller learns it even when a later check fails)
  Buffer,             // cbData is at least the size, else ERROR_INSUFFICIENT_BUFFER
  Version,            // the record's dwVersion is at most the row's, else ERROR_REVISION_MISMATCH
  ClearPinInfoFlags,  // PIN_INFO's dwFlags := 0, so a refused PIN identifier leaves it 0
};
using Checks = std::array<Check, 5>;

// Accepted dwFlags values as a mask: bit v stands for dwFlags v.
constexpr std::uint32_t kFlagsZero = 1u << 0;
constexpr std::uint32_t kFlagsOneOrTwo = (1u << 1) | (1u << 2);  // AT_KEYEXCHANGE/AT_SIGNATURE, ROLE_USER/ROLE_ADMIN
constexpr std::uint32_t kFlagsNone = 0;

[[nodiscard]] constexpr bool accepts(std::uint32_t mask, DWORD flags) { return flags < 32 && ((mask >> flags) & 1u); }

struct Property {
  const char16_t* name;
  std::uint32_t flags;
  DWORD size;
  Checks checks;
  DWORD highestVersion;      // for Check::Version
  const char* flagsRefused;  // traced when the flags check fails, or nullptr
  Value value;
};

constexpr DWORD kPinInfoVersion = 6;
constexpr DWORD kPinCachePolicyVersion = 6;
constexpr DWORD kCardIdentifierSize = 16;
constexpr std::size_t kSerialNumberSize = 7;
constexpr char16_t kChainingModes[] = u"ChainingModeCBC";
static_assert(sizeof kChainingModes == 32);
constexpr DWORD kBothRoles = CREATE_PIN_SET(ROLE_USER) | CREATE_PIN_SET(ROLE_ADMIN);

// Gives a block that CardReadFile allocated back to pfnCspFree when the
// property leaves, on every path.
class ProviderBlock {
 public:
  explicit ProviderBlock(PCARD_DATA cardData) : cardData_(cardData) {}
  ProviderBlock(const ProviderBlock&) = delete;
  ProviderBlock& operator=(const ProviderBlock&) = delete;
  ~ProviderBlock() {
    if (block_ != nullptr) cardData_->pfnCspFree(block_);
  }
  PBYTE* target() { return &block_; }
  [[nodiscard]] const BYTE* get() const { return block_; }

 private:
  PCARD_DATA cardData_;
  PBYTE block_ = nullptr;
};

template <DWORD kValue>
Result constant(const Request& request) {
  storeDwords(request.data, 0, {kValue});
  return 0;
}

Result unsupported(const Request&) { return SCARD_E_UNSUPPORTED_FEATURE; }

// CARD_FREE_SPACE_INFO as CardQueryFreeSpace fills it, whose result is the
// call's. The record goes through a local copy because the caller's bytes
// need not be aligned for it; what the query wrote before a failure is
// copied back as well.
Result freeSpace(const Request& request) {
  CARD_FREE_SPACE_INFO info{};
  std::memcpy(&info, request.data, sizeof info);
  const Result rc = CardQueryFreeSpace(request.session.cardData, 0, &info);
  std::memcpy(request.data, &info, sizeof info);
  return rc;
}

Result capabilities(const Request& request) {
  storeDwords(request.data, offsetof(CARD_CAPABILITIES, fCertificateCompression), {TRUE, FALSE});
  return 0;
}

Result keySizes(const Request& request) {
  storeKeySizes(request.data);
  return 0;
}

// The file "cardid" of the root, read with CardReadFile. Its length goes to
// *pdwDataLen; a file longer than cbData is not copied but answered with
// ERROR_INSUFFICIENT_BUFFER, like every other value that does not fit.
Result cardIdentifier(const Request& request) {
  char fileName[] = "cardid";
  ProviderBlock file(request.session.cardData);
  if (const Result rc = CardReadFile(request.session.cardData, nullptr, fileName, 0, file.target(), request.length))
    return rc;
  if (*request.length > request.capacity) return ERROR_INSUFFICIENT_BUFFER;
  std::copy_n(file.get(), *request.length, request.data);
  return 0;
}

// The first seven data bytes of the card's serial-number answer. The
// exchange keeps no more bytes than the working buffer holds and reports how
// many the card sent; fewer than seven is an internal error.
Result serialNumber(const Request& request) {
  std::array<std::uint8_t, kSerialNumberSize> answer{};
  std::uint16_t length = 0;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(request.session.card, card::command::serialNumber(), answer, length, sw))
    return rc;
  card::ByteReader reader(std::span<const std::uint8_t>(answer).first(std::min<std::size_t>(length, answer.size())));
  if (!reader.readBytes({request.data, kSerialNumberSize})) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

// Asks the card with a VERIFY probe whether `reference` is verified. An
// answer with data is not a probe's answer: SCARD_F_INTERNAL_ERROR.
Result probe(card::Handle card, std::uint8_t reference, bool& verified) {
  std::uint16_t length = 0;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::verifyProbe(reference), {}, length, sw)) return rc;
  if (length != 0) return SCARD_F_INTERNAL_ERROR;
  verified = sw == card::sw::kSuccess;
  return 0;
}

// The PIN_SET of the roles the card reports verified, the user probed
// first. The value is written as it grows, so a failing administrator probe
// leaves the user's bit in place.
Result authenticatedState(const Request& request) {
  const card::CardConfig& config = request.session.config;
  struct Role {
    std::uint8_t reference;
    PIN_ID id;
  };
  PIN_SET verifiedRoles = 0;
  storeDwords(request.data, 0, {verifiedRoles});
  for (const Role role : {Role{config.userPinRef, ROLE_USER}, Role{config.adminPinRef, ROLE_ADMIN}}) {
    bool verified = false;
    if (const Result rc = probe(request.session.card, role.reference, verified)) return rc;
    if (!verified) continue;
    verifiedRoles |= CREATE_PIN_SET(role.id);
    storeDwords(request.data, 0, {verifiedRoles});
  }
  return 0;
}

// PIN_INFO after its dwVersion for the PIN identifier in dwFlags: the user's
// PIN is a plain PIN that the user or the administrator may change and the
// administrator may unblock; the administrator's is a challenge–response key
// that only the administrator changes.
Result pinInformation(const Request& request) {
  const bool user = request.flags == ROLE_USER;
  storeDwords(request.data, offsetof(PIN_INFO, PinType),
              {static_cast<DWORD>(user ? AlphaNumericPinType : ChallengeResponsePinType),
               static_cast<DWORD>(user ? PrimaryCardPin : AdministratorPin),
               user ? kBothRoles : CREATE_PIN_SET(ROLE_ADMIN), user ? CREATE_PIN_SET(ROLE_ADMIN) : 0u,
               kPinCachePolicyVersion, static_cast<DWORD>(PinCacheNormal), 0u, 0u});
  return 0;
}

// The user's PIN may also be presented as a session PIN; the administrator's
// response only in plain.
Result pinStrengthVerify(const Request& request) {
  const DWORD strength = request.flags == ROLE_USER ? CARD_PIN_STRENGTH_PLAINTEXT | CARD_PIN_STRENGTH_SESSION_PIN
                                                    : CARD_PIN_STRENGTH_PLAINTEXT;
  storeDwords(request.data, 0, {strength});
  return 0;
}

// No symmetric algorithms: an empty list, nothing written.
Result algorithms(const Request&) { return 0; }

// By key type: a key-exchange key decrypts raw (the provider
// removes the padding), a signature key signs with PKCS #1 padding.
Result paddingSchemes(const Request& request) {
  const DWORD scheme = request.flags == AT_KEYEXCHANGE ? CARD_PADDING_NONE : CARD_PADDING_PKCS1;
  storeDwords(request.data, 0, {scheme});
  return 0;
}

Result chainingModes(const Request& request) {
  std::memcpy(request.data, kChainingModes, sizeof kChainingModes);
  return 0;
}

using enum Check;
constexpr Checks kSFBV = {Size, Flags, Buffer, Version, End};
constexpr Checks kFSBV = {Flags, Size, Buffer, Version, End};
constexpr Checks kFSB = {Flags, Size, Buffer, End, End};
constexpr Checks kFS = {Flags, Size, End, End, End};
constexpr Checks kSBF = {Size, Buffer, Flags, End, End};
constexpr Checks kPinInfo = {Size, Buffer, Version, ClearPinInfoFlags, Flags};
constexpr Checks kNone = {End, End, End, End, End};

constexpr const char* kX509Refused = " CP_SUPPORTS_WIN_X509_ENROLLMENT SCARD_E_INVALID_PARAMETER";

// Looked up in this order; the first whole-string match answers.
constexpr Property kProperties[] = {
    {u"Free Space", kFlagsZero, sizeof(CARD_FREE_SPACE_INFO), kSFBV, kRecordVersion, nullptr, freeSpace},
    {u"Capabilities", kFlagsZero, sizeof(CARD_CAPABILITIES), kSFBV, kRecordVersion, nullptr, capabilities},
    {u"Key Sizes", kFlagsOneOrTwo, sizeof(CARD_KEY_SIZES), kFSBV, kRecordVersion, nullptr, keySizes},
    {u"Read Only Mode", kFlagsZero, sizeof(BOOL), kFSB, 0, nullptr, constant<FALSE>},
    {u"Cache Mode", kFlagsZero, sizeof(DWORD), kFSB, 0, nullptr, constant<CP_CACHE_MODE_NO_CACHE>},
    {u"Supports Windows x.509 Enrollment", kFlagsZero, sizeof(BOOL), kFSB, 0, kX509Refused, constant<TRUE>},
    {u"Card Identifier", kFlagsZero, kCardIdentifierSize, kFSB, 0, nullptr, cardIdentifier},
    {u"Card Serial Number", kFlagsZero, kSerialNumberSize, kFSB, 0, nullptr, serialNumber},
    {u"PIN Information", kFlagsOneOrTwo, sizeof(PIN_INFO), kPinInfo, kPinInfoVersion, nullptr, pinInformation},
    {u"PIN List", kFlagsZero, sizeof(PIN_SET), kFSB, 0, nullptr, constant<kBothRoles>},
    {u"Authenticated State", kFlagsZero, sizeof(PIN_SET), kFSB, 0, nullptr, authenticatedState},
    {u"PIN Strength Verify", kFlagsOneOrTwo, sizeof(DWORD), kFSB, 0, nullptr, pinStrengthVerify},
    {u"Key Import Support", kFlagsZero, sizeof(DWORD), kFSB, 0, nullptr, constant<0>},
    {u"Algorithms", kFlagsOneOrTwo, 0, kFS, 0, nullptr, algorithms},
    {u"Padding Schemes", kFlagsOneOrTwo, sizeof(DWORD), kSBF, 0, nullptr, paddingSchemes},
    {u"Chaining Modes", kFlagsZero, sizeof kChainingModes, kFSB, 0, nullptr, chainingModes},
    {u"PIN Strength Change", kFlagsNone, 0, kNone, 0, nullptr, unsupported},
    {u"PIN Strength Unblock", kFlagsNone, 0, kNone, 0, nullptr, unsupported},
};

// Runs `property`'s checks in order; 0 when all pass.
Result runChecks(const Property& property, const Request& request) {
  for (const Check check : property.checks) {
    switch (check) {
      case End:
        return 0;
      case Flags:
        if (accepts(property.flags, request.flags)) break;
        if (property.flagsRefused != nullptr) trace::step(property.flagsRefused);
        return SCARD_E_INVALID_PARAMETER;
      case Size:
        *request.length = property.size;
        break;
      case Buffer:
        if (request.capacity < property.size) return ERROR_INSUFFICIENT_BUFFER;
        break;
      case Version:
        if (loadDword(request.data, 0) > property.highestVersion) return ERROR_REVISION_MISMATCH;
        break;
      case ClearPinInfoFlags:
        storeDwords(request.data, offsetof(PIN_INFO, dwFlags), {0});
        break;
    }
  }
  return 0;
}

Result getProperty(const common::Session& session, LPCWSTR name, PBYTE data, DWORD capacity, PDWORD length,
                   DWORD flags) {
  if (name == nullptr || data == nullptr || length == nullptr) return SCARD_E_INVALID_PARAMETER;
  const auto property = std::find_if(std::begin(kProperties), std::end(kProperties),
                                     [&](const Property& p) { return common::sameWideString(name, p.name); });
  if (property == std::end(kProperties)) {
    trace::step("   WRONG wszProperty \n");
    return SCARD_E_INVALID_PARAMETER;
  }
  const Request request{session, data, capacity, length, flags};
  if (const Result rc = runChecks(*property, request)) return rc;
  return property->value(request);
}

}  // namespace
}  // namespace vemra::properties

extern "C" {

// Answers the card property `wszProperty` in `pbData` (`cbData` bytes) and
// its size in `*pdwDataLen`. `pbData` is required even to learn the size.
// Each property accepts its own `dwFlags` (0, a key type or a PIN
// identifier) and checks flags, size, buffer and record version in its own
// order; where the size is stored before a failing check, `*pdwDataLen`
// already holds it. "Card Identifier" reads the root file "cardid" with
// CardReadFile; "Free Space" is CardQueryFreeSpace's record; "Card Serial
// Number" and "Authenticated State" ask the card.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL argument, an unknown
// name (names match as whole strings) or refused flags;
// ERROR_INSUFFICIENT_BUFFER when the value does not fit in `cbData`;
// ERROR_REVISION_MISMATCH for a record version the driver does not know;
// SCARD_E_UNSUPPORTED_FEATURE for "PIN Strength Change" and "PIN Strength
// Unblock"; the failure of CardQueryFreeSpace or CardReadFile unchanged;
// SCARD_F_INTERNAL_ERROR for a serial number shorter than 7 bytes or a VERIFY
// probe answered with data; a PC/SC failure unchanged; and the prologue's
// errors.
DWORD WINAPI CardGetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                             PDWORD pdwDataLen, DWORD dwFlags) {
  return vemra::common::runEntryPoint("Function CardGetProperty called", "\tFunction CardGetProperty is done",
                                      pCardData, [&](const vemra::common::Session& session) -> DWORD {
                                        return vemra::properties::getProperty(session, wszProperty, pbData, cbData,
                                                                              pdwDataLen, dwFlags);
                                      });
}

}  // extern "C"

// CardSignData: the card signs a hash with a container's private key. We put
// the PKCS #1 DigestInfo prefix of the named hash in front of the caller's
// hash value; the card forms the signature block and computes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/bytes.h"
#include "card/commands.h"
#include "common/caller_buffer.h"
#include "common/entry.h"
#include "common/wide_string.h"
#include "keys/key_preparation.h"

namespace vemra::keys {
namespace {

// DigestInfo up to and including the OCTET STRING header, per hash.
constexpr std::uint8_t kMd2[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                 0x86, 0xF7, 0x0D, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10};
constexpr std::uint8_t kMd5[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr std::uint8_t kSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                  0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr std::uint8_t kSha256[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::uint8_t kSha384[] = {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
constexpr std::uint8_t kSha512[] = {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

struct HashPrefix {
  ALG_ID algorithm;
  const char16_t* name;  // NULL: the entry a NULL pszAlgId selects
  std::span<const std::uint8_t> prefix;
};

// In the order the names are tested. CALG_SSL3_SHAMD5 (and a NULL name) sends
// the data bare: the caller's 36 bytes are already the whole value to sign.
constexpr HashPrefix kPrefixes[] = {
    {CALG_SSL3_SHAMD5, nullptr, {}},  {CALG_MD2, u"MD2", kMd2},
    {CALG_MD5, u"MD5", kMd5},         {CALG_SHA1, u"SHA1", kSha1},
    {CALG_SHA_256, u"SHA256", kSha256}, {CALG_SHA_384, u"SHA384", kSha384},
    {CALG_SHA_512, u"SHA512", kSha512},
};

// Hash algorithms the interface knows but we have no prefix for.
constexpr ALG_ID kUnknownAlgorithms[] = {CALG_MD4,     CALG_MAC, CALG_HMAC, CALG_TLS1PRF, CALG_HASH_REPLACE_OWF,
                                         CALG_HUGHES_MD5};

// The command data of a signature travels in one short command.
constexpr std::size_t kMaxCommandData = 255;

// The prefix the request names, through its padding information or its
// aiHashAlg. Errors: SCARD_E_INVALID_PARAMETER for padding information that
// is not PKCS #1, missing, carried by a record too old to have it, or names
// an unlisted hash; SCARD_E_UNSUPPORTED_FEATURE for an aiHashAlg without a
// prefix.
Result choosePrefix(const CARD_SIGNING_INFO& info, std::span<const std::uint8_t>& prefix) {
  if ((info.dwSigningFlags & CARD_PADDING_INFO_PRESENT) != 0) {
    // Records before version 2 end before pPaddingInfo and dwPaddingType.
    if (info.dwVersion < 2) return SCARD_E_INVALID_PARAMETER;
    if (info.dwPaddingType != CARD_PADDING_PKCS1 || info.pPaddingInfo == nullptr) return SCARD_E_INVALID_PARAMETER;
    const LPCWSTR name = static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(info.pPaddingInfo)->pszAlgId;
    for (const HashPrefix& entry : kPrefixes) {
      if (entry.name == nullptr ? name == nullptr : common::sameWideString(name, entry.name)) {
        prefix = entry.prefix;
        return 0;
      }
    }
    return SCARD_E_INVALID_PARAMETER;
  }
  for (const HashPrefix& entry : kPrefixes) {
    if (entry.algorithm == info.aiHashAlg) {
      prefix = entry.prefix;
      return 0;
    }
  }
  for (const ALG_ID unknown : kUnknownAlgorithms) {
    if (unknown == info.aiHashAlg) {
      trace::step("\tUnknown algorithm...");
      return SCARD_E_UNSUPPORTED_FEATURE;
    }
  }
  trace::step("\tWRONG algorithm...");
  return SCARD_E_UNSUPPORTED_FEATURE;
}

// Whether prefix and data travel as the data of one short command. An empty
// one cannot: Lc 00 there would be read as "expect 256 bytes", a different
// command than "no data".
bool fitsOneCommand(std::size_t prefixLength, DWORD cbData) {
  if (cbData > kMaxCommandData) return false;
  const std::size_t total = prefixLength + cbData;
  return total != 0 && total <= kMaxCommandData;
}

Result signData(const common::Session& session, CARD_SIGNING_INFO& info) {
  if (info.dwVersion > 2) return ERROR_REVISION_MISMATCH;
  if (info.pbData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (!isRsaKeySpec(info.dwKeySpec)) return SCARD_E_INVALID_PARAMETER;

  // The prefix is chosen here only to refuse, before anything is sent, data
  // that cannot travel with it in one command; a request that names no
  // usable hash is refused after the key checks.
  std::span<const std::uint8_t> prefix;
  const Result chosen = choosePrefix(info, prefix);
  if (chosen == 0 && !fitsOneCommand(prefix.size(), info.cbData)) return SCARD_E_INVALID_PARAMETER;

  const KeyLocation key = locateKey(session.config, info.bContainerIndex, info.dwKeySpec);
  if (const Result rc = requireUserPin(session.config, session.card)) return rc;
  std::uint16_t keyBytes = 0;
  if (const Result rc = keySize(session.card, key, keyBytes)) return rc;
  if (const Result rc = selectKeyForOperation(session.card, key.reference)) return rc;
  if (chosen != 0) return chosen;

  std::array<std::uint8_t, kMaxCommandData> data{};
  card::ByteWriter writer(data);
  if (!writer.putBytes(prefix) || !writer.putBytes({info.pbData, info.cbData})) return SCARD_E_INVALID_PARAMETER;

  std::array<std::uint8_t, 256> signature{};
  std::uint16_t length = 0;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(session.card, card::command::computeSignature(writer.written()), signature,
                                       length, sw))
    return rc;
  if (sw != card::sw::kSuccess || length != keyBytes) return SCARD_F_INTERNAL_ERROR;

  // The card answers most significant byte first; the caller reads the
  // signature least significant byte first.
  common::CallerBuffer<BYTE> buffer(session.cardData, &info.pbSignedData);
  if (!buffer.allocate(length)) return SCARD_E_NO_MEMORY;
  if (!card::reverseBytes(buffer.bytes(), std::span<const std::uint8_t>(signature).first(length)))
    return SCARD_F_INTERNAL_ERROR;
  info.cbSignedData = length;
  buffer.release();
  return 0;
}

}  // namespace
}  // namespace vemra::keys

extern "C" {

// Signs the hash `pInfo->pbData` (`cbData` bytes) with key `dwKeySpec`
// (AT_KEYEXCHANGE or AT_SIGNATURE) of container `bContainerIndex`. The hash
// is named by `aiHashAlg`, or, when `dwSigningFlags` holds
// CARD_PADDING_INFO_PRESENT (version-2 records only), by the pszAlgId of a
// BCRYPT_PKCS1_PADDING_INFO with `dwPaddingType` CARD_PADDING_PKCS1;
// CALG_SSL3_SHAMD5 or a NULL pszAlgId sends the data without a prefix. The
// user PIN must be verified. On success `pbSignedData` holds a buffer from
// pfnCspAlloc of `cbSignedData` bytes (the modulus length), least
// significant byte first; on failure it holds none.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL record or data, a key
// type other than the two, prefix and data together over 255 bytes or empty
// (no prefix and no data), unusable padding information, or a container that
// lacks the key;
// ERROR_REVISION_MISMATCH for a record above version 2;
// SCARD_W_SECURITY_VIOLATION when the user PIN is not verified;
// SCARD_E_NO_KEY_CONTAINER when the container holds no key;
// SCARD_E_UNSUPPORTED_FEATURE for a hash algorithm without a prefix;
// SCARD_E_NO_MEMORY when the provider gives no buffer;
// SCARD_F_INTERNAL_ERROR for an unexpected answer or a signature that is not
// as long as the key; a PC/SC failure unchanged; and the prologue's errors.
DWORD WINAPI CardSignData(PCARD_DATA pCardData, PCARD_SIGNING_INFO pInfo) {
  return vemra::common::runEntryPoint(
      "Function CardSignData called", "\tFunction CardSignData is done", pCardData,
      [&](const vemra::common::Session& session) -> DWORD {
        if (pInfo == nullptr) return SCARD_E_INVALID_PARAMETER;
        return vemra::keys::signData(session, *pInfo);
      });
}

}  // extern "C"

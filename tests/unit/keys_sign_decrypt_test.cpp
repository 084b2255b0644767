// CardSignData and CardRSADecrypt on a scripted card: the key preparation,
// the DigestInfo prefix per hash, the chained decryption, the unpad callback
// and the failures whose codes differ.
#include <cstddef>
#include <cstring>

#include "common/entry_points.h"
#include "keys_script.h"

namespace vemra::test::keys {
namespace {

const std::string kSha1Prefix = "30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14";
const std::string kSha256Prefix = "30 31 30 0D 06 09 60 86 48 01 65 03 04 02 01 05 00 04 20";

class SignDecryptTest : public files::FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    bind();
  }
  // The preparation of the signature key of container 1 (B101, reference 21)
  // holding a key of `k` bytes.
  files::Script preparation(unsigned k) {
    return {{kSelectApplication, "90 00"},
            {kProbeUser, "90 00"},
            {selectKeyParameters(0xB101), keyFileParameters(k) + files::kOk},
            {kMseRestore, "90 00"},
            {mseSet(0x21), "90 00"}};
  }
  CARD_SIGNING_INFO signing(std::vector<std::uint8_t>& hash, ALG_ID algorithm) {
    CARD_SIGNING_INFO info{};
    info.dwVersion = 2;
    info.bContainerIndex = 1;
    info.dwKeySpec = AT_SIGNATURE;
    info.aiHashAlg = algorithm;
    info.pbData = hash.data();
    info.cbData = static_cast<DWORD>(hash.size());
    return info;
  }
};

TEST_F(SignDecryptTest, EachHashGetsItsPrefixAndTheSignatureComesBackReversed) {
  const BCRYPT_PKCS1_PADDING_INFO sha256{u"SHA256"};
  const BCRYPT_PKCS1_PADDING_INFO bare{nullptr};
  const struct {
    ALG_ID algorithm;
    const BCRYPT_PKCS1_PADDING_INFO* padding;
    std::size_t hashLength;
    std::string prefix;
  } cases[] = {
      {CALG_MD2, nullptr, 16, "30 20 30 0C 06 08 2A 86 48 86 F7 0D 02 02 05 00 04 10"},
      {CALG_MD5, nullptr, 16, "30 20 30 0C 06 08 2A 86 48 86 F7 0D 02 05 05 00 04 10"},
      {CALG_SHA1, nullptr, 20, kSha1Prefix},
      {CALG_SHA_256, nullptr, 32, kSha256Prefix},
      {CALG_SHA_384, nullptr, 48, "30 41 30 0D 06 09 60 86 48 01 65 03 04 02 02 05 00 04 30"},
      {CALG_SHA_512, nullptr, 64, "30 51 30 0D 06 09 60 86 48 01 65 03 04 02 03 05 00 04 40"},
      {CALG_SSL3_SHAMD5, nullptr, 36, ""},
      {0, &sha256, 32, kSha256Prefix},  // the padding information wins over aiHashAlg
      {CALG_SHA1, &bare, 36, ""},
      {CALG_SHA1, nullptr, 240, kSha1Prefix},  // 255 bytes: the most one command carries
  };
  for (const auto& c : cases) {
    auto hash = pattern(c.hashLength, 0x40);
    const std::size_t lc = c.hashLength + (c.prefix.empty() ? 0 : (c.prefix.size() + 1) / 3);
    const auto signature = pattern(256, 0x01);
    expectSteps(preparation(256));
    card.expect("00 2A 9E 9A " + hex2(lc) + (c.prefix.empty() ? "" : " " + c.prefix) + " " + toHex(hash),
                toHex(signature) + files::kOk);
    CARD_SIGNING_INFO info = signing(hash, c.algorithm);
    if (c.padding != nullptr) {
      info.dwSigningFlags = CARD_PADDING_INFO_PRESENT | CARD_BUFFER_SIZE_ONLY;
      info.dwPaddingType = CARD_PADDING_PKCS1;
      info.pPaddingInfo = const_cast<BCRYPT_PKCS1_PADDING_INFO*>(c.padding);
    }
    ASSERT_EQ(CardSignData(&cardData, &info), 0u) << c.algorithm;
    ASSERT_EQ(info.cbSignedData, 256u);
    EXPECT_EQ(provider().sizeOf(info.pbSignedData), 256u);
    const std::vector<std::uint8_t> reversed(signature.rbegin(), signature.rend());
    EXPECT_EQ(std::vector<std::uint8_t>(info.pbSignedData, info.pbSignedData + 256), reversed);
    ProviderDouble::free(info.pbSignedData);
  }
}

TEST_F(SignDecryptTest, SigningFailures) {
  const BCRYPT_PKCS1_PADDING_INFO lower{u"sha256"};
  const BCRYPT_PKCS1_PADDING_INFO sha1{u"SHA1"};
  struct Case {
    const char* what;
    std::function<void(CARD_SIGNING_INFO&)> change;
    std::size_t stopAt;  // the step of the preparation answered `answer` (SIZE_MAX: all run)
    std::string answer;
    std::string signatureAnswer;  // empty: no signing command
    DWORD expected;
  };
  const auto withPadding = [](DWORD type, const BCRYPT_PKCS1_PADDING_INFO* padding) {
    return [=](CARD_SIGNING_INFO& i) {
      i.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
      i.dwPaddingType = type;
      i.pPaddingInfo = const_cast<BCRYPT_PKCS1_PADDING_INFO*>(padding);
    };
  };
  const auto sha1Command = [](const std::vector<std::uint8_t>& hash) {
    return "00 2A 9E 9A 23 " + kSha1Prefix + " " + toHex(hash);
  };
  const Case cases[] = {
      {"version 3", [](auto& i) { i.dwVersion = 3; }, 0, "90 00", "", ERROR_REVISION_MISMATCH},
      {"no data", [](auto& i) { i.pbData = nullptr; }, 0, "90 00", "", SCARD_E_INVALID_PARAMETER},
      {"key type 3", [](auto& i) { i.dwKeySpec = 3; }, 0, "90 00", "", SCARD_E_INVALID_PARAMETER},
      {"256 bytes with prefix", [](auto& i) { i.cbData = 241; }, 0, "90 00", "", SCARD_E_INVALID_PARAMETER},
      {"old record with padding info",
       [&](auto& i) {
         withPadding(CARD_PADDING_PKCS1, &sha1)(i);
         i.dwVersion = 1;
       },
       SIZE_MAX, "", "", SCARD_E_INVALID_PARAMETER},
      {"PIN not verified", [](auto&) {}, 1, "69 82", "", SCARD_W_SECURITY_VIOLATION},
      {"key type unknown", [](auto&) {}, 2, "62 05 8A A5 85 01 23 90 00", "", SCARD_F_INTERNAL_ERROR},
      {"MSE RESTORE refused", [](auto&) {}, 3, "6A 88", "", SCARD_F_INTERNAL_ERROR},
      {"MSE SET refused", [](auto&) {}, 4, "6A 88", "", SCARD_F_INTERNAL_ERROR},
      {"MD4", [](auto& i) { i.aiHashAlg = CALG_MD4; }, SIZE_MAX, "", "", SCARD_E_UNSUPPORTED_FEATURE},
      {"hash 0", [](auto& i) { i.aiHashAlg = 0; }, SIZE_MAX, "", "", SCARD_E_UNSUPPORTED_FEATURE},
      {"PSS", withPadding(CARD_PADDING_PSS, &sha1), SIZE_MAX, "", "", SCARD_E_INVALID_PARAMETER},
      {"no padding info", withPadding(CARD_PADDING_PKCS1, nullptr), SIZE_MAX, "", "", SCARD_E_INVALID_PARAMETER},
      {"name in lower case", withPadding(CARD_PADDING_PKCS1, &lower), SIZE_MAX, "", "", SCARD_E_INVALID_PARAMETER},
      {"signing refused", [](auto&) {}, SIZE_MAX, "", "69 82", SCARD_F_INTERNAL_ERROR},
      {"signature one byte short", [](auto&) {}, SIZE_MAX, "", toHex(pattern(255, 1)) + files::kOk,
       SCARD_F_INTERNAL_ERROR},
  };
  for (const auto& c : cases) {
    auto hash = pattern(20, 0x77);
    hash.resize(241);
    CARD_SIGNING_INFO info = signing(hash, CALG_SHA1);
    info.cbData = 20;
    info.pbSignedData = nullptr;
    c.change(info);
    expectSteps(preparation(256), c.stopAt, c.answer);
    if (!c.signatureAnswer.empty())
      card.expect(sha1Command(std::vector(hash.begin(), hash.begin() + 20)), c.signatureAnswer);
    EXPECT_EQ(CardSignData(&cardData, &info), c.expected) << c.what;
    EXPECT_EQ(info.pbSignedData, nullptr) << c.what;
    EXPECT_TRUE(card.finished()) << c.what << ": " << card.pending();
    card.clear();
  }
  // The provider gives no buffer.
  auto hash = pattern(20, 0x77);
  CARD_SIGNING_INFO info = signing(hash, CALG_SHA1);
  expectSteps(preparation(128));
  card.expect(sha1Command(hash), toHex(pattern(128, 1)) + files::kOk);
  provider().failAllocation(1);
  EXPECT_EQ(CardSignData(&cardData, &info), SCARD_E_NO_MEMORY);
  EXPECT_EQ(info.pbSignedData, nullptr);
}

// Without a prefix, empty data would make a command with Lc 00, which asks
// for 256 bytes instead of sending none: refused before any command. Data of
// one byte, or a prefix alone, still make a command.
TEST_F(SignDecryptTest, AnEmptySignatureRequestIsRefusedBeforeAnyCommand) {
  const BCRYPT_PKCS1_PADDING_INFO bare{nullptr};
  struct Case {
    const char* what;
    ALG_ID algorithm;
    bool paddingInfo;
    DWORD cbData;
    std::string command;  // empty: none after the prologue
    DWORD expected;
  };
  const Case cases[] = {
      {"no prefix, no data", CALG_SSL3_SHAMD5, false, 0, "", SCARD_E_INVALID_PARAMETER},
      {"NULL name, no data", 0, true, 0, "", SCARD_E_INVALID_PARAMETER},
      {"no prefix, one byte", CALG_SSL3_SHAMD5, false, 1, "00 2A 9E 9A 01 77", 0},
      {"prefix alone", CALG_SHA1, false, 0, "00 2A 9E 9A 0F " + kSha1Prefix, 0},
  };
  for (const Case& c : cases) {
    auto hash = pattern(20, 0x77);
    CARD_SIGNING_INFO info = signing(hash, c.algorithm);
    info.cbData = c.cbData;
    if (c.paddingInfo) {
      info.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
      info.dwPaddingType = CARD_PADDING_PKCS1;
      info.pPaddingInfo = const_cast<BCRYPT_PKCS1_PADDING_INFO*>(&bare);
    }
    if (c.command.empty()) {
      expectSteps(preparation(128), 0, "90 00");
    } else {
      expectSteps(preparation(128));
      card.expect(c.command, toHex(pattern(128, 5)) + files::kOk);
    }
    EXPECT_EQ(CardSignData(&cardData, &info), c.expected) << c.what;
    EXPECT_TRUE(card.finished()) << c.what << ": " << card.pending();
    EXPECT_EQ(info.pbSignedData != nullptr, c.expected == 0) << c.what;
    ProviderDouble::free(info.pbSignedData);
    card.clear();
  }
}

TEST_F(SignDecryptTest, MissingKeysAreToldApart) {
  auto hash = pattern(20, 0x10);
  const struct {
    std::string own, other;
    DWORD expected;
  } cases[] = {
      {"6A 82", "6A 82", SCARD_E_NO_KEY_CONTAINER},
      {"6A 82", keyFileParameters(128) + files::kOk, SCARD_E_INVALID_PARAMETER},
      {"6A 82", "6F 00", SCARD_E_INVALID_PARAMETER},
      {"6F 00", "", SCARD_F_INTERNAL_ERROR},
  };
  for (const auto& c : cases) {
    for (bool decrypt : {false, true}) {
      card.expect(kSelectApplication, "90 00").expect(kProbeUser, "90 00").expect(selectKeyParameters(0xB101), c.own);
      if (!c.other.empty()) card.expect(selectKeyParameters(0xB001), c.other);
      CARD_SIGNING_INFO sign = signing(hash, CALG_SHA1);
      CARD_RSA_DECRYPT_INFO info{2, 1, AT_SIGNATURE, hash.data(), 20, nullptr, 0};
      EXPECT_EQ(decrypt ? CardRSADecrypt(&cardData, &info) : CardSignData(&cardData, &sign), c.expected) << c.other;
    }
  }
}

class DecryptTest : public SignDecryptTest {
 protected:
  // A decryption of a 2048-bit block by the signature key of container 1,
  // the card answering `plain`.
  void expectDecryption(const std::vector<std::uint8_t>& block, const std::vector<std::uint8_t>& plain) {
    expectSteps(preparation(256));
    card.expect("90 2A 9E 9A C8 " + toHex(std::span(block).first(200)), "90 00")
        .expect("80 2A 9E 9A 38 " + toHex(std::span(block).subspan(200)), toHex(plain) + files::kOk);
  }
  std::vector<std::uint8_t> block = pattern(256, 0x31);
  std::vector<std::uint8_t> plain = pattern(256, 0x99);
};

TEST_F(DecryptTest, TheBlockIsReplacedInPlaceAndUnpaddedByTheProvider) {
  const struct {
    DWORD contextVersion, recordVersion;
    DWORD unpadResult;
    std::vector<std::uint8_t> unpadded;
    bool withCallback;
    DWORD expected;
    DWORD cbData;
  } cases[] = {
      {6, 1, 0, {1}, true, 0, 256},  // an older record gets the raw block; no unpadding
      {7, 2, 0, {1, 2, 3, 4, 5}, true, 0, 5},
      {7, 2, 0x80090005, {}, true, 0x80090005, 256},  // NTE_BAD_DATA from the provider
      {7, 2, 0, std::vector<std::uint8_t>(257, 0xAB), true, SCARD_F_INTERNAL_ERROR, 256},
      {7, 2, 0, {1}, false, SCARD_F_INTERNAL_ERROR, 256},
  };
  for (const auto& c : cases) {
    auto data = block;
    expectDecryption(block, plain);
    provider().setUnpad(c.unpadResult, c.unpadded);
    cardData.dwVersion = c.contextVersion;
    cardData.pfnCspUnpadData = c.withCallback ? ProviderDouble::unpad : nullptr;
    const int unpadCalls = provider().unpadCalls();
    CARD_RSA_DECRYPT_INFO info{c.recordVersion, 1, AT_SIGNATURE, data.data(), 256, nullptr, CARD_PADDING_OAEP};
    EXPECT_EQ(CardRSADecrypt(&cardData, &info), c.expected) << c.unpadded.size();
    EXPECT_EQ(info.cbData, c.cbData);
    EXPECT_EQ(provider().unpadCalls() - unpadCalls, c.recordVersion == 2 && c.withCallback ? 1 : 0);
    // An older record gets the raw block. After an unpadding the unpadded
    // bytes are at the front and zeros behind them; after a failed one the
    // buffer holds zeros only: no plaintext stays behind.
    auto expected = plain;
    if (c.recordVersion == 2) {
      expected.assign(plain.size(), 0);
      if (c.expected == 0) std::copy(c.unpadded.begin(), c.unpadded.end(), expected.begin());
    }
    EXPECT_EQ(data, expected) << c.unpadded.size();
    if (c.recordVersion == 2 && c.withCallback && c.unpadResult == 0) {
      EXPECT_EQ(provider().lastFreed(), std::vector<std::uint8_t>(c.unpadded.size(), 0))
          << "the callback's buffer is wiped before it goes back";
    }
    EXPECT_EQ(provider().live(), 1u) << "only the configuration record is still allocated";
  }
}

// The unpad callback belongs to the version-7 part of CARD_DATA; an older
// provider's record ends before it. A version-2 request there is refused
// before any command of its own, and the record is not read past its end
// (AddressSanitizer watches the heap block of exactly that size).
TEST_F(DecryptTest, AVersion2RecordNeedsAVersion7Context) {
  for (DWORD version : {4u, 5u, 6u}) {
    const std::size_t size = version == 6   ? offsetof(CARD_DATA, pfnCspUnpadData)
                             : version == 5 ? offsetof(CARD_DATA, pfnCardGetChallengeEx)
                                            : offsetof(CARD_DATA, pfnCardDeriveKey);
    void* record = ::operator new(size);
    std::memcpy(record, &cardData, size);
    auto* older = static_cast<PCARD_DATA>(record);
    older->dwVersion = version;
    auto data = block;
    // The card would decrypt: only the driver's refusal keeps it from it.
    expectDecryption(block, plain);
    const std::size_t before = sentCommands().size();
    CARD_RSA_DECRYPT_INFO info{2, 1, AT_SIGNATURE, data.data(), 256, nullptr, CARD_PADDING_OAEP};
    EXPECT_EQ(CardRSADecrypt(older, &info), DWORD{ERROR_REVISION_MISMATCH}) << version;
    EXPECT_EQ(sentCommands().size() - before, 1u) << version << ": the prologue's selection alone";
    EXPECT_EQ(data, block) << version;
    EXPECT_EQ(info.cbData, 256u) << version;
    ::operator delete(record);
    card.clear();
  }
}

TEST_F(DecryptTest, DecryptionFailures) {
  const struct {
    const char* what;
    DWORD contextVersion, recordVersion, cbData;
    std::size_t stopAt;  // in preparation + the two pieces
    std::string answer;
    DWORD expected;
  } cases[] = {
      {"record version 3", 7, 3, 256, 0, "90 00", ERROR_REVISION_MISMATCH},
      {"record version 1 in a version-7 context", 7, 1, 256, 0, "90 00", ERROR_REVISION_MISMATCH},
      {"PIN not verified", 7, 2, 256, 1, "63 C1", SCARD_W_SECURITY_VIOLATION},
      {"block shorter than the key", 7, 2, 128, 3, "", SCARD_E_INSUFFICIENT_BUFFER},
      {"MSE SET refused", 7, 2, 256, 4, "6A 88", SCARD_F_INTERNAL_ERROR},
      {"first piece refused", 7, 2, 256, 5, "69 82", SCARD_F_INTERNAL_ERROR},
      {"last piece refused", 7, 2, 256, 6, "6A 80", SCARD_F_INTERNAL_ERROR},
      {"result one byte short", 7, 2, 256, 6, toHex(pattern(255, 9)) + files::kOk, SCARD_F_INTERNAL_ERROR},
  };
  for (const auto& c : cases) {
    auto data = block;
    files::Script script = preparation(256);
    script.emplace_back("90 2A 9E 9A C8 " + toHex(std::span(block).first(200)), "90 00");
    script.emplace_back("80 2A 9E 9A 38 " + toHex(std::span(block).subspan(200)), toHex(plain) + files::kOk);
    if (c.answer.empty()) {
      expectSteps(files::Script(script.begin(), script.begin() + static_cast<long>(c.stopAt)));
    } else {
      expectSteps(script, c.stopAt, c.answer);
    }
    cardData.dwVersion = c.contextVersion;
    CARD_RSA_DECRYPT_INFO info{c.recordVersion, 1, AT_SIGNATURE, data.data(), c.cbData, nullptr, 0};
    EXPECT_EQ(CardRSADecrypt(&cardData, &info), c.expected) << c.what;
    EXPECT_EQ(data, block) << c.what << ": the block is not touched";
    EXPECT_TRUE(card.finished()) << c.what << ": " << card.pending();
    card.clear();
  }
}

TEST_F(DecryptTest, SigningAndDecryptionPassEveryTransmissionFailureUp) {
  auto hash = pattern(32, 0x44);
  injectFailures(
      [&] {
        expectSteps(preparation(256));
        card.expect("00 2A 9E 9A 33 " + kSha256Prefix + " " + toHex(hash), toHex(pattern(256, 3)) + files::kOk);
      },
      [&] {
        CARD_SIGNING_INFO info = signing(hash, CALG_SHA_256);
        const DWORD rc = CardSignData(&cardData, &info);
        ProviderDouble::free(info.pbSignedData);
        return rc;
      });
  provider().setUnpad(0, {7, 7, 7});
  injectFailures([&] { expectDecryption(block, plain); },
                 [&] {
                   auto data = block;
                   CARD_RSA_DECRYPT_INFO info{2, 1, AT_SIGNATURE, data.data(), 256, nullptr, 0};
                   return CardRSADecrypt(&cardData, &info);
                 });
}

}  // namespace
}  // namespace vemra::test::keys

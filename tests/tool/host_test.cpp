// The provider host's and the tool's own logic, without a card: the unpad
// callback the driver calls after a decryption, the error texts every
// failure prints, administrator keys as typed, and the container map.
#define OPENSSL_SUPPRESS_DEPRECATED  // the padding helpers build test blocks
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "certificate_file.h"
#include "certificates.h"
#include "error.h"
#include "layout.h"
#include "provider.h"
#include "secrets.h"

namespace vemra::ctl {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kMessage = "unpadded by the provider";

// A 256-byte block as the card hands back a decryption, padded one way; OAEP
// with `md` and `label`.
Bytes paddedBlock(DWORD padding, const EVP_MD* md = EVP_sha256(), const std::string& label = "") {
  Bytes block(256);
  const auto* from = reinterpret_cast<const unsigned char*>(kMessage.data());
  const int length = static_cast<int>(kMessage.size());
  int ok = 0;
  if (padding == CARD_PADDING_PKCS1) ok = RSA_padding_add_PKCS1_type_2(block.data(), 256, from, length);
  if (padding == CARD_PADDING_OAEP) {
    ok = RSA_padding_add_PKCS1_OAEP_mgf1(block.data(), 256, from, length,
                                         reinterpret_cast<const unsigned char*>(label.data()),
                                         static_cast<int>(label.size()), md, md);
  }
  EXPECT_EQ(ok, 1);
  return block;
}

// A PKCS #1 v1.5 encryption block laid out by hand: 00, the block type,
// `padding` non-zero bytes, the 00 separator (unless `separator` is false),
// then the message filling the rest of the 256 bytes.
Bytes handmadeBlock(uint8_t first, uint8_t type, std::size_t padding, bool separator = true) {
  Bytes block(256, 'm');
  block[0] = first;
  block[1] = type;
  for (std::size_t i = 0; i < padding && 2 + i < block.size(); ++i) block[2 + i] = static_cast<uint8_t>(0x11 + i % 200);
  if (separator && 2 + padding < block.size()) block[2 + padding] = 0x00;
  return block;
}

struct UnpadCase {
  const char* what;
  DWORD padding;
  Bytes block;
  const char16_t* oaepHash;
  std::string label;  // for OAEP
  DWORD result;
  std::string unpadded;
};

TEST(UnpadCallback, RemovesThePaddingTheRecordNamesAndRefusesBadBlocks) {
  Bytes broken = paddedBlock(CARD_PADDING_PKCS1);
  broken[1] = 0x01;  // a signature block, not an encryption block
  Bytes lateZero = paddedBlock(CARD_PADDING_PKCS1);
  lateZero[0] = 0x01;  // 01 02 ...: the leading byte must be 00
  Bytes raw(256, 0x5A);
  const Bytes withLabel = paddedBlock(CARD_PADDING_OAEP, EVP_sha256(), "a label");
  const UnpadCase cases[] = {
      {"PKCS #1 v1.5", CARD_PADDING_PKCS1, paddedBlock(CARD_PADDING_PKCS1), nullptr, "", 0, kMessage},
      {"PKCS #1 v1.5, first byte 01", CARD_PADDING_PKCS1, lateZero, nullptr, "", SCARD_E_INVALID_PARAMETER, ""},
      {"a type-1 block", CARD_PADDING_PKCS1, broken, nullptr, "", SCARD_E_INVALID_PARAMETER, ""},
      {"eight padding bytes", CARD_PADDING_PKCS1, handmadeBlock(0, 2, 8), nullptr, "", 0, std::string(245, 'm')},
      {"seven padding bytes", CARD_PADDING_PKCS1, handmadeBlock(0, 2, 7), nullptr, "", SCARD_E_INVALID_PARAMETER,
       ""},
      {"no 00 separator", CARD_PADDING_PKCS1, handmadeBlock(0, 2, 254, false), nullptr, "",
       SCARD_E_INVALID_PARAMETER, ""},
      {"a message of length 0", CARD_PADDING_PKCS1, handmadeBlock(0, 2, 253), nullptr, "", 0, ""},
      {"OAEP SHA-256", CARD_PADDING_OAEP, paddedBlock(CARD_PADDING_OAEP), u"SHA256", "", 0, kMessage},
      {"OAEP SHA-1", CARD_PADDING_OAEP, paddedBlock(CARD_PADDING_OAEP, EVP_sha1()), u"SHA1", "", 0, kMessage},
      {"OAEP with its label", CARD_PADDING_OAEP, withLabel, u"SHA256", "a label", 0, kMessage},
      {"OAEP without the label it was made with", CARD_PADDING_OAEP, withLabel, u"SHA256", "",
       SCARD_E_INVALID_PARAMETER, ""},
      {"OAEP with a wrong label", CARD_PADDING_OAEP, withLabel, u"SHA256", "a lab3l", SCARD_E_INVALID_PARAMETER, ""},
      {"OAEP with a label it was made without", CARD_PADDING_OAEP, paddedBlock(CARD_PADDING_OAEP), u"SHA256", "x",
       SCARD_E_INVALID_PARAMETER, ""},
      {"OAEP with the wrong hash", CARD_PADDING_OAEP, paddedBlock(CARD_PADDING_OAEP), u"SHA1", "",
       SCARD_E_INVALID_PARAMETER, ""},
      {"OAEP with an unknown hash", CARD_PADDING_OAEP, paddedBlock(CARD_PADDING_OAEP), u"sha256", "",
       SCARD_E_INVALID_PARAMETER, ""},
      {"no padding", CARD_PADDING_NONE, raw, nullptr, "", 0, std::string(256, 'Z')},
      {"PSS is no encryption padding", CARD_PADDING_PSS, raw, nullptr, "", SCARD_E_INVALID_PARAMETER, ""},
  };
  for (const UnpadCase& c : cases) {
    Bytes block = c.block;
    std::string label = c.label;
    host::OaepPaddingInfo oaep{reinterpret_cast<LPCWSTR>(c.oaepHash),
                               label.empty() ? nullptr : reinterpret_cast<PBYTE>(label.data()),
                               static_cast<DWORD>(label.size())};
    CARD_RSA_DECRYPT_INFO info{};
    info.dwVersion = 2;
    info.pbData = block.data();
    info.cbData = static_cast<DWORD>(block.size());
    info.dwPaddingType = c.padding;
    info.pPaddingInfo = c.oaepHash != nullptr ? &oaep : nullptr;
    DWORD length = 0xFFFF;
    PBYTE out = nullptr;
    EXPECT_EQ(host::unpadWithOpenssl(&info, &length, &out), c.result) << c.what;
    if (c.result == 0) {
      ASSERT_NE(out, nullptr) << c.what;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), c.unpadded) << c.what;
    } else {
      EXPECT_EQ(out, nullptr) << c.what;
    }
    EXPECT_EQ(block, c.block) << c.what << ": the block is the driver's, not the callback's";
    host::providerFree(out);
  }
}

TEST(ContainerIndex, StaysBelowTheCardsCount) {
  struct Case {
    int container;
    DWORD count;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {0, 8, nullptr},
      {7, 8, nullptr},
      {255, 256, nullptr},
      {8, 8, "container 8 is past the card's 8 key containers (0 to 7)"},
      {64, 8, "container 64 is past the card's 8 key containers (0 to 7)"},
      {0, 0, "the card has no key containers"},
      {256, 1000, "a container index is 0 to 255"},
      {-1, 8, "a container index is 0 to 255"},
  };
  for (const Case& c : cases) {
    if (c.refusal == nullptr) {
      EXPECT_EQ(containerIndex(c.container, c.count), c.container);
      continue;
    }
    try {
      (void)containerIndex(c.container, c.count);
      ADD_FAILURE() << c.container << " of " << c.count << " accepted";
    } catch (const host::Error& e) {
      EXPECT_STREQ(e.what(), c.refusal);
    }
  }
}

TEST(ErrorText, NamesTheCodeAndSaysWhatItMeans) {
  struct Case {
    uint32_t code;
    const char* secret;
    int attempts;
    const char* text;
  };
  const Case cases[] = {
      {SCARD_W_WRONG_CHV, "PIN", 2, "SCARD_W_WRONG_CHV: wrong PIN, 2 attempts left"},
      {SCARD_W_WRONG_CHV, "PIN", 1, "SCARD_W_WRONG_CHV: wrong PIN, 1 attempt left"},
      {SCARD_W_WRONG_CHV, "administrator key", -1, "SCARD_W_WRONG_CHV: wrong administrator key"},
      {SCARD_W_CHV_BLOCKED, "PIN", -1, "SCARD_W_CHV_BLOCKED: PIN blocked"},
      {0x8010001D, "PIN", -1, "SCARD_E_NO_SERVICE: the PC/SC service (pcscd) is not running"},
      {0x80100069, "PIN", -1, "SCARD_W_REMOVED_CARD: the card was removed"},
      {ERROR_DIR_NOT_EMPTY, "PIN", -1, "ERROR_DIR_NOT_EMPTY: the directory is not empty"},
      {0x8010FFFF, "PIN", -1, "0x8010FFFF: unknown error"},
  };
  for (const Case& c : cases) EXPECT_EQ(host::describeCode(c.code, c.secret, c.attempts), c.text);
  try {
    host::check(SCARD_E_FILE_NOT_FOUND, "cannot read x");
    ADD_FAILURE() << "no failure thrown";
  } catch (const host::Error& e) {
    EXPECT_STREQ(e.what(), "cannot read x: SCARD_E_FILE_NOT_FOUND: no such file on the card");
    EXPECT_EQ(e.code(), SCARD_E_FILE_NOT_FOUND);
  }
}

TEST(AdminKey, TakesSixteenOrTwentyFourBytesOfHexInTheirTwentyFourByteForm) {
  const Bytes k1 = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const Bytes k2 = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  Bytes full = k1;
  full.insert(full.end(), k2.begin(), k2.end());
  full.insert(full.end(), k1.begin(), k1.end());
  for (const char* text : {"0123456789ABCDEFFEDCBA9876543210", "0123456789abcdef fedcba9876543210 0123456789abcdef",
                           "01:23:45:67:89:AB:CD:EF:FE:DC:BA:98:76:54:32:10"}) {
    const Secret key = parseAdminKey(text);
    EXPECT_EQ(Bytes(key.data(), key.data() + key.size()), full) << text;
  }
  for (const char* text : {"", "0123", "0123456789ABCDEFFEDCBA987654321", "0123456789ABCDEFFEDCBA98765432100",
                           "0123456789ABCDEFFEDCBA987654321G", "0 123456789ABCDEFFEDCBA9876543210"}) {
    EXPECT_THROW(parseAdminKey(text), host::Error) << text;
  }
  // The response is the challenge under triple-DES with K1, K2, K1: with
  // K1 = K2 that is single DES, whose FIPS 81 test vector checks it.
  Bytes single = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  Bytes same = single;
  same.insert(same.end(), single.begin(), single.end());
  same.insert(same.end(), single.begin(), single.end());
  const Secret key(std::move(same));
  const std::string challenge = "Now is t";
  const Secret response = challengeResponse(key, reinterpret_cast<const uint8_t*>(challenge.data()), 8);
  EXPECT_EQ(Bytes(response.data(), response.data() + 8), Bytes({0x3F, 0xA4, 0x0E, 0x8A, 0x98, 0x4D, 0x48, 0x15}));
}

TEST(ContainerMap, RecordsRoundTripInTheEightySixByteLayout) {
  std::vector<ContainerRecord> records(2);
  records[1].name = u"{AB}";
  records[1].flags = kContainerValid | kContainerDefault;
  records[1].signatureBits = 1024;
  records[1].keyExchangeBits = 2048;
  const Bytes file = encodeContainerMap(records);
  ASSERT_EQ(file.size(), 2 * kContainerRecordSize);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 86), Bytes(86, 0));
  const Bytes second(file.begin() + 86, file.end());
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 10), Bytes({'{', 0, 'A', 0, 'B', 0, '}', 0, 0, 0}));
  EXPECT_EQ(Bytes(second.begin() + 80, second.end()), Bytes({0x03, 0x00, 0x00, 0x04, 0x00, 0x08}));

  Bytes withTail = file;
  withTail.push_back(0xFF);  // a partial record is ignored
  const auto parsed = parseContainerMap(withTail);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_FALSE(parsed[0].valid());
  EXPECT_EQ(parsed[1].name, u"{AB}");
  EXPECT_EQ(parsed[1].flags, 0x03);
  EXPECT_EQ(parsed[1].signatureBits, 1024);
  EXPECT_EQ(parsed[1].keyExchangeBits, 2048);
  EXPECT_EQ(newContainerName().size(), 38u);
}

TEST(CertificateFile, CompressedFormRoundTripsAndIsRefusedBeyondItsLengthField) {
  struct Case {
    const char* what;
    std::size_t size;
    bool compresses;
  };
  const Case cases[] = {
      {"a certificate's size", 1200, true},
      {"the largest the header announces", 0xFFFF, true},
      {"one byte more", 0x10000, false},
      {"nothing", 0, false},
  };
  for (const Case& c : cases) {
    Bytes der(c.size, 0x5A);
    if (!der.empty()) der[0] = 0x30;
    const auto file = host::compressCertificate(der);
    ASSERT_EQ(file.has_value(), c.compresses) << c.what;
    if (!file) continue;
    EXPECT_EQ(Bytes(file->begin(), file->begin() + 4),
              Bytes({0x01, 0x00, static_cast<uint8_t>(c.size), static_cast<uint8_t>(c.size >> 8)}))
        << c.what;
    EXPECT_EQ((*file)[4], 0x78) << c.what;  // a zlib stream
    EXPECT_EQ(host::certificateFromFile(*file), der) << c.what;
  }
  EXPECT_EQ(host::certificateFileName(0x0A, AT_SIGNATURE), "ksc0a");
  EXPECT_EQ(host::certificateFileName(0, AT_KEYEXCHANGE), "kxc00");
}

// A request signed by a key in memory, as the card would sign it.
std::string requestSignedBy(EVP_PKEY* key, const std::string& subject, bool spoil) {
  return makeCertificateRequest(key, subject, [&](const Bytes& hash) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    Bytes signature;
    if (ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
        EVP_PKEY_sign(ctx, nullptr, &length, hash.data(), hash.size()) == 1) {
      signature.resize(length);
      EVP_PKEY_sign(ctx, signature.data(), &length, hash.data(), hash.size());
    }
    EVP_PKEY_CTX_free(ctx);
    if (spoil && !signature.empty()) signature.back() ^= 1;
    return signature;
  });
}

TEST(CertificateRequest, SubjectsAreParsedAndOnlyAVerifyingSignatureIsAccepted) {
  Pkey key = generateRsaKey(1024);
  const std::string pem = requestSignedBy(key.get(), "/CN=card\\/user/O=Vemra", false);
  EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u) << pem;

  struct Case {
    const char* subject;
    bool spoil;
    const char* message;
  };
  const Case cases[] = {
      {"CN=x", false, "a subject is written /CN="},
      {"/CN", false, "\"CN\" in the subject is not NAME=VALUE"},
      {"/NOPE=x", false, "OpenSSL does not take \"NOPE=x\""},
      {"/CN=x", true, "OpenSSL does not verify the request's signature"},
  };
  for (const Case& c : cases) {
    try {
      requestSignedBy(key.get(), c.subject, c.spoil);
      ADD_FAILURE() << c.subject << " accepted";
    } catch (const host::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.subject << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace vemra::ctl

// CardCreateContainer and CardCreateContainerEx on a scripted card: the key
// file template per key type and role, the key-load stream, the
// replacement of an existing key file and the card's refusals.
#include <algorithm>

#include "common/entry_points.h"
#include "keys_script.h"

namespace vemra::test::keys {
namespace {

// A PRIVATEKEYBLOB of `bitlen` bits whose numbers are recognisable patterns:
// modulus from 0x11, private exponent from 0x83, the CRT values 0xEE.
struct Blob {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> modulus;          // as in the blob, least significant first
  std::vector<std::uint8_t> privateExponent;  // likewise
};
Blob makeBlob(std::uint32_t bitlen, std::uint32_t pubexp = 65537) {
  const std::size_t k = bitlen / 8;
  Blob blob{{0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '2'}, pattern(k, 0x11), pattern(k, 0x83)};
  for (std::uint32_t v : {bitlen, pubexp})
    for (int s = 0; s < 32; s += 8) blob.bytes.push_back(static_cast<std::uint8_t>(v >> s));
  blob.bytes.insert(blob.bytes.end(), blob.modulus.begin(), blob.modulus.end());
  blob.bytes.insert(blob.bytes.end(), 5 * (k / 2), 0xEE);
  blob.bytes.insert(blob.bytes.end(), blob.privateExponent.begin(), blob.privateExponent.end());
  return blob;
}

std::string keyTemplate(unsigned fid, unsigned access, unsigned pin, unsigned keyType, unsigned reference) {
  const std::string p = hex2(pin);
  return "00 E0 00 00 29 62 27 82 01 11 83 02 " + word(fid) + " 86 0A FF FF " + hex2(access) + " " + p + " " + p +
         " FF FF 00 " + p + " FF 8A 01 05 A5 0F 85 01 " + hex2(keyType) + " 86 01 8F 87 01 " + hex2(reference) +
         " 88 01 " + hex2(reference) + " 89 01 0F";
}

// The key-load commands for `blob`, cut at the given piece lengths: the
// exponent field and the modulus, then the private exponent, each most
// significant byte first.
std::vector<std::string> keyLoad(const Blob& blob, std::uint32_t pubexp, const std::vector<std::size_t>& publicPieces,
                                 const std::vector<std::size_t>& privatePieces) {
  std::vector<std::uint8_t> publicPart{0, 0, 0, 0};
  for (int s = 24; s >= 0; s -= 8) publicPart.push_back(static_cast<std::uint8_t>(pubexp >> s));
  publicPart.insert(publicPart.end(), blob.modulus.rbegin(), blob.modulus.rend());
  std::vector<std::uint8_t> privatePart(blob.privateExponent.rbegin(), blob.privateExponent.rend());
  std::vector<std::string> commands;
  for (const auto& [part, pieces] : {std::pair{&publicPart, &publicPieces}, std::pair{&privatePart, &privatePieces}}) {
    std::size_t at = 0;
    for (std::size_t length : *pieces) {
      const bool last = part == &privatePart && at + length == part->size();
      commands.push_back((last ? "80" : "90") + std::string(" 72 01 00 ") + hex2(length) + " " +
                         toHex(std::span(*part).subspan(at, length)));
      at += length;
    }
    EXPECT_EQ(at, part->size()) << "the pieces cover the whole part";
  }
  return commands;
}

class CreateContainerTest : public files::FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    bind();
  }
  // Scripts an import of `blob` into key file `fid` that finds no old file.
  void expectImport(unsigned fid, const std::string& fcp, const std::vector<std::string>& loads) {
    card.expect(kSelectApplication, "90 00").expect(kProbeUser, "90 00").expect(files::selectEf(fid), "6A 82");
    card.expect(fcp, "90 00");
    for (const auto& load : loads) card.expect(load, "90 00");
  }
};

TEST_F(CreateContainerTest, TemplateAndKeyLoadFollowKeySpecRoleAndSize) {
  const struct {
    DWORD keySpec;
    PIN_ID pinId;  // 0: through CardCreateContainer
    BYTE container;
    std::uint32_t bitlen, pubexp;
    unsigned fid, access, pin, keyType, reference;
    std::vector<std::size_t> publicPieces, privatePieces;
  } cases[] = {
      {AT_KEYEXCHANGE, 0, 0, 1024, 65537, 0xB000, 0x7E, 0x01, 0x22, 0x10, {136}, {128}},
      {AT_SIGNATURE, 0, 3, 2048, 65537, 0xB103, 0x7E, 0x01, 0x24, 0x23, {200, 64}, {200, 56}},
      {AT_SIGNATURE, ROLE_ADMIN, 5, 1031, 3, 0xB105, 0x03, 0x03, 0x22, 0x25, {136}, {128}},
      {AT_KEYEXCHANGE, 0x101, 7, 2055, 65537, 0xB007, 0x7E, 0x01, 0x24, 0x17, {200, 64}, {200, 56}},
      // The key reference is an 8-bit sum: 20 + FF wraps to 1F.
      {AT_SIGNATURE, ROLE_USER, 0xFF, 1024, 0x01000001, 0xB1FF, 0x7E, 0x01, 0x22, 0x1F, {136}, {128}},
  };
  for (const auto& c : cases) {
    const Blob blob = makeBlob(c.bitlen, c.pubexp);
    const auto loads = keyLoad(blob, c.pubexp, c.publicPieces, c.privatePieces);
    expectImport(c.fid, keyTemplate(c.fid, c.access, c.pin, c.keyType, c.reference), loads);
    const auto data = const_cast<PBYTE>(blob.bytes.data());
    const DWORD rc = c.pinId == 0 ? CardCreateContainer(&cardData, c.container, 2, c.keySpec, 4096, data)
                                  : CardCreateContainerEx(&cardData, c.container, 2, c.keySpec, 0, data, c.pinId);
    EXPECT_EQ(rc, 0u) << c.fid;
    EXPECT_TRUE(card.finished()) << card.pending();
  }
  // The exact wire form of the stream's first bytes, from the case of row 1.
  const auto sent = sentWithDepth();
  ASSERT_GE(sent.size(), 6u);
  // Modulus and private exponent of the blob end in ... 83 8A and ... F5 FC.
  EXPECT_TRUE(sent[4].starts_with("2 90 72 01 00 88 00 00 00 00 00 01 00 01 8A 83")) << sent[4];
  EXPECT_TRUE(sent[5].starts_with("2 80 72 01 00 80 FC F5")) << sent[5];
  EXPECT_EQ(sent[0].substr(0, 2), "1 ") << "the prologue's selection is outside the transaction";
}

TEST_F(CreateContainerTest, AnExistingKeyFileIsDeletedAndReplaced) {
  const Blob blob = makeBlob(1024);
  card.expect(kSelectApplication, "90 00")
      .expect(kProbeUser, "90 00")
      .expect(files::selectEf(0xB002), "90 00")
      .expect("00 E4 00 00 00", "90 00")
      .expect(keyTemplate(0xB002, 0x7E, 0x01, 0x22, 0x12), "90 00");
  for (const auto& load : keyLoad(blob, 65537, {136}, {128})) card.expect(load, "90 00");
  EXPECT_EQ(CardCreateContainer(&cardData, 2, 2, AT_KEYEXCHANGE, 0, const_cast<PBYTE>(blob.bytes.data())), 0u);
  EXPECT_TRUE(traced("\tFunction CardCreateContainer is done"));
}

TEST_F(CreateContainerTest, RequestsRefusedBeforeAnyCommandOfTheirOwn) {
  Blob blob = makeBlob(1024);
  PBYTE data = blob.bytes.data();
  const struct {
    DWORD keySpec;
    PIN_ID pinId;
    DWORD flags;
    bool blob;
    std::uint32_t bitlen;
    DWORD expected;
  } cases[] = {
      {0, ROLE_USER, 1, true, 1024, SCARD_E_INVALID_PARAMETER},  // key type before role and flags
      {3, 7, 1, true, 1024, SCARD_E_UNSUPPORTED_FEATURE},
      {8, ROLE_USER, 2, true, 1024, SCARD_E_UNSUPPORTED_FEATURE},
      {9, ROLE_USER, 2, true, 1024, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, 3, 1, true, 1024, SCARD_E_INVALID_PARAMETER},  // role before flags
      {AT_SIGNATURE, 0, 2, true, 1024, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, ROLE_USER, 1, true, 1024, SCARD_E_UNSUPPORTED_FEATURE},
      {AT_SIGNATURE, ROLE_USER, 3, true, 1024, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, ROLE_USER, 0, true, 1024, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, ROLE_ADMIN, 2, false, 1024, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, ROLE_ADMIN, 2, true, 1536, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, ROLE_ADMIN, 2, true, 4096, SCARD_E_INVALID_PARAMETER},
      {AT_SIGNATURE, ROLE_ADMIN, 2, true, 1023, SCARD_E_INVALID_PARAMETER},
      // Matches 1024 only when cut to 16 bits: no blob of ours.
      {AT_SIGNATURE, ROLE_ADMIN, 2, true, 1024 + 0x80000, SCARD_E_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    for (int s = 0; s < 32; s += 8) blob.bytes[12 + s / 8] = static_cast<std::uint8_t>(c.bitlen >> s);
    expectSelectApplication();
    const int begins = pcsc().calls(PcscCall::BeginTransaction);
    EXPECT_EQ(CardCreateContainerEx(&cardData, 1, c.flags, c.keySpec, 1024, c.blob ? data : nullptr, c.pinId),
              c.expected)
        << c.keySpec << " " << c.pinId << " " << c.flags << " " << c.bitlen;
    EXPECT_TRUE(card.finished()) << card.pending();
    // Blob checks run inside the transaction; those before them outside it.
    const bool blobCheck = c.keySpec == AT_SIGNATURE && c.flags == 2 && c.pinId == ROLE_ADMIN;
    EXPECT_EQ(pcsc().calls(PcscCall::BeginTransaction) - begins, blobCheck ? 2 : 1) << c.bitlen;
  }
}

TEST_F(CreateContainerTest, CardRefusals) {
  const Blob blob = makeBlob(2048);
  const auto loads = keyLoad(blob, 65537, {200, 64}, {200, 56});
  const std::string fcp = keyTemplate(0xB101, 0x7E, 0x01, 0x24, 0x21);
  const auto steps = [&] {
    files::Script script{{kSelectApplication, "90 00"},
                         {kProbeUser, "90 00"},
                         {files::selectEf(0xB101), "90 00"},
                         {"00 E4 00 00 00", "90 00"},
                         {fcp, "90 00"}};
    for (const auto& load : loads) script.emplace_back(load, "90 00");
    return script;
  }();
  const std::string cleanup = "00 E4 00 00 02 B1 01";
  const struct {
    std::size_t step;
    std::string answer;
    std::string cleanupAnswer;  // empty: no clean-up expected
    DWORD expected;
  } cases[] = {
      {1, "63 C2", "", SCARD_W_SECURITY_VIOLATION},  // nothing selected, deleted or created
      {2, "6F 00", "", SCARD_F_INTERNAL_ERROR},
      {3, "69 82", "", SCARD_W_SECURITY_VIOLATION},
      {3, "6A 82", "", SCARD_F_INTERNAL_ERROR},
      {4, "69 82", "", SCARD_W_SECURITY_VIOLATION},
      {4, "6A 84", "", SCARD_F_INTERNAL_ERROR},
      {6, "6A 80", "90 00", SCARD_E_INVALID_PARAMETER},  // the card refused the key; its file is gone
      {8, "67 00", "69 82", SCARD_F_INTERNAL_ERROR},
  };
  for (const auto& c : cases) {
    expectSteps(steps, c.step, c.answer);
    if (!c.cleanupAnswer.empty()) card.expect(cleanup, c.cleanupAnswer);
    EXPECT_EQ(CardCreateContainer(&cardData, 1, 2, AT_SIGNATURE, 0, const_cast<PBYTE>(blob.bytes.data())), c.expected)
        << c.step << " " << c.answer;
    EXPECT_TRUE(card.finished()) << card.pending();
    EXPECT_TRUE(pcsc().balanced());
  }
}

TEST_F(CreateContainerTest, ImportEndsItsTransactionWhateverFails) {
  const Blob blob = makeBlob(2048);
  injectFailures(
      [&] {
        card.expect(kSelectApplication, "90 00")
            .expect(kProbeUser, "90 00")
            .expect(files::selectEf(0xB000), "90 00")
            .expect("00 E4 00 00 00", "90 00")
            .expect(keyTemplate(0xB000, 0x7E, 0x01, 0x24, 0x10), "90 00");
        for (const auto& load : keyLoad(blob, 65537, {200, 64}, {200, 56})) card.expect(load, "90 00");
      },
      [&] { return CardCreateContainer(&cardData, 0, 2, AT_KEYEXCHANGE, 0, const_cast<PBYTE>(blob.bytes.data())); });
  // The clean-up delete after a refused piece: its transmission failing too.
  injectFailures(
      [&] {
        card.expect(kSelectApplication, "90 00")
            .expect(kProbeUser, "90 00")
            .expect(files::selectEf(0xB000), "6A 82")
            .expect(keyTemplate(0xB000, 0x7E, 0x01, 0x24, 0x10), "90 00")
            .expect(keyLoad(blob, 65537, {200, 64}, {200, 56})[0], "6A 80")
            .expect("00 E4 00 00 02 B0 00", "90 00");
      },
      [&] {
        const DWORD rc =
            CardCreateContainer(&cardData, 0, 2, AT_KEYEXCHANGE, 0, const_cast<PBYTE>(blob.bytes.data()));
        return rc == SCARD_E_INVALID_PARAMETER ? 0u : rc;
      });
}

}  // namespace
}  // namespace vemra::test::keys

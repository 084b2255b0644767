// The card-property entry points on a scripted card (four records per file
// table, two container slots): every property's value, the order of each
// property's checks, and the answers of a card that misbehaves.
#include <cstring>
#include <limits>

#include "common/entry_points.h"
#include "files_script.h"

namespace vemra::test::files {
namespace {

using PropertiesTest = FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);
const std::string kSerialNumber = "80 FE 06 00 00";
constexpr DWORD kUntouched = 0xEEEEEEEE;
constexpr BYTE kFill = 0xEE;

// DWORDs as the bytes of a record.
std::vector<BYTE> dwords(std::initializer_list<DWORD> values) {
  std::vector<BYTE> bytes(values.size() * 4);
  std::memcpy(bytes.data(), std::data(values), bytes.size());
  return bytes;
}
std::vector<BYTE> cardIdentifier() {
  std::vector<BYTE> id(16);
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<BYTE>(0xA0 + i);
  return id;
}

// The reading of root file "cardid" of `length` bytes (entry 0) by CardReadFile.
void expectCardIdRead(ScriptedCard& card, std::span<const BYTE> content) {
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("cardid", static_cast<unsigned>(content.size())) + kOk)
      .expect(selectEf(0x1000), "90 00")
      .expect("00 B0 00 00 " + hex2(static_cast<unsigned>(content.size())), toHex(content) + kOk);
}

// The lookup of "cardid" by CardReadFile or CardWriteFile in a root without it.
void expectNoCardId(ScriptedCard& card) {
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xF100), "90 00");
  for (unsigned r = 1; r <= 4; ++r) card.expect(readRecord(r, 11), kFreeFile + kOk);
  card.expect(selectEf(0xF101), "6A 82");
}

// The user probe, the administrator probe.
const std::string kProbeUser = verifyProbe(0x01);
const std::string kProbeAdmin = verifyProbe(0x03);

class GetProperty : public PropertiesTest {
 protected:
  // CardGetProperty into a 64-byte buffer of kFill whose first DWORD (the
  // version of a record) is `version`.
  DWORD get(const char16_t* name, DWORD flags, DWORD capacity = 64, DWORD version = 1) {
    buffer.assign(64, kFill);
    std::memcpy(buffer.data(), &version, sizeof version);
    length = kUntouched;
    return CardGetProperty(&cardData, reinterpret_cast<LPCWSTR>(name), buffer.data(), capacity, &length, flags);
  }
  std::vector<BYTE> written(std::size_t size) const { return {buffer.begin(), buffer.begin() + size}; }
  // The buffer as get() prepared it, with `value` written over its start.
  static std::vector<BYTE> image(const std::vector<BYTE>& value = {}, DWORD version = 1) {
    std::vector<BYTE> bytes(64, kFill);
    std::memcpy(bytes.data(), &version, sizeof version);
    std::copy(value.begin(), value.end(), bytes.begin());
    return bytes;
  }

  std::vector<BYTE> buffer;
  DWORD length = kUntouched;
};

struct Row {
  const char16_t* name;
  DWORD flags;
  Script script;  // after the prologue's selection
  std::vector<BYTE> value;
};

TEST_F(GetProperty, EveryRowAnswersItsValue) {
  bindSmall();
  const auto id = cardIdentifier();
  const std::string freeSpace = "00 A4 04 04 0C 56 45 4D 52 41 5F 4D 49 4E 49 44 52";
  std::vector<BYTE> chaining(32);
  std::memcpy(chaining.data(), u"ChainingModeCBC", 32);
  const std::vector<Row> rows = {
      {u"Free Space", 0,
       {{kSelectApplication, "90 00"},
        {freeSpace, "62 A5 82 02 12 34" + kOk},
        {selectEf(0xB000), "6A 82"},
        {selectEf(0xB100), "6A 82"},
        {selectEf(0xB001), "90 00"}},
       dwords({1, 0x1234, 1, 2})},
      {u"Capabilities", 0, {}, dwords({1, TRUE, FALSE})},
      {u"Key Sizes", AT_KEYEXCHANGE, {}, dwords({1, 1024, 2048, 2048, 1024})},
      {u"Key Sizes", AT_SIGNATURE, {}, dwords({1, 1024, 2048, 2048, 1024})},
      {u"Read Only Mode", 0, {}, dwords({0})},
      {u"Cache Mode", 0, {}, dwords({CP_CACHE_MODE_NO_CACHE})},
      {u"Supports Windows x.509 Enrollment", 0, {}, dwords({TRUE})},
      {u"Card Identifier", 0, {}, id},
      {u"Card Serial Number", 0, {{kSerialNumber, "56 45 00 00 12 34 56 78" + kOk}},
       {0x56, 0x45, 0x00, 0x00, 0x12, 0x34, 0x56}},
      {u"PIN Information", ROLE_USER, {}, dwords({1, AlphaNumericPinType, PrimaryCardPin, 0x06, 0x04, 6, 0, 0, 0})},
      {u"PIN Information", ROLE_ADMIN, {},
       dwords({1, ChallengeResponsePinType, AdministratorPin, 0x04, 0, 6, 0, 0, 0})},
      {u"PIN List", 0, {}, dwords({0x06})},
      {u"Authenticated State", 0, {{kProbeUser, "90 00"}, {kProbeAdmin, "63 C3"}}, dwords({0x02})},
      {u"PIN Strength Verify", ROLE_USER, {}, dwords({3})},
      {u"PIN Strength Verify", ROLE_ADMIN, {}, dwords({1})},
      {u"Key Import Support", 0, {}, dwords({0})},
      {u"Algorithms", 1, {}, {}},
      {u"Padding Schemes", 1, {}, dwords({CARD_PADDING_NONE})},
      {u"Padding Schemes", 2, {}, dwords({CARD_PADDING_PKCS1})},
      {u"Chaining Modes", 0, {}, chaining},
  };
  for (const Row& row : rows) {
    const std::string name(row.name, row.name + std::char_traits<char16_t>::length(row.name));
    expectSelectApplication();
    expectSteps(row.script);
    if (std::u16string_view(row.name) == u"Card Identifier") expectCardIdRead(card, id);
    ASSERT_EQ(get(row.name, row.flags), 0u) << name;
    EXPECT_EQ(length, row.value.size()) << name;
    EXPECT_EQ(buffer, image(row.value)) << name;
    EXPECT_TRUE(card.finished()) << name;
  }
  for (const char16_t* name : {u"PIN Strength Change", u"PIN Strength Unblock"}) {
    expectSelectApplication();
    EXPECT_EQ(get(name, 0), SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(buffer, image());
  }
}

struct Refusal {
  const char16_t* name;
  DWORD flags;
  DWORD capacity;
  DWORD version;
  DWORD result;
  DWORD length;  // *pdwDataLen afterwards
};

TEST_F(GetProperty, ChecksRunInEachPropertysOrderBeforeTheCardIsAsked) {
  bindSmall();
  const Refusal refusals[] = {
      // Flags before size: the size is not stored.
      {u"Key Sizes", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"Card Serial Number", 1, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"Card Identifier", 2, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"Supports Windows x.509 Enrollment", 1, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"Algorithms", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      // Size before flags: it is.
      {u"Capabilities", 1, 64, 1, SCARD_E_INVALID_PARAMETER, 12},
      {u"Free Space", 3, 64, 1, SCARD_E_INVALID_PARAMETER, 16},
      // The buffer, then the version.
      {u"Free Space", 0, 15, 1, ERROR_INSUFFICIENT_BUFFER, 16},
      {u"Free Space", 0, 16, 2, ERROR_REVISION_MISMATCH, 16},
      {u"Key Sizes", 2, 19, 9, ERROR_INSUFFICIENT_BUFFER, 20},
      {u"Key Sizes", 2, 20, 2, ERROR_REVISION_MISMATCH, 20},
      {u"Card Serial Number", 0, 6, 1, ERROR_INSUFFICIENT_BUFFER, 7},
      {u"Card Identifier", 0, 15, 1, ERROR_INSUFFICIENT_BUFFER, 16},
      {u"Authenticated State", 0, 3, 1, ERROR_INSUFFICIENT_BUFFER, 4},
      {u"Chaining Modes", 0, 31, 1, ERROR_INSUFFICIENT_BUFFER, 32},
      // The buffer before the flags.
      {u"Padding Schemes", 5, 2, 1, ERROR_INSUFFICIENT_BUFFER, 4},
      {u"Padding Schemes", 5, 4, 1, SCARD_E_INVALID_PARAMETER, 4},
      {u"PIN Information", 3, 35, 1, ERROR_INSUFFICIENT_BUFFER, 36},
      {u"PIN Information", 3, 36, 7, ERROR_REVISION_MISMATCH, 36},
      {u"PIN Information", 3, 36, 6, SCARD_E_INVALID_PARAMETER, 36},
      // Names match whole and exactly.
      {u"Free Spac", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"Free Space ", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"free space", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
  };
  for (const Refusal& r : refusals) {
    const std::string name(r.name, r.name + std::char_traits<char16_t>::length(r.name));
    expectSelectApplication();
    EXPECT_EQ(get(r.name, r.flags, r.capacity, r.version), r.result) << name << " " << r.flags;
    EXPECT_EQ(length, r.length) << name << " " << r.flags;
    // Nothing is written on failure, except the PIN_INFO record's dwFlags,
    // which is cleared before the PIN identifier is refused.
    std::vector<BYTE> expected = image({}, r.version);
    if (r.result == SCARD_E_INVALID_PARAMETER && name == "PIN Information") std::fill_n(expected.begin() + 32, 4, 0);
    EXPECT_EQ(buffer, expected) << name << " " << r.flags;
  }

  // NULL arguments.
  BYTE data[4];
  DWORD size = 0;
  const auto list = reinterpret_cast<LPCWSTR>(u"PIN List");
  expectSelectApplication();
  EXPECT_EQ(CardGetProperty(&cardData, nullptr, data, 4, &size, 0), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardGetProperty(&cardData, list, nullptr, 4, &size, 0), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardGetProperty(&cardData, list, data, 4, nullptr, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(sentCommands().size(), std::size(refusals) + 3) << "only the prologue's selections";
}

TEST_F(GetProperty, CardIdentifierNeverRunsPastTheBuffer) {
  bindSmall();
  // A 20-byte "cardid" for a 16-byte buffer: the size needed, nothing copied,
  // the file's buffer given back (the fixture counts the blocks).
  std::vector<BYTE> longer(20, 0x5A);
  expectSelectApplication();
  expectCardIdRead(card, longer);
  EXPECT_EQ(get(u"Card Identifier", 0, 16), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 20u);
  EXPECT_EQ(buffer, image());
  // A shorter one fits and is answered with its length.
  const std::vector<BYTE> shorter = {1, 2, 3, 4, 5};
  expectSelectApplication();
  expectCardIdRead(card, shorter);
  ASSERT_EQ(get(u"Card Identifier", 0, 16), 0u);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(buffer, image(shorter));
  // CardReadFile's failure is the answer.
  expectSelectApplication();
  expectNoCardId(card);
  EXPECT_EQ(get(u"Card Identifier", 0, 16), SCARD_E_FILE_NOT_FOUND);
}

TEST_F(GetProperty, SerialNumberAnswersOfAnyLength) {
  bindSmall();
  expectSelectApplication();
  card.expect(kSerialNumber, "01 02 03 04 05 06" + kOk);
  EXPECT_EQ(get(u"Card Serial Number", 0), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(buffer, image());
  // A status word alone, even success, is no serial number.
  expectSelectApplication();
  card.expect(kSerialNumber, "6D 00");
  EXPECT_EQ(get(u"Card Serial Number", 0), SCARD_F_INTERNAL_ERROR);
  // 300 bytes: the first seven, nothing beyond.
  std::vector<BYTE> many(300);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<BYTE>(i + 1);
  expectSelectApplication();
  card.expect(kSerialNumber, toHex(many) + kOk);
  ASSERT_EQ(get(u"Card Serial Number", 0, 7), 0u);
  EXPECT_EQ(buffer, image({1, 2, 3, 4, 5, 6, 7}));
  // A PC/SC failure passes through.
  expectSelectApplication();
  card.expect(kSerialNumber, "90 00");
  pcsc().failCall(PcscCall::Transmit, 2, 0x80100069);
  EXPECT_EQ(get(u"Card Serial Number", 0), 0x80100069u);
  card.clear();
}

TEST_F(GetProperty, AuthenticatedStateFromTheTwoProbes) {
  bindSmall();
  struct Case {
    std::string user, admin;  // answers; empty: not asked
    DWORD result, state;
  };
  const Case cases[] = {
      {"90 00", "90 00", 0, 0x06},
      {"63 C2", "90 00", 0, 0x04},
      {"69 83", "6A 88", 0, 0x00},
      {"01 90 00", "", SCARD_F_INTERNAL_ERROR, 0x00},  // data in a probe's answer: no administrator probe
      {"90 00", "00 90 00", SCARD_F_INTERNAL_ERROR, 0x02},  // the user's bit stays written
  };
  for (const Case& c : cases) {
    expectSelectApplication();
    card.expect(kProbeUser, c.user);
    if (!c.admin.empty()) card.expect(kProbeAdmin, c.admin);
    EXPECT_EQ(get(u"Authenticated State", 0), c.result) << c.user << " / " << c.admin;
    EXPECT_EQ(written(4), dwords({c.state})) << c.user << " / " << c.admin;
  }
  // A PC/SC failure of the administrator's probe passes through.
  expectSelectApplication();
  card.expect(kProbeUser, "90 00").expect(kProbeAdmin, "90 00");
  pcsc().failCall(PcscCall::Transmit, 3, 0x80100069);
  EXPECT_EQ(get(u"Authenticated State", 0), 0x80100069u);
  EXPECT_EQ(written(4), dwords({0x02}));
  card.clear();
}

TEST_F(GetProperty, FreeSpaceFailsAsTheQueryDoes) {
  bindSmall();
  expectSelectApplication();
  card.expect(kSelectApplication, "90 00").expect("00 A4 04 04 0C 56 45 4D 52 41 5F 4D 49 4E 49 44 52", "62 A5" + kOk);
  EXPECT_EQ(get(u"Free Space", 0), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(length, 16u);
}

TEST_F(PropertiesTest, SetPropertyWritesOnlyTheCardIdentifier) {
  bindSmall();
  auto id = cardIdentifier();
  struct Case {
    const char16_t* name;
    bool data;
    DWORD length, flags, result;
  };
  const Case cases[] = {
      {u"Card Identifier", true, 15, 0, SCARD_E_INVALID_PARAMETER},
      {u"Card Identifier", true, 17, 0, SCARD_E_INVALID_PARAMETER},
      {u"Card Identifier", true, 16, 1, SCARD_E_INVALID_PARAMETER},
      {u"Card Identifier", false, 16, 0, SCARD_E_INVALID_PARAMETER},
      {u"Read Only Mode", true, 4, 0, SCARD_E_INVALID_PARAMETER},
      {u"PIN Strength Change", true, 4, 1, SCARD_E_INVALID_PARAMETER},
      {u"Card Identifiers", true, 16, 0, SCARD_E_INVALID_PARAMETER},
      {u"PIN Context String", false, 0, 9, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Free Space", false, 0, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Information", true, 36, 2, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Information", true, 36, 0, SCARD_E_INVALID_PARAMETER},
      {u"PIN Strength Verify", true, 0, 1, SCARD_E_INVALID_PARAMETER},
      {u"Parent Window", true, sizeof(void*), 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Parent Window", true, sizeof(void*) == 8 ? 4 : 8, 0, SCARD_E_INVALID_PARAMETER},
      {u"Parent Window", true, sizeof(void*), 1, SCARD_E_INVALID_PARAMETER},
      {u"Cache Mode", true, 4, 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Card Serial Number", false, 7, 0, SCARD_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    expectSelectApplication();
    EXPECT_EQ(CardSetProperty(&cardData, reinterpret_cast<LPCWSTR>(c.name), c.data ? id.data() : nullptr, c.length,
                              c.flags),
              c.result)
        << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)) << " " << c.length;
  }
  expectSelectApplication();
  EXPECT_EQ(CardSetProperty(&cardData, nullptr, id.data(), 16, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(sentCommands().size(), std::size(cases) + 1) << "only the prologue's selections";

  // 16 bytes go into "cardid" as CardWriteFile writes them, and its failure is the answer.
  expectSelectApplication();
  card.expect(kSelectApplication, "90 00")
      .expect(selectEf(0xF100), "90 00")
      .expect(readRecord(1, 11), fileRecord("cardid", 16) + kOk)
      .expect(readRecord(2, 1), "00" + kOk);
  card.expect(selectEf(0x1000), "90 00").expect("00 D6 00 00 10 " + toHex(id), "90 00");
  EXPECT_EQ(CardSetProperty(&cardData, reinterpret_cast<LPCWSTR>(u"Card Identifier"), id.data(), 16, 0), 0u);
  expectSelectApplication();
  expectNoCardId(card);
  EXPECT_EQ(CardSetProperty(&cardData, reinterpret_cast<LPCWSTR>(u"Card Identifier"), id.data(), 16, 0),
            SCARD_E_FILE_NOT_FOUND);
}

TEST_F(PropertiesTest, CapabilitiesAndKeySizes) {
  bindSmall();
  // The record says no certificate compression, where the property says yes.
  CARD_CAPABILITIES capabilities{0, 7, 7};
  expectSelectApplication();
  ASSERT_EQ(CardQueryCapabilities(&cardData, &capabilities), 0u);
  EXPECT_EQ(capabilities.dwVersion, 0u);
  EXPECT_EQ(capabilities.fCertificateCompression, FALSE);
  EXPECT_EQ(capabilities.fKeyGen, FALSE);
  capabilities = {2, 7, 7};
  expectSelectApplication();
  EXPECT_EQ(CardQueryCapabilities(&cardData, &capabilities), ERROR_REVISION_MISMATCH);
  EXPECT_EQ(capabilities.fCertificateCompression, 7);

  struct Case {
    DWORD keySpec, flags, version, result;
  };
  const Case cases[] = {
      {AT_KEYEXCHANGE, 0, 1, 0}, {AT_SIGNATURE, 0, 0, 0},
      {3, 0, 1, SCARD_E_UNSUPPORTED_FEATURE}, {8, 0, 1, SCARD_E_UNSUPPORTED_FEATURE},
      {0, 0, 1, SCARD_E_INVALID_PARAMETER}, {9, 0, 1, SCARD_E_INVALID_PARAMETER},
      {3, 1, 1, SCARD_E_INVALID_PARAMETER},  // the flags first
      {AT_SIGNATURE, 0, 2, ERROR_REVISION_MISMATCH},
  };
  for (const Case& c : cases) {
    CARD_KEY_SIZES sizes{c.version, 0, 0, 0, 0};
    expectSelectApplication();
    EXPECT_EQ(CardQueryKeySizes(&cardData, c.keySpec, c.flags, &sizes), c.result) << c.keySpec << " " << c.flags;
    const CARD_KEY_SIZES expected =
        c.result == 0 ? CARD_KEY_SIZES{c.version, 1024, 2048, 2048, 1024} : CARD_KEY_SIZES{c.version, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&sizes, &expected, sizeof sizes), 0) << c.keySpec;
  }
  expectSelectApplication();
  EXPECT_EQ(CardQueryKeySizes(&cardData, AT_SIGNATURE, 0, nullptr), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardQueryKeySizes(&cardData, 4, 0, nullptr), SCARD_E_UNSUPPORTED_FEATURE);
}

TEST_F(PropertiesTest, AlgorithmProperties) {
  bindSmall();
  struct Case {
    const char16_t* algorithm;
    const char16_t* property;
    DWORD capacity, flags, result, length;
  };
  const Case cases[] = {
      {u"3DES_112", u"Key Sizes", 20, 0, 0, 20},
      {u"3DES_112", u"Key Sizes", 19, 0, ERROR_INSUFFICIENT_BUFFER, 20},
      {u"3DES_112", u"Key Sizes", 20, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"3DES_112", u"Key Length", 20, 0, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"3DES_112", u"Key Sizes ", 20, 0, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"3DES", u"Key Sizes", 20, 0, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"AES", u"Anything", 20, 0, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"3DES_1", u"Key Sizes", 20, 0, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"RSA", u"Key Sizes", 20, 0, SCARD_E_INVALID_PARAMETER, kUntouched},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> data(24, kFill);
    DWORD length = kUntouched;
    expectSelectApplication();
    EXPECT_EQ(CardGetAlgorithmProperty(&cardData, reinterpret_cast<LPCWSTR>(c.algorithm),
                                       reinterpret_cast<LPCWSTR>(c.property), data.data(), c.capacity, &length,
                                       c.flags),
              c.result);
    EXPECT_EQ(length, c.length);
    const auto expected = c.result == 0 ? dwords({1, 128, 128, 128, 0}) : std::vector<BYTE>(20, kFill);
    EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + 20), expected);
  }
  DWORD length = kUntouched;
  const auto des = reinterpret_cast<LPCWSTR>(u"3DES_112");
  const auto sizes = reinterpret_cast<LPCWSTR>(u"Key Sizes");
  expectSelectApplication();
  EXPECT_EQ(CardGetAlgorithmProperty(&cardData, des, sizes, nullptr, 20, &length, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(length, 20u) << "the size is stored before the buffer is tested";
  for (auto [algorithm, property] : {std::pair{des, LPCWSTR{}}, std::pair{LPCWSTR{}, sizes}}) {
    expectSelectApplication();
    EXPECT_EQ(CardGetAlgorithmProperty(&cardData, algorithm, property, nullptr, 20, &length, 0),
              SCARD_E_INVALID_PARAMETER);
  }
  expectSelectApplication();
  EXPECT_EQ(CardGetAlgorithmProperty(&cardData, des, sizes, nullptr, 20, nullptr, 0), SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vemra::test::files

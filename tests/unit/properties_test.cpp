// The card-property entry points on a scripted card (four records per file
// table, two container slots): every property's value, the order of each
// property's checks, and cards whose answers do not fit.
#include <cstring>

#include "common/entry_points.h"
#include "files_script.h"

namespace vemra::test::files {
namespace {

const std::string kSelectApplication(profile::kSelectApplication);
const std::string kSerialNumber = "80 FE 06 00 00";
constexpr DWORD kUntouched = 0xEEEEEEEE;
constexpr BYTE kFill = 0xEE;

std::vector<BYTE> dwords(std::initializer_list<DWORD> values) {
  std::vector<BYTE> bytes(values.size() * 4);
  std::memcpy(bytes.data(), std::data(values), bytes.size());
  return bytes;
}
LPCWSTR wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

// The commands of CardReadFile reading `content` from the root file "cardid".
Script cardIdRead(const std::vector<BYTE>& content) {
  const auto size = static_cast<unsigned>(content.size());
  return {{kSelectApplication, "90 00"},
          {selectEf(0xF100), "90 00"},
          {readRecord(1, 11), fileRecord("cardid", size) + kOk},
          {selectEf(0x1000), "90 00"},
          {"00 B0 00 00 " + hex2(size), toHex(content) + kOk}};
}

class PropertiesTest : public FilesTest {
 protected:
  // After the prologue's selection and `script`, CardGetProperty into 64
  // bytes of kFill whose first DWORD (a record's version) is `version`.
  DWORD get(const char16_t* name, DWORD flags, const Script& script = {}, DWORD capacity = 64, DWORD version = 1) {
    buffer = image({}, version);
    length = kUntouched;
    expectSelectApplication();
    expectSteps(script);
    return CardGetProperty(&cardData, wide(name), buffer.data(), capacity, &length, flags);
  }
  // The buffer as get() prepares it, with `value` written over its start.
  static std::vector<BYTE> image(const std::vector<BYTE>& value = {}, DWORD version = 1) {
    std::vector<BYTE> bytes(64, kFill);
    std::memcpy(bytes.data(), &version, sizeof version);
    std::copy(value.begin(), value.end(), bytes.begin());
    return bytes;
  }

  std::vector<BYTE> buffer;
  DWORD length = kUntouched;
};

TEST_F(PropertiesTest, EveryPropertyAnswersItsValue) {
  bindSmall();
  const std::vector<BYTE> id = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  std::vector<BYTE> chaining(32);
  std::memcpy(chaining.data(), u"ChainingModeCBC", 32);
  struct Row {
    const char16_t* name;
    DWORD flags;
    Script script;
    std::vector<BYTE> value;
  };
  const Row rows[] = {
      {u"Free Space", 0,
       {{kSelectApplication, "90 00"},
        {"00 A4 04 04 0C 56 45 4D 52 41 5F 4D 49 4E 49 44 52", "62 A5 82 02 12 34" + kOk},
        {selectEf(0xB000), "6A 82"},
        {selectEf(0xB100), "6A 82"},
        {selectEf(0xB001), "90 00"}},
       dwords({1, 0x1234, 1, 2})},
      {u"Capabilities", 0, {}, dwords({1, TRUE, FALSE})},
      {u"Key Sizes", AT_KEYEXCHANGE, {}, dwords({1, 1024, 2048, 2048, 1024})},
      {u"Read Only Mode", 0, {}, dwords({FALSE})},
      {u"Cache Mode", 0, {}, dwords({CP_CACHE_MODE_NO_CACHE})},
      {u"Supports Windows x.509 Enrollment", 0, {}, dwords({TRUE})},
      {u"Card Identifier", 0, cardIdRead(id), id},
      {u"Card Serial Number", 0, {{kSerialNumber, "56 45 00 00 12 34 56 78" + kOk}},
       {0x56, 0x45, 0, 0, 0x12, 0x34, 0x56}},
      {u"PIN Information", ROLE_USER, {}, dwords({1, AlphaNumericPinType, 5, 0x06, 0x04, 6, 0, 0, 0})},
      {u"PIN Information", ROLE_ADMIN, {},
       dwords({1, ChallengeResponsePinType, 4, 0x04, 0, 6, 0, 0, 0})},
      {u"PIN List", 0, {}, dwords({0x06})},
      {u"Authenticated State", 0, {{verifyProbe(0x01), "90 00"}, {verifyProbe(0x03), "63 C3"}}, dwords({0x02})},
      {u"PIN Strength Verify", ROLE_USER, {}, dwords({3})},
      {u"PIN Strength Verify", ROLE_ADMIN, {}, dwords({1})},
      {u"Key Import Support", 0, {}, dwords({0})},
      {u"Algorithms", 1, {}, {}},
      {u"Padding Schemes", AT_KEYEXCHANGE, {}, dwords({CARD_PADDING_NONE})},
      {u"Padding Schemes", AT_SIGNATURE, {}, dwords({CARD_PADDING_PKCS1})},
      {u"Chaining Modes", 0, {}, chaining},
  };
  for (const Row& row : rows) {
    const std::u16string_view name = row.name;
    ASSERT_EQ(get(row.name, row.flags, row.script), 0u) << std::string(name.begin(), name.end());
    EXPECT_EQ(length, row.value.size()) << std::string(name.begin(), name.end());
    EXPECT_EQ(buffer, image(row.value)) << std::string(name.begin(), name.end());
  }
}

TEST_F(PropertiesTest, ChecksRunInEachPropertysOrderBeforeTheCardIsAsked) {
  bindSmall();
  struct Refusal {
    const char16_t* name;
    DWORD flags, capacity, version, result, length;
  };
  const Refusal refusals[] = {
      {u"Key Sizes", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},  // flags before size
      {u"Capabilities", 1, 64, 1, SCARD_E_INVALID_PARAMETER, 12},  // size before flags
      {u"Free Space", 0, 15, 1, ERROR_INSUFFICIENT_BUFFER, 16},
      {u"Free Space", 0, 16, 2, ERROR_REVISION_MISMATCH, 16},
      {u"Key Sizes", 2, 20, 2, ERROR_REVISION_MISMATCH, 20},
      {u"Card Serial Number", 0, 6, 1, ERROR_INSUFFICIENT_BUFFER, 7},
      {u"Card Identifier", 0, 15, 1, ERROR_INSUFFICIENT_BUFFER, 16},
      {u"Padding Schemes", 5, 2, 1, ERROR_INSUFFICIENT_BUFFER, 4},  // the buffer before the flags
      {u"PIN Information", 3, 35, 1, ERROR_INSUFFICIENT_BUFFER, 36},
      {u"PIN Information", 1, 36, 7, ERROR_REVISION_MISMATCH, 36},
      {u"PIN Information", 3, 36, 6, SCARD_E_INVALID_PARAMETER, 36},  // after clearing the record's dwFlags
      {u"Free Spac", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},  // names match whole and exactly
      {u"free space", 0, 64, 1, SCARD_E_INVALID_PARAMETER, kUntouched},
      {u"PIN Strength Change", 0, 64, 1, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"PIN Strength Unblock", 0, 64, 1, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
  };
  for (const Refusal& r : refusals) {
    const std::u16string_view name = r.name;
    EXPECT_EQ(get(r.name, r.flags, {}, r.capacity, r.version), r.result) << std::string(name.begin(), name.end());
    EXPECT_EQ(length, r.length) << std::string(name.begin(), name.end());
    std::vector<BYTE> expected = image({}, r.version);
    if (name == u"PIN Information" && r.result == SCARD_E_INVALID_PARAMETER) {
      std::fill_n(expected.begin() + 32, 4, 0);
    }
    EXPECT_EQ(buffer, expected) << std::string(name.begin(), name.end());
  }
  EXPECT_EQ(sentCommands().size(), std::size(refusals)) << "only the prologue's selections";
}

TEST_F(PropertiesTest, AnswersThatDoNotFitAreRefused) {
  bindSmall();
  // A "cardid" longer than the buffer: the size needed, nothing copied, the
  // file's buffer given back (the fixture counts the blocks).
  EXPECT_EQ(get(u"Card Identifier", 0, cardIdRead(std::vector<BYTE>(20, 0x5A)), 16), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 20u);
  EXPECT_EQ(buffer, image());
  // Serial numbers: six bytes are too few; of 300 the first seven count.
  EXPECT_EQ(get(u"Card Serial Number", 0, {{kSerialNumber, "01 02 03 04 05 06" + kOk}}), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(buffer, image());
  std::vector<BYTE> many(300, 0x77);
  ASSERT_EQ(get(u"Card Serial Number", 0, {{kSerialNumber, toHex(many) + kOk}}, 7), 0u);
  EXPECT_EQ(buffer, image(std::vector<BYTE>(7, 0x77)));
  // A probe answered with data: no administrator probe after the user's; the
  // user's bit stays written when the administrator's fails.
  EXPECT_EQ(get(u"Authenticated State", 0, {{verifyProbe(0x01), "00 90 00"}}), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(buffer, image(dwords({0})));
  EXPECT_EQ(get(u"Authenticated State", 0, {{verifyProbe(0x01), "90 00"}, {verifyProbe(0x03), "00 90 00"}}),
            SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(buffer, image(dwords({0x02})));
}

TEST_F(PropertiesTest, SetPropertyWritesOnlyTheCardIdentifier) {
  bindSmall();
  std::vector<BYTE> id(16, 0x42);
  struct Case {
    const char16_t* name;
    DWORD length, flags, result;
  };
  const Case cases[] = {
      {u"Card Identifier", 15, 0, SCARD_E_INVALID_PARAMETER}, {u"Card Identifier", 16, 1, SCARD_E_INVALID_PARAMETER},
      {u"Read Only Mode", 4, 0, SCARD_E_INVALID_PARAMETER}, {u"PIN Context String", 0, 9, SCARD_E_UNSUPPORTED_FEATURE},
      {u"PIN Information", 36, 0, SCARD_E_INVALID_PARAMETER}, {u"PIN Information", 36, 2, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Parent Window", sizeof(void*), 0, SCARD_E_UNSUPPORTED_FEATURE},
      {u"Parent Window", sizeof(void*) / 2, 0, SCARD_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    expectSelectApplication();
    EXPECT_EQ(CardSetProperty(&cardData, wide(c.name), id.data(), c.length, c.flags), c.result) << c.length;
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases)) << "only the prologue's selections";
  // 16 bytes go to CardWriteFile, whose failure is the answer.
  expectSelectApplication();
  pcsc().failCall(PcscCall::Transmit, 2, 0x80100069);  // CardWriteFile's own selection
  EXPECT_EQ(CardSetProperty(&cardData, wide(u"Card Identifier"), id.data(), 16, 0), 0x80100069u);
}

TEST_F(PropertiesTest, CapabilitiesKeySizesAndAlgorithms) {
  bindSmall();
  CARD_CAPABILITIES capabilities{0, 7, 7};
  expectSelectApplication();
  ASSERT_EQ(CardQueryCapabilities(&cardData, &capabilities), 0u);
  EXPECT_EQ(capabilities.fCertificateCompression, FALSE) << "unlike the \"Capabilities\" property";
  EXPECT_EQ(capabilities.fKeyGen, FALSE);
  struct KeySpec {
    DWORD keySpec, flags, result;
  };
  for (const KeySpec& k : {KeySpec{2, 0, 0}, KeySpec{3, 0, SCARD_E_UNSUPPORTED_FEATURE},
                           KeySpec{9, 0, SCARD_E_INVALID_PARAMETER}, KeySpec{3, 1, SCARD_E_INVALID_PARAMETER}}) {
    CARD_KEY_SIZES sizes{1, 0, 0, 0, 0};
    expectSelectApplication();
    EXPECT_EQ(CardQueryKeySizes(&cardData, k.keySpec, k.flags, &sizes), k.result) << k.keySpec;
    EXPECT_EQ(sizes.dwMaximumBitlen, k.result == 0 ? 2048u : 0u) << k.keySpec;
  }
  struct Case {
    const char16_t *algorithm, *property;
    DWORD capacity, result, length;
  };
  const Case cases[] = {
      {u"3DES_112", u"Key Sizes", 20, 0, 20},
      {u"3DES_112", u"Key Sizes", 19, ERROR_INSUFFICIENT_BUFFER, 20},
      {u"3DES_112", u"Key Size", 20, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"AES", u"Anything", 20, SCARD_E_UNSUPPORTED_FEATURE, kUntouched},
      {u"3DES_11", u"Key Sizes", 20, SCARD_E_INVALID_PARAMETER, kUntouched},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> data(20, kFill);
    DWORD size = kUntouched;
    expectSelectApplication();
    EXPECT_EQ(CardGetAlgorithmProperty(&cardData, wide(c.algorithm), wide(c.property), data.data(), c.capacity, &size,
                                       0),
              c.result);
    EXPECT_EQ(size, c.length);
    EXPECT_EQ(data, c.result == 0 ? dwords({1, 128, 128, 128, 0}) : std::vector<BYTE>(20, kFill));
  }
}

}  // namespace
}  // namespace vemra::test::files

// The module's limits: the PIN lengths it announces, the form of the
// security officer's new key, and the data signed as it is.
#include <limits>

#include "p11_fixture.h"

namespace vemra::p11::test {
namespace {

CK_UTF8CHAR_PTR text(const std::string& s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data())); }

TEST_F(P11Test, AnnouncedPinLengthsTakeTheSecurityOfficersKey) {
  CK_TOKEN_INFO info{};
  ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
  EXPECT_EQ(info.ulMinPinLen, 4u);
  EXPECT_EQ(info.ulMaxPinLen, 48u) << "the administrator key is 48 hexadecimal digits";
  // The user PIN keeps the card's own limit.
  const CK_SESSION_HANDLE s = open();
  EXPECT_EQ(login(s, "123456789"), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(s, std::string(kAdminHex), CKU_SO), CKR_OK);
}

TEST_F(P11Test, SecurityOfficersNewKeyOfTheWrongFormIsAnInvalidPin) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s, kAdminHex, CKU_SO), CKR_OK);
  const std::string current = kAdminHex;
  struct Case {
    const char* what;
    std::string next;
    CK_RV expected;
  };
  const Case cases[] = {
      {"not hexadecimal", std::string(48, 'g'), CKR_PIN_INVALID},
      {"too short", std::string(46, 'a'), CKR_PIN_INVALID},
      {"three different keys", "0123456789abcdef" "fedcba9876543210" "1111111111111111", CKR_PIN_INVALID},
      {"two keys, the first repeated", "0123456789abcdef" "fedcba9876543210" "0123456789abcdef", CKR_OK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(f->C_SetPIN(s, text(current), current.size(), text(c.next), c.next.size()), c.expected) << c.what;
  }
  EXPECT_EQ(fakeCard().adminKey[0], 0x01) << "the card has the key of the last case";
}

TEST_F(P11Test, DataSignedAsItIsIsBoundedWhateverThePartsLength) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
  const CK_OBJECT_HANDLE key = objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY);
  CK_BYTE part[8] = {};
  struct Case {
    const char* what;
    CK_ULONG first;
    CK_ULONG second;
    CK_RV expected;
  };
  const Case cases[] = {
      {"up to the bound", 500, 12, CKR_OK},
      {"one beyond", 500, 13, CKR_DATA_LEN_RANGE},
      {"a length that wraps the sum", 5, std::numeric_limits<CK_ULONG>::max() - 2, CKR_DATA_LEN_RANGE},
  };
  Bytes data(512, 0x61);
  for (const Case& c : cases) {
    ASSERT_EQ(f->C_SignInit(s, &m, key), CKR_OK) << c.what;
    ASSERT_EQ(f->C_SignUpdate(s, data.data(), c.first), CKR_OK) << c.what;
    CK_BYTE* second = c.second <= data.size() - c.first ? data.data() + c.first : part;
    EXPECT_EQ(f->C_SignUpdate(s, second, c.second), c.expected) << c.what;
    CK_ULONG length = 0;
    if (c.expected == CKR_OK) {
      // Taken in, but 512 bytes leave no room for a 2048-bit key's padding.
      EXPECT_EQ(f->C_SignFinal(s, nullptr, &length), CKR_DATA_LEN_RANGE) << c.what;
    }
    EXPECT_EQ(f->C_SignFinal(s, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED) << c.what << ": the operation ended";
  }
  EXPECT_TRUE(fakeCard().signs.empty());
}

}  // namespace
}  // namespace vemra::p11::test

// Secrets the module handles leave nothing behind in freed memory: the
// private key's numbers on their way to the card, and decrypted plaintext
// kept for the caller, however its session ends.
#include "freed_memory_watch.h"
#include "key_template.h"
#include "p11_fixture.h"

namespace vemra::p11::test {
namespace {

using vemra::test::FreedMemoryWatch;

// Two stretches of each private number, as the template gives it (most
// significant byte first) and as the key blob holds it (reversed).
std::vector<Bytes> privateStretches(const KeyTemplate& t) {
  std::vector<Bytes> out;
  for (std::size_t i = 2; i < t.numbers.size(); ++i) {
    const Bytes& n = t.numbers[i];
    const Bytes stretch(n.begin() + 4, n.begin() + 20);
    out.push_back(stretch);
    out.emplace_back(stretch.rbegin(), stretch.rend());
  }
  return out;
}

TEST_F(P11Test, ImportedKeysNumbersAreWipedBeforeTheirMemoryIsFreed) {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  KeyTemplate t(key);
  EVP_PKEY_free(key);
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  CK_BYTE foreignId[] = {0, AT_KEYEXCHANGE};  // an occupied container: refused once the blob is built
  struct Case {
    const char* what;
    bool refused;
  };
  for (const Case& c : {Case{"imported", false}, Case{"refused after the blob was built", true}}) {
    std::vector<CK_ATTRIBUTE> tmpl = t.attributes;
    if (c.refused) tmpl.push_back({CKA_ID, foreignId, sizeof foreignId});
    CK_OBJECT_HANDLE handle = 0;
    std::size_t leaks = 0;
    {
      FreedMemoryWatch watch(privateStretches(t));
      EXPECT_EQ(f->C_CreateObject(s, tmpl.data(), tmpl.size(), &handle),
                c.refused ? CKR_ATTRIBUTE_VALUE_INVALID : CKR_OK)
          << c.what;
      leaks = watch.leaks();
    }
    EXPECT_EQ(leaks, 0u) << c.what;
  }
  ASSERT_EQ(fakeCard().imports.size(), 1u) << "the watch saw an import";
}

TEST_F(P11Test, PlaintextKeptForTheCallerIsWipedHoweverTheSessionEnds) {
  const Bytes plain = {'p', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't', '-', 'o', 'f', '-', 't', 'e', 's', 't'};
  enum class End { CloseAll, Finalize, CardRemoved };
  struct Case {
    const char* what;
    End end;
  };
  const Case cases[] = {
      {"all sessions closed", End::CloseAll},
      {"module finalised", End::Finalize},
      {"card removed", End::CardRemoved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    fakeCard().plain = plain;
    const CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(f->C_DecryptInit(s, &m, objectHandle(0, AT_KEYEXCHANGE, CKO_PRIVATE_KEY)), CKR_OK);
    Bytes block(256, 0x33);
    CK_BYTE small[4];
    CK_ULONG length = sizeof small;
    std::size_t leaks = 0;
    std::vector<Bytes> secrets{plain};  // copied before the watch starts
    {
      FreedMemoryWatch watch(std::move(secrets));
      // Too small a buffer: the module keeps the plaintext for the next call.
      ASSERT_EQ(f->C_Decrypt(s, block.data(), block.size(), small, &length), CKR_BUFFER_TOO_SMALL);
      switch (c.end) {
        case End::CloseAll:
          EXPECT_EQ(f->C_CloseAllSessions(0), CKR_OK);
          break;
        case End::Finalize:
          EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
          EXPECT_EQ(f->C_Initialize(nullptr), CKR_OK);
          break;
        case End::CardRemoved: {
          fakeCard().removed = true;
          CK_SESSION_HANDLE other = 0;
          EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &other), CKR_OK);
          EXPECT_EQ(f->C_DestroyObject(other, objectHandle(0, AT_KEYEXCHANGE, CKO_CERTIFICATE)), CKR_DEVICE_REMOVED);
          break;
        }
      }
      leaks = watch.leaks();
    }
    EXPECT_EQ(leaks, 0u);
    CK_SESSION_INFO info{};
    EXPECT_NE(f->C_GetSessionInfo(s, &info), CKR_OK) << "the session ended";
  }
}

}  // namespace
}  // namespace vemra::p11::test

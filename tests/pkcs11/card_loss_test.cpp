// The module when the card goes away under it (removed, reset, the PC/SC
// service gone) and in a child process after fork().
#include <sys/wait.h>
#include <unistd.h>

#include "p11_fixture.h"

namespace vemra::p11::test {
namespace {

constexpr DWORD kRemovedCard = 0x80100069;
constexpr DWORD kResetCard = 0x80100068;

class CardLossTest : public P11Test {
 protected:
  // Deletes the certificate of container 0, so that the next use of an
  // object reads the card again.
  void makeObjectsStale(CK_SESSION_HANDLE s) {
    EXPECT_EQ(f->C_DestroyObject(s, objectHandle(0, AT_KEYEXCHANGE, CKO_CERTIFICATE)), CKR_OK);
  }
  CK_RV sign(CK_SESSION_HANDLE s) {
    CK_BYTE data[] = {1, 2, 3};
    CK_BYTE signature[256];
    CK_ULONG length = sizeof signature;
    return f->C_Sign(s, data, sizeof data, signature, &length);
  }
  bool sessionOpen(CK_SESSION_HANDLE s) {
    CK_SESSION_INFO info{};
    return f->C_GetSessionInfo(s, &info) == CKR_OK;
  }
};

// The card goes while an operation rereads the objects: the operation ends
// with the token, and nothing touches the session the loss closed (ASan
// reports a use after free or a double free of the OAEP label otherwise).
TEST_F(CardLossTest, LossWhileAnOperationRereadsTheCardClosesTheSessionCleanly) {
  CK_BYTE label[] = {'l', 'b', 'l'};
  CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label, sizeof label};
  for (const bool decrypting : {false, true}) {
    SCOPED_TRACE(decrypting ? "decrypt" : "sign");
    TearDown();
    SetUp();
    const CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    if (decrypting) {
      CK_MECHANISM m{CKM_RSA_PKCS_OAEP, &params, sizeof params};
      ASSERT_EQ(f->C_DecryptInit(s, &m, objectHandle(0, AT_KEYEXCHANGE, CKO_PRIVATE_KEY)), CKR_OK);
    } else {
      CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
      ASSERT_EQ(f->C_SignInit(s, &m, objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY)), CKR_OK);
    }
    makeObjectsStale(s);
    fakeCard().removed = true;
    if (decrypting) {
      Bytes block(256, 0x33);
      Bytes plain(256);
      CK_ULONG length = plain.size();
      EXPECT_EQ(f->C_Decrypt(s, block.data(), block.size(), plain.data(), &length), CKR_DEVICE_REMOVED);
    } else {
      EXPECT_EQ(sign(s), CKR_DEVICE_REMOVED);
    }
    EXPECT_FALSE(sessionOpen(s));
    EXPECT_TRUE(fakeCard().signs.empty());
    EXPECT_TRUE(fakeCard().decrypts.empty());
  }
}

// Each code that says the card or the service is gone ends the token and
// its sessions, so that the card, once back, gives a fresh token.
TEST_F(CardLossTest, EveryCardOrServiceLossEndsTheToken) {
  struct Case {
    const char* what;
    DWORD code;
  };
  const Case cases[] = {
      {"removed", kRemovedCard},
      {"reset", kResetCard},
      {"handle invalid", 0x80100003},
      {"reader unavailable", 0x80100017},
      {"no service", 0x8010001D},
      {"service stopped", 0x8010001E},
      {"unresponsive card", 0x80100066},
      {"unpowered card", 0x80100067},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    const CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(f->C_SignInit(s, &m, objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY)), CKR_OK);
    fakeCard().removed = true;
    fakeCard().lossCode = c.code;
    EXPECT_EQ(sign(s), CKR_DEVICE_REMOVED);
    EXPECT_FALSE(sessionOpen(s));
    fakeCard().removed = false;
    const CK_SESSION_HANDLE again = open();
    CK_SESSION_INFO info{};
    ASSERT_EQ(f->C_GetSessionInfo(again, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
  }
}

// A listing of the readers that fails (the service restarting) says nothing
// about the cards: the tokens, their sessions and logins stay.
TEST_F(CardLossTest, FailedReaderListingKeepsTheTokens) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  for (const DWORD code : {DWORD{0x8010001D}, DWORD{0x8010001E}, DWORD{0x80100001}}) {
    fakeCard().listingFailure = code;
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u) << std::hex << code;
    EXPECT_TRUE(sessionOpen(s)) << std::hex << code;
  }
  fakeCard().listingFailure = 0;
  CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(s, &m, objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY)), CKR_OK);
  EXPECT_EQ(sign(s), CKR_OK) << "still logged in";
}

// A child of fork() does not own the parent's connections: the module
// answers there as not initialised, closes nothing of the parent's (also
// when the child exits), and may be initialised afresh.
TEST_F(CardLossTest, ChildAfterForkAbandonsTheParentsStateWithoutTouchingTheCard) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  int closed[2];
  ASSERT_EQ(::pipe(closed), 0);
  fakeCard().closedFd = closed[1];
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(closed[0]);
    const int callsBefore = fakeCard().cardCalls;
    CK_INFO info{};
    CK_SESSION_INFO sessionInfo{};
    int failures = 0;
    failures += f->C_GetSessionInfo(s, &sessionInfo) != CKR_CRYPTOKI_NOT_INITIALIZED;
    failures += f->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED;
    failures += f->C_Finalize(nullptr) != CKR_CRYPTOKI_NOT_INITIALIZED;
    failures += fakeCard().cardCalls != callsBefore;
    // A fresh start in the child works; its own state is its to close.
    fakeCard().closedFd = -1;
    failures += f->C_Initialize(nullptr) != CKR_OK;
    failures += f->C_Finalize(nullptr) != CKR_OK;
    std::exit(failures);  // static destructors run, as in a child that simply exits
  }
  ::close(closed[1]);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "checks failed in the child";
  char byte = 0;
  EXPECT_EQ(::read(closed[0], &byte, 1), 0) << "the child closed a port of the parent's";
  ::close(closed[0]);
  fakeCard().closedFd = -1;
  CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(s, &m, objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY)), CKR_OK);
  EXPECT_EQ(sign(s), CKR_OK) << "the parent's session and login are intact";
}

}  // namespace
}  // namespace vemra::p11::test

// The card shared with other programs: the module holds it around every
// sequence of card calls that must not interleave with another program's,
// renews the card's login that another program ended, and leaves no login
// on the card that no session owns.
#include <thread>

#include "module.h"
#include "p11_fixture.h"

namespace vemra::p11::test {
namespace {

CK_UTF8CHAR_PTR text(const std::string& s) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data()));
}

// Another program's key imported into the first container free in the map
// and recorded there, as an importer that does not hold the card would do it;
// it announces the change in cardcf's containers' counter, as every writer
// does.
void otherImport(FakeCard& c) {
  std::vector<ContainerRecord> map = parseContainerMap(c.files["mscp/cmapfile"]);
  BYTE index = 0;
  while (index < map.size() && map[index].valid()) ++index;
  if (index >= c.maxContainers) return;
  c.containers[index].signature = fakeKey(static_cast<uint8_t>(0xD0 + c.otherRuns));
  if (map.size() <= index) map.resize(index + 1u);
  map[index] = {u"other", kContainerValid, 2048, 0};
  c.files["mscp/cmapfile"] = encodeContainerMap(map);
  ++c.files["cardcf"][2];
}

class HoldTest : public P11Test {
 public:
  // For the cases' sequences.
  using P11Test::f;
  using P11Test::login;

 protected:
  CK_RV sign(CK_SESSION_HANDLE s) {
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    if (CK_RV rv = f->C_SignInit(s, &mechanism, findOne(s, CKO_PRIVATE_KEY, 1)); rv != CKR_OK) return rv;
    Bytes data{'a', 'b', 'c'};
    Bytes signature(256);
    CK_ULONG length = signature.size();
    return f->C_Sign(s, data.data(), data.size(), signature.data(), &length);
  }
  CK_STATE state(CK_SESSION_HANDLE s) {
    CK_SESSION_INFO info{};
    EXPECT_EQ(f->C_GetSessionInfo(s, &info), CKR_OK);
    return info.state;
  }
};

// Another program's commands land at every boundary between two of the
// module's card calls; holding the card makes them wait for its release.
TEST_F(HoldTest, AnotherProgramsCommandsWaitForTheWholeSequence) {
  struct Case {
    const char* what;
    std::function<void(FakeCard&)> other;
    std::function<CK_RV(HoldTest&, CK_SESSION_HANDLE)> sequence;
    std::function<void(HoldTest&, CK_SESSION_HANDLE)> check;
  };
  const auto newChallenge = [](FakeCard& c) { c.lastChallenge = Bytes(8, 0xEE); };
  const auto asSecurityOfficer = [](HoldTest& t, CK_SESSION_HANDLE s) {
    ASSERT_EQ(t.login(s, kAdminHex, CKU_SO), CKR_OK);
  };
  const Case cases[] = {
      {"a challenge fetched between the security officer's challenge and response", newChallenge,
       [](HoldTest& t, CK_SESSION_HANDLE s) { return t.login(s, kAdminHex, CKU_SO); },
       [](HoldTest&, CK_SESSION_HANDLE) { EXPECT_TRUE(fakeCard().adminIn); }},
      {"a challenge fetched in the middle of C_InitPIN", newChallenge,
       [&](HoldTest& t, CK_SESSION_HANDLE s) {
         asSecurityOfficer(t, s);
         return t.f->C_InitPIN(s, text("5678"), 4);
       },
       [](HoldTest&, CK_SESSION_HANDLE) { EXPECT_EQ(fakeCard().pin, "5678"); }},
      {"a challenge fetched in the middle of the security officer's C_SetPIN", newChallenge,
       [&](HoldTest& t, CK_SESSION_HANDLE s) {
         asSecurityOfficer(t, s);
         const std::string next(48, '2');
         return t.f->C_SetPIN(s, text(kAdminHex), 48, text(next), 48);
       },
       [](HoldTest&, CK_SESSION_HANDLE) { EXPECT_EQ(fakeCard().adminKey, Bytes(24, 0x22)); }},
      {"another importer between the choice of the free container and the map's update", otherImport,
       [](HoldTest& t, CK_SESSION_HANDLE s) {
         if (CK_RV rv = t.login(s); rv != CKR_OK) return rv;
         EVP_PKEY* key = EVP_RSA_gen(1024);
         KeyTemplate tmpl(key);
         CK_OBJECT_HANDLE handle = 0;
         const CK_RV rv = t.f->C_CreateObject(s, tmpl.attributes.data(), tmpl.attributes.size(), &handle);
         EVP_PKEY_free(key);
         return rv;
       },
       [](HoldTest&, CK_SESSION_HANDLE) {
         const FakeCard& card = fakeCard();
         const std::vector<ContainerRecord> map = parseContainerMap(card.files.at("mscp/cmapfile"));
         // Nothing overwritten: two keys before, the module's, and one for
         // each of the other program's imports.
         EXPECT_EQ(card.containers.size(), 3u + static_cast<std::size_t>(card.otherRuns));
         for (const auto& [index, keys] : card.containers) {
           EXPECT_TRUE(index < map.size() && map[index].valid()) << "container " << int(index) << " recorded";
         }
         ASSERT_EQ(card.imports.size(), 1u);
         EXPECT_TRUE(card.containers.at(card.imports[0].container).keyExchange.has_value())
             << "the module's key is where it was put";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    const CK_SESSION_HANDLE s = open();
    fakeCard().otherProgram = c.other;
    EXPECT_EQ(c.sequence(*this, s), CKR_OK);
    EXPECT_GE(fakeCard().otherRuns, 2) << "the other program had its turns";
    EXPECT_EQ(fakeCard().depth, 0) << "every hold released";
    c.check(*this, s);
  }
}

// The card's login is one for all programs: another program's logout, PIN
// change or blocking reaches a session that is still logged in here.
TEST_F(HoldTest, ALoginEndedByAnotherProgramIsRenewedOnceOrEndsHere) {
  struct Case {
    const char* what;
    std::function<void(FakeCard&)> other;
    CK_RV expected;
    bool stillLoggedIn;
    std::size_t signatures;
    CK_RV relogin;  // C_Login afterwards with the card's PIN
  };
  const Case cases[] = {
      {"another program logged the card out", [](FakeCard& c) { c.userIn = false; }, CKR_OK, true, 1,
       CKR_USER_ALREADY_LOGGED_IN},
      {"another program changed the PIN",
       [](FakeCard& c) {
         c.userIn = false;
         c.pin = "9999";
       },
       CKR_PIN_INCORRECT, false, 0, CKR_OK},
      {"another program blocked the PIN",
       [](FakeCard& c) {
         c.userIn = false;
         c.pinTries = 0;
       },
       CKR_PIN_LOCKED, false, 0, CKR_PIN_LOCKED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    const CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    c.other(fakeCard());
    EXPECT_EQ(sign(s), c.expected);
    EXPECT_EQ(fakeCard().signs.size(), c.signatures);
    EXPECT_EQ(state(s), c.stillLoggedIn ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(login(s, fakeCard().pin), c.relogin);
  }
}

TEST_F(HoldTest, ThePinKeptForTheLoginFollowsItsChangeAndGoesWithTheLogout) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  ASSERT_EQ(f->C_SetPIN(s, text("1234"), 4, text("5678"), 4), CKR_OK);
  fakeCard().userIn = false;
  EXPECT_EQ(sign(s), CKR_OK) << "renewed with the new PIN";
  EXPECT_EQ(fakeCard().pinTries, 3u) << "no try spent";

  ASSERT_EQ(f->C_Logout(s), CKR_OK);
  ASSERT_EQ(login(s, "5678"), CKR_OK);
  ASSERT_EQ(f->C_Logout(s), CKR_OK);
  const std::size_t signatures = fakeCard().signs.size();
  fakeCard().userIn = true;  // another program's login
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(f->C_SignInit(s, &mechanism, objectHandle(1, AT_SIGNATURE, CKO_PRIVATE_KEY)), CKR_USER_NOT_LOGGED_IN)
      << "a logged-out session signs with nobody's login";
  EXPECT_EQ(fakeCard().signs.size(), signatures);
}

TEST_F(HoldTest, APinChangedInAPublicSessionLeavesNobodyLoggedIn) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(f->C_SetPIN(s, text("1234"), 4, text("5678"), 4), CKR_OK);
  EXPECT_EQ(fakeCard().pin, "5678");
  EXPECT_FALSE(fakeCard().userIn) << "the change verified the PIN; nobody logged in here";
  EXPECT_EQ(state(s), CKS_RW_PUBLIC_SESSION);
}

TEST_F(HoldTest, ImportSkipsAContainerHoldingAKeyTheMapDoesNotRecord) {
  fakeCard().containers[2].signature = fakeKey(0xC2);  // imported before the map, or orphaned
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  EVP_PKEY* key = EVP_RSA_gen(1024);
  KeyTemplate tmpl(key);
  CK_OBJECT_HANDLE handle = 0;
  ASSERT_EQ(f->C_CreateObject(s, tmpl.attributes.data(), tmpl.attributes.size(), &handle), CKR_OK);
  EVP_PKEY_free(key);
  ASSERT_EQ(fakeCard().imports.size(), 1u);
  EXPECT_EQ(fakeCard().imports[0].container, 3);
  EXPECT_EQ(fakeCard().containers[2].signature->modulus, fakeKey(0xC2).modulus) << "the unrecorded key is kept";
  EXPECT_FALSE(parseContainerMap(fakeCard().files["mscp/cmapfile"])[2].valid());
}

TEST_F(HoldTest, ACardLostAtTheHoldClosesTheSessions) {
  const CK_SESSION_HANDLE s = open();
  ASSERT_EQ(login(s), CKR_OK);
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(s, &mechanism, findOne(s, CKO_PRIVATE_KEY, 1)), CKR_OK);
  fakeCard().beginFailure = 0x80100068;  // reset by another program
  Bytes data{'a'};
  Bytes signature(256);
  CK_ULONG length = signature.size();
  EXPECT_EQ(f->C_Sign(s, data.data(), data.size(), signature.data(), &length), CKR_DEVICE_REMOVED);
  EXPECT_EQ(f->C_GetSessionInfo(s, nullptr), CKR_SESSION_HANDLE_INVALID);
  EXPECT_TRUE(fakeCard().signs.empty());
}

// The card stays held for a moment after a call, for the program's next
// one, and the module's own thread lets it go; a program that forbids the
// module threads of its own has it let go at the end of every call. A
// logout and a login with the same PIN in that moment send nothing.
TEST_F(HoldTest, TheCardStaysHeldAMomentAfterACallUnlessThreadsAreForbidden) {
  const auto heldNow = [] {
    std::lock_guard<std::recursive_mutex> guard(module().lock);
    return fakeCard().depth;
  };
  struct Case {
    const char* what;
    CK_FLAGS flags;
    bool heldAfterCall;
  };
  const Case cases[] = {
      {"threads allowed", CKF_OS_LOCKING_OK, true},
      {"threads forbidden", CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    fakeCard().linger = std::chrono::milliseconds(40);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = c.flags;
    ASSERT_EQ(f->C_Initialize(&args), CKR_OK);
    CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(heldNow(), c.heldAfterCall ? 1 : 0);
    // The last session closes (a logout) and a new one logs in again.
    ASSERT_EQ(f->C_CloseSession(s), CKR_OK);
    s = open();
    const int callsBefore = fakeCard().cardCalls;
    ASSERT_EQ(login(s), CKR_OK);
    if (c.heldAfterCall) {
      EXPECT_EQ(fakeCard().cardCalls, callsBefore) << "neither the logout nor the login sent";
    } else {
      EXPECT_GT(fakeCard().cardCalls, callsBefore);
    }
    EXPECT_EQ(sign(s), CKR_OK);
    ASSERT_EQ(f->C_Logout(s), CKR_OK);
    for (int i = 0; i < 200 && heldNow() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(heldNow(), 0) << "let go";
    std::lock_guard<std::recursive_mutex> guard(module().lock);
    EXPECT_FALSE(fakeCard().userIn) << "the logout reached the card before it was let go";
  }
}

}  // namespace
}  // namespace vemra::p11::test

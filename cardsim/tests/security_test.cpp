// Access control by access byte, PIN retry counting and blocking, the
// administrator's challenge-response, session PINs and credential changes.
#include "sim_test_util.h"

namespace vemra::cardsim::test {
namespace {

enum class Role { None, User, Admin };

void login(Card& card, Role role) {
  if (role == Role::User) {
    EXPECT_EQ(verifyUser(card), 0x9000);
  } else if (role == Role::Admin) {
    EXPECT_EQ(authenticateAdmin(card), 0x9000);
  }
}

Card cardWith(Role role) {
  Card card;
  selectApp(card);
  login(card, role);
  return card;
}

// Creates an EF whose read and write byte is `access`, then logs in `role`
// and reports the answers to READ BINARY, UPDATE BINARY and DELETE FILE.
std::array<uint16_t, 3> tryEf(uint8_t access, Role role) {
  Card card = cardWith(Role::User);
  EXPECT_EQ(create(card, dataEfTemplate(0xA000, 10, access, access)), 0x9000);
  EXPECT_EQ(run(card, "80 40 00 00 00").sw, 0x9000);
  login(card, role);
  EXPECT_EQ(run(card, "00 A4 02 0C 02 A0 00").sw, 0x9000);
  return {run(card, "00 B0 00 00 01").sw, run(card, "00 D6 00 00 01 55").sw, run(card, "00 E4 02 0C 02 A0 00").sw};
}

TEST(AccessControl, EachAccessByteGrantsExactlyItsRoles) {
  constexpr uint16_t ok = 0x9000;
  constexpr uint16_t no = 0x6982;
  struct Case {
    uint8_t access;
    Role role;
    uint16_t expected;
  };
  const Case cases[] = {
      {0x00, Role::None, ok},  {0xFF, Role::None, no},  {0xFF, Role::User, no},  {0xFF, Role::Admin, no},
      {0x01, Role::None, no},  {0x01, Role::User, ok},  {0x01, Role::Admin, no}, {0x03, Role::None, no},
      {0x03, Role::User, no},  {0x03, Role::Admin, ok}, {0x10, Role::None, no},  {0x10, Role::User, ok},
      {0x10, Role::Admin, ok}, {0x42, Role::User, no},  {0x42, Role::Admin, no},
  };
  for (const Case& c : cases) {
    const auto answers = tryEf(c.access, c.role);
    const std::array<uint16_t, 3> expected{c.expected, c.expected, c.expected};
    EXPECT_EQ(answers, expected) << "access byte " << int(c.access) << " role " << int(c.role);
  }
}

TEST(AccessControl, CreatingNeedsTheParentsRightUnlessItIsBeingCreated) {
  Card none = cardWith(Role::None);
  EXPECT_EQ(create(none, dataEfTemplate(0xA000, 10, 0x00, 0x10)), 0x6982);
  EXPECT_EQ(create(none, dfTemplate(0xD100, 0x10)), 0x6982);
  Card user = cardWith(Role::User);
  ASSERT_EQ(create(user, dfTemplate(0xD100, 0x03)), 0x9000);
  // Inside the DF still in creation: no checks, even for an admin-only DF.
  ASSERT_EQ(create(user, fileTableTemplate(0xF100, 2, 0x00, 0x03)), 0x9000);
  ASSERT_EQ(run(user, cmd("00 E2 00 00", Bytes(11, 0))).sw, 0x9000);
  ASSERT_EQ(run(user, "00 44 00 00 00").sw, 0x9000);
  ASSERT_EQ(run(user, cmd("00 E2 00 00", Bytes(11, 0))).sw, 0x6982);  // the table is active now
  ASSERT_EQ(run(user, "00 44 00 00 02 D1 00").sw, 0x9000);
  EXPECT_EQ(create(user, dataEfTemplate(0xA000, 10, 0x00, 0x03)), 0x6982);
  ASSERT_EQ(selectApp(user), 0x9000);
  EXPECT_EQ(run(user, "00 E4 01 00 02 D1 00").sw, 0x6982);
  ASSERT_EQ(authenticateAdmin(user), 0x9000);
  EXPECT_EQ(run(user, "00 E4 01 00 02 D1 00").sw, 0x9000);
}

TEST(Pin, RetryCounterCountsDownBlocksAndResetsOnSuccess) {
  Card card = cardWith(Role::None);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("63 C3"));
  EXPECT_EQ(verifyUser(card, "0000"), 0x63C2);
  EXPECT_EQ(verifyUser(card, "1234"), 0x9000);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("90 00"));
  EXPECT_EQ(verifyUser(card, "12345"), 0x63C2);  // a wrong PIN also ends the verified state
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("63 C2"));
  EXPECT_EQ(verifyUser(card, "0000"), 0x63C1);
  EXPECT_EQ(verifyUser(card, "0000"), 0x63C0);
  EXPECT_EQ(verifyUser(card, "1234"), 0x6983);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("69 83"));
  EXPECT_EQ(run(card, cmd("00 20 00 01", Bytes(4, '1'))).sw, 0x6700);
  EXPECT_EQ(card.transmit(h("00 20 00 05 00")), h("6A 88"));
  EXPECT_EQ(run(card, cmd("00 20 00 03", pinBlock("1234"))).sw, 0x6984);
  EXPECT_EQ(card.transmit(h("00 20 01 01 00")), h("6A 86"));
}

TEST(Pin, DeauthenticateAndResetEndTheSecurityStatus) {
  Card card = cardWith(Role::User);
  ASSERT_EQ(authenticateAdmin(card), 0x9000);
  EXPECT_EQ(run(card, "80 40 01 00 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("63 C3"));
  EXPECT_EQ(card.transmit(h("00 20 00 03 00")), h("90 00"));
  EXPECT_EQ(run(card, "80 40 05 00 00").sw, 0x9000);  // nothing to log out under 05
  EXPECT_EQ(run(card, "80 40 00 00 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 20 00 03 00")), h("63 C3"));
  ASSERT_EQ(verifyUser(card), 0x9000);
  card.reset();
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("63 C3"));
}

TEST(Pin, UnblockAndChangeRequireTheRightAuthority) {
  Card card = cardWith(Role::None);
  for (int i = 0; i < 3; ++i) verifyUser(card, "0000");
  ASSERT_EQ(verifyUser(card), 0x6983);
  EXPECT_EQ(run(card, "00 2C 03 01 00").sw, 0x6982);
  EXPECT_EQ(run(card, cmd("00 24 01 01", pinBlock("5678"))).sw, 0x6982);
  ASSERT_EQ(authenticateAdmin(card), 0x9000);
  EXPECT_EQ(run(card, "00 2C 03 01 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("63 C3"));
  EXPECT_EQ(run(card, cmd("00 24 01 01", h("35 36 37 38"))).sw, 0x6700);
  EXPECT_EQ(run(card, cmd("00 24 01 01", pinBlock("5678"))).sw, 0x9000);
  EXPECT_EQ(run(card, "80 40 03 00 00").sw, 0x9000);
  EXPECT_EQ(verifyUser(card, "1234"), 0x63C2);
  EXPECT_EQ(verifyUser(card, "5678"), 0x9000);
  // The PIN-set command: after the same reference or the administrator.
  EXPECT_EQ(run(card, cmd("80 72 02 01", pinBlock("24682468"))).sw, 0x9000);
  EXPECT_EQ(run(card, "80 40 00 00 00").sw, 0x9000);
  EXPECT_EQ(run(card, cmd("80 72 02 01", pinBlock("1111"))).sw, 0x6982);
  EXPECT_EQ(run(card, cmd("80 72 02 03", pinBlock("1111"))).sw, 0x6984);
  EXPECT_EQ(verifyUser(card, "24682468"), 0x9000);
}

TEST(Admin, ChallengeResponseIsCheckedOnceAndCountsFailures) {
  Card card = cardWith(Role::None);
  EXPECT_EQ(card.transmit(h("00 84 00 00 00")), h("6C 08"));
  Answer c1 = run(card, "00 84 00 00 08");
  Answer c2 = run(card, "00 84 00 00 08");
  ASSERT_EQ(c1.data.size(), 8u);
  EXPECT_NE(c1.data, c2.data);
  // Only the latest challenge counts, and a SELECT in between does not spend it.
  ASSERT_EQ(selectApp(card), 0x9000);
  const Bytes response = adminResponse(defaultAdminKey(), c2.data);
  EXPECT_EQ(run(card, cmd("00 82 00 03", response)).sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 20 00 03 00")), h("90 00"));
  EXPECT_EQ(run(card, cmd("00 82 00 03", response)).sw, 0x6985);  // replay: the challenge is spent
  EXPECT_EQ(card.transmit(h("00 20 00 03 00")), h("90 00"));
  run(card, "00 84 00 00 08");
  EXPECT_EQ(run(card, cmd("00 82 00 03", Bytes(8, 0))).sw, 0x63C2);
  EXPECT_EQ(card.transmit(h("00 20 00 03 00")), h("63 C2"));
  run(card, "00 84 00 00 08");
  EXPECT_EQ(run(card, cmd("00 82 00 03", Bytes(8, 0))).sw, 0x63C1);
  EXPECT_EQ(authenticateAdmin(card), 0x9000);  // a right answer restores the counter
  EXPECT_EQ(card.transmit(h("00 20 00 03 00")), h("90 00"));
  for (uint16_t expected : {0x63C2, 0x63C1, 0x63C0, 0x6983}) {
    run(card, "00 84 00 00 08");
    EXPECT_EQ(run(card, cmd("00 82 00 03", Bytes(8, 0))).sw, expected);
  }
  EXPECT_EQ(authenticateAdmin(card), 0x6983);
  EXPECT_EQ(run(card, cmd("00 82 00 01", Bytes(8, 0))).sw, 0x6984);
  EXPECT_EQ(run(card, cmd("00 82 00 07", Bytes(8, 0))).sw, 0x6A88);
}

TEST(Admin, NewAdministratorKeyReplacesTheOld) {
  Card card = cardWith(Role::Admin);
  const Bytes newKey = h("00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(run(card, cmd("00 24 01 03", Bytes(8, 1))).sw, 0x6700);
  ASSERT_EQ(run(card, cmd("00 24 01 03", newKey)).sw, 0x9000);
  EXPECT_EQ(authenticateAdmin(card), 0x63C2);
  EXPECT_EQ(authenticateAdmin(card, newKey), 0x9000);
}

TEST(SessionPin, GeneratedSessionPinLogsInUntilReset) {
  Card card = cardWith(Role::None);
  EXPECT_EQ(run(card, cmd("80 74 02 01", Bytes(8, 0))).sw, 0x6985);  // none generated yet
  ASSERT_EQ(card.transmit(cmd("80 74 01 01", pinBlock("1234"))), h("61 08"));
  Bytes fetched = card.transmit(h("00 C0 00 00 08"));
  ASSERT_EQ(fetched.size(), 10u);
  const Bytes session = dataOf(fetched);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("90 00"));
  ASSERT_EQ(run(card, "80 40 01 00 00").sw, 0x9000);
  EXPECT_EQ(run(card, cmd("80 74 02 01", session)).sw, 0x9000);
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("90 00"));
  Bytes wrong = session;
  wrong[0] ^= 0x01;
  EXPECT_EQ(run(card, cmd("80 74 02 01", wrong)).sw, 0x63C2);
  EXPECT_EQ(run(card, cmd("80 74 00 01", pinBlock("1234"))).sw, 0x9000);
  EXPECT_EQ(run(card, cmd("80 74 03 01", pinBlock("1234"))).sw, 0x6A86);
  EXPECT_EQ(run(card, cmd("80 74 00 03", pinBlock("1234"))).sw, 0x6984);
  card.reset();
  EXPECT_EQ(run(card, cmd("80 74 02 01", session)).sw, 0x6985);
}

}  // namespace
}  // namespace vemra::cardsim::test

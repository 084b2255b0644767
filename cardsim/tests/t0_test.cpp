// T=0 procedures, malformed commands, power and the test overrides.
#include <random>

#include "sim_test_util.h"

namespace vemra::cardsim::test {
namespace {

TEST(T0, CaseTwoWithWrongLeIsAnswered6CAndRepeatSucceeds) {
  Card card;
  ASSERT_EQ(selectApp(card), 0x9000);
  EXPECT_EQ(card.transmit(h("00 CA 00 B1 00")), h("6C 10"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B1 10")), h("D000 D100 F100 A000 B000 B100 0000 0000 9000"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 00")), h("6C 03"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("08 08 08 9000"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B3 06")), h("20 60 01 03 10 00 9000"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B3 07")), h("6C 06"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B4 00")), h("6A 88"));
  EXPECT_EQ(card.transmit(h("80 FE 06 00 00")), h("6C 08"));
  EXPECT_EQ(card.transmit(h("80 FE 06 00 08")), h("5645 0000 1234 5678 9000"));
}

TEST(T0, CaseFourDataIsAnnouncedWith61AndFetchedInParts) {
  Card card;
  Bytes select = cmd("00 A4 04 04", kAppName);
  ASSERT_EQ(card.transmit(select), h("61 27"));
  // Part of it first: the rest stays announced.
  Bytes part = card.transmit(h("00 C0 00 00 10"));
  ASSERT_EQ(part.size(), 18u);
  EXPECT_EQ(sw(part), 0x6117);
  EXPECT_EQ(card.transmit(h("00 C0 00 00 20")), h("6C 17"));
  Bytes rest = card.transmit(h("00 C0 00 00 17"));
  EXPECT_EQ(sw(rest), 0x9000);
  const Bytes whole = cat(dataOf(part), dataOf(rest));
  const uint16_t free = card.freeMemory();
  Bytes expected = h("62 25 A5 04 82 02");
  expected.push_back(static_cast<uint8_t>(free >> 8));
  expected.push_back(static_cast<uint8_t>(free));
  expected = cat(expected, h("82 01 38 83 02 50 00 84 0C"));
  expected = cat(expected, kAppName);
  expected = cat(expected, h("86 05 FF FF FF FF 10 8A 01 05"));
  EXPECT_EQ(whole, expected);
  EXPECT_EQ(free, 64000 - 3 * 32 - 72 - 88);
}

TEST(T0, GetResponseWithoutPendingDataOrAfterAnotherCommand) {
  Card card;
  EXPECT_EQ(card.transmit(h("00 C0 00 00 08")), h("69 85"));
  ASSERT_EQ(card.transmit(cmd("00 A4 04 00", kAppName)), h("61 27"));
  ASSERT_EQ(selectApp(card), 0x9000);  // any other command drops the announced data
  EXPECT_EQ(card.transmit(h("00 C0 00 00 27")), h("69 85"));
  EXPECT_EQ(card.transmit(h("00 C0 01 00 08")), h("6A 86"));
}

TEST(T0, MalformedAndUnknownCommandsGetIsoStatusWords) {
  Card card;
  EXPECT_EQ(card.transmit(h("00 CA 00 B1 10")), h("6A 88"));  // application not selected
  EXPECT_EQ(card.transmit(h("00 A4 04")), h("67 00"));
  EXPECT_EQ(card.transmit(h("00 A4 04 0C 0C 56 45")), h("67 00"));     // fewer data bytes than Lc
  EXPECT_EQ(card.transmit(cat(cmd("00 A4 04 0C", kAppName), h("00 11"))), h("67 00"));
  EXPECT_EQ(card.transmit(cat(cmd("00 A4 04 0C", kAppName), h("00"))), h("90 00"));  // trailing Le accepted
  EXPECT_EQ(card.transmit(h("00 FF 00 00 00")), h("6D 00"));
  EXPECT_EQ(card.transmit(h("80 A4 00 00 00")), h("6D 00"));
  EXPECT_EQ(card.transmit(h("40 A4 00 00 00")), h("6E 00"));
  EXPECT_EQ(card.transmit(h("90 40 00 00 00")), h("68 84"));
  EXPECT_EQ(card.transmit(h("00 A4 07 00 02 3F 00")), h("6A 86"));
  EXPECT_EQ(card.transmit(h("00 A4 00 0C 02 12 34")), h("6A 82"));
  EXPECT_EQ(card.transmit(h("00 A4 00 0C 03 3F 00 00")), h("67 00"));
  EXPECT_EQ(card.transmit(h("00 B0 00 00 08")), h("69 86"));          // no current EF
  EXPECT_EQ(card.transmit(h("00 E0 00 00 03 62 01 00")), h("6A 80"));
  EXPECT_EQ(card.transmit(h("00 20 00 01 08")), h("67 00"));          // Lc announced, no data
}

TEST(T0, RandomCommandsNeverCrashAndAlwaysGetAStatusWord) {
  Card card;
  std::mt19937 rng(12345);
  const Bytes seeds[] = {cmd("00 A4 04 04", kAppName), h("00 E0 00 00 18"), h("90 72 01 00 10"),
                         h("80 2A 9E 9A 10"), h("00 22 F1 B6 03 84 01 20"), h("00 B2 01 04 0B")};
  for (int i = 0; i < 20000; ++i) {
    Bytes c;
    if (i % 3 == 0) {
      c.resize(rng() % 40);
      for (auto& b : c) b = static_cast<uint8_t>(rng());
    } else {
      c = seeds[rng() % std::size(seeds)];
      const std::size_t grown = c.size() + rng() % 30;
      c.resize(grown, 0x00);
      for (std::size_t j = 4; j < c.size(); ++j) {
        if (rng() % 4 == 0) c[j] = static_cast<uint8_t>(rng());
      }
      if (i % 7 == 0) selectApp(card);
    }
    const Bytes r = card.transmit(c);
    ASSERT_GE(r.size(), 2u) << "command " << i;
  }
}

TEST(T0, PowerOffSilencesTheCardAndPowerOnClearsSecurity) {
  Card card;
  ASSERT_EQ(selectApp(card), 0x9000);
  ASSERT_EQ(verifyUser(card), 0x9000);
  card.powerOff();
  EXPECT_FALSE(card.powered());
  EXPECT_TRUE(card.transmit(h("00 20 00 01 00")).empty());
  card.powerOn();
  EXPECT_EQ(card.transmit(h("00 20 00 01 00")), h("63 C3"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B1 10")), h("6A 88"));  // the MF is current after power-on
  EXPECT_EQ(card.atr(), h("3B 0B 56 65 6D 72 61 4D 69 6E 69 44 72"));
}

TEST(Overrides, StatusReplaceAndNthMatch) {
  Card card;
  selectApp(card);
  card.addOverride(Override::status(h("00 CA 00 B2"), 0x6A82, 2));
  card.addOverride(Override::replace(h("00 CA 00 B3"), h("01 02 90 00")));
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("08 08 08 90 00"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("6A 82"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("08 08 08 90 00"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B3 06")), h("01 02 90 00"));
  card.clearOverrides();
  EXPECT_EQ(card.transmit(h("00 CA 00 B3 06")), h("20 60 01 03 10 00 90 00"));
}

TEST(Overrides, StatusOverrideDoesNotRunTheCommandUnlessAsked) {
  Card card;
  selectApp(card);
  ASSERT_EQ(run(card, "00 A4 02 0C 02 D0 00").sw, 0x9000);
  card.addOverride(Override::status(h("00 DC 01"), 0x6581, 1));
  Override executed = Override::status(h("00 DC 02"), 0x6581, 1);
  executed.execute = true;
  card.addOverride(executed);
  ASSERT_EQ(verifyUser(card), 0x9000);
  ASSERT_EQ(run(card, "00 A4 02 0C 02 D0 00").sw, 0x9000);
  EXPECT_EQ(run(card, "00 DC 01 04 09 01 61 00 00 00 00 00 00 00").sw, 0x6581);
  EXPECT_EQ(run(card, "00 DC 02 04 09 01 62 00 00 00 00 00 00 00").sw, 0x6581);
  EXPECT_EQ(card.transmit(h("00 B2 01 04 09")), h("00 00 00 00 00 00 00 00 00 90 00"));
  EXPECT_EQ(card.transmit(h("00 B2 02 04 09")), h("01 62 00 00 00 00 00 00 00 90 00"));
}

TEST(Overrides, ShortenLengthenAndChainAnswers) {
  Card card;
  selectApp(card);
  card.addOverride(Override::truncate(h("00 CA 00 B1"), 15, 1));
  card.addOverride(Override::extend(h("00 CA 00 B2"), h("AA"), 1));
  card.addOverride(Override::announce61(h("00 CA 00 B3"), 1));
  card.addOverride(Override::demand6C(h("80 FE"), 0x07, 1));
  EXPECT_EQ(card.transmit(h("00 CA 00 B1 10")), h("D000 D100 F100 A000 B000 B100 0000 00 9000"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B2 03")), h("08 08 08 AA 9000"));
  EXPECT_EQ(card.transmit(h("00 CA 00 B3 06")), h("61 06"));
  EXPECT_EQ(card.transmit(h("00 C0 00 00 06")), h("20 60 01 03 10 00 90 00"));
  EXPECT_EQ(card.transmit(h("80 FE 06 00 00")), h("6C 07"));
  EXPECT_EQ(card.transmit(h("80 FE 06 00 07")), h("6C 08"));  // the second match is the card's own
}

}  // namespace
}  // namespace vemra::cardsim::test

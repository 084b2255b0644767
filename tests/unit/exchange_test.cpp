// The card exchange: T=0 framing, the 61xx and 6Cxx procedures, the chain
// bound, the bounded copy and the transaction around each command.
#include <array>

#include "card/exchange.h"
#include "card/status.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

constexpr card::Handle kHandle = 0xCA;

class ExchangeTest : public DriverTest {
 protected:
  std::array<std::uint8_t, 512> buffer{};
  std::uint16_t sw = 0;

  card::Result send(const card::Apdu& apdu, std::uint16_t& length) {
    return card::transmit(kHandle, apdu, buffer, length, sw);
  }
};

TEST_F(ExchangeTest, FramesCaseOneTwoAndThreeCommands) {
  card.expect("00 B0 00 00 09", "90 00").expect("00 44 00 00 00", "90 00").expect("00 E4 00 00 02 12 34", "90 00");
  std::uint16_t length = 9;
  ASSERT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), 0u);
  length = 0;
  ASSERT_EQ(send({0x00, 0x44, 0x00, 0x00}, length), 0u);
  const std::uint8_t fid[] = {0x12, 0x34};
  length = 9;  // an expected length does not change P3 of a command with data
  ASSERT_EQ(send({0x00, 0xE4, 0x00, 0x00, fid}, length), 0u);

  for (const SentCommand& sent : pcsc().commands()) {
    EXPECT_TRUE(sent.t0Pci) << "every command goes out with the T=0 protocol header";
    EXPECT_EQ(sent.receiveLength, 512u);
    EXPECT_EQ(sent.depth, 1) << "each command runs in a transaction of its own";
  }
}

TEST_F(ExchangeTest, ReturnsDataAndStatusWord) {
  card.expect("00 CA 00 B2 03", "01 02 03 62 83");
  std::uint16_t length = 3;
  ASSERT_EQ(send({0x00, 0xCA, 0x00, 0xB2}, length), 0u);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(sw, 0x6283) << "data that comes with a warning is handed back with it";
  EXPECT_EQ(buffer[0], 0x01);
  EXPECT_EQ(buffer[2], 0x03);
}

TEST_F(ExchangeTest, StatusWordAloneCarriesNoData) {
  card.expect("00 B0 00 00 09", "90 00").expect("00 A4 02 0C 02 3F 00", "6A 82");
  std::uint16_t length = 9;
  ASSERT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), 0u);
  EXPECT_EQ(sw, 0x9000);
  EXPECT_EQ(length, 0) << "no data arrived, so none may be reported";
  const std::uint8_t fid[] = {0x3F, 0x00};
  length = 0;
  ASSERT_EQ(send({0x00, 0xA4, 0x02, 0x0C, fid}, length), 0u);
  EXPECT_EQ(sw, 0x6A82);
  EXPECT_EQ(length, 0);
}

TEST_F(ExchangeTest, FetchesAnnouncedDataWithGetResponse) {
  card.expect("80 A4 02 00 02 A0 00", "61 10")
      .expect("00 C0 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00");
  const std::uint8_t fid[] = {0xA0, 0x00};
  std::uint16_t length = 0;
  ASSERT_EQ(send({0x80, 0xA4, 0x02, 0x00, fid}, length), 0u) << "GET RESPONSE has class 00 whatever came first";
  EXPECT_EQ(length, 16);
  EXPECT_EQ(sw, 0x9000);
  EXPECT_EQ(buffer[15], 0x0F);
  ASSERT_EQ(pcsc().commands().size(), 2u);
  EXPECT_EQ(pcsc().commands()[1].depth, 1) << "GET RESPONSE stays inside the same transaction";
  EXPECT_EQ(pcsc().calls(PcscCall::BeginTransaction), 1);
}

TEST_F(ExchangeTest, GetResponseAsksFor256WithP3Zero) {
  std::string full;
  for (int i = 0; i < 256; ++i) full += "5A ";
  card.expect("00 2A 9E 9A 01 00", "61 00").expect("00 C0 00 00 00", full + "90 00");
  const std::uint8_t data[] = {0x00};
  std::uint16_t length = 0;
  ASSERT_EQ(send({0x00, 0x2A, 0x9E, 0x9A, data}, length), 0u);
  EXPECT_EQ(length, 256) << "the two-byte form reports 256";
}

TEST_F(ExchangeTest, OneByteFormReportsTheLowByteOnly) {
  std::string full;
  for (int i = 0; i < 256; ++i) full += "5A ";
  card.expect("80 46 02 00 00", full + "90 00");
  std::uint8_t length = 0;
  ASSERT_EQ(card::transmit(kHandle, {0x80, 0x46, 0x02, 0x00}, buffer, length, sw), 0u);
  EXPECT_EQ(length, 0) << "256 data bytes report 0 in the one-byte form";
  EXPECT_EQ(buffer[255], 0x5A);
}

TEST_F(ExchangeTest, RepeatsWithTheLengthTheCardNames) {
  card.expect("00 CA 00 B1 00", "6C 08").expect("00 CA 00 B1 08", "01 02 03 04 05 06 07 08 90 00");
  std::uint16_t length = 0;
  ASSERT_EQ(send({0x00, 0xCA, 0x00, 0xB1}, length), 0u);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(sw, 0x9000);
}

TEST_F(ExchangeTest, CommandWithDataIsRepeatedUnchangedAfter6C) {
  card.expect("00 20 00 01 02 31 32", "6C 04").expect("00 20 00 01 02 31 32", "90 00");
  const std::uint8_t pin[] = {0x31, 0x32};
  std::uint16_t length = 0;
  ASSERT_EQ(send({0x00, 0x20, 0x00, 0x01, pin}, length), 0u);
  EXPECT_EQ(sw, 0x9000);
}

TEST_F(ExchangeTest, ChainedProceduresMixAndTheLastAnswerCounts) {
  card.expect("00 84 00 00 00", "6C 08").expect("00 84 00 00 08", "61 08").expect("00 C0 00 00 08",
                                                                                  "11 22 33 44 55 66 77 88 90 00");
  std::uint16_t length = 0;
  ASSERT_EQ(send({0x00, 0x84, 0x00, 0x00}, length), 0u);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(buffer[7], 0x88);
}

TEST_F(ExchangeTest, EndlessChainIsCutOff) {
  card.expect("00 B0 00 00 10", "61 10");
  for (int i = 0; i < card::kMaxChainedCommands; ++i) card.expect("00 C0 00 00 10", "61 10");
  std::uint16_t length = 16;
  EXPECT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(length, 16) << "the length is not updated when the exchange fails";
  EXPECT_EQ(pcsc().commands().size(), 1u + card::kMaxChainedCommands);
}

TEST_F(ExchangeTest, AnswerShorterThanAStatusWordIsAnInternalError) {
  card.expect("00 B0 00 00 01", "90").expect("00 B0 00 00 01", "");
  std::uint16_t length = 1;
  EXPECT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(length, 1);
}

TEST_F(ExchangeTest, NeverCopiesMoreThanTheBufferHolds) {
  card.expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 09 0A 0B 0C 90 00").expect("00 A4 02 0C 02 A0 00",
                                                                                     "62 03 82 01 01 90 00");
  std::array<std::uint8_t, 10> guarded{};
  guarded.fill(0xEE);
  std::uint16_t length = 8;
  ASSERT_EQ(card::transmit(kHandle, {0x00, 0x84, 0x00, 0x00}, std::span(guarded).first(8), length, sw), 0u);
  EXPECT_EQ(length, 12) << "the length tells the caller how much the card sent";
  EXPECT_EQ(guarded[7], 0x08);
  EXPECT_EQ(guarded[8], 0xEE) << "bytes past the buffer stay untouched";

  const std::uint8_t fid[] = {0xA0, 0x00};
  length = 0;
  ASSERT_EQ(card::transmit(kHandle, {0x00, 0xA4, 0x02, 0x0C, fid}, {}, length, sw), 0u)
      << "data that arrives when no buffer was passed is discarded";
  EXPECT_EQ(sw, 0x9000);
}

TEST_F(ExchangeTest, PcscFailuresPassThroughAndEndTheTransaction) {
  pcsc().failCall(PcscCall::BeginTransaction, 1, 0x80100017);
  std::uint16_t length = 0;
  EXPECT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), 0x80100017u);
  EXPECT_TRUE(pcsc().commands().empty()) << "nothing is sent when the transaction cannot begin";

  pcsc().failCall(PcscCall::Transmit, 1, 0x80100069);
  length = 5;
  EXPECT_EQ(send({0x00, 0xB0, 0x00, 0x00}, length), 0x80100069u);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(pcsc().depth(kHandle), 0);
}

TEST_F(ExchangeTest, FailingEndStillDeliversTheAnswer) {
  card.expect("00 CA 00 B2 03", "01 02 03 90 00");
  pcsc().failCall(PcscCall::EndTransaction, 1, 0x80100068);
  std::uint16_t length = 3;
  EXPECT_EQ(send({0x00, 0xCA, 0x00, 0xB2}, length), 0x80100068u);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(sw, 0x9000);
  EXPECT_EQ(buffer[2], 0x03);
}

TEST_F(ExchangeTest, OuterTransactionNestsAndAlwaysEnds) {
  card.expect("00 44 00 00 00", "90 00");
  {
    card::OuterTransaction outer{kHandle};
    ASSERT_EQ(outer.begin(), 0u);
    std::uint16_t length = 0;
    ASSERT_EQ(send({0x00, 0x44, 0x00, 0x00}, length), 0u);
    EXPECT_EQ(pcsc().commands().back().depth, 2);
    // Leaves without finish(): the destructor ends the transaction.
  }
  EXPECT_EQ(pcsc().depth(kHandle), 0);

  card::OuterTransaction failing{kHandle};
  ASSERT_EQ(failing.begin(), 0u);
  pcsc().failCall(PcscCall::EndTransaction, 1, 0x80100068);
  EXPECT_EQ(failing.finish(SCARD_W_WRONG_CHV), SCARD_W_WRONG_CHV) << "a failing end does not hide the failure";
  card::OuterTransaction succeeding{kHandle};
  ASSERT_EQ(succeeding.begin(), 0u);
  pcsc().failCall(PcscCall::EndTransaction, 1, 0x80100068);
  EXPECT_EQ(succeeding.finish(0), 0x80100068u) << "after success the end's failure is the result";
}

TEST(StatusMapping, TablesOverADefault) {
  using card::mapStatus;
  EXPECT_EQ(mapStatus(0x9000, {{0x6982, SCARD_W_SECURITY_VIOLATION}}, SCARD_F_INTERNAL_ERROR), 0u);
  EXPECT_EQ(mapStatus(0x6982, {{0x6982, SCARD_W_SECURITY_VIOLATION}}, SCARD_F_INTERNAL_ERROR),
            SCARD_W_SECURITY_VIOLATION);
  EXPECT_EQ(mapStatus(0x6A82, {{0x6982, SCARD_W_SECURITY_VIOLATION}}, SCARD_F_INTERNAL_ERROR),
            SCARD_F_INTERNAL_ERROR);
  EXPECT_TRUE(card::isRetryCounter(0x63C0));
  EXPECT_FALSE(card::isRetryCounter(0x6300));
  EXPECT_EQ(card::triesLeft(0x63C7), 7u);
}

}  // namespace
}  // namespace vemra::test

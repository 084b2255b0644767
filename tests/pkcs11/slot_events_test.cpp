// C_WaitForSlotEvent against the in-memory readers, changed from another
// thread as a reader's card is.
#include <chrono>

#include "event_wait.h"
#include "p11_fixture.h"

namespace vemra::p11::test {

namespace {

using namespace std::chrono_literals;

class SlotEvents : public P11Test {
 protected:
  CK_RV poll(CK_SLOT_ID& slot) { return f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr); }
};

TEST_F(SlotEvents, RemovalAndInsertionAreReportedOnceOnTheirSlot) {
  CK_SLOT_ID slot = 99;
  EXPECT_EQ(poll(slot), CKR_NO_EVENT) << "the card that was there from the start is no event";

  // Taken out while nobody waits: the next call reports it, once.
  changeReaders(false);
  ASSERT_EQ(poll(slot), CKR_OK);
  EXPECT_EQ(slot, 0u);
  EXPECT_EQ(poll(slot), CKR_NO_EVENT);

  // Put in while a caller waits: the wait blocks until then.
  EventWait waiting(f);
  ASSERT_FALSE(waiting.ended(200ms)) << "the wait blocks without an event";
  changeReaders(true);
  ASSERT_TRUE(waiting.ended(10s));
  const auto [rv, reported] = waiting.get();
  EXPECT_EQ(rv, CKR_OK);
  EXPECT_EQ(reported, 0u);
  EXPECT_EQ(poll(slot), CKR_NO_EVENT);
  CK_SLOT_INFO info{};
  ASSERT_EQ(f->C_GetSlotInfo(0, &info), CKR_OK);
  EXPECT_NE(info.flags & CKF_TOKEN_PRESENT, 0u);

  // A removal seen first by C_GetSlotList is still reported.
  changeReaders(false);
  CK_ULONG count = 0;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(poll(slot), CKR_OK);
  EXPECT_EQ(slot, 0u);
}

TEST_F(SlotEvents, AReaderPluggedInLaterIsANewSlotWithAnEvent) {
  CK_SLOT_ID slot = 99;
  EXPECT_EQ(poll(slot), CKR_NO_EVENT);
  EventWait waiting(f);
  ASSERT_FALSE(waiting.ended(100ms));
  changeReaders(true, {{"Second Reader 01 00", true}});
  ASSERT_TRUE(waiting.ended(10s));
  const auto [rv, reported] = waiting.get();
  EXPECT_EQ(rv, CKR_OK);
  EXPECT_EQ(reported, 1u);
  CK_SLOT_INFO info{};
  ASSERT_EQ(f->C_GetSlotInfo(1, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 19), "Second Reader 01 00");
  EXPECT_EQ(poll(slot), CKR_NO_EVENT);

  // Unplugged: the slot keeps its number and reports the card gone.
  changeReaders(true);
  ASSERT_EQ(poll(slot), CKR_OK);
  EXPECT_EQ(slot, 1u);
  ASSERT_EQ(f->C_GetSlotInfo(1, &info), CKR_OK);
  EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, 0u);
}

TEST_F(SlotEvents, FinalizeFromAnotherThreadEndsABlockedWait) {
  EventWait waiting(f);
  ASSERT_FALSE(waiting.ended(200ms));
  ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
  ASSERT_TRUE(waiting.ended(10s));
  EXPECT_EQ(waiting.get().first, CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(poll(slot), CKR_CRYPTOKI_NOT_INITIALIZED);
  // The module starts again, with a wait of its own.
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(poll(slot), CKR_NO_EVENT);
  EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, &slot), CKR_ARGUMENTS_BAD);
}

}  // namespace

}  // namespace vemra::p11::test

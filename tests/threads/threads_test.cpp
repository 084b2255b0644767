// Several threads of one process, each with its own CARD_DATA on the one
// simulated card, as the platform's certification runs them (5 threads x 5
// rounds): mixed file operations, logins and logouts. Built also under
// ThreadSanitizer (build-tsan), which shows any state the driver shares
// between calls on different records.
//
// The PC/SC layer here is the service's behaviour in miniature: one card,
// transactions exclusive to one card handle (nesting on it), and a command
// from another handle waits until the transaction ends.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "cardsim/card.h"
#include "common/entry_points.h"
#include "support/card_tables.h"
#include "support/card_workload.h"
#include "threads/shared_card.h"

namespace vemra::test {
namespace {

std::mutex blocksMutex;
std::map<void*, std::size_t> blocks;
std::atomic<int> badFrees{0};

LPVOID WINAPI providerAlloc(SIZE_T size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  std::lock_guard<std::mutex> lock(blocksMutex);
  blocks[block] = size;
  return block;
}
LPVOID WINAPI providerReAlloc(LPVOID, SIZE_T) {
  ++badFrees;
  return nullptr;
}
void WINAPI providerFree(LPVOID block) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(blocksMutex);
    if (blocks.erase(block) == 0) {
      ++badFrees;
      return;
    }
  }
  std::free(block);
}

CARD_DATA providerRecord(const std::vector<BYTE>& atr, std::u16string& name, std::uintptr_t handle) {
  CARD_DATA cardData{};
  cardData.dwVersion = 7;
  cardData.pbAtr = const_cast<BYTE*>(atr.data());
  cardData.cbAtr = static_cast<DWORD>(atr.size());
  cardData.pwszCardName = name.data();
  cardData.pfnCspAlloc = providerAlloc;
  cardData.pfnCspReAlloc = providerReAlloc;
  cardData.pfnCspFree = providerFree;
  cardData.hSCardCtx = 1;
  cardData.hScard = handle;
  return cardData;
}

// Makes the shared directory on `card` through `handle`.
void prepare(cardsim::Card& card, std::uintptr_t handle) {
  const std::vector<BYTE> atr = card.atr();
  std::u16string name = u"Vemra simulated card";
  CARD_DATA setup = providerRecord(atr, name, handle);
  ASSERT_EQ(CardAcquireContext(&setup, 0), 0u);
  std::string pin = "1234";
  ASSERT_EQ(CardAuthenticatePin(&setup, const_cast<char16_t*>(u"user"), reinterpret_cast<PBYTE>(pin.data()), 4,
                                nullptr),
            0u);
  ASSERT_EQ(CardCreateDirectory(&setup, const_cast<char*>(kSharedDirectory), UserCreateDeleteDirAc), 0u);
  ASSERT_EQ(CardDeleteContext(&setup), 0u);
}

// Runs one worker per handle, each with its own CARD_DATA, all at once.
std::vector<WorkerLog> runThreads(const std::vector<std::uintptr_t>& handles, const std::vector<BYTE>& atr,
                                  int rounds) {
  std::u16string name = u"Vemra simulated card";
  std::vector<WorkerLog> logs(handles.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < handles.size(); ++t) {
    threads.emplace_back([&, t] {
      const std::uintptr_t handle = handles[t];
      CARD_DATA cardData = providerRecord(atr, name, handle);
      if (const DWORD rc = CardAcquireContext(&cardData, 0)) {
        logs[t].failures.push_back("CardAcquireContext returned " + std::to_string(rc));
        return;
      }
      const Provider provider{[handle] { return SharedCard::instance().begin(handle); },
                              [handle] { return SharedCard::instance().end(handle); }};
      runWorker(cardData, provider, static_cast<int>(t), rounds, logs[t]);
      if (cardData.pfnCardDeleteContext(&cardData) != 0) logs[t].failures.push_back("CardDeleteContext failed");
    });
  }
  for (auto& thread : threads) thread.join();
  return logs;
}

void expectCleanCard(const cardsim::Card& card) {
  const CardTables tables = readTables(card);
  EXPECT_TRUE(tables.broken.empty() && tables.leftOvers.empty()) << tables.describe();
  EXPECT_TRUE(tables.directories.count(kSharedDirectory)) << tables.describe();
  CardTables remaining = tables;
  for (const auto& [file, text] : remaining.files[kSharedDirectory]) {
    EXPECT_EQ(file, kSharedFile) << "a worker's own file was left behind";
  }
}

class ThreadsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(SharedCard::instance().idle()) << "a transaction was left open";
    SharedCard::instance().clear();
    std::lock_guard<std::mutex> lock(blocksMutex);
    EXPECT_EQ(blocks.size(), 0u) << "blocks from pfnCspAlloc were not given back";
    EXPECT_EQ(badFrees.load(), 0) << "a block freed twice or never allocated, or pfnCspReAlloc called";
  }
};

// Five threads, five rounds, one card: the providers' transactions take
// turns on the card, and the tables stay consistent.
TEST_F(ThreadsTest, FiveThreadsShareOneCard) {
  cardsim::Card card;
  const std::vector<std::uintptr_t> handles{100, 101, 102, 103, 104};
  for (std::uintptr_t handle : handles) SharedCard::instance().bind(handle, card);
  SharedCard::instance().bind(99, card);
  prepare(card, 99);
  EXPECT_EQ(checkLogs(runThreads(handles, card.atr(), 5)), "");
  expectCleanCard(card);
}

// Five threads on five cards, with nothing but the driver's code in common:
// they run the driver truly side by side, so any state the driver kept
// between records would be a data race for ThreadSanitizer.
TEST_F(ThreadsTest, FiveThreadsOnFiveCardsShareNothing) {
  std::vector<std::unique_ptr<cardsim::Card>> cards;
  std::vector<std::uintptr_t> handles;
  for (std::uintptr_t t = 0; t < 5; ++t) {
    cards.push_back(std::make_unique<cardsim::Card>());
    handles.push_back(200 + t);
    SharedCard::instance().bind(200 + t, *cards.back());
    SharedCard::instance().bind(300 + t, *cards.back());
    prepare(*cards.back(), 300 + t);
  }
  EXPECT_EQ(checkLogs(runThreads(handles, cards[0]->atr(), 5)), "");
  for (const auto& card : cards) expectCleanCard(*card);
}

}  // namespace
}  // namespace vemra::test

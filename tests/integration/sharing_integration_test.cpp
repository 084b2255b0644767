// Several processes on one card through the real pcscd, a card reset by
// another process, and a card taken out of the reader. Each process loads the delivered library, connects on
// its own and works with its own CARD_DATA (support/card_workload.h); the
// card's tables are read from the state the simulated card saves.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cardsim/card.h"
#include "pcsc_stack.h"
#include "support/card_tables.h"
#include "support/card_workload.h"
#include "vemradrv/minidriver.h"

namespace vemra::integration {
namespace {

constexpr DWORD kResetCard = 0x80100068;
constexpr DWORD kRemovedCard = 0x80100069;

const std::string kStateFile = std::string(VEMRA_INTEGRATION_WORKDIR) + "/sharing-card.json";

class StackEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::remove(kStateFile.c_str());
    PcscStack::instance().setStateFile(kStateFile);
  }
  void TearDown() override { PcscStack::instance().stop(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new StackEnvironment);

// The provider's allocator, counting live blocks.
std::atomic<long> liveBlocks{0};
LPVOID WINAPI providerAlloc(SIZE_T size) {
  ++liveBlocks;
  return std::malloc(size);
}
LPVOID WINAPI providerReAlloc(LPVOID, SIZE_T) { return nullptr; }
void WINAPI providerFree(LPVOID p) {
  if (p != nullptr) --liveBlocks;
  std::free(p);
}

// The delivered library and a provider's record on one connection.
struct Provider {
  void* library = ::dlopen(VEMRA_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
  PFN_CARD_ACQUIRE_CONTEXT acquire =
      library ? reinterpret_cast<PFN_CARD_ACQUIRE_CONTEXT>(::dlsym(library, "CardAcquireContext")) : nullptr;
  Connection connection;
  std::vector<BYTE> atr;
  std::u16string name = u"Vemra simulated card";
  CARD_DATA cardData{};

  std::string connect() {
    if (acquire == nullptr) return "the driver library cannot be loaded";
    if (std::string failure = PcscStack::instance().connect(connection); !failure.empty()) return failure;
    atr = connection.atr;
    return {};
  }
  DWORD bind() {
    cardData = CARD_DATA{};
    cardData.dwVersion = 7;
    cardData.pbAtr = atr.data();
    cardData.cbAtr = static_cast<DWORD>(atr.size());
    cardData.pwszCardName = name.data();
    cardData.pfnCspAlloc = providerAlloc;
    cardData.pfnCspReAlloc = providerReAlloc;
    cardData.pfnCspFree = providerFree;
    cardData.hSCardCtx = connection.context;
    cardData.hScard = connection.card;
    return acquire(&cardData, 0);
  }
  DWORD login() {
    std::string pin = "1234";
    return cardData.pfnCardAuthenticatePin(&cardData, const_cast<char16_t*>(u"user"),
                                           reinterpret_cast<PBYTE>(pin.data()), 4, nullptr);
  }
  ~Provider() {
    if (cardData.pvVendorSpecific != nullptr) cardData.pfnCardDeleteContext(&cardData);
    PcscStack::instance().disconnect(connection);
    if (library != nullptr) ::dlclose(library);
  }
};

class SharingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PcscStack::instance().start(), "") << "the PC/SC stack could not be brought up"; }
};

// N processes x M rounds: creating, writing, reading and deleting their own
// files and one shared file in one directory, logging in and out.
TEST_F(SharingTest, FourProcessesShareTheCardThroughPcscd) {
  constexpr int kProcesses = 4;
  constexpr int kRounds = 3;
  {
    Provider setup;
    ASSERT_EQ(setup.connect(), "");
    ASSERT_EQ(setup.bind(), 0u);
    ASSERT_EQ(setup.login(), 0u);
    const DWORD created = setup.cardData.pfnCardCreateDirectory(
        &setup.cardData, const_cast<char*>(test::kSharedDirectory), UserCreateDeleteDirAc);
    ASSERT_TRUE(created == 0 || created == ERROR_FILE_EXISTS) << created;
  }

  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string logFile = std::string(VEMRA_INTEGRATION_WORKDIR) + "/sharing-" + std::to_string(p) + ".log";
    std::remove(logFile.c_str());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      test::WorkerLog log;
      {
        Provider provider;
        if (std::string failure = provider.connect(); !failure.empty()) {
          log.failures.push_back("connect: " + failure);
        } else if (const DWORD rc = provider.bind()) {
          log.failures.push_back("CardAcquireContext: " + std::to_string(rc));
        } else {
          const test::Provider transactions{[&] { return PcscStack::instance().begin(provider.connection); },
                                            [&] { return PcscStack::instance().end(provider.connection); }};
          test::runWorker(provider.cardData, transactions, p, kRounds, log);
        }
      }
      if (liveBlocks != 0) log.failures.push_back("blocks from pfnCspAlloc were not given back");
      std::ofstream(logFile) << test::serialise(log);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  std::vector<test::WorkerLog> logs;
  for (int p = 0; p < kProcesses; ++p) {
    int status = 0;
    ASSERT_EQ(::waitpid(children[p], &status, 0), children[p]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p << " ended abnormally";
    std::ifstream in(std::string(VEMRA_INTEGRATION_WORKDIR) + "/sharing-" + std::to_string(p) + ".log");
    std::stringstream text;
    text << in.rdbuf();
    logs.push_back(test::deserialise(text.str()));
  }
  EXPECT_EQ(test::checkLogs(logs), "");

  const cardsim::Card card = cardsim::Card::loadFile(kStateFile);
  const test::CardTables tables = test::readTables(card);
  EXPECT_TRUE(tables.broken.empty() && tables.leftOvers.empty()) << tables.describe();
  auto files = tables.files;
  for (const auto& [file, text] : files[test::kSharedDirectory]) {
    EXPECT_EQ(file, test::kSharedFile) << "a process's own file was left behind";
  }
}

// Another process resets the card between two calls: the next call hands
// back SCARD_W_RESET_CARD, nothing leaks, and after reconnecting a new
// CardAcquireContext works.
TEST_F(SharingTest, ACardResetByAnotherProcessIsHandedBackAndTheNextAcquisitionWorks) {
  liveBlocks = 0;
  {
    Provider provider;
    ASSERT_EQ(provider.connect(), "");
    ASSERT_EQ(provider.bind(), 0u);
    ASSERT_EQ(provider.login(), 0u);

    Provider other;
    ASSERT_EQ(other.connect(), "");
    ASSERT_EQ(PcscStack::instance().reconnect(other.connection, true), 0);

    PBYTE data = nullptr;
    DWORD length = 0;
    EXPECT_EQ(provider.cardData.pfnCardReadFile(&provider.cardData, nullptr, const_cast<char*>("cardid"), 0, &data,
                                                &length),
              kResetCard);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(provider.cardData.pfnCardDeleteContext(&provider.cardData), 0u);
    provider.cardData.pvVendorSpecific = nullptr;
    EXPECT_EQ(liveBlocks, 0) << "blocks from pfnCspAlloc were not given back";

    ASSERT_EQ(PcscStack::instance().reconnect(provider.connection, false), 0);
    ASSERT_EQ(provider.bind(), 0u) << "CardAcquireContext after reconnecting";
    EXPECT_EQ(provider.login(), 0u) << "the reset ended the login; a new one works";
  }
  EXPECT_EQ(liveBlocks, 0);
}

// The card taken out of the reader between two calls: the next call hands
// back SCARD_W_REMOVED_CARD, nothing leaks, and once the card is back and
// the provider has connected anew, CardAcquireContext works again.
TEST_F(SharingTest, ARemovedCardIsHandedBackAndTheNextAcquisitionWorks) {
  liveBlocks = 0;
  {
    Provider provider;
    ASSERT_EQ(provider.connect(), "");
    ASSERT_EQ(provider.bind(), 0u);
    ASSERT_EQ(provider.login(), 0u);

    ASSERT_EQ(PcscStack::instance().removeCard(), "");
    EXPECT_EQ(provider.login(), kRemovedCard);
    EXPECT_EQ(provider.cardData.pfnCardDeleteContext(&provider.cardData), 0u);
    provider.cardData.pvVendorSpecific = nullptr;
    EXPECT_EQ(liveBlocks, 0) << "blocks from pfnCspAlloc were not given back";

    ASSERT_EQ(PcscStack::instance().insertCard(), "");
    PcscStack::instance().disconnect(provider.connection);
    ASSERT_EQ(provider.connect(), "");
    ASSERT_EQ(provider.bind(), 0u) << "CardAcquireContext after the card is back";
    EXPECT_EQ(provider.login(), 0u);
  }
  EXPECT_EQ(liveBlocks, 0);
}

}  // namespace
}  // namespace vemra::integration

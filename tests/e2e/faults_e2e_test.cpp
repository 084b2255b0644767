// A fault at every step of every changing operation, checked on the card.
// For each operation and each position k of its PC/SC calls, call k fails (a
// transmit before the card sees it, a transmit whose answer is lost because
// the card lost power right after running it, a transaction begin, a
// transaction end). Then: the failure is handed back unchanged, every
// transaction is ended, every provider block is given back, and the card's
// tables hold no registered entry without its EF and show either the state
// before or the state after the operation. A left-over EF or DF is allowed
// until the operation is run again, which must repair it.
#include <functional>
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/card_tables.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

constexpr DWORD kCommDataLost = 0x8010002F;
constexpr DWORD kResetCard = 0x80100068;
constexpr DWORD kRemovedCard = 0x80100069;
constexpr DWORD kNoSmartcard = 0x8010000C;

LPSTR str(const char* text) { return const_cast<LPSTR>(text); }

// A provider's record on the simulated card, acquired and released per step.
class Session {
 public:
  explicit Session(cardsim::Card& card) : atr_(card.atr()), card_(card) {
    cardData = providerCardData(atr_, name_, 0x51);
  }
  DWORD acquire() { return CardAcquireContext(&cardData, 0); }
  void release() {
    if (cardData.pvVendorSpecific != nullptr) {
      EXPECT_EQ(CardDeleteContext(&cardData), 0u);
    }
  }
  DWORD login(const std::string& pin = "1234") {
    return CardAuthenticatePin(&cardData, user_.data(), reinterpret_cast<PBYTE>(const_cast<char*>(pin.data())),
                               static_cast<DWORD>(pin.size()), nullptr);
  }
  DWORD write(const char* directory, const char* file, const std::string& content) {
    return CardWriteFile(&cardData, str(directory), str(file), 0,
                         reinterpret_cast<PBYTE>(const_cast<char*>(content.data())), static_cast<DWORD>(content.size()));
  }
  // CardGetChallenge, then CardUnblockPin of the user with the administrator's response.
  DWORD unblock(const std::string& newPin) {
    PBYTE challenge = nullptr;
    DWORD length = 0;
    if (const DWORD rc = CardGetChallenge(&cardData, &challenge, &length)) return rc;
    const auto key = card_.config().adminKey;
    auto response = adminResponse({challenge, length}, key);
    ProviderDouble::free(challenge);
    return CardUnblockPin(&cardData, user_.data(), response.data(), 8,
                          reinterpret_cast<PBYTE>(const_cast<char*>(newPin.data())),
                          static_cast<DWORD>(newPin.size()), 0, CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
  }
  // A left-over EF under the first free entry of the root is reclaimed by
  // the next creation that takes the entry.
  DWORD reclaimFileEntry() {
    if (const DWORD rc = CardCreateFile(&cardData, nullptr, str("spare"), 0, EveryoneReadUserWriteAc)) return rc;
    return CardDeleteFile(&cardData, nullptr, str("spare"), 0);
  }
  DWORD changePin(const std::string& from, const std::string& to) {
    return CardChangeAuthenticator(&cardData, user_.data(), reinterpret_cast<PBYTE>(const_cast<char*>(from.data())),
                                   static_cast<DWORD>(from.size()),
                                   reinterpret_cast<PBYTE>(const_cast<char*>(to.data())),
                                   static_cast<DWORD>(to.size()), 0, CARD_AUTHENTICATE_PIN_PIN, nullptr);
  }

  CARD_DATA cardData{};

 private:
  std::vector<BYTE> atr_;
  std::u16string name_ = u"Vemra simulated card";
  std::u16string user_ = u"user";
  cardsim::Card& card_;
};

struct Scenario {
  const char* name;
  std::function<void(Session&)> setup;      // run without faults, user logged in
  std::function<DWORD(Session&)> operation;  // the changing operation under faults
  // After a fault, on a new context with the user logged in: the next
  // operation, which must succeed and leave the state after the operation.
  std::function<DWORD(Session&)> repair;
  // For PIN operations: which PIN the card takes afterwards ("" when the
  // tables are checked instead).
  std::string oldPin = "", newPin = "";
  // A left-over the next operation does not remove (see the write below).
  std::string unrepaired = "";
};

const std::string kGrown(300, 'g');

std::vector<Scenario> scenarios() {
  auto none = [](Session&) {};
  return {
      {"create directory", none,
       [](Session& s) { return CardCreateDirectory(&s.cardData, str("docs"), UserCreateDeleteDirAc); },
       [](Session& s) {
         const DWORD rc = CardCreateDirectory(&s.cardData, str("docs"), UserCreateDeleteDirAc);
         return rc == ERROR_FILE_EXISTS ? 0 : rc;
       }},
      {"delete directory",
       [](Session& s) { ASSERT_EQ(CardCreateDirectory(&s.cardData, str("docs"), UserCreateDeleteDirAc), 0u); },
       [](Session& s) { return CardDeleteDirectory(&s.cardData, str("docs")); },
       [](Session& s) {
         const DWORD rc = CardDeleteDirectory(&s.cardData, str("docs"));
         if (rc != 0 && rc != SCARD_E_DIR_NOT_FOUND) return rc;
         // An orphan DF is reclaimed by the next creation on its number.
         if (const DWORD created = CardCreateDirectory(&s.cardData, str("spare"), UserCreateDeleteDirAc)) return created;
         return CardDeleteDirectory(&s.cardData, str("spare"));
       }},
      {"create file in a directory",
       [](Session& s) { ASSERT_EQ(CardCreateDirectory(&s.cardData, str("docs"), UserCreateDeleteDirAc), 0u); },
       [](Session& s) { return CardCreateFile(&s.cardData, str("docs"), str("note"), 20, EveryoneReadUserWriteAc); },
       [](Session& s) {
         const DWORD rc = CardCreateFile(&s.cardData, str("docs"), str("note"), 20, EveryoneReadUserWriteAc);
         return rc == ERROR_FILE_EXISTS ? 0 : rc;
       }},
      {"delete file",
       [](Session& s) {
         ASSERT_EQ(CardCreateFile(&s.cardData, nullptr, str("note"), 5, EveryoneReadUserWriteAc), 0u);
         ASSERT_EQ(s.write(nullptr, "note", "hello"), 0u);
       },
       [](Session& s) { return CardDeleteFile(&s.cardData, nullptr, str("note"), 0); },
       [](Session& s) {
         const DWORD rc = CardDeleteFile(&s.cardData, nullptr, str("note"), 0);
         if (rc != 0 && rc != SCARD_E_FILE_NOT_FOUND) return rc;
         return s.reclaimFileEntry();
       }},
      // The file outgrows its EF and moves to a new entry. A left-over EF
      // under the free entry is removed by the next creation that takes the
      // entry; then the write goes through. A failure after the new entry is
      // registered and before the old one is cleared leaves two entries of
      // the name: lookups find the old one (the old content), and no later
      // operation clears the other, so deleting the file brings it back.
      {"write that grows a file",
       [](Session& s) {
         ASSERT_EQ(CardCreateFile(&s.cardData, nullptr, str("note"), 0, EveryoneReadUserWriteAc), 0u);
         ASSERT_EQ(s.write(nullptr, "note", "hello"), 0u);
       },
       [](Session& s) { return s.write(nullptr, "note", kGrown); },
       [](Session& s) {
         if (const DWORD rc = s.reclaimFileEntry()) return rc;
         return s.write(nullptr, "note", kGrown);
       },
       "", "", "/note: a second entry of the name"},
      {"PIN change", none, [](Session& s) { return s.changePin("1234", "5678"); }, nullptr, "1234", "5678"},
      {"PIN unblock", none, [](Session& s) { return s.unblock("4321"); }, nullptr, "1234", "4321"},
  };
}

enum class Fault { Transmit, PowerLost, Begin, End };
const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::Transmit: return "transmit fails";
    case Fault::PowerLost: return "power lost after the command";
    case Fault::Begin: return "begin fails";
    default: return "end fails";
  }
}

class FaultAtEveryStep : public ::testing::Test {
 protected:
  PcscDouble& pcsc() { return PcscDouble::instance(); }

  struct Run {
    DWORD result = 0;
    int transmits = 0, begins = 0, ends = 0;
    CardTables before, after;
  };

  // One run on a fresh card: setup, then the operation with `fault` planned
  // at position `k` of its calls (k = 0: no fault).
  Run run(const Scenario& scenario, Fault fault, int k, std::uint32_t code) {
    pcsc().reset();
    ProviderDouble::instance().reset();
    cardsim::Card card;
    SimulatedCard backend(card);
    pcsc().setBackend(&backend);
    Run out;
    {
      Session session(card);
      EXPECT_EQ(session.acquire(), 0u);
      EXPECT_EQ(session.login(), 0u);
      scenario.setup(session);
      out.before = readTables(card);
      const int transmits = pcsc().calls(PcscCall::Transmit);
      const int begins = pcsc().calls(PcscCall::BeginTransaction);
      const int ends = pcsc().calls(PcscCall::EndTransaction);
      if (k > 0) {
        switch (fault) {
          case Fault::Transmit: pcsc().failCall(PcscCall::Transmit, k, code); break;
          case Fault::PowerLost: pcsc().loseAnswer(k, code); break;
          case Fault::Begin: pcsc().failCall(PcscCall::BeginTransaction, k, code); break;
          case Fault::End: pcsc().failCall(PcscCall::EndTransaction, k, code); break;
        }
      }
      out.result = scenario.operation(session);
      out.transmits = pcsc().calls(PcscCall::Transmit) - transmits;
      out.begins = pcsc().calls(PcscCall::BeginTransaction) - begins;
      out.ends = pcsc().calls(PcscCall::EndTransaction) - ends;
      EXPECT_TRUE(pcsc().balanced()) << "a transaction was left open or ended twice";
      session.release();
    }
    EXPECT_EQ(ProviderDouble::instance().live(), 0u) << "blocks from pfnCspAlloc were not given back";
    EXPECT_EQ(ProviderDouble::instance().badFrees(), 0);
    if (fault == Fault::PowerLost) card.reset();
    out.after = readTables(card);
    if (k > 0) checkAfterFault(scenario, card);
    pcsc().setBackend(nullptr);
    return out;
  }

  // The state the operation allows, and the repair by the next operation.
  void checkAfterFault(const Scenario& scenario, cardsim::Card& card) {
    const CardTables tables = readTables(card);
    EXPECT_TRUE(tables.broken.empty()) << tables.describe();
    EXPECT_TRUE(tables.sameView(expectedBefore_) || tables.sameView(expectedAfter_))
        << "neither the old nor the new state:\n" << tables.describe();
    Session next(card);
    ASSERT_EQ(next.acquire(), 0u) << "the next acquisition after the fault";
    if (scenario.repair == nullptr) {
      // Exactly one of the two PINs is the card's.
      const DWORD withNew = next.login(scenario.newPin);
      if (withNew != 0) {
        EXPECT_EQ(next.login(scenario.oldPin), 0u) << "neither PIN is taken";
      }
    } else {
      EXPECT_EQ(next.login(), 0u);
      EXPECT_EQ(scenario.repair(next), 0u) << "the next operation does not repair";
      const CardTables repaired = readTables(card);
      EXPECT_TRUE(repaired.broken.empty()) << repaired.describe();
      for (const std::string& leftOver : repaired.leftOvers) {
        EXPECT_EQ(leftOver, scenario.unrepaired) << "not repaired by the next operation:\n" << repaired.describe();
      }
      EXPECT_TRUE(repaired.sameView(expectedAfter_)) << "after the repair:\n" << repaired.describe();
    }
    next.release();
  }

  CardTables expectedBefore_, expectedAfter_;
};

TEST_F(FaultAtEveryStep, EachFailureIsHandedBackAndLeavesAStateTheOperationAllows) {
  const struct {
    Fault fault;
    std::uint32_t code;
  } faults[] = {{Fault::Transmit, kCommDataLost},
                {Fault::PowerLost, kResetCard},
                {Fault::Begin, kRemovedCard},
                {Fault::End, kNoSmartcard}};
  for (const Scenario& scenario : scenarios()) {
    const Run clean = run(scenario, Fault::Transmit, 0, 0);
    ASSERT_EQ(clean.result, 0u) << scenario.name;
    ASSERT_TRUE(clean.after.broken.empty() && clean.after.leftOvers.empty()) << clean.after.describe();
    expectedBefore_ = clean.before;
    expectedAfter_ = clean.after;
    for (const auto& [fault, code] : faults) {
      const int positions = fault == Fault::Begin ? clean.begins : fault == Fault::End ? clean.ends : clean.transmits;
      for (int k = 1; k <= positions; ++k) {
        SCOPED_TRACE(std::string(scenario.name) + ", " + faultName(fault) + " at call " + std::to_string(k));
        const Run faulty = run(scenario, fault, k, code);
        EXPECT_EQ(faulty.result, code) << "the failure is not handed back unchanged";
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace vemra::test

// What the module keeps of a card: served again within and across holds of
// the card while "cardcf" is unchanged, dropped when it changes or when
// this process writes, never kept without a hold, for a card without
// "cardcf", or for files not everyone may read.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "cached_port.h"

namespace vemra::p11 {
namespace {

constexpr DWORD kRemoved = 0x80100069;

// A card that counts what reaches it.
class CountingCard final : public CardPort {
 public:
  std::map<std::string, Bytes> files{{"/cardcf", Bytes(6, 0)},
                                     {"/cardid", Bytes(16, 0xC1)},
                                     {"mscp/cmapfile", Bytes(86, 0x4D)},
                                     {"mscp/kxc00", Bytes{0x30, 0x03, 0x02, 0x01, 0x01}},
                                     {"mscp/private", Bytes{0x5E}}};
  std::map<BYTE, ContainerKeys> containers{{0, ContainerKeys{std::nullopt, RsaPublic{Bytes(256, 0xAB), {1, 0, 1}}}}};
  std::map<std::string, int> reads;  // by path; "keys" for container keys
  std::vector<std::string> calls;     // logins, logouts and signatures, in order
  int transactions = 0;
  DWORD holdFailure = 0;

  DWORD readFile(const std::string& dir, const std::string& name, Bytes& out) override {
    ++reads[dir + "/" + name];
    auto it = files.find(dir + "/" + name);
    if (it == files.end()) return SCARD_E_FILE_NOT_FOUND;
    out = it->second;
    return 0;
  }
  DWORD writeFile(const std::string& dir, const std::string& name, const Bytes& content) override {
    files[dir + "/" + name] = content;
    return 0;
  }
  DWORD createFile(const std::string&, const std::string&, DWORD) override { return 0; }
  DWORD deleteFile(const std::string&, const std::string&) override { return 0; }
  DWORD serialNumber(Bytes& out) override {
    ++reads["serial"];
    out = Bytes{1, 2, 3};
    return 0;
  }
  DWORD keySizes(DWORD& lo, DWORD& hi) override {
    lo = 1024;
    hi = 2048;
    return 0;
  }
  DWORD maxContainers(DWORD& count) override {
    count = 8;
    return 0;
  }
  DWORD authenticateUser(const Bytes&, DWORD&) override {
    calls.push_back("login");
    return 0;
  }
  DWORD challenge(Bytes&) override { return 0; }
  DWORD answerChallenge(const Bytes&, DWORD&) override { return 0; }
  DWORD deauthenticate(PIN_SET) override {
    calls.push_back("logout");
    return 0;
  }
  DWORD changePin(const Bytes&, const Bytes&, DWORD&) override { return 0; }
  DWORD unblockPin(const Bytes&, const Bytes&) override { return 0; }
  DWORD changeAdminKey(const Bytes&, const Bytes&) override { return 0; }
  DWORD containerKeys(BYTE index, ContainerKeys& out) override {
    ++reads["keys"];
    auto it = containers.find(index);
    if (it == containers.end()) return SCARD_E_NO_KEY_CONTAINER;
    out = it->second;
    return 0;
  }
  DWORD importKey(BYTE, DWORD, const Bytes&, DWORD) override { return 0; }
  DWORD deleteContainer(BYTE index) override {
    containers.erase(index);
    return 0;
  }
  DWORD sign(BYTE, DWORD, ALG_ID, const Bytes&, Bytes&) override {
    calls.push_back("sign");
    return 0;
  }
  DWORD decrypt(BYTE, DWORD, const Bytes&, DWORD, const OaepParams*, Bytes&) override { return 0; }
  DWORD privateKeyOperation(BYTE, DWORD, const Bytes&, Bytes&) override { return 0; }
  DWORD beginTransaction() override {
    if (holdFailure == 0) ++transactions;
    return holdFailure;
  }
  void endTransaction() override { --transactions; }
};

class Cache : public ::testing::Test {
 protected:
  Cache() {
    auto owned = std::make_unique<CountingCard>();
    card = owned.get();
    port = std::make_unique<CachedPort>(std::move(owned));
  }
  // One card operation reading `dir`/`name` twice; the content read.
  Bytes operationReading(const std::string& dir, const std::string& name, DWORD expected = 0) {
    Bytes first;
    Bytes second;
    EXPECT_EQ(port->beginTransaction(), 0u);
    EXPECT_EQ(port->readFile(dir, name, first), expected);
    EXPECT_EQ(port->readFile(dir, name, second), expected);
    port->endTransaction();
    EXPECT_EQ(first, second);
    return first;
  }
  // Card reads since the last call, by path.
  std::map<std::string, int> takeReads() { return std::exchange(card->reads, {}); }

  CountingCard* card = nullptr;
  std::unique_ptr<CachedPort> port;
};

TEST_F(Cache, PublicFilesAreReadOnceWhileCardcfIsUnchanged) {
  struct Case {
    const char* dir;
    const char* name;
    DWORD rc;
  };
  const Case cases[] = {
      {"", "cardid", 0},
      {"mscp", "cmapfile", 0},
      {"mscp", "kxc00", 0},
      {"mscp", "ksc01", SCARD_E_FILE_NOT_FOUND},  // a missing certificate is remembered too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + "/" + c.name);
    operationReading(c.dir, c.name, c.rc);
    EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 1}, {std::string(c.dir) + "/" + c.name, 1}}));
    operationReading(c.dir, c.name, c.rc);
    EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 1}})) << "the next operation checks only cardcf";
  }
  EXPECT_EQ(card->transactions, 0) << "every operation released the card";
}

TEST_F(Cache, AnotherProgramsChangeIsSeenThroughCardcf) {
  EXPECT_EQ(operationReading("mscp", "cmapfile"), Bytes(86, 0x4D));
  // Another program rewrites the map and bumps the files' counter.
  card->files["mscp/cmapfile"] = Bytes(86, 0x77);
  card->files["/cardcf"][4] = 1;
  takeReads();
  EXPECT_EQ(operationReading("mscp", "cmapfile"), Bytes(86, 0x77));
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 1}, {"mscp/cmapfile", 1}}));

  // Container keys follow the same rule.
  ContainerKeys keys;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(port->beginTransaction(), 0u);
    EXPECT_EQ(port->containerKeys(0, keys), 0u);
    EXPECT_TRUE(keys.keyExchange.has_value());
    EXPECT_EQ(port->containerKeys(1, keys), static_cast<DWORD>(SCARD_E_NO_KEY_CONTAINER));
    port->endTransaction();
  }
  EXPECT_EQ(takeReads()["keys"], 2) << "two containers, each asked of the card once";
  card->containers.erase(0);
  card->files["/cardcf"][2] = 1;  // the containers' counter
  ASSERT_EQ(port->beginTransaction(), 0u);
  EXPECT_EQ(port->containerKeys(0, keys), static_cast<DWORD>(SCARD_E_NO_KEY_CONTAINER));
  port->endTransaction();
}

TEST_F(Cache, ThisProcesssWritesDropWhatIsKept) {
  operationReading("mscp", "cmapfile");
  takeReads();
  ASSERT_EQ(port->beginTransaction(), 0u);
  // Written without bumping cardcf (the bump follows a write): still seen.
  ASSERT_EQ(port->writeFile("mscp", "cmapfile", Bytes(86, 0x11)), 0u);
  Bytes map;
  ASSERT_EQ(port->readFile("mscp", "cmapfile", map), 0u);
  EXPECT_EQ(map, Bytes(86, 0x11));
  port->endTransaction();
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 1}, {"mscp/cmapfile", 1}}));
}

TEST_F(Cache, NothingIsKeptOutsideAnOperationWithoutCardcfOrForOtherFiles) {
  Bytes out;
  struct Case {
    const char* what;
    bool inOperation;
    bool withCardcf;
    const char* dir;
    const char* name;
  };
  const Case cases[] = {
      {"outside an operation", false, true, "mscp", "cmapfile"},
      {"a card without cardcf", true, false, "mscp", "cmapfile"},
      {"a file not everyone may read", true, true, "mscp", "private"},
      {"cardcf itself", true, true, "", "cardcf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.withCardcf) card->files.erase("/cardcf");
    for (int round = 0; round < 2; ++round) {
      if (c.inOperation) {
        ASSERT_EQ(port->beginTransaction(), 0u);
      }
      EXPECT_EQ(port->readFile(c.dir, c.name, out), 0u);
      if (c.inOperation) port->endTransaction();
    }
    EXPECT_EQ(takeReads()[std::string(c.dir) + "/" + c.name], 2);
    card->files["/cardcf"] = Bytes(6, 0);
  }
}

TEST_F(Cache, ALostCardIsReportedAndKeptDataServesNoReadWithoutAHold) {
  operationReading("", "cardid");
  takeReads();
  card->holdFailure = kRemoved;
  EXPECT_EQ(port->beginTransaction(), kRemoved);
  EXPECT_EQ(card->transactions, 0);
  Bytes out;
  EXPECT_EQ(port->readFile("", "cardid", out), 0u);
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardid", 1}})) << "read from the card, not from what is kept";
}

// Holds nest: the card's port sees every begin and end, and "cardcf" is
// read once for the outermost hold, again only for the next one.
TEST_F(Cache, NestedHoldsCheckCardcfOncePerOutermostHold) {
  Bytes out;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(port->beginTransaction(), 0u);
    EXPECT_EQ(port->readFile("mscp", "cmapfile", out), 0u);
    ASSERT_EQ(port->beginTransaction(), 0u);
    EXPECT_EQ(card->transactions, 2);
    EXPECT_EQ(port->readFile("mscp", "cmapfile", out), 0u);
    EXPECT_EQ(port->readFile("", "cardid", out), 0u);
    port->endTransaction();
    EXPECT_EQ(port->readFile("", "cardid", out), 0u);
    port->endTransaction();
    EXPECT_EQ(card->transactions, 0);
  }
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 2}, {"mscp/cmapfile", 1}, {"/cardid", 1}}));
}

// With a linger the card stays held after the outermost end: the next
// operation continues the hold with nothing to check, and the counters of
// what the hold read are read once, when the card is let go.
TEST_F(Cache, ALingeringHoldGoesOnUncheckedAndReadsTheCountersWhenLetGo) {
  using namespace std::chrono_literals;
  port->setLinger(50ms, 10s);
  operationReading("mscp", "cmapfile");
  EXPECT_EQ(card->transactions, 1) << "still held";
  EXPECT_TRUE(port->releaseDue().has_value());
  operationReading("mscp", "cmapfile");
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"mscp/cmapfile", 1}}));
  port->release();
  EXPECT_EQ(card->transactions, 0);
  EXPECT_FALSE(port->releaseDue().has_value());
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 1}}));

  // Another program changes the map while the card is free.
  card->files["mscp/cmapfile"] = Bytes(86, 0x77);
  card->files["/cardcf"][4] = 1;
  EXPECT_EQ(operationReading("mscp", "cmapfile"), Bytes(86, 0x77));
  port->release();
  EXPECT_EQ(takeReads(), (std::map<std::string, int>{{"/cardcf", 1}, {"mscp/cmapfile", 1}}));

  // A hold that has lasted its longest is let go at its end.
  port->setLinger(50ms, 0ms);
  operationReading("mscp", "cmapfile");
  EXPECT_EQ(card->transactions, 0);
  EXPECT_FALSE(port->releaseDue().has_value());
}

// A logout while the card is held after the user's login waits: a login
// with the same PIN undoes it unsent, anything else sends it first.
TEST_F(Cache, ALogoutWaitsWhileTheCardIsHeldAndGoesBeforeAnythingElse) {
  using namespace std::chrono_literals;
  using Calls = std::vector<std::string>;
  const Bytes pin{'1', '2', '3', '4'};
  const Bytes otherPin{'9', '9', '9', '9'};
  struct Case {
    const char* what;
    std::chrono::milliseconds linger;
    std::function<void(CachedPort&)> next;
    Calls expected;  // the card's calls once the card is let go
  };
  const Case cases[] = {
      {"a login with the same PIN", 50ms,
       [&](CachedPort& p) {
         DWORD attempts = 0;
         EXPECT_EQ(p.authenticateUser(pin, attempts), 0u);
       },
       {"login"}},
      {"a login with another PIN", 50ms,
       [&](CachedPort& p) {
         DWORD attempts = 0;
         EXPECT_EQ(p.authenticateUser(otherPin, attempts), 0u);
       },
       {"login", "logout", "login"}},
      {"a signature", 50ms,
       [&](CachedPort& p) {
         Bytes signature;
         EXPECT_EQ(p.sign(0, AT_KEYEXCHANGE, CALG_SHA_256, Bytes(32, 1), signature), 0u);
       },
       {"login", "logout", "sign"}},
      {"the card let go", 50ms, [](CachedPort&) {}, {"login", "logout"}},
      {"no linger", 0ms, [](CachedPort&) {}, {"login", "logout"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto owned = std::make_unique<CountingCard>();
    CountingCard* counting = owned.get();
    port = std::make_unique<CachedPort>(std::move(owned));
    card = counting;
    port->setLinger(c.linger, 10s);
    DWORD attempts = 0;
    ASSERT_EQ(port->beginTransaction(), 0u);
    ASSERT_EQ(port->authenticateUser(pin, attempts), 0u);
    port->endTransaction();
    ASSERT_EQ(port->deauthenticate(PIN_SET_ALL_ROLES), 0u);
    if (c.linger.count() > 0) {
      EXPECT_EQ(counting->calls, Calls{"login"}) << "the logout waits";
    }
    c.next(*port);
    port->release();
    EXPECT_EQ(counting->calls, c.expected);
  }
}

// What one program read is kept for the next under the card identifier: a
// later program reads the identifier and "cardcf" and nothing else while the
// counters are those the record was read under.
TEST(CacheBetweenPrograms, ALaterProgramReadsOnlyWhatChangedSince) {
  char dir[] = "/tmp/vemra-kept-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ::setenv("XDG_CACHE_HOME", dir, 1);
  ::unsetenv("VEMRA_CARD_CACHE");
  CountingCard card;  // the card's contents, copied into each program's port
  // One program: holds the card, reads what a listing reads, lets go; the
  // reads that reached the card.
  const auto program = [&](const std::function<void(CachedPort&)>& more = {}) {
    auto owned = std::make_unique<CountingCard>(card);
    CountingCard* seen = owned.get();
    CachedPort port(std::move(owned));
    port.keepBetweenPrograms(true);
    Bytes out;
    ContainerKeys keys;
    EXPECT_EQ(port.beginTransaction(), 0u);
    EXPECT_EQ(port.readFile("", "cardid", out), 0u);
    EXPECT_EQ(port.readFile("mscp", "cmapfile", out), 0u);
    EXPECT_EQ(port.readFile("mscp", "ksc00", out), static_cast<DWORD>(SCARD_E_FILE_NOT_FOUND));
    EXPECT_EQ(port.containerKeys(0, keys), 0u);
    EXPECT_TRUE(keys.keyExchange.has_value());
    EXPECT_EQ(port.serialNumber(out), 0u);
    if (more) more(port);
    port.endTransaction();
    return seen->reads;
  };
  using Reads = std::map<std::string, int>;
  const Reads everything{{"/cardid", 1}, {"/cardcf", 1}, {"mscp/cmapfile", 1}, {"mscp/ksc00", 1}, {"keys", 1},
                         {"serial", 1}};
  EXPECT_EQ(program(), everything);
  EXPECT_EQ(program(), (Reads{{"/cardid", 1}, {"/cardcf", 1}})) << "the next program";

  // Another program changed the map and bumped the counters.
  card.files["mscp/cmapfile"] = Bytes(86, 0x66);
  card.files["/cardcf"][4] = 1;
  EXPECT_EQ(program(), everything);
  Bytes map;
  EXPECT_EQ(program([&](CachedPort& p) { EXPECT_EQ(p.readFile("mscp", "cmapfile", map), 0u); }),
            (Reads{{"/cardid", 1}, {"/cardcf", 1}}));
  EXPECT_EQ(map, Bytes(86, 0x66));

  // A program about to change the card forgets the record first.
  program([](CachedPort& p) { EXPECT_EQ(p.writeFile("mscp", "cmapfile", Bytes(86, 0x67)), 0u); });
  EXPECT_EQ(program(), everything);
  ::unsetenv("XDG_CACHE_HOME");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vemra::p11

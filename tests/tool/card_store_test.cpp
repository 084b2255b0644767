// What one program keeps of a card for the next: the record's bytes read
// back exactly or not at all, and the file kept where only its user reads
// it, never where the environment may not be trusted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include "card_store.h"

namespace vemra::host {
namespace {

using Bytes = std::vector<uint8_t>;

CardRecord sampleRecord() {
  CardRecord r;
  r.counters = {0, 1, 2, 0, 3, 0};
  r.entries["file:/cardid"] = {0, Bytes(16, 0xC1)};
  r.entries["file:mscp/ksc01"] = {0x80100024, {}};
  r.entries["keys:0"] = {0, Bytes(300, 0x5A)};
  return r;
}

TEST(CardStore, ARecordReadsBackExactlyAndNothingElseReadsAsOne) {
  const CardRecord record = sampleRecord();
  const Bytes bytes = encodeCardRecord(record);
  ASSERT_EQ(decodeCardRecord(bytes), record);

  struct Case {
    const char* what;
    Bytes bytes;
  };
  Bytes extra = bytes;
  extra.push_back(0);
  Bytes wrongTag = bytes;
  wrongTag[0] = 'X';
  Bytes longCounters = bytes;
  longCounters[4] = 17;  // more counter bytes than a cardcf holds
  Bytes manyEntries = bytes;
  manyEntries[4 + 1 + 6 + 2] = 0x10;  // the entry count's third byte: about a million entries
  Bytes duplicate;
  {
    CardRecord one;
    one.entries["serial"] = {0, {1}};
    duplicate = encodeCardRecord(one);
    const Bytes entry(duplicate.end() - (1 + 6 + 4 + 4 + 1), duplicate.end());
    duplicate.insert(duplicate.end(), entry.begin(), entry.end());
    duplicate[4 + 1] = 2;  // two entries, both "serial"
  }
  const Case cases[] = {
      {"empty", {}},
      {"the tag alone", Bytes(bytes.begin(), bytes.begin() + 4)},
      {"cut in the last entry's data", Bytes(bytes.begin(), bytes.end() - 1)},
      {"a byte left over", extra},
      {"another tag", wrongTag},
      {"counters too long", longCounters},
      {"too many entries", manyEntries},
      {"a name twice", duplicate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(decodeCardRecord(c.bytes).has_value());
  }
}

class CardStoreFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vemra-store-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    root_ = dir;
    ::setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
    ::unsetenv("VEMRA_CARD_CACHE");
  }
  void TearDown() override {
    ::unsetenv("XDG_CACHE_HOME");
    std::filesystem::remove_all(root_);
  }
  std::string root_;
  const Bytes id_ = Bytes(16, 0xAB);
};

TEST_F(CardStoreFiles, SavedForTheNextProgramOnlyItsUserReadsAndForgottenOnChange) {
  EXPECT_FALSE(loadCardRecord(id_).has_value());
  saveCardRecord(id_, sampleRecord());
  const auto path = cardRecordPath(id_);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, root_ + "/cache/vemradrv/ABABABABABABABABABABABABABABABAB");
  struct stat st {};
  ASSERT_EQ(::stat(path->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((root_ + "/cache/vemradrv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(loadCardRecord(id_), sampleRecord());
  EXPECT_FALSE(loadCardRecord(Bytes(16, 0xCD)).has_value()) << "another card";

  forgetCardRecord(id_);
  EXPECT_FALSE(loadCardRecord(id_).has_value());
}

TEST_F(CardStoreFiles, NothingIsKeptWhereItCannotBeTrusted) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"switched off", [] { ::setenv("VEMRA_CARD_CACHE", "off", 1); }},
      {"a relative cache folder and no home",
       [] {
         ::setenv("XDG_CACHE_HOME", "relative", 1);
         ::unsetenv("HOME");
       }},
  };
  const char* home = std::getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    EXPECT_FALSE(cardRecordPath(id_).has_value());
    saveCardRecord(id_, sampleRecord());
    EXPECT_FALSE(loadCardRecord(id_).has_value());
    ::unsetenv("VEMRA_CARD_CACHE");
    ::setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
    if (home != nullptr) ::setenv("HOME", savedHome.c_str(), 1);
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/cache/vemradrv/ABABABABABABABABABABABABABABABAB"));

  // A link in the record's place is not followed, and garbage is no record.
  const std::string path = *cardRecordPath(id_);
  std::filesystem::create_directories(root_ + "/cache/vemradrv");
  std::ofstream(root_ + "/elsewhere", std::ios::binary) << std::string(reinterpret_cast<const char*>(
      encodeCardRecord(sampleRecord()).data()), encodeCardRecord(sampleRecord()).size());
  std::filesystem::create_symlink(root_ + "/elsewhere", path);
  EXPECT_FALSE(loadCardRecord(id_).has_value());
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << "not a record";
  EXPECT_FALSE(loadCardRecord(id_).has_value());
  EXPECT_FALSE(cardRecordPath(Bytes{}).has_value());
  EXPECT_FALSE(cardRecordPath(Bytes(33, 1)).has_value());
}

}  // namespace
}  // namespace vemra::host

// Script builders for the directory and file tests: the commands and records
// of the on-card tables under the default profile (directory table A000,
// directory DFs D000 + n, file tables F100 + k, file EFs 1000 + e).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/driver_fixture.h"

namespace vemra::test::files {

inline std::string hex2(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}
inline std::string word(unsigned value) { return hex2(value >> 8) + " " + hex2(value); }

// "abc" → "61 62 63 00 00 00 00 00": the eight bytes a table stores.
inline std::string padded(std::string_view name) {
  std::string text;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i > 0) text += " ";
    text += hex2(i < name.size() ? static_cast<unsigned char>(name[i]) : 0);
  }
  return text;
}

inline const std::string kOk = " 90 00";
inline const std::string kFreeDirectory = "00 00 00 00 00 00 00 00 00";
inline const std::string kFreeFile = "00 00 00 00 00 00 00 00 00 00 00";
inline std::string directoryRecord(std::string_view name) { return "01 " + padded(name); }
inline std::string fileRecord(std::string_view name, unsigned length, unsigned state = 1) {
  return hex2(state) + " " + word(length) + " " + padded(name);
}

inline std::string selectEf(unsigned fid) { return "00 A4 02 0C 02 " + word(fid); }
inline std::string selectWithParameters(unsigned fid) { return "00 A4 02 00 02 " + word(fid); }
inline std::string selectAnyWithParameters(unsigned fid) { return "00 A4 00 00 02 " + word(fid); }
inline std::string selectDf(unsigned fid) { return "00 A4 01 00 02 " + word(fid); }
inline std::string readRecord(unsigned record, unsigned length) {
  return "00 B2 " + hex2(record) + " 04 " + hex2(length);
}
inline std::string verifyProbe(unsigned reference) { return "00 20 00 " + hex2(reference) + " 00"; }

// Control parameters of an EF whose six security attributes are FF FF W R W FF.
inline std::string efParameters(unsigned read, unsigned write) {
  return "62 1A 80 02 00 10 82 01 01 83 02 10 00 86 06 FF FF " + hex2(write) + " " + hex2(read) + " " + hex2(write) +
         " FF 8A 01 05";
}

// A sequence of commands and the card's answers.
using Script = std::vector<std::pair<std::string, std::string>>;

class FilesTest : public DriverTest {
 protected:
  // Scripts `steps`; with `stopAt`, that step is answered `answer` instead
  // and the script ends with it.
  void expectSteps(const Script& steps, std::size_t stopAt = SIZE_MAX, const std::string& answer = "") {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      card.expect(steps[i].first, i == stopAt ? answer : steps[i].second);
      if (i == stopAt) return;
    }
  }

  // Binds with a small layout (B2 04 02 04): four directory records, two
  // container slots, four records per file table.
  void bindSmall() {
    cardData.dwVersion = 7;
    expectConfigurationRead(profile::kB1, "04 02 04", profile::kB3);
    ASSERT_EQ(CardAcquireContext(&cardData, 0), 0u);
    commandsBeforeTest = pcsc().commands().size();
    clearTrace();
  }

  // The directory-table lookup reading `records` (hex of each record's data).
  void expectDirectoryTable(const std::vector<std::string>& records) {
    card.expect(selectEf(0xA000), "90 00");
    for (std::size_t r = 0; r < records.size(); ++r) card.expect(readRecord(r + 1, 9), records[r] + kOk);
  }

  // The reading of every record of a file table already selected.
  void expectFileRecords(const std::vector<std::string>& records) {
    for (std::size_t r = 0; r < records.size(); ++r) card.expect(readRecord(r + 1, 11), records[r] + kOk);
  }

  // The commands sent since bind() with the transaction depth of each:
  // "2 00 E0 ..." for a command inside an outer transaction.
  std::vector<std::string> sentWithDepth() const {
    std::vector<std::string> sent;
    const auto& all = PcscDouble::instance().commands();
    for (std::size_t i = commandsBeforeTest; i < all.size(); ++i)
      sent.push_back(std::to_string(all[i].depth) + " " + toHex(all[i].bytes));
    return sent;
  }

  // Runs `call` on the script `script` once to count its commands, then once
  // per command with that command's transmission failing, and once per
  // transaction begin with that begin failing: every run must return the
  // injected failure and leave every transaction ended.
  void injectFailures(const std::function<void()>& script, const std::function<DWORD()>& call) {
    constexpr std::uint32_t kRemoved = 0x80100069;  // SCARD_W_REMOVED_CARD
    script();
    const int transmits = pcsc().calls(PcscCall::Transmit);
    const int begins = pcsc().calls(PcscCall::BeginTransaction);
    ASSERT_EQ(call(), 0u);
    const int commandCount = pcsc().calls(PcscCall::Transmit) - transmits;
    const int beginCount = pcsc().calls(PcscCall::BeginTransaction) - begins;
    for (int n = 1; n <= commandCount; ++n) {
      script();
      pcsc().failCall(PcscCall::Transmit, n, kRemoved);
      EXPECT_EQ(call(), kRemoved) << "transmission " << n;
      EXPECT_TRUE(pcsc().balanced()) << "transmission " << n;
      card.clear();
    }
    for (int n = 1; n <= beginCount; ++n) {
      script();
      pcsc().failCall(PcscCall::BeginTransaction, n, kRemoved);
      EXPECT_EQ(call(), kRemoved) << "begin " << n;
      EXPECT_TRUE(pcsc().balanced()) << "begin " << n;
      card.clear();
    }
  }
};

}  // namespace vemra::test::files

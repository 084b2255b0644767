// CardGetContainerInfo, CardDeleteContainer, CardGetContainerProperty and
// CardSetContainerProperty on a scripted card (key files B000 + n and
// B100 + n, user PIN 01, administrator 03).
#include "common/entry_points.h"
#include "files_script.h"

namespace vemra::test {
namespace {

using files::kOk;
using files::selectAnyWithParameters;
using files::selectEf;
using ContainersTest = files::FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);
const std::string kNotFound = "6A 82";
const std::string kExponent = "00 00 00 00 00 01 00 01" + kOk;

// A modulus of `size` bytes whose neighbouring bytes all differ, so that a
// reversal or a shift shows.
std::vector<std::uint8_t> modulus(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return bytes;
}
std::string answer(std::size_t size, unsigned seed = 1) { return toHex(modulus(size, seed)) + kOk; }

// The key file `fid` selected, then its two public-key reads.
void expectKey(ScriptedCard& card, unsigned fid, const std::string& exponent, const std::string& modulusAnswer) {
  card.expect(selectEf(fid), "90 00").expect("80 46 01 00 00", exponent).expect("80 46 02 00 00", modulusAnswer);
}

// A CONTAINER_INFO whose pairs hold values no call writes, so that a pair
// left alone shows.
struct Record {
  BYTE sentinel[2] = {};
  CONTAINER_INFO info{1, 0, 77, &sentinel[0], 66, &sentinel[1]};
  bool sigUntouched() const { return info.cbSigPublicKey == 77 && info.pbSigPublicKey == &sentinel[0]; }
  bool kxUntouched() const { return info.cbKeyExPublicKey == 66 && info.pbKeyExPublicKey == &sentinel[1]; }
};

struct KeyAnswers {
  std::size_t kxModulus;   // 0: no key-exchange key file
  std::size_t sigModulus;  // 0: no signature key file
};

TEST_F(ContainersTest, InfoBuildsEachBlobFromTheCardsAnswers) {
  bind();
  // The header, pubexp and modulus the blob must hold, least significant byte first.
  const auto expectBlob = [&](PBYTE data, DWORD size, const std::string& header, std::size_t k, unsigned seed) {
    std::vector<std::uint8_t> expected = hex(header);
    const auto n = modulus(k, seed);
    expected.insert(expected.end(), n.rbegin(), n.rend());
    ASSERT_EQ(size, k + 20);
    EXPECT_EQ(provider().sizeOf(data), k + 20);
    EXPECT_EQ(toHex({data, size}), toHex(expected));
    ProviderDouble::free(data);
  };
  for (const KeyAnswers& c : {KeyAnswers{128, 0}, KeyAnswers{0, 256}, KeyAnswers{256, 128}}) {
    card.expect(kSelectApplication, "90 00");  // container 3: key files B003 and B103
    if (c.kxModulus == 0) card.expect(selectEf(0xB003), kNotFound);
    else expectKey(card, 0xB003, kExponent, answer(c.kxModulus, 1));
    if (c.sigModulus == 0) card.expect(selectEf(0xB103), kNotFound);
    else expectKey(card, 0xB103, "00 00 00 00 00 00 00 03" + kOk, answer(c.sigModulus, 2));

    Record record;
    ASSERT_EQ(CardGetContainerInfo(&cardData, 3, 0, &record.info), 0u) << c.kxModulus << "/" << c.sigModulus;
    EXPECT_EQ(record.info.dwVersion, 1u);
    if (c.kxModulus == 0) {
      EXPECT_TRUE(record.kxUntouched());
    } else {
      const std::string bits = c.kxModulus == 128 ? "04" : "08";
      expectBlob(record.info.pbKeyExPublicKey, record.info.cbKeyExPublicKey,
                 "06 02 00 00 00 A4 00 00 52 53 41 31 00 " + bits + " 00 00 01 00 01 00", c.kxModulus, 1);
    }
    if (c.sigModulus == 0) {
      EXPECT_TRUE(record.sigUntouched());
    } else {
      const std::string bits = c.sigModulus == 128 ? "04" : "08";
      expectBlob(record.info.pbSigPublicKey, record.info.cbSigPublicKey,
                 "06 02 00 00 00 24 00 00 52 53 41 31 00 " + bits + " 00 00 03 00 00 00", c.sigModulus, 2);
    }
  }
}

struct BadAnswer {
  const char* what;
  std::string exponent;
  std::string modulus;  // empty: the modulus is not asked for
};

TEST_F(ContainersTest, InfoRefusesPublicKeyAnswersOfAnyOtherLength) {
  bind();
  const BadAnswer cases[] = {
      {"modulus of 200 bytes", kExponent, answer(200)},
      {"modulus of 127 bytes", kExponent, answer(127)},
      {"modulus of 257 bytes", kExponent, answer(257)},
      {"exponent field of 7 bytes", "00 00 00 00 01 00 01" + kOk, answer(128)},
      {"exponent field of 9 bytes", "00 00 00 00 00 00 01 00 01" + kOk, answer(128)},
      // 136 and 264 bytes in all, split otherwise than 8 + 128 and 8 + 256.
      {"136 + 0", answer(136), "90 00"},
      {"0 + 136", "90 00", answer(136)},
      {"16 + 248", answer(16), answer(248)},
      {"exponent refused", "6A 88", ""},
      {"modulus refused", kExponent, "69 82"},
  };
  for (const BadAnswer& c : cases) {
    card.expect(kSelectApplication, "90 00").expect(selectEf(0xB000), "90 00").expect("80 46 01 00 00", c.exponent);
    if (!c.modulus.empty()) card.expect("80 46 02 00 00", c.modulus);
    const int allocations = provider().allocations();
    Record record;
    EXPECT_EQ(CardGetContainerInfo(&cardData, 0, 0, &record.info), SCARD_F_INTERNAL_ERROR) << c.what;
    EXPECT_EQ(provider().allocations(), allocations) << c.what << ": nothing allocated";
    EXPECT_TRUE(record.kxUntouched() && record.sigUntouched()) << c.what;
    EXPECT_TRUE(card.finished()) << c.what;
  }
}

struct LateFailure {
  const char* what;
  std::string sigModulus;  // empty: the signature key is not reached
  int failedAllocation;    // 0: none
  DWORD result;
};

TEST_F(ContainersTest, AFailureAfterTheFirstBlobGivesItBack) {
  bind();
  const LateFailure cases[] = {
      {"signature modulus of the wrong length", answer(200), 0, SCARD_F_INTERNAL_ERROR},
      {"no memory for the signature blob", answer(256), 2, SCARD_E_NO_MEMORY},
      {"no memory for the key-exchange blob", "", 1, SCARD_E_NO_MEMORY},
  };
  for (const LateFailure& c : cases) {
    card.expect(kSelectApplication, "90 00");
    expectKey(card, 0xB000, kExponent, answer(128));
    if (!c.sigModulus.empty()) expectKey(card, 0xB100, kExponent, c.sigModulus);
    if (c.failedAllocation != 0) provider().failAllocation(c.failedAllocation);
    const std::size_t live = provider().live();
    Record record;
    EXPECT_EQ(CardGetContainerInfo(&cardData, 0, 0, &record.info), c.result) << c.what;
    EXPECT_EQ(provider().live(), live) << c.what << ": every blob went back";
    EXPECT_EQ(record.info.pbKeyExPublicKey, nullptr) << c.what;
    EXPECT_EQ(record.info.cbKeyExPublicKey, 0u) << c.what;
    // A pair whose allocation failed is cleared too; one never reached stays.
    if (c.failedAllocation == 2) {
      EXPECT_TRUE(record.info.pbSigPublicKey == nullptr && record.info.cbSigPublicKey == 0);
    } else {
      EXPECT_TRUE(record.sigUntouched()) << c.what;
    }
  }
}

TEST_F(ContainersTest, InfoChecksItsArgumentsBeforeAnyCommand) {
  bind();
  Record record;
  struct Refusal {
    DWORD flags;
    PCONTAINER_INFO info;
    DWORD version;
    DWORD result;
  };
  for (const Refusal& c : {Refusal{1, nullptr, 0, SCARD_E_INVALID_PARAMETER},
                           Refusal{0, nullptr, 0, SCARD_E_INVALID_PARAMETER},
                           Refusal{0, &record.info, 2, ERROR_REVISION_MISMATCH}}) {
    expectSelectApplication();
    record.info.dwVersion = c.version;
    EXPECT_EQ(CardGetContainerInfo(&cardData, 0, c.flags, c.info), c.result);
  }
  EXPECT_EQ(sentCommands().size(), 3u) << "the prologue's selection only";

  // Version 0 is accepted and stays 0; an empty container is no container.
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xB0FF), kNotFound).expect(selectEf(0xB1FF), kNotFound);
  record.info.dwVersion = 0;
  EXPECT_EQ(CardGetContainerInfo(&cardData, 0xFF, 0, &record.info), SCARD_E_NO_KEY_CONTAINER);
  EXPECT_EQ(record.info.dwVersion, 0u);
  EXPECT_TRUE(record.kxUntouched() && record.sigUntouched());
}

struct Deletion {
  const char* what;
  files::Script steps;
  DWORD result;
};

TEST_F(ContainersTest, DeletionRemovesTheKeyFilesThatExist) {
  bind();
  const std::string kDelete = "00 E4 00 00 00";
  const Deletion cases[] = {
      {"empty container", {{selectEf(0xB001), kNotFound}, {selectEf(0xB101), kNotFound}}, 0},
      {"both keys",
       {{selectEf(0xB001), "90 00"}, {kDelete, "90 00"}, {selectEf(0xB101), "90 00"}, {kDelete, "90 00"}},
       0},
      {"signature key only", {{selectEf(0xB001), kNotFound}, {selectEf(0xB101), "90 00"}, {kDelete, "90 00"}}, 0},
      {"deletion refused", {{selectEf(0xB001), "90 00"}, {kDelete, "69 82"}}, SCARD_W_SECURITY_VIOLATION},
      {"second deletion fails",
       {{selectEf(0xB001), "90 00"}, {kDelete, "90 00"}, {selectEf(0xB101), "90 00"}, {kDelete, "6A 82"}},
       SCARD_F_INTERNAL_ERROR},
      {"selection refused", {{selectEf(0xB001), "69 82"}}, SCARD_F_INTERNAL_ERROR},
  };
  for (const Deletion& c : cases) {
    card.expect(kSelectApplication, "90 00");
    expectSteps(c.steps);
    commandsBeforeTest = pcsc().commands().size();
    EXPECT_EQ(CardDeleteContainer(&cardData, 1, 0), c.result) << c.what;
    // Every command after the prologue's inside the one outer transaction.
    const auto sent = sentWithDepth();
    ASSERT_EQ(sent.size(), c.steps.size() + 1) << c.what;
    for (std::size_t i = 0; i < c.steps.size(); ++i) EXPECT_EQ(sent[i + 1], "2 " + toHex(hex(c.steps[i].first)));
    EXPECT_TRUE(pcsc().balanced()) << c.what;
  }
  expectSelectApplication();
  EXPECT_EQ(CardDeleteContainer(&cardData, 1, 1), SCARD_E_INVALID_PARAMETER);
}

// The control information of a key file created for PIN reference `pin`:
// security attributes FF FF A P P FF FF 00 P FF, attribute 4 being P.
std::string keyFileInformation(unsigned fid, unsigned pin) {
  const std::string p = files::hex2(pin);
  return "6F 2E 81 02 01 10 82 01 11 83 02 " + files::word(fid) + " 86 0A FF FF 7E " + p + " " + p + " FF FF 00 " + p +
         " FF 8A 01 05 A5 0F 85 01 22 86 01 8F 87 01 10 88 01 10 89 01 0F" + kOk;
}

struct PinCase {
  const char* what;
  files::Script steps;
  DWORD result;
  PIN_ID role;  // 99: not written
};

TEST_F(ContainersTest, PinIdentifierComesFromTheKeyFilesAttributes) {
  bind();
  char16_t name[] = u"PIN Identifier";
  const std::string kx = selectAnyWithParameters(0xB002);
  const std::string sig = selectAnyWithParameters(0xB102);
  const PinCase cases[] = {
      {"key exchange, user", {{kx, keyFileInformation(0xB002, 0x01)}}, 0, ROLE_USER},
      {"key exchange, administrator", {{kx, keyFileInformation(0xB002, 0x03)}}, 0, ROLE_ADMIN},
      {"signature key only, administrator", {{kx, kNotFound}, {sig, keyFileInformation(0xB102, 0x03)}}, 0, ROLE_ADMIN},
      {"another reference", {{kx, keyFileInformation(0xB002, 0x55)}}, 0, ROLE_EVERYONE},
      {"no key file", {{kx, kNotFound}, {sig, "69 82"}}, SCARD_E_NO_KEY_CONTAINER, 99},
      {"attributes before the 83",
       {{kx, "6F 12 81 02 01 10 86 0A FF FF 7E 01 01 FF FF 00 01 FF 83 02 B0 02" + kOk}},
       SCARD_F_INTERNAL_ERROR,
       99},
      {"answer ends before attribute 4", {{kx, "6F 10 81 02 01 10 83 02 B0 02 86 0A FF FF 7E" + kOk}},
       SCARD_F_INTERNAL_ERROR, 99},
      {"no 6F", {{kx, keyFileInformation(0xB002, 0x01).substr(3)}}, SCARD_F_INTERNAL_ERROR, 99},
  };
  for (const PinCase& c : cases) {
    card.expect(kSelectApplication, "90 00");
    expectSteps(c.steps);
    PIN_ID role = 99;
    DWORD length = 0;
    EXPECT_EQ(CardGetContainerProperty(&cardData, 2, name, reinterpret_cast<PBYTE>(&role), sizeof role, &length, 0),
              c.result)
        << c.what;
    EXPECT_EQ(role, c.role) << c.what;
    EXPECT_EQ(length, 4u) << c.what;
  }
}

TEST_F(ContainersTest, ContainerInfoPropertyFillsTheCallersRecord) {
  bind();
  char16_t name[] = u"Container Info";
  // The entry point's prologue, then CardGetContainerInfo's own.
  card.expect(kSelectApplication, "90 00").expect(kSelectApplication, "90 00").expect(selectEf(0xB000), kNotFound);
  expectKey(card, 0xB100, kExponent, answer(128));
  Record record;
  DWORD length = 0;
  const auto get = [&] {
    return CardGetContainerProperty(&cardData, 0, name, reinterpret_cast<PBYTE>(&record.info), sizeof record.info,
                                    &length, 0);
  };
  ASSERT_EQ(get(), 0u);
  EXPECT_EQ(length, sizeof(CONTAINER_INFO));
  EXPECT_TRUE(record.kxUntouched());
  ASSERT_EQ(record.info.cbSigPublicKey, 148u);
  EXPECT_EQ(toHex({record.info.pbSigPublicKey, 16}), "06 02 00 00 00 24 00 00 52 53 41 31 00 04 00 00");
  ProviderDouble::free(record.info.pbSigPublicKey);

  card.expect(kSelectApplication, "90 00").expect(kSelectApplication, "90 00");
  record.info.dwVersion = 2;
  EXPECT_EQ(get(), ERROR_REVISION_MISMATCH);
}

struct PropertyRefusal {
  std::u16string name;
  DWORD size;
  DWORD flags;
  bool nullData;
  DWORD result;
  DWORD length;  // what *pdwDataLen holds afterwards (5: not written)
};

TEST_F(ContainersTest, PropertyNamesSizesAndFlags) {
  bind();
  const DWORD info = sizeof(CONTAINER_INFO);
  const PropertyRefusal cases[] = {
      {u"Container Info", info - 1, 0, false, ERROR_INSUFFICIENT_BUFFER, info},
      {u"PIN Identifier", 3, 0, false, ERROR_INSUFFICIENT_BUFFER, 4},
      {u"Associated ECDH Key", 64, 0, false, SCARD_E_UNSUPPORTED_FEATURE, 5},
      {u"Container", info, 0, false, SCARD_E_INVALID_PARAMETER, 5},
      {u"Container Info ", info, 0, false, SCARD_E_INVALID_PARAMETER, 5},
      {u"container info", info, 0, false, SCARD_E_INVALID_PARAMETER, 5},
      {u"PIN Identifier2", 4, 0, false, SCARD_E_INVALID_PARAMETER, 5},
      {u"PIN Identifier", 4, 1, false, SCARD_E_INVALID_PARAMETER, 5},
      {u"Associated ECDH Key", 64, 0, true, SCARD_E_INVALID_PARAMETER, 5},
  };
  alignas(8) BYTE buffer[64]{};
  for (const PropertyRefusal& c : cases) {
    expectSelectApplication();
    DWORD length = 5;
    EXPECT_EQ(CardGetContainerProperty(&cardData, 0, reinterpret_cast<LPCWSTR>(c.name.c_str()),
                                       c.nullData ? nullptr : buffer, c.size, &length, c.flags),
              c.result);
    EXPECT_EQ(length, c.length);
  }

  // Nothing can be set, whatever the name; only the flags are checked.
  char16_t empty[] = u"";
  char16_t pin[] = u"PIN Identifier";
  for (const auto& [property, flags, result] : {std::tuple{empty, 0u, SCARD_E_UNSUPPORTED_FEATURE},
                                                std::tuple{pin, 0u, SCARD_E_UNSUPPORTED_FEATURE},
                                                std::tuple{pin, 1u, SCARD_E_INVALID_PARAMETER}}) {
    expectSelectApplication();
    EXPECT_EQ(CardSetContainerProperty(&cardData, 0, property, buffer, 4, flags), result);
  }
  EXPECT_EQ(sentCommands().size(), std::size(cases) + 3) << "the prologue's selection only";
}

}  // namespace
}  // namespace vemra::test

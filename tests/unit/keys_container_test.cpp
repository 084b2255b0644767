// CardGetContainerInfo, CardDeleteContainer, CardGetContainerProperty and
// CardSetContainerProperty on a scripted card (key files B000 + n and
// B100 + n, user PIN 01, administrator 03).
#include <cstring>

#include "common/entry_points.h"
#include "files_script.h"

namespace vemra::test {
namespace {

using files::FilesTest;
using files::kOk;
using files::selectAnyWithParameters;
using files::selectEf;

using ContainersTest = FilesTest;

const std::string kSelectApplication(profile::kSelectApplication);
const std::string kReadExponent = "80 46 01 00 00";
const std::string kReadModulus = "80 46 02 00 00";
const std::string kNotFound = "6A 82";
constexpr std::uint32_t kRemoved = 0x80100069;  // SCARD_W_REMOVED_CARD

const std::string kKeyExchange2048 = "06 02 00 00 00 A4 00 00 52 53 41 31 00 08 00 00";
const std::string kKeyExchange1024 = "06 02 00 00 00 A4 00 00 52 53 41 31 00 04 00 00";
const std::string kSignature2048 = "06 02 00 00 00 24 00 00 52 53 41 31 00 08 00 00";
const std::string kSignature1024 = "06 02 00 00 00 24 00 00 52 53 41 31 00 04 00 00";

// A modulus of `size` bytes whose every byte differs from its neighbours,
// so that a reversal or a shift shows.
std::vector<std::uint8_t> modulus(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
  bytes[0] |= 0x80;
  return bytes;
}
std::string answer(std::size_t size, unsigned seed = 1) { return toHex(modulus(size, seed)) + kOk; }

// Scripts the two public-key reads of a key file already selected.
void expectPublicKey(ScriptedCard& card, const std::string& exponentAnswer, const std::string& modulusAnswer) {
  card.expect(kReadExponent, exponentAnswer).expect(kReadModulus, modulusAnswer);
}

// A CONTAINER_INFO whose pairs hold values no call would write, so that a
// pair left alone can be told from one written.
struct Record {
  BYTE sigSentinel = 0;
  BYTE kxSentinel = 0;
  CONTAINER_INFO info{};
  Record() { info = CONTAINER_INFO{1, 0, 77, &sigSentinel, 66, &kxSentinel}; }
  bool sigUntouched() const { return info.cbSigPublicKey == 77 && info.pbSigPublicKey == &sigSentinel; }
  bool kxUntouched() const { return info.cbKeyExPublicKey == 66 && info.pbKeyExPublicKey == &kxSentinel; }
};

std::vector<std::uint8_t> blob(PBYTE data, DWORD size) { return {data, data + size}; }

struct KeyAnswers {
  std::size_t kxModulus;   // 0: no key-exchange key file
  std::size_t sigModulus;  // 0: no signature key file
};

TEST_F(ContainersTest, InfoBuildsEachBlobFromTheCardsAnswers) {
  bind();
  for (const KeyAnswers& c : {KeyAnswers{128, 0}, KeyAnswers{0, 256}, KeyAnswers{256, 128}}) {
    // Container 3: key files B003 and B103.
    card.expect(kSelectApplication, "90 00");
    card.expect(selectEf(0xB003), c.kxModulus != 0 ? "90 00" : kNotFound);
    if (c.kxModulus != 0) expectPublicKey(card, "00 00 00 00 00 01 00 01" + kOk, answer(c.kxModulus, 1));
    card.expect(selectEf(0xB103), c.sigModulus != 0 ? "90 00" : kNotFound);
    if (c.sigModulus != 0) expectPublicKey(card, "00 00 00 00 00 00 00 03" + kOk, answer(c.sigModulus, 2));
    const int allocations = provider().allocations();

    Record record;
    ASSERT_EQ(CardGetContainerInfo(&cardData, 3, 0, &record.info), 0u) << c.kxModulus << "/" << c.sigModulus;
    EXPECT_EQ(record.info.dwVersion, 1u);
    EXPECT_EQ(provider().allocations() - allocations, (c.kxModulus != 0) + (c.sigModulus != 0));

    if (c.kxModulus == 0) {
      EXPECT_TRUE(record.kxUntouched());
    } else {
      std::vector<std::uint8_t> expected = hex((c.kxModulus == 128 ? kKeyExchange1024 : kKeyExchange2048) +
                                               " 01 00 01 00");
      const auto n = modulus(c.kxModulus, 1);
      expected.insert(expected.end(), n.rbegin(), n.rend());
      ASSERT_EQ(record.info.cbKeyExPublicKey, c.kxModulus + 20);
      EXPECT_EQ(provider().sizeOf(record.info.pbKeyExPublicKey), c.kxModulus + 20);
      EXPECT_EQ(toHex(blob(record.info.pbKeyExPublicKey, record.info.cbKeyExPublicKey)), toHex(expected));
      EXPECT_EQ(record.info.pbKeyExPublicKey[20], n.back()) << "the last modulus byte received comes first";
      ProviderDouble::free(record.info.pbKeyExPublicKey);
    }
    if (c.sigModulus == 0) {
      EXPECT_TRUE(record.sigUntouched());
    } else {
      std::vector<std::uint8_t> expected = hex((c.sigModulus == 128 ? kSignature1024 : kSignature2048) +
                                               " 03 00 00 00");
      const auto n = modulus(c.sigModulus, 2);
      expected.insert(expected.end(), n.rbegin(), n.rend());
      ASSERT_EQ(record.info.cbSigPublicKey, c.sigModulus + 20);
      EXPECT_EQ(toHex(blob(record.info.pbSigPublicKey, record.info.cbSigPublicKey)), toHex(expected));
      ProviderDouble::free(record.info.pbSigPublicKey);
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
  const std::string exponent = "00 00 00 00 00 01 00 01" + kOk;
  const BadAnswer cases[] = {
      {"modulus of 200 bytes", exponent, answer(200)},
      {"modulus of 127 bytes", exponent, answer(127)},
      {"modulus of 257 bytes", exponent, answer(257)},
      {"modulus without data", exponent, "90 00"},
      {"exponent field of 7 bytes", "00 00 00 00 01 00 01" + kOk, answer(128)},
      {"exponent field of 9 bytes", "00 00 00 00 00 00 01 00 01" + kOk, answer(128)},
      // 136 bytes in all, split otherwise than 8 + 128.
      {"136 + 0", answer(136), "90 00"},
      {"0 + 136", "90 00", answer(136)},
      {"16 + 248", answer(16), answer(248)},
      {"exponent refused", "6A 88", ""},
      {"modulus refused", exponent, "69 82"},
  };
  for (const BadAnswer& c : cases) {
    card.expect(kSelectApplication, "90 00").expect(selectEf(0xB000), "90 00").expect(kReadExponent, c.exponent);
    if (!c.modulus.empty()) card.expect(kReadModulus, c.modulus);
    const int allocations = provider().allocations();
    Record record;
    EXPECT_EQ(CardGetContainerInfo(&cardData, 0, 0, &record.info), SCARD_F_INTERNAL_ERROR) << c.what;
    EXPECT_EQ(provider().allocations(), allocations) << c.what << ": nothing allocated";
    EXPECT_TRUE(record.kxUntouched() && record.sigUntouched()) << c.what;
    EXPECT_TRUE(card.finished()) << c.what;
  }
}

struct SecondKeyFailure {
  const char* what;
  std::function<void(ScriptedCard&, PcscDouble&, ProviderDouble&)> arrange;
  DWORD result;
};

TEST_F(ContainersTest, AFailureAfterTheFirstBlobGivesItBack) {
  bind();
  const std::string exponent = "00 00 00 00 00 01 00 01" + kOk;
  const SecondKeyFailure cases[] = {
      {"modulus of the wrong length",
       [&](ScriptedCard& c, PcscDouble&, ProviderDouble&) {
         c.expect(selectEf(0xB100), "90 00");
         expectPublicKey(c, exponent, answer(200));
       },
       SCARD_F_INTERNAL_ERROR},
      {"selection refused",
       [](ScriptedCard& c, PcscDouble&, ProviderDouble&) { c.expect(selectEf(0xB100), "69 82"); },
       SCARD_F_INTERNAL_ERROR},
      {"no memory for the second blob",
       [&](ScriptedCard& c, PcscDouble&, ProviderDouble& p) {
         c.expect(selectEf(0xB100), "90 00");
         expectPublicKey(c, exponent, answer(256));
         p.failAllocation(2);
       },
       SCARD_E_NO_MEMORY},
      {"card removed during the second read",
       [&](ScriptedCard& c, PcscDouble& pcsc, ProviderDouble&) {
         c.expect(selectEf(0xB100), "90 00");
         pcsc.failCall(PcscCall::Transmit, 6, kRemoved);  // application, B000, two reads, B100, this one
       },
       kRemoved},
  };
  for (const SecondKeyFailure& c : cases) {
    card.expect(kSelectApplication, "90 00").expect(selectEf(0xB000), "90 00");
    expectPublicKey(card, exponent, answer(128));
    c.arrange(card, pcsc(), provider());
    const std::size_t live = provider().live();
    Record record;
    EXPECT_EQ(CardGetContainerInfo(&cardData, 0, 0, &record.info), c.result) << c.what;
    EXPECT_EQ(provider().live(), live) << c.what << ": the first blob went back";
    EXPECT_EQ(record.info.pbKeyExPublicKey, nullptr) << c.what;
    EXPECT_EQ(record.info.cbKeyExPublicKey, 0u) << c.what;
    if (c.result == SCARD_E_NO_MEMORY) {
      EXPECT_EQ(record.info.pbSigPublicKey, nullptr);
      EXPECT_EQ(record.info.cbSigPublicKey, 0u);
    } else {
      EXPECT_TRUE(record.sigUntouched()) << c.what;
    }
    card.clear();
  }

  // No memory for the first blob: the second key is not read.
  card.expect(kSelectApplication, "90 00").expect(selectEf(0xB000), "90 00");
  expectPublicKey(card, exponent, answer(128));
  provider().failAllocation(1);
  Record record;
  EXPECT_EQ(CardGetContainerInfo(&cardData, 0, 0, &record.info), SCARD_E_NO_MEMORY);
  EXPECT_EQ(record.info.pbKeyExPublicKey, nullptr);
  EXPECT_TRUE(record.sigUntouched());
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
                           Refusal{1, &record.info, 0, SCARD_E_INVALID_PARAMETER},
                           Refusal{0, nullptr, 0, SCARD_E_INVALID_PARAMETER},
                           Refusal{0, &record.info, 2, ERROR_REVISION_MISMATCH}}) {
    expectSelectApplication();
    record.info.dwVersion = c.version;
    EXPECT_EQ(CardGetContainerInfo(&cardData, 0, c.flags, c.info), c.result);
  }
  EXPECT_EQ(sentCommands().size(), 4u) << "the prologue's selection only";
  EXPECT_TRUE(record.kxUntouched() && record.sigUntouched());

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
    // Every command after the prologue inside the one outer transaction.
    const auto sent = sentWithDepth();
    ASSERT_EQ(sent.size(), c.steps.size() + 1) << c.what;
    EXPECT_EQ(sent[0], "1 " + toHex(hex(kSelectApplication)));
    for (std::size_t i = 0; i < c.steps.size(); ++i) EXPECT_EQ(sent[i + 1], "2 " + toHex(hex(c.steps[i].first)));
    EXPECT_TRUE(pcsc().balanced()) << c.what;
  }

  expectSelectApplication();
  EXPECT_EQ(CardDeleteContainer(&cardData, 1, 1), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(pcsc().depth(cardData.hScard), 0);
}

TEST_F(ContainersTest, DeletionPassesPcscFailuresThrough) {
  bind();
  injectFailures(
      [&] {
        card.expect(kSelectApplication, "90 00");
        expectSteps({{selectEf(0xB000), "90 00"},
                     {"00 E4 00 00 00", "90 00"},
                     {selectEf(0xB100), "90 00"},
                     {"00 E4 00 00 00", "90 00"}});
      },
      [&] { return CardDeleteContainer(&cardData, 0, 0); });
}

// The control information of a key file created for PIN reference `pin`:
// security attributes FF FF A P P FF FF 00 P FF, attribute 4 being P.
std::string keyFileInformation(unsigned fid, unsigned pin) {
  const std::string p = files::hex2(pin);
  return "6F 2E 81 02 01 10 82 01 11 83 02 " + files::word(fid) + " 86 0A FF FF 7E " + p + " " + p + " FF FF 00 " + p +
         " FF 8A 01 05 A5 0F 85 01 22 86 01 8F 87 01 10 88 01 10 89 01 0F";
}

struct PinCase {
  const char* what;
  files::Script steps;
  DWORD result;
  PIN_ID role;
};

TEST_F(ContainersTest, PinIdentifierComesFromTheKeyFilesAttributes) {
  bind();
  char16_t name[] = u"PIN Identifier";
  const PinCase cases[] = {
      {"key exchange, user", {{selectAnyWithParameters(0xB002), keyFileInformation(0xB002, 0x01) + kOk}}, 0, ROLE_USER},
      {"key exchange, administrator",
       {{selectAnyWithParameters(0xB002), keyFileInformation(0xB002, 0x03) + kOk}},
       0,
       ROLE_ADMIN},
      {"signature key only, administrator",
       {{selectAnyWithParameters(0xB002), kNotFound},
        {selectAnyWithParameters(0xB102), keyFileInformation(0xB102, 0x03) + kOk}},
       0,
       ROLE_ADMIN},
      {"another reference",
       {{selectAnyWithParameters(0xB002), keyFileInformation(0xB002, 0x55) + kOk}},
       0,
       ROLE_EVERYONE},
      {"no key file",
       {{selectAnyWithParameters(0xB002), kNotFound}, {selectAnyWithParameters(0xB102), "69 82"}},
       SCARD_E_NO_KEY_CONTAINER,
       99},
      {"attributes before the 83",
       {{selectAnyWithParameters(0xB002), "6F 12 81 02 01 10 86 0A FF FF 7E 01 01 FF FF 00 01 FF 83 02 B0 02" + kOk}},
       SCARD_F_INTERNAL_ERROR,
       99},
      {"answer ends before attribute 4",
       {{selectAnyWithParameters(0xB002), "6F 10 81 02 01 10 83 02 B0 02 86 0A FF FF 7E" + kOk}},
       SCARD_F_INTERNAL_ERROR,
       99},
      {"no 6F", {{selectAnyWithParameters(0xB002), keyFileInformation(0xB002, 0x01).substr(3) + kOk}},
       SCARD_F_INTERNAL_ERROR, 99},
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
    EXPECT_TRUE(card.finished()) << c.what;
  }
}

TEST_F(ContainersTest, ContainerInfoPropertyFillsTheCallersRecord) {
  bind();
  char16_t name[] = u"Container Info";
  // The entry point's prologue, then CardGetContainerInfo's own.
  card.expect(kSelectApplication, "90 00")
      .expect(kSelectApplication, "90 00")
      .expect(selectEf(0xB000), kNotFound)
      .expect(selectEf(0xB100), "90 00");
  expectPublicKey(card, "00 00 00 00 00 01 00 01" + kOk, answer(128));
  Record record;
  DWORD length = 0;
  ASSERT_EQ(CardGetContainerProperty(&cardData, 0, name, reinterpret_cast<PBYTE>(&record.info), sizeof record.info,
                                     &length, 0),
            0u);
  EXPECT_EQ(length, sizeof(CONTAINER_INFO));
  EXPECT_TRUE(record.kxUntouched());
  ASSERT_EQ(record.info.cbSigPublicKey, 148u);
  EXPECT_EQ(toHex(blob(record.info.pbSigPublicKey, 16)), kSignature1024);
  ProviderDouble::free(record.info.pbSigPublicKey);

  // A record version the information refuses.
  card.expect(kSelectApplication, "90 00").expect(kSelectApplication, "90 00");
  record.info.dwVersion = 2;
  EXPECT_EQ(CardGetContainerProperty(&cardData, 0, name, reinterpret_cast<PBYTE>(&record.info), sizeof record.info,
                                     &length, 0),
            ERROR_REVISION_MISMATCH);
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
      {u"", 64, 0, false, SCARD_E_INVALID_PARAMETER, 5},
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
  char16_t name[] = u"PIN Identifier";
  expectSelectApplication();
  EXPECT_EQ(CardGetContainerProperty(&cardData, 0, name, buffer, 4, nullptr, 0), SCARD_E_INVALID_PARAMETER);
  expectSelectApplication();
  EXPECT_EQ(CardGetContainerProperty(&cardData, 0, nullptr, buffer, 4, nullptr, 0), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(sentCommands().size(), std::size(cases) + 2) << "the prologue's selection only";
}

TEST_F(ContainersTest, NoContainerPropertyCanBeSet) {
  bind();
  char16_t empty[] = u"";
  char16_t pin[] = u"PIN Identifier";
  BYTE data[4] = {1, 0, 0, 0};
  expectSelectApplication();
  EXPECT_EQ(CardSetContainerProperty(&cardData, 0, empty, nullptr, 0, 0), SCARD_E_UNSUPPORTED_FEATURE);
  expectSelectApplication();
  EXPECT_EQ(CardSetContainerProperty(&cardData, 0, pin, data, sizeof data, 0), SCARD_E_UNSUPPORTED_FEATURE);
  expectSelectApplication();
  EXPECT_EQ(CardSetContainerProperty(&cardData, 0, pin, data, sizeof data, 1), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(sentCommands().size(), 3u);
}

}  // namespace
}  // namespace vemra::test

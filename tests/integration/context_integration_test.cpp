// End to end through the real PC/SC stack: libpcsclite, pcscd, the virtual
// reader of vsmartcard-vpcd and vemra-vcard with a fresh simulated card. The
// delivered driver library is loaded with dlopen and entered through the
// names a provider resolves.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/rsa.h>

#include "pcsc_stack.h"
#include "support/key_blobs.h"
#include "vemradrv/minidriver.h"

namespace vemra::integration {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kDefaultAtr = {0x3B, 0x0B, 'V', 'e', 'm', 'r', 'a', 'M', 'i', 'n', 'i', 'D', 'r'};

// Stops the stack after the last test of the process.
class StackEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { PcscStack::instance().stop(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new StackEnvironment);

LPVOID WINAPI providerAlloc(SIZE_T size) { return std::malloc(size); }
LPVOID WINAPI providerReAlloc(LPVOID p, SIZE_T size) { return std::realloc(p, size); }
void WINAPI providerFree(LPVOID p) { std::free(p); }
// The provider's unpad callback, with OpenSSL checking the padding.
DWORD WINAPI providerUnpad(PCARD_RSA_DECRYPT_INFO info, DWORD* pcbUnpadded, PBYTE* ppbUnpadded) {
  const auto message = vemra::test::unpadBlock({info->pbData, info->cbData}, info->dwPaddingType);
  if (!message) return 0x80090005;  // NTE_BAD_DATA
  *ppbUnpadded = static_cast<PBYTE>(std::malloc(message->size() + 1));
  if (*ppbUnpadded == nullptr) return SCARD_E_NO_MEMORY;
  std::copy(message->begin(), message->end(), *ppbUnpadded);
  *pcbUnpadded = static_cast<DWORD>(message->size());
  return 0;
}

// The delivered library, loaded by path as a provider loads it.
class DriverLibrary {
 public:
  DriverLibrary() : handle_(::dlopen(VEMRA_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~DriverLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;
  bool loaded() const { return handle_ != nullptr; }
  template <typename F>
  F resolve(const char* name) const {
    return reinterpret_cast<F>(::dlsym(handle_, name));
  }

 private:
  void* handle_;
};

// Each test starts connected to the simulated card with T=0.
class RealPcscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string failure = PcscStack::instance().start();
    ASSERT_EQ(failure, "") << "the PC/SC stack could not be brought up";
    ASSERT_EQ(PcscStack::instance().connect(connection), "");
  }
  void TearDown() override { PcscStack::instance().disconnect(connection); }

  Bytes transmit(const Bytes& command) { return PcscStack::instance().transmit(connection, command); }

  // A version-7 CARD_DATA for the connected card, as a provider fills it.
  CARD_DATA providerCardData(Bytes& atr, std::u16string& cardName) const {
    CARD_DATA cardData{};
    cardData.dwVersion = 7;
    cardData.pbAtr = atr.data();
    cardData.cbAtr = static_cast<DWORD>(atr.size());
    cardData.pwszCardName = cardName.data();
    cardData.pfnCspAlloc = providerAlloc;
    cardData.pfnCspReAlloc = providerReAlloc;
    cardData.pfnCspFree = providerFree;
    cardData.pfnCspUnpadData = providerUnpad;
    cardData.hSCardCtx = connection.context;
    cardData.hScard = connection.card;
    return cardData;
  }

  Connection connection;
};

TEST_F(RealPcscTest, SimulatedCardAnswersThroughPcscd) {
  EXPECT_TRUE(connection.t0);
  EXPECT_EQ(connection.atr, kDefaultAtr);
  const Bytes select = {0x00, 0xA4, 0x04, 0x0C, 0x0C, 'V', 'E', 'M', 'R', 'A', '_', 'M', 'I', 'N', 'I', 'D', 'R'};
  EXPECT_EQ(transmit(select), Bytes({0x90, 0x00}));
  EXPECT_EQ(transmit({0x00, 0xCA, 0x00, 0xB1, 0x00}), Bytes({0x6C, 0x10}));
  EXPECT_EQ(transmit({0x00, 0xCA, 0x00, 0xB3, 0x06}), Bytes({0x20, 0x60, 0x01, 0x03, 0x10, 0x00, 0x90, 0x00}));
  // A case-4 answer crosses the bridge as 61xx and GET RESPONSE.
  Bytes withFcp = select;
  withFcp[3] = 0x04;
  EXPECT_EQ(transmit(withFcp), Bytes({0x61, 0x27}));
  const Bytes fcp = transmit({0x00, 0xC0, 0x00, 0x00, 0x27});
  ASSERT_EQ(fcp.size(), 0x29u);
  EXPECT_EQ(Bytes(fcp.begin(), fcp.begin() + 4), Bytes({0x62, 0x25, 0xA5, 0x04}));
  EXPECT_EQ(Bytes(fcp.end() - 2, fcp.end()), Bytes({0x90, 0x00}));
}

TEST_F(RealPcscTest, CardAcquireContextBindsTheDriverToTheSimulatedCard) {
  DriverLibrary driver;
  ASSERT_TRUE(driver.loaded()) << ::dlerror();
  const auto acquire = driver.resolve<PFN_CARD_ACQUIRE_CONTEXT>("CardAcquireContext");
  const auto release = driver.resolve<PFN_CARD_DELETE_CONTEXT>("CardDeleteContext");
  ASSERT_NE(acquire, nullptr);
  ASSERT_NE(release, nullptr);

  std::u16string cardName = u"Vemra simulated card";
  Bytes atr = connection.atr;
  CARD_DATA cardData = providerCardData(atr, cardName);

  ASSERT_EQ(acquire(&cardData, 0), SCARD_S_SUCCESS);
  EXPECT_EQ(cardData.dwVersion, 7u);
  EXPECT_NE(cardData.pvVendorSpecific, nullptr);
  EXPECT_EQ(cardData.pfnCardDeleteContext, release);
  EXPECT_NE(cardData.pfnCardGetProperty, nullptr);
  EXPECT_EQ(release(&cardData), SCARD_S_SUCCESS);
}

// What a provider does for a user who keeps a small file on the card: bind,
// log in (after one wrong try), create, write, read back, list, delete, log
// out, release. Every call goes through the exported functions of the
// dlopen'ed library and through pcscd to the simulated card.
TEST_F(RealPcscTest, UserKeepsAFileOnTheCardThroughPcscd) {
  DriverLibrary driver;
  ASSERT_TRUE(driver.loaded()) << ::dlerror();
  const auto acquire = driver.resolve<PFN_CARD_ACQUIRE_CONTEXT>("CardAcquireContext");
  const auto release = driver.resolve<PFN_CARD_DELETE_CONTEXT>("CardDeleteContext");
  const auto login = driver.resolve<PFN_CARD_AUTHENTICATE_PIN>("CardAuthenticatePin");
  const auto logout = driver.resolve<PFN_CARD_DEAUTHENTICATE>("CardDeauthenticate");
  const auto createFile = driver.resolve<PFN_CARD_CREATE_FILE>("CardCreateFile");
  const auto writeFile = driver.resolve<PFN_CARD_WRITE_FILE>("CardWriteFile");
  const auto readFile = driver.resolve<PFN_CARD_READ_FILE>("CardReadFile");
  const auto enumFiles = driver.resolve<PFN_CARD_ENUM_FILES>("CardEnumFiles");
  const auto deleteFile = driver.resolve<PFN_CARD_DELETE_FILE>("CardDeleteFile");
  ASSERT_TRUE(acquire && release && login && logout && createFile && writeFile && readFile && enumFiles &&
              deleteFile);
  const auto say = [](const char* step, DWORD result) { std::printf("  %-46s -> 0x%08X\n", step, result); };

  std::u16string cardName = u"Vemra simulated card";
  std::u16string user = u"user";
  Bytes atr = connection.atr;
  CARD_DATA cardData = providerCardData(atr, cardName);
  DWORD result = acquire(&cardData, 0);
  say("CardAcquireContext", result);
  ASSERT_EQ(result, SCARD_S_SUCCESS);

  char wrongPin[] = "0000";
  char pin[] = "1234";
  DWORD tries = 99;
  result = login(&cardData, user.data(), reinterpret_cast<PBYTE>(wrongPin), 4, &tries);
  say("CardAuthenticatePin(user, wrong PIN)", result);
  EXPECT_EQ(result, SCARD_W_WRONG_CHV);
  EXPECT_EQ(tries, 2u);
  result = login(&cardData, user.data(), reinterpret_cast<PBYTE>(pin), 4, &tries);
  say("CardAuthenticatePin(user, right PIN)", result);
  ASSERT_EQ(result, SCARD_S_SUCCESS);

  char fileName[] = "Demo";
  char message[] = "Hello from vemradrv, through pcscd and the virtual reader.";
  const DWORD messageLength = static_cast<DWORD>(std::strlen(message));
  result = createFile(&cardData, nullptr, fileName, 16, EveryoneReadUserWriteAc);
  say("CardCreateFile(\"Demo\", 16 bytes)", result);
  ASSERT_EQ(result, SCARD_S_SUCCESS);
  result = writeFile(&cardData, nullptr, fileName, 0, reinterpret_cast<PBYTE>(message), messageLength);
  say("CardWriteFile(more than created: it moves)", result);
  ASSERT_EQ(result, SCARD_S_SUCCESS);

  PBYTE content = nullptr;
  DWORD contentLength = 0;
  result = readFile(&cardData, nullptr, fileName, 0, &content, &contentLength);
  say("CardReadFile(\"demo\")", result);
  ASSERT_EQ(result, SCARD_S_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(content), contentLength), std::string(message));
  std::printf("    content: \"%.*s\"\n", static_cast<int>(contentLength), reinterpret_cast<char*>(content));
  providerFree(content);

  LPSTR names = nullptr;
  DWORD namesLength = 0;
  result = enumFiles(&cardData, nullptr, &names, &namesLength, 0);
  say("CardEnumFiles(root)", result);
  ASSERT_EQ(result, SCARD_S_SUCCESS);
  EXPECT_EQ(std::string(names, namesLength), std::string("demo\0\0", 6)) << "names are kept in lower case";
  providerFree(names);

  result = deleteFile(&cardData, nullptr, fileName, 0);
  say("CardDeleteFile(\"demo\")", result);
  EXPECT_EQ(result, SCARD_S_SUCCESS);
  result = logout(&cardData, user.data(), 0);
  say("CardDeauthenticate(user)", result);
  EXPECT_EQ(result, SCARD_S_SUCCESS);
  EXPECT_EQ(transmit({0x00, 0x20, 0x00, 0x01, 0x00}), Bytes({0x63, 0xC3})) << "the user is logged out";
  result = release(&cardData);
  say("CardDeleteContext", result);
  EXPECT_EQ(result, SCARD_S_SUCCESS);
}

// A key pair made by OpenSSL imported into container 0 through pcscd; the
// card's signature verified by OpenSSL with the original public key, and an
// OAEP block that OpenSSL encrypted decrypted by the card.
TEST_F(RealPcscTest, ImportedKeySignsAndDecryptsThroughPcscd) {
  DriverLibrary driver;
  ASSERT_TRUE(driver.loaded()) << ::dlerror();
  const auto acquire = driver.resolve<PFN_CARD_ACQUIRE_CONTEXT>("CardAcquireContext");
  const auto release = driver.resolve<PFN_CARD_DELETE_CONTEXT>("CardDeleteContext");
  const auto login = driver.resolve<PFN_CARD_AUTHENTICATE_PIN>("CardAuthenticatePin");
  const auto createContainer = driver.resolve<PFN_CARD_CREATE_CONTAINER>("CardCreateContainer");
  const auto signData = driver.resolve<PFN_CARD_SIGN_DATA>("CardSignData");
  const auto rsaDecrypt = driver.resolve<PFN_CARD_RSA_DECRYPT>("CardRSADecrypt");
  ASSERT_TRUE(acquire && release && login && createContainer && signData && rsaDecrypt);

  std::u16string cardName = u"Vemra simulated card";
  std::u16string user = u"user";
  Bytes atr = connection.atr;
  CARD_DATA cardData = providerCardData(atr, cardName);
  ASSERT_EQ(acquire(&cardData, 0), SCARD_S_SUCCESS);
  char pin[] = "1234";
  ASSERT_EQ(login(&cardData, user.data(), reinterpret_cast<PBYTE>(pin), 4, nullptr), SCARD_S_SUCCESS);

  const auto key = vemra::test::RsaKeyPair::generate(2048);
  auto blob = key.privateKeyBlob(CALG_RSA_SIGN);
  EXPECT_EQ(createContainer(&cardData, 0, CARD_CREATE_CONTAINER_KEY_IMPORT, AT_SIGNATURE, 2048, blob.data()),
            SCARD_S_SUCCESS);

  const Bytes message = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
  auto hash = vemra::test::digestOf(EVP_sha256(), message);
  CARD_SIGNING_INFO signing{1, 0, AT_SIGNATURE, 0, CALG_SHA_256, hash.data(), 32, nullptr, 0, nullptr, 0};
  ASSERT_EQ(signData(&cardData, &signing), SCARD_S_SUCCESS);
  EXPECT_TRUE(key.verifies(EVP_sha256(), hash, {signing.pbSignedData, signing.cbSignedData}));
  providerFree(signing.pbSignedData);

  const Bytes secret = {0x01, 0x02, 0x03, 0xFE};
  auto block = key.encrypt(secret, RSA_PKCS1_OAEP_PADDING);
  CARD_RSA_DECRYPT_INFO decrypt{2, 0, AT_SIGNATURE, block.data(), 256, nullptr, CARD_PADDING_OAEP};
  ASSERT_EQ(rsaDecrypt(&cardData, &decrypt), SCARD_S_SUCCESS);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + decrypt.cbData), secret);
  EXPECT_EQ(release(&cardData), SCARD_S_SUCCESS);
}

}  // namespace
}  // namespace vemra::integration

// End to end through the real PC/SC stack: libpcsclite, pcscd, the virtual
// reader of vsmartcard-vpcd and vemra-vcard with a fresh simulated card. The
// delivered driver library is loaded with dlopen and entered through the
// names a provider resolves.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcsc_stack.h"
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

}  // namespace
}  // namespace vemra::integration

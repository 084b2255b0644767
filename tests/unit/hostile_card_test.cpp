// Every entry point against a card that answers at random: answers of any
// length (none, one byte, up to the whole receive buffer), any status word,
// endless 61xx/6Cxx chains. Whatever the card sends, the driver must not read
// or write outside its buffers (the sanitizers watch), must end every
// transaction it began, must hand the caller only live blocks of the
// provider's, and must give back every block it keeps.
#include <random>

#include "common/entry_points.h"
#include "support/driver_fixture.h"

namespace vemra::test {
namespace {

class RandomCard : public CardBackend {
 public:
  explicit RandomCard(unsigned seed) : random_(seed) {}

  std::vector<std::uint8_t> transmit(std::span<const std::uint8_t> command) override {
    // The application is found most of the time, so that calls get past
    // their prologue and meet the random answers of their own commands.
    if (command.size() > 4 && command[1] == 0xA4 && command[2] == 0x04 && below(10) != 0) return {0x90, 0x00};
    switch (below(12)) {
      case 0: return {};
      case 1: return {byte()};
      case 2: case 3: case 4: case 5: case 6: return plausible(command);
      default: break;
    }
    std::vector<std::uint8_t> answer(below(3) == 0 ? below(511) : 0);
    for (auto& b : answer) b = byte();
    static constexpr std::uint16_t kStatus[] = {0x9000, 0x9000, 0x9000, 0x6100, 0x6108, 0x6C00, 0x6C0B,
                                                0x63C2, 0x63C0, 0x6983, 0x6982, 0x6A82, 0x6A84, 0x6A89,
                                                0x6282, 0x9108, 0x6A91, 0x6F00};
    const std::uint16_t sw = below(8) == 0 ? static_cast<std::uint16_t>(random_()) : kStatus[below(std::size(kStatus))];
    answer.push_back(static_cast<std::uint8_t>(sw >> 8));
    answer.push_back(static_cast<std::uint8_t>(sw));
    return answer;
  }

 private:
  // An answer shaped like a good one: as many data bytes as asked for (random
  // content, mostly small values, so that state bytes and lengths look
  // valid), then 90 00.
  std::vector<std::uint8_t> plausible(std::span<const std::uint8_t> command) {
    const std::size_t asked = command.size() == 5 ? (command[4] == 0 ? 256 : command[4]) : 0;
    std::vector<std::uint8_t> answer(asked);
    for (auto& b : answer) b = below(2) == 0 ? static_cast<std::uint8_t>(below(3)) : byte();
    answer.push_back(0x90);
    answer.push_back(0x00);
    return answer;
  }
  std::size_t below(std::size_t bound) { return random_() % bound; }
  std::uint8_t byte() { return static_cast<std::uint8_t>(random_()); }
  std::mt19937 random_;
};

class HostileCardTest : public DriverTest {
 protected:
  // A block handed to the caller must be a live block of the provider's; the
  // caller frees it as a provider would.
  void takeBlock(void* block) {
    if (block == nullptr) return;
    EXPECT_TRUE(provider().isLive(block)) << "the driver handed back a pointer that is not a live block";
    ProviderDouble::free(block);
  }

  void callEveryEntryPoint() {
    static char16_t user[] = u"user";
    static char16_t admin[] = u"admin";
    static char dir[] = "dir";
    static char file[] = "file";
    BYTE pin[] = {'1', '2', '3', '4', '5', '6'};
    BYTE response[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    BYTE key[24] = {};
    std::vector<BYTE> content(600, 0x42);
    DWORD length = 0;
    DWORD tries = 0;
    PBYTE block = nullptr;

    (void)CardAuthenticatePin(&cardData, user, pin, sizeof pin, &tries);
    block = nullptr;
    (void)CardAuthenticateEx(&cardData, ROLE_USER, CARD_AUTHENTICATE_GENERATE_SESSION_PIN, pin, sizeof pin, &block,
                             &length, &tries);
    takeBlock(block);
    block = nullptr;
    (void)CardGetChallenge(&cardData, &block, &length);
    takeBlock(block);
    (void)CardAuthenticateChallenge(&cardData, response, sizeof response, &tries);
    (void)CardAuthenticateEx(&cardData, ROLE_ADMIN, 0, response, sizeof response, nullptr, nullptr, &tries);
    (void)CardDeauthenticate(&cardData, user, 0);
    (void)CardDeauthenticateEx(&cardData, 0x0E, 0);
    (void)CardUnblockPin(&cardData, user, response, sizeof response, pin, sizeof pin, 0,
                         CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
    (void)CardChangeAuthenticator(&cardData, admin, response, sizeof response, key, sizeof key, 0,
                                  CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE, &tries);
    (void)CardChangeAuthenticator(&cardData, user, pin, sizeof pin, pin, 4, 0, CARD_AUTHENTICATE_PIN_PIN, &tries);
    (void)CardChangeAuthenticatorEx(&cardData, PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN, response, sizeof response,
                                    ROLE_USER, pin, sizeof pin, 0, &tries);

    (void)CardCreateDirectory(&cardData, dir, UserCreateDeleteDirAc);
    (void)CardCreateFile(&cardData, dir, file, 300, EveryoneReadUserWriteAc);
    (void)CardWriteFile(&cardData, nullptr, file, 0, content.data(), static_cast<DWORD>(content.size()));
    block = nullptr;
    (void)CardReadFile(&cardData, dir, file, 0, &block, &length);
    takeBlock(block);
    LPSTR names = nullptr;
    (void)CardEnumFiles(&cardData, nullptr, &names, &length, 0);
    takeBlock(names);
    CARD_FILE_INFO info{};
    (void)CardGetFileInfo(&cardData, nullptr, file, &info);
    CARD_FREE_SPACE_INFO space{};
    (void)CardQueryFreeSpace(&cardData, 0, &space);
    CONTAINER_INFO container{};
    (void)CardGetContainerInfo(&cardData, 1, 0, &container);
    takeBlock(container.pbKeyExPublicKey);
    takeBlock(container.pbSigPublicKey);
    static char16_t containerInfo[] = u"Container Info";
    static char16_t pinIdentifier[] = u"PIN Identifier";
    container = CONTAINER_INFO{};
    (void)CardGetContainerProperty(&cardData, 2, containerInfo, reinterpret_cast<PBYTE>(&container),
                                   sizeof container, &length, 0);
    takeBlock(container.pbKeyExPublicKey);
    takeBlock(container.pbSigPublicKey);
    PIN_ID role = 0;
    (void)CardGetContainerProperty(&cardData, 3, pinIdentifier, reinterpret_cast<PBYTE>(&role), sizeof role,
                                   &length, 0);
    (void)CardDeleteContainer(&cardData, 4, 0);
    // The properties that ask the card, into a buffer just large enough.
    for (const char16_t* property :
         {u"Free Space", u"Card Identifier", u"Card Serial Number", u"Authenticated State"}) {
      BYTE value[16] = {};
      length = 0;
      if (CardGetProperty(&cardData, reinterpret_cast<LPCWSTR>(property), value, sizeof value, &length, 0) == 0) {
        EXPECT_LE(length, sizeof value) << "a success never answers more than the buffer holds";
      }
    }
    BYTE identifier[16] = {};
    (void)CardSetProperty(&cardData, reinterpret_cast<LPCWSTR>(u"Card Identifier"), identifier, 16, 0);
    (void)CardDeleteFile(&cardData, dir, file, 0);
    (void)CardDeleteDirectory(&cardData, dir);

    // Key blobs of both sizes, read exactly to their end (the sanitizers
    // would see a read past it).
    for (std::uint32_t bitlen : {1024u, 2048u}) {
      std::vector<BYTE> blob(bitlen == 1024 ? 596 : 1172, 0x5A);
      for (int s = 0; s < 32; s += 8) blob[12 + s / 8] = static_cast<BYTE>(bitlen >> s);
      (void)CardCreateContainer(&cardData, 1, CARD_CREATE_CONTAINER_KEY_IMPORT, AT_SIGNATURE, 0, blob.data());
      (void)CardCreateContainerEx(&cardData, 2, CARD_CREATE_CONTAINER_KEY_IMPORT, AT_KEYEXCHANGE, 0, blob.data(),
                                  ROLE_ADMIN);
    }
    BYTE hash[32] = {};
    CARD_SIGNING_INFO signing{2, 1, AT_SIGNATURE, 0, CALG_SHA_256, hash, sizeof hash, nullptr, 0, nullptr, 0};
    (void)CardSignData(&cardData, &signing);
    takeBlock(signing.pbSignedData);
    for (DWORD size : {128u, 256u}) {
      std::vector<BYTE> cipher(size, 0x3C);
      CARD_RSA_DECRYPT_INFO decrypt{2, 1, AT_KEYEXCHANGE, cipher.data(), size, nullptr, CARD_PADDING_PKCS1};
      (void)CardRSADecrypt(&cardData, &decrypt);
      EXPECT_LE(decrypt.cbData, size) << "the result never outgrows the caller's buffer";
    }
    EXPECT_EQ(pcsc().depth(cardData.hScard), 0) << "a transaction was left open";
  }
};

TEST_F(HostileCardTest, EntryPointsSurviveRandomAnswers) {
  bind();
  provider().setUnpad(0, {0x01, 0x02, 0x03});
  for (unsigned seed = 1; seed <= 400; ++seed) {
    RandomCard random(seed);
    pcsc().setBackend(&random);
    callEveryEntryPoint();
    if (HasFailure()) {
      ADD_FAILURE() << "with seed " << seed;
      break;
    }
  }
  pcsc().setBackend(&card);
}

TEST_F(HostileCardTest, AcquisitionSurvivesRandomAnswers) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    RandomCard random(seed);
    pcsc().setBackend(&random);
    cardData.dwVersion = 7;
    if (CardAcquireContext(&cardData, 0) == 0) {
      EXPECT_NE(cardData.pvVendorSpecific, nullptr);
      ASSERT_EQ(CardDeleteContext(&cardData), 0u);
    } else {
      EXPECT_EQ(cardData.pvVendorSpecific, nullptr) << "a failed acquisition keeps nothing, seed " << seed;
    }
  }
  pcsc().setBackend(&card);
}

}  // namespace
}  // namespace vemra::test

#include "fuzz/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "common/entry_points.h"

namespace vemra::fuzz {
namespace {

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "\n*** session check failed: %s\n", what);
  std::abort();
}

// ---------------------------------------------------------------- PC/SC --
// The one card handle of the session and the PC/SC calls' state.
constexpr std::uintptr_t kCardHandle = 0xCA4D;
// A PRIVATEKEYBLOB of a 2048-bit key: the 20-byte header, the modulus, the
// two primes, their exponents and the coefficient (half its size each) and
// the private exponent.
constexpr DWORD kLargestPrivateKeyBlob = 20 + 256 + 5 * 128 + 256;
struct Pcsc {
  Source* source = nullptr;
  int depth = 0;
  int begins = 0;
  int ends = 0;
  int failBegin = 0;  // the nth SCardBeginTransaction fails (0: none)
  int failEnd = 0;
  std::uint32_t failCode = 0;
};
Pcsc pcsc;

// -------------------------------------------------------------- provider --
// Every live block of pfnCspAlloc with its size; the nth allocation fails.
struct Provider {
  std::map<void*, std::size_t> blocks;
  int allocations = 0;
  int failAllocation = 0;
  bool unpadFails = false;
};
Provider provider;

LPVOID WINAPI providerAlloc(SIZE_T size) {
  if (++provider.allocations == provider.failAllocation) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) finding("the driver asked for a block the process cannot have");
  std::memset(block, 0xA5, size);
  provider.blocks[block] = size;
  return block;
}

LPVOID WINAPI providerReAlloc(LPVOID, SIZE_T) { finding("pfnCspReAlloc was called"); }

void WINAPI providerFree(LPVOID block) {
  if (block == nullptr) return;
  const auto it = provider.blocks.find(block);
  if (it == provider.blocks.end()) finding("pfnCspFree of a block that is not live (freed twice, or never allocated)");
  provider.blocks.erase(it);
  std::free(block);
}

// The caller takes a block the driver handed back: it must be live.
void takeBlock(const void* block) {
  if (block == nullptr) return;
  if (provider.blocks.count(const_cast<void*>(block)) == 0) finding("a block handed to the caller is not a live block");
  providerFree(const_cast<void*>(block));
}

// The provider's unpadding: strips nothing, hands back a copy of the data.
DWORD WINAPI providerUnpad(PCARD_RSA_DECRYPT_INFO info, DWORD* length, PBYTE* data) {
  if (provider.unpadFails) return 0x80090005;  // NTE_BAD_DATA
  if (info == nullptr || length == nullptr || data == nullptr) finding("pfnCspUnpadData called without its record");
  const DWORD size = info->pbData == nullptr ? 0 : info->cbData > 8 ? 8 : info->cbData;
  auto* block = static_cast<PBYTE>(providerAlloc(size));
  if (block == nullptr) return 0x8009000E;  // NTE_NO_MEMORY
  if (size != 0) std::memcpy(block, info->pbData, size);
  *length = size;
  *data = block;
  return 0;
}

// ---------------------------------------------------------------- caller --
// Reads the caller's choices and keeps what the caller hands in, so that a
// write into it shows after the call.
class Caller {
 public:
  explicit Caller(Source& source) : source_(source) {}

  std::uint8_t byte() { return source_.choice(); }
  std::uint32_t word() {
    const std::uint8_t b = byte();
    if (b < 0x80) return b;
    if (b - 0x80u < std::size(kInterestingWords)) return kInterestingWords[b - 0x80];
    if (b != 0xFF) return b;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return value;
  }

  // A name from the table, or a literal in a block of exactly its size.
  char* ansi() {
    const std::uint8_t b = byte();
    std::string text;
    if (b < std::size(kAnsiNames)) {
      if (b == kNullName) return nullptr;
      text = kAnsiNames[b];
    } else {
      for (unsigned n = b % 16; n > 0; --n) text.push_back(static_cast<char>(byte()));
    }
    auto& kept = keep(text.size() + 1);
    std::memcpy(kept.data(), text.c_str(), text.size() + 1);
    return reinterpret_cast<char*>(kept.data());
  }
  WCHAR* wide() {
    const std::uint8_t b = byte();
    std::u16string text;
    if (b < std::size(kWideNames)) {
      if (b == kNullName) return nullptr;
      text = kWideNames[b];
    } else {
      for (unsigned n = b % 16; n > 0; --n) text.push_back(static_cast<char16_t>(byte()));
    }
    auto& kept = keep((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(kept.data(), text.c_str(), kept.size());
    return reinterpret_cast<WCHAR*>(kept.data());
  }

  // Input the driver must not change.
  // `atLeast`: the block is that long whatever the input's length, zeros
  // after the input's bytes (for a parameter the interface passes without
  // a length).
  PBYTE input(DWORD& length, DWORD atLeast = 0) {
    const std::uint8_t mode = byte();
    if (mode == kNullBuffer) {
      length = 0;
      return nullptr;
    }
    if (mode == kNullWithLength) {
      length = word();
      return nullptr;
    }
    length = lengthChoice();
    auto& kept = keep(std::max(length, atLeast));
    for (DWORD i = 0; i < length; ++i) kept[i] = byte();
    return kept.data();
  }
  // Output the driver may fill; its content is not checked.
  PBYTE output(DWORD& length) {
    const std::uint8_t mode = byte();
    if (mode == kNullBuffer) {
      length = 0;
      return nullptr;
    }
    if (mode == kNullWithLength) {
      length = word();
      return nullptr;
    }
    length = lengthChoice();
    outputs_.emplace_back(std::make_unique<std::uint8_t[]>(length == 0 ? 1 : length));
    return outputs_.back().get();
  }
  // A pointer to a DWORD the driver may write, or NULL (odd byte).
  PDWORD outWord() {
    if (byte() & 1) return nullptr;
    words_.push_back(std::make_unique<DWORD>(0xA5A5A5A5));
    return words_.back().get();
  }
  bool present() { return (byte() & 1) == 0; }

  // Every input kept unchanged since the call began.
  void checkInputs() const {
    for (const auto& [copy, original] : inputs_) {
      if (*copy != original) finding("the driver wrote into the caller's input");
    }
  }

 private:
  DWORD lengthChoice() {
    const std::uint32_t low = byte();
    return (low | (static_cast<std::uint32_t>(byte()) << 8)) % 1025;
  }
  // A block of exactly `size` bytes (so that the sanitizer sees any access
  // beyond it) and a copy of its content to compare after the call.
  std::vector<std::uint8_t>& keep(std::size_t size) {
    auto block = std::make_unique<std::vector<std::uint8_t>>(size);
    inputs_.emplace_back(std::move(block), std::vector<std::uint8_t>{});
    return *inputs_.back().first;
  }

 public:
  // Called once the inputs are filled, before the driver runs.
  void sealInputs() {
    for (auto& [block, copy] : inputs_) copy = *block;
  }

 private:
  Source& source_;
  std::vector<std::pair<std::unique_ptr<std::vector<std::uint8_t>>, std::vector<std::uint8_t>>> inputs_;
  std::vector<std::unique_ptr<std::uint8_t[]>> outputs_;
  std::vector<std::unique_ptr<DWORD>> words_;
};

// The out-pointer of a block the driver hands back, or NULL.
struct BlockOut {
  PBYTE block = nullptr;
  bool present;
  explicit BlockOut(Caller& caller) : present(caller.present()) {}
  PBYTE* get() { return present ? &block : nullptr; }
};

// A block handed back by a call: taken (and freed) when the call succeeded;
// a failed call must not leave a live block behind, which no caller frees.
void settle(DWORD result, const void* block) {
  if (block == nullptr) return;
  if (result == 0) {
    takeBlock(block);
  } else if (provider.blocks.count(const_cast<void*>(block)) != 0) {
    finding("a failed call handed back a live block");
  }
}

// One entry point through its CARD_DATA slot, when the version has it.
void call(CARD_DATA& cardData, std::uint8_t operation, Caller& c) {
  CARD_DATA& d = cardData;
  DWORD result = 0;
  auto sealed = [&c] { c.sealInputs(); };
  switch (static_cast<Operation>(operation % kOperationCount)) {
    case kQueryCapabilities: {
      CARD_CAPABILITIES caps{};
      caps.dwVersion = c.word();
      const bool with = c.present();
      if (d.pfnCardQueryCapabilities) (void)d.pfnCardQueryCapabilities(&d, with ? &caps : nullptr);
      break;
    }
    case kDeleteContainer: {
      const BYTE index = c.byte();
      const DWORD reserved = c.word();
      if (d.pfnCardDeleteContainer) (void)d.pfnCardDeleteContainer(&d, index, reserved);
      break;
    }
    case kCreateContainer:
    case kCreateContainerEx: {
      const BYTE index = c.byte();
      const DWORD flags = c.word(), keySpec = c.word(), size = c.word();
      DWORD length = 0;
      // The key blob comes without its length: a provider hands a whole
      // one, so the block is never shorter than the largest the driver
      // takes.
      PBYTE key = c.input(length, kLargestPrivateKeyBlob);
      const DWORD pin = c.word();
      sealed();
      if (operation % kOperationCount == kCreateContainer) {
        if (d.pfnCardCreateContainer) (void)d.pfnCardCreateContainer(&d, index, flags, keySpec, size, key);
      } else if (d.pfnCardCreateContainerEx) {
        (void)d.pfnCardCreateContainerEx(&d, index, flags, keySpec, size, key, pin);
      }
      break;
    }
    case kGetContainerInfo: {
      const BYTE index = c.byte();
      const DWORD flags = c.word();
      CONTAINER_INFO info{};
      info.dwVersion = c.word();
      const bool with = c.present();
      if (d.pfnCardGetContainerInfo) result = d.pfnCardGetContainerInfo(&d, index, flags, with ? &info : nullptr);
      settle(result, info.pbSigPublicKey);
      settle(result, info.pbKeyExPublicKey);
      break;
    }
    case kAuthenticatePin: {
      WCHAR* user = c.wide();
      DWORD length = 0;
      PBYTE pin = c.input(length);
      PDWORD tries = c.outWord();
      sealed();
      if (d.pfnCardAuthenticatePin) (void)d.pfnCardAuthenticatePin(&d, user, pin, length, tries);
      break;
    }
    case kGetChallenge:
    case kGetChallengeEx: {
      BlockOut challenge(c);
      PDWORD length = c.outWord();
      const DWORD pin = c.word(), flags = c.word();
      if (operation % kOperationCount == kGetChallenge) {
        if (d.pfnCardGetChallenge) result = d.pfnCardGetChallenge(&d, challenge.get(), length);
      } else if (d.pfnCardGetChallengeEx) {
        result = d.pfnCardGetChallengeEx(&d, pin, challenge.get(), length, flags);
      }
      settle(result, challenge.block);
      break;
    }
    case kAuthenticateChallenge: {
      DWORD length = 0;
      PBYTE response = c.input(length);
      PDWORD tries = c.outWord();
      sealed();
      if (d.pfnCardAuthenticateChallenge) (void)d.pfnCardAuthenticateChallenge(&d, response, length, tries);
      break;
    }
    case kUnblockPin:
    case kChangeAuthenticator: {
      WCHAR* user = c.wide();
      DWORD currentLength = 0, newLength = 0;
      PBYTE current = c.input(currentLength);
      PBYTE next = c.input(newLength);
      const DWORD retries = c.word(), flags = c.word();
      PDWORD tries = c.outWord();
      sealed();
      if (operation % kOperationCount == kUnblockPin) {
        if (d.pfnCardUnblockPin)
          (void)d.pfnCardUnblockPin(&d, user, current, currentLength, next, newLength, retries, flags);
      } else if (d.pfnCardChangeAuthenticator) {
        (void)d.pfnCardChangeAuthenticator(&d, user, current, currentLength, next, newLength, retries, flags, tries);
      }
      break;
    }
    case kDeauthenticate: {
      WCHAR* user = c.wide();
      const DWORD flags = c.word();
      sealed();
      if (d.pfnCardDeauthenticate) (void)d.pfnCardDeauthenticate(&d, user, flags);
      break;
    }
    case kCreateDirectory: {
      char* name = c.ansi();
      const DWORD condition = c.word();
      sealed();
      if (d.pfnCardCreateDirectory)
        (void)d.pfnCardCreateDirectory(&d, name, static_cast<CARD_DIRECTORY_ACCESS_CONDITION>(condition));
      break;
    }
    case kDeleteDirectory: {
      char* name = c.ansi();
      sealed();
      if (d.pfnCardDeleteDirectory) (void)d.pfnCardDeleteDirectory(&d, name);
      break;
    }
    case kCreateFile: {
      char* directory = c.ansi();
      char* name = c.ansi();
      const DWORD size = c.word(), condition = c.word();
      sealed();
      if (d.pfnCardCreateFile)
        (void)d.pfnCardCreateFile(&d, directory, name, size, static_cast<CARD_FILE_ACCESS_CONDITION>(condition));
      break;
    }
    case kReadFile: {
      char* directory = c.ansi();
      char* name = c.ansi();
      const DWORD flags = c.word();
      BlockOut data(c);
      PDWORD length = c.outWord();
      sealed();
      if (d.pfnCardReadFile) result = d.pfnCardReadFile(&d, directory, name, flags, data.get(), length);
      settle(result, data.block);
      break;
    }
    case kWriteFile: {
      char* directory = c.ansi();
      char* name = c.ansi();
      const DWORD flags = c.word();
      DWORD length = 0;
      PBYTE data = c.input(length);
      sealed();
      if (d.pfnCardWriteFile) (void)d.pfnCardWriteFile(&d, directory, name, flags, data, length);
      break;
    }
    case kDeleteFile: {
      char* directory = c.ansi();
      char* name = c.ansi();
      const DWORD flags = c.word();
      sealed();
      if (d.pfnCardDeleteFile) (void)d.pfnCardDeleteFile(&d, directory, name, flags);
      break;
    }
    case kEnumFiles: {
      char* directory = c.ansi();
      const bool with = c.present();
      LPSTR names = nullptr;
      PDWORD length = c.outWord();
      const DWORD flags = c.word();
      sealed();
      if (d.pfnCardEnumFiles) result = d.pfnCardEnumFiles(&d, directory, with ? &names : nullptr, length, flags);
      settle(result, names);
      break;
    }
    case kGetFileInfo: {
      char* directory = c.ansi();
      char* name = c.ansi();
      CARD_FILE_INFO info{};
      info.dwVersion = c.word();
      const bool with = c.present();
      sealed();
      if (d.pfnCardGetFileInfo) (void)d.pfnCardGetFileInfo(&d, directory, name, with ? &info : nullptr);
      break;
    }
    case kQueryFreeSpace: {
      const DWORD flags = c.word();
      CARD_FREE_SPACE_INFO info{};
      info.dwVersion = c.word();
      const bool with = c.present();
      if (d.pfnCardQueryFreeSpace) (void)d.pfnCardQueryFreeSpace(&d, flags, with ? &info : nullptr);
      break;
    }
    case kQueryKeySizes: {
      const DWORD keySpec = c.word(), flags = c.word();
      CARD_KEY_SIZES sizes{};
      sizes.dwVersion = c.word();
      const bool with = c.present();
      if (d.pfnCardQueryKeySizes) (void)d.pfnCardQueryKeySizes(&d, keySpec, flags, with ? &sizes : nullptr);
      break;
    }
    case kSignData: {
      CARD_SIGNING_INFO info{};
      info.dwVersion = c.word();
      info.bContainerIndex = c.byte();
      info.dwKeySpec = c.word();
      info.dwSigningFlags = c.word();
      info.aiHashAlg = c.word();
      info.pbData = c.input(info.cbData);
      BCRYPT_PKCS1_PADDING_INFO padding{c.wide()};
      info.pPaddingInfo = c.present() ? &padding : nullptr;
      info.dwPaddingType = c.word();
      const bool with = c.present();
      sealed();
      if (d.pfnCardSignData) result = d.pfnCardSignData(&d, with ? &info : nullptr);
      if (with) settle(result, info.pbSignedData);
      break;
    }
    case kRSADecrypt: {
      // The data is replaced in place: an output, not an input.
      CARD_RSA_DECRYPT_INFO info{};
      info.dwVersion = c.word();
      info.bContainerIndex = c.byte();
      info.dwKeySpec = c.word();
      info.pbData = c.output(info.cbData);
      BCRYPT_PKCS1_PADDING_INFO padding{c.wide()};
      info.pPaddingInfo = c.present() ? &padding : nullptr;
      info.dwPaddingType = c.word();
      const bool with = c.present();
      sealed();
      if (d.pfnCardRSADecrypt) (void)d.pfnCardRSADecrypt(&d, with ? &info : nullptr);
      break;
    }
    case kConstructDHAgreement:
      if (d.pfnCardConstructDHAgreement) (void)d.pfnCardConstructDHAgreement(&d, nullptr);
      break;
    case kDeriveKey:
      if (d.pfnCardDeriveKey) (void)d.pfnCardDeriveKey(&d, nullptr);
      break;
    case kDestroyDHAgreement: {
      const BYTE index = c.byte();
      const DWORD flags = c.word();
      if (d.pfnCardDestroyDHAgreement) (void)d.pfnCardDestroyDHAgreement(&d, index, flags);
      break;
    }
    case kAuthenticateEx: {
      const DWORD pin = c.word(), flags = c.word();
      DWORD length = 0;
      PBYTE data = c.input(length);
      BlockOut session(c);
      PDWORD sessionLength = c.outWord();
      PDWORD tries = c.outWord();
      sealed();
      if (d.pfnCardAuthenticateEx)
        result = d.pfnCardAuthenticateEx(&d, pin, flags, data, length, session.get(), sessionLength, tries);
      settle(result, session.block);
      break;
    }
    case kChangeAuthenticatorEx: {
      const DWORD flags = c.word(), authenticating = c.word();
      DWORD currentLength = 0, newLength = 0;
      PBYTE current = c.input(currentLength);
      const DWORD target = c.word();
      PBYTE next = c.input(newLength);
      const DWORD retries = c.word();
      PDWORD tries = c.outWord();
      sealed();
      if (d.pfnCardChangeAuthenticatorEx)
        (void)d.pfnCardChangeAuthenticatorEx(&d, flags, authenticating, current, currentLength, target, next,
                                             newLength, retries, tries);
      break;
    }
    case kDeauthenticateEx: {
      const DWORD pins = c.word(), flags = c.word();
      if (d.pfnCardDeauthenticateEx) (void)d.pfnCardDeauthenticateEx(&d, pins, flags);
      break;
    }
    case kGetContainerProperty:
    case kGetProperty:
    case kGetAlgorithmProperty:
    case kGetKeyProperty: {
      const BYTE index = c.byte();
      const CARD_KEY_HANDLE key = c.word();
      WCHAR* algorithm = c.wide();
      WCHAR* property = c.wide();
      DWORD length = 0;
      PBYTE data = c.output(length);
      PDWORD written = c.outWord();
      const DWORD flags = c.word();
      sealed();
      switch (operation % kOperationCount) {
        case kGetContainerProperty:
          if (d.pfnCardGetContainerProperty)
            (void)d.pfnCardGetContainerProperty(&d, index, property, data, length, written, flags);
          break;
        case kGetProperty:
          if (d.pfnCardGetProperty) (void)d.pfnCardGetProperty(&d, property, data, length, written, flags);
          break;
        case kGetAlgorithmProperty:
          if (d.pfnCardGetAlgorithmProperty)
            (void)d.pfnCardGetAlgorithmProperty(&d, algorithm, property, data, length, written, flags);
          break;
        default:
          if (d.pfnCardGetKeyProperty) (void)d.pfnCardGetKeyProperty(&d, key, property, data, length, written, flags);
          break;
      }
      break;
    }
    case kSetContainerProperty:
    case kSetProperty:
    case kSetKeyProperty: {
      const BYTE index = c.byte();
      const CARD_KEY_HANDLE key = c.word();
      WCHAR* property = c.wide();
      DWORD length = 0;
      PBYTE data = c.input(length);
      const DWORD flags = c.word();
      sealed();
      switch (operation % kOperationCount) {
        case kSetContainerProperty:
          if (d.pfnCardSetContainerProperty) (void)d.pfnCardSetContainerProperty(&d, index, property, data, length, flags);
          break;
        case kSetProperty:
          if (d.pfnCardSetProperty) (void)d.pfnCardSetProperty(&d, property, data, length, flags);
          break;
        default:
          if (d.pfnCardSetKeyProperty) (void)d.pfnCardSetKeyProperty(&d, key, property, data, length, flags);
          break;
      }
      break;
    }
    case kMDImportSessionKey:
    case kImportSessionKey: {
      const BYTE index = c.byte();
      WCHAR* blobType = c.wide();
      WCHAR* algorithm = c.wide();
      CARD_KEY_HANDLE key = 0;
      const bool withKey = c.present();
      DWORD length = 0;
      PBYTE data = c.input(length);
      const DWORD flags = c.word();
      sealed();
      if (operation % kOperationCount == kMDImportSessionKey) {
        if (d.pfnMDImportSessionKey)
          (void)d.pfnMDImportSessionKey(&d, blobType, algorithm, withKey ? &key : nullptr, data, length);
      } else if (d.pfnCardImportSessionKey) {
        (void)d.pfnCardImportSessionKey(&d, index, nullptr, blobType, algorithm, withKey ? &key : nullptr, data,
                                        length, flags);
      }
      if (key != 0 && d.pfnCardDestroyKey) (void)d.pfnCardDestroyKey(&d, key);
      break;
    }
    case kMDEncryptData: {
      const CARD_KEY_HANDLE key = c.word();
      WCHAR* function = c.wide();
      DWORD length = 0;
      PBYTE data = c.input(length);
      const DWORD flags = c.word();
      PCARD_ENCRYPTED_DATA encrypted = nullptr;
      const bool with = c.present();
      PDWORD count = c.outWord();
      sealed();
      if (d.pfnMDEncryptData)
        result = d.pfnMDEncryptData(&d, key, function, data, length, flags, with ? &encrypted : nullptr, count);
      if (result == 0 && encrypted != nullptr && count != nullptr) {
        for (DWORD i = 0; i < *count; ++i) takeBlock(encrypted[i].pbEncryptedData);
      }
      settle(result, encrypted);
      break;
    }
    case kGetSharedKeyHandle: {
      DWORD length = 0;
      PBYTE data = c.input(length);
      BlockOut output(c);
      PDWORD outputLength = c.outWord();
      CARD_KEY_HANDLE key = 0;
      const bool withKey = c.present();
      sealed();
      if (d.pfnCardGetSharedKeyHandle)
        result = d.pfnCardGetSharedKeyHandle(&d, data, length, output.get(), outputLength, withKey ? &key : nullptr);
      settle(result, output.block);
      if (key != 0 && d.pfnCardDestroyKey) (void)d.pfnCardDestroyKey(&d, key);
      break;
    }
    case kDestroyKey: {
      const CARD_KEY_HANDLE key = c.word();
      if (d.pfnCardDestroyKey) (void)d.pfnCardDestroyKey(&d, key);
      break;
    }
    case kProcessEncryptedData: {
      const CARD_KEY_HANDLE key = c.word();
      WCHAR* function = c.wide();
      CARD_ENCRYPTED_DATA pieces[3]{};
      const DWORD count = c.byte() % 4;
      for (DWORD i = 0; i < count; ++i) pieces[i].pbEncryptedData = c.input(pieces[i].cbEncryptedData);
      DWORD length = 0;
      PBYTE output = c.output(length);
      PDWORD written = c.outWord();
      const DWORD flags = c.word();
      sealed();
      if (d.pfnCardProcessEncryptedData)
        (void)d.pfnCardProcessEncryptedData(&d, key, function, count == 0 ? nullptr : pieces, count, output, length,
                                            written, flags);
      break;
    }
    case kOperationCount:
      break;
  }
  c.checkInputs();
  if (pcsc.depth != 0) finding("an entry point returned with a transaction open");
}

}  // namespace

void runSession(Source& source) {
  pcsc = Pcsc{};
  provider = Provider{};
  pcsc.source = &source;
  Caller caller(source);

  const DWORD version = caller.word();
  const DWORD acquireFlags = caller.word();
  provider.failAllocation = caller.byte();
  pcsc.failBegin = caller.byte();
  pcsc.failEnd = caller.byte();
  pcsc.failCode = kPcscFailures[caller.byte() % std::size(kPcscFailures)];
  const std::uint8_t providerFlags = caller.byte();
  provider.unpadFails = (providerFlags & 2) != 0;
  const unsigned calls = 1 + caller.byte() % 4;

  // The card's ATR, or (provider flags bit 2) one from the input, of
  // exactly its length.
  std::vector<BYTE> atr{0x3B, 0x0B, 'V', 'e', 'm', 'r', 'a', 'M', 'i', 'n', 'i', 'D', 'r'};
  if ((providerFlags & 4) != 0) {
    atr.resize(caller.byte() % 40);
    for (auto& b : atr) b = caller.byte();
  }
  static WCHAR cardName[] = u"Vemra card";
  CARD_DATA cardData{};
  cardData.dwVersion = version;
  cardData.pbAtr = atr.empty() ? nullptr : atr.data();
  cardData.cbAtr = static_cast<DWORD>(atr.size());
  cardData.pwszCardName = cardName;
  cardData.pfnCspAlloc = providerAlloc;
  cardData.pfnCspReAlloc = providerReAlloc;
  cardData.pfnCspFree = providerFree;
  cardData.pfnCspUnpadData = (providerFlags & 1) != 0 ? nullptr : providerUnpad;
  cardData.hSCardCtx = 0x5C;
  cardData.hScard = kCardHandle;

  if (CardAcquireContext(&cardData, acquireFlags) == 0) {
    for (unsigned i = 0; i < calls; ++i) call(cardData, caller.byte(), caller);
    if (cardData.pfnCardDeleteContext == nullptr) finding("an acquired context has no CardDeleteContext slot");
    (void)cardData.pfnCardDeleteContext(&cardData);
  } else if (cardData.pvVendorSpecific != nullptr) {
    finding("a failed acquisition kept its configuration record");
  }
  if (pcsc.depth != 0) finding("a transaction was left open");
  if (!provider.blocks.empty()) finding("blocks from pfnCspAlloc were not given back");
  pcsc.source = nullptr;
}

}  // namespace vemra::fuzz


namespace vemra::fuzz::layer {

std::uint32_t transmit(std::uintptr_t handle, std::span<const std::uint8_t> command, std::uint8_t* receive,
                       std::uint64_t& length) {
  if (pcsc.source == nullptr) finding("SCardTransmit outside a session");
  if (handle != kCardHandle) finding("SCardTransmit on another card handle");
  const std::size_t capacity = length;
  const Answer answer = pcsc.source->answer(command, capacity);
  if (answer.code != 0) return answer.code;
  if (answer.bytes.size() > capacity) return SCARD_E_INSUFFICIENT_BUFFER;
  if (!answer.bytes.empty()) std::memcpy(receive, answer.bytes.data(), answer.bytes.size());
  length = answer.bytes.size() + answer.extraLength;
  return 0;
}

std::uint32_t begin(std::uintptr_t handle) {
  if (handle != kCardHandle) finding("SCardBeginTransaction on another card handle");
  if (++pcsc.begins == pcsc.failBegin) return pcsc.failCode;
  ++pcsc.depth;
  return 0;
}

std::uint32_t end(std::uintptr_t handle, std::uint64_t disposition) {
  if (handle != kCardHandle) finding("SCardEndTransaction on another card handle");
  if (pcsc.depth == 0) finding("SCardEndTransaction without an open transaction");
  if (disposition != SCARD_LEAVE_CARD) finding("a transaction ended with another disposition than leaving the card");
  // The transaction is released even when the call reports a failure, as a
  // PC/SC service does when the card went away.
  --pcsc.depth;
  if (++pcsc.ends == pcsc.failEnd) return pcsc.failCode;
  return 0;
}

}  // namespace vemra::fuzz::layer

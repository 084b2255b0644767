#include "card.h"

#include <algorithm>
#include <cstring>

#include "error.h"

namespace vemra::ctl {

using host::check;
using host::Error;
using host::ProviderBuffer;

namespace {

// A name as the driver's LPSTR parameters take it; the root is NULL.
struct Name {
  explicit Name(const std::string& text) : text_(text) {}
  LPSTR get() { return text_.empty() ? nullptr : text_.data(); }
  LPSTR always() { return text_.data(); }

 private:
  std::string text_;
};

std::string path(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

const std::u16string kUser = u"user";
const std::u16string kAdmin = u"admin";

LPWSTR wide(std::u16string& text) { return reinterpret_cast<LPWSTR>(text.data()); }

}  // namespace

Card::Card(const std::string& driverPath, const std::string& reader) : session_(driverPath, reader) {}

Card::Hold Card::hold() {
  auto held = std::make_unique<host::CardTransaction>(session_.cardHandle());
  if (held->lost()) {
    throw Error("the card was reset or removed by another program; run the command again", held->status());
  }
  check(held->status(), "cannot hold the card");
  return held;
}

Bytes Card::readFile(const std::string& dir, const std::string& name) {
  Name d(dir);
  Name f(name);
  PBYTE raw = nullptr;
  DWORD length = 0;
  const DWORD rc = data()->pfnCardReadFile(data(), d.get(), f.always(), 0, &raw, &length);
  ProviderBuffer owned(raw);
  check(rc, "cannot read " + path(dir, name));
  return raw == nullptr ? Bytes{} : Bytes(raw, raw + length);
}

void Card::writeFile(const std::string& dir, const std::string& name, const Bytes& content) {
  Name d(dir);
  Name f(name);
  Bytes copy = content;
  check(data()->pfnCardWriteFile(data(), d.get(), f.always(), 0, copy.data(), static_cast<DWORD>(copy.size())),
        "cannot write " + path(dir, name));
}

void Card::createFile(const std::string& dir, const std::string& name, DWORD size,
                      CARD_FILE_ACCESS_CONDITION access) {
  Name d(dir);
  Name f(name);
  check(data()->pfnCardCreateFile(data(), d.get(), f.always(), size, access), "cannot create " + path(dir, name));
}

void Card::deleteFile(const std::string& dir, const std::string& name) {
  Name d(dir);
  Name f(name);
  check(data()->pfnCardDeleteFile(data(), d.get(), f.always(), 0), "cannot delete " + path(dir, name));
}

std::optional<FileEntry> Card::fileInfo(const std::string& dir, const std::string& name) {
  Name d(dir);
  Name f(name);
  CARD_FILE_INFO info{};
  info.dwVersion = 1;
  const DWORD rc = data()->pfnCardGetFileInfo(data(), d.get(), f.always(), &info);
  if (rc == SCARD_E_FILE_NOT_FOUND) return std::nullopt;
  check(rc, "cannot read the information of " + path(dir, name));
  return FileEntry{name, info.cbFileSize, info.AccessCondition};
}

std::vector<std::string> Card::listFiles(const std::string& dir) {
  Name d(dir);
  LPSTR raw = nullptr;
  DWORD length = 0;
  const DWORD rc = data()->pfnCardEnumFiles(data(), d.get(), &raw, &length, 0);
  ProviderBuffer owned(reinterpret_cast<BYTE*>(raw));
  if (rc == SCARD_E_FILE_NOT_FOUND) return {};
  check(rc, "cannot list " + (dir.empty() ? std::string("the root") : dir));
  std::vector<std::string> names;
  for (DWORD at = 0; raw != nullptr && at < length && raw[at] != '\0';) {
    std::string name;
    while (at < length && raw[at] != '\0') name += raw[at++];
    ++at;
    names.push_back(name);
  }
  return names;
}

void Card::createDirectory(const std::string& name, CARD_DIRECTORY_ACCESS_CONDITION access) {
  Name d(name);
  check(data()->pfnCardCreateDirectory(data(), d.always(), access), "cannot create directory " + name);
}

void Card::deleteDirectory(const std::string& name) {
  Name d(name);
  check(data()->pfnCardDeleteDirectory(data(), d.always()), "cannot delete directory " + name);
}

CARD_FREE_SPACE_INFO Card::freeSpace() {
  CARD_FREE_SPACE_INFO info{};
  info.dwVersion = 1;
  check(data()->pfnCardQueryFreeSpace(data(), 0, &info), "cannot query the free space");
  return info;
}

void Card::loginUser(const Secret& pin) {
  std::u16string user = kUser;
  Secret copy(Bytes(pin.data(), pin.data() + pin.size()));
  DWORD attempts = 0xFFFFFFFF;
  const DWORD rc = data()->pfnCardAuthenticatePin(data(), wide(user), copy.data(), static_cast<DWORD>(copy.size()),
                                                  &attempts);
  check(rc, "user login", "PIN", attempts == 0xFFFFFFFF ? -1 : static_cast<int>(attempts));
}

namespace {

// Fetches a challenge and computes the response; the entry point that takes
// the response must be the very next call.
Secret respond(CARD_DATA* cd, const Secret& key24) {
  PBYTE raw = nullptr;
  DWORD length = 0;
  const DWORD rc = cd->pfnCardGetChallenge(cd, &raw, &length);
  ProviderBuffer owned(raw);
  check(rc, "cannot get a challenge from the card");
  return challengeResponse(key24, raw, length);
}

}  // namespace

void Card::loginAdmin(const Secret& key24) {
  // The challenge and the response as one: another program's challenge in
  // between would spend an administrator try.
  const Hold held = hold();
  Secret response = respond(data(), key24);
  DWORD attempts = 0xFFFFFFFF;
  const DWORD rc = data()->pfnCardAuthenticateChallenge(data(), response.data(),
                                                        static_cast<DWORD>(response.size()), &attempts);
  check(rc, "administrator login", "administrator key", attempts == 0xFFFFFFFF ? -1 : static_cast<int>(attempts));
}

void Card::logout(PIN_SET roles) { check(data()->pfnCardDeauthenticateEx(data(), roles, 0), "logout"); }

void Card::changePin(const Secret& current, const Secret& next) {
  std::u16string user = kUser;
  Secret a(Bytes(current.data(), current.data() + current.size()));
  Secret b(Bytes(next.data(), next.data() + next.size()));
  DWORD attempts = 0xFFFFFFFF;
  const DWORD rc = data()->pfnCardChangeAuthenticator(data(), wide(user), a.data(), static_cast<DWORD>(a.size()),
                                                      b.data(), static_cast<DWORD>(b.size()), 0,
                                                      CARD_AUTHENTICATE_PIN_PIN, &attempts);
  check(rc, "cannot change the PIN", "PIN", attempts == 0xFFFFFFFF ? -1 : static_cast<int>(attempts));
}

void Card::unblockPin(const Secret& adminKey24, const Secret& next) {
  std::u16string user = kUser;
  Secret b(Bytes(next.data(), next.data() + next.size()));
  const Hold held = hold();
  Secret response = respond(data(), adminKey24);
  const DWORD rc = data()->pfnCardUnblockPin(data(), wide(user), response.data(),
                                             static_cast<DWORD>(response.size()), b.data(),
                                             static_cast<DWORD>(b.size()), 0, CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
  check(rc, "cannot unblock the PIN", "administrator key");
}

void Card::changeAdminKey(const Secret& current24, const Secret& next24) {
  std::u16string admin = kAdmin;
  Secret b(Bytes(next24.data(), next24.data() + next24.size()));
  const Hold held = hold();
  Secret response = respond(data(), current24);
  DWORD attempts = 0xFFFFFFFF;
  const DWORD rc = data()->pfnCardChangeAuthenticator(
      data(), wide(admin), response.data(), static_cast<DWORD>(response.size()), b.data(),
      static_cast<DWORD>(b.size()), 0, CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE, &attempts);
  check(rc, "cannot change the administrator key", "administrator key",
        attempts == 0xFFFFFFFF ? -1 : static_cast<int>(attempts));
}

DWORD Card::property(const std::u16string& name, DWORD flags, Bytes& out, Bytes initial) {
  std::u16string copy = name;
  Bytes buffer(256, 0);
  std::copy_n(initial.begin(), std::min(initial.size(), buffer.size()), buffer.begin());
  DWORD length = 0;
  const DWORD rc = data()->pfnCardGetProperty(data(), wide(copy), buffer.data(), static_cast<DWORD>(buffer.size()),
                                              &length, flags);
  if (rc == 0) out.assign(buffer.begin(), buffer.begin() + std::min<std::size_t>(length, buffer.size()));
  return rc;
}

void Card::importKey(BYTE index, DWORD keySpec, const Secret& privateKeyBlob, DWORD bits, PIN_ID role) {
  Secret blob(Bytes(privateKeyBlob.data(), privateKeyBlob.data() + privateKeyBlob.size()));
  const std::string what = "cannot import the key into container " + std::to_string(index);
  if (data()->pfnCardCreateContainerEx != nullptr) {
    check(data()->pfnCardCreateContainerEx(data(), index, CARD_CREATE_CONTAINER_KEY_IMPORT, keySpec, bits,
                                           blob.data(), role),
          what);
  } else {
    check(data()->pfnCardCreateContainer(data(), index, CARD_CREATE_CONTAINER_KEY_IMPORT, keySpec, bits,
                                         blob.data()),
          what);
  }
}

PublicKeys Card::publicKeys(BYTE index) {
  CONTAINER_INFO info{};
  info.dwVersion = 1;
  const DWORD rc = data()->pfnCardGetContainerInfo(data(), index, 0, &info);
  ProviderBuffer sig(info.pbSigPublicKey);
  ProviderBuffer kx(info.pbKeyExPublicKey);
  check(rc, "cannot read container " + std::to_string(index));
  PublicKeys keys;
  if (info.pbSigPublicKey != nullptr) keys.signature.assign(info.pbSigPublicKey, info.pbSigPublicKey + info.cbSigPublicKey);
  if (info.pbKeyExPublicKey != nullptr) {
    keys.keyExchange.assign(info.pbKeyExPublicKey, info.pbKeyExPublicKey + info.cbKeyExPublicKey);
  }
  return keys;
}

Bytes Card::sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& hash) {
  Bytes copy = hash;
  CARD_SIGNING_INFO info{};
  info.dwVersion = 1;
  info.bContainerIndex = index;
  info.dwKeySpec = keySpec;
  info.aiHashAlg = hashAlg;
  info.pbData = copy.data();
  info.cbData = static_cast<DWORD>(copy.size());
  const DWORD rc = data()->pfnCardSignData(data(), &info);
  ProviderBuffer owned(info.pbSignedData);
  check(rc, "cannot sign with container " + std::to_string(index));
  return Bytes(info.pbSignedData, info.pbSignedData + info.cbSignedData);
}

Secret Card::decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const std::u16string& oaepHash) {
  Secret buffer(Bytes(block.begin(), block.end()));
  std::u16string hashName = oaepHash;
  host::OaepPaddingInfo oaep{reinterpret_cast<LPCWSTR>(hashName.c_str()), nullptr, 0};
  CARD_RSA_DECRYPT_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = index;
  info.dwKeySpec = keySpec;
  info.pbData = buffer.data();
  info.cbData = static_cast<DWORD>(buffer.size());
  info.dwPaddingType = padding;
  info.pPaddingInfo = padding == CARD_PADDING_OAEP ? &oaep : nullptr;
  check(data()->pfnCardRSADecrypt(data(), &info), "cannot decrypt with container " + std::to_string(index));
  return Secret(Bytes(buffer.data(), buffer.data() + std::min<std::size_t>(info.cbData, buffer.size())));
}

void Card::deleteContainer(BYTE index) {
  check(data()->pfnCardDeleteContainer(data(), index, 0), "cannot delete container " + std::to_string(index));
}

}  // namespace vemra::ctl

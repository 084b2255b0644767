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

Card::KeptReads::KeptReads(Card& card) : card_(card) { card_.kept_.emplace(); }

Card::KeptReads::~KeptReads() {
  Kept kept = std::move(*card_.kept_);
  card_.kept_.reset();
  if (!kept.usable || !kept.added) return;
  // Keeping is a saving, never a failure of the command.
  try {
    keep(kept);
  } catch (...) {
  }
}

void Card::KeptReads::keep(const Kept& kept) {
  // What another program kept under the same counters stays.
  host::CardRecord record;
  record.counters = kept.record.counters;
  if (auto stored = host::loadCardRecord(kept.cardId); stored && stored->counters == record.counters) {
    record = std::move(*stored);
  }
  for (const auto& [name, answer] : kept.record.entries) record.entries[name] = answer;
  host::saveCardRecord(kept.cardId, record);
}

host::StoredAnswer Card::readRaw(const std::string& dir, const std::string& name) {
  Name d(dir);
  Name f(name);
  PBYTE raw = nullptr;
  DWORD length = 0;
  const DWORD rc = data()->pfnCardReadFile(data(), d.get(), f.always(), 0, &raw, &length);
  ProviderBuffer owned(raw);
  host::StoredAnswer out{rc, {}};
  if (rc == 0 && raw != nullptr) out.data.assign(raw, raw + length);
  return out;
}

void Card::prepareKept() {
  Kept& kept = *kept_;
  kept.ready = true;
  // The identifier as the listings ask for it: the property, else the file.
  host::StoredAnswer id;
  id.code = propertyRaw(u"Card Identifier", 0, id.data, {});
  const bool fromFile = id.code == SCARD_E_UNSUPPORTED_FEATURE;
  if (fromFile) id = readRaw("", "cardid");
  const host::StoredAnswer counters = readRaw("", "cardcf");
  if (id.code != 0 || counters.code != 0) return;
  kept.usable = true;
  kept.cardId = id.data;
  if (auto stored = host::loadCardRecord(kept.cardId); stored && stored->counters == counters.data) {
    kept.record = std::move(*stored);
  } else {
    kept.record.counters = counters.data;
    kept.added = true;
  }
  kept.record.entries.emplace(fromFile ? "file:/cardid" : "cardIdentifier", std::move(id));
}

template <typename Read>
host::StoredAnswer Card::answer(const std::string& name, Read read) {
  if (!kept_) return read();
  if (!kept_->ready) prepareKept();
  if (!kept_->usable) return read();
  if (auto it = kept_->record.entries.find(name); it != kept_->record.entries.end()) return it->second;
  host::StoredAnswer fresh = read();
  if (host::keepableAnswer(fresh.code)) {
    kept_->record.entries[name] = fresh;
    kept_->added = true;
  }
  return fresh;
}

void Card::forgetKept() {
  if (!kept_) return;
  if (kept_->usable) host::forgetCardRecord(kept_->cardId);
  kept_->usable = false;
}

Bytes Card::readFile(const std::string& dir, const std::string& name) {
  const host::StoredAnswer read = host::publicCardFile(dir, name)
                                      ? answer("file:" + dir + "/" + name, [&] { return readRaw(dir, name); })
                                      : readRaw(dir, name);
  check(read.code, "cannot read " + path(dir, name));
  return read.data;
}

void Card::writeFile(const std::string& dir, const std::string& name, const Bytes& content) {
  forgetKept();
  Name d(dir);
  Name f(name);
  Bytes copy = content;
  check(data()->pfnCardWriteFile(data(), d.get(), f.always(), 0, copy.data(), static_cast<DWORD>(copy.size())),
        "cannot write " + path(dir, name));
}

void Card::createFile(const std::string& dir, const std::string& name, DWORD size,
                      CARD_FILE_ACCESS_CONDITION access) {
  forgetKept();
  Name d(dir);
  Name f(name);
  check(data()->pfnCardCreateFile(data(), d.get(), f.always(), size, access), "cannot create " + path(dir, name));
}

void Card::deleteFile(const std::string& dir, const std::string& name) {
  forgetKept();
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
  forgetKept();
  Name d(name);
  check(data()->pfnCardCreateDirectory(data(), d.always(), access), "cannot create directory " + name);
}

void Card::deleteDirectory(const std::string& name) {
  forgetKept();
  Name d(name);
  check(data()->pfnCardDeleteDirectory(data(), d.always()), "cannot delete directory " + name);
}

CARD_FREE_SPACE_INFO Card::freeSpace() {
  const host::StoredAnswer kept = answer("freeSpace", [&] {
    CARD_FREE_SPACE_INFO info{};
    info.dwVersion = 1;
    host::StoredAnswer out{data()->pfnCardQueryFreeSpace(data(), 0, &info), {}};
    for (DWORD word : {info.dwBytesAvailable, info.dwKeyContainersAvailable, info.dwMaxKeyContainers}) {
      for (int i = 0; i < 4; ++i) out.data.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
    return out;
  });
  check(kept.code, "cannot query the free space");
  if (kept.data.size() != 12) throw Error("cannot query the free space: a kept answer of the wrong size");
  const auto word = [&](std::size_t at) {
    return static_cast<DWORD>(kept.data[at]) | static_cast<DWORD>(kept.data[at + 1]) << 8 |
           static_cast<DWORD>(kept.data[at + 2]) << 16 | static_cast<DWORD>(kept.data[at + 3]) << 24;
  };
  CARD_FREE_SPACE_INFO info{};
  info.dwVersion = 1;
  info.dwBytesAvailable = word(0);
  info.dwKeyContainersAvailable = word(4);
  info.dwMaxKeyContainers = word(8);
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
  if ((name == u"Card Serial Number" || name == u"Card Identifier") && flags == 0) {
    const host::StoredAnswer kept = answer(name == u"Card Identifier" ? "cardIdentifier" : "serial", [&] {
      host::StoredAnswer read;
      read.code = propertyRaw(name, flags, read.data, initial);
      return read;
    });
    if (kept.code == 0) out = kept.data;
    return kept.code;
  }
  return propertyRaw(name, flags, out, std::move(initial));
}

DWORD Card::propertyRaw(const std::u16string& name, DWORD flags, Bytes& out, Bytes initial) {
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
  forgetKept();
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
  // Kept as the two blobs, each after its four-byte length.
  const host::StoredAnswer kept = answer("blobs:" + std::to_string(index), [&] {
    CONTAINER_INFO info{};
    info.dwVersion = 1;
    host::StoredAnswer out{data()->pfnCardGetContainerInfo(data(), index, 0, &info), {}};
    ProviderBuffer sig(info.pbSigPublicKey);
    ProviderBuffer kx(info.pbKeyExPublicKey);
    if (out.code != 0) return out;
    for (const auto& [blob, length] : {std::pair{info.pbSigPublicKey, info.cbSigPublicKey},
                                       std::pair{info.pbKeyExPublicKey, info.cbKeyExPublicKey}}) {
      const DWORD size = blob == nullptr ? 0 : length;
      for (int i = 0; i < 4; ++i) out.data.push_back(static_cast<uint8_t>(size >> (8 * i)));
      if (size != 0) out.data.insert(out.data.end(), blob, blob + size);
    }
    return out;
  });
  check(kept.code, "cannot read container " + std::to_string(index));
  PublicKeys keys;
  std::size_t at = 0;
  for (Bytes* blob : {&keys.signature, &keys.keyExchange}) {
    if (kept.data.size() - at < 4) throw Error("cannot read container " + std::to_string(index) + ": a kept answer cut short");
    const std::size_t size = static_cast<std::size_t>(kept.data[at]) | static_cast<std::size_t>(kept.data[at + 1]) << 8 |
                             static_cast<std::size_t>(kept.data[at + 2]) << 16 |
                             static_cast<std::size_t>(kept.data[at + 3]) << 24;
    at += 4;
    if (kept.data.size() - at < size) throw Error("cannot read container " + std::to_string(index) + ": a kept answer cut short");
    blob->assign(kept.data.begin() + static_cast<std::ptrdiff_t>(at), kept.data.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
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
  forgetKept();
  check(data()->pfnCardDeleteContainer(data(), index, 0), "cannot delete container " + std::to_string(index));
}

}  // namespace vemra::ctl

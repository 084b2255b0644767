// The card port over a bound CARD_DATA: each request of the module turned
// into the driver's entry point and record, and the driver's answer back
// into the module's terms.
#include "driver_port.h"

#include <algorithm>
#include <cstring>

#include "provider.h"

namespace vemra::p11 {

namespace {

using host::ProviderBuffer;

LPWSTR wide(std::u16string& text) { return reinterpret_cast<LPWSTR>(text.data()); }

// A name as the driver's LPSTR parameters take it; the root is NULL.
class Name {
 public:
  explicit Name(const std::string& text) : text_(text) {}
  LPSTR orNull() { return text_.empty() ? nullptr : text_.data(); }
  LPSTR get() { return text_.data(); }

 private:
  std::string text_;
};

// A secret copied into a buffer the driver may write to, wiped at the end.
class Scratch {
 public:
  explicit Scratch(const Bytes& from) : bytes_(from) {}
  ~Scratch() { host_wipe(); }
  PBYTE data() { return bytes_.empty() ? nullptr : bytes_.data(); }
  DWORD size() const { return static_cast<DWORD>(bytes_.size()); }

 private:
  void host_wipe() {
    volatile uint8_t* p = bytes_.data();
    for (std::size_t i = 0; i < bytes_.size(); ++i) p[i] = 0;
  }
  Bytes bytes_;
};

}  // namespace

std::optional<RsaPublic> fromBlob(const BYTE* blob, DWORD length) {
  // PUBLICKEYBLOB: 8-byte header, "RSA1", bit length, exponent, modulus
  // least significant byte first.
  if (blob == nullptr || length < 20 || std::memcmp(blob + 8, "RSA1", 4) != 0) return std::nullopt;
  const DWORD bits = blob[12] | blob[13] << 8 | blob[14] << 16 | static_cast<DWORD>(blob[15]) << 24;
  if (bits == 0 || bits % 8 != 0 || length - 20 < bits / 8) return std::nullopt;
  RsaPublic key;
  for (DWORD i = bits / 8; i > 0; --i) key.modulus.push_back(blob[20 + i - 1]);
  for (int i = 3; i >= 0; --i) key.exponent.push_back(blob[16 + i]);
  while (key.exponent.size() > 1 && key.exponent.front() == 0) key.exponent.erase(key.exponent.begin());
  while (key.modulus.size() > 1 && key.modulus.front() == 0) key.modulus.erase(key.modulus.begin());
  return key;
}


DWORD DriverPort::readFile(const std::string& dir, const std::string& name, Bytes& out) {
  Name d(dir), f(name);
  PBYTE raw = nullptr;
  DWORD length = 0;
  const DWORD rc = cd()->pfnCardReadFile(cd(), d.orNull(), f.get(), 0, &raw, &length);
  ProviderBuffer owned(raw);
  if (rc == 0) out.assign(raw, raw + (raw == nullptr ? 0 : length));
  return rc;
}

DWORD DriverPort::writeFile(const std::string& dir, const std::string& name, const Bytes& content) {
  Name d(dir), f(name);
  Bytes copy = content;
  return cd()->pfnCardWriteFile(cd(), d.orNull(), f.get(), 0, copy.data(), static_cast<DWORD>(copy.size()));
}

DWORD DriverPort::createFile(const std::string& dir, const std::string& name, DWORD size) {
  Name d(dir), f(name);
  return cd()->pfnCardCreateFile(cd(), d.orNull(), f.get(), size, EveryoneReadUserWriteAc);
}

DWORD DriverPort::deleteFile(const std::string& dir, const std::string& name) {
  Name d(dir), f(name);
  return cd()->pfnCardDeleteFile(cd(), d.orNull(), f.get(), 0);
}

DWORD DriverPort::serialNumber(Bytes& out) {
  std::u16string name = u"Card Serial Number";
  BYTE value[64] = {};
  DWORD length = 0;
  const DWORD rc = cd()->pfnCardGetProperty(cd(), wide(name), value, sizeof value, &length, 0);
  if (rc == 0) out.assign(value, value + std::min<DWORD>(length, sizeof value));
  return rc;
}

DWORD DriverPort::keySizes(DWORD& minimumBits, DWORD& maximumBits) {
  CARD_KEY_SIZES sizes{};
  sizes.dwVersion = 1;
  const DWORD rc = cd()->pfnCardQueryKeySizes(cd(), AT_SIGNATURE, 0, &sizes);
  if (rc == 0) {
    minimumBits = sizes.dwMinimumBitlen;
    maximumBits = sizes.dwMaximumBitlen;
  }
  return rc;
}

DWORD DriverPort::maxContainers(DWORD& count) {
  CARD_FREE_SPACE_INFO info{};
  info.dwVersion = 1;
  const DWORD rc = cd()->pfnCardQueryFreeSpace(cd(), 0, &info);
  if (rc == 0) count = info.dwMaxKeyContainers;
  return rc;
}

DWORD DriverPort::authenticateUser(const Bytes& pin, DWORD& attempts) {
  Scratch copy(pin);
  return cd()->pfnCardAuthenticateEx(cd(), ROLE_USER, 0, copy.data(), copy.size(), nullptr, nullptr, &attempts);
}

DWORD DriverPort::challenge(Bytes& out) {
  PBYTE raw = nullptr;
  DWORD length = 0;
  const DWORD rc = cd()->pfnCardGetChallenge(cd(), &raw, &length);
  ProviderBuffer owned(raw);
  if (rc == 0) out.assign(raw, raw + (raw == nullptr ? 0 : length));
  return rc;
}

DWORD DriverPort::answerChallenge(const Bytes& response, DWORD& attempts) {
  Scratch copy(response);
  return cd()->pfnCardAuthenticateChallenge(cd(), copy.data(), copy.size(), &attempts);
}

DWORD DriverPort::deauthenticate(PIN_SET roles) { return cd()->pfnCardDeauthenticateEx(cd(), roles, 0); }

DWORD DriverPort::changePin(const Bytes& current, const Bytes& next, DWORD& attempts) {
  std::u16string user = u"user";
  Scratch a(current), b(next);
  return cd()->pfnCardChangeAuthenticator(cd(), wide(user), a.data(), a.size(), b.data(), b.size(), 0,
                                          CARD_AUTHENTICATE_PIN_PIN, &attempts);
}

DWORD DriverPort::unblockPin(const Bytes& response, const Bytes& next) {
  std::u16string user = u"user";
  Scratch a(response), b(next);
  return cd()->pfnCardUnblockPin(cd(), wide(user), a.data(), a.size(), b.data(), b.size(), 0,
                                 CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE);
}

DWORD DriverPort::changeAdminKey(const Bytes& response, const Bytes& next) {
  std::u16string admin = u"admin";
  Scratch a(response), b(next);
  DWORD attempts = 0;
  return cd()->pfnCardChangeAuthenticator(cd(), wide(admin), a.data(), a.size(), b.data(), b.size(), 0,
                                          CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE, &attempts);
}

DWORD DriverPort::containerKeys(BYTE index, ContainerKeys& out) {
  CONTAINER_INFO info{};
  info.dwVersion = 1;
  const DWORD rc = cd()->pfnCardGetContainerInfo(cd(), index, 0, &info);
  ProviderBuffer sig(info.pbSigPublicKey);
  ProviderBuffer kx(info.pbKeyExPublicKey);
  if (rc != 0) return rc;
  out = ContainerKeys{};
  if (info.pbSigPublicKey != nullptr) out.signature = fromBlob(info.pbSigPublicKey, info.cbSigPublicKey);
  if (info.pbKeyExPublicKey != nullptr) out.keyExchange = fromBlob(info.pbKeyExPublicKey, info.cbKeyExPublicKey);
  return 0;
}

DWORD DriverPort::importKey(BYTE index, DWORD keySpec, const Bytes& privateKeyBlob, DWORD bits) {
  Scratch blob(privateKeyBlob);
  if (cd()->pfnCardCreateContainerEx != nullptr) {
    return cd()->pfnCardCreateContainerEx(cd(), index, CARD_CREATE_CONTAINER_KEY_IMPORT, keySpec, bits,
                                          blob.data(), ROLE_USER);
  }
  return cd()->pfnCardCreateContainer(cd(), index, CARD_CREATE_CONTAINER_KEY_IMPORT, keySpec, bits, blob.data());
}

DWORD DriverPort::deleteContainer(BYTE index) { return cd()->pfnCardDeleteContainer(cd(), index, 0); }

DWORD DriverPort::sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) {
  Bytes copy = data;
  BCRYPT_PKCS1_PADDING_INFO bare{nullptr};
  CARD_SIGNING_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = index;
  info.dwKeySpec = keySpec;
  info.pbData = copy.data();
  info.cbData = static_cast<DWORD>(copy.size());
  if (hashAlg == 0) {
    // Data to be signed as it is (a DigestInfo the caller built): PKCS #1
    // padding with no hash named.
    info.dwSigningFlags = CARD_PADDING_INFO_PRESENT;
    info.dwPaddingType = CARD_PADDING_PKCS1;
    info.pPaddingInfo = &bare;
  } else {
    info.aiHashAlg = hashAlg;
  }
  const DWORD rc = cd()->pfnCardSignData(cd(), &info);
  ProviderBuffer owned(info.pbSignedData);
  if (rc != 0) return rc;
  // The driver hands the signature back least significant byte first.
  signature.assign(info.pbSignedData, info.pbSignedData + info.cbSignedData);
  std::reverse(signature.begin(), signature.end());
  return 0;
}

DWORD DriverPort::decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const OaepParams* oaep,
                          Bytes& out) {
  Scratch buffer(block);
  std::u16string hash = oaep != nullptr ? oaep->hash : u"SHA1";
  Bytes label = oaep != nullptr ? oaep->label : Bytes{};
  host::OaepPaddingInfo info2{reinterpret_cast<LPCWSTR>(hash.c_str()), label.empty() ? nullptr : label.data(),
                              static_cast<DWORD>(label.size())};
  CARD_RSA_DECRYPT_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = index;
  info.dwKeySpec = keySpec;
  info.pbData = buffer.data();
  info.cbData = buffer.size();
  info.dwPaddingType = padding;
  info.pPaddingInfo = padding == CARD_PADDING_OAEP ? &info2 : nullptr;
  const DWORD rc = cd()->pfnCardRSADecrypt(cd(), &info);
  if (rc == 0) out.assign(buffer.data(), buffer.data() + std::min(info.cbData, buffer.size()));
  return rc;
}

}  // namespace vemra::p11

// Writing to the card: a private RSA key imported into the next free
// container and recorded in "cmapfile", a certificate written to the file of
// the key it certifies, and their removal. Each change bumps the matching
// counter of "cardcf" so that other providers see their caches are stale.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdio>
#include <functional>
#include <cstring>
#include <initializer_list>

#include "mechanisms.h"
#include "module.h"
#include "writing.h"

namespace vemra::p11 {

namespace {

void putLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::size_t leadingZeros(const Bytes& number) {
  std::size_t at = 0;
  while (at < number.size() && number[at] == 0) ++at;
  return at;
}

Bytes stripped(const Bytes& number) {
  return Bytes(number.begin() + static_cast<std::ptrdiff_t>(leadingZeros(number)), number.end());
}

// Appends a big-endian number least significant byte first in a field of
// `length` bytes, copying nothing else; false when it does not fit.
bool putNumber(Bytes& out, const Bytes& bigEndian, std::size_t length) {
  const std::size_t significant = bigEndian.size() - leadingZeros(bigEndian);
  if (significant > length) return false;
  for (std::size_t i = 0; i < length; ++i) out.push_back(i < significant ? bigEndian[bigEndian.size() - 1 - i] : 0);
  return true;
}

// The numbers of a private key taken from a template, wiped on every way
// out.
struct KeyNumbers {
  KeyNumbers() { values.reserve(8); }
  ~KeyNumbers() {
    for (Bytes& b : values) wipe(b);
  }
  KeyNumbers(const KeyNumbers&) = delete;
  KeyNumbers& operator=(const KeyNumbers&) = delete;
  std::vector<Bytes> values;
};

std::u16string newContainerName() {
  uint8_t g[16] = {};
  RAND_bytes(g, sizeof g);
  g[7] = static_cast<uint8_t>((g[7] & 0x0F) | 0x40);
  g[8] = static_cast<uint8_t>((g[8] & 0x3F) | 0x80);
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return widen(text);
}

}  // namespace

CK_RV privateKeyBlob(const CK_ATTRIBUTE* tmpl, CK_ULONG count, DWORD keySpec, Bytes& blob, DWORD& bits) {
  const CK_ATTRIBUTE_TYPE needed[] = {CKA_MODULUS,    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                      CKA_PRIME_2,    CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
  KeyNumbers numbers;
  std::vector<Bytes>& n = numbers.values;
  for (CK_ATTRIBUTE_TYPE type : needed) {
    auto value = templateValue(tmpl, count, type);
    if (!value || value->empty()) return CKR_TEMPLATE_INCOMPLETE;
    n.push_back(std::move(*value));
  }
  const Bytes modulus = stripped(n[0]);
  if (modulus.empty()) return CKR_ATTRIBUTE_VALUE_INVALID;
  bits = static_cast<DWORD>(modulus.size() * 8);
  for (uint8_t top = modulus[0]; (top & 0x80) == 0; top = static_cast<uint8_t>(top << 1)) --bits;
  if (bits % 16 != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
  const Bytes exponent = stripped(n[1]);
  const std::size_t k = bits / 8;
  // Byte by byte: gcc 12 at -O2 misreads an initializer-list insert into a
  // just-cleared vector as an overflow.
  const auto append = [&blob](std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) blob.push_back(b);
  };
  wipe(blob);
  // The blob's exact size at once: a vector that grows frees its old bytes
  // unwiped.
  blob.reserve(20 + 2 * k + 5 * (k / 2));
  append({0x07, 0x02, 0x00, 0x00});  // PRIVATEKEYBLOB, version 2
  putLe32(blob, keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
  append({'R', 'S', 'A', '2'});
  putLe32(blob, bits);
  uint32_t e = 0;
  for (uint8_t b : exponent) e = e << 8 | b;
  putLe32(blob, e);
  const bool ok = exponent.size() <= 4 && putNumber(blob, n[0], k) && putNumber(blob, n[3], k / 2) &&
                  putNumber(blob, n[4], k / 2) && putNumber(blob, n[5], k / 2) && putNumber(blob, n[6], k / 2) &&
                  putNumber(blob, n[7], k / 2) && putNumber(blob, n[2], k);
  if (!ok) {
    wipe(blob);
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  return CKR_OK;
}

std::optional<Bytes> certificateModulus(const Bytes& der) {
  const unsigned char* p = der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (cert == nullptr || p != der.data() + der.size()) {
    X509_free(cert);
    return std::nullopt;
  }
  std::optional<Bytes> out;
  BIGNUM* n = nullptr;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key != nullptr && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1) {
    Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    out = modulus;
  }
  BN_free(n);
  X509_free(cert);
  return out;
}

std::optional<BYTE> freeContainer(const std::vector<ContainerRecord>& records, DWORD maxContainers,
                                  const std::function<bool(BYTE)>& holdsKeys) {
  for (DWORD i = 0; i < maxContainers && i < 256; ++i) {
    const BYTE index = static_cast<BYTE>(i);
    const bool recorded = i < records.size() && records[i].valid();
    if (!recorded && !(holdsKeys && holdsKeys(index))) return index;
  }
  return std::nullopt;
}

void recordContainer(std::vector<ContainerRecord>& records, BYTE index, DWORD keySpec, DWORD bits,
                     const std::string& label) {
  if (records.size() <= index) records.resize(index + 1u);
  ContainerRecord r;
  r.flags = kContainerValid;
  bool haveDefault = false;
  const std::optional<std::u16string> name = fromUtf8(label);
  bool labelTaken = !name || name->empty() || name->size() > 39;
  for (const ContainerRecord& other : records) {
    if (!other.valid()) continue;
    haveDefault = haveDefault || (other.flags & kContainerDefault) != 0;
    labelTaken = labelTaken || other.name == *name;
  }
  if (!haveDefault) r.flags |= kContainerDefault;
  r.name = labelTaken ? newContainerName() : *name;
  (keySpec == AT_SIGNATURE ? r.signatureBits : r.keyExchangeBits) = static_cast<uint16_t>(bits);
  records[index] = r;
}

namespace {

enum class Counter { Containers = 2, Files = 4 };

// Adds one to a counter of "cardcf"; a card without the file has nothing to
// bump.
void bump(CardPort& port, Counter which) {
  Bytes cf;
  if (port.readFile("", "cardcf", cf) != 0) return;
  if (cf.size() < 6) cf.resize(6, 0);
  const std::size_t at = static_cast<std::size_t>(which);
  const uint16_t v = static_cast<uint16_t>((cf[at] | cf[at + 1] << 8) + 1);
  cf[at] = static_cast<uint8_t>(v);
  cf[at + 1] = static_cast<uint8_t>(v >> 8);
  (void)port.writeFile("", "cardcf", cf);
}

CK_RV readMap(CK_SLOT_ID slot, Token& t, std::vector<ContainerRecord>& records) {
  Bytes map;
  const DWORD rc = t.port->readFile("mscp", "cmapfile", map);
  // A card without the standard layout has nowhere to record a key.
  if (rc == SCARD_E_FILE_NOT_FOUND || rc == SCARD_E_DIR_NOT_FOUND) return CKR_FUNCTION_FAILED;
  if (rc != 0) return cardFailure(slot, rc);
  records = parseContainerMap(map);
  return CKR_OK;
}

// The container of a new key: the one a caller's CKA_ID names (the ID this
// module gives a key: the container's index and the key type), when it is
// free and of the key's type; else the next free one.
CK_RV chosenContainer(const CK_ATTRIBUTE* tmpl, CK_ULONG count, DWORD keySpec,
                      const std::vector<ContainerRecord>& records, DWORD maxContainers,
                      const std::function<bool(BYTE)>& holdsKeys, std::optional<BYTE>& index) {
  const std::optional<Bytes> id = templateValue(tmpl, count, CKA_ID);
  if (!id) {
    index = freeContainer(records, maxContainers, holdsKeys);
    return index ? CKR_OK : CKR_DEVICE_MEMORY;
  }
  if (id->size() != 2 || (*id)[1] != keySpec || (*id)[0] >= maxContainers) return CKR_ATTRIBUTE_VALUE_INVALID;
  if ((*id)[0] < records.size() && records[(*id)[0]].valid()) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (holdsKeys((*id)[0])) return CKR_ATTRIBUTE_VALUE_INVALID;
  index = (*id)[0];
  return CKR_OK;
}

CK_RV createPrivateKey(Session& s, Token& t, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
  if (auto type = templateUlong(tmpl, count, CKA_KEY_TYPE); !type || *type != CKK_RSA) {
    return type ? CKR_ATTRIBUTE_VALUE_INVALID : CKR_TEMPLATE_INCOMPLETE;
  }
  // A key that may decrypt goes in as a key-exchange key (which also
  // signs); one that may not, as a signature key.
  const std::optional<bool> decrypt = templateBool(tmpl, count, CKA_DECRYPT);
  const DWORD keySpec = decrypt.value_or(true) ? AT_KEYEXCHANGE : AT_SIGNATURE;
  const auto labelBytes = templateValue(tmpl, count, CKA_LABEL).value_or(Bytes{});
  const std::string label(labelBytes.begin(), labelBytes.end());
  if (!fromUtf8(label)) return CKR_ATTRIBUTE_VALUE_INVALID;
  Bytes blob;
  DWORD bits = 0;
  CK_RV rv = privateKeyBlob(tmpl, count, keySpec, blob, bits);
  if (rv != CKR_OK) return rv;
  DWORD minimum = 1024;
  DWORD maximum = 2048;
  (void)t.port->keySizes(minimum, maximum);
  if (bits < minimum || bits > maximum) {
    wipe(blob);
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  std::vector<ContainerRecord> records;
  rv = readMap(s.slot, t, records);
  DWORD maxContainers = 0;
  DWORD rc = rv == CKR_OK ? t.port->maxContainers(maxContainers) : 0;
  if (rv != CKR_OK || rc != 0) {
    wipe(blob);
    return rv != CKR_OK ? rv : cardFailure(s.slot, rc);
  }
  // A key the map does not record (imported before the map existed, or
  // left by a failed map write) is still a key: its container is not free.
  const auto holdsKeys = [&t](BYTE i) {
    ContainerKeys keys;
    const DWORD keysRc = t.port->containerKeys(i, keys);
    return keysRc != SCARD_E_NO_KEY_CONTAINER && keysRc != SCARD_E_FILE_NOT_FOUND;
  };
  std::optional<BYTE> index;
  rv = chosenContainer(tmpl, count, keySpec, records, maxContainers, holdsKeys, index);
  if (rv != CKR_OK) {
    wipe(blob);
    return rv;
  }
  rc = asUser(s.slot, t, [&] { return t.port->importKey(*index, keySpec, blob, bits); });
  wipe(blob);
  if (rc != 0) return cardFailure(s.slot, rc);
  recordContainer(records, *index, keySpec, bits, label);
  rc = t.port->writeFile("mscp", "cmapfile", encodeContainerMap(records));
  if (rc != 0) {
    // A key no map names would be lost to every provider: take it out again.
    (void)t.port->deleteContainer(*index);
    return cardFailure(s.slot, rc);
  }
  bump(*t.port, Counter::Containers);
  t.objectsLoaded = false;
  handle = objectHandle(*index, keySpec, CKO_PRIVATE_KEY);
  return CKR_OK;
}

// Writes a certificate file: over the old content when the file exists
// (the driver keeps the old content until the new one is written, so a
// full card keeps the old certificate), else into a new file. Bumps the
// files' counter of "cardcf" whenever the card changed.
DWORD writeCertificateFile(Token& t, const std::string& name, const Bytes& der) {
  DWORD rc = t.port->writeFile("mscp", name, der);
  if (rc != SCARD_E_FILE_NOT_FOUND) {
    if (rc == 0) bump(*t.port, Counter::Files);
    return rc;
  }
  rc = t.port->createFile("mscp", name, static_cast<DWORD>(der.size()));
  if (rc != 0) return rc;
  rc = t.port->writeFile("mscp", name, der);
  // A file of zeros is no certificate: take it out again.
  if (rc != 0) (void)t.port->deleteFile("mscp", name);
  bump(*t.port, Counter::Files);
  return rc;
}

CK_RV createCertificate(Session& s, Token& t, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
  if (auto type = templateUlong(tmpl, count, CKA_CERTIFICATE_TYPE); type && *type != CKC_X_509) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  const auto der = templateValue(tmpl, count, CKA_VALUE);
  if (!der || der->empty()) return CKR_TEMPLATE_INCOMPLETE;
  const std::optional<Bytes> modulus = certificateModulus(*der);
  if (!modulus) return CKR_ATTRIBUTE_VALUE_INVALID;
  CK_RV rv = loadObjects(s.slot, t);
  if (rv != CKR_OK) return rv;
  // The certificate goes with the key it certifies.
  const Object* key = nullptr;
  for (const Object& o : t.objects) {
    if (o.objectClass == CKO_PRIVATE_KEY && o.attributes.at(CKA_MODULUS) == *modulus) key = &o;
  }
  if (key == nullptr) return CKR_TEMPLATE_INCONSISTENT;
  const BYTE container = key->container;
  const DWORD keySpec = key->keySpec;
  // The certificate goes with the key its public key names. An ID in this
  // module's form must name that key; an ID of another form (programs derive
  // one from the public key) is not kept: the certificate takes its key's.
  if (auto id = templateValue(tmpl, count, CKA_ID); id && id->size() == 2 && *id != keyId(container, keySpec)) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  const std::string name = certificateFileName(container, keySpec);
  const DWORD rc = asUser(s.slot, t, [&] { return writeCertificateFile(t, name, *der); });
  t.objectsLoaded = false;
  if (rc != 0) return cardFailure(s.slot, rc);
  handle = objectHandle(container, keySpec, CKO_CERTIFICATE);
  return CKR_OK;
}

CK_RV destroy(Session& s, Token& t, const Object& object) {
  const BYTE container = object.container;
  const DWORD keySpec = object.keySpec;
  const CK_OBJECT_CLASS objectClass = object.objectClass;
  if (objectClass == CKO_PUBLIC_KEY) return CKR_ACTION_PROHIBITED;  // it goes with its private key
  if (objectClass == CKO_CERTIFICATE) {
    const std::string name = certificateFileName(container, keySpec);
    const DWORD rc = asUser(s.slot, t, [&] { return t.port->deleteFile("mscp", name); });
    if (rc != 0) return cardFailure(s.slot, rc);
    bump(*t.port, Counter::Files);
    t.objectsLoaded = false;
    return CKR_OK;
  }
  // The card deletes whole containers: a container that also holds the
  // other key keeps both.
  ContainerKeys keys;
  DWORD rc = t.port->containerKeys(container, keys);
  if (rc != 0) return cardFailure(s.slot, rc);
  if (keys.signature && keys.keyExchange) return CKR_ACTION_PROHIBITED;
  std::vector<ContainerRecord> records;
  CK_RV rv = readMap(s.slot, t, records);
  if (rv != CKR_OK) return rv;
  rc = asUser(s.slot, t, [&] { return t.port->deleteContainer(container); });
  if (rc != 0) return cardFailure(s.slot, rc);
  if (container < records.size()) {
    records[container] = ContainerRecord{};
    rc = t.port->writeFile("mscp", "cmapfile", encodeContainerMap(records));
  }
  (void)t.port->deleteFile("mscp", certificateFileName(container, keySpec));
  bump(*t.port, Counter::Containers);
  t.objectsLoaded = false;
  return cardFailure(s.slot, rc);
}

// What the card's objects always are: a template that asks for anything
// else is refused, not quietly given something else.
struct FixedAttribute {
  CK_OBJECT_CLASS objectClass;
  CK_ATTRIBUTE_TYPE type;
  bool value;
};
constexpr FixedAttribute kFixedAttributes[] = {
    {CKO_PRIVATE_KEY, CKA_PRIVATE, true},      {CKO_PRIVATE_KEY, CKA_SENSITIVE, true},
    {CKO_PRIVATE_KEY, CKA_EXTRACTABLE, false}, {CKO_PRIVATE_KEY, CKA_SIGN, true},
    {CKO_CERTIFICATE, CKA_PRIVATE, false},     {CKO_PUBLIC_KEY, CKA_PRIVATE, false},
};

CK_RV honourable(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_CLASS objectClass) {
  for (const FixedAttribute& fixed : kFixedAttributes) {
    if (fixed.objectClass != objectClass) continue;
    const std::optional<bool> asked = templateBool(tmpl, count, fixed.type);
    if (asked && *asked != fixed.value) return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  return CKR_OK;
}

// A public key is on the card with its private key: a template that
// describes one that is there (its modulus and exponent, and its ID and
// label when given) names it; no other public key can be stored.
CK_RV existingPublicKey(Session& s, Token& t, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
  const auto modulus = templateValue(tmpl, count, CKA_MODULUS);
  const auto exponent = templateValue(tmpl, count, CKA_PUBLIC_EXPONENT);
  if (!modulus || !exponent) return CKR_TEMPLATE_INCOMPLETE;
  const CK_RV rv = loadObjects(s.slot, t);
  if (rv != CKR_OK) return rv;
  for (const Object& o : t.objects) {
    if (o.objectClass != CKO_PUBLIC_KEY || o.attributes.at(CKA_MODULUS) != stripped(*modulus)) continue;
    for (CK_ATTRIBUTE_TYPE type : {CKA_PUBLIC_EXPONENT, CKA_ID, CKA_LABEL}) {
      const auto value = templateValue(tmpl, count, type);
      const Bytes given = type == CKA_PUBLIC_EXPONENT && value ? stripped(*value) : value.value_or(Bytes{});
      if (value && given != o.attributes.at(type)) return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    handle = o.handle;
    return CKR_OK;
  }
  return CKR_TEMPLATE_INCONSISTENT;
}

// Writing needs a read-write session of the logged-in user.
CK_RV writable(const Session& s, const Token& t) {
  if ((s.flags & CKF_RW_SESSION) == 0) return CKR_SESSION_READ_ONLY;
  if (t.login != Login::User) return CKR_USER_NOT_LOGGED_IN;
  return CKR_OK;
}

}  // namespace

CK_RV createObject(Session& s, Token& t, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE& handle) {
  CK_RV rv = writable(s, t);
  if (rv != CKR_OK) return rv;
  const std::optional<CK_ULONG> objectClass = templateUlong(tmpl, count, CKA_CLASS);
  if (!objectClass) return CKR_TEMPLATE_INCOMPLETE;
  if (*objectClass != CKO_PRIVATE_KEY && *objectClass != CKO_CERTIFICATE && *objectClass != CKO_PUBLIC_KEY) {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  // Everything the card keeps is a token object; without CKA_TOKEN a
  // template asks for a session object.
  if (templateBool(tmpl, count, CKA_TOKEN) != true) return CKR_TEMPLATE_INCONSISTENT;
  rv = honourable(tmpl, count, *objectClass);
  if (rv != CKR_OK) return rv;
  switch (*objectClass) {
    case CKO_PRIVATE_KEY:
      return createPrivateKey(s, t, tmpl, count, handle);
    case CKO_CERTIFICATE:
      return createCertificate(s, t, tmpl, count, handle);
    default:
      return existingPublicKey(s, t, tmpl, count, handle);
  }
}

CK_RV destroyObject(Session& s, Token& t, CK_OBJECT_HANDLE handle) {
  const Object* o = nullptr;
  CK_RV rv = findObject(s, t, handle, o);
  if (rv != CKR_OK) return rv;
  rv = writable(s, t);
  if (rv != CKR_OK) return rv;
  return destroy(s, t, *o);
}

}  // namespace vemra::p11

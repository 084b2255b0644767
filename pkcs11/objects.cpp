#include "objects.h"

#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

namespace vemra::p11 {

bool Object::boolean(CK_ATTRIBUTE_TYPE type) const {
  auto it = attributes.find(type);
  return it != attributes.end() && it->second.size() == sizeof(CK_BBOOL) && it->second[0] == CK_TRUE;
}

CK_OBJECT_HANDLE objectHandle(BYTE container, DWORD keySpec, CK_OBJECT_CLASS objectClass) {
  return 1 + container * 16u + (keySpec & 3u) * 4u + static_cast<CK_OBJECT_HANDLE>(objectClass & 3u);
}

Bytes keyId(BYTE container, DWORD keySpec) { return Bytes{container, static_cast<uint8_t>(keySpec)}; }

namespace {

Bytes ulong(CK_ULONG value) {
  Bytes out(sizeof value);
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

Bytes boolean(bool value) { return Bytes{static_cast<uint8_t>(value ? CK_TRUE : CK_FALSE)}; }

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

Object common(BYTE container, DWORD keySpec, CK_OBJECT_CLASS objectClass, const std::string& label) {
  Object o;
  o.handle = objectHandle(container, keySpec, objectClass);
  o.objectClass = objectClass;
  o.container = container;
  o.keySpec = keySpec;
  o.attributes[CKA_CLASS] = ulong(objectClass);
  o.attributes[CKA_TOKEN] = boolean(true);
  o.attributes[CKA_MODIFIABLE] = boolean(false);
  o.attributes[CKA_LABEL] = text(label);
  o.attributes[CKA_ID] = keyId(container, keySpec);
  return o;
}

void keyCommon(Object& o, const RsaPublic& key) {
  o.modulusBytes = key.modulus.size();
  o.attributes[CKA_KEY_TYPE] = ulong(CKK_RSA);
  o.attributes[CKA_MODULUS] = key.modulus;
  o.attributes[CKA_PUBLIC_EXPONENT] = key.exponent;
  o.attributes[CKA_START_DATE] = Bytes{};
  o.attributes[CKA_END_DATE] = Bytes{};
  o.attributes[CKA_DERIVE] = boolean(false);
  o.attributes[CKA_LOCAL] = boolean(false);  // imported: the card makes no keys
  o.attributes[CKA_KEY_GEN_MECHANISM] = ulong(CK_UNAVAILABLE_INFORMATION);
}

}  // namespace

Object privateKeyObject(BYTE container, DWORD keySpec, const std::string& label, const RsaPublic& key) {
  Object o = common(container, keySpec, CKO_PRIVATE_KEY, label);
  keyCommon(o, key);
  o.isPrivate = true;
  const bool exchange = keySpec == AT_KEYEXCHANGE;
  o.attributes[CKA_PRIVATE] = boolean(true);
  o.attributes[CKA_SENSITIVE] = boolean(true);
  o.attributes[CKA_ALWAYS_SENSITIVE] = boolean(false);
  o.attributes[CKA_EXTRACTABLE] = boolean(false);
  o.attributes[CKA_NEVER_EXTRACTABLE] = boolean(false);
  o.attributes[CKA_SIGN] = boolean(true);
  o.attributes[CKA_SIGN_RECOVER] = boolean(false);
  o.attributes[CKA_DECRYPT] = boolean(exchange);
  o.attributes[CKA_UNWRAP] = boolean(false);
  o.attributes[CKA_WRAP_WITH_TRUSTED] = boolean(false);
  o.attributes[CKA_ALWAYS_AUTHENTICATE] = boolean(false);
  o.attributes[CKA_SUBJECT] = Bytes{};
  o.sensitive = {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT};
  return o;
}

Object publicKeyObject(BYTE container, DWORD keySpec, const std::string& label, const RsaPublic& key) {
  Object o = common(container, keySpec, CKO_PUBLIC_KEY, label);
  keyCommon(o, key);
  o.attributes[CKA_PRIVATE] = boolean(false);
  o.attributes[CKA_MODULUS_BITS] = ulong(key.modulus.empty() ? 0 : (key.modulus.size() - 1) * 8 + [&] {
    unsigned bits = 0;
    for (uint8_t top = key.modulus.front(); top != 0; top >>= 1) ++bits;
    return bits;
  }());
  o.attributes[CKA_VERIFY] = boolean(true);
  o.attributes[CKA_VERIFY_RECOVER] = boolean(false);
  o.attributes[CKA_ENCRYPT] = boolean(keySpec == AT_KEYEXCHANGE);
  o.attributes[CKA_WRAP] = boolean(false);
  o.attributes[CKA_TRUSTED] = boolean(false);
  o.attributes[CKA_SUBJECT] = Bytes{};
  return o;
}

std::optional<Object> certificateObject(BYTE container, DWORD keySpec, const std::string& label, const Bytes& der) {
  const unsigned char* p = der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (cert == nullptr) return std::nullopt;
  auto encode = [](auto* item, auto i2d) {
    Bytes out;
    const int length = i2d(item, nullptr);
    if (length > 0) {
      out.resize(static_cast<std::size_t>(length));
      unsigned char* q = out.data();
      i2d(item, &q);
    }
    return out;
  };
  Object o = common(container, keySpec, CKO_CERTIFICATE, label);
  o.attributes[CKA_PRIVATE] = boolean(false);
  o.attributes[CKA_CERTIFICATE_TYPE] = ulong(CKC_X_509);
  o.attributes[CKA_TRUSTED] = boolean(false);
  o.attributes[CKA_CERTIFICATE_CATEGORY] = ulong(0);
  o.attributes[CKA_CHECK_VALUE] = Bytes{};
  o.attributes[CKA_START_DATE] = Bytes{};
  o.attributes[CKA_END_DATE] = Bytes{};
  o.attributes[CKA_VALUE] = der;
  o.attributes[CKA_SUBJECT] = encode(X509_get_subject_name(cert), i2d_X509_NAME);
  o.attributes[CKA_ISSUER] = encode(X509_get_issuer_name(cert), i2d_X509_NAME);
  o.attributes[CKA_SERIAL_NUMBER] = encode(X509_get0_serialNumber(cert), i2d_ASN1_INTEGER);
  o.attributes[CKA_URL] = Bytes{};
  o.attributes[CKA_HASH_OF_SUBJECT_PUBLIC_KEY] = Bytes{};
  o.attributes[CKA_HASH_OF_ISSUER_PUBLIC_KEY] = Bytes{};
  o.attributes[CKA_JAVA_MIDP_SECURITY_DOMAIN] = ulong(0);
  X509_free(cert);
  return o;
}

bool matchesTemplate(const Object& object, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    auto it = object.attributes.find(attributes[i].type);
    if (it == object.attributes.end()) return false;
    if (attributes[i].ulValueLen != it->second.size()) return false;
    if (!it->second.empty() &&
        (attributes[i].pValue == nullptr || std::memcmp(attributes[i].pValue, it->second.data(), it->second.size()) != 0)) {
      return false;
    }
  }
  return true;
}

CK_RV getAttributes(const Object& object, CK_ATTRIBUTE* attributes, CK_ULONG count) {
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& a = attributes[i];
    if (std::find(object.sensitive.begin(), object.sensitive.end(), a.type) != object.sensitive.end()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (rv == CKR_OK) rv = CKR_ATTRIBUTE_SENSITIVE;
      continue;
    }
    auto it = object.attributes.find(a.type);
    if (it == object.attributes.end()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (rv == CKR_OK) rv = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    if (a.pValue == nullptr) {
      a.ulValueLen = it->second.size();
    } else if (a.ulValueLen < it->second.size()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
    } else {
      if (!it->second.empty()) std::memcpy(a.pValue, it->second.data(), it->second.size());
      a.ulValueLen = it->second.size();
    }
  }
  return rv;
}

std::optional<Bytes> templateValue(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].type != type) continue;
    if (attributes[i].pValue == nullptr) return Bytes{};
    const auto* p = static_cast<const uint8_t*>(attributes[i].pValue);
    return Bytes(p, p + attributes[i].ulValueLen);
  }
  return std::nullopt;
}

std::optional<CK_ULONG> templateUlong(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  auto value = templateValue(attributes, count, type);
  if (!value || value->size() != sizeof(CK_ULONG)) return std::nullopt;
  CK_ULONG out = 0;
  std::memcpy(&out, value->data(), sizeof out);
  return out;
}

std::optional<bool> templateBool(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
  auto value = templateValue(attributes, count, type);
  if (!value || value->size() != sizeof(CK_BBOOL)) return std::nullopt;
  return (*value)[0] != CK_FALSE;
}

bool mayFindCertificates(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  const auto objectClass = templateUlong(attributes, count, CKA_CLASS);
  return !objectClass || *objectClass == CKO_CERTIFICATE;
}

std::string narrow(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  const auto put = [&out](char32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    const bool high = c >= 0xD800 && c < 0xDC00;
    const bool low = c >= 0xDC00 && c < 0xE000;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      put(0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00));
    } else {
      put(high || low ? char32_t{0xFFFD} : c);  // an unpaired surrogate
    }
  }
  return out;
}

std::optional<std::u16string> fromUtf8(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                             : (lead & 0xF8) == 0xF0                 ? 4
                                                                     : 0;
    if (length == 0 || text.size() - i < length) return std::nullopt;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = c << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return std::nullopt;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
    i += length;
  }
  return out;
}

std::u16string widen(const std::string& text) { return fromUtf8(text).value_or(u"\uFFFD"); }

}  // namespace vemra::p11

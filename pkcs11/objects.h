// The card's keys and certificates as PKCS #11 objects: what the module
// reads from the standard file layout and the containers, turned into
// attribute lists, and the attribute operations on them.
#ifndef VEMRA_P11_OBJECTS_H
#define VEMRA_P11_OBJECTS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "card_port.h"
#include "certificate_file.h"
#include "container_map.h"
#include "p11-kit/pkcs11.h"

namespace vemra::p11 {

using host::ContainerRecord;
using host::encodeContainerMap;
using host::kContainerDefault;
using host::kContainerRecordSize;
using host::kContainerValid;
using host::parseContainerMap;

// The certificate files "kscNN" and "kxcNN", plain or compressed.
using host::certificateFileName;
using host::certificateFromFile;

struct Object {
  CK_OBJECT_HANDLE handle = 0;
  CK_OBJECT_CLASS objectClass = 0;
  BYTE container = 0;
  DWORD keySpec = 0;
  std::size_t modulusBytes = 0;
  bool isPrivate = false;
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
  // Attributes the object has but never reveals (the private key's numbers).
  std::vector<CK_ATTRIBUTE_TYPE> sensitive;

  bool boolean(CK_ATTRIBUTE_TYPE type) const;
};

// The stable handle of a container's key or certificate object, so that a
// handle keeps naming the same object when the module reads the card again.
CK_OBJECT_HANDLE objectHandle(BYTE container, DWORD keySpec, CK_OBJECT_CLASS objectClass);

// The CKA_ID of a container's key: the container index and the key
// type, shared by the private key, the public key and the
// certificate.
Bytes keyId(BYTE container, DWORD keySpec);

// The private and the public key object of one key in a container.
Object privateKeyObject(BYTE container, DWORD keySpec, const std::string& label, const RsaPublic& key);
Object publicKeyObject(BYTE container, DWORD keySpec, const std::string& label, const RsaPublic& key);
// The certificate object of a DER certificate; nothing when OpenSSL cannot
// parse it.
std::optional<Object> certificateObject(BYTE container, DWORD keySpec, const std::string& label, const Bytes& der);

// Whether every attribute of the template has the object's value.
bool matchesTemplate(const Object& object, const CK_ATTRIBUTE* attributes, CK_ULONG count);

// C_GetAttributeValue on one object: each attribute's length, or its value
// when a buffer is given; CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID
// and CKR_BUFFER_TOO_SMALL as the first such problem met, the other
// attributes still processed.
CK_RV getAttributes(const Object& object, CK_ATTRIBUTE* attributes, CK_ULONG count);

// A template's value of one attribute, or nothing.
std::optional<Bytes> templateValue(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type);
std::optional<CK_ULONG> templateUlong(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type);
std::optional<bool> templateBool(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type);
// Whether a search with this template may find certificates: it names no
// class, or the certificates' class.
bool mayFindCertificates(const CK_ATTRIBUTE* attributes, CK_ULONG count);

// UTF-16 (the card's container names) and UTF-8 (PKCS #11 labels). An
// unpaired surrogate becomes U+FFFD; text that is not UTF-8 has no UTF-16
// form (widen gives a lone U+FFFD for it).
std::string narrow(const std::u16string& text);
std::optional<std::u16string> fromUtf8(const std::string& text);
std::u16string widen(const std::string& text);

}  // namespace vemra::p11

#endif  // VEMRA_P11_OBJECTS_H

// Writing to the card: the operations of C_CreateObject and C_DestroyObject,
// and the pieces of them that need no card.
#ifndef VEMRA_P11_WRITING_H
#define VEMRA_P11_WRITING_H

#include <functional>
#include <optional>

#include "module.h"
#include "objects.h"

namespace vemra::p11 {

// Imports a private key into a free container, writes a certificate beside
// the key it certifies, or finds the public key already on the card.
CK_RV createObject(Session& session, Token& token, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                   CK_OBJECT_HANDLE& handle);
// Deletes a certificate, or a key with its container.
CK_RV destroyObject(Session& session, Token& token, CK_OBJECT_HANDLE handle);

// The key blob that imports an RSA private key given by the numbers of a
// C_CreateObject template, and the key's size in bits.
CK_RV privateKeyBlob(const CK_ATTRIBUTE* tmpl, CK_ULONG count, DWORD keySpec, Bytes& blob, DWORD& bits);
// The RSA modulus of a DER certificate's public key.
std::optional<Bytes> certificateModulus(const Bytes& der);
// The lowest container index below `maxContainers` without a valid record
// and, when `holdsKeys` is given, without keys on the card.
std::optional<BYTE> freeContainer(const std::vector<ContainerRecord>& records, DWORD maxContainers,
                                  const std::function<bool(BYTE)>& holdsKeys = {});
// Records a new key in container `index` of the map: named by `label` when
// it fits and no other container has that name, else by a fresh GUID; the
// default container when there is none yet.
void recordContainer(std::vector<ContainerRecord>& records, BYTE index, DWORD keySpec, DWORD bits,
                     const std::string& label);

}  // namespace vemra::p11

#endif  // VEMRA_P11_WRITING_H

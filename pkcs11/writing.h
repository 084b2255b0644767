// The pieces of writing to the card that need no card.
#ifndef VEMRA_P11_WRITING_H
#define VEMRA_P11_WRITING_H

#include <optional>

#include "objects.h"

namespace vemra::p11 {

// The key blob that imports an RSA private key given by the numbers of a
// C_CreateObject template, and the key's size in bits.
CK_RV privateKeyBlob(const CK_ATTRIBUTE* tmpl, CK_ULONG count, DWORD keySpec, Bytes& blob, DWORD& bits);
// The RSA modulus of a DER certificate's public key.
std::optional<Bytes> certificateModulus(const Bytes& der);
// The lowest container index without a valid record, below `maxContainers`.
std::optional<BYTE> freeContainer(const std::vector<ContainerRecord>& records, DWORD maxContainers);
// Records a new key in container `index` of the map: named by `label` when
// it fits and no other container has that name, else by a fresh GUID; the
// default container when there is none yet.
void recordContainer(std::vector<ContainerRecord>& records, BYTE index, DWORD keySpec, DWORD bits,
                     const std::string& label);

}  // namespace vemra::p11

#endif  // VEMRA_P11_WRITING_H

// Signatures and decryptions through the card's raw private-key operation:
// CKM_RSA_X_509 (the block as it is) and RSA-PSS (the block encoded here
// with OpenSSL from a hash). The card only raises the block to its private
// exponent; the module builds and checks everything around it.
#ifndef VEMRA_P11_RAW_RSA_H
#define VEMRA_P11_RAW_RSA_H

#include <openssl/evp.h>

#include "card_port.h"
#include "mechanisms.h"
#include "objects.h"
#include "p11-kit/pkcs11.h"

namespace vemra::p11 {

struct PssParams {
  const EVP_MD* hash = nullptr;  // the hash of the message, and its length
  const EVP_MD* mgf = nullptr;   // the hash of MGF1
  int saltLength = 0;
};

// The CK_RSA_PKCS_PSS_PARAMS of a PSS mechanism for `key`:
// CKR_MECHANISM_PARAM_INVALID unless the hash is one the module offers (for
// CKM_SHAx_RSA_PKCS_PSS the mechanism's own), the mask generation is MGF1
// with one of them, and hash, salt and the two framing bytes fit in the
// encoded block of the key's size.
CK_RV pssParams(const CK_MECHANISM& mechanism, const Mechanism& entry, const Object& key, PssParams& out);

// Whether `length` bytes of data (the hash, for a PSS mechanism) suit a
// raw or PSS signature with `key`: CKR_OK or CKR_DATA_LEN_RANGE.
CK_RV rawSignLength(const Mechanism& entry, const PssParams& pss, const Object& key, std::size_t length);

// The block the card's raw operation signs: for CKM_RSA_X_509 the data
// with zero bytes before it up to the key's size (CKR_DATA_INVALID when it
// is not below the modulus); for PSS the encoding of the hash `data`.
CK_RV rawSignBlock(const Mechanism& entry, const PssParams& pss, const Object& key, const Bytes& data, Bytes& block);

// Whether a block of the key's size is below its modulus, as every input
// of the raw operation must be.
bool belowModulus(const Object& key, const Bytes& block);

// Whether the card's result, raised to the public exponent, gives `block`
// back: a signature is checked before it leaves the module, so that a
// faulty result never reaches the caller.
bool opensToBlock(const Object& key, const Bytes& result, const Bytes& block);

// Runs the card's raw operation on `block` with the key; the result has the
// key's size. A card failure comes back as the card port's code.
DWORD rawOperation(CardPort& port, const Object& key, const Bytes& block, Bytes& out);

}  // namespace vemra::p11

#endif  // VEMRA_P11_RAW_RSA_H

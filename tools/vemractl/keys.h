// The tool's own cryptography, all with OpenSSL: key blobs of the minidriver
// interface, hashing, verifying the card's signatures, encrypting for it.
#ifndef VEMRA_CTL_KEYS_H
#define VEMRA_CTL_KEYS_H

#include <openssl/evp.h>

#include <memory>
#include <string>

#include "card.h"

namespace vemra::ctl {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey loadPrivateKeyPem(const std::string& path);
Pkey generateRsaKey(unsigned bits);

// A PRIVATEKEYBLOB of an RSA key of 1024 or 2048 bits, numbers least
// significant byte first. `bits` receives the key size.
Secret privateKeyBlob(EVP_PKEY* key, DWORD keySpec, DWORD& bits);

// The RSA public key of a PUBLICKEYBLOB; throws on a malformed blob.
Pkey publicKeyFromBlob(const Bytes& blob);
std::string publicKeyPem(EVP_PKEY* key);
// Whether two keys have the same public half.
bool samePublicKey(EVP_PKEY* a, EVP_PKEY* b);

struct HashAlgorithm {
  const char* name;  // as on the command line: "sha256"
  ALG_ID algId;      // CALG_SHA_256
};
// The hash named on the command line; throws for an unknown name.
HashAlgorithm hashAlgorithm(const std::string& name);
Bytes digest(const HashAlgorithm& hash, const Bytes& data);

// Verifies a PKCS #1 v1.5 signature (most significant byte first) of `hash`.
bool verifySignature(EVP_PKEY* key, const HashAlgorithm& hash, const Bytes& digestValue, const Bytes& signature);
// The RSA-PSS block of a hash for the card's raw operation (MGF1 with the
// same hash, a salt as long as the hash), of the key's size; and the check
// of a PSS signature with those parameters. Both throw for MD5.
Bytes pssBlock(EVP_PKEY* key, const HashAlgorithm& hash, const Bytes& digestValue);
bool verifyPssSignature(EVP_PKEY* key, const HashAlgorithm& hash, const Bytes& digestValue, const Bytes& signature);
// Encrypts with PKCS #1 v1.5 padding, or OAEP with SHA-256 when `oaep`.
Bytes encryptFor(EVP_PKEY* key, const Bytes& message, bool oaep);

Bytes reversed(const Bytes& bytes);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_KEYS_H

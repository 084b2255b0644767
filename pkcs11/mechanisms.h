// The mechanisms the module offers, and what each asks of the card.
#ifndef VEMRA_P11_MECHANISMS_H
#define VEMRA_P11_MECHANISMS_H

#include <optional>

#include "card_port.h"
#include "p11-kit/pkcs11.h"

namespace vemra::p11 {

// How the card is asked: its PKCS #1 v1.5 signature or decryption (the
// unpad callback removing PKCS #1 or OAEP padding), or its raw private-key
// operation on a block the module builds (as it is, or PSS-encoded).
enum class Scheme { Pkcs1, Oaep, Raw, Pss };

struct Mechanism {
  CK_MECHANISM_TYPE type;
  CK_FLAGS flags;        // CKF_SIGN, CKF_DECRYPT
  const char* digest;    // OpenSSL's name of the hash the module computes; nullptr for none
  ALG_ID hashAlg;        // the hash named to the card; 0 for data signed as it is
  Scheme scheme;
};

// The entry of a mechanism, or nullptr when the module does not offer it.
const Mechanism* findMechanism(CK_MECHANISM_TYPE type);
// Every mechanism in the order C_GetMechanismList reports them.
const Mechanism* mechanisms(std::size_t& count);

// The OAEP parameters of a CKM_RSA_PKCS_OAEP mechanism as the unpad
// callback takes them, or CKR_MECHANISM_PARAM_INVALID.
CK_RV oaepParams(const CK_MECHANISM& mechanism, OaepParams& out);

// A 24-byte administrator key from its 48 hexadecimal digits.
std::optional<Bytes> adminKeyFromHex(const unsigned char* text, CK_ULONG length);
// The response to an 8-byte challenge: the challenge encrypted with the
// key under triple DES (ECB, one block).
std::optional<Bytes> challengeResponse(const Bytes& key24, const Bytes& challenge);

void wipe(Bytes& bytes);

}  // namespace vemra::p11

#endif  // VEMRA_P11_MECHANISMS_H

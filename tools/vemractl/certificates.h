// Certificates as the tool handles them, all with OpenSSL: parsing (PEM or
// DER), what a listing shows of one, PKCS #12 files, and certificate
// requests whose signature someone else (the card) makes.
#ifndef VEMRA_CTL_CERTIFICATES_H
#define VEMRA_CTL_CERTIFICATES_H

#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "keys.h"

namespace vemra::ctl {

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

// One certificate, PEM or DER; throws naming `what` when OpenSSL cannot
// parse it.
Certificate parseCertificate(const Bytes& data, const std::string& what);
Bytes certificateDer(X509* certificate);
std::string certificatePem(X509* certificate);

// What a listing shows of a certificate: names as "CN=…, O=…", times as
// "2027-01-31T12:00:00Z".
struct CertificateFacts {
  std::string subject;
  std::string issuer;
  std::string notBefore;
  std::string notAfter;
};
CertificateFacts certificateFacts(X509* certificate);

// Whether the certificate's public key is `key`'s.
bool certifiesKey(X509* certificate, EVP_PKEY* key);

// The key, its certificate and the other certificates (the CA chain) of a
// PKCS #12 file. Throws with a clear reason for a file that is not one, a
// wrong passphrase, no private key, a key that is not RSA, no certificate,
// or a certificate of another key.
struct Pkcs12Contents {
  Pkey key;
  Certificate certificate;
  std::vector<Certificate> chain;
};
Pkcs12Contents loadPkcs12(const Bytes& file, const Secret& passphrase, const std::string& what);

// A certificate request for `publicKey` with the subject "/CN=…/O=…", its
// signature (SHA-256 with RSA, PKCS #1 v1.5) made by `sign` from the SHA-256
// hash of the request's body (the signature most significant byte first).
// Throws unless OpenSSL verifies the finished request with `publicKey`.
// Returns the request as PEM.
using HashSigner = std::function<Bytes(const Bytes& sha256)>;
std::string makeCertificateRequest(EVP_PKEY* publicKey, const std::string& subject, const HashSigner& sign);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_CERTIFICATES_H

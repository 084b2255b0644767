#include "local_ca.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "error.h"

namespace vemra::ctl {

using host::Error;

namespace {

struct RequestFree {
  void operator()(X509_REQ* request) const { X509_REQ_free(request); }
};
struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* ctx) const { X509_STORE_CTX_free(ctx); }
};

// A random positive 64-bit serial number.
void setSerial(X509* certificate) {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Error("OpenSSL has no random bytes");
  bytes[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  const bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(certificate)) != nullptr;
  BN_free(bn);
  if (!ok) throw Error("OpenSSL cannot set a serial number");
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  const bool ok = extension != nullptr && X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  if (!ok) throw Error(std::string("OpenSSL cannot add the extension ") + value);
}

// A certificate of `subject` and `key` with the validity and serial set,
// not yet signed.
Certificate draft(const X509_NAME* subject, EVP_PKEY* key, int days) {
  Certificate certificate(X509_new());
  if (!certificate || X509_set_version(certificate.get(), 2) != 1 ||
      X509_set_subject_name(certificate.get(), subject) != 1 || X509_set_pubkey(certificate.get(), key) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -300) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(certificate.get()), days, 0, nullptr) == nullptr) {
    throw Error("OpenSSL cannot build a certificate");
  }
  setSerial(certificate.get());
  return certificate;
}

}  // namespace

LocalCa::LocalCa(const std::string& name) : key_(generateRsaKey(2048)) {
  X509_NAME* subject = X509_NAME_new();
  const bool named = subject != nullptr &&
                     X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                                reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0) == 1;
  if (!named) {
    X509_NAME_free(subject);
    throw Error("OpenSSL cannot make the CA's name");
  }
  certificate_ = draft(subject, key_.get(), 1);
  const bool issued = X509_set_issuer_name(certificate_.get(), subject) == 1;
  X509_NAME_free(subject);
  if (!issued) throw Error("OpenSSL cannot make the CA certificate");
  addExtension(certificate_.get(), certificate_.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate_.get(), certificate_.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate_.get(), certificate_.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(certificate_.get(), key_.get(), EVP_sha256()) <= 0) throw Error("OpenSSL cannot sign the CA certificate");
}

Certificate LocalCa::issue(const std::string& requestPem, int days) const {
  BIO* bio = BIO_new_mem_buf(requestPem.data(), static_cast<int>(requestPem.size()));
  std::unique_ptr<X509_REQ, RequestFree> request(bio != nullptr ? PEM_read_bio_X509_REQ(bio, nullptr, nullptr, nullptr)
                                                                 : nullptr);
  BIO_free(bio);
  EVP_PKEY* key = request ? X509_REQ_get0_pubkey(request.get()) : nullptr;
  if (key == nullptr || X509_REQ_verify(request.get(), key) != 1) {
    ERR_clear_error();
    throw Error("the CA does not take the request: its signature does not verify");
  }
  Certificate certificate = draft(X509_REQ_get_subject_name(request.get()), key, days);
  if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate_.get())) != 1) {
    throw Error("OpenSSL cannot set the issuer");
  }
  addExtension(certificate.get(), certificate_.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), certificate_.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment");
  addExtension(certificate.get(), certificate_.get(), NID_ext_key_usage, "clientAuth");
  addExtension(certificate.get(), certificate_.get(), NID_authority_key_identifier, "keyid:always");
  if (X509_sign(certificate.get(), key_.get(), EVP_sha256()) <= 0) throw Error("OpenSSL cannot sign the certificate");
  return certificate;
}

bool LocalCa::verifies(X509* certificate) const {
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  const bool ok = store && ctx && X509_STORE_add_cert(store.get(), certificate_.get()) == 1 &&
                  X509_STORE_CTX_init(ctx.get(), store.get(), certificate, nullptr) == 1 &&
                  X509_verify_cert(ctx.get()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace vemra::ctl

#include "certificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <ctime>

#include "error.h"

namespace vemra::ctl {

using host::Error;

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

struct RequestFree {
  void operator()(X509_REQ* request) const { X509_REQ_free(request); }
};
using Request = std::unique_ptr<X509_REQ, RequestFree>;

struct NameFree {
  void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};
using Name = std::unique_ptr<X509_NAME, NameFree>;

std::string bioText(BIO* bio) {
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio, &text);
  return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

std::string nameText(const X509_NAME* name) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ) < 0) return {};
  return bioText(bio.get());
}

std::string timeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace

Certificate parseCertificate(const Bytes& data, const std::string& what) {
  X509* certificate = nullptr;
  if (!data.empty() && data[0] == 0x30) {
    const unsigned char* at = data.data();
    certificate = d2i_X509(nullptr, &at, static_cast<long>(data.size()));
    if (certificate != nullptr && at != data.data() + data.size()) {
      X509_free(certificate);
      certificate = nullptr;
    }
  } else if (!data.empty()) {
    Bio bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (bio) certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
  }
  ERR_clear_error();
  if (certificate == nullptr) throw Error(what + " does not hold a certificate OpenSSL can parse (PEM or DER)");
  return Certificate(certificate);
}

Bytes certificateDer(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) throw Error("OpenSSL cannot encode the certificate");
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

std::string certificatePem(X509* certificate) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) throw Error("OpenSSL cannot write the certificate");
  return bioText(bio.get());
}

CertificateFacts certificateFacts(X509* certificate) {
  return CertificateFacts{nameText(X509_get_subject_name(certificate)), nameText(X509_get_issuer_name(certificate)),
                          timeText(X509_get0_notBefore(certificate)), timeText(X509_get0_notAfter(certificate))};
}

bool certifiesKey(X509* certificate, EVP_PKEY* key) {
  EVP_PKEY* own = X509_get0_pubkey(certificate);
  const bool same = own != nullptr && key != nullptr && EVP_PKEY_eq(own, key) == 1;
  ERR_clear_error();
  return same;
}

namespace {

struct Pkcs12Free {
  void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};

// The passphrase as OpenSSL's PKCS #12 functions take it (a C string,
// `terminated` holding `length` bytes and a zero); an empty one is tried both
// as no password and as the empty password, as files made either way exist.
bool macVerifies(PKCS12* p12, const Secret& terminated, std::size_t length, const char*& pass) {
  pass = reinterpret_cast<const char*>(terminated.data());
  if (!PKCS12_mac_present(p12)) return true;
  if (length == 0) {
    if (PKCS12_verify_mac(p12, nullptr, 0) == 1) {
      pass = nullptr;
      return true;
    }
    return PKCS12_verify_mac(p12, pass, 0) == 1;
  }
  return PKCS12_verify_mac(p12, pass, static_cast<int>(length)) == 1;
}

}  // namespace

Pkcs12Contents loadPkcs12(const Bytes& file, const Secret& passphrase, const std::string& what) {
  const unsigned char* at = file.data();
  std::unique_ptr<PKCS12, Pkcs12Free> p12(d2i_PKCS12(nullptr, &at, static_cast<long>(file.size())));
  ERR_clear_error();
  if (!p12) throw Error(what + " is not a PKCS #12 file");
  // OpenSSL's PKCS #12 parser takes the passphrase as a C string.
  std::vector<uint8_t> bytes;
  bytes.reserve(passphrase.size() + 1);  // one buffer, which the Secret wipes
  bytes.insert(bytes.end(), passphrase.data(), passphrase.data() + passphrase.size());
  bytes.push_back(0);
  const Secret terminated(std::move(bytes));
  const char* pass = nullptr;
  if (!macVerifies(p12.get(), terminated, passphrase.size(), pass)) {
    ERR_clear_error();
    throw Error("wrong passphrase for " + what + " (or the file is damaged)");
  }
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* others = nullptr;
  const int parsed = PKCS12_parse(p12.get(), pass, &key, &certificate, &others);
  ERR_clear_error();
  Pkcs12Contents contents{Pkey(key), Certificate(certificate), {}};
  for (int i = 0; others != nullptr && i < sk_X509_num(others); ++i) contents.chain.emplace_back(sk_X509_value(others, i));
  sk_X509_free(others);
  if (parsed != 1) throw Error("OpenSSL cannot read the contents of " + what);
  if (!contents.key) throw Error(what + " holds no private key");
  if (EVP_PKEY_get_base_id(contents.key.get()) != EVP_PKEY_RSA) {
    const char* type = EVP_PKEY_get0_type_name(contents.key.get());
    throw Error(what + " holds " + (type != nullptr ? std::string("an ") + type : std::string("a non-RSA")) +
                " key; the card takes RSA keys only");
  }
  if (!contents.certificate) throw Error(what + " holds no certificate for its key (import-key takes a key alone)");
  if (!certifiesKey(contents.certificate.get(), contents.key.get())) {
    throw Error("the certificate in " + what + " is not its key's");
  }
  return contents;
}

namespace {

// "/CN=a/O=b" (a slash inside a value written "\/") as an X.509 name.
Name parseSubject(const std::string& subject) {
  if (subject.size() < 2 || subject[0] != '/') throw Error("a subject is written /CN=…[/O=…]");
  Name name(X509_NAME_new());
  if (!name) throw Error("OpenSSL: out of memory");
  std::string part;
  auto add = [&] {
    const auto equals = part.find('=');
    if (equals == std::string::npos || equals == 0) throw Error("\"" + part + "\" in the subject is not NAME=VALUE");
    const std::string field = part.substr(0, equals);
    const std::string value = part.substr(equals + 1);
    if (X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) != 1) {
      ERR_clear_error();
      throw Error("OpenSSL does not take \"" + part + "\" in the subject");
    }
    part.clear();
  };
  for (std::size_t i = 1; i < subject.size(); ++i) {
    if (subject[i] == '\\' && i + 1 < subject.size()) {
      part += subject[++i];
    } else if (subject[i] == '/') {
      add();
    } else {
      part += subject[i];
    }
  }
  add();
  return name;
}

void setSignature(X509_REQ* request, const Bytes& signature) {
  X509_ALGOR* algorithm = X509_ALGOR_new();
  ASN1_BIT_STRING* bits = ASN1_BIT_STRING_new();
  const bool ok = algorithm != nullptr && bits != nullptr &&
                  X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256WithRSAEncryption), V_ASN1_NULL, nullptr) == 1 &&
                  ASN1_BIT_STRING_set(bits, const_cast<uint8_t*>(signature.data()),
                                      static_cast<int>(signature.size())) == 1 &&
                  X509_REQ_set1_signature_algo(request, algorithm) == 1;
  X509_ALGOR_free(algorithm);
  if (!ok) {
    ASN1_BIT_STRING_free(bits);
    throw Error("OpenSSL cannot set the request's signature");
  }
  // A whole number of bytes: no unused bits.
  bits->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
  bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  X509_REQ_set0_signature(request, bits);
}

}  // namespace

std::string makeCertificateRequest(EVP_PKEY* publicKey, const std::string& subject, const HashSigner& sign) {
  Name name = parseSubject(subject);
  Request request(X509_REQ_new());
  if (!request || X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) != 1 ||
      X509_REQ_set_subject_name(request.get(), name.get()) != 1 || X509_REQ_set_pubkey(request.get(), publicKey) != 1) {
    throw Error("OpenSSL cannot build the certificate request");
  }
  unsigned char* body = nullptr;
  const int length = i2d_re_X509_REQ_tbs(request.get(), &body);
  if (length <= 0) throw Error("OpenSSL cannot encode the certificate request");
  const Bytes tbs(body, body + length);
  OPENSSL_free(body);
  const HashAlgorithm sha256 = hashAlgorithm("sha256");
  setSignature(request.get(), sign(digest(sha256, tbs)));
  const int verified = X509_REQ_verify(request.get(), publicKey);
  ERR_clear_error();
  if (verified != 1) throw Error("OpenSSL does not verify the request's signature with the container's key");
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509_REQ(bio.get(), request.get()) != 1) throw Error("OpenSSL cannot write the request");
  return bioText(bio.get());
}

}  // namespace vemra::ctl

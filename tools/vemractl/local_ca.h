// A certification authority of the demo's own, made with OpenSSL: a fresh
// key and a self-signed certificate, which issues certificates for requests
// and verifies the certificates it issued.
#ifndef VEMRA_CTL_LOCAL_CA_H
#define VEMRA_CTL_LOCAL_CA_H

#include <string>

#include "certificates.h"

namespace vemra::ctl {

class LocalCa {
 public:
  // A 2048-bit RSA key and a CA certificate "/CN=`name`" valid for a day.
  explicit LocalCa(const std::string& name);

  X509* certificate() const { return certificate_.get(); }
  EVP_PKEY* key() const { return key_.get(); }

  // A certificate of the request's subject and key (PEM), valid for `days`,
  // for TLS client authentication. Throws unless the request's signature
  // verifies.
  Certificate issue(const std::string& requestPem, int days) const;
  // Whether `certificate` chains to this CA (OpenSSL's verification).
  bool verifies(X509* certificate) const;

 private:
  Pkey key_;
  Certificate certificate_;
};

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_LOCAL_CA_H

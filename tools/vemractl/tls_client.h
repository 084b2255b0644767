// A TLS 1.3 handshake with client authentication, the card's key used
// through OpenSSL's PKCS #11 engine and the project's module: `openssl
// s_server` on 127.0.0.1 asks for a client certificate, `openssl s_client`
// signs the handshake with the card.
#ifndef VEMRA_CTL_TLS_CLIENT_H
#define VEMRA_CTL_TLS_CLIENT_H

#include <ostream>
#include <string>

#include "card.h"

namespace vemra::ctl {

// The PKCS #11 URI of the private key of (container, keySpec) on the token
// with `serial` (any token when empty), its PIN read from `pinFile`.
std::string engineKeyUri(const std::string& serial, BYTE container, DWORD keySpec, const std::string& pinFile);

// What is wrong with a handshake, from the server's log and the client's
// output (the server's status page); empty when the server verified the
// client's certificate, the connection used TLS 1.3 and the client signed
// with RSA-PSS.
std::string handshakeProblem(const std::string& serverLog, const std::string& clientOutput);

// What the handshake needs: a folder of its own (removed by the caller),
// the CA that issued the client certificate, the certificate, and the key.
struct Handshake {
  std::string folder;
  std::string caFile;
  std::string certificateFile;
  std::string modulePath;
  std::string tokenSerial;
  BYTE container = 0;
  DWORD keySpec = 0;
};

// Runs the handshake and says what happened on `out`. Throws Error with
// SCARD_E_UNSUPPORTED_FEATURE where `openssl` or its PKCS #11 engine is
// missing, and Error naming what went wrong otherwise.
void tlsHandshakeThroughEngine(const Handshake& h, const Secret& pin, std::ostream& out);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_TLS_CLIENT_H

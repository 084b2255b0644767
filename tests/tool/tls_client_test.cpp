// The demo's TLS handshake: the key's URI for OpenSSL's PKCS #11 engine, and
// the verdict read from s_server's log and its status page.
#include <gtest/gtest.h>

#include <string>

#include "tls_client.h"

namespace vemra::ctl {
namespace {

TEST(TlsClient, KeyUriNamesTheTokenTheContainerKeyAndThePinFile) {
  EXPECT_EQ(engineKeyUri("56450000123456", 0, AT_KEYEXCHANGE, "/tmp/f-1/pin"),
            "pkcs11:serial=56450000123456;id=%00%01;type=private?pin-source=file:%2Ftmp%2Ff-1%2Fpin");
  EXPECT_EQ(engineKeyUri("", 0x1F, AT_SIGNATURE, "/p"), "pkcs11:id=%1F%02;type=private?pin-source=file:%2Fp");
  // A serial with characters a URI reserves is escaped, not cut short.
  EXPECT_EQ(engineKeyUri("a;b c", 3, AT_KEYEXCHANGE, "/p"),
            "pkcs11:serial=a%3Bb%20c;id=%03%01;type=private?pin-source=file:%2Fp");
}

TEST(TlsClient, HandshakeVerdictNeedsAVerifiedClientTls13AndPss) {
  const std::string verified = "verify depth is 1, must return a certificate\nACCEPT\n"
                               "depth=1 CN = demo CA\nverify return:1\ndepth=0 CN = demo\nverify return:1\n";
  const std::string page = "Protocol  : TLSv1.3\nPeer signature type: RSA-PSS\n";
  struct Case {
    const char* what;
    std::string log;
    std::string client;
    std::string problem;
  };
  const Case cases[] = {
      {"all well", verified, page, ""},
      {"no client certificate", "ACCEPT\nERROR\n", page, "the server saw no client certificate"},
      {"certificate refused",
       "depth=0 CN = demo\nverify error:num=20:unable to get local issuer certificate\nverify return:1\n", page,
       "the server did not verify the client certificate"},
      {"only the CA verified", "depth=1 CN = demo CA\nverify return:1\ndepth=0 CN = demo\nverify return:0\n", page,
       "the server did not verify the client certificate"},
      {"TLS 1.2", verified, "Protocol  : TLSv1.2\nPeer signature type: RSA-PSS\n",
       "the connection did not use TLS 1.3"},
      {"PKCS #1 v1.5 signature", verified, "Protocol  : TLSv1.3\nPeer signature type: RSA\n",
       "the client did not sign the handshake with RSA-PSS"},
      {"no status page", verified, "", "the connection did not use TLS 1.3"},
  };
  for (const Case& c : cases) EXPECT_EQ(handshakeProblem(c.log, c.client), c.problem) << c.what;
}

}  // namespace
}  // namespace vemra::ctl

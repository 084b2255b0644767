// vemractl's certificates against the simulated card: PKCS #12 import,
// certificates written, read back (both file forms), listed and removed,
// certificate requests the card signs, and bad input refused with the card
// left as it was. OpenSSL makes the fixtures and checks the results.
#include "vemractl_fixture.h"

namespace vemra::integration {
namespace {

class CertificatesTest : public VemractlTest {
 protected:
  void SetUp() override {
    VemractlTest::SetUp();
    init();
  }

  // A local CA ("ca.pem", "ca.key").
  void makeCa() {
    ASSERT_EQ(shell(work, "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj '/CN=Vemra Test CA' "
                          "-days 30 -out ca.pem"),
              0);
  }

  // NAME.key (RSA of `bits`, or an EC key for bits 0) and NAME.pem, a
  // certificate the CA issued for it with the subject `/CN=NAME/O=Vemra`.
  void makeIdentity(const std::string& name, int bits) {
    const std::string key = bits == 0 ? "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256"
                                      : "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits);
    ASSERT_EQ(shell(work, key + " -out " + name + ".key"), 0);
    ASSERT_EQ(shell(work, "openssl req -new -key " + name + ".key -subj '/CN=" + name + "/O=Vemra' -out " + name +
                              ".csr && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key " +
                              "-CAcreateserial -days 10 -out " + name + ".pem"),
              0);
  }

  // NAME.p12 of NAME's key and certificate with the CA's beside them.
  void makeP12(const std::string& name, const std::string& passphrase) {
    ASSERT_EQ(shell(work, "openssl pkcs12 -export -inkey " + name + ".key -in " + name + ".pem -certfile ca.pem " +
                              "-passout pass:" + passphrase + " -out " + name + ".p12"),
              0);
  }

  Outcome importP12(const std::string& name, const std::string& passphrase, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--login", "user", "import-p12", file(name + ".p12"), "--passphrase-env", "P12_PASS"};
    args.insert(args.end(), more.begin(), more.end());
    return vemractl(args, {{"VEMRA_PIN", kPin}, {"P12_PASS", passphrase}});
  }

  std::string der(const std::string& pem) {
    EXPECT_EQ(shell(work, "openssl x509 -in " + pem + " -outform DER -out " + pem + ".der"), 0);
    return slurp(file(pem + ".der"));
  }

  json certs() {
    const Outcome run = vemractl({"certs", "--json"});
    EXPECT_OK(run);
    return json::parse(run.out);
  }
};

TEST_F(CertificatesTest, ImportP12PutsKeyAndCompressedCertificateThatOpensslVerifiesWhenReadBack) {
  makeCa();
  makeIdentity("alice", 2048);
  makeP12("alice", "s3cret");
  const Outcome imported = importP12("alice", "s3cret");
  EXPECT_OK(imported);
  EXPECT_NE(imported.out.find("into container 0"), std::string::npos) << imported.out;
  EXPECT_NE(imported.out.find("CA chain (1 certificate) is not written"), std::string::npos) << imported.out;

  // The certificate file: 01 00, the DER length little-endian, a zlib stream
  // that inflates to the certificate.
  const std::string expected = der("alice.pem");
  const std::string stored = vemractl({"cat", "mscp/kxc00"}).out;
  ASSERT_GT(stored.size(), 6u);
  EXPECT_EQ(stored.substr(0, 2), std::string("\1\0", 2));
  EXPECT_EQ(static_cast<std::size_t>(static_cast<uint8_t>(stored[2]) | static_cast<uint8_t>(stored[3]) << 8),
            expected.size());
  EXPECT_EQ(stored[4], '\x78');  // a zlib header, not raw deflate
  // The container map and both counters of cardcf (containers, files).
  EXPECT_EQ(vemractl({"cat", "mscp/cmapfile"}).out.substr(80), std::string("\x03\x00\x00\x00\x00\x08", 6));
  EXPECT_EQ(vemractl({"cat", "cardcf"}).out, std::string("\0\0\1\0\1\0", 6));

  EXPECT_OK(vemractl({"cert", "--container", "0", "--keyspec", "kx", "-o", file("back.pem")}));
  EXPECT_EQ(shell(work, "openssl verify -CAfile ca.pem back.pem"), 0);
  EXPECT_EQ(der("back.pem"), expected);
  EXPECT_OK(vemractl({"cert", "--container", "0", "--keyspec", "kx", "--der", "-o", file("back.der")}));
  EXPECT_EQ(slurp(file("back.der")), expected);

  const json listing = certs();
  ASSERT_EQ(listing.size(), 1u) << listing.dump();
  const json& entry = listing[0]["keyExchangeCertificate"];
  EXPECT_EQ(entry["file"], "mscp/kxc00");
  EXPECT_EQ(entry["subject"], "CN=alice, O=Vemra");
  EXPECT_EQ(entry["issuer"], "CN=Vemra Test CA");
  EXPECT_EQ(entry["matchesKey"], true);
  EXPECT_LT(entry["notBefore"].get<std::string>(), entry["notAfter"].get<std::string>());
  const json info = json::parse(vemractl({"info", "--json"}).out);
  EXPECT_EQ(info["containers"], listing);
  EXPECT_NE(vemractl({"info"}).out.find("key exchange certificate mscp/kxc00: CN=alice, O=Vemra, issued by "
                                        "CN=Vemra Test CA"),
            std::string::npos);

  // The next import takes the next free container.
  makeIdentity("bob", 1024);
  makeP12("bob", "");
  const Outcome second = importP12("bob", "", {"--keyspec", "sig"});
  EXPECT_OK(second);
  EXPECT_NE(second.out.find("into container 1"), std::string::npos) << second.out;
  EXPECT_EQ(certs()[1]["signatureCertificate"]["subject"], "CN=bob, O=Vemra");

  EXPECT_OK(vemractl({"--login", "user", "rm-cert", "--container", "0", "--keyspec", "kx"}, {{"VEMRA_PIN", kPin}}));
  EXPECT_FALSE(certs()[0].contains("keyExchangeCertificate"));
  EXPECT_FAILS_WITH(vemractl({"cert", "--container", "0", "--keyspec", "kx"}), "no certificate in mscp/kxc00");
}

TEST_F(CertificatesTest, PutCertChecksTheKeyAndBothFileFormsReadBack) {
  makeCa();
  makeIdentity("carol", 2048);
  makeIdentity("other", 2048);
  EXPECT_OK(asUser({"import-key", file("carol.key"), "--container", "2", "--keyspec", "sig"}));

  EXPECT_FAILS_WITH(asUser({"put-cert", file("other.pem"), "--container", "2", "--keyspec", "sig"}),
                    "the certificate's public key is not the key of container 2");
  EXPECT_OK(asUser({"put-cert", file("other.pem"), "--container", "2", "--keyspec", "sig", "--force"}));
  EXPECT_EQ(certs()[0]["signatureCertificate"]["matchesKey"], false);

  // The right certificate replaces it, compressed.
  EXPECT_OK(asUser({"put-cert", file("carol.pem"), "--container", "2", "--keyspec", "sig"}));
  EXPECT_EQ(certs()[0]["signatureCertificate"]["matchesKey"], true);
  EXPECT_EQ(vemractl({"cat", "mscp/ksc02"}).out.substr(0, 2), std::string("\1\0", 2));
  EXPECT_EQ(vemractl({"cat", "cardcf"}).out.substr(4), std::string("\2\0", 2));

  // As another provider writes it: the DER as it is.
  const std::string plain = der("carol.pem");
  EXPECT_OK(asUser({"rm", "mscp/ksc02"}));
  EXPECT_OK(asUser({"put", "mscp/ksc02", "-i", file("carol.pem.der")}));
  EXPECT_OK(vemractl({"cert", "--container", "2", "--keyspec", "sig", "--der", "-o", file("back.der")}));
  EXPECT_EQ(slurp(file("back.der")), plain);
  EXPECT_EQ(certs()[0]["signatureCertificate"]["subject"], "CN=carol, O=Vemra");
}

TEST_F(CertificatesTest, CertificateRequestSignedByTheCardPassesOpensslVerify) {
  makeCa();
  makeIdentity("dave", 2048);
  EXPECT_OK(asUser({"import-key", file("dave.key"), "--container", "0", "--keyspec", "kx"}));
  const Outcome csr = asUser({"csr", "--container", "0", "--keyspec", "kx", "--subject", "/CN=dave\\/card/O=Vemra",
                              "-o", file("req.pem")});
  EXPECT_OK(csr);
  EXPECT_EQ(shell(work, "openssl req -verify -noout -in req.pem"), 0);
  EXPECT_EQ(shell(work, "openssl req -in req.pem -noout -subject -nameopt RFC2253 | grep -qx 'subject=O=Vemra,CN=dave/card'"),
            0);
  EXPECT_EQ(shell(work, "openssl req -in req.pem -noout -pubkey > req.pub && openssl pkey -in dave.key -pubout | "
                        "cmp - req.pub"),
            0);
  EXPECT_EQ(shell(work, "openssl req -in req.pem -noout -text | grep -q sha256WithRSAEncryption"), 0);
  // Issued by the CA and written back: it certifies the card's key.
  ASSERT_EQ(shell(work, "openssl x509 -req -in req.pem -CA ca.pem -CAkey ca.key -CAcreateserial -days 5 -out issued.pem"), 0);
  EXPECT_OK(asUser({"put-cert", file("issued.pem"), "--container", "0", "--keyspec", "kx"}));

  EXPECT_FAILS_WITH(asUser({"csr", "--container", "0", "--keyspec", "kx", "--subject", "CN=x"}),
                    "a subject is written /CN=");
  EXPECT_FAILS_WITH(asUser({"csr", "--container", "1", "--keyspec", "kx", "--subject", "/CN=x"}),
                    "SCARD_E_NO_KEY_CONTAINER");
}

// What must not change when a command is refused.
struct Snapshot {
  std::string cardcf;
  std::string map;
  json files;
  json containers;
  long freeBytes = 0;
};

// The room left on the card for the bad input: more than the compressed
// certificate of a 1024-bit key, less than that and the key.
constexpr long kRoomLeft = 800;

TEST_F(CertificatesTest, BadInputIsRefusedAndLeavesTheCardAsItWas) {
  makeCa();
  makeIdentity("erin", 2048);
  makeIdentity("small", 1024);
  makeIdentity("big", 3072);
  makeIdentity("ec", 0);
  makeP12("erin", "right");
  makeP12("small", "right");
  makeP12("big", "right");
  makeP12("ec", "right");
  ASSERT_EQ(shell(work, "openssl pkcs12 -export -nokeys -in erin.pem -passout pass:right -out nokey.p12"), 0);
  ASSERT_EQ(shell(work, "openssl pkcs12 -export -inkey erin.key -nocerts -passout pass:right -out nocert.p12"), 0);
  spill(file("garbage.pem"), "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n");
  spill(file("cut.der"), der("erin.pem").substr(0, 300));
  // Erin's key certified with 2000 random bytes more, which no compression
  // makes smaller.
  ASSERT_EQ(shell(work, "printf '1.2.3.4.5=DER:048207D0%s\\n' $(openssl rand -hex 2000) > big.ext && "
                        "openssl x509 -req -in erin.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 10 "
                        "-extfile big.ext -out erin-big.pem"),
            0);
  EXPECT_OK(importP12("erin", "right"));

  // Fill the card up to a little more than a 1024-bit key's certificate
  // takes: the certificate still fits, the key no longer does.
  // Two files: a file is created with at most 32768 bytes, and growing one
  // needs room for both its old and its new place.
  const long free = json::parse(vemractl({"info", "--json"}).out)["freeBytes"].get<long>();
  constexpr long kFileCost = 32;  // the simulated card's cost of a file beside its body
  const long first = (free - 2 * kFileCost - kRoomLeft) / 2;
  int files = 0;
  for (long size : {first, free - 2 * kFileCost - kRoomLeft - first}) {
    const std::string name = "fill" + std::to_string(++files);
    spill(file(name), std::string(static_cast<std::size_t>(size), 'f'));
    const Outcome filled = asUser({"put", name, "-i", file(name)});
    ASSERT_EQ(filled.status, 0) << filled.err;
  }
  ASSERT_EQ(json::parse(vemractl({"info", "--json"}).out)["freeBytes"].get<long>(), kRoomLeft);

  auto snapshot = [&] {
    Snapshot s;
    s.cardcf = vemractl({"cat", "cardcf"}).out;
    s.map = vemractl({"cat", "mscp/cmapfile"}).out;
    s.files = json::parse(vemractl({"ls", "mscp", "--json"}).out);
    const json info = json::parse(vemractl({"info", "--json"}).out);
    s.containers = info["containers"];
    s.freeBytes = info["freeBytes"].get<long>();
    return s;
  };
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* passphrase;
    const char* message;
    bool countersMove;  // the certificate went on the card and was taken off again
  };
  const Case cases[] = {
      {"wrong passphrase", {"import-p12", file("erin.p12")}, "wrong", "wrong passphrase for", false},
      {"no key", {"import-p12", file("nokey.p12")}, "right", "holds no private key", false},
      {"no certificate", {"import-p12", file("nocert.p12")}, "right", "holds no certificate", false},
      {"EC key", {"import-p12", file("ec.p12")}, "right", "holds an EC key; the card takes RSA keys only", false},
      {"3072-bit key", {"import-p12", file("big.p12")}, "right", "RSA keys of 1024 or 2048 bits; this key has 3072",
       false},
      {"not PKCS #12", {"import-p12", file("erin.pem")}, "right", "is not a PKCS #12 file", false},
      {"occupied container", {"import-p12", file("small.p12"), "--container", "0"}, "right",
       "container 0 already holds a key-exchange key", false},
      {"key beyond the free space", {"import-p12", file("small.p12")}, "right",
       "cannot import the key into container 1", true},
      {"unparsable PEM", {"put-cert", file("garbage.pem"), "--container", "0", "--keyspec", "kx"}, "",
       "does not hold a certificate OpenSSL can parse", false},
      {"cut DER", {"put-cert", file("cut.der"), "--container", "0", "--keyspec", "kx"}, "",
       "does not hold a certificate OpenSSL can parse", false},
      {"another key's certificate", {"put-cert", file("small.pem"), "--container", "0", "--keyspec", "kx"}, "",
       "is not the key of container 0", false},
      {"no key for the certificate", {"put-cert", file("erin.pem"), "--container", "5", "--keyspec", "kx"}, "",
       "SCARD_E_NO_KEY_CONTAINER", false},
      {"larger than the free space", {"put-cert", file("erin-big.pem"), "--container", "0", "--keyspec", "kx"}, "",
       "the certificate file takes", false},
  };
  for (const Case& c : cases) {
    const Snapshot before = snapshot();
    std::vector<std::string> args{"--login", "user"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.args[0] == "import-p12") args.insert(args.end(), {"--passphrase-env", "P12_PASS"});
    const Outcome run = vemractl(args, {{"VEMRA_PIN", kPin}, {"P12_PASS", c.passphrase}});
    EXPECT_NE(run.status, 0) << c.what << "\n" << run.out;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << "\n" << run.err;
    const Snapshot after = snapshot();
    EXPECT_EQ(after.map, before.map) << c.what;
    EXPECT_EQ(after.files, before.files) << c.what;
    EXPECT_EQ(after.containers, before.containers) << c.what;
    EXPECT_EQ(after.freeBytes, before.freeBytes) << c.what;
    if (!c.countersMove) {
      EXPECT_EQ(after.cardcf, before.cardcf) << c.what;
    }
  }
}

}  // namespace
}  // namespace vemra::integration

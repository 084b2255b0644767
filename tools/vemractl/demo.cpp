// vemractl demo: the whole story against a card, simulated when no reader
// holds a supported one. Each step says what it did and what came back; the
// exit status is non-zero when any step does not do what it should.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include <filesystem>
#include <fstream>

#include "cert_listing.h"
#include "certificates.h"
#include "commands.h"
#include "error.h"
#include "keys.h"
#include "layout.h"
#include "local_ca.h"
#include "pkcs11_client.h"
#include "simulator.h"

namespace vemra::ctl {

using host::Error;

namespace {

// The simulated card's secrets, as vemra-vcard makes a fresh card.
constexpr const char* kSimulatedPin = "1234";
constexpr const char* kSimulatedAdminKey = "0123456789ABCDEF FEDCBA9876543210 0123456789ABCDEF";

class Steps {
 public:
  explicit Steps(std::ostream& out) : out_(out) {}

  // Runs one step; false when it failed.
  bool run(const std::string& title, const std::function<void(std::ostream&)>& body) {
    out_ << "[" << ++number_ << "] " << title << "\n";
    try {
      body(out_);
      out_ << "    ok" << std::endl;
      return true;
    } catch (const Error& e) {
      if (e.code() == SCARD_E_UNSUPPORTED_FEATURE) {
        out_ << "    skipped: " << e.what() << std::endl;
        ++skipped_;
        return false;
      }
      out_ << "    FAILED: " << e.what() << std::endl;
      ++failed_;
      return false;
    }
  }
  int failed() const { return failed_; }
  int skipped() const { return skipped_; }

 private:
  std::ostream& out_;
  int number_ = 0;
  int failed_ = 0;
  int skipped_ = 0;
};

// The first card the driver supports in a reader other than the virtual
// one; that reader is only used under the lock, for the simulated card.
std::unique_ptr<Card> findRealCard(const std::string& driver, std::ostream& out) {
  std::vector<host::ReaderState> readers;
  try {
    readers = host::PcscContext().readers();
  } catch (const Error& e) {
    out << "no PC/SC service yet (" << e.what() << ")\n";
    return nullptr;
  }
  for (const host::ReaderState& r : readers) {
    if (!r.cardPresent || r.name.rfind("Virtual PCD", 0) == 0) continue;
    try {
      return std::make_unique<Card>(driver, r.name);
    } catch (const Error& e) {
      out << "not using the card in \"" << r.name << "\": " << e.what() << "\n";
    }
  }
  out << "no reader other than the virtual one holds a supported card\n";
  return nullptr;
}

// A temporary folder, removed with what it holds when it goes.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    char name[] = "/tmp/vemractl-ca-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw Error("cannot make a temporary folder");
    path_ = name;
  }
  ~TemporaryFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f << text;
    if (!f) throw Error("cannot write " + file(name));
  }

 private:
  std::string path_;
};

// The enrolment story: a request the card signs, a certificate a local CA
// issues for it, written to the card and seen through the PKCS #11 module,
// then (with RSA-PSS in the module) TLS 1.3 client authentication.
void certificateSteps(Steps& steps, Card& c, BYTE container, const std::string& driver) {
  std::string request;
  const bool requested =
      steps.run("a certificate request signed by the card (SHA-256, PKCS #1 v1.5), verified by OpenSSL",
                [&](std::ostream& o) {
                  Pkey key = publicKeyFromBlob(c.publicKeys(container).keyExchange);
                  request = makeCertificateRequest(key.get(), "/CN=vemradrv demo/O=Vemra", [&](const Bytes& hash) {
                    return reversed(c.sign(container, AT_KEYEXCHANGE, CALG_SHA_256, hash));
                  });
                  o << "    CardSignData signed the request's SHA-256 hash; OpenSSL verifies the request\n";
                });
  if (!requested) return;
  TemporaryFolder folder;
  std::unique_ptr<LocalCa> ca;
  Certificate issued;
  const bool certified = steps.run("a local CA (OpenSSL, in a temporary folder) issues the certificate",
                                   [&](std::ostream& o) {
                                     ca = std::make_unique<LocalCa>("vemradrv demo CA");
                                     issued = ca->issue(request, 1);
                                     folder.write("ca.pem", certificatePem(ca->certificate()));
                                     folder.write("request.pem", request);
                                     folder.write("client.pem", certificatePem(issued.get()));
                                     o << "    the CA of " << folder.file("ca.pem") << " issued a certificate for "
                                       << certificateFacts(issued.get()).subject << ", valid a day\n";
                                   });
  if (!certified) return;
  const Bytes der = certificateDer(issued.get());
  const bool written = steps.run("the certificate written to the card and read back", [&](std::ostream& o) {
    writeCertificate(c, container, AT_KEYEXCHANGE, der, o << "    ");
    const std::optional<Bytes> back = readCertificate(c, container, AT_KEYEXCHANGE);
    if (!back || *back != der) throw Error("the certificate read back differs from the one written");
    Certificate parsed = parseCertificate(*back, certificatePath(container, AT_KEYEXCHANGE));
    if (!ca->verifies(parsed.get())) throw Error("OpenSSL does not verify the certificate read back with the CA");
    o << "    read back and decompressed: the same certificate; OpenSSL verifies it with the local CA\n";
  });
  if (!written) return;
  ::setenv("VEMRA_DRIVER", driver.c_str(), 1);
  ModuleView view;
  const bool seen = steps.run("the PKCS #11 module shows the same certificate", [&](std::ostream& o) {
    view = viewThroughPkcs11(defaultPkcs11ModulePath(), c.readerName(), container, AT_KEYEXCHANGE);
    if (view.certificate != der) throw Error("the module's certificate (CKA_VALUE) is not the one written");
    o << "    C_FindObjects found the certificate of the key's CKA_ID; its CKA_VALUE is the certificate written\n";
  });
  steps.run("TLS 1.3 handshake with client authentication, the card signing through the PKCS #11 module",
            [&](std::ostream&) {
              if (!seen) throw Error("the module does not show the certificate", SCARD_E_UNSUPPORTED_FEATURE);
              if (!view.pss) {
                throw Error("TLS 1.3 signs with RSA-PSS, which the PKCS #11 module does not offer yet",
                            SCARD_E_UNSUPPORTED_FEATURE);
              }
              throw Error("the module offers RSA-PSS, but this demo does not drive the handshake yet",
                          SCARD_E_UNSUPPORTED_FEATURE);
            });
}

}  // namespace

int cmdDemo(Tool& tool, const DemoOptions& demo, std::ostream& out) {
  Options& options = tool.options();
  std::unique_ptr<SimulatedCard> simulated;
  std::unique_ptr<Card> card;
  const std::string driver = options.driver.empty() ? host::defaultDriverPath() : options.driver;
  out << "driver: " << driver << "\n";
  if (!options.reader.empty()) {
    card = std::make_unique<Card>(driver, options.reader);
  } else {
    card = findRealCard(driver, out);
  }
  if (card) {
    out << "using the card in \"" << card->readerName() << "\"\n";
  } else {
    out << "starting the simulated card:" << std::endl;
    simulated =
        std::make_unique<SimulatedCard>(demo.vcard.empty() ? defaultVcardPath() : demo.vcard, out, demo.saveCard);
    card = std::make_unique<Card>(driver, simulated->reader());
    if (options.pin.empty()) options.pin = kSimulatedPin;
    if (options.adminKey.empty()) options.adminKey = kSimulatedAdminKey;
    out << "the simulated card's PIN is " << kSimulatedPin << "; its administrator key is its factory key\n";
  }
  Card& c = *card;
  tool.adopt(std::move(card));
  Steps steps(out);

  steps.run("the card", [&](std::ostream& o) {
    o << "    reader \"" << c.readerName() << "\", ATR " << hex(c.atr()) << "\n";
    o << "    CardAcquireContext accepted it (CARD_DATA version " << c.data()->dwVersion << ")\n";
  });
  steps.run("init: the standard files that smart-card providers expect", [&](std::ostream& o) {
    tool.loginAdmin();
    o << "    administrator authenticated by challenge-response (CardGetChallenge, CardAuthenticateChallenge)\n";
    initLayout(c, o);
    c.logout(CREATE_PIN_SET(ROLE_ADMIN));
    o << "    administrator logged out\n";
  });
  CARD_FREE_SPACE_INFO before{};
  steps.run("free space before", [&](std::ostream& o) {
    before = c.freeSpace();
    o << "    " << before.dwBytesAvailable << " bytes, " << before.dwKeyContainersAvailable << " of "
      << before.dwMaxKeyContainers << " key containers free\n";
  });
  const bool loggedIn = steps.run("user login", [&](std::ostream& o) {
    tool.loginUser();
    o << "    CardAuthenticatePin(\"user\") answered 0: the card verified the PIN\n";
  });

  Pkey key;
  constexpr BYTE kContainer = 0;
  const bool imported = loggedIn && steps.run("import a freshly generated 2048-bit RSA key", [&](std::ostream& o) {
    key = generateRsaKey(2048);
    o << "    OpenSSL generated the key\n";
    DWORD bits = 0;
    Secret blob = privateKeyBlob(key.get(), AT_KEYEXCHANGE, bits);
    const Card::Hold held = c.hold();
    c.importKey(kContainer, AT_KEYEXCHANGE, blob, bits, ROLE_USER);
    o << "    CardCreateContainerEx loaded it into container 0 as its key-exchange key\n";
    if (recordContainer(c, kContainer, AT_KEYEXCHANGE, bits)) {
      o << "    recorded in mscp/cmapfile\n";
      bumpFreshness(c, Freshness::Containers);
    }
  });
  if (imported) {
    steps.run("SHA-256 signature made through the PKCS #11 module, verified by OpenSSL", [&](std::ostream& o) {
      // The module binds to the card on a connection of its own and loads
      // the driver the demo uses. Both connections share the card; the
      // user's login is the card's, so the module logs in with the same PIN,
      // and as it logs out when it finishes, the demo logs in again.
      ::setenv("VEMRA_DRIVER", driver.c_str(), 1);
      const Secret pin = tool.userPin();
      const auto loginAgain = [&] {
        c.loginUser(pin);
        o << "    the module logged the user out as it finished; CardAuthenticatePin(\"user\") logged in again\n";
      };
      const std::string text = "vemradrv demo: a message signed through PKCS #11";
      const Bytes message(text.begin(), text.end());
      Bytes signature;
      try {
        signature = signThroughPkcs11(defaultPkcs11ModulePath(), c.readerName(), kContainer, AT_KEYEXCHANGE, pin,
                                      message, o);
      } catch (const Error&) {
        try {
          loginAgain();
        } catch (const Error&) {  // the module's failure is the one to report
        }
        throw;
      }
      loginAgain();
      const HashAlgorithm sha256 = hashAlgorithm("sha256");
      if (!verifySignature(key.get(), sha256, digest(sha256, message), signature)) {
        throw Error("OpenSSL rejects the signature made through the module");
      }
      o << "    OpenSSL verifies it with the imported key's public key\n";
    });
    steps.run("SHA-256 signature made by the card, verified by OpenSSL", [&](std::ostream& o) {
      const HashAlgorithm sha256 = hashAlgorithm("sha256");
      const std::string text = "vemradrv demo: a message the card signs";
      const Bytes hash = digest(sha256, Bytes(text.begin(), text.end()));
      const Bytes signature = reversed(c.sign(kContainer, AT_KEYEXCHANGE, sha256.algId, hash));
      o << "    CardSignData returned " << signature.size() << " bytes\n";
      const PublicKeys keys = c.publicKeys(kContainer);
      Pkey readBack = publicKeyFromBlob(keys.keyExchange);
      if (!samePublicKey(readBack.get(), key.get())) throw Error("the public key read back is not the one imported");
      o << "    CardGetContainerInfo returned the imported public key\n";
      if (!verifySignature(readBack.get(), sha256, hash, signature)) throw Error("OpenSSL rejects the signature");
      o << "    OpenSSL verifies the signature\n";
    });
    steps.run("decryption by the card of a message OpenSSL encrypted", [&](std::ostream& o) {
      const std::string text = "a secret for the card's eyes only";
      const Bytes block = encryptFor(key.get(), Bytes(text.begin(), text.end()), false);
      o << "    OpenSSL encrypted " << text.size() << " bytes with PKCS #1 v1.5 padding into " << block.size()
        << " bytes\n";
      Secret plain = c.decrypt(kContainer, AT_KEYEXCHANGE, block, CARD_PADDING_PKCS1, u"");
      if (plain.size() != text.size() || std::memcmp(plain.data(), text.data(), text.size()) != 0) {
        throw Error("the card's decryption differs from the message");
      }
      o << "    CardRSADecrypt returned the message: \"" << text << "\"\n";
    });
    certificateSteps(steps, c, kContainer, driver);
  }
  steps.run("a file written and read back", [&](std::ostream& o) {
    std::string text = "Kept on the card by vemractl demo.\n";
    while (text.size() < 300) text += "A longer line, so that the file grows past what it was created with.\n";
    const Bytes content(text.begin(), text.end());
    if (c.fileInfo("", "demo")) c.deleteFile("", "demo");
    c.createFile("", "demo", 16, EveryoneReadUserWriteAc);
    c.writeFile("", "demo", content);
    o << "    CardCreateFile made \"demo\" of 16 bytes; CardWriteFile wrote " << content.size()
      << " bytes (the file grew)\n";
    if (c.readFile("", "demo") != content) throw Error("the file read back differs from what was written");
    o << "    CardReadFile returned the same " << content.size() << " bytes\n";
    bumpFreshness(c, Freshness::Files);
  });
  steps.run("free space after", [&](std::ostream& o) {
    const CARD_FREE_SPACE_INFO after = c.freeSpace();
    o << "    " << after.dwBytesAvailable << " bytes (" << static_cast<long>(before.dwBytesAvailable) - after.dwBytesAvailable
      << " fewer), " << after.dwKeyContainersAvailable << " of " << after.dwMaxKeyContainers
      << " key containers free\n";
  });
  steps.run("logout", [&](std::ostream& o) {
    c.logout(PIN_SET_ALL_ROLES);
    o << "    CardDeauthenticateEx logged every role out\n";
  });
  out << (steps.failed() == 0 ? "demo done" : "demo FAILED") << ": " << steps.failed() << " step(s) failed";
  if (steps.skipped() > 0) out << ", " << steps.skipped() << " skipped (each says why)";
  out << "\n";
  tool.adopt(nullptr);  // the driver context goes before the card it is bound to
  if (simulated) out << "stopping what the demo started\n";
  return steps.failed() == 0 ? 0 : 1;
}

}  // namespace vemra::ctl

// PKCS #11 programs the project did not write, driving the module against
// the simulated card through the real pcscd: GnuTLS's p11tool, OpenSSL
// through its PKCS #11 engine, and ssh-keygen. The card is laid out with
// vemractl; the key and its certificate reach the card through the module
// (p11tool --write).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "p11-kit/pkcs11.h"
#include "pcsc_stack.h"
#include "processes.h"

namespace {

const std::string kWork = VEMRA_P11_WORKDIR;
const std::string kModule = VEMRA_P11_MODULE;
const std::string kToken = "pkcs11:model=VEMRA_MINIDR";
const std::string kKey = kToken + ";object=card-key;type=private;pin-value=1234";
constexpr const char* kAdminKey = "0123456789ABCDEFFEDCBA98765432100123456789ABCDEF";

using Result = vemra::p11::test::Outcome;

// Runs a shell command line; its standard output and error together. The
// programs that load the module get the sanitizers' runtime first when the
// module is built with them; OpenSSL loading it gets the configuration of
// its PKCS #11 engine (only OpenSSL: the module itself uses OpenSSL, which
// must not load the engine into the module's own programs).
Result run(const std::string& command, bool loadsModule = false) {
  std::string prefix;
  if (loadsModule) prefix = VEMRA_P11_PRELOAD;
  if (loadsModule && command.rfind("openssl ", 0) == 0) prefix += "OPENSSL_CONF=" + kWork + "/openssl.cnf ";
  return vemra::p11::test::runShell(prefix + command);
}

std::string file(const std::string& name) { return kWork + "/" + name; }

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Programs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    failure_ = vemra::integration::PcscStack::instance().start();
    if (!failure_.empty()) return;
    std::ofstream(file("openssl.cnf")) << "openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n"
                                          "[engine_section]\npkcs11 = pkcs11_section\n[pkcs11_section]\n"
                                          "engine_id = pkcs11\nMODULE_PATH = "
                                       << kModule << "\ninit = 0\n";
    // A fresh key, the public key, and a certificate of it.
    const std::string steps[] = {
        "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + file("key.pem"),
        "chmod 600 " + file("key.pem"),
        "openssl pkey -in " + file("key.pem") + " -pubout -out " + file("pub.pem"),
        "openssl req -new -x509 -key " + file("key.pem") + " -subj /CN=vemra-card -days 2 -out " + file("cert.pem"),
        std::string(VEMRA_P11_VEMRACTL) + " --admin-key " + kAdminKey + " --login admin init",
    };
    for (const std::string& step : steps) {
      const Result r = run(step);
      if (r.status != 0) {
        failure_ = step + " failed:\n" + r.output;
        return;
      }
    }
    // The ID names the key's place on the card (container 0, key
    // exchange): the module refuses an ID it could not give the key.
    const std::string writes[] = {
        "p11tool --provider " + kModule + " --login --set-pin=1234 --write --label card-key --id=0001 --load-privkey " +
            file("key.pem") + " '" + kToken + "'",
        "p11tool --provider " + kModule + " --login --set-pin=1234 --write --label card-key --id=0001 --load-certificate " +
            file("cert.pem") + " '" + kToken + "'",
    };
    for (const std::string& write : writes) {
      const Result r = run(write, true);
      if (r.status != 0) {
        failure_ = write + " failed:\n" + r.output;
        return;
      }
    }
  }
  static void TearDownTestSuite() { vemra::integration::PcscStack::instance().stop(); }
  void SetUp() override { ASSERT_EQ(failure_, ""); }

  static std::string failure_;
};

std::string Programs::failure_;

TEST_F(Programs, P11toolListsTheTokenAndItsObjectsAndSignsWithTheImportedKey) {
  Result r = run("p11tool --provider " + kModule + " --list-tokens", true);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Label: VEMRA "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Model: VEMRA_MINIDR"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Flags: Requires login"), std::string::npos) << r.output;

  r = run("p11tool --provider " + kModule + " --list-all '" + kToken + "'", true);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("Private key"), std::string::npos) << "private objects only after login:\n" << r.output;
  EXPECT_NE(r.output.find("Type: X.509 Certificate (RSA-2048)"), std::string::npos) << r.output;

  r = run("p11tool --provider " + kModule + " --login --set-pin=1234 --list-all '" + kToken + "'", true);
  ASSERT_EQ(r.status, 0) << r.output;
  for (const char* expected : {"Type: Private key (RSA-2048)", "Type: Public key (RSA-2048)",
                               "Type: X.509 Certificate (RSA-2048)", "Label: card-key", "Flags: CKA_PRIVATE; CKA_SENSITIVE;"}) {
    EXPECT_NE(r.output.find(expected), std::string::npos) << expected << " in\n" << r.output;
  }

  r = run("p11tool --provider " + kModule + " --login --set-pin=1234 --test-sign '" + kToken + ";object=card-key'",
          true);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Verifying against public key in the token... ok"), std::string::npos) << r.output;

  r = run("p11tool --provider " + kModule + " --login --set-pin=9999 --list-all '" + kToken + "'", true);
  EXPECT_NE(r.status, 0) << "a wrong PIN is refused:\n" << r.output;
}

TEST_F(Programs, OpensslSignsThroughTheEngineAndPlainOpensslVerifies) {
  std::ofstream(file("message")) << "a message signed by the card\n";
  ASSERT_EQ(run("openssl dgst -sha256 -binary -out " + file("message.sha256") + " " + file("message")).status, 0);
  Result r = run("openssl pkeyutl -engine pkcs11 -keyform engine -inkey '" + kKey + "' -sign -pkeyopt digest:sha256 -in " +
                     file("message.sha256") + " -out " + file("message.sig"),
                 true);
  ASSERT_EQ(r.status, 0) << r.output;
  r = run("openssl pkeyutl -verify -pubin -inkey " + file("pub.pem") +
          " -pkeyopt digest:sha256 -in " + file("message.sha256") + " -sigfile " + file("message.sig"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Signature Verified Successfully"), std::string::npos) << r.output;
}

TEST_F(Programs, OpensslDecryptsThroughTheEngineWithBothPaddings) {
  const std::string secret = "a secret for the card";
  std::ofstream(file("secret")) << secret;
  struct Case {
    const char* what;
    std::string options;
  };
  const Case cases[] = {
      {"PKCS #1", ""},
      {"OAEP SHA-256", " -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(file("secret.dec").c_str());
    Result r = run("openssl pkeyutl -encrypt -pubin -inkey " + file("pub.pem") + c.options +
                   " -in " + file("secret") + " -out " + file("secret.enc"));
    ASSERT_EQ(r.status, 0) << r.output;
    r = run("openssl pkeyutl -engine pkcs11 -keyform engine -inkey '" + kKey + "' -decrypt" + c.options + " -in " +
                file("secret.enc") + " -out " + file("secret.dec"),
            true);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(slurp(file("secret.dec")), secret);
  }
}

TEST_F(Programs, SshKeygenListsTheCardsPublicKey) {
  const Result fromFile = run("ssh-keygen -y -f " + file("key.pem"));
  ASSERT_EQ(fromFile.status, 0) << fromFile.output;
  const Result fromCard = run("ssh-keygen -D " + kModule, true);
  ASSERT_EQ(fromCard.status, 0) << fromCard.output;
  const std::string key = fromFile.output.substr(0, fromFile.output.find('\n'));
  EXPECT_NE(fromCard.output.find(key + " card-key"), std::string::npos) << fromCard.output << "\nexpected " << key;
}

// Several command lines started at once; their results in the same order.
std::vector<Result> runAtOnce(const std::vector<std::string>& commands) {
  std::vector<FILE*> pipes;
  for (const std::string& command : commands) pipes.push_back(::popen((command + " 2>&1").c_str(), "r"));
  std::vector<Result> results(commands.size());
  for (std::size_t i = 0; i < pipes.size(); ++i) {
    if (pipes[i] == nullptr) continue;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipes[i])) > 0) results[i].output.append(buffer.data(), n);
    const int status = ::pclose(pipes[i]);
    results[i].status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return results;
}

std::string worker(const std::string& arguments) {
  return std::string("ASAN_OPTIONS=detect_leaks=0 ") + VEMRA_P11_WORKER + " " + kModule + " " + arguments;
}

// OpenSSL's verdict on a SHA-256 PKCS #1 v1.5 signature.
bool verifies(const std::string& publicKeyPem, const std::string& message, const std::string& signature) {
  BIO* bio = BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size()));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = key != nullptr && ctx != nullptr &&
                  EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                   reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

Result newKey(const std::string& name) {
  const Result made = run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + file(name + ".pem"));
  if (made.status != 0) return made;
  return run("openssl pkey -in " + file(name + ".pem") + " -pubout -out " + file(name + ".pub.pem"));
}

// The module keeps a key where its CKA_ID names (the container's index, then
// the key type), so each import names its free container.
std::string importCommand(const std::string& name, const std::string& id) {
  return std::string(VEMRA_P11_PRELOAD) + "p11tool --provider " + kModule +
         " --login --set-pin=1234 --write --id=" + id + " --label " + name + " --load-privkey " +
         file(name + ".pem") + " '" + kToken + "'";
}

// vemractl's import-p12 puts a key and its certificate into the next free
// container (1, beside p11tool's key): the programs see both under one
// CKA_ID, and OpenSSL's engine signs with the key of that ID.
TEST_F(Programs, ImportP12KeyAndCertificateShareOneIdInP11toolAndTheEngine) {
  const std::string steps[] = {
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + file("p12.key") + " -subj /CN=p12-user -days 2 -out " +
          file("p12.pem"),
      "openssl pkcs12 -export -inkey " + file("p12.key") + " -in " + file("p12.pem") +
          " -passout pass:p12pass -out " + file("id.p12"),
      "openssl dgst -sha256 -binary -out " + file("p12.sha256") + " " + file("p12.pem"),
  };
  for (const std::string& step : steps) ASSERT_EQ(run(step).status, 0) << step;
  Result r = run("P12_PASS=p12pass " + std::string(VEMRA_P11_VEMRACTL) + " --pin 1234 import-p12 " + file("id.p12") +
                 " --passphrase-env P12_PASS");
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_NE(r.output.find("into container 1"), std::string::npos) << r.output;

  // CKA_ID: the container index and the key type (1, key exchange).
  const std::string id = kToken + ";id=%01%01";
  r = run("p11tool --provider " + kModule + " --login --set-pin=1234 --list-all '" + id + "'", true);
  ASSERT_EQ(r.status, 0) << r.output;
  for (const char* expected : {"Type: Private key (RSA-2048)", "Type: X.509 Certificate (RSA-2048)", "ID: 01:01"}) {
    EXPECT_NE(r.output.find(expected), std::string::npos) << expected << " in\n" << r.output;
  }
  r = run("p11tool --provider " + kModule + " --export '" + id + ";type=cert' --outfile " + file("p11.pem"), true);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(run("openssl x509 -in " + file("p11.pem") + " -outform DER -out " + file("p11.der") +
                " && openssl x509 -in " + file("p12.pem") + " -outform DER -out " + file("p12.der") + " && cmp " +
                file("p11.der") + " " + file("p12.der"))
                .status,
            0);

  r = run("openssl pkeyutl -engine pkcs11 -keyform engine -inkey '" + id + ";type=private;pin-value=1234' -sign " +
              "-pkeyopt digest:sha256 -in " + file("p12.sha256") + " -out " + file("p12.sig"),
          true);
  ASSERT_EQ(r.status, 0) << r.output;
  r = run("openssl pkeyutl -verify -certin -inkey " + file("p11.pem") + " -pkeyopt digest:sha256 -in " +
          file("p12.sha256") + " -sigfile " + file("p12.sig"));
  EXPECT_EQ(r.status, 0) << r.output;
}

// pcsc-lite counts the transactions on one handle: an inner end (the
// driver's own, around each command) does not release the card, so another
// connection waits for the outermost end (a provider's).
TEST_F(Programs, NestedTransactionsHoldTheCardUntilTheOutermostEnd) {
  using vemra::integration::Connection;
  vemra::integration::PcscStack& stack = vemra::integration::PcscStack::instance();
  Connection mine;
  Connection other;
  ASSERT_EQ(stack.connect(mine), "");
  ASSERT_EQ(stack.connect(other), "");
  const std::vector<uint8_t> select = {0x00, 0xA4, 0x04, 0x0C, 0x0C, 'V', 'E', 'M', 'R',
                                       'A',  '_',  'M',  'I',  'N',  'I', 'D', 'R'};
  const std::vector<uint8_t> done = {0x90, 0x00};
  ASSERT_EQ(stack.begin(mine), 0);  // the provider's
  ASSERT_EQ(stack.begin(mine), 0);  // the driver's, around one command
  EXPECT_EQ(stack.transmit(mine, select), done);
  ASSERT_EQ(stack.end(mine), 0);
  std::atomic<bool> otherHeld{false};
  std::thread waiting([&] {
    if (stack.begin(other) == 0) {
      otherHeld = true;
      stack.end(other);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(otherHeld) << "the inner end released the card";
  EXPECT_EQ(stack.transmit(mine, select), done) << "still held";
  ASSERT_EQ(stack.end(mine), 0);
  waiting.join();
  EXPECT_TRUE(otherHeld);
  stack.disconnect(other);
  stack.disconnect(mine);
}

// Three programs sign at once, two with one key and one with another; one
// of them ends the card's login every 50 signatures, as a program that
// finishes does. No signature is lost and each verifies with its own key.
TEST_F(Programs, ThreeProgramsSigningWithTwoKeysLoseNoSignature) {
  ASSERT_EQ(newKey("second-key").status, 0);
  const Result imported = run(importCommand("second-key", "0201"), true);
  ASSERT_EQ(imported.status, 0) << imported.output;
  struct Signer {
    std::string label;
    std::string publicKey;
    std::string dir;
    int reloginEvery;
  };
  const Signer signers[] = {{"card-key", file("pub.pem"), file("signer1"), 50},
                            {"second-key", file("second-key.pub.pem"), file("signer2"), 0},
                            {"card-key", file("pub.pem"), file("signer3"), 0}};
  constexpr int kSignatures = 200;
  std::vector<std::string> commands;
  for (const Signer& s : signers) {
    ASSERT_EQ(run("rm -rf " + s.dir + " && mkdir " + s.dir).status, 0);
    commands.push_back(worker("sign " + s.label + " " + std::to_string(kSignatures) + " " + s.dir + " " +
                              std::to_string(s.reloginEvery)));
  }
  const std::vector<Result> results = runAtOnce(commands);
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(signers[i].dir);
    EXPECT_EQ(results[i].status, 0) << results[i].output;
    const std::string publicKey = slurp(signers[i].publicKey);
    int verified = 0;
    for (int n = 0; n < kSignatures; ++n) {
      const std::string message = "message " + std::to_string(n) + " of " + signers[i].label;
      verified += verifies(publicKey, message, slurp(signers[i].dir + "/" + std::to_string(n) + ".sig"));
    }
    EXPECT_EQ(verified, kSignatures);
  }
}

// Two programs import at once: each key lands in a container of its own,
// recorded in the map under its label, and neither overwrites the other.
TEST_F(Programs, TwoProgramsImportingAtOnceGetDistinctRecordedContainers) {
  const std::string names[] = {"import-a", "import-b"};
  for (const std::string& name : names) ASSERT_EQ(newKey(name).status, 0);
  const std::vector<Result> results = runAtOnce({importCommand(names[0], "0301"), importCommand(names[1], "0401")});
  for (const Result& r : results) EXPECT_EQ(r.status, 0) << r.output;

  const std::string vemractl = VEMRA_P11_VEMRACTL;
  const std::string map = run(vemractl + " cat mscp/cmapfile").output;
  ASSERT_EQ(map.size() % 86, 0u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    int found = -1;
    for (std::size_t at = 0; at < map.size(); at += 86) {
      std::string recordName;
      for (std::size_t c = 0; c < 80 && map[at + c] != '\0'; c += 2) recordName += map[at + c];
      if ((map[at + 80] & 1) != 0 && recordName == name) found = static_cast<int>(at / 86);
    }
    ASSERT_GE(found, 0) << "recorded in the map";
    const Result key = run(vemractl + " pubkey --container " + std::to_string(found) + " --keyspec kx");
    EXPECT_EQ(key.output, slurp(file(name + ".pub.pem"))) << "the container holds this key";
  }
}

// A program that ends without C_Finalize leaves no login on the card.
TEST_F(Programs, AProgramEndingWithoutFinalizeLeavesNoLoginOnTheCard) {
  const Result ended = run(worker("login-and-exit"));
  ASSERT_EQ(ended.status, 0) << ended.output;
  const Result info = run(std::string(VEMRA_P11_VEMRACTL) + " info --json");
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_EQ(nlohmann::json::parse(info.output)["authenticated"], nlohmann::json::array()) << info.output;
}

// Last, since it replaces the card the other tests use: the module loaded
// into this process sees the card taken out and a fresh one put in.
TEST_F(Programs, CardTakenOutClosesTheSessionsAndAFreshCardIsANewToken) {
  void* library = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(library, "C_GetFunctionList"));
  ASSERT_NE(getList, nullptr);
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(getList(&f), CKR_OK);
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  ASSERT_GE(count, 1u);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  CK_UTF8CHAR pin[] = "1234";
  ASSERT_EQ(f->C_Login(session, CKU_USER, pin, 4), CKR_OK);
  CK_TOKEN_INFO info{};
  ASSERT_EQ(f->C_GetTokenInfo(slots[0], &info), CKR_OK);
  EXPECT_NE(info.flags & CKF_TOKEN_INITIALIZED, 0u);

  ASSERT_EQ(vemra::integration::PcscStack::instance().removeCard(), "");
  EXPECT_EQ(f->C_FindObjectsInit(session, nullptr, 0), CKR_DEVICE_REMOVED);
  CK_SESSION_INFO sessionInfo{};
  EXPECT_EQ(f->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
  ASSERT_EQ(vemra::integration::PcscStack::instance().insertCard(), "");

  ASSERT_EQ(f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  ASSERT_EQ(f->C_GetSessionInfo(session, &sessionInfo), CKR_OK);
  EXPECT_EQ(sessionInfo.state, CKS_RO_PUBLIC_SESSION) << "nobody is logged in on the fresh card";
  ASSERT_EQ(f->C_GetTokenInfo(slots[0], &info), CKR_OK);
  EXPECT_EQ(info.flags & CKF_TOKEN_INITIALIZED, 0u) << "the fresh card has no standard layout yet";
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
  ::dlclose(library);
}

}  // namespace

// The everyday clients authenticating with the card's key through the
// module, against servers the test starts on 127.0.0.1, with the simulated
// card behind the real pcscd: OpenSSL's s_client against s_server (TLS 1.3
// and 1.2 with default settings), GnuTLS's gnutls-cli, OpenSSH's ssh and
// ssh-agent against sshd, NSS's modutil and certutil; and the module's slot
// events. A local CA issues the card's certificate from a request the card
// signed. Without a program the test is skipped, under CI (CI set) it fails.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstdlib>

#include "event_wait.h"
#include "p11-kit/pkcs11.h"
#include "pcsc_stack.h"
#include "processes.h"

namespace vemra::p11::test {

namespace {

using namespace std::chrono_literals;

const std::string kWork = std::string(VEMRA_P11_WORKDIR) + "/clients";
const std::string kModule = VEMRA_P11_MODULE;
const std::string kPreload = VEMRA_P11_PRELOAD;
const std::string kToken = "pkcs11:model=VEMRA_MINIDR";
const std::string kKey = kToken + ";object=tls-key;type=private;pin-value=1234";
constexpr const char* kAdminKey = "0123456789ABCDEFFEDCBA98765432100123456789ABCDEF";

std::string file(const std::string& name) { return kWork + "/" + name; }
std::string quoted(const std::string& text) { return "'" + text + "'"; }

// A program that loads the module: the sanitizers' runtime first when the
// module is built with them; OpenSSL gets its engine's configuration. A
// program that hangs is stopped after `seconds`.
Outcome withModule(const std::string& command, int seconds = 60) {
  std::string prefix = kPreload;
  if (command.rfind("openssl ", 0) == 0) prefix += "OPENSSL_CONF=" + file("openssl.cnf") + " ";
  return runShell(prefix + "timeout " + std::to_string(seconds) + " " + command);
}

// Whether a GnuTLS program ended well. With the sanitizers' runtime
// preloaded, GnuTLS programs may hang in p11-kit's exit handler after their
// work is done (a rwlock of glibc's locale code found corrupted there;
// `p11tool --list-tokens` does it without this module): they are stopped by
// the timeout, and what they printed is what counts.
bool endedWell(const Outcome& r) { return r.status == 0 || (!kPreload.empty() && r.status == 124); }

Outcome plain(const std::string& command) { return runShell(command); }

// Skips the test when a program is missing, or fails it under CI.
#define REQUIRE_PROGRAMS(...)                                                              \
  do {                                                                                     \
    const std::string missing = missingPrograms({__VA_ARGS__});                            \
    if (!missing.empty()) {                                                                \
      if (std::getenv("CI") != nullptr) FAIL() << "not installed:" << missing;             \
      GTEST_SKIP() << "not installed:" << missing << " (scripts/install-deps.sh installs)"; \
    }                                                                                      \
  } while (false)

class Clients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string missing = missingPrograms({"openssl", "p11tool"});
    if (!missing.empty()) {
      failure_ = "not installed:" + missing;
      return;
    }
    failure_ = vemra::integration::PcscStack::instance().start();
    if (!failure_.empty()) return;
    ::mkdir(kWork.c_str(), 0700);
    std::ofstream(file("openssl.cnf")) << "openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n"
                                          "[engine_section]\npkcs11 = pkcs11_section\n[pkcs11_section]\n"
                                          "engine_id = pkcs11\nMODULE_PATH = "
                                       << kModule << "\ninit = 0\n";
    std::ofstream(file("server.ext")) << "subjectAltName = IP:127.0.0.1, DNS:localhost\n";
    const std::string p11tool =
        "p11tool --provider " + kModule + " --login --set-pin=1234 --write --label tls-key --id=0001 ";
    struct Step {
      std::string command;
      bool loadsModule;
    };
    const Step steps[] = {
        // The local CA and the server's certificate.
        {"openssl req -x509 -newkey rsa:2048 -nodes -keyout " + file("ca.key") + " -subj /CN=vemra-test-ca -days 2 -out " +
             file("ca.pem"), false},
        {"openssl req -newkey rsa:2048 -nodes -keyout " + file("server.key") + " -subj /CN=localhost -out " +
             file("server.csr"), false},
        {"openssl x509 -req -in " + file("server.csr") + " -CA " + file("ca.pem") + " -CAkey " + file("ca.key") +
             " -CAcreateserial -days 2 -extfile " + file("server.ext") + " -out " + file("server.pem"), false},
        // The user's key goes to the card; the card signs the request; the
        // CA's certificate of it goes to the card too.
        {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + file("user.key"), false},
        {"openssl pkey -in " + file("user.key") + " -pubout -out " + file("user.pub"), false},
        {std::string(VEMRA_P11_VEMRACTL) + " --admin-key " + kAdminKey + " --login admin init", false},
        {p11tool + "--load-privkey " + file("user.key") + " " + quoted(kToken), true},
        {"openssl req -new -engine pkcs11 -keyform engine -key " + quoted(kKey) + " -subj /CN=vemra-user -out " +
             file("user.csr"), true},
        {"openssl x509 -req -in " + file("user.csr") + " -CA " + file("ca.pem") + " -CAkey " + file("ca.key") +
             " -CAcreateserial -days 2 -out " + file("user.pem"), false},
        {p11tool + "--load-certificate " + file("user.pem") + " " + quoted(kToken), true},
    };
    for (const Step& step : steps) {
      const Outcome r = step.loadsModule ? withModule(step.command) : plain(step.command);
      if (r.status != 0) {
        failure_ = step.command + " failed:\n" + r.output;
        return;
      }
    }
  }
  static void TearDownTestSuite() { vemra::integration::PcscStack::instance().stop(); }
  void SetUp() override { ASSERT_EQ(failure_, ""); }

  static std::string failure_;
};

std::string Clients::failure_;

TEST_F(Clients, RequestSignedByTheCardVerifiesAndCarriesTheCardsKey) {
  Outcome r = plain("openssl req -verify -noout -in " + file("user.csr"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("verify OK"), std::string::npos) << r.output;
  r = plain("openssl req -pubkey -noout -in " + file("user.csr"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, slurpFile(file("user.pub")));
  // A request signed with PSS, as the card now can.
  r = withModule("openssl req -new -engine pkcs11 -keyform engine -key " + quoted(kKey) +
                 " -subj /CN=vemra-user -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -out " +
                 file("user-pss.csr"));
  ASSERT_EQ(r.status, 0) << r.output;
  r = plain("openssl req -verify -noout -text -in " + file("user-pss.csr"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Signature Algorithm: rsassaPss"), std::string::npos) << r.output;
}

// s_server's status page (-www) describes the client's side of the
// connection: its certificate and the signature it made.
Background statusServer(int port, const std::string& options, const std::string& log) {
  return Background("openssl s_server -accept 127.0.0.1:" + std::to_string(port) + " -naccept 1 -www -cert " +
                        file("server.pem") + " -key " + file("server.key") + " -CAfile " + file("ca.pem") +
                        " -Verify 1 -verify_return_error" + options,
                    file(log));
}

std::string statusPage(const std::string& clientOutput) {
  const std::size_t at = clientOutput.find("HTTP/1.0 200 ok");
  return at == std::string::npos ? "" : clientOutput.substr(at);
}

// What the clients send: a request for the status page.
std::string requestFile() {
  std::ofstream(file("get")) << "GET / HTTP/1.0\r\n\r\n";
  return " <" + file("get");
}

TEST_F(Clients, OpensslClientAuthenticatesWithTheCardsKeyOverTls13AndTls12) {
  struct Case {
    const char* protocol;
    std::string client;  // everything but the protocol's version is the program's default
  };
  const std::string engineKey = " -engine pkcs11 -keyform engine -key " + quoted(kKey) + " -cert " + file("user.pem") +
                                " -CAfile " + file("ca.pem") + " -verify_return_error -verify_hostname localhost";
  const Case cases[] = {
      {"TLSv1.3", "openssl s_client -ign_eof -tls1_3" + engineKey + " -connect 127.0.0.1:"},
      {"TLSv1.2", "openssl s_client -ign_eof -tls1_2" + engineKey + " -connect 127.0.0.1:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.client);
    const int port = freePort();
    Background server = statusServer(port, "", "s_server.log");
    ASSERT_TRUE(server.says("ACCEPT", 10s)) << server.log();
    const Outcome client = withModule(c.client + std::to_string(port) + requestFile());
    ASSERT_TRUE(server.ended(10s)) << server.log();
    const std::string log = server.log();
    EXPECT_EQ(client.status, 0) << client.output;
    // The server verified the card's certificate, and says the card signed
    // the handshake with RSA-PSS in the protocol asked for.
    EXPECT_NE(log.find("depth=0 CN = vemra-user\nverify return:1"), std::string::npos) << log;
    const std::string page = statusPage(client.output);
    EXPECT_NE(page.find(std::string("Protocol  : ") + c.protocol), std::string::npos) << client.output;
    EXPECT_NE(page.find("Peer signature type: RSA-PSS"), std::string::npos) << client.output;
    EXPECT_NE(page.find("Client certificate"), std::string::npos) << client.output;
    EXPECT_NE(page.find("Subject: CN=vemra-user"), std::string::npos) << client.output;
  }
}

TEST_F(Clients, GnutlsClientAuthenticatesWithTheCardsKeyAndCertificateOverTls13) {
  REQUIRE_PROGRAMS("gnutls-cli");
  const int port = freePort();
  Background server = statusServer(port, " -tls1_3", "s_server_gnutls.log");
  ASSERT_TRUE(server.says("ACCEPT", 10s)) << server.log();
  const Outcome client = withModule("gnutls-cli --provider " + kModule + " --x509keyfile " + quoted(kKey) +
                                    " --x509certfile " + quoted(kToken + ";object=tls-key;type=cert") +
                                    " --x509cafile " + file("ca.pem") + " --verify-hostname localhost -p " +
                                    std::to_string(port) + " 127.0.0.1" + requestFile(),
                                    15);
  ASSERT_TRUE(server.ended(10s)) << server.log();
  const std::string log = server.log();
  EXPECT_TRUE(endedWell(client)) << client.status << "\n" << client.output;
  EXPECT_NE(log.find("depth=0 CN = vemra-user\nverify return:1"), std::string::npos) << log;
  const std::string page = statusPage(client.output);
  EXPECT_NE(page.find("Protocol  : TLSv1.3"), std::string::npos) << client.output;
  EXPECT_NE(page.find("Peer signature type: RSA-PSS"), std::string::npos) << client.output;
  EXPECT_NE(page.find("Subject: CN=vemra-user"), std::string::npos) << client.output;
}

std::string userName() {
  const passwd* pw = ::getpwuid(::getuid());
  return pw != nullptr ? pw->pw_name : "root";
}

// Runs a shell script from a file, with the module's preload for every
// program in it.
Outcome script(const std::string& name, const std::string& body) {
  std::ofstream(file(name)) << "set -e\n" << body;
  return runShell(kPreload + "timeout 120 sh " + file(name));
}

TEST_F(Clients, SshLogsInWithTheCardsKeyDirectlyAndThroughTheAgent) {
  REQUIRE_PROGRAMS("ssh", "ssh-keygen", "ssh-agent", "ssh-add", "/usr/sbin/sshd");
  // The card's public key is the only authorized one.
  Outcome r = withModule("ssh-keygen -D " + kModule + " > " + file("authorized_keys"));
  ASSERT_EQ(r.status, 0) << r.output;
  r = plain("ssh-keygen -l -f " + file("authorized_keys"));
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string fingerprint = r.output.substr(r.output.find("SHA256:"), 50);
  ASSERT_EQ(plain("rm -f " + file("host_key") + " && ssh-keygen -q -t ed25519 -N '' -f " + file("host_key")).status, 0);
  std::ofstream(file("askpass")) << "#!/bin/sh\necho 1234\n";
  ::chmod(file("askpass").c_str(), 0700);
  // sshd started as root separates privileges in this directory, which
  // its system service makes.
  if (::getuid() == 0) ::mkdir("/run/sshd", 0755);

  const int port = freePort();
  Background sshd("/usr/sbin/sshd -D -e -f /dev/null -p " + std::to_string(port) + " -o ListenAddress=127.0.0.1 -h " +
                      file("host_key") + " -o AuthorizedKeysFile=" + file("authorized_keys") +
                      " -o StrictModes=no -o PidFile=none -o UsePAM=no -o PasswordAuthentication=no"
                      " -o KbdInteractiveAuthentication=no -o LogLevel=VERBOSE",
                  file("sshd.log"));
  ASSERT_TRUE(listening(port, 10s)) << sshd.log();
  const std::string ssh = "SSH_ASKPASS=" + file("askpass") +
                          " SSH_ASKPASS_REQUIRE=force DISPLAY=:0 ssh -F /dev/null -o StrictHostKeyChecking=no"
                          " -o UserKnownHostsFile=/dev/null -o PasswordAuthentication=no"
                          " -o KbdInteractiveAuthentication=no -p " + std::to_string(port) + " " + userName() +
                          "@127.0.0.1 ";

  r = script("ssh-direct.sh", ssh + "-o IdentityAgent=none -I " + kModule + " echo logged-in-with-the-card\n");
  EXPECT_EQ(r.status, 0) << r.output << sshd.log();
  EXPECT_NE(r.output.find("logged-in-with-the-card"), std::string::npos) << r.output;

  // The agent accepts the build's module only when -P names it. It is
  // setgid, so the loader drops the sanitizers' preload: its PKCS #11
  // helper gets it back through a wrapper.
  std::string agent = "eval \"$(ssh-agent -s -P " + kModule + ")\" >/dev/null\n"
                      "trap 'ssh-agent -k >/dev/null' EXIT\n";
  if (!kPreload.empty()) {
    std::ofstream(file("pkcs11-helper")) << "#!/bin/sh\nexport " << kPreload
                                         << "\nexec /usr/lib/openssh/ssh-pkcs11-helper \"$@\"\n";
    ::chmod(file("pkcs11-helper").c_str(), 0700);
    agent = "export SSH_PKCS11_HELPER=" + file("pkcs11-helper") + "\n" + agent;
  }
  r = script("ssh-agent.sh", agent + "SSH_ASKPASS=" + file("askpass") + " SSH_ASKPASS_REQUIRE=force DISPLAY=:0 ssh-add -s " +
                                 kModule + " </dev/null\nssh-add -l\n" + ssh + "echo logged-in-through-the-agent\n");
  EXPECT_EQ(r.status, 0) << r.output << sshd.log();
  EXPECT_NE(r.output.find(fingerprint), std::string::npos) << "the agent holds the card's key:\n" << r.output;
  EXPECT_NE(r.output.find("logged-in-through-the-agent"), std::string::npos) << r.output;

  // Both logins were the card's key.
  const std::string log = sshd.log();
  const std::string accepted = "Accepted publickey for " + userName() + " from 127.0.0.1";
  const std::size_t first = log.find(accepted);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(accepted, first + 1), std::string::npos) << log;
  EXPECT_NE(log.find(fingerprint), std::string::npos) << log;
}

TEST_F(Clients, NssListsTheCardsCertificateAndKey) {
  REQUIRE_PROGRAMS("modutil", "certutil");
  const std::string db = "sql:" + file("nssdb");
  ASSERT_EQ(plain("rm -rf " + file("nssdb") + " && mkdir " + file("nssdb")).status, 0);
  Outcome r = plain("certutil -N -d " + db + " --empty-password");
  ASSERT_EQ(r.status, 0) << r.output;
  r = withModule("modutil -dbdir " + db + " -add vemra -libfile " + kModule + " -force");
  ASSERT_EQ(r.status, 0) << r.output;
  // modutil -list ends with an error at a slot without a token (the
  // stack's second virtual reader); the card's slot comes before it.
  r = withModule("modutil -dbdir " + db + " -list vemra");
  EXPECT_NE(r.output.find("Token Model: VEMRA_MINIDR"), std::string::npos) << r.output;

  r = withModule("certutil -L -d " + db + " -h all");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(":tls-key"), std::string::npos) << r.output;
  std::ofstream(file("nss-pin")) << "1234\n";
  r = withModule("certutil -K -d " + db + " -h all -f " + file("nss-pin"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("rsa"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("tls-key"), std::string::npos) << r.output;
}

// Last, since it replaces the card the other tests use: the module loaded
// into this process reports the card taken out and a fresh one put in.
TEST_F(Clients, SlotEventsReportTheCardTakenOutAndPutIn) {
  void* library = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(library, "C_GetFunctionList"));
  ASSERT_NE(getList, nullptr);
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(getList(&f), CKR_OK);
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  ASSERT_EQ(f->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
  CK_SLOT_ID reader = 99;
  const std::string name = vemra::integration::PcscStack::instance().readerName();
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_SLOT_INFO info{};
    ASSERT_EQ(f->C_GetSlotInfo(slots[i], &info), CKR_OK);
    if (std::string(reinterpret_cast<char*>(info.slotDescription), sizeof info.slotDescription).rfind(name, 0) == 0) {
      reader = slots[i];
    }
  }
  ASSERT_NE(reader, 99u) << name;
  const auto tokenPresent = [&] {
    CK_SLOT_INFO info{};
    return f->C_GetSlotInfo(reader, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT) != 0;
  };
  CK_SLOT_ID slot = 99;
  EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);

  struct Step {
    const char* what;
    std::string (vemra::integration::PcscStack::*change)();
    bool present;
  };
  const Step steps[] = {{"taken out", &vemra::integration::PcscStack::removeCard, false},
                        {"put in", &vemra::integration::PcscStack::insertCard, true}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    EventWait waiting(f);
    ASSERT_FALSE(waiting.ended(300ms)) << "no event before the change";
    ASSERT_EQ((vemra::integration::PcscStack::instance().*step.change)(), "");
    ASSERT_TRUE(waiting.ended(20s));
    const auto [rv, reported] = waiting.get();
    EXPECT_EQ(rv, CKR_OK);
    EXPECT_EQ(reported, reader);
    EXPECT_EQ(tokenPresent(), step.present);
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT) << "reported once";
  }

  EventWait waiting(f);
  ASSERT_FALSE(waiting.ended(300ms));
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
  ASSERT_TRUE(waiting.ended(10s));
  EXPECT_EQ(waiting.get().first, CKR_CRYPTOKI_NOT_INITIALIZED);
  ::dlclose(library);
}

}  // namespace

}  // namespace vemra::p11::test

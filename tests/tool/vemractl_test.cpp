// vemractl run as a user runs it: a subprocess against the simulated card
// through the real pcscd and the virtual reader, its output and exit status
// checked. Every test starts with a fresh card.
#include "vemractl_fixture.h"

namespace vemra::integration {
namespace {

TEST_F(VemractlTest, ReadersShowsTheSimulatedCardInTextAndJson) {
  const Outcome text = vemractl({"readers"}, {}, "", false);
  EXPECT_OK(text);
  EXPECT_NE(text.out.find(PcscStack::instance().readerName() + "\n  ATR 3B0B56656D72614D696E694472\n  supported by the driver\n"),
            std::string::npos)
      << text.out;

  const Outcome js = vemractl({"readers", "--json"}, {}, "", false);
  EXPECT_OK(js);
  const json list = json::parse(js.out);
  bool found = false;
  for (const json& r : list) {
    if (r["reader"] != PcscStack::instance().readerName()) continue;
    found = true;
    EXPECT_EQ(r["card"], true);
    EXPECT_EQ(r["atr"], "3B0B56656D72614D696E694472");
    EXPECT_EQ(r["supported"], true);
  }
  EXPECT_TRUE(found) << js.out;
}

TEST_F(VemractlTest, InitLaysOutTheStandardFilesThatLsShows) {
  const Outcome first = vemractl({"init"}, {{"VEMRA_ADMIN_KEY", kAdminKey}});
  EXPECT_OK(first);
  EXPECT_NE(first.out.find("cardid: created, 16 bytes"), std::string::npos) << first.out;

  const Outcome root = vemractl({"ls", "--json"});
  EXPECT_OK(root);
  const json listing = json::parse(root.out);
  EXPECT_EQ(listing["files"], json::parse(R"([
    {"name": "cardid", "size": 16, "access": "everyone-read-admin-write"},
    {"name": "cardcf", "size": 6, "access": "everyone-read-user-write"},
    {"name": "cardapps", "size": 8, "access": "everyone-read-admin-write"}])"));
  EXPECT_EQ(listing["directories"], json::parse(R"(["mscp"])"));

  const Outcome mscp = vemractl({"ls", "mscp"});
  EXPECT_OK(mscp);
  EXPECT_EQ(mscp.out, "cmapfile        0  everyone-read-user-write\n");

  const Outcome apps = vemractl({"cat", "cardapps"});
  EXPECT_OK(apps);
  EXPECT_EQ(apps.out, std::string("mscp\0\0\0\0", 8));
  const Outcome cf = vemractl({"cat", "cardcf"});
  EXPECT_EQ(cf.out, std::string(6, '\0'));

  // A second init keeps what is there.
  const Outcome again = vemractl({"init"}, {{"VEMRA_ADMIN_KEY", kAdminKey}});
  EXPECT_OK(again);
  EXPECT_NE(again.out.find("cardid: exists (16 bytes), kept"), std::string::npos) << again.out;
  EXPECT_EQ(vemractl({"cat", "cardid"}).out, vemractl({"cat", "cardid"}).out);
}

TEST_F(VemractlTest, FilesAreWrittenGrownReadListedAndDeleted) {
  init();
  const std::string small = "first content\n";
  EXPECT_OK(asUser({"put", "notes"}, small));
  EXPECT_EQ(vemractl({"cat", "notes"}).out, small);

  std::string large(3000, 'x');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
  spill(file("large"), large);
  const Outcome grow = asUser({"put", "notes", "-i", file("large")});
  EXPECT_OK(grow);
  EXPECT_EQ(grow.out.substr(0, grow.out.find('\n')), "wrote notes, 3000 bytes");
  EXPECT_OK(vemractl({"cat", "notes", "-o", file("back")}));
  EXPECT_EQ(slurp(file("back")), large);

  // Every change is announced to providers' caches in cardcf.
  EXPECT_EQ(vemractl({"cat", "cardcf"}).out, std::string("\0\0\0\0\2\0", 6));

  EXPECT_OK(asUser({"mkdir", "docs"}));
  EXPECT_OK(asUser({"put", "docs/a", "--access", "user-read-write"}, "in a directory"));
  // A run leaves no login behind: the listing of a user's file logs in.
  const Outcome docs = asUser({"ls", "docs", "--json"});
  EXPECT_EQ(json::parse(docs.out)["files"],
            json::parse(R"([{"name": "a", "size": 14, "access": "user-read-write"}])"));
  // The card keeps a login until logout; without it the file is closed.
  EXPECT_OK(vemractl({"logout"}));
  EXPECT_FAILS_WITH(vemractl({"cat", "docs/a"}), "cannot read docs/a: SCARD_W_SECURITY_VIOLATION");
  EXPECT_EQ(asUser({"cat", "docs/a"}).out, "in a directory");
  EXPECT_FAILS_WITH(asUser({"rmdir", "docs"}), "cannot delete directory docs: ERROR_DIR_NOT_EMPTY: the directory is not empty");
  EXPECT_OK(asUser({"rm", "docs/a"}));
  EXPECT_OK(asUser({"rmdir", "docs"}));
  EXPECT_OK(asUser({"rm", "notes"}));
  EXPECT_FAILS_WITH(vemractl({"cat", "notes"}), "cannot read notes: SCARD_E_FILE_NOT_FOUND: no such file on the card");
  EXPECT_FAILS_WITH(vemractl({"cat", "nodir/x"}), "SCARD_E_DIR_NOT_FOUND: no such directory on the card");
}

TEST_F(VemractlTest, WrongPinsCountDownToABlockedPinThatTheAdministratorUnblocks) {
  struct Try {
    const char* pin;
    const char* message;
  };
  const Try tries[] = {
      {"9999", "user login: SCARD_W_WRONG_CHV: wrong PIN, 2 attempts left"},
      {"9999", "user login: SCARD_W_WRONG_CHV: wrong PIN, 1 attempt left"},
      {"9999", "user login: SCARD_W_WRONG_CHV: wrong PIN, 0 attempts left"},
      {kPin, "user login: SCARD_W_CHV_BLOCKED: PIN blocked"},
  };
  for (const Try& t : tries) EXPECT_FAILS_WITH(vemractl({"login", "user", "--pin", t.pin}), t.message);

  EXPECT_FAILS_WITH(vemractl({"unblock", "--new-pin", "4321"}, {{"VEMRA_ADMIN_KEY", std::string(48, '0')}}),
                    "SCARD_W_WRONG_CHV: wrong administrator key");
  EXPECT_OK(vemractl({"unblock", "--new-pin", "4321"}, {{"VEMRA_ADMIN_KEY", kAdminKey}}));
  const Outcome login = vemractl({"login", "user"}, {{"VEMRA_PIN", "4321"}});
  EXPECT_OK(login);
  EXPECT_EQ(login.out, "user logged in; the card keeps the login until logout, a reset or power-off\n");
}

TEST_F(VemractlTest, PinAndAdministratorKeyChange) {
  init();
  EXPECT_FAILS_WITH(vemractl({"change-pin", "--pin", "0000", "--new-pin", "5678"}),
                    "cannot change the PIN: SCARD_W_WRONG_CHV: wrong PIN, 2 attempts left");
  EXPECT_OK(vemractl({"change-pin", "--pin", kPin, "--new-pin", "5678"}));
  EXPECT_OK(vemractl({"login", "user", "--pin", "5678"}));
  EXPECT_FAILS_WITH(vemractl({"login", "user", "--pin", kPin}), "SCARD_W_WRONG_CHV");
  // The PIN change is announced in cardcf (PINs' counter, byte 1).
  EXPECT_EQ(vemractl({"cat", "cardcf"}).out, std::string("\0\1\0\0\0\0", 6));

  const std::string next = "00112233445566778899AABBCCDDEEFF";  // 16 bytes, extended to 24
  EXPECT_OK(vemractl({"change-admin-key", "--admin-key", kAdminKey, "--new-admin-key", next}));
  EXPECT_FAILS_WITH(vemractl({"login", "admin", "--admin-key", kAdminKey}),
                    "administrator login: SCARD_W_WRONG_CHV: wrong administrator key");
  EXPECT_OK(vemractl({"login", "admin", "--admin-key", next}));
  EXPECT_FAILS_WITH(vemractl({"login", "admin", "--admin-key", "0011"}), "an administrator key is 24 bytes (or 16) in hexadecimal");
}

TEST_F(VemractlTest, InfoReportsTheCardInJson) {
  init();
  const Outcome run = asUser({"info", "--json"});
  EXPECT_OK(run);
  const json info = json::parse(run.out);
  EXPECT_EQ(info["reader"], PcscStack::instance().readerName());
  EXPECT_EQ(info["atr"], "3B0B56656D72614D696E694472");
  EXPECT_EQ(info["maxContainers"], 8);
  EXPECT_EQ(info["freeContainers"], 8);
  EXPECT_GT(info["freeBytes"].get<int>(), 60000);
  const std::string cardid = vemractl({"cat", "cardid"}).out;
  ASSERT_EQ(cardid.size(), 16u);
  std::string hex;
  for (unsigned char c : cardid) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", c);
    hex += two;
  }
  EXPECT_EQ(info["cardIdentifier"], hex);
}

TEST_F(VemractlTest, BadArgumentsAndMissingDriverFailWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "A subcommand is required"},
      {{"frobnicate"}, "Run with --help for more information"},
      {{"cat"}, "PATH is required"},
      {{"sign", "x", "--container", "300", "--keyspec", "kx"}, "--container"},
      {{"import-key", "k.pem", "--container", "0", "--keyspec", "ecc"}, "--keyspec"},
      {{"cat", "a/b/c"}, "\"a/b/c\" is not a file path"},
      {{"--driver", "/nonexistent/libvemradrv64.so", "ls"}, "cannot load the driver /nonexistent/libvemradrv64.so"},
      {{"put", "x", "--access", "sometimes"}, "unknown access condition \"sometimes\""},
      {{"--reader", "No Such Reader", "ls"}, "no reader named \"No Such Reader\""},
      {{"login", "user"}, "no PIN given: use --pin, the environment variable VEMRA_PIN or a terminal"},
      {{"init"}, "no administrator key given: use --admin-key, the environment variable VEMRA_ADMIN_KEY"},
      {{"import-key", "/nonexistent.pem", "--container", "0", "--keyspec", "kx"}, "cannot open /nonexistent.pem"},
      {{"sign", "x", "--container", "0", "--keyspec", "kx", "--hash", "sha3"}, "--hash"},
      {{"logout", "everyone"}, "ROLE"},
  };
  for (const Case& c : cases) {
    const Outcome run = vemractl(c.args, {}, "data", false);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.message << "\n" << run.err;
  }
}

TEST_F(VemractlTest, HelpListsEveryCommand) {
  const Outcome help = vemractl({"--help"}, {}, "", false);
  EXPECT_OK(help);
  for (const char* command : {"readers", "info", "ls", "cat", "put", "mkdir", "rmdir", "rm", "login", "logout",
                              "change-pin", "unblock", "change-admin-key", "props", "init", "import-key", "pubkey",
                              "sign", "decrypt", "rm-container", "demo", "import-p12", "put-cert", "cert",
                              "rm-cert", "certs", "csr"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    EXPECT_OK(vemractl({command, "--help"}, {}, "", false));
  }
}

TEST_F(VemractlTest, KeyImportedSignsAndDecryptsAsOpensslExpects) {
  init();
  ASSERT_EQ(shell(work, "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out key.pem"), 0);
  ASSERT_EQ(shell(work, "openssl pkey -in key.pem -pubout -out expected.pem"), 0);

  const Outcome imported = asUser({"import-key", file("key.pem"), "--container", "0", "--keyspec", "kx"});
  EXPECT_OK(imported);
  EXPECT_EQ(imported.out,
            "imported a 2048-bit key-exchange key into container 0 (used under the user's PIN)\n"
            "recorded container 0 in mscp/cmapfile\n");
  // The container map records a valid, default container of a 2048-bit
  // key-exchange key, and cardcf counts one change of the containers.
  const std::string map = vemractl({"cat", "mscp/cmapfile"}).out;
  ASSERT_EQ(map.size(), 86u);
  EXPECT_EQ(map[0], '{');
  EXPECT_EQ(map.substr(80), std::string("\x03\x00\x00\x00\x00\x08", 6));
  EXPECT_EQ(vemractl({"cat", "cardcf"}).out.substr(2, 2), std::string("\1\0", 2));

  EXPECT_OK(vemractl({"pubkey", "--container", "0", "--keyspec", "kx", "-o", file("pub.pem")}));
  EXPECT_EQ(slurp(file("pub.pem")), slurp(file("expected.pem")));
  EXPECT_FAILS_WITH(vemractl({"pubkey", "--container", "0", "--keyspec", "sig"}),
                    "container 0 has no signature key");

  spill(file("message"), "a message for the card to sign");
  const Outcome signed_ = asUser({"sign", "--container", "0", "--keyspec", "kx", "--hash", "sha256",
                                   file("message"), "-o", file("sig")});
  EXPECT_OK(signed_);
  EXPECT_NE(signed_.err.find("OpenSSL verifies the signature"), std::string::npos) << signed_.err;
  ASSERT_EQ(shell(work, "openssl dgst -sha256 -binary message > digest"), 0);
  EXPECT_EQ(shell(work, "openssl pkeyutl -verify -pubin -inkey pub.pem -sigfile sig -in digest "
                        "-pkeyopt digest:sha256"),
            0);
  spill(file("other"), "another message");
  ASSERT_EQ(shell(work, "openssl dgst -sha256 -binary other > other.digest"), 0);
  EXPECT_NE(shell(work, "openssl pkeyutl -verify -pubin -inkey pub.pem -sigfile sig -in other.digest "
                        "-pkeyopt digest:sha256"),
            0);
  // PSS through the card's raw operation, salt as long as the hash.
  const Outcome pssSigned = asUser({"sign", "--container", "0", "--keyspec", "kx", "--hash", "sha384", "--pss",
                                    file("message"), "-o", file("pss.sig")});
  EXPECT_OK(pssSigned);
  EXPECT_NE(pssSigned.err.find("OpenSSL verifies the signature"), std::string::npos) << pssSigned.err;
  ASSERT_EQ(shell(work, "openssl dgst -sha384 -binary message > digest384"), 0);
  EXPECT_EQ(shell(work, "openssl pkeyutl -verify -pubin -inkey pub.pem -sigfile pss.sig -in digest384 "
                        "-pkeyopt digest:sha384 -pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:digest"),
            0);
  EXPECT_FAILS_WITH(asUser({"sign", "--container", "0", "--keyspec", "kx", "--hash", "md5", "--pss", file("message")}),
                    "PSS takes sha1, sha256, sha384 or sha512");

  struct Padding {
    const char* options;
    std::vector<std::string> flags;
  };
  const Padding paddings[] = {
      {"", {}},
      {"-pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256", {"--oaep"}},
  };
  for (const Padding& p : paddings) {
    spill(file("secret"), "the card's eyes only");
    ASSERT_EQ(shell(work, std::string("openssl pkeyutl -encrypt -pubin -inkey pub.pem -in secret -out block ") +
                              p.options),
              0);
    std::vector<std::string> args{"decrypt", "--container", "0", "--keyspec", "kx", file("block")};
    args.insert(args.end(), p.flags.begin(), p.flags.end());
    const Outcome plain = asUser(args);
    EXPECT_OK(plain);
    EXPECT_EQ(plain.out, "the card's eyes only") << p.options;
  }

  const json info = json::parse(vemractl({"info", "--json"}).out);
  EXPECT_EQ(info["containers"], json::parse(R"([{"index": 0, "keyExchangeBits": 2048}])"));
  EXPECT_EQ(info["freeContainers"], 7);

  EXPECT_OK(asUser({"rm-container", "--container", "0"}));
  EXPECT_EQ(vemractl({"cat", "mscp/cmapfile"}).out, std::string(86, '\0'));
  EXPECT_FAILS_WITH(vemractl({"pubkey", "--container", "0", "--keyspec", "kx"}),
                    "cannot read container 0: SCARD_E_NO_KEY_CONTAINER: the key container is empty");
}

TEST_F(VemractlTest, AdministratorsSignatureKeyIsRecordedBesideOtherContainers) {
  init();
  ASSERT_EQ(shell(work, "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out key.pem"), 0);
  ASSERT_EQ(shell(work, "openssl pkey -in key.pem -pubout -out expected.pem"), 0);
  const Outcome imported = vemractl({"--login", "admin", "import-key", file("key.pem"), "--container", "3",
                                     "--keyspec", "sig", "--role", "admin"},
                                    {{"VEMRA_PIN", kPin}, {"VEMRA_ADMIN_KEY", kAdminKey}});
  EXPECT_OK(imported);
  // Containers 0 to 2 stay free slots; container 3 is valid and the default.
  const std::string map = vemractl({"cat", "mscp/cmapfile"}).out;
  ASSERT_EQ(map.size(), 4 * 86u);
  EXPECT_EQ(map.substr(0, 3 * 86), std::string(3 * 86, '\0'));
  EXPECT_EQ(map.substr(3 * 86 + 80), std::string("\x03\x00\x00\x04\x00\x00", 6));
  EXPECT_EQ(vemractl({"pubkey", "--container", "3", "--keyspec", "sig"}).out, slurp(file("expected.pem")));

  spill(file("message"), "signed under the administrator");
  const Outcome signedByAdmin =
      vemractl({"--login", "admin", "sign", "--container", "3", "--keyspec", "sig", "--hash", "sha1", file("message"),
                "-o", file("sig")},
               {{"VEMRA_PIN", kPin}, {"VEMRA_ADMIN_KEY", kAdminKey}});
  EXPECT_OK(signedByAdmin);
  ASSERT_EQ(shell(work, "openssl dgst -sha1 -binary message > digest"), 0);
  EXPECT_EQ(shell(work, "openssl pkeyutl -verify -pubin -inkey expected.pem -sigfile sig -in digest "
                        "-pkeyopt digest:sha1"),
            0);
  // The raw operation serves a signature key too.
  const Outcome pssSigned =
      vemractl({"--login", "admin", "sign", "--container", "3", "--keyspec", "sig", "--hash", "sha256", "--pss",
                file("message"), "-o", file("pss.sig")},
               {{"VEMRA_PIN", kPin}, {"VEMRA_ADMIN_KEY", kAdminKey}});
  EXPECT_OK(pssSigned);
  ASSERT_EQ(shell(work, "openssl dgst -sha256 -binary message > digest256"), 0);
  EXPECT_EQ(shell(work, "openssl pkeyutl -verify -pubin -inkey expected.pem -sigfile pss.sig -in digest256 "
                        "-pkeyopt digest:sha256 -pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:digest"),
            0);
}

// The simulated card has 8 containers; its key references wrap at 256, so
// the key-exchange key of container 64 would take the reference of the
// signature key of container 0. Every command taking --container refuses an
// index past the count before it touches the card's keys.
TEST_F(VemractlTest, ContainerIndexesPastTheCardsCountAreRefused) {
  init();
  ASSERT_EQ(shell(work, "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out key.pem"), 0);
  ASSERT_EQ(shell(work, "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out other.pem"), 0);
  ASSERT_EQ(shell(work, "openssl pkey -in key.pem -pubout -out expected.pem"), 0);
  EXPECT_OK(asUser({"import-key", file("key.pem"), "--container", "0", "--keyspec", "sig"}));
  const std::string map = vemractl({"cat", "mscp/cmapfile"}).out;
  const std::string counter = vemractl({"cat", "cardcf"}).out;
  spill(file("block"), std::string(128, '\x11'));
  const std::string refusal = "container 64 is past the card's 8 key containers (0 to 7)";
  const std::vector<std::vector<std::string>> commands = {
      {"import-key", file("other.pem"), "--container", "64", "--keyspec", "kx"},
      {"pubkey", "--container", "64", "--keyspec", "kx"},
      {"sign", "--container", "64", "--keyspec", "kx", file("block")},
      {"decrypt", "--container", "64", "--keyspec", "kx", file("block")},
      {"rm-container", "--container", "64"},
  };
  for (const auto& args : commands) EXPECT_FAILS_WITH(asUser(args), refusal);
  EXPECT_FAILS_WITH(asUser({"pubkey", "--container", "8", "--keyspec", "sig"}), "container 8 is past");
  // Nothing changed: the key of container 0, the map and its counter.
  EXPECT_EQ(vemractl({"pubkey", "--container", "0", "--keyspec", "sig"}).out, slurp(file("expected.pem")));
  EXPECT_EQ(vemractl({"cat", "mscp/cmapfile"}).out, map);
  EXPECT_EQ(vemractl({"cat", "cardcf"}).out, counter);
}

TEST_F(VemractlTest, PropsAnswersEveryPropertyInJson) {
  init();
  const Outcome run = asUser({"props", "--json"});
  EXPECT_OK(run);
  const json props = json::parse(run.out);
  EXPECT_EQ(props["Key Sizes (key exchange)"]["value"],
            json::parse(R"({"minimum": 1024, "default": 2048, "maximum": 2048, "increment": 1024})"));
  EXPECT_EQ(props["PIN List"]["value"], "user, admin");
  EXPECT_EQ(props["Authenticated State"]["value"], "user");
  EXPECT_EQ(props["Card Serial Number"]["value"], "56450000123456");
  EXPECT_EQ(props["Chaining Modes"]["value"], "ChainingModeCBC");
  EXPECT_EQ(props["PIN Strength Change"]["error"], "SCARD_E_UNSUPPORTED_FEATURE");
  const json info = json::parse(vemractl({"info", "--json"}).out);
  EXPECT_EQ(props["Card Identifier"]["value"], info["cardIdentifier"]);
  EXPECT_EQ(info["authenticated"], json::array()) << "the run logged out the user it logged in";
}

// The card's login is every program's: a run logs out the roles it logged
// in for its command, whichever way the command ends; the login command
// alone leaves its login on the card.
TEST_F(VemractlTest, ARunLeavesNoLoginOnTheCardButTheLoginCommands) {
  init();
  struct Case {
    std::vector<std::string> args;
    int status;
    json authenticated;
  };
  const Case cases[] = {
      {{"--login", "admin", "ls"}, 0, json::array()},
      {{"--login", "user", "cat", "no-such-file"}, 1, json::array()},
      {{"init"}, 0, json::array()},
      {{"login", "admin"}, 0, json::parse(R"(["admin"])")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    ASSERT_OK(vemractl({"logout"}));
    const Outcome run = vemractl(c.args, {{"VEMRA_PIN", kPin}, {"VEMRA_ADMIN_KEY", kAdminKey}});
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_EQ(json::parse(vemractl({"info", "--json"}).out)["authenticated"], c.authenticated);
  }
}

TEST_F(VemractlTest, ImportKeyRefusesAContainerInUseAndUndoesAnImportItCannotRecord) {
  ASSERT_EQ(shell(work, "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out key.pem"), 0);
  const std::vector<std::string> intoOne = {"import-key", file("key.pem"), "--container", "1", "--keyspec", "sig"};
  // A key imported before the map exists is recorded nowhere, and still
  // taken.
  EXPECT_OK(asUser(intoOne));
  init();
  EXPECT_FAILS_WITH(asUser(intoOne), "container 1 is in use");
  std::vector<std::string> forced = intoOne;
  forced.push_back("--force");
  const Outcome replaced = asUser(forced);
  EXPECT_OK(replaced);
  EXPECT_NE(replaced.out.find("recorded container 1 in mscp/cmapfile"), std::string::npos) << replaced.out;
  EXPECT_FAILS_WITH(asUser(intoOne), "container 1 is in use");

  // A map only the administrator may write: the import into a free
  // container cannot be recorded, and goes again.
  const Env admin = {{"VEMRA_ADMIN_KEY", kAdminKey}};
  const std::string map = vemractl({"cat", "mscp/cmapfile"}).out;
  spill(file("map"), map);
  ASSERT_OK(vemractl({"--login", "admin", "rm", "mscp/cmapfile"}, admin));
  ASSERT_OK(vemractl(
      {"--login", "admin", "put", "mscp/cmapfile", "-i", file("map"), "--access", "everyone-read-admin-write"}, admin));
  const Outcome unrecorded = asUser({"import-key", file("key.pem"), "--container", "2", "--keyspec", "kx"});
  EXPECT_NE(unrecorded.status, 0);
  EXPECT_NE(unrecorded.out.find("undid the import: container 2 deleted"), std::string::npos) << unrecorded.out;
  EXPECT_FAILS_WITH(vemractl({"pubkey", "--container", "2", "--keyspec", "kx"}), "container 2");
  EXPECT_EQ(vemractl({"cat", "mscp/cmapfile"}).out, map);
}

}  // namespace
}  // namespace vemra::integration

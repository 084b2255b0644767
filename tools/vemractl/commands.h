// The commands of vemractl. Each writes its result to `out` and throws
// host::Error on failure.
#ifndef VEMRA_CTL_COMMANDS_H
#define VEMRA_CTL_COMMANDS_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "card.h"
#include "keys.h"
#include "text.h"

namespace vemra::ctl {

struct Options {
  std::string driver;
  std::string reader;
  std::string pin;
  std::string adminKey;
  std::string newPin;
  std::string newAdminKey;
  std::vector<std::string> login;  // roles to log in before the command
  bool json = false;
};

// The session of one run: the card is bound on first use, and the roles of
// --login are logged in then.
class Tool {
 public:
  explicit Tool(Options& options) : options_(options) {}
  // Logs out the roles this run logged in, whatever way it ends, unless
  // they were kept: the card's login is shared by every program.
  ~Tool();
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;
  // The logins outlive the run (the login command).
  void keepLogins() { keep_ = true; }
  Card& card();
  void loginUser();
  void loginAdmin();
  // The user PIN from --pin, VEMRA_PIN or a prompt, for a login elsewhere.
  Secret userPin();
  Options& options() { return options_; }
  // Adopts a card bound elsewhere (the demo's).
  void adopt(std::unique_ptr<Card> card) { card_ = std::move(card); }

 private:
  Options& options_;
  std::unique_ptr<Card> card_;
  bool user_ = false;
  bool admin_ = false;
  bool keep_ = false;
};

// "[DIR/]FILE" split into directory ("" for the root) and file name.
void splitPath(const std::string& path, std::string& dir, std::string& name);
CARD_FILE_ACCESS_CONDITION parseFileAccess(const std::string& text);
std::string fileAccessName(CARD_FILE_ACCESS_CONDITION access);
DWORD parseKeySpec(const std::string& text);
// `container` as a container index of a card with `maxContainers` key
// containers; throws, naming the count, for an index at or past it.
BYTE containerIndex(int container, DWORD maxContainers);
// The index of --container, refused at or past the card's container count.
BYTE cardContainerIndex(Tool& tool, int container);

void cmdReaders(Options& options, std::ostream& out);
void cmdInfo(Tool& tool, std::ostream& out);
void cmdLs(Tool& tool, const std::string& dir, std::ostream& out);
void cmdCat(Tool& tool, const std::string& path, const std::string& output, std::ostream& out);
void cmdPut(Tool& tool, const std::string& path, const std::string& input, const std::string& access,
            std::ostream& out);
void cmdMkdir(Tool& tool, const std::string& dir, const std::string& access, std::ostream& out);
void cmdRmdir(Tool& tool, const std::string& dir, std::ostream& out);
void cmdRm(Tool& tool, const std::string& path, std::ostream& out);
void cmdLogin(Tool& tool, const std::string& role, std::ostream& out);
void cmdLogout(Tool& tool, const std::string& role, std::ostream& out);
void cmdChangePin(Tool& tool, std::ostream& out);
void cmdUnblock(Tool& tool, std::ostream& out);
void cmdChangeAdminKey(Tool& tool, std::ostream& out);
void cmdProps(Tool& tool, std::ostream& out);
void cmdInit(Tool& tool, std::ostream& out);
// Refuses a container in use unless `force`.
void cmdImportKey(Tool& tool, const std::string& pem, int container, const std::string& keySpec,
                  const std::string& role, bool force, std::ostream& out);
void cmdPubkey(Tool& tool, int container, const std::string& keySpec, const std::string& output, std::ostream& out);
// `pss`: an RSA-PSS signature (salt as long as the hash) made by the card's
// raw operation instead of its PKCS #1 v1.5 signature.
void cmdSign(Tool& tool, int container, const std::string& keySpec, const std::string& hash, const std::string& file,
             const std::string& output, bool pss, std::ostream& out);
void cmdDecrypt(Tool& tool, int container, const std::string& keySpec, bool oaep, const std::string& file,
                const std::string& output, std::ostream& out);
void cmdRmContainer(Tool& tool, int container, std::ostream& out);

struct DemoOptions {
  std::string vcard;  // the simulated card's bridge; empty: beside the tool
  bool keep = false;
  std::string saveCard;  // with the simulated card: the file it is kept in
};
// Returns the exit status: 0 when every step did what it should.
int cmdDemo(Tool& tool, const DemoOptions& demo, std::ostream& out);

void cmdImportP12(Tool& tool, const std::string& p12, int container, const std::string& keySpec,
                  const std::string& passphraseEnv, bool force, std::ostream& out);
void cmdPutCert(Tool& tool, int container, const std::string& keySpec, const std::string& file, bool force,
                std::ostream& out);
void cmdCert(Tool& tool, int container, const std::string& keySpec, const std::string& output, bool der,
             std::ostream& out);
void cmdRmCert(Tool& tool, int container, const std::string& keySpec, std::ostream& out);
void cmdCerts(Tool& tool, std::ostream& out);
// `pss`: signed with RSASSA-PSS (SHA-256, salt as long as the hash) by the
// card's raw operation on the block OpenSSL encodes.
void cmdCsr(Tool& tool, int container, const std::string& keySpec, const std::string& subject,
            const std::string& output, bool pss, std::ostream& out);

// Helpers shared with the demo.
Bytes readAll(const std::string& path);  // "-" is standard input
// Who may read a file written: as the umask allows, or its owner alone
// (for a secret such as decrypted plaintext; an existing file is narrowed
// to that too).
enum class FileAccess { Usual, OwnerOnly };
void writeAll(const std::string& path, const Bytes& data, std::ostream& out,
              FileAccess access = FileAccess::Usual);  // "" or "-" is `out`
using host::hex;

// Key helpers shared by the key and certificate commands.
BYTE containerIndex(int container);  // throws outside 0 to 255
// The public key of a container's key of type `keyType`; throws when absent.
Pkey containerKey(Card& card, BYTE index, DWORD keyType);
// Imports a key blob into a container and records it in mscp/cmapfile.
void installKey(Card& card, BYTE index, DWORD keyType, const Secret& blob, DWORD bits, PIN_ID role, std::ostream& out);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_COMMANDS_H

// The commands of vemractl. Each writes its result to `out` and throws
// host::Error on failure.
#ifndef VEMRA_CTL_COMMANDS_H
#define VEMRA_CTL_COMMANDS_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "card.h"
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
};

// "[DIR/]FILE" split into directory ("" for the root) and file name.
void splitPath(const std::string& path, std::string& dir, std::string& name);
CARD_FILE_ACCESS_CONDITION parseFileAccess(const std::string& text);
std::string fileAccessName(CARD_FILE_ACCESS_CONDITION access);
DWORD parseKeySpec(const std::string& text);

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
void cmdImportKey(Tool& tool, const std::string& pem, int container, const std::string& keySpec,
                  const std::string& role, std::ostream& out);
void cmdPubkey(Tool& tool, int container, const std::string& keySpec, const std::string& output, std::ostream& out);
void cmdSign(Tool& tool, int container, const std::string& keySpec, const std::string& hash, const std::string& file,
             const std::string& output, std::ostream& out);
void cmdDecrypt(Tool& tool, int container, const std::string& keySpec, bool oaep, const std::string& file,
                const std::string& output, std::ostream& out);
void cmdRmContainer(Tool& tool, int container, std::ostream& out);

struct DemoOptions {
  std::string vcard;  // the simulated card's bridge; empty: beside the tool
  bool keep = false;
};
// Returns the exit status: 0 when every step did what it should.
int cmdDemo(Tool& tool, const DemoOptions& demo, std::ostream& out);

// Helpers shared with the demo.
Bytes readAll(const std::string& path);  // "-" is standard input
// Who may read a file written: as the umask allows, or its owner alone
// (for a secret such as decrypted plaintext; an existing file is narrowed
// to that too).
enum class FileAccess { Usual, OwnerOnly };
void writeAll(const std::string& path, const Bytes& data, std::ostream& out,
              FileAccess access = FileAccess::Usual);  // "" or "-" is `out`
using host::hex;

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_COMMANDS_H

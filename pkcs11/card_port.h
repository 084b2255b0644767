// What the PKCS #11 module needs of a card, as calls that return the
// minidriver interface's 32-bit codes. The module proper is written against
// this interface only; host_port.cpp implements it over the driver loaded
// as a provider, and the unit tests implement it in memory.
#ifndef VEMRA_P11_CARD_PORT_H
#define VEMRA_P11_CARD_PORT_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vemradrv/minidriver.h"

namespace vemra::p11 {

using Bytes = std::vector<uint8_t>;

// An RSA public key, both numbers most significant byte first without
// leading zero bytes.
struct RsaPublic {
  Bytes modulus;
  Bytes exponent;
};

// The public keys of one container; a key the container lacks is absent.
struct ContainerKeys {
  std::optional<RsaPublic> signature;
  std::optional<RsaPublic> keyExchange;
};

// OAEP parameters as the unpad callback takes them: the hash's name
// ("SHA1", "SHA256", "SHA384", "SHA512", also the mask generation's hash)
// and the label.
struct OaepParams {
  std::u16string hash;
  Bytes label;
};

class CardPort {
 public:
  virtual ~CardPort() = default;

  // Holds the card for this port until the matching end: another program's
  // commands wait meanwhile. Nests; the card's own calls keep working inside.
  // A reset or removal answered here is card loss.
  virtual DWORD beginTransaction() = 0;
  virtual void endTransaction() = 0;

  // Files; `dir` empty is the root.
  virtual DWORD readFile(const std::string& dir, const std::string& name, Bytes& out) = 0;
  virtual DWORD writeFile(const std::string& dir, const std::string& name, const Bytes& content) = 0;
  // Creates a file everyone reads and the user writes.
  virtual DWORD createFile(const std::string& dir, const std::string& name, DWORD size) = 0;
  virtual DWORD deleteFile(const std::string& dir, const std::string& name) = 0;

  // The card's serial number ("Card Serial Number").
  virtual DWORD serialNumber(Bytes& out) = 0;
  // The RSA key sizes the card takes, in bits.
  virtual DWORD keySizes(DWORD& minimumBits, DWORD& maximumBits) = 0;
  // The number of containers the card has room for.
  virtual DWORD maxContainers(DWORD& count) = 0;

  // Authentication. `attempts` receives the tries left when the card
  // reports them, else stays as it was.
  virtual DWORD authenticateUser(const Bytes& pin, DWORD& attempts) = 0;
  virtual DWORD challenge(Bytes& out) = 0;  // 8 bytes
  virtual DWORD answerChallenge(const Bytes& response, DWORD& attempts) = 0;
  virtual DWORD deauthenticate(PIN_SET roles) = 0;
  virtual DWORD changePin(const Bytes& current, const Bytes& next, DWORD& attempts) = 0;
  // Both take the response to a challenge fetched by the call before.
  virtual DWORD unblockPin(const Bytes& response, const Bytes& next) = 0;
  virtual DWORD changeAdminKey(const Bytes& response, const Bytes& next) = 0;

  // Containers and keys.
  virtual DWORD containerKeys(BYTE index, ContainerKeys& out) = 0;
  virtual DWORD importKey(BYTE index, DWORD keySpec, const Bytes& privateKeyBlob, DWORD bits) = 0;
  virtual DWORD deleteContainer(BYTE index) = 0;
  // Signs `data`: a hash with `hashAlg` naming it (the card prefixes its
  // DigestInfo), or with `hashAlg` 0 data sent as it is. The signature
  // comes back most significant byte first.
  virtual DWORD sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) = 0;
  // Decrypts a block of the key's size and removes `padding`
  // (CARD_PADDING_PKCS1 or CARD_PADDING_OAEP with `oaep`).
  virtual DWORD decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const OaepParams* oaep,
                        Bytes& out) = 0;
  // The raw private-key operation on a block of the key's size (below the
  // modulus), with either key type; `out` receives the whole result, most
  // significant byte first. The card is held for the whole operation.
  virtual DWORD privateKeyOperation(BYTE index, DWORD keySpec, const Bytes& block, Bytes& out) = 0;
};

struct ReaderInfo {
  std::string name;
  bool cardPresent = false;
};

// SCARD_E_CANCELLED: a wait for the readers ended by cancelWait.
constexpr DWORD kWaitCancelled = 0x80100002;

// Readers, and a card port for the card in one of them.
class Backend {
 public:
  virtual ~Backend() = default;
  // The readers; a PC/SC code when they cannot be listed (none is no
  // failure, but an empty list).
  virtual DWORD readers(std::vector<ReaderInfo>& out) = 0;
  // SCARD_E_UNKNOWN_CARD when the driver does not take the card.
  virtual DWORD connect(const std::string& reader, std::unique_ptr<CardPort>& out) = 0;
  // Blocks until the readers differ from `known` (a reader added or gone, a
  // card put in or taken out): 0 with the readers as they are now in `now`,
  // kWaitCancelled once cancelWait was called, or a PC/SC failure.
  // Called without the module's lock, from any thread.
  virtual DWORD waitForChange(const std::vector<ReaderInfo>& known, std::vector<ReaderInfo>& now) = 0;
  // Ends every wait, present and future, of this backend; from any thread.
  virtual void cancelWait() = 0;
  // How long a token's card stays held after a call, for a next call that
  // follows at once (CachedPort::setLinger); zero lets go at once.
  virtual std::chrono::milliseconds cardLinger() const { return std::chrono::milliseconds{0}; }
  // Whether what any program may read of a card is kept for the programs
  // that follow (CachedPort::keepBetweenPrograms).
  virtual bool keepsBetweenPrograms() const { return false; }
};

// Whether two lists name the same readers with the same cards, in any order.
bool sameReaders(const std::vector<ReaderInfo>& a, const std::vector<ReaderInfo>& b);

// Makes `factory` the backend of C_Initialize (the module's backend over
// pcsc-lite and the driver registers itself when the module loads).
bool registerHostBackend(std::unique_ptr<Backend> (*factory)());

// Replaces the backend that C_Initialize uses (the unit tests' in-memory
// card); nullptr restores the registered one.
void setBackendFactory(std::unique_ptr<Backend> (*factory)());

}  // namespace vemra::p11

#endif  // VEMRA_P11_CARD_PORT_H

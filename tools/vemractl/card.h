// The card as the tool sees it: the driver's entry points, called through
// the CARD_DATA slots of one session, with each failure turned into an Error
// that names the code and says what it means.
#ifndef VEMRA_CTL_CARD_H
#define VEMRA_CTL_CARD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card_store.h"
#include "provider.h"
#include "secrets.h"
#include "transaction.h"

namespace vemra::ctl {

using Bytes = std::vector<uint8_t>;

struct FileEntry {
  std::string name;
  DWORD size = 0;
  CARD_FILE_ACCESS_CONDITION access = InvalidAc;
};

struct PublicKeys {
  Bytes signature;     // PUBLICKEYBLOB of the signature key, empty when absent
  Bytes keyExchange;   // PUBLICKEYBLOB of the key-exchange key, empty when absent
};

// What a listing read of the card and took up of the record kept for it
// (Card::KeptReads).
struct KeptCardData {
  bool ready = false;   // the card's counters were read (and the record taken up)
  bool usable = false;  // ... and the card has them
  Bytes cardId;
  host::CardRecord record;
  bool added = false;  // read since the record was taken up
};

class Card {
 public:
  Card(const std::string& driverPath, const std::string& reader);

  CARD_DATA* data() { return session_.card(); }
  const std::string& readerName() const { return session_.readerName(); }
  const std::vector<uint8_t>& atr() const { return session_.atr(); }
  // The SCARDHANDLE, for holding the card over several calls.
  uintptr_t cardHandle() const { return session_.cardHandle(); }

  // The card held for this connection until the object goes: another
  // program's commands wait meanwhile. Throws when the card was reset or
  // removed (or cannot be held).
  using Hold = std::unique_ptr<host::CardTransaction>;
  [[nodiscard]] Hold hold();

  // For a listing that reads much and changes nothing, made inside a hold:
  // while it lives, what any program may read (the card identifier, the
  // map, the certificates, the public keys, the serial number, the free
  // space) comes from the record an earlier program kept of this card when
  // the card's counters in "cardcf" are those it was read under, and what
  // is read is kept for the next program (card_store.h).
  class KeptReads {
   public:
    explicit KeptReads(Card& card);
    ~KeptReads();
    KeptReads(const KeptReads&) = delete;
    KeptReads& operator=(const KeptReads&) = delete;

   private:
    static void keep(const KeptCardData& kept);
    Card& card_;
  };

  // Files and directories; `dir` empty is the root.
  Bytes readFile(const std::string& dir, const std::string& name);
  void writeFile(const std::string& dir, const std::string& name, const Bytes& content);
  void createFile(const std::string& dir, const std::string& name, DWORD size, CARD_FILE_ACCESS_CONDITION access);
  void deleteFile(const std::string& dir, const std::string& name);
  // The file's size and access condition, or nothing when it does not exist.
  std::optional<FileEntry> fileInfo(const std::string& dir, const std::string& name);
  // The names of the directory's files; empty for a directory without files.
  std::vector<std::string> listFiles(const std::string& dir);
  void createDirectory(const std::string& name, CARD_DIRECTORY_ACCESS_CONDITION access);
  void deleteDirectory(const std::string& name);
  CARD_FREE_SPACE_INFO freeSpace();

  // Authentication.
  void loginUser(const Secret& pin);
  void loginAdmin(const Secret& key24);
  void logout(PIN_SET roles);
  void changePin(const Secret& current, const Secret& next);
  void unblockPin(const Secret& adminKey24, const Secret& next);
  void changeAdminKey(const Secret& current24, const Secret& next24);

  // CardGetProperty: the driver's code; `out` holds the data on success.
  DWORD property(const std::u16string& name, DWORD flags, Bytes& out, Bytes initial = {});

  // Keys and containers.
  void importKey(BYTE index, DWORD keySpec, const Secret& privateKeyBlob, DWORD bits, PIN_ID role);
  // Throws unless the container holds at least one key.
  PublicKeys publicKeys(BYTE index);
  // The card's signature, least significant byte first as the driver hands it.
  Bytes sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& hash);
  // Decrypts a block (most significant byte first, the key's size) and
  // removes its padding through the unpad callback.
  Secret decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const std::u16string& oaepHash);
  void deleteContainer(BYTE index);

 private:
  using Kept = KeptCardData;
  // The answer named `name`: kept, else from `read` (kept when it may be).
  template <typename Read>
  host::StoredAnswer answer(const std::string& name, Read read);
  // Reads the card identifier and the counters, and takes up the record.
  void prepareKept();
  host::StoredAnswer readRaw(const std::string& dir, const std::string& name);
  DWORD propertyRaw(const std::u16string& name, DWORD flags, Bytes& out, Bytes initial);
  // This process changes the card: nothing kept holds, here or for others.
  void forgetKept();

  host::Session session_;
  std::optional<Kept> kept_;
};

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_CARD_H

// What the module keeps of a token between calls, so that each thing is read
// from the card once: the card identifier, the container map, each
// container's public keys, each certificate file, the serial number, the
// key sizes and the number of containers. Only what any program may read
// is kept; PINs, login state and anything a key operation returns pass
// straight through.
//
// The rule the platform's providers follow keeps the copy honest: a program
// that changes the card bumps a counter in "cardcf". The kept data serves
// only while the card is held (from the outermost beginTransaction to its
// endTransaction, which pass on to the card's port). In a hold that follows
// one whose reads were kept, the first read that kept data could serve
// reads "cardcf" once and drops everything when the counters differ from
// those the data was read under; the counters of a hold's own reads are
// read once, just before the card is let go. Without a hold, and on a card
// without "cardcf", every read goes to the card. This process's own writes
// drop everything too; a reset or removal drops the whole token with this
// port.
//
// With a linger (setLinger), the card stays held for a moment after the
// outermost end: a call that follows at once (a program's next step)
// continues the same hold, with nothing to check, and a logout followed at
// once by a login with the same PIN (as some programs do between
// sessions) sends neither. Nobody else can reach the card meanwhile, and it
// is let go, logged out when a logout is pending, by release() when the
// time is up, when the hold has lasted its longest, or with the port.
#ifndef VEMRA_P11_CACHED_PORT_H
#define VEMRA_P11_CACHED_PORT_H

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "card_port.h"
#include "card_store.h"
#include "locked_secret.h"

namespace vemra::p11 {

// A kept answer of the card: its code (success or "not there") and the data.
template <typename T>
struct KeptAnswer {
  DWORD rc = 0;
  T value{};
};

class CachedPort final : public CardPort {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CachedPort(std::unique_ptr<CardPort> card) : card_(std::move(card)) {}
  // Lets go of a card still held past the last call.
  ~CachedPort() override;
  CachedPort(const CachedPort&) = delete;
  CachedPort& operator=(const CachedPort&) = delete;

  // How long the card stays held after the outermost end, and how long one
  // hold may last before an end lets go at once. Zero (the default) lets
  // go at every outermost end.
  void setLinger(std::chrono::milliseconds linger, std::chrono::milliseconds longest);
  // When release() is due: nothing while a call holds the card or when it
  // is not held.
  std::optional<Clock::time_point> releaseDue() const;
  // Lets go of a card held past the last call: reads the counters when the
  // hold's reads are to be kept, and sends a pending logout first.
  void release();
  // Keeps what was read for the programs that follow too (card_store.h),
  // under the card identifier read through this port: a card's record is
  // taken up when the identifier is first read, if the card's counters are
  // those it was read under, and written when the card is let go.
  void keepBetweenPrograms(bool on) { store_ = on; }

  // Holds the card (nesting); a new outermost hold checks "cardcf" again
  // at its first read that kept data could serve.
  DWORD beginTransaction() override;
  void endTransaction() override;

  DWORD readFile(const std::string& dir, const std::string& name, Bytes& out) override;
  DWORD writeFile(const std::string& dir, const std::string& name, const Bytes& content) override;
  DWORD createFile(const std::string& dir, const std::string& name, DWORD size) override;
  DWORD deleteFile(const std::string& dir, const std::string& name) override;
  DWORD serialNumber(Bytes& out) override;
  DWORD keySizes(DWORD& minimumBits, DWORD& maximumBits) override;
  DWORD maxContainers(DWORD& count) override;
  DWORD authenticateUser(const Bytes& pin, DWORD& attempts) override;
  DWORD challenge(Bytes& out) override;
  DWORD answerChallenge(const Bytes& response, DWORD& attempts) override;
  DWORD deauthenticate(PIN_SET roles) override;
  DWORD changePin(const Bytes& current, const Bytes& next, DWORD& attempts) override;
  DWORD unblockPin(const Bytes& response, const Bytes& next) override;
  DWORD changeAdminKey(const Bytes& response, const Bytes& next) override;
  DWORD containerKeys(BYTE index, ContainerKeys& out) override;
  DWORD importKey(BYTE index, DWORD keySpec, const Bytes& privateKeyBlob, DWORD bits) override;
  DWORD deleteContainer(BYTE index) override;
  DWORD sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) override;
  DWORD decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const OaepParams* oaep,
                Bytes& out) override;
  DWORD privateKeyOperation(BYTE index, DWORD keySpec, const Bytes& block, Bytes& out) override;

 private:
  // 0 when kept data may serve now (`usable_` says whether it does), else
  // the failure to report instead of reading.
  DWORD fresh();
  // After this process changed the card: nothing kept is trusted, and the
  // next read checks "cardcf" again.
  void changed();
  void drop();
  bool keepsAnything() const;
  // The card identifier was read: reads the counters and takes up the
  // card's record when they match.
  void attach(const Bytes& cardId);
  void merge(const host::CardRecord& record);
  // Writes what is kept, with the counters it was read under.
  void save() noexcept;
  void saveRecord();
  // The card's port for a command: a logout left pending is sent first.
  CardPort& card();
  // Ends the card's hold for good: counters read when due, pending logout
  // sent, the transaction ended.
  void letGo();

  std::unique_ptr<CardPort> card_;
  int depth_ = 0;            // nested holds that began
  bool lingering_ = false;   // the card held with no call holding it
  bool checked_ = false;     // the first read of this hold happened
  bool usable_ = false;      // ... and kept data may serve
  bool countersDue_ = false;     // kept reads of this hold wait for "cardcf"
  std::optional<Bytes> cardcf_;  // the counters the kept data was read under
  std::chrono::milliseconds linger_{0};
  std::chrono::milliseconds longest_{0};
  Clock::time_point heldSince_{};
  Clock::time_point releaseAt_{};
  // A logout of these roles not sent yet, and the user PIN verified in
  // this hold (to recognise a login that undoes it).
  std::optional<PIN_SET> pendingLogout_;
  LockedSecret verifiedPin_;
  bool store_ = false;             // kept between programs too
  std::optional<Bytes> cardId_;    // the record's key
  bool added_ = false;             // kept since the record was written
  std::map<std::string, std::optional<KeptAnswer<Bytes>>> files_;
  std::map<BYTE, std::optional<KeptAnswer<ContainerKeys>>> keys_;
  std::optional<KeptAnswer<Bytes>> serial_;
  std::optional<KeptAnswer<std::pair<DWORD, DWORD>>> keySizes_;
  std::optional<KeptAnswer<DWORD>> maxContainers_;
};

}  // namespace vemra::p11

#endif  // VEMRA_P11_CACHED_PORT_H

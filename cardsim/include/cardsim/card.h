// A software model of the card application "VEMRA_MINIDR": an ISO/IEC 7816-4
// file system with PINs, an administrator key and RSA key files, answering
// T=0 command APDUs the way the minidriver expects. See cardsim/README.md for
// the card's behaviour, its default personalisation and its access rules.
#ifndef VEMRA_CARDSIM_CARD_H
#define VEMRA_CARDSIM_CARD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cardsim/timing.h"

namespace vemra::cardsim {

// TS 3B, T0 0B (no interface bytes, 11 historical bytes), "VemraMiniDr".
inline constexpr std::array<uint8_t, 13> kDefaultAtr = {0x3B, 0x0B, 'V', 'e', 'm', 'r', 'a',
                                                        'M',  'i',  'n', 'i', 'D', 'r'};

// The user PIN "1234" and the serial number a default card leaves the factory with.
inline constexpr std::array<uint8_t, 4> kDefaultUserPin = {'1', '2', '3', '4'};
inline constexpr std::array<uint8_t, 8> kDefaultSerialNumber = {0x56, 0x45, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78};

// Everything that makes one card differ from another when it leaves the
// factory. The defaults describe the card that README.md documents.
struct CardConfig {
  std::vector<uint8_t> atr{kDefaultAtr.begin(), kDefaultAtr.end()};
  std::string applicationName = "VEMRA_MINIDR";
  uint16_t applicationFid = 0x5000;
  bool withApplication = true;  // false: a card of another kind, without the application
  bool personalised = true;     // false: the application lacks the directory table and root file table 0

  // Data object 00 B1: eight big-endian 16-bit values.
  uint16_t dirTableFid = 0xD000;
  uint16_t dirFidBase = 0xD100;
  uint16_t fileTableFidBase = 0xF100;
  uint16_t fileFidBase = 0xA000;
  uint16_t kxKeyFidBase = 0xB000;
  uint16_t sigKeyFidBase = 0xB100;
  uint16_t reservedWord1 = 0;
  uint16_t reservedWord2 = 0;
  // Data object 00 B2.
  uint8_t dirTableRecords = 8;
  uint8_t maxContainers = 8;
  uint8_t fileTableRecords = 8;
  // Data object 00 B3.
  uint8_t kxKeyRefBase = 0x20;
  uint8_t sigKeyRefBase = 0x60;
  uint8_t userPinRef = 0x01;
  uint8_t adminPinRef = 0x03;
  uint8_t userAccess = 0x10;
  uint8_t reservedByte = 0x00;

  // Credentials. The PIN is 4 to 8 bytes; the card keeps it padded with 0x00 to 8.
  std::vector<uint8_t> userPin{kDefaultUserPin.begin(), kDefaultUserPin.end()};
  uint8_t userPinMaxTries = 3;
  // Two-key triple-DES key K1 || K2 of the administrator.
  std::array<uint8_t, 16> adminKey{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                   0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  uint8_t adminKeyMaxTries = 3;

  // Bytes of storage for files; the free part is reported under A5/82 of the
  // application's control parameters (capped at 0xFFFF).
  uint32_t memoryCapacity = 64000;
  std::vector<uint8_t> serialNumber{kDefaultSerialNumber.begin(), kDefaultSerialNumber.end()};

  // How long a real card would take (cardsim/timing.h). The card itself
  // answers at once; vemra-vcard waits for the modelled time. Off by default.
  TimingProfile timing{};
};

// A test's replacement for the card's answer to chosen commands. A command
// matches when it begins with `prefix` (for instance CLA INS P1 P2); with
// `nth` = 0 every match is affected, otherwise only the nth match (1-based),
// counted per override. The first override that applies wins.
struct Override {
  enum class Kind {
    Status,      // answer `sw` alone; the command runs on the card only if `execute`
    Replace,     // answer `bytes` verbatim (data and status); runs only if `execute`
    Truncate,    // run the command, keep at most `length` data bytes of its answer
    Extend,      // run the command, append `bytes` to its answer's data
    Announce61,  // run the command, announce its data with 61xx for GET RESPONSE
    Demand6C,    // answer 6C `length` without running the command
  };
  std::vector<uint8_t> prefix;
  unsigned nth = 0;
  Kind kind = Kind::Status;
  uint16_t sw = 0x9000;
  std::vector<uint8_t> bytes;
  std::size_t length = 0;
  bool execute = false;

  static Override status(std::vector<uint8_t> prefix, uint16_t sw, unsigned nth = 0);
  static Override replace(std::vector<uint8_t> prefix, std::vector<uint8_t> answer, unsigned nth = 0);
  static Override truncate(std::vector<uint8_t> prefix, std::size_t keep, unsigned nth = 0);
  static Override extend(std::vector<uint8_t> prefix, std::vector<uint8_t> extra, unsigned nth = 0);
  static Override announce61(std::vector<uint8_t> prefix, unsigned nth = 0);
  static Override demand6C(std::vector<uint8_t> prefix, uint8_t length, unsigned nth = 0);
};

// The card. A new card is powered and reset, as if just inserted. Every
// command gets an answer (response data followed by SW1 SW2); malformed
// commands get ISO status words. Calls are serialised internally.
class Card {
 public:
  explicit Card(CardConfig config = {});
  ~Card();
  Card(Card&&) noexcept;
  Card& operator=(Card&&) noexcept;
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  std::vector<uint8_t> atr() const;
  void setAtr(std::vector<uint8_t> atr);
  // Power on and reset clear every security status, the challenge, the
  // session PIN, the security environment and any pending response; the MF
  // becomes the current DF. A powered-off card answers nothing (an empty vector).
  void powerOn();
  void reset();
  void powerOff();
  bool powered() const;

  std::vector<uint8_t> transmit(std::span<const uint8_t> command);
  // What the last command made the card do (a private-key operation, a
  // write), for the timing model; nothing for a command that failed.
  CommandWork lastWork() const;

  void addOverride(Override override);
  void clearOverrides();

  const CardConfig& config() const;
  // Free memory as the card reports it under A5/82.
  uint16_t freeMemory() const;

  // The persistent state (configuration, files, keys, PINs and retry
  // counters) as JSON. Loading throws std::runtime_error on malformed input;
  // the loaded card is powered and reset.
  std::string toJson() const;
  static Card fromJson(const std::string& json);
  void saveFile(const std::string& path) const;
  static Card loadFile(const std::string& path);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_CARD_H

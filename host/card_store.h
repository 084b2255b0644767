// Public data of a card kept between programs, so that a program need not
// read again what an earlier one read: entries by name, each a code
// (success, or that the thing is not on the card) and its bytes, valid
// while the card's "cardcf" holds the counters they were read under (every
// program that changes the card bumps them).
//
// One file per card identifier in the user's cache directory
// ($XDG_CACHE_HOME/vemradrv, else $HOME/.cache/vemradrv), readable by its
// owner only, written whole under a temporary name and renamed into place.
// Nothing is read or written in a process running with privileges its user
// lacks (the variables are read with secure_getenv), nor with
// $VEMRA_CARD_CACHE set to "off". Only what any program may read of the
// card belongs here: never a PIN, a login state or a key operation's result.
#ifndef VEMRA_HOST_CARD_STORE_H
#define VEMRA_HOST_CARD_STORE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vemra::host {

struct StoredAnswer {
  uint32_t code = 0;
  std::vector<uint8_t> data;
  bool operator==(const StoredAnswer&) const = default;
};

struct CardRecord {
  std::vector<uint8_t> counters;  // "cardcf" as read
  std::map<std::string, StoredAnswer> entries;
  bool operator==(const CardRecord&) const = default;
};

// Whether a file of the standard layout is one any program may read and
// keep: the card identifier, the container map and the certificates.
bool publicCardFile(const std::string& dir, const std::string& name);

// Answers worth keeping: the data, or that the thing is not on the card
// (file, directory or key container).
bool keepableAnswer(uint32_t code);

// The file's bytes, and back; nothing for bytes that are not exactly a
// record (wrong tag, a length beyond the end, bytes left over, too large).
std::vector<uint8_t> encodeCardRecord(const CardRecord& record);
std::optional<CardRecord> decodeCardRecord(const std::vector<uint8_t>& bytes);

// Where the card's record is kept; nothing when no record is to be kept
// (see above) or for an identifier that is empty or longer than 32 bytes.
std::optional<std::string> cardRecordPath(const std::vector<uint8_t>& cardId);
// The card's record; nothing when there is none or it cannot be trusted to
// be one (not a regular file of this user, not a record).
std::optional<CardRecord> loadCardRecord(const std::vector<uint8_t>& cardId);
// Keeps the record; a failure leaves what was there (or nothing).
void saveCardRecord(const std::vector<uint8_t>& cardId, const CardRecord& record);
// Removes the card's record: this process is about to change the card.
void forgetCardRecord(const std::vector<uint8_t>& cardId);

}  // namespace vemra::host

#endif  // VEMRA_HOST_CARD_STORE_H

// The certificates of the card's keys: read and written as the certificate
// commands and the demo do, and listed as info and certs show them.
#ifndef VEMRA_CTL_CERT_LISTING_H
#define VEMRA_CTL_CERT_LISTING_H

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "card.h"

namespace vemra::ctl {

// "mscp/kxcNN" or "mscp/kscNN".
std::string certificatePath(BYTE index, DWORD keyType);

// The DER certificate of a container's key, from a plain or compressed
// file; nothing when there is no file. Throws for a file that is neither.
std::optional<Bytes> readCertificate(Card& card, BYTE index, DWORD keyType);

// Writes the certificate file of a container's key (compressed when the
// card takes compressed certificates), replacing what is there, and bumps
// the files' counter of cardcf. Refused before anything is written when the
// card has no room; a failed write leaves the card as it was.
void writeCertificate(Card& card, BYTE index, DWORD keyType, const Bytes& der, std::ostream& out);

// The containers in use and their public keys, in index order. Asked of
// the card one by one until as many are found as the free space counts in
// use, so that the unused ones after the last are not asked for. Throws
// for a failure other than an empty container.
std::vector<std::pair<BYTE, PublicKeys>> containersInUse(Card& card, const CARD_FREE_SPACE_INFO& space);

// One container as the listings show it: its index, the size of each key,
// and for each key with a certificate file an entry with the file, the
// subject, issuer, validity and whether it certifies the key (or an "error"
// when the file cannot be read or parsed).
nlohmann::json containerEntry(Card& card, BYTE index, const PublicKeys& keys);

// One line per certificate of a container entry, for people: the key, the
// file, subject, issuer, validity and whether it certifies the key.
void printCertificates(const nlohmann::json& container, const std::string& indent, std::ostream& out);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_CERT_LISTING_H

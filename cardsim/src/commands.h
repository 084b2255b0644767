// The command handlers of the simulated card, grouped by subject. Each takes
// the parsed command and returns the answer before T=0 framing.
#ifndef VEMRA_CARDSIM_COMMANDS_H
#define VEMRA_CARDSIM_COMMANDS_H

#include "apdu.h"
#include "state.h"

namespace vemra::cardsim {

// File system (fs_commands.cpp).
Reply selectFile(CardState& s, const Apdu& a);
Reply readBinary(CardState& s, const Apdu& a);
Reply updateBinary(CardState& s, const Apdu& a);
Reply readRecord(CardState& s, const Apdu& a);
Reply updateRecord(CardState& s, const Apdu& a);
Reply appendRecord(CardState& s, const Apdu& a);
Reply createFile(CardState& s, const Apdu& a);
Reply deleteFile(CardState& s, const Apdu& a);
Reply activateFile(CardState& s, const Apdu& a);
Reply getData(CardState& s, const Apdu& a);
Reply serialNumber(CardState& s, const Apdu& a);

// PINs and the administrator (security.cpp).
Reply verify(CardState& s, const Apdu& a);
Reply sessionVerify(CardState& s, const Apdu& a);
Reply deauthenticate(CardState& s, const Apdu& a);
Reply getChallenge(CardState& s, const Apdu& a);
Reply externalAuthenticate(CardState& s, const Apdu& a);
Reply resetRetryCounter(CardState& s, const Apdu& a);
Reply changeReferenceData(CardState& s, const Apdu& a);
Reply setPin(CardState& s, const Apdu& a);

// Keys (keys.cpp). `stream` is the whole data of a chain.
Reply loadKey(CardState& s, const Apdu& a, std::span<const uint8_t> stream);
Reply readPublicKey(CardState& s, const Apdu& a);
Reply manageSecurityEnvironment(CardState& s, const Apdu& a);
Reply computeSignature(CardState& s, const Apdu& a);
Reply decipher(CardState& s, const Apdu& a, std::span<const uint8_t> stream);
// Checks made on every piece of a chained key load or decryption, so that a
// refused chain stops at its first piece.
uint16_t checkKeyLoadPiece(const CardState& s);
uint16_t checkDecipherPiece(const CardState& s);

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_COMMANDS_H

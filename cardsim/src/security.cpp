// PINs and the administrator: VERIFY and its probe, the session-PIN VERIFY,
// deauthentication, GET CHALLENGE / EXTERNAL AUTHENTICATE, RESET RETRY
// COUNTER, CHANGE REFERENCE DATA and the PIN-set command.
#include <algorithm>

#include "commands.h"
#include "crypto.h"

namespace vemra::cardsim {

namespace {

Credential* credentialFor(CardState& s, uint8_t ref) {
  if (ref == s.config.userPinRef) return &s.user;
  if (ref == s.config.adminPinRef) return &s.admin;
  return nullptr;
}

// Compares without stopping at the first difference.
bool sameSecret(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  uint8_t diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

Reply succeed(Credential& c) {
  c.triesLeft = c.maxTries;
  c.authenticated = true;
  return Reply::ok();
}

// A wrong PIN or response: one try less, the reference no longer verified.
Reply fail(Credential& c) {
  if (c.triesLeft > 0) --c.triesLeft;
  c.authenticated = false;
  return Reply::status(sw::triesLeft(c.triesLeft));
}

Reply presentPin(Credential& c, std::span<const uint8_t> block) {
  if (c.blocked()) return Reply::status(sw::kBlocked);
  return sameSecret(block, c.secret) ? succeed(c) : fail(c);
}

// New reference data: the retry counter starts afresh.
void replaceSecret(CardState& s, Credential& c, std::span<const uint8_t> secret) {
  c.secret.assign(secret.begin(), secret.end());
  c.triesLeft = c.maxTries;
  if (&c == &s.user) s.sessionPin.reset();
}

}  // namespace

Reply verify(CardState& s, const Apdu& a) {
  if (a.p1 != 0x00) return Reply::status(sw::kWrongP1P2);
  Credential* c = credentialFor(s, a.p2);
  if (c == nullptr) return Reply::status(sw::kReferenceNotFound);
  if (!a.hasData()) {
    if (a.p3 != 0) return Reply::status(sw::kWrongLength);
    if (c->blocked()) return Reply::status(sw::kBlocked);
    return Reply::status(c->authenticated ? sw::kOk : sw::triesLeft(c->triesLeft));
  }
  // The administrator proves itself with a key, never with a PIN block.
  if (c == &s.admin) return Reply::status(sw::kReferenceNotUsable);
  if (a.data.size() != 8) return Reply::status(sw::kWrongLength);
  return presentPin(*c, a.data);
}

Reply sessionVerify(CardState& s, const Apdu& a) {
  Credential* c = credentialFor(s, a.p2);
  if (c == nullptr) return Reply::status(sw::kReferenceNotFound);
  if (c == &s.admin) return Reply::status(sw::kReferenceNotUsable);
  if (a.p1 > 0x02) return Reply::status(sw::kWrongP1P2);
  if (a.data.size() != 8) return Reply::status(sw::kWrongLength);
  if (a.p1 == 0x00) return presentPin(*c, a.data);
  if (a.p1 == 0x01) {
    Reply r = presentPin(*c, a.data);
    if (r.sw != sw::kOk) return r;
    std::array<uint8_t, 8> pin{};
    crypto::randomFill(pin);
    s.sessionPin = pin;
    return Reply::withData({pin.begin(), pin.end()});
  }
  if (c->blocked()) return Reply::status(sw::kBlocked);
  if (!s.sessionPin) return Reply::status(sw::kConditionsNotSatisfied);
  return sameSecret(a.data, *s.sessionPin) ? succeed(*c) : fail(*c);
}

Reply deauthenticate(CardState& s, const Apdu& a) {
  if (a.hasData() || a.p3 != 0) return Reply::status(sw::kWrongLength);
  if (a.p2 != 0x00) return Reply::status(sw::kWrongP1P2);
  // Logging out a reference that holds no credential leaves nothing logged
  // in, which is what the command asks for.
  if (a.p1 == 0x00 || a.p1 == s.config.userPinRef) s.user.authenticated = false;
  if (a.p1 == 0x00 || a.p1 == s.config.adminPinRef) s.admin.authenticated = false;
  return Reply::ok();
}

Reply getChallenge(CardState& s, const Apdu& a) {
  if (a.hasData()) return Reply::status(sw::kWrongLength);
  if (a.p1 != 0x00 || a.p2 != 0x00) return Reply::status(sw::kWrongP1P2);
  if (a.p3 != 8) return Reply::status(0x6C08);
  std::array<uint8_t, 8> challenge{};
  crypto::randomFill(challenge);
  s.challenge = challenge;
  return Reply::withData({challenge.begin(), challenge.end()});
}

Reply externalAuthenticate(CardState& s, const Apdu& a) {
  if (a.p1 != 0x00) return Reply::status(sw::kWrongP1P2);
  Credential* c = credentialFor(s, a.p2);
  if (c == nullptr) return Reply::status(sw::kReferenceNotFound);
  if (c != &s.admin) return Reply::status(sw::kReferenceNotUsable);
  if (a.data.size() != 8) return Reply::status(sw::kWrongLength);
  // A challenge answers at most one EXTERNAL AUTHENTICATE.
  const auto challenge = s.challenge;
  s.challenge.reset();
  if (c->blocked()) return Reply::status(sw::kBlocked);
  if (!challenge) return Reply::status(sw::kConditionsNotSatisfied);
  const auto expected =
      crypto::tdesEncrypt(std::span<const uint8_t, 16>(c->secret.data(), 16), std::span<const uint8_t, 8>(*challenge));
  return sameSecret(a.data, expected) ? succeed(*c) : fail(*c);
}

Reply resetRetryCounter(CardState& s, const Apdu& a) {
  if (a.p1 != 0x03) return Reply::status(sw::kWrongP1P2);
  if (a.hasData() || a.p3 != 0) return Reply::status(sw::kWrongLength);
  Credential* c = credentialFor(s, a.p2);
  if (c == nullptr) return Reply::status(sw::kReferenceNotFound);
  if (!s.admin.authenticated) return Reply::status(sw::kSecurityNotSatisfied);
  c->triesLeft = c->maxTries;
  return Reply::ok();
}

Reply changeReferenceData(CardState& s, const Apdu& a) {
  if (a.p1 != 0x01) return Reply::status(sw::kWrongP1P2);
  Credential* c = credentialFor(s, a.p2);
  if (c == nullptr) return Reply::status(sw::kReferenceNotFound);
  const std::size_t expected = c == &s.admin ? 16 : 8;
  if (a.data.size() != expected) return Reply::status(sw::kWrongLength);
  if (!s.admin.authenticated) return Reply::status(sw::kSecurityNotSatisfied);
  replaceSecret(s, *c, a.data);
  return Reply::ok();
}

Reply setPin(CardState& s, const Apdu& a) {
  Credential* c = credentialFor(s, a.p2);
  if (c == nullptr) return Reply::status(sw::kReferenceNotFound);
  if (c == &s.admin) return Reply::status(sw::kReferenceNotUsable);
  if (a.data.size() != 8) return Reply::status(sw::kWrongLength);
  if (!s.admin.authenticated && !c->authenticated) return Reply::status(sw::kSecurityNotSatisfied);
  replaceSecret(s, *c, a.data);
  return Reply::ok();
}

}  // namespace vemra::cardsim

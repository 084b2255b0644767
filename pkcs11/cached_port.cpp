#include "cached_port.h"

#include "module.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vemra::p11 {

namespace {

bool keepable(DWORD rc) { return host::keepableAnswer(rc); }

// Serves `out` from `kept` when it may, else reads the card and keeps the
// answer when it may. `out` changes only on success, as on the card.
template <typename T, typename Read>
DWORD serve(bool usable, std::optional<KeptAnswer<T>>& kept, T& out, bool& added, Read read) {
  if (usable && kept) {
    if (kept->rc == 0) out = kept->value;
    return kept->rc;
  }
  T value{};
  const DWORD rc = read(value);
  if (rc == 0) out = value;
  if (usable && keepable(rc)) {
    kept = KeptAnswer<T>{rc, std::move(value)};
    added = true;
  }
  return rc;
}

// The stored forms of what is kept: a container's public keys (for each
// key a presence byte, then modulus and exponent with two-byte lengths),
// key sizes and counts as little-endian words.
void putNumber(Bytes& out, const Bytes& number) {
  out.push_back(static_cast<uint8_t>(number.size() >> 8));
  out.push_back(static_cast<uint8_t>(number.size()));
  out.insert(out.end(), number.begin(), number.end());
}

Bytes encodeKeys(const ContainerKeys& keys) {
  Bytes out;
  for (const std::optional<RsaPublic>* key : {&keys.signature, &keys.keyExchange}) {
    out.push_back(key->has_value() ? 1 : 0);
    if (!key->has_value()) continue;
    putNumber(out, (*key)->modulus);
    putNumber(out, (*key)->exponent);
  }
  return out;
}

bool takeNumber(const Bytes& in, std::size_t& at, Bytes& number) {
  if (in.size() - at < 2) return false;
  const std::size_t length = static_cast<std::size_t>(in[at]) << 8 | in[at + 1];
  at += 2;
  if (in.size() - at < length) return false;
  number.assign(in.begin() + static_cast<std::ptrdiff_t>(at), in.begin() + static_cast<std::ptrdiff_t>(at + length));
  at += length;
  return true;
}

std::optional<ContainerKeys> decodeKeys(const Bytes& in) {
  ContainerKeys keys;
  std::size_t at = 0;
  for (std::optional<RsaPublic>* key : {&keys.signature, &keys.keyExchange}) {
    if (at >= in.size() || in[at] > 1) return std::nullopt;
    if (in[at++] == 0) continue;
    RsaPublic rsa;
    if (!takeNumber(in, at, rsa.modulus) || !takeNumber(in, at, rsa.exponent)) return std::nullopt;
    *key = std::move(rsa);
  }
  if (at != in.size()) return std::nullopt;
  return keys;
}

Bytes encodeWords(std::initializer_list<DWORD> words) {
  Bytes out;
  for (DWORD w : words) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return out;
}

std::optional<std::vector<DWORD>> decodeWords(const Bytes& in, std::size_t count) {
  if (in.size() != 4 * count) return std::nullopt;
  std::vector<DWORD> words(count);
  for (std::size_t i = 0; i < in.size(); ++i) words[i / 4] |= static_cast<DWORD>(in[i]) << (8 * (i % 4));
  return words;
}

constexpr const char* kFilePrefix = "file:";
constexpr const char* kKeysPrefix = "keys:";

}  // namespace

CachedPort::~CachedPort() {
  if (depth_ != 0 || !lingering_) return;
  countersDue_ = false;  // no counters read for this process's sake alone
  letGo();
}

void CachedPort::setLinger(std::chrono::milliseconds linger, std::chrono::milliseconds longest) {
  linger_ = linger;
  longest_ = longest;
}

std::optional<CachedPort::Clock::time_point> CachedPort::releaseDue() const {
  if (depth_ != 0 || !lingering_) return std::nullopt;
  return releaseAt_;
}

void CachedPort::release() {
  if (depth_ == 0 && lingering_) letGo();
}

DWORD CachedPort::beginTransaction() {
  if (depth_ == 0 && lingering_) {
    // Still held since the last call: the same hold goes on, and what was
    // checked in it stays checked.
    lingering_ = false;
    ++depth_;
    return 0;
  }
  const DWORD rc = card_->beginTransaction();
  if (rc != 0) return rc;
  if (depth_++ == 0) {
    checked_ = false;
    usable_ = false;
    countersDue_ = false;
    heldSince_ = Clock::now();
  }
  return 0;
}

void CachedPort::endTransaction() {
  if (depth_ == 0) return;
  if (--depth_ > 0) {
    card_->endTransaction();
    return;
  }
  const Clock::time_point now = Clock::now();
  if (linger_.count() > 0 && now - heldSince_ < longest_) {
    lingering_ = true;
    releaseAt_ = now + linger_;
    return;
  }
  letGo();
}

void CachedPort::letGo() {
  if (countersDue_ && keepsAnything()) {
    Bytes cf;
    if (card().readFile("", "cardcf", cf) == 0) {
      cardcf_ = std::move(cf);
    } else {
      drop();
    }
  }
  countersDue_ = false;
  save();
  (void)card();  // a pending logout goes before the card does
  verifiedPin_.clear();
  lingering_ = false;
  checked_ = false;
  usable_ = false;
  card_->endTransaction();
}

CardPort& CachedPort::card() {
  if (pendingLogout_) {
    const PIN_SET roles = *pendingLogout_;
    pendingLogout_.reset();
    verifiedPin_.clear();
    (void)card_->deauthenticate(roles);
  }
  return *card_;
}

DWORD CachedPort::fresh() {
  if (depth_ == 0 && !lingering_) return 0;  // the card not held: straight to it
  if (checked_) return 0;
  checked_ = true;
  if (!cardcf_) {
    // Nothing kept from an earlier hold: this hold's reads are kept, and
    // the counters they were read under are read before the card goes.
    drop();
    usable_ = true;
    countersDue_ = true;
    return 0;
  }
  Bytes cf;
  const DWORD rc = card().readFile("", "cardcf", cf);
  if (rc != 0) {
    // No counters to check against: nothing is kept. A lost card is
    // reported by the read in hand.
    drop();
    return removal(rc) ? rc : 0;
  }
  if (*cardcf_ != cf) {
    drop();
    cardcf_ = std::move(cf);
  }
  usable_ = true;
  return 0;
}

bool CachedPort::keepsAnything() const {
  const auto kept = [](const auto& entries) {
    return std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.second.has_value(); });
  };
  return kept(files_) || kept(keys_) || serial_ || keySizes_ || maxContainers_;
}

void CachedPort::drop() {
  cardcf_.reset();
  files_.clear();
  keys_.clear();
  serial_.reset();
  keySizes_.reset();
  maxContainers_.reset();
  usable_ = false;
}

void CachedPort::changed() {
  drop();
  checked_ = false;
  if (store_ && cardId_) host::forgetCardRecord(*cardId_);
}

void CachedPort::attach(const Bytes& cardId) {
  if (!host::cardRecordPath(cardId)) {
    store_ = false;  // nowhere to keep a record: nothing to read the counters for
    return;
  }
  cardId_ = cardId;
  if (depth_ == 0 && !lingering_) return;
  // The counters now: what this hold keeps was read under them, and a
  // record of another program is good when it was read under them too.
  Bytes cf;
  if (card().readFile("", "cardcf", cf) != 0) return;
  if (cardcf_ && *cardcf_ != cf) drop();
  cardcf_ = cf;
  usable_ = true;
  checked_ = true;
  countersDue_ = false;
  if (const auto record = host::loadCardRecord(cardId); record && record->counters == cf) merge(*record);
}

void CachedPort::merge(const host::CardRecord& record) {
  const auto answer = [](const host::StoredAnswer& a, auto value) {
    return std::optional<KeptAnswer<decltype(value)>>(KeptAnswer<decltype(value)>{a.code, std::move(value)});
  };
  for (const auto& [name, stored] : record.entries) {
    if (!keepable(stored.code) || (stored.code != 0 && !stored.data.empty())) continue;
    if (name.starts_with(kFilePrefix)) {
      auto& kept = files_[name.substr(std::strlen(kFilePrefix))];
      if (!kept) kept = answer(stored, stored.data);
    } else if (const std::string digits = name.substr(std::min(name.size(), std::strlen(kKeysPrefix)));
               name.starts_with(kKeysPrefix) && !digits.empty() && digits.size() <= 3 &&
               std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      const unsigned long index = std::strtoul(digits.c_str(), nullptr, 10);
      const auto keys = stored.code == 0 ? decodeKeys(stored.data) : std::optional<ContainerKeys>(ContainerKeys{});
      if (index > 255 || !keys) continue;
      auto& kept = keys_[static_cast<BYTE>(index)];
      if (!kept) kept = answer(stored, *keys);
    } else if (name == "serial" && !serial_) {
      serial_ = answer(stored, stored.data);
    } else if (name == "keySizes" && !keySizes_) {
      const auto words = stored.code == 0 ? decodeWords(stored.data, 2) : std::vector<DWORD>{0, 0};
      if (words) keySizes_ = answer(stored, std::pair<DWORD, DWORD>{(*words)[0], (*words)[1]});
    } else if (name == "maxContainers" && !maxContainers_) {
      const auto words = stored.code == 0 ? decodeWords(stored.data, 1) : std::vector<DWORD>{0};
      if (words) maxContainers_ = answer(stored, (*words)[0]);
    }
  }
}

void CachedPort::save() noexcept {
  if (!store_ || !cardId_ || !cardcf_ || !added_) return;
  added_ = false;
  // Keeping is a saving, never a failure: a record that cannot be made is
  // not made (this runs when the card is let go, also from destructors).
  try {
    saveRecord();
  } catch (...) {
  }
}

void CachedPort::saveRecord() {
  host::CardRecord record;
  record.counters = *cardcf_;
  // What another program kept under the same counters stays.
  if (auto stored = host::loadCardRecord(*cardId_); stored && stored->counters == record.counters) record = *stored;
  for (const auto& [path, kept] : files_) {
    if (kept) record.entries[kFilePrefix + path] = {kept->rc, kept->value};
  }
  for (const auto& [index, kept] : keys_) {
    if (kept) record.entries[kKeysPrefix + std::to_string(index)] = {kept->rc, kept->rc == 0 ? encodeKeys(kept->value) : Bytes{}};
  }
  if (serial_) record.entries["serial"] = {serial_->rc, serial_->value};
  if (keySizes_) {
    record.entries["keySizes"] = {keySizes_->rc, encodeWords({keySizes_->value.first, keySizes_->value.second})};
  }
  if (maxContainers_) record.entries["maxContainers"] = {maxContainers_->rc, encodeWords({maxContainers_->value})};
  host::saveCardRecord(*cardId_, record);
}

DWORD CachedPort::readFile(const std::string& dir, const std::string& name, Bytes& out) {
  if (!host::publicCardFile(dir, name)) return card().readFile(dir, name, out);
  if (const DWORD rc = fresh(); rc != 0) return rc;
  const bool identifier = dir.empty() && name == "cardid";
  const bool fromCard = !(usable_ && files_[dir + "/" + name]);
  const DWORD rc = serve(usable_, files_[dir + "/" + name], out, added_,
                         [&](Bytes& value) { return card().readFile(dir, name, value); });
  if (identifier && fromCard && rc == 0 && store_ && !cardId_) attach(out);
  return rc;
}

DWORD CachedPort::containerKeys(BYTE index, ContainerKeys& out) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, keys_[index], out, added_, [&](ContainerKeys& value) { return card().containerKeys(index, value); });
}

DWORD CachedPort::serialNumber(Bytes& out) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, serial_, out, added_, [&](Bytes& value) { return card().serialNumber(value); });
}

DWORD CachedPort::keySizes(DWORD& minimumBits, DWORD& maximumBits) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  std::pair<DWORD, DWORD> sizes{minimumBits, maximumBits};
  const DWORD rc = serve(usable_, keySizes_, sizes, added_, [&](std::pair<DWORD, DWORD>& value) {
    return card().keySizes(value.first, value.second);
  });
  if (rc == 0) std::tie(minimumBits, maximumBits) = sizes;
  return rc;
}

DWORD CachedPort::maxContainers(DWORD& count) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, maxContainers_, count, added_, [&](DWORD& value) { return card().maxContainers(value); });
}

// What changes the card goes straight to it, and nothing kept is trusted after.
DWORD CachedPort::writeFile(const std::string& dir, const std::string& name, const Bytes& content) {
  changed();
  return card().writeFile(dir, name, content);
}

DWORD CachedPort::createFile(const std::string& dir, const std::string& name, DWORD size) {
  changed();
  return card().createFile(dir, name, size);
}

DWORD CachedPort::deleteFile(const std::string& dir, const std::string& name) {
  changed();
  return card().deleteFile(dir, name);
}

DWORD CachedPort::importKey(BYTE index, DWORD keySpec, const Bytes& privateKeyBlob, DWORD bits) {
  changed();
  return card().importKey(index, keySpec, privateKeyBlob, bits);
}

DWORD CachedPort::deleteContainer(BYTE index) {
  changed();
  return card().deleteContainer(index);
}

DWORD CachedPort::changePin(const Bytes& current, const Bytes& next, DWORD& attempts) {
  changed();
  verifiedPin_.clear();
  return card().changePin(current, next, attempts);
}

DWORD CachedPort::unblockPin(const Bytes& response, const Bytes& next) {
  changed();
  verifiedPin_.clear();
  return card().unblockPin(response, next);
}

DWORD CachedPort::changeAdminKey(const Bytes& response, const Bytes& next) {
  changed();
  verifiedPin_.clear();
  return card().changeAdminKey(response, next);
}

// Logins and key operations are never kept. A login with the PIN verified
// in this hold, while its logout is pending, is the card's state already.
DWORD CachedPort::authenticateUser(const Bytes& pin, DWORD& attempts) {
  if (pendingLogout_ && verifiedPin_.equals(pin)) {
    pendingLogout_.reset();
    return 0;
  }
  const DWORD rc = card().authenticateUser(pin, attempts);
  const bool held = depth_ > 0 || lingering_;
  if (rc == 0 && held && linger_.count() > 0) {
    if (!verifiedPin_.assign(pin.data(), pin.size())) verifiedPin_.clear();
  } else {
    verifiedPin_.clear();
  }
  return rc;
}
DWORD CachedPort::challenge(Bytes& out) { return card().challenge(out); }
DWORD CachedPort::answerChallenge(const Bytes& response, DWORD& attempts) {
  verifiedPin_.clear();  // another role's login: logouts are sent as asked
  return card().answerChallenge(response, attempts);
}
// A logout while the card is held after the user's login in this hold
// waits until the card is let go or another command is sent.
DWORD CachedPort::deauthenticate(PIN_SET roles) {
  if ((depth_ > 0 || lingering_) && !verifiedPin_.empty()) {
    pendingLogout_ = pendingLogout_.value_or(0) | roles;
    return 0;
  }
  verifiedPin_.clear();
  return card().deauthenticate(roles);
}
DWORD CachedPort::sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) {
  return card().sign(index, keySpec, hashAlg, data, signature);
}
DWORD CachedPort::privateKeyOperation(BYTE index, DWORD keySpec, const Bytes& block, Bytes& out) {
  return card().privateKeyOperation(index, keySpec, block, out);
}
DWORD CachedPort::decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const OaepParams* oaep,
                          Bytes& out) {
  return card().decrypt(index, keySpec, block, padding, oaep, out);
}

}  // namespace vemra::p11

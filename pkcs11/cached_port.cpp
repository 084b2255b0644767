#include "cached_port.h"

#include "module.h"

#include <algorithm>

namespace vemra::p11 {

namespace {

// Answers worth keeping: the data, or that the thing is not on the card.
bool keepable(DWORD rc) {
  return rc == 0 || rc == SCARD_E_FILE_NOT_FOUND || rc == SCARD_E_DIR_NOT_FOUND || rc == SCARD_E_NO_KEY_CONTAINER;
}

// The files any program may read that the module reads again and again:
// the card identifier, the container map and the certificates.
bool publicFile(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name == "cardid";
  if (dir != "mscp") return false;
  return name == "cmapfile" || (name.size() == 5 && (name.starts_with("kxc") || name.starts_with("ksc")));
}

// Serves `out` from `kept` when it may, else reads the card and keeps the
// answer when it may. `out` changes only on success, as on the card.
template <typename T, typename Read>
DWORD serve(bool usable, std::optional<KeptAnswer<T>>& kept, T& out, Read read) {
  if (usable && kept) {
    if (kept->rc == 0) out = kept->value;
    return kept->rc;
  }
  T value{};
  const DWORD rc = read(value);
  if (rc == 0) out = value;
  if (usable && keepable(rc)) kept = KeptAnswer<T>{rc, std::move(value)};
  return rc;
}

}  // namespace

CachedPort::~CachedPort() {
  if (depth_ != 0 || !lingering_) return;
  countersDue_ = false;  // nothing is kept past the port
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
}

DWORD CachedPort::readFile(const std::string& dir, const std::string& name, Bytes& out) {
  if (!publicFile(dir, name)) return card().readFile(dir, name, out);
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, files_[dir + "/" + name], out,
               [&](Bytes& value) { return card().readFile(dir, name, value); });
}

DWORD CachedPort::containerKeys(BYTE index, ContainerKeys& out) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, keys_[index], out, [&](ContainerKeys& value) { return card().containerKeys(index, value); });
}

DWORD CachedPort::serialNumber(Bytes& out) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, serial_, out, [&](Bytes& value) { return card().serialNumber(value); });
}

DWORD CachedPort::keySizes(DWORD& minimumBits, DWORD& maximumBits) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  std::pair<DWORD, DWORD> sizes{minimumBits, maximumBits};
  const DWORD rc = serve(usable_, keySizes_, sizes, [&](std::pair<DWORD, DWORD>& value) {
    return card().keySizes(value.first, value.second);
  });
  if (rc == 0) std::tie(minimumBits, maximumBits) = sizes;
  return rc;
}

DWORD CachedPort::maxContainers(DWORD& count) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, maxContainers_, count, [&](DWORD& value) { return card().maxContainers(value); });
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

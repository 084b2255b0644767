#include "cached_port.h"

#include "module.h"

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

DWORD CachedPort::beginTransaction() {
  const DWORD rc = card_->beginTransaction();
  if (rc != 0) return rc;
  if (depth_++ == 0) {
    checked_ = false;
    usable_ = false;
  }
  return 0;
}

void CachedPort::endTransaction() {
  if (depth_ == 0) return;
  card_->endTransaction();
  if (--depth_ > 0) return;
  checked_ = false;
  usable_ = false;
}

DWORD CachedPort::fresh() {
  if (depth_ == 0) return 0;  // the card not held: straight to it
  if (checked_) return 0;
  checked_ = true;
  Bytes cf;
  const DWORD rc = card_->readFile("", "cardcf", cf);
  if (rc != 0) {
    // No counters to check against: nothing is kept. A lost card is
    // reported by the read in hand.
    drop();
    return removal(rc) ? rc : 0;
  }
  if (!cardcf_ || *cardcf_ != cf) {
    drop();
    cardcf_ = std::move(cf);
  }
  usable_ = true;
  return 0;
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
  if (!publicFile(dir, name)) return card_->readFile(dir, name, out);
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, files_[dir + "/" + name], out,
               [&](Bytes& value) { return card_->readFile(dir, name, value); });
}

DWORD CachedPort::containerKeys(BYTE index, ContainerKeys& out) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, keys_[index], out, [&](ContainerKeys& value) { return card_->containerKeys(index, value); });
}

DWORD CachedPort::serialNumber(Bytes& out) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, serial_, out, [&](Bytes& value) { return card_->serialNumber(value); });
}

DWORD CachedPort::keySizes(DWORD& minimumBits, DWORD& maximumBits) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  std::pair<DWORD, DWORD> sizes{minimumBits, maximumBits};
  const DWORD rc = serve(usable_, keySizes_, sizes, [&](std::pair<DWORD, DWORD>& value) {
    return card_->keySizes(value.first, value.second);
  });
  if (rc == 0) std::tie(minimumBits, maximumBits) = sizes;
  return rc;
}

DWORD CachedPort::maxContainers(DWORD& count) {
  if (const DWORD rc = fresh(); rc != 0) return rc;
  return serve(usable_, maxContainers_, count, [&](DWORD& value) { return card_->maxContainers(value); });
}

// What changes the card goes straight to it, and nothing kept is trusted after.
DWORD CachedPort::writeFile(const std::string& dir, const std::string& name, const Bytes& content) {
  changed();
  return card_->writeFile(dir, name, content);
}

DWORD CachedPort::createFile(const std::string& dir, const std::string& name, DWORD size) {
  changed();
  return card_->createFile(dir, name, size);
}

DWORD CachedPort::deleteFile(const std::string& dir, const std::string& name) {
  changed();
  return card_->deleteFile(dir, name);
}

DWORD CachedPort::importKey(BYTE index, DWORD keySpec, const Bytes& privateKeyBlob, DWORD bits) {
  changed();
  return card_->importKey(index, keySpec, privateKeyBlob, bits);
}

DWORD CachedPort::deleteContainer(BYTE index) {
  changed();
  return card_->deleteContainer(index);
}

DWORD CachedPort::changePin(const Bytes& current, const Bytes& next, DWORD& attempts) {
  changed();
  return card_->changePin(current, next, attempts);
}

DWORD CachedPort::unblockPin(const Bytes& response, const Bytes& next) {
  changed();
  return card_->unblockPin(response, next);
}

DWORD CachedPort::changeAdminKey(const Bytes& response, const Bytes& next) {
  changed();
  return card_->changeAdminKey(response, next);
}

// Logins and key operations are never kept.
DWORD CachedPort::authenticateUser(const Bytes& pin, DWORD& attempts) { return card_->authenticateUser(pin, attempts); }
DWORD CachedPort::challenge(Bytes& out) { return card_->challenge(out); }
DWORD CachedPort::answerChallenge(const Bytes& response, DWORD& attempts) {
  return card_->answerChallenge(response, attempts);
}
DWORD CachedPort::deauthenticate(PIN_SET roles) { return card_->deauthenticate(roles); }
DWORD CachedPort::sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) {
  return card_->sign(index, keySpec, hashAlg, data, signature);
}
DWORD CachedPort::privateKeyOperation(BYTE index, DWORD keySpec, const Bytes& block, Bytes& out) {
  return card_->privateKeyOperation(index, keySpec, block, out);
}
DWORD CachedPort::decrypt(BYTE index, DWORD keySpec, const Bytes& block, DWORD padding, const OaepParams* oaep,
                          Bytes& out) {
  return card_->decrypt(index, keySpec, block, padding, oaep, out);
}

}  // namespace vemra::p11

// RSA keys: the chained key load, the public-key read, MANAGE SECURITY
// ENVIRONMENT, COMPUTE DIGITAL SIGNATURE and the chained raw decryption.
#include <algorithm>

#include "commands.h"
#include "crypto.h"

namespace vemra::cardsim {

namespace {

uint16_t currentKeyFile(const CardState& s, Node*& out) {
  if (s.currentEf == nullptr) return sw::kNoCurrentEf;
  if (s.currentEf->kind != FileKind::Key) return sw::kFileIncompatible;
  out = s.currentEf;
  return sw::kOk;
}

Node* keyIn(const Node* df, uint8_t ref) {
  if (df == nullptr) return nullptr;
  for (const auto& c : df->children) {
    if (c->kind == FileKind::Key && c->keyRef == ref) return c.get();
  }
  return nullptr;
}

// The key file that a key reference names: one of the current DF's key
// files, else one of the application's.
Node* keyByReference(const CardState& s, uint8_t ref) {
  if (Node* k = keyIn(s.currentDf, ref)) return k;
  return keyIn(s.application(), ref);
}

// The key that the security environment names, ready for `op`.
uint16_t environmentKey(const CardState& s, Access op, Node*& out) {
  if (!s.seKeyRef) return sw::kConditionsNotSatisfied;
  Node* k = keyByReference(s, *s.seKeyRef);
  if (k == nullptr) return sw::kReferenceNotFound;
  if (uint16_t st = s.check(*k, op); st != sw::kOk) return st;
  if (!k->key) return sw::kConditionsNotSatisfied;
  out = k;
  return sw::kOk;
}

}  // namespace

uint16_t checkKeyLoadPiece(const CardState& s) {
  Node* k = nullptr;
  if (uint16_t st = currentKeyFile(s, k); st != sw::kOk) return st;
  return s.check(*k, Access::KeyLoad);
}

uint16_t checkDecipherPiece(const CardState& s) {
  Node* k = nullptr;
  return environmentKey(s, Access::Decipher, k);
}

Reply loadKey(CardState& s, const Apdu&, std::span<const uint8_t> stream) {
  if (uint16_t st = checkKeyLoadPiece(s); st != sw::kOk) return Reply::status(st);
  Node& file = *s.currentEf;
  const std::size_t k = file.keyBytes();
  if (stream.size() != 8 + 2 * k) return Reply::status(sw::kWrongLength);
  Reader r(stream);
  std::span<const uint8_t> zeros;
  std::span<const uint8_t> e;
  std::span<const uint8_t> n;
  std::span<const uint8_t> d;
  if (!r.take(4, zeros) || !r.take(4, e) || !r.take(k, n) || !r.take(k, d)) {
    return Reply::status(sw::kWrongLength);
  }
  const uint32_t exponent = (static_cast<uint32_t>(e[0]) << 24) | (e[1] << 16) | (e[2] << 8) | e[3];
  const bool wellFormed = std::ranges::all_of(zeros, [](uint8_t b) { return b == 0; }) && exponent >= 3 &&
                          (exponent & 1) != 0 && n[0] != 0 && (n[k - 1] & 1) != 0 &&
                          std::ranges::any_of(d, [](uint8_t b) { return b != 0; }) &&
                          std::ranges::lexicographical_compare(d, n);
  if (!wellFormed) return Reply::status(sw::kWrongData);
  // The pair must work together: 2^e^d mod n gives 2 back, which catches a
  // key sent in the wrong byte order or cut in the wrong place.
  const std::vector<uint8_t> two{0x02};
  const auto c = crypto::modExp(two, e, n, false);
  const auto m = c ? crypto::modExp(*c, d, n, true) : std::nullopt;
  if (!m || m->back() != 0x02 || !std::all_of(m->begin(), m->end() - 1, [](uint8_t b) { return b == 0; })) {
    return Reply::status(sw::kWrongData);
  }
  RsaKey key;
  key.modulus.assign(n.begin(), n.end());
  std::copy(e.begin(), e.end(), key.exponent.begin());
  key.privateExponent.assign(d.begin(), d.end());
  file.key = std::move(key);
  return Reply::ok();
}

Reply readPublicKey(CardState& s, const Apdu& a) {
  if (a.hasData()) return Reply::status(sw::kWrongLength);
  if (a.p2 != 0x00 || (a.p1 != 0x01 && a.p1 != 0x02)) return Reply::status(sw::kWrongP1P2);
  Node* k = nullptr;
  if (uint16_t st = currentKeyFile(s, k); st != sw::kOk) return Reply::status(st);
  if (uint16_t st = s.check(*k, Access::PublicRead); st != sw::kOk) return Reply::status(st);
  if (!k->key) return Reply::status(sw::kReferenceNotFound);
  if (a.p1 == 0x02) return Reply::withData(k->key->modulus);
  std::vector<uint8_t> field{0, 0, 0, 0};
  field.insert(field.end(), k->key->exponent.begin(), k->key->exponent.end());
  return Reply::withData(std::move(field));
}

Reply manageSecurityEnvironment(CardState& s, const Apdu& a) {
  if (a.p1 == 0xF3) {
    if (a.hasData() || a.p3 != 0) return Reply::status(sw::kWrongLength);
    if (a.p2 != 0x00) return Reply::status(sw::kReferenceNotFound);
    s.seKeyRef.reset();
    return Reply::ok();
  }
  if ((a.p1 & 0x0F) != 0x01 || (a.p2 != 0xB6 && a.p2 != 0xB8 && a.p2 != 0xA4)) {
    return Reply::status(sw::kWrongP1P2);
  }
  if (!a.hasData()) return Reply::status(sw::kWrongLength);
  Reader r(a.data);
  bool haveRef = false;
  uint8_t ref = 0;
  while (!r.empty()) {
    uint8_t tag = 0;
    std::span<const uint8_t> v;
    if (!r.tlv(tag, v)) return Reply::status(sw::kWrongData);
    if ((tag == 0x84 || tag == 0x83) && v.size() == 1) {
      ref = v[0];
      haveRef = true;
    }
  }
  if (!haveRef) return Reply::status(sw::kWrongData);
  if (keyByReference(s, ref) == nullptr) return Reply::status(sw::kReferenceNotFound);
  s.seKeyRef = ref;
  return Reply::ok();
}

Reply computeSignature(CardState& s, const Apdu& a) {
  if (a.p1 != 0x9E || a.p2 != 0x9A) return Reply::status(sw::kWrongP1P2);
  if (!a.hasData()) return Reply::status(sw::kWrongLength);
  Node* k = nullptr;
  if (uint16_t st = environmentKey(s, Access::Sign, k); st != sw::kOk) return Reply::status(st);
  const std::size_t size = k->keyBytes();
  if (a.data.size() + 11 > size) return Reply::status(sw::kWrongLength);
  // PKCS #1 v1.5 signature block: 00 01 FF … FF 00 data.
  std::vector<uint8_t> block(size, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[size - a.data.size() - 1] = 0x00;
  std::ranges::copy(a.data, block.end() - static_cast<std::ptrdiff_t>(a.data.size()));
  auto signature = crypto::modExp(block, k->key->privateExponent, k->key->modulus, true);
  if (!signature) return Reply::status(sw::kWrongData);
  return Reply::withData(std::move(*signature));
}

Reply decipher(CardState& s, const Apdu&, std::span<const uint8_t> stream) {
  Node* k = nullptr;
  if (uint16_t st = environmentKey(s, Access::Decipher, k); st != sw::kOk) return Reply::status(st);
  if (stream.size() != k->keyBytes()) return Reply::status(sw::kWrongLength);
  auto plain = crypto::modExp(stream, k->key->privateExponent, k->key->modulus, true);
  if (!plain) return Reply::status(sw::kWrongData);
  return Reply::withData(std::move(*plain));
}

}  // namespace vemra::cardsim

// Helpers shared by the simulator's tests: hex, T=0 completion as a host
// would do it, logins, templates and RSA keys made once per test binary.
#ifndef VEMRA_CARDSIM_TEST_UTIL_H
#define VEMRA_CARDSIM_TEST_UTIL_H

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cardsim/card.h"

namespace vemra::cardsim::test {

using Bytes = std::vector<uint8_t>;

inline Bytes h(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline uint16_t sw(const Bytes& r) { return r.size() < 2 ? 0 : static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back()); }
inline Bytes dataOf(const Bytes& r) { return r.size() < 2 ? Bytes{} : Bytes(r.begin(), r.end() - 2); }

// A command with data: header, Lc, data.
inline Bytes cmd(const std::string& header, const Bytes& data) {
  Bytes c = h(header);
  c.push_back(static_cast<uint8_t>(data.size()));
  return cat(c, data);
}

struct Answer {
  Bytes data;
  uint16_t sw = 0;
};

// Sends a command and completes 61xx and 6Cxx as the driver's exchange does.
inline Answer run(Card& card, Bytes command) {
  Bytes r = card.transmit(command);
  for (int guard = 0; guard < 8 && r.size() == 2; ++guard) {
    if (r[0] == 0x61) {
      r = card.transmit(Bytes{0x00, 0xC0, 0x00, 0x00, r[1]});
    } else if (r[0] == 0x6C && command.size() == 5) {
      command[4] = r[1];
      r = card.transmit(command);
    } else {
      break;
    }
  }
  return {dataOf(r), sw(r)};
}
inline Answer run(Card& card, const std::string& hex) { return run(card, h(hex)); }

inline const Bytes kAppName = {'V', 'E', 'M', 'R', 'A', '_', 'M', 'I', 'N', 'I', 'D', 'R'};

inline uint16_t selectApp(Card& card) { return run(card, cmd("00 A4 04 0C", kAppName)).sw; }

inline Bytes pinBlock(const std::string& pin) {
  Bytes b(pin.begin(), pin.end());
  b.resize(8, 0x00);
  return b;
}

inline uint16_t verifyUser(Card& card, const std::string& pin = "1234", uint8_t ref = 0x01) {
  Bytes c = h("00 20 00");
  c.push_back(ref);
  c.push_back(0x08);
  return run(card, cat(c, pinBlock(pin))).sw;
}

// The administrator's response: the challenge under two-key triple-DES,
// computed here with OpenSSL's two-key cipher.
inline Bytes adminResponse(const Bytes& key16, const Bytes& challenge) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  Bytes out(16);
  int n = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_des_ede_ecb(), nullptr, key16.data(), nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &n, challenge.data(), 8), 1);
  out.resize(8);
  return out;
}

inline Bytes defaultAdminKey() { return h("0123456789ABCDEF FEDCBA9876543210"); }

inline uint16_t authenticateAdmin(Card& card, const Bytes& key = defaultAdminKey(), uint8_t ref = 0x03) {
  Answer c = run(card, "00 84 00 00 08");
  EXPECT_EQ(c.sw, 0x9000);
  Bytes header = h("00 82 00");
  header.push_back(ref);
  header.push_back(0x08);
  return run(card, cat(header, adminResponse(key, c.data))).sw;
}

// The driver's templates with their values put in.
inline Bytes dataEfTemplate(uint16_t fid, uint16_t size, uint8_t read, uint8_t write) {
  Bytes t = h("62 16 80 02 00 0A 82 01 01 83 02 FF FF 86 06 FF FF FF FF FF FF 8A 01 05");
  t[4] = static_cast<uint8_t>(size >> 8);
  t[5] = static_cast<uint8_t>(size);
  t[11] = static_cast<uint8_t>(fid >> 8);
  t[12] = static_cast<uint8_t>(fid);
  t[17] = t[19] = write;
  t[18] = read;
  return t;
}

inline Bytes fileTableTemplate(uint16_t fid, uint8_t records, uint8_t read, uint8_t write) {
  Bytes t = h("62 15 80 02 00 58 82 03 02 C1 0B 83 02 F1 00 86 06 FF FF FF FF FF FF");
  t[5] = static_cast<uint8_t>(records * 11);
  t[13] = static_cast<uint8_t>(fid >> 8);
  t[14] = static_cast<uint8_t>(fid);
  t[20] = read;
  t[21] = write;
  return t;
}

inline Bytes dfTemplate(uint16_t fid, uint8_t access) {
  Bytes t = h("62 16 80 01 00 82 01 38 83 02 FF FF 86 05 FF FF FF FF FF A5 03 8A 01 FF");
  t[10] = static_cast<uint8_t>(fid >> 8);
  t[11] = static_cast<uint8_t>(fid);
  t[16] = t[18] = access;
  return t;
}

inline Bytes keyFileTemplate(uint16_t fid, uint8_t a, uint8_t p, bool bits1024, uint8_t keyRef) {
  Bytes t = h("62 27 82 01 11 83 02 FF FF 86 0A FF FF FF FF FF FF FF FF FF FF 8A 01 05"
              " A5 0F 85 01 24 86 01 8F 87 01 FF 88 01 FF 89 01 0F");
  t[7] = static_cast<uint8_t>(fid >> 8);
  t[8] = static_cast<uint8_t>(fid);
  t[13] = a;
  t[14] = t[15] = t[19] = p;
  t[18] = 0x00;
  t[28] = bits1024 ? 0x22 : 0x24;
  t[34] = t[37] = keyRef;
  return t;
}

inline uint16_t create(Card& card, const Bytes& fcp) { return run(card, cmd("00 E0 00 00", fcp)).sw; }

struct RsaKeyPair {
  std::shared_ptr<EVP_PKEY> pkey;
  Bytes n, e, d;  // big-endian; n and d padded to the modulus length
};

inline Bytes bnParam(EVP_PKEY* key, const char* name, std::size_t width) {
  BIGNUM* bn = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1);
  Bytes out(width);
  BN_bn2binpad(bn, out.data(), static_cast<int>(width));
  BN_clear_free(bn);
  return out;
}

// Generated once per binary: key generation dominates the run time.
inline const RsaKeyPair& rsaKey(int bits) {
  static std::unique_ptr<RsaKeyPair> keys[2];
  auto& slot = keys[bits == 2048 ? 1 : 0];
  if (!slot) {
    slot = std::make_unique<RsaKeyPair>();
    slot->pkey.reset(EVP_RSA_gen(static_cast<unsigned>(bits)), EVP_PKEY_free);
    const std::size_t k = static_cast<std::size_t>(bits / 8);
    slot->n = bnParam(slot->pkey.get(), OSSL_PKEY_PARAM_RSA_N, k);
    slot->e = bnParam(slot->pkey.get(), OSSL_PKEY_PARAM_RSA_E, 4);
    slot->d = bnParam(slot->pkey.get(), OSSL_PKEY_PARAM_RSA_D, k);
  }
  return *slot;
}

// The key-load stream: 00 00 00 00 ‖ e (4 bytes) ‖ n ‖ d.
inline Bytes keyStream(const RsaKeyPair& key) { return cat(cat(cat(h("00000000"), key.e), key.n), key.d); }

// Sends a stream in pieces of at most 200 bytes: CLA 90 then 80 for the last.
inline uint16_t sendChained(Card& card, const std::string& insP1P2, const Bytes& stream, Bytes* lastData = nullptr) {
  std::size_t offset = 0;
  Answer a;
  while (offset < stream.size()) {
    const std::size_t n = std::min<std::size_t>(200, stream.size() - offset);
    const bool last = offset + n == stream.size();
    Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                stream.begin() + static_cast<std::ptrdiff_t>(offset + n));
    a = run(card, cmd((last ? "80 " : "90 ") + insP1P2, piece));
    if (a.sw != 0x9000) return a.sw;
    offset += n;
  }
  if (lastData != nullptr) *lastData = a.data;
  return a.sw;
}

}  // namespace vemra::cardsim::test

#endif  // VEMRA_CARDSIM_TEST_UTIL_H

// Key files: the driver's chained key load, public-key read, signatures that
// OpenSSL verifies, and decryption of what OpenSSL encrypted.
#include <openssl/rsa.h>

#include "sim_test_util.h"

namespace vemra::cardsim::test {
namespace {

// Loads a key as the driver does: the public part and the private part each
// cut into pieces of at most 200 bytes; CLA 90 except for the very last piece.
uint16_t loadAsDriver(Card& card, const RsaKeyPair& key) {
  const Bytes pub = cat(cat(h("00000000"), key.e), key.n);
  std::vector<Bytes> pieces;
  for (const Bytes* part : {&pub, &key.d}) {
    for (std::size_t o = 0; o < part->size(); o += 200) {
      pieces.emplace_back(part->begin() + static_cast<std::ptrdiff_t>(o),
                          part->begin() + static_cast<std::ptrdiff_t>(std::min(o + 200, part->size())));
    }
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const uint16_t s = run(card, cmd(i + 1 < pieces.size() ? "90 72 01 00" : "80 72 01 00", pieces[i])).sw;
    if (s != 0x9000) return s;
  }
  return 0x9000;
}

Bytes sha256DigestInfo(const Bytes& message) {
  Bytes digest(32);
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(message.data(), message.size(), digest.data(), &n, EVP_sha256(), nullptr), 1);
  return cat(h("3031300d060960864801650304020105000420"), digest);
}

bool verifiesSha256(const RsaKeyPair& key, const Bytes& message, const Bytes& signature) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.pkey.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

Bytes encryptPkcs1(const RsaKeyPair& key, const Bytes& message) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr),
                                                                  EVP_PKEY_CTX_free);
  EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
  std::size_t n = 0;
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &n, message.data(), message.size()), 1);
  Bytes out(n);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &n, message.data(), message.size()), 1);
  out.resize(n);
  return out;
}

// A card with the user logged in and a user key in signature key file B100
// under key reference 60.
class KeyCard : public ::testing::Test {
 protected:
  void prepare(int bits) {
    bits_ = bits;
    ASSERT_EQ(selectApp(card), 0x9000);
    ASSERT_EQ(verifyUser(card), 0x9000);
    ASSERT_EQ(create(card, keyFileTemplate(0xB100, 0x10, 0x01, bits == 1024, 0x60)), 0x9000);
    ASSERT_EQ(loadAsDriver(card, key()), 0x9000);
  }
  int bits() const { return bits_; }
  std::size_t k() const { return static_cast<std::size_t>(bits() / 8); }
  const RsaKeyPair& key() const { return rsaKey(bits()); }
  void setKey(const char* ref = "60") {
    ASSERT_EQ(run(card, "00 22 F3 00 00").sw, 0x9000);
    ASSERT_EQ(run(card, std::string("00 22 F1 B6 03 84 01 ") + ref).sw, 0x9000);
  }
  Card card;
  int bits_ = 0;
};

class Keys : public KeyCard, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override { prepare(GetParam()); }
};

class Keys1024 : public KeyCard {
 protected:
  void SetUp() override { prepare(1024); }
};

TEST_P(Keys, PublicKeyReadsBackAsLoaded) {
  ASSERT_EQ(run(card, "00 A4 02 0C 02 B1 00").sw, 0x9000);
  EXPECT_EQ(card.transmit(h("80 46 01 00 00")), h("6C 08"));
  EXPECT_EQ(card.transmit(h("80 46 01 00 08")), h("00 00 00 00 00 01 00 01 90 00"));
  Bytes modulus = card.transmit(h("80 46 02 00 00"));
  if (k() == 256) {
    EXPECT_EQ(modulus, cat(key().n, h("90 00")));
  } else {
    EXPECT_EQ(modulus, h("6C 80"));
    EXPECT_EQ(run(card, "80 46 02 00 80").data, key().n);
  }
  EXPECT_EQ(card.transmit(h("80 46 03 00 00")), h("6A 86"));
  ASSERT_EQ(run(card, "80 40 00 00 00").sw, 0x9000);
  EXPECT_EQ(run(card, "80 46 02 00 00").data, key().n);  // attribute 8 is 00: anyone reads it
}

TEST_P(Keys, SignatureVerifiesWithThePublicKey) {
  setKey();
  const Bytes message = {'v', 'e', 'm', 'r', 'a'};
  const Bytes announced = card.transmit(cmd("00 2A 9E 9A", sha256DigestInfo(message)));
  EXPECT_EQ(announced, Bytes({0x61, static_cast<uint8_t>(k() & 0xFF)}));
  EXPECT_EQ(card.lastWork().privateKeyBits, static_cast<unsigned>(bits())) << "the timing model's key size";
  Bytes answer = card.transmit(Bytes{0x00, 0xC0, 0x00, 0x00, announced[1]});
  EXPECT_EQ(card.lastWork().privateKeyBits, 0u) << "fetching the answer is no key operation";
  ASSERT_EQ(sw(answer), 0x9000);
  const Bytes signature = dataOf(answer);
  ASSERT_EQ(signature.size(), k());
  EXPECT_TRUE(verifiesSha256(key(), message, signature));
  EXPECT_FALSE(verifiesSha256(key(), {'o', 't', 'h', 'e', 'r'}, signature));
}

TEST_P(Keys, DecryptionRecoversWhatOpenSslEncrypted) {
  setKey();
  const Bytes message = h("0102030405060708090A0B0C0D0E0F10");
  Bytes raw;
  ASSERT_EQ(sendChained(card, "2A 9E 9A", encryptPkcs1(key(), message), &raw), 0x9000);
  ASSERT_EQ(raw.size(), k());
  // The raw block: 00 02, non-zero padding, 00, the message.
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[1], 0x02);
  EXPECT_EQ(raw[k() - message.size() - 1], 0x00);
  EXPECT_EQ(Bytes(raw.end() - static_cast<std::ptrdiff_t>(message.size()), raw.end()), message);
  EXPECT_EQ(std::count(raw.begin() + 2, raw.end() - static_cast<std::ptrdiff_t>(message.size()) - 1, 0x00), 0);
}

INSTANTIATE_TEST_SUITE_P(Bits, Keys, ::testing::Values(1024, 2048));

TEST_F(Keys1024, CommandsRefuseWhatTheKeyFileDoesNotAllow) {
  const Bytes digestInfo = sha256DigestInfo({'x'});
  EXPECT_EQ(run(card, cmd("00 2A 9E 9A", digestInfo)).sw, 0x6985);  // no key set
  EXPECT_EQ(run(card, "00 22 F1 B6 03 84 01 61").sw, 0x6A88);
  EXPECT_EQ(run(card, "00 22 F1 B6 03 85 01 60").sw, 0x6A80);
  EXPECT_EQ(run(card, "00 22 F2 B6 03 84 01 60").sw, 0x6A86);
  setKey();
  EXPECT_EQ(run(card, cmd("00 2A 9E 9A", Bytes(118, 1))).sw, 0x6700);  // k - 11 is the limit
  EXPECT_EQ(run(card, cmd("00 2A 9E 9A", Bytes(117, 1))).sw, 0x9000);
  EXPECT_EQ(run(card, cmd("80 2A 9E 9A", Bytes(127, 1))).sw, 0x6700);
  EXPECT_EQ(run(card, cmd("80 2A 9E 9A", Bytes(128, 0xFF))).sw, 0x6A80);  // not below the modulus
  ASSERT_EQ(run(card, "80 40 01 00 00").sw, 0x9000);
  EXPECT_EQ(run(card, cmd("00 2A 9E 9A", digestInfo)).sw, 0x6982);
  EXPECT_EQ(run(card, cmd("80 2A 9E 9A", Bytes(128, 1))).sw, 0x6982);
  ASSERT_EQ(authenticateAdmin(card), 0x9000);  // userAccess would do, but the key asks for the PIN
  EXPECT_EQ(run(card, cmd("00 2A 9E 9A", digestInfo)).sw, 0x6982);
}

// The card's limits on framing: 200 bytes per piece, a chain no longer than
// the largest key needs, and Lc that agrees with the data. Each refused
// sequence ends with 6700 at the command named.
TEST_F(Keys1024, FramingTheCardRefuses) {
  struct Case {
    const char* what;
    bool keyLoad;                // else decryption
    std::vector<Bytes> pieces;   // sent in order, all but the last answered 9000
  };
  const auto piece = [](const char* header, std::size_t length) { return cmd(header, Bytes(length, 0x41)); };
  Bytes lcShort = piece("90 72 01 00", 200);
  lcShort[4] = 199;  // the last data byte (41) is no Le
  const Case cases[] = {
      {"a key piece of 201 bytes", true, {piece("90 72 01 00", 201)}},
      {"a last key piece of 201 bytes", true, {piece("90 72 01 00", 136), piece("80 72 01 00", 201)}},
      {"a key load over 520 bytes", true,
       {piece("90 72 01 00", 200), piece("90 72 01 00", 200), piece("90 72 01 00", 121)}},  // refused unfinished
      {"a decryption piece of 201 bytes", false, {piece("80 2A 9E 9A", 201)}},
      {"a decryption over 256 bytes", false, {piece("90 2A 9E 9A", 200), piece("90 2A 9E 9A", 57)}},
      {"Lc one short of the data", true, {lcShort}},
  };
  for (const Case& c : cases) {
    if (c.keyLoad) {
      ASSERT_EQ(run(card, "00 A4 02 0C 02 B1 00").sw, 0x9000) << c.what;
    } else {
      setKey();
    }
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      const uint16_t expected = i + 1 == c.pieces.size() ? 0x6700 : 0x9000;
      EXPECT_EQ(card.transmit(c.pieces[i]), Bytes({static_cast<uint8_t>(expected >> 8), static_cast<uint8_t>(expected)}))
          << c.what << ", command " << i;
    }
  }
  // What the driver sends still goes through: the largest pieces and chains.
  setKey();
  EXPECT_EQ(run(card, cmd("80 2A 9E 9A", encryptPkcs1(key(), {1, 2, 3}))).sw, 0x9000);
  ASSERT_EQ(run(card, "00 A4 02 0C 02 B1 00").sw, 0x9000);
  EXPECT_EQ(loadAsDriver(card, key()), 0x9000);
}

TEST(KeyLoad, AdminKeyNeedsTheAdministratorAndMalformedKeysAreRefused) {
  Card card;
  selectApp(card);
  ASSERT_EQ(verifyUser(card), 0x9000);
  const RsaKeyPair& key = rsaKey(1024);
  ASSERT_EQ(create(card, keyFileTemplate(0xB000, 0x03, 0x03, true, 0x20)), 0x9000);
  EXPECT_EQ(sendChained(card, "72 01 00", keyStream(key)), 0x6982);  // refused at the first piece
  EXPECT_EQ(run(card, "00 E4 00 00 02 B0 00").sw, 0x6982);
  ASSERT_EQ(authenticateAdmin(card), 0x9000);
  ASSERT_EQ(run(card, "00 A4 02 0C 02 B0 00").sw, 0x9000);
  Bytes reversed = keyStream(key);
  std::reverse(reversed.begin() + 8, reversed.begin() + 8 + 128);
  EXPECT_EQ(sendChained(card, "72 01 00", reversed), 0x6A80);
  Bytes shortStream = keyStream(key);
  shortStream.pop_back();
  EXPECT_EQ(sendChained(card, "72 01 00", shortStream), 0x6700);
  // A chain interrupted by another command starts over: the last piece alone is too short.
  const Bytes stream = keyStream(key);
  ASSERT_EQ(run(card, cmd("90 72 01 00", Bytes(stream.begin(), stream.begin() + 136))).sw, 0x9000);
  ASSERT_EQ(run(card, "00 20 00 01 00").sw, 0x9000);
  EXPECT_EQ(run(card, cmd("80 72 01 00", Bytes(stream.begin() + 136, stream.end()))).sw, 0x6700);
  EXPECT_EQ(sendChained(card, "72 01 00", stream), 0x9000);
  EXPECT_EQ(run(card, "00 E4 00 00 00").sw, 0x9000);  // delete as current EF: A = adminPinRef
  EXPECT_EQ(run(card, "00 A4 02 0C 02 B0 00").sw, 0x6A82);
  ASSERT_EQ(selectApp(card), 0x9000);
  EXPECT_EQ(sendChained(card, "72 01 00", stream), 0x6986);  // no current EF
  ASSERT_EQ(run(card, "00 A4 02 0C 02 D0 00").sw, 0x9000);
  EXPECT_EQ(sendChained(card, "72 01 00", stream), 0x6981);
}

}  // namespace
}  // namespace vemra::cardsim::test

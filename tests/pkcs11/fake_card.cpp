#include "fake_card.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace vemra::p11::test {

namespace {

class FakePort final : public CardPort {
 public:
  ~FakePort() override {
    if (c().closedFd >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(c().closedFd, "x", 1);
    }
  }
  DWORD beginTransaction() override {
    if (c().otherProgram && c().depth == 0) runOther();
    if (c().removed) return c().lossCode;
    if (c().beginFailure != 0) return c().beginFailure;
    ++c().depth;
    ++c().transactions;
    return 0;
  }
  void endTransaction() override {
    if (c().depth > 0 && --c().depth == 0 && c().otherWaiting) runOther();
  }
  DWORD readFile(const std::string& dir, const std::string& name, Bytes& out) override {
    if (DWORD rc = enter()) return rc;
    auto it = c().files.find(path(dir, name));
    if (it == c().files.end()) return SCARD_E_FILE_NOT_FOUND;
    out = it->second;
    return 0;
  }
  DWORD writeFile(const std::string& dir, const std::string& name, const Bytes& content) override {
    if (DWORD rc = enter()) return rc;
    auto it = c().files.find(path(dir, name));
    if (it == c().files.end()) return SCARD_E_FILE_NOT_FOUND;
    it->second = content;
    return 0;
  }
  DWORD createFile(const std::string& dir, const std::string& name, DWORD size) override {
    if (DWORD rc = enter()) return rc;
    if (c().files.count(path(dir, name)) != 0) return ERROR_FILE_EXISTS;
    if (c().full) return SCARD_E_WRITE_TOO_MANY;
    c().files[path(dir, name)] = Bytes(size, 0);
    return 0;
  }
  DWORD deleteFile(const std::string& dir, const std::string& name) override {
    if (DWORD rc = enter()) return rc;
    return c().files.erase(path(dir, name)) == 1 ? 0 : SCARD_E_FILE_NOT_FOUND;
  }
  DWORD serialNumber(Bytes& out) override {
    if (DWORD rc = enter()) return rc;
    out = c().serial;
    return 0;
  }
  DWORD keySizes(DWORD& minimumBits, DWORD& maximumBits) override {
    if (DWORD rc = enter()) return rc;
    minimumBits = 1024;
    maximumBits = 2048;
    return 0;
  }
  DWORD maxContainers(DWORD& count) override {
    if (DWORD rc = enter()) return rc;
    count = c().maxContainers;
    return 0;
  }
  DWORD authenticateUser(const Bytes& pin, DWORD& attempts) override {
    if (DWORD rc = enter()) return rc;
    if (c().pinTries == 0) return SCARD_W_CHV_BLOCKED;
    if (std::string(pin.begin(), pin.end()) != c().pin) {
      attempts = --c().pinTries;
      return SCARD_W_WRONG_CHV;
    }
    c().pinTries = 3;
    c().userIn = true;
    return 0;
  }
  DWORD challenge(Bytes& out) override {
    if (DWORD rc = enter()) return rc;
    c().lastChallenge = Bytes{1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(c().cardCalls)};
    out = c().lastChallenge;
    return 0;
  }
  DWORD answerChallenge(const Bytes& response, DWORD& attempts) override {
    if (DWORD rc = enter()) return rc;
    if (response != expected()) {
      attempts = 9;
      return SCARD_W_WRONG_CHV;
    }
    c().adminIn = true;
    return 0;
  }
  DWORD deauthenticate(PIN_SET) override {
    if (DWORD rc = enter()) return rc;
    c().userIn = c().adminIn = false;
    return 0;
  }
  DWORD changePin(const Bytes& current, const Bytes& next, DWORD& attempts) override {
    if (DWORD rc = authenticateUser(current, attempts)) return rc;
    c().pin.assign(next.begin(), next.end());
    return 0;
  }
  DWORD unblockPin(const Bytes& response, const Bytes& next) override {
    if (DWORD rc = enter()) return rc;
    if (response != expected()) return SCARD_W_WRONG_CHV;
    c().pin.assign(next.begin(), next.end());
    c().pinTries = 3;
    return 0;
  }
  DWORD changeAdminKey(const Bytes& response, const Bytes& next) override {
    if (DWORD rc = enter()) return rc;
    if (response != expected()) return SCARD_W_WRONG_CHV;
    // A two-key triple-DES key in its 24-byte form, as the driver takes it.
    if (next.size() != 24 || !std::equal(next.begin(), next.begin() + 8, next.begin() + 16)) {
      return SCARD_E_INVALID_PARAMETER;
    }
    c().adminKey = next;
    return 0;
  }
  DWORD containerKeys(BYTE index, ContainerKeys& out) override {
    if (DWORD rc = enter()) return rc;
    auto it = c().containers.find(index);
    if (it == c().containers.end()) return SCARD_E_NO_KEY_CONTAINER;
    out = it->second;
    return 0;
  }
  DWORD importKey(BYTE index, DWORD keySpec, const Bytes& blob, DWORD bits) override {
    if (DWORD rc = enter()) return rc;
    if (!c().userIn) return SCARD_W_SECURITY_VIOLATION;
    c().imports.push_back({index, keySpec, blob, bits});
    RsaPublic key;
    for (DWORD i = bits / 8; i > 0; --i) key.modulus.push_back(blob[20 + i - 1]);
    key.exponent = {blob[18], blob[17], blob[16]};
    (keySpec == AT_SIGNATURE ? c().containers[index].signature : c().containers[index].keyExchange) = key;
    return 0;
  }
  DWORD deleteContainer(BYTE index) override {
    if (DWORD rc = enter()) return rc;
    return c().containers.erase(index) == 1 ? 0 : SCARD_E_NO_KEY_CONTAINER;
  }
  DWORD sign(BYTE index, DWORD keySpec, ALG_ID hashAlg, const Bytes& data, Bytes& signature) override {
    if (DWORD rc = enter()) return rc;
    if (!c().userIn) return SCARD_W_SECURITY_VIOLATION;
    c().signs.push_back({index, keySpec, hashAlg, data});
    signature.assign(256, 0x5A);
    signature.front() = 0x01;
    return 0;
  }
  DWORD decrypt(BYTE index, DWORD keySpec, const Bytes&, DWORD padding, const OaepParams* oaep,
                Bytes& out) override {
    if (DWORD rc = enter()) return rc;
    if (!c().userIn) return SCARD_W_SECURITY_VIOLATION;
    c().decrypts.push_back({index, keySpec, padding, oaep != nullptr ? oaep->hash : u"",
                            oaep != nullptr ? oaep->label : Bytes{}});
    if (c().decryptFailure != 0) return c().decryptFailure;
    out = c().plain;
    return 0;
  }
  DWORD privateKeyOperation(BYTE index, DWORD keySpec, const Bytes& block, Bytes& out) override {
    if (DWORD rc = enter()) return rc;
    if (!c().userIn) return SCARD_W_SECURITY_VIOLATION;
    c().raws.push_back({index, keySpec, block});
    auto it = c().privateKeys.find({index, keySpec});
    if (it == c().privateKeys.end()) return SCARD_E_NO_KEY_CONTAINER;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(it->second.get(), nullptr);
    std::size_t length = block.size();
    out.assign(block.size(), 0);
    const bool ok = ctx != nullptr && EVP_PKEY_decrypt_init(ctx) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
                    EVP_PKEY_decrypt(ctx, out.data(), &length, block.data(), block.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) return SCARD_F_INTERNAL_ERROR;
    out.resize(length);
    if (c().corruptRaw) out.back() ^= 0x01;
    return 0;
  }

 private:
  static FakeCard& c() { return fakeCard(); }
  static std::string path(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
  }
  static DWORD enter() {
    ++c().cardCalls;
    if (c().otherProgram) {
      if (c().depth == 0) {
        runOther();
      } else {
        c().otherWaiting = true;
      }
    }
    return c().removed ? c().lossCode : 0;
  }
  static void runOther() {
    c().otherWaiting = false;
    ++c().otherRuns;
    c().otherProgram(c());
  }
  static Bytes expected() {
    Bytes out(16);
    int n = 0;
    int last = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, c().adminKey.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, c().lastChallenge.data(), 8);
    EVP_EncryptFinal_ex(ctx, out.data() + n, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(8);
    return out;
  }
};

std::mutex& readersLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable& readersChanged() {
  static std::condition_variable changed;
  return changed;
}

std::vector<ReaderInfo> currentReaders() {
  std::vector<ReaderInfo> out{{"Fake Reader 00 00", fakeCard().present}};
  out.insert(out.end(), fakeCard().moreReaders.begin(), fakeCard().moreReaders.end());
  return out;
}

class FakeBackend final : public Backend {
 public:
  DWORD readers(std::vector<ReaderInfo>& out) override {
    std::lock_guard<std::mutex> guard(readersLock());
    if (fakeCard().listingFailure != 0) return fakeCard().listingFailure;
    out = currentReaders();
    return 0;
  }
  DWORD waitForChange(const std::vector<ReaderInfo>& known, std::vector<ReaderInfo>& now) override {
    std::unique_lock<std::mutex> lock(readersLock());
    readersChanged().wait(lock, [&] { return cancelled_ || !sameReaders(known, currentReaders()); });
    if (cancelled_) return kWaitCancelled;
    now = currentReaders();
    return 0;
  }
  void cancelWait() override {
    std::lock_guard<std::mutex> guard(readersLock());
    cancelled_ = true;
    readersChanged().notify_all();
  }
  std::chrono::milliseconds cardLinger() const override { return fakeCard().linger; }
  DWORD connect(const std::string&, std::unique_ptr<CardPort>& out) override {
    if (!fakeCard().present) return 0x8010000C;
    out = std::make_unique<FakePort>();
    return 0;
  }

 private:
  bool cancelled_ = false;  // guarded by readersLock()
};

}  // namespace

FakeCard& fakeCard() {
  static FakeCard card;
  return card;
}

std::unique_ptr<Backend> makeFakeBackend() { return std::make_unique<FakeBackend>(); }

void changeReaders(bool cardPresent, std::vector<ReaderInfo> moreReaders) {
  std::lock_guard<std::mutex> guard(readersLock());
  fakeCard().present = cardPresent;
  fakeCard().moreReaders = std::move(moreReaders);
  readersChanged().notify_all();
}

RsaPublic publicOf(EVP_PKEY* key) {
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e);
  RsaPublic out{Bytes(static_cast<std::size_t>(BN_num_bytes(n))), Bytes(static_cast<std::size_t>(BN_num_bytes(e)))};
  BN_bn2bin(n, out.modulus.data());
  BN_bn2bin(e, out.exponent.data());
  BN_free(n);
  BN_free(e);
  return out;
}

RsaPublic fakeKey(uint8_t fill) { return RsaPublic{Bytes(256, fill), Bytes{0x01, 0x00, 0x01}}; }

}  // namespace vemra::p11::test

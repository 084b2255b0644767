// An in-memory card behind the module's card port, for the unit tests: files
// by path, containers with public keys, a user PIN with a retry counter, an
// administrator key checked by challenge-response, and a record of what the
// module asked the card to sign and decrypt.
#ifndef VEMRA_P11_TEST_FAKE_CARD_H
#define VEMRA_P11_TEST_FAKE_CARD_H

#include <openssl/evp.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "card_port.h"

namespace vemra::p11::test {

struct SignCall {
  BYTE container;
  DWORD keySpec;
  ALG_ID hashAlg;
  Bytes data;
};

struct DecryptCall {
  BYTE container;
  DWORD keySpec;
  DWORD padding;
  std::u16string oaepHash;
  Bytes oaepLabel;
};

struct ImportCall {
  BYTE container;
  DWORD keySpec;
  Bytes blob;
  DWORD bits;
};

struct RawCall {
  BYTE container;
  DWORD keySpec;
  Bytes block;
};

struct FakeCard {
  bool present = true;
  std::vector<ReaderInfo> moreReaders;  // readers beside the card's
  bool removed = false;  // every call answers `lossCode`
  DWORD lossCode = 0x80100069;  // the card was removed
  DWORD listingFailure = 0;  // the reader listing fails with this code
  bool full = false;         // no room for a new file
  int closedFd = -1;         // where a port that closes writes a byte
  std::map<std::string, Bytes> files;
  std::map<BYTE, ContainerKeys> containers;
  Bytes serial{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  std::string pin = "1234";
  DWORD pinTries = 3;
  Bytes adminKey = Bytes(24, 0x11);
  Bytes lastChallenge;
  bool userIn = false;
  bool adminIn = false;
  DWORD maxContainers = 8;
  Bytes plain{'s', 'e', 'c', 'r', 'e', 't'};
  DWORD decryptFailure = 0;
  int cardCalls = 0;
  std::vector<SignCall> signs;
  std::vector<DecryptCall> decrypts;
  std::vector<ImportCall> imports;
  // Transactions of the module's port (nesting depth), and another program
  // sharing the card: its action runs at every boundary between two of the
  // module's card calls while the module does not hold the card, and waits
  // for the release when it does.
  int depth = 0;
  int transactions = 0;
  DWORD beginFailure = 0;
  std::function<void(FakeCard&)> otherProgram;
  bool otherWaiting = false;
  int otherRuns = 0;
  // Real private keys for the raw operation, by container and key type.
  std::map<std::pair<BYTE, DWORD>, std::shared_ptr<EVP_PKEY>> privateKeys;
  std::vector<RawCall> raws;
  bool corruptRaw = false;  // the raw operation's result has a bit flipped
  std::chrono::milliseconds linger{0};  // how long the module keeps the card held after a call
};

// The card every port of the fake backend reaches; reset by each test.
FakeCard& fakeCard();
std::unique_ptr<Backend> makeFakeBackend();

// Changes the readers from another thread than the module's caller: under
// the fake backend's lock, waking its waits.
void changeReaders(bool cardPresent, std::vector<ReaderInfo> moreReaders = {});

// The public key of a real key as the card port reports it.
RsaPublic publicOf(EVP_PKEY* key);

// A 2048-bit-sized public key whose modulus bytes are all `fill`.
RsaPublic fakeKey(uint8_t fill);

}  // namespace vemra::p11::test

#endif  // VEMRA_P11_TEST_FAKE_CARD_H

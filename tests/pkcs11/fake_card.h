// An in-memory card behind the module's card port, for the unit tests: files
// by path, containers with public keys, a user PIN with a retry counter, an
// administrator key checked by challenge-response, and a record of what the
// module asked the card to sign and decrypt.
#ifndef VEMRA_P11_TEST_FAKE_CARD_H
#define VEMRA_P11_TEST_FAKE_CARD_H

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

struct FakeCard {
  bool present = true;
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
};

// The card every port of the fake backend reaches; reset by each test.
FakeCard& fakeCard();
std::unique_ptr<Backend> makeFakeBackend();

// A 2048-bit-sized public key whose modulus bytes are all `fill`.
RsaPublic fakeKey(uint8_t fill);

}  // namespace vemra::p11::test

#endif  // VEMRA_P11_TEST_FAKE_CARD_H

// One provider session with the driver, every choice of which comes from a
// Source: the card's answer to each command (data and status word, a PC/SC
// failure, an answer longer than the receive buffer), the provider's
// allocator (which allocation fails) and the caller (interface version, which
// entry points run through their CARD_DATA slots, and every argument, flag,
// length and buffer, hostile 32-bit values included).
//
// Besides what the sanitizers catch, a session stops the process with a
// message on a leaked, double-freed or foreign provider block, on a
// transaction left open or ended twice, on a write into the caller's input,
// and on a call of pfnCspReAlloc.
//
// The encoding of a session (what the Sources below read and write):
//   header   version word, acquisition flags word, failing allocation (0:
//            none), failing SCardBeginTransaction and SCardEndTransaction
//            (0: none), PC/SC code of those two failures, provider flags
//            (bit 0: no pfnCspUnpadData, bit 1: it fails, bit 2: an ATR
//            follows as a length byte n % 40 and n bytes), number of
//            calls (1 + n % 4);
//   calls    an operation byte (kOperations) and its arguments in order;
//   answers  interleaved with the above in the order the driver asks.
// A word is a byte b: b < 0x80 is the value b, 0x80 + i the i-th of
// kInterestingWords, 0xFF a little-endian 32-bit literal, anything else b.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vemra::fuzz {

// What the PC/SC layer hands back for one command.
struct Answer {
  std::uint32_t code = 0;            // 0 or the PC/SC failure
  std::vector<std::uint8_t> bytes;   // data and SW1 SW2, when code is 0
  std::uint32_t extraLength = 0;     // reported beyond the bytes written (a lying PC/SC layer)
};

class Source {
 public:
  virtual ~Source() = default;
  // The next choice of the caller or the provider.
  virtual std::uint8_t choice() = 0;
  // The card's answer to `command` with `capacity` bytes of receive buffer.
  virtual Answer answer(std::span<const std::uint8_t> command, std::size_t capacity) = 0;
};

// Answer kinds in the encoding: a byte k, then
//   k <= kShortAnswerMax  k data bytes, SW1 SW2;
//   kLongAnswer           a 16-bit little-endian length L, L data bytes, SW1 SW2;
//   kLyingAnswer          a byte n, SW1 SW2 written, reported 2 + n + 1 bytes;
//   kPcscFailure          a byte selecting kPcscFailures.
inline constexpr std::uint8_t kShortAnswerMax = 0xFB;
inline constexpr std::uint8_t kLyingAnswer = 0xFC;
inline constexpr std::uint8_t kLongAnswer = 0xFD;
inline constexpr std::uint8_t kPcscFailure = 0xFE;

inline constexpr std::uint32_t kPcscFailures[] = {
    0x80100069,  // SCARD_W_REMOVED_CARD
    0x80100068,  // SCARD_W_RESET_CARD
    0x8010000C,  // SCARD_E_NO_SMARTCARD
    0x8010002F,  // SCARD_E_COMM_DATA_LOST
    0x80100013,  // SCARD_F_COMM_ERROR
    0x80100008,  // SCARD_E_INSUFFICIENT_BUFFER
    0x8010000A,  // SCARD_E_TIMEOUT
    0x80100003,  // SCARD_E_INVALID_HANDLE
    0x80100017,  // SCARD_E_READER_UNAVAILABLE
    0x80100067,  // SCARD_W_UNPOWERED_CARD
    0x00000001,  // not a PC/SC code at all
    0xFFFFFFFF,
};

inline constexpr std::uint32_t kInterestingWords[] = {
    0,          1,          2,          3,          4,          5,          6,          7,
    8,          0x0E,       0x10,       0x1F,       0x20,       0x7F,       0x80,       0xFF,
    0x100,      0x101,      0x400,      0x800,      0x7FFF,     0x8000,     0xFFFF,     0x10000,
    0x10000000, 0x20000000, 0x40000000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 2687230,
    1024,       2048,       4096,       0x8004,     0x800C,     0x2400,     0xA400,     0x40,
};

// Operation bytes: op % kOperationCount picks the entry point.
enum Operation : std::uint8_t {
  kQueryCapabilities, kDeleteContainer, kCreateContainer, kGetContainerInfo, kAuthenticatePin,
  kGetChallenge, kAuthenticateChallenge, kUnblockPin, kChangeAuthenticator, kDeauthenticate,
  kCreateDirectory, kDeleteDirectory, kCreateFile, kReadFile, kWriteFile, kDeleteFile, kEnumFiles,
  kGetFileInfo, kQueryFreeSpace, kQueryKeySizes, kSignData, kRSADecrypt, kConstructDHAgreement,
  kDeriveKey, kDestroyDHAgreement,
  // version 6
  kGetChallengeEx, kAuthenticateEx, kChangeAuthenticatorEx, kDeauthenticateEx, kGetContainerProperty,
  kSetContainerProperty, kGetProperty, kSetProperty,
  // version 7
  kMDImportSessionKey, kMDEncryptData, kImportSessionKey, kGetSharedKeyHandle, kGetAlgorithmProperty,
  kGetKeyProperty, kSetKeyProperty, kDestroyKey, kProcessEncryptedData, kCreateContainerEx,
  kOperationCount
};

// Name choices: a byte b below the table's size picks the table entry (the
// entry kNullName is NULL); any other b is a literal of b % 16 bytes.
inline constexpr std::size_t kNullName = 0;
inline constexpr const char* kAnsiNames[] = {
    nullptr, "", "dir", "file", "cardid", "cardcf", "cardapps", "mscp", "cmapfile",
    "ksc00", "kxc00", "ninechars", "DIR", "a*", "root", "eightchr",
};
inline constexpr const char16_t* kWideNames[] = {
    nullptr, u"", u"user", u"admin", u"everyone", u"Free Space", u"Capabilities", u"Key Sizes",
    u"Read Only Mode", u"Cache Mode", u"Supports Windows x.509 Enrollment", u"Card Identifier",
    u"Card Serial Number", u"PIN Information", u"PIN List", u"Authenticated State",
    u"PIN Strength Verify", u"Key Import Support", u"Algorithms", u"Padding Schemes",
    u"Chaining Modes", u"PIN Strength Change", u"PIN Strength Unblock", u"Container Info",
    u"PIN Identifier", u"Associated ECDH Key", u"Parent Window", u"PIN Context String",
    u"3DES_112", u"AES", u"RSA", u"KeyDataBlob", u"ChainingModeCBC", u"USER",
};
// Buffer choices: a byte m; 0 is (NULL, 0), 1 is NULL with a word for the
// length, anything else a 16-bit little-endian length L (L % 1025) and, for
// input, L content bytes.
inline constexpr std::uint8_t kNullBuffer = 0;
inline constexpr std::uint8_t kNullWithLength = 1;
inline constexpr std::uint8_t kBuffer = 2;

// Runs one session; returns normally unless a check fails (then the process
// stops with a message on stderr).
void runSession(Source& source);

// The PC/SC calls of the driver during a session (pcsc_layer.cpp forwards
// them): the PC/SC result, 0 on success.
namespace layer {
std::uint32_t transmit(std::uintptr_t handle, std::span<const std::uint8_t> command, std::uint8_t* receive,
                       std::uint64_t& length);
std::uint32_t begin(std::uintptr_t handle);
std::uint32_t end(std::uintptr_t handle, std::uint64_t disposition);
}  // namespace layer

}  // namespace vemra::fuzz

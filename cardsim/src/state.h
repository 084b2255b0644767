// The card's state: the file tree, the credentials and what a reset clears.
#ifndef VEMRA_CARDSIM_STATE_H
#define VEMRA_CARDSIM_STATE_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "apdu.h"
#include "cardsim/card.h"

namespace vemra::cardsim {

inline constexpr uint16_t kMfFid = 0x3F00;
// Storage that every file costs beyond its body.
inline constexpr uint32_t kFileOverhead = 32;

enum class FileKind { Df, Transparent, LinearFixed, Key };

// Life-cycle status bytes of tag 8A.
enum class LifeCycle : uint8_t { Creation = 0x01, Initialisation = 0x03, Activated = 0x05 };

// Operations that a security attribute guards; see README.md for the table
// of which attribute position guards which operation for each kind of file.
enum class Access { Read, Update, Delete, Create, Sign, KeyLoad, PublicRead, Decipher };

struct RsaKey {
  std::vector<uint8_t> modulus;          // k bytes, big-endian
  std::array<uint8_t, 4> exponent{};     // public exponent, big-endian
  std::vector<uint8_t> privateExponent;  // k bytes, big-endian
};

struct Node {
  FileKind kind = FileKind::Transparent;
  uint16_t fid = 0;
  std::vector<uint8_t> dfName;
  LifeCycle lifeCycle = LifeCycle::Activated;
  std::vector<uint8_t> security;  // the bytes of tag 86, attribute 1 first
  // Transparent EF: its size and contents. Record EF: the size limits the
  // number of records. Key file: unused.
  uint16_t size = 0;
  std::vector<uint8_t> data;
  uint8_t recordLength = 0;
  uint8_t dataCoding = 0;
  std::vector<std::vector<uint8_t>> records;
  // Key file: the key-type code (tag 85), the key references (tags 87 and
  // 88), the rest of the proprietary template, and the key once loaded.
  uint8_t keyType = 0;
  uint8_t keyRef = 0;
  std::vector<uint8_t> keyProprietary;
  std::optional<RsaKey> key;

  Node* parent = nullptr;
  std::vector<std::unique_ptr<Node>> children;

  bool isDf() const { return kind == FileKind::Df; }
  bool inCreation() const {
    return lifeCycle == LifeCycle::Creation || lifeCycle == LifeCycle::Initialisation;
  }
  // Modulus length of a key file by its key-type code: 0x22 → 128, 0x24 → 256.
  std::size_t keyBytes() const { return keyType == 0x22 ? 128 : keyType == 0x24 ? 256 : 0; }
  uint32_t bodySize() const;
  Node* child(uint16_t childFid) const;
};

struct Credential {
  std::vector<uint8_t> secret;  // PIN block (8 bytes) or key (16 bytes)
  uint8_t maxTries = 3;
  uint8_t triesLeft = 3;
  bool authenticated = false;   // volatile
  bool blocked() const { return triesLeft == 0; }
};

// A command chain in progress (CLA 0x90 pieces of one INS P1 P2).
struct Chain {
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  std::vector<uint8_t> bytes;
};

struct CardState {
  CardConfig config;
  std::unique_ptr<Node> mf;
  Credential user;
  Credential admin;

  // Volatile state, cleared by reset and power-off.
  bool powered = true;
  Node* currentDf = nullptr;
  Node* currentEf = nullptr;
  std::optional<std::array<uint8_t, 8>> challenge;
  std::optional<std::array<uint8_t, 8>> sessionPin;
  std::optional<uint8_t> seKeyRef;
  std::optional<Chain> chain;
  std::optional<Reply> pending;  // response data waiting for GET RESPONSE
  std::size_t pendingOffset = 0;

  void clearVolatile();
  bool granted(uint8_t accessByte) const;
  // 0x9000 when `op` on `node` is allowed now, else 0x6982. Files in
  // creation state are not checked, nor are files created inside a DF in
  // creation state.
  uint16_t check(const Node& node, Access op) const;
  Node* application() const;
  uint32_t usedMemory() const;
  uint16_t freeMemory() const;
};

// Builds a card's initial state from its configuration.
void personalise(CardState& state);

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_STATE_H

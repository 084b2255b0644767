#include "filesystem.h"

#include <algorithm>
#include <stdexcept>

namespace vemra::cardsim {

uint32_t Node::bodySize() const {
  switch (kind) {
    case FileKind::Df: return 0;
    case FileKind::Transparent:
    case FileKind::LinearFixed: return size;
    case FileKind::Key: return static_cast<uint32_t>(8 + 2 * keyBytes());
  }
  return 0;
}

Node* Node::child(uint16_t childFid) const {
  for (const auto& c : children) {
    if (c->fid == childFid) return c.get();
  }
  return nullptr;
}

namespace {

// Position (1-based) of the security attribute that guards `op` on a file of
// `kind`; 0 when no attribute does, which denies the operation.
unsigned attributePosition(FileKind kind, Access op) {
  switch (kind) {
    case FileKind::Df:
      return op == Access::Delete ? 3 : op == Access::Create ? 5 : 0;
    case FileKind::Transparent:
    case FileKind::LinearFixed:
      return op == Access::Delete ? 3 : op == Access::Read ? 4 : op == Access::Update ? 5 : 0;
    case FileKind::Key:
      switch (op) {
        case Access::Delete: return 3;
        case Access::Sign: return 4;
        case Access::KeyLoad: return 5;
        case Access::PublicRead: return 8;
        case Access::Decipher: return 9;
        default: return 0;
      }
  }
  return 0;
}

uint32_t usedBelow(const Node& node) {
  uint32_t total = 0;
  for (const auto& c : node.children) total += kFileOverhead + c->bodySize() + usedBelow(*c);
  return total;
}

Node* findByName(Node& node, std::span<const uint8_t> name) {
  if (node.isDf() && std::ranges::equal(node.dfName, name)) return &node;
  for (auto& c : node.children) {
    if (Node* found = findByName(*c, name)) return found;
  }
  return nullptr;
}

bool parseDescriptor(std::span<const uint8_t> v, Node& node) {
  if (v.empty()) return false;
  switch (v[0]) {
    case 0x38: node.kind = FileKind::Df; return v.size() == 1;
    case 0x01: node.kind = FileKind::Transparent; return v.size() <= 2;
    case 0x11: node.kind = FileKind::Key; return v.size() <= 2;
    case 0x02: {
      node.kind = FileKind::LinearFixed;
      if (v.size() < 3) return false;
      node.dataCoding = v[1];
      unsigned length = v[2];
      if (v.size() >= 4) length = (static_cast<unsigned>(v[2]) << 8) | v[3];
      if (length == 0 || length > 255 || v.size() > 5) return false;
      node.recordLength = static_cast<uint8_t>(length);
      return true;
    }
    default: return false;
  }
}

bool parseKeyTemplate(std::span<const uint8_t> v, Node& node) {
  Reader r(v);
  bool haveType = false;
  bool haveRef = false;
  while (!r.empty()) {
    uint8_t tag = 0;
    std::span<const uint8_t> value;
    if (!r.tlv(tag, value)) return false;
    if (tag == 0x85 && value.size() == 1) {
      node.keyType = value[0];
      haveType = true;
    } else if ((tag == 0x87 || (tag == 0x88 && !haveRef)) && value.size() == 1) {
      node.keyRef = value[0];
      haveRef = true;
    }
  }
  node.keyProprietary.assign(v.begin(), v.end());
  return haveType && haveRef && node.keyBytes() != 0;
}

}  // namespace

void CardState::clearVolatile() {
  user.authenticated = false;
  admin.authenticated = false;
  challenge.reset();
  sessionPin.reset();
  seKeyRef.reset();
  chain.reset();
  pending.reset();
  pendingOffset = 0;
  currentDf = mf.get();
  currentEf = nullptr;
}

bool CardState::granted(uint8_t accessByte) const {
  if (accessByte == 0x00) return true;
  if (accessByte == 0xFF) return false;
  if (accessByte == config.userPinRef && user.authenticated) return true;
  if (accessByte == config.adminPinRef && admin.authenticated) return true;
  if (accessByte == config.userAccess && (user.authenticated || admin.authenticated)) return true;
  return false;
}

uint16_t CardState::check(const Node& node, Access op) const {
  if (node.inCreation()) return sw::kOk;
  const unsigned pos = attributePosition(node.kind, op);
  if (pos == 0 || pos > node.security.size()) return sw::kSecurityNotSatisfied;
  return granted(node.security[pos - 1]) ? sw::kOk : sw::kSecurityNotSatisfied;
}

Node* CardState::application() const {
  if (!mf) return nullptr;
  return findByName(*mf, std::span<const uint8_t>(
                             reinterpret_cast<const uint8_t*>(config.applicationName.data()),
                             config.applicationName.size()));
}

uint32_t CardState::usedMemory() const { return mf ? usedBelow(*mf) : 0; }

uint16_t CardState::freeMemory() const {
  const uint32_t used = usedMemory();
  if (used >= config.memoryCapacity) return 0;
  return static_cast<uint16_t>(std::min<uint32_t>(config.memoryCapacity - used, 0xFFFF));
}

ParsedFcp parseFcp(std::span<const uint8_t> bytes) {
  ParsedFcp result;
  Reader outer(bytes);
  uint8_t tag = 0;
  std::span<const uint8_t> body;
  if (!outer.tlv(tag, body) || tag != 0x62 || !outer.empty()) {
    result.sw = sw::kWrongData;
    return result;
  }
  auto node = std::make_unique<Node>();
  node->lifeCycle = LifeCycle::Creation;
  bool haveDescriptor = false;
  bool haveFid = false;
  bool haveSize = false;
  std::span<const uint8_t> proprietary;
  Reader r(body);
  while (!r.empty()) {
    std::span<const uint8_t> v;
    bool good = r.tlv(tag, v);
    switch (good ? tag : 0) {
      case 0: good = false; break;
      case 0x80:
        good = v.size() == 1 || v.size() == 2;
        if (good) node->size = static_cast<uint16_t>(v.size() == 1 ? v[0] : (v[0] << 8) | v[1]);
        haveSize = good;
        break;
      case 0x82: good = haveDescriptor = parseDescriptor(v, *node); break;
      case 0x83:
        good = haveFid = v.size() == 2;
        if (good) node->fid = static_cast<uint16_t>((v[0] << 8) | v[1]);
        break;
      case 0x84:
        good = !v.empty() && v.size() <= 16;
        if (good) node->dfName.assign(v.begin(), v.end());
        break;
      case 0x86:
        good = !v.empty() && v.size() <= 16;
        if (good) node->security.assign(v.begin(), v.end());
        break;
      case 0x8A:
        good = v.size() == 1 && (v[0] == 0x01 || v[0] == 0x03 || v[0] == 0x05);
        if (good) node->lifeCycle = static_cast<LifeCycle>(v[0]);
        break;
      case 0xA5: proprietary = v; break;
      default: break;  // other elements are accepted and not kept
    }
    if (!good) {
      result.sw = sw::kWrongData;
      return result;
    }
  }
  bool valid = haveDescriptor && haveFid && node->fid != kMfFid && node->fid != 0xFFFF;
  if (valid && node->kind == FileKind::LinearFixed) valid = haveSize;
  if (valid && node->kind == FileKind::Key) valid = parseKeyTemplate(proprietary, *node);
  if (valid && node->kind != FileKind::Df) node->dfName.clear();
  if (valid && node->kind == FileKind::Transparent) node->data.assign(node->size, 0x00);
  if (!valid) {
    result.sw = sw::kWrongData;
    return result;
  }
  result.node = std::move(node);
  return result;
}

std::vector<uint8_t> controlParameters(const CardState& state, const Node& node, bool fci) {
  std::vector<uint8_t> in;
  if (fci && !node.isDf()) {
    in.insert(in.end(), {0x81, 0x02});
    putU16(in, static_cast<uint16_t>(std::min<uint32_t>(node.bodySize(), 0xFFFF)));
  }
  // Applications report the free memory first, so that nothing before it
  // can be mistaken for its tags.
  if (node.isDf() && !node.dfName.empty()) {
    in.insert(in.end(), {0xA5, 0x04, 0x82, 0x02});
    putU16(in, state.freeMemory());
  }
  switch (node.kind) {
    case FileKind::Df: in.insert(in.end(), {0x82, 0x01, 0x38}); break;
    case FileKind::Transparent:
      in.insert(in.end(), {0x80, 0x02});
      putU16(in, node.size);
      in.insert(in.end(), {0x82, 0x01, 0x01});
      break;
    case FileKind::LinearFixed:
      in.insert(in.end(), {0x80, 0x02});
      putU16(in, node.size);
      in.insert(in.end(), {0x82, 0x05, 0x02, node.dataCoding, 0x00, node.recordLength,
                           static_cast<uint8_t>(node.records.size())});
      break;
    case FileKind::Key: in.insert(in.end(), {0x82, 0x01, 0x11}); break;
  }
  in.insert(in.end(), {0x83, 0x02});
  putU16(in, node.fid);
  if (node.isDf() && !node.dfName.empty()) {
    in.push_back(0x84);
    in.push_back(static_cast<uint8_t>(node.dfName.size()));
    in.insert(in.end(), node.dfName.begin(), node.dfName.end());
  }
  if (!node.security.empty()) {
    in.push_back(0x86);
    in.push_back(static_cast<uint8_t>(node.security.size()));
    in.insert(in.end(), node.security.begin(), node.security.end());
  }
  in.insert(in.end(), {0x8A, 0x01, static_cast<uint8_t>(node.lifeCycle)});
  if (node.kind == FileKind::Key) {
    in.push_back(0xA5);
    in.push_back(static_cast<uint8_t>(node.keyProprietary.size()));
    in.insert(in.end(), node.keyProprietary.begin(), node.keyProprietary.end());
  }
  // Tag and length go in front of the body (built this way rather than by
  // inserting into a two-byte vector, which GCC 12 misreads as an overflow).
  in.insert(in.begin(), {static_cast<uint8_t>(fci ? 0x6F : 0x62), static_cast<uint8_t>(in.size())});
  return in;
}

Node* resolveFid(const CardState& state, uint16_t fid) {
  if (fid == kMfFid) return state.mf.get();
  Node* df = state.currentDf;
  if (df == nullptr) return nullptr;
  if (df->fid == fid) return df;
  if (Node* c = df->child(fid)) return c;
  if (Node* parent = df->parent) {
    if (parent->fid == fid) return parent;
    if (Node* sibling = parent->child(fid)) return sibling;
  }
  return nullptr;
}

bool contains(const Node& outer, const Node* inner) {
  for (const Node* n = inner; n != nullptr; n = n->parent) {
    if (n == &outer) return true;
  }
  return false;
}

Node* findDfByName(const CardState& state, std::span<const uint8_t> name) {
  return state.mf ? findByName(*state.mf, name) : nullptr;
}

void removeNode(CardState& state, Node& node) {
  Node* parent = node.parent;
  if (parent == nullptr) throw std::logic_error("the MF cannot be removed");
  if (contains(node, state.currentEf)) state.currentEf = nullptr;
  if (contains(node, state.currentDf)) {
    state.currentDf = parent;
    state.currentEf = nullptr;
  }
  std::erase_if(parent->children, [&](const std::unique_ptr<Node>& c) { return c.get() == &node; });
}

void makeCurrent(CardState& state, Node& node) {
  if (node.isDf()) {
    state.currentDf = &node;
    state.currentEf = nullptr;
  } else {
    state.currentDf = node.parent;
    state.currentEf = &node;
  }
}

}  // namespace vemra::cardsim

// File-system commands: SELECT, READ/UPDATE BINARY, the record commands,
// CREATE/DELETE/ACTIVATE FILE, GET DATA and the serial-number command.
#include <algorithm>

#include "commands.h"
#include "filesystem.h"

namespace vemra::cardsim {

namespace {

// A command that must carry no data: P3 may only be Le.
bool carriesData(const Apdu& a) { return a.hasData(); }

// A command whose data is a FID: exactly two bytes.
bool readFid(const Apdu& a, uint16_t& fid) {
  Reader r(a.data);
  return r.u16(fid) && r.empty();
}

// The current EF if it has `kind`, else the status that says why not.
uint16_t currentEf(const CardState& s, FileKind kind, Node*& out) {
  if (s.currentEf == nullptr) return sw::kNoCurrentEf;
  if (s.currentEf->kind != kind) return sw::kFileIncompatible;
  out = s.currentEf;
  return sw::kOk;
}

// Record commands address a record by its number in P1 (P2 = 04).
bool recordByNumber(const Apdu& a) { return a.p2 == 0x04 && a.p1 != 0; }

}  // namespace

Reply selectFile(CardState& s, const Apdu& a) {
  if (a.p2 != 0x00 && a.p2 != 0x04 && a.p2 != 0x0C) return Reply::status(sw::kWrongP1P2);
  Node* target = nullptr;
  uint16_t fid = 0;
  switch (a.p1) {
    case 0x00:
      if (!a.hasData()) {
        if (a.p3 != 0) return Reply::status(sw::kWrongLength);
        target = s.mf.get();
        break;
      }
      if (!readFid(a, fid)) return Reply::status(sw::kWrongLength);
      target = resolveFid(s, fid);
      break;
    case 0x01:
    case 0x02: {
      if (!readFid(a, fid)) return Reply::status(sw::kWrongLength);
      Node* c = s.currentDf->child(fid);
      if (c != nullptr && c->isDf() == (a.p1 == 0x01)) target = c;
      break;
    }
    case 0x03:
      if (a.hasData() || a.p3 != 0) return Reply::status(sw::kWrongLength);
      target = s.currentDf->parent;
      break;
    case 0x04:
      if (a.data.empty() || a.data.size() > 16) return Reply::status(sw::kWrongLength);
      target = findDfByName(s, a.data);
      break;
    default: return Reply::status(sw::kWrongP1P2);
  }
  if (target == nullptr) return Reply::status(sw::kFileNotFound);
  makeCurrent(s, *target);
  if (a.p2 == 0x0C) return Reply::ok();
  return Reply::withData(controlParameters(s, *target, a.p2 == 0x00));
}

Reply readBinary(CardState& s, const Apdu& a) {
  if (carriesData(a)) return Reply::status(sw::kWrongLength);
  if (a.p1 & 0x80) return Reply::status(sw::kWrongP1P2);
  Node* ef = nullptr;
  if (uint16_t st = currentEf(s, FileKind::Transparent, ef); st != sw::kOk) return Reply::status(st);
  if (uint16_t st = s.check(*ef, Access::Read); st != sw::kOk) return Reply::status(st);
  const std::size_t offset = (static_cast<std::size_t>(a.p1) << 8) | a.p2;
  if (offset >= ef->data.size()) return Reply::status(sw::kOffsetOutside);
  const std::size_t available = ef->data.size() - offset;
  const std::size_t n = std::min(a.le(), available);
  Reply r{{ef->data.begin() + static_cast<std::ptrdiff_t>(offset),
           ef->data.begin() + static_cast<std::ptrdiff_t>(offset + n)},
          n < a.le() ? sw::kEndOfFile : sw::kOk, LePolicy::AsIs};
  return r;
}

Reply updateBinary(CardState& s, const Apdu& a) {
  if (!a.hasData()) return Reply::status(sw::kWrongLength);
  if (a.p1 & 0x80) return Reply::status(sw::kWrongP1P2);
  Node* ef = nullptr;
  if (uint16_t st = currentEf(s, FileKind::Transparent, ef); st != sw::kOk) return Reply::status(st);
  if (uint16_t st = s.check(*ef, Access::Update); st != sw::kOk) return Reply::status(st);
  const std::size_t offset = (static_cast<std::size_t>(a.p1) << 8) | a.p2;
  if (offset >= ef->data.size()) return Reply::status(sw::kOffsetOutside);
  if (a.data.size() > ef->data.size() - offset) return Reply::status(sw::kWrongLength);
  std::ranges::copy(a.data, ef->data.begin() + static_cast<std::ptrdiff_t>(offset));
  return Reply::ok();
}

Reply readRecord(CardState& s, const Apdu& a) {
  if (carriesData(a)) return Reply::status(sw::kWrongLength);
  if (!recordByNumber(a)) return Reply::status(sw::kWrongP1P2);
  Node* ef = nullptr;
  if (uint16_t st = currentEf(s, FileKind::LinearFixed, ef); st != sw::kOk) return Reply::status(st);
  if (uint16_t st = s.check(*ef, Access::Read); st != sw::kOk) return Reply::status(st);
  if (a.p1 > ef->records.size()) return Reply::status(sw::kRecordNotFound);
  return Reply::withData(ef->records[a.p1 - 1u], LePolicy::Prefix);
}

Reply updateRecord(CardState& s, const Apdu& a) {
  if (!a.hasData()) return Reply::status(sw::kWrongLength);
  if (!recordByNumber(a)) return Reply::status(sw::kWrongP1P2);
  Node* ef = nullptr;
  if (uint16_t st = currentEf(s, FileKind::LinearFixed, ef); st != sw::kOk) return Reply::status(st);
  if (uint16_t st = s.check(*ef, Access::Update); st != sw::kOk) return Reply::status(st);
  if (a.p1 > ef->records.size()) return Reply::status(sw::kRecordNotFound);
  if (a.data.size() != ef->recordLength) return Reply::status(sw::kWrongLength);
  ef->records[a.p1 - 1u].assign(a.data.begin(), a.data.end());
  return Reply::ok();
}

Reply appendRecord(CardState& s, const Apdu& a) {
  if (!a.hasData()) return Reply::status(sw::kWrongLength);
  if (a.p1 != 0 || a.p2 != 0) return Reply::status(sw::kWrongP1P2);
  Node* ef = nullptr;
  if (uint16_t st = currentEf(s, FileKind::LinearFixed, ef); st != sw::kOk) return Reply::status(st);
  if (uint16_t st = s.check(*ef, Access::Update); st != sw::kOk) return Reply::status(st);
  if (a.data.size() != ef->recordLength) return Reply::status(sw::kWrongLength);
  if ((ef->records.size() + 1) * ef->recordLength > ef->size) return Reply::status(sw::kNotEnoughMemory);
  ef->records.emplace_back(a.data.begin(), a.data.end());
  return Reply::ok();
}

Reply createFile(CardState& s, const Apdu& a) {
  if (a.p1 != 0 || a.p2 != 0) return Reply::status(sw::kWrongP1P2);
  if (!a.hasData()) return Reply::status(sw::kWrongLength);
  ParsedFcp parsed = parseFcp(a.data);
  if (parsed.sw != sw::kOk) return Reply::status(parsed.sw);
  Node& parent = *s.currentDf;
  if (uint16_t st = s.check(parent, Access::Create); st != sw::kOk) return Reply::status(st);
  Node& node = *parsed.node;
  if (parent.fid == node.fid || parent.child(node.fid) != nullptr) return Reply::status(sw::kFileExists);
  if (!node.dfName.empty() && findDfByName(s, node.dfName) != nullptr) return Reply::status(sw::kDfNameExists);
  if (s.usedMemory() + kFileOverhead + node.bodySize() > s.config.memoryCapacity) {
    return Reply::status(sw::kNotEnoughMemory);
  }
  node.parent = &parent;
  parent.children.push_back(std::move(parsed.node));
  makeCurrent(s, node);
  return Reply::ok();
}

Reply deleteFile(CardState& s, const Apdu& a) {
  if (a.p2 != 0x00 && a.p2 != 0x04 && a.p2 != 0x0C) return Reply::status(sw::kWrongP1P2);
  Node* target = nullptr;
  if (!a.hasData()) {
    if (a.p3 != 0) return Reply::status(sw::kWrongLength);
    if (a.p1 != 0x00) return Reply::status(sw::kWrongP1P2);
    if (s.currentEf == nullptr) return Reply::status(sw::kNoCurrentEf);
    target = s.currentEf;
  } else {
    uint16_t fid = 0;
    if (!readFid(a, fid)) return Reply::status(sw::kWrongLength);
    if (a.p1 == 0x00) {
      target = resolveFid(s, fid);
    } else if (a.p1 == 0x01 || a.p1 == 0x02) {
      Node* c = s.currentDf->child(fid);
      if (c != nullptr && c->isDf() == (a.p1 == 0x01)) target = c;
    } else {
      return Reply::status(sw::kWrongP1P2);
    }
  }
  if (target == nullptr) return Reply::status(sw::kFileNotFound);
  if (target == s.mf.get()) return Reply::status(sw::kSecurityNotSatisfied);
  if (uint16_t st = s.check(*target, Access::Delete); st != sw::kOk) return Reply::status(st);
  removeNode(s, *target);
  return Reply::ok();
}

Reply activateFile(CardState& s, const Apdu& a) {
  if (a.p1 != 0 || a.p2 != 0) return Reply::status(sw::kWrongP1P2);
  Node* target = nullptr;
  if (!a.hasData()) {
    if (a.p3 != 0) return Reply::status(sw::kWrongLength);
    target = s.currentEf != nullptr ? s.currentEf : s.currentDf;
  } else {
    uint16_t fid = 0;
    if (!readFid(a, fid)) return Reply::status(sw::kWrongLength);
    target = resolveFid(s, fid);
  }
  if (target == nullptr) return Reply::status(sw::kFileNotFound);
  target->lifeCycle = LifeCycle::Activated;
  return Reply::ok();
}

Reply getData(CardState& s, const Apdu& a) {
  if (carriesData(a)) return Reply::status(sw::kWrongLength);
  const Node* app = s.application();
  // The configuration objects belong to the application: they are visible
  // only while the application or a DF inside it is the current DF.
  if (app == nullptr || !contains(*app, s.currentDf) || a.p1 != 0x00) {
    return Reply::status(sw::kReferenceNotFound);
  }
  const CardConfig& c = s.config;
  std::vector<uint8_t> out;
  switch (a.p2) {
    case 0xB1:
      for (uint16_t v : {c.dirTableFid, c.dirFidBase, c.fileTableFidBase, c.fileFidBase, c.kxKeyFidBase,
                         c.sigKeyFidBase, c.reservedWord1, c.reservedWord2}) {
        putU16(out, v);
      }
      break;
    case 0xB2: out = {c.dirTableRecords, c.maxContainers, c.fileTableRecords}; break;
    case 0xB3:
      out = {c.kxKeyRefBase, c.sigKeyRefBase, c.userPinRef, c.adminPinRef, c.userAccess, c.reservedByte};
      break;
    default: return Reply::status(sw::kReferenceNotFound);
  }
  return Reply::withData(std::move(out));
}

Reply serialNumber(CardState& s, const Apdu& a) {
  if (carriesData(a)) return Reply::status(sw::kWrongLength);
  if (a.p1 != 0x06 || a.p2 != 0x00) return Reply::status(sw::kWrongP1P2);
  return Reply::withData(s.config.serialNumber);
}

}  // namespace vemra::cardsim

// The card object: power, T=0 framing (61xx, 6Cxx, GET RESPONSE), command
// chaining, dispatch by class and instruction, and the test overrides.
#include "cardsim/card.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "commands.h"
#include "filesystem.h"
#include "persist.h"

namespace vemra::cardsim {

namespace {

// The card takes at most 200 bytes in one piece of a chain, and collects no
// more than its largest key needs: a 2048-bit key load is the exponent field
// and two numbers of 256 bytes, a 2048-bit decryption one block of 256.
constexpr std::size_t kMaxPiece = 200;
constexpr std::size_t kMaxKeyLoad = 8 + 2 * 256;
constexpr std::size_t kMaxDecipher = 256;

using Handler = Reply (*)(CardState&, const Apdu&);

struct Entry {
  uint8_t ins;
  Handler handler;
};

// Class 0x00.
constexpr Entry kIsoCommands[] = {
    {0xA4, selectFile},       {0xB0, readBinary},         {0xD6, updateBinary},
    {0xB2, readRecord},       {0xDC, updateRecord},       {0xE2, appendRecord},
    {0xE0, createFile},       {0xE4, deleteFile},         {0x44, activateFile},
    {0xCA, getData},          {0x20, verify},             {0x24, changeReferenceData},
    {0x2C, resetRetryCounter}, {0x84, getChallenge},      {0x82, externalAuthenticate},
    {0x22, manageSecurityEnvironment}, {0x2A, computeSignature},
};

// Class 0x80, single commands. Key load (72 01) and decryption (2A) are
// chainable and handled apart.
constexpr Entry kProprietaryCommands[] = {
    {0x74, sessionVerify}, {0x40, deauthenticate}, {0x46, readPublicKey}, {0xFE, serialNumber},
};

Handler find(std::span<const Entry> table, uint8_t ins) {
  for (const Entry& e : table) {
    if (e.ins == ins) return e.handler;
  }
  return nullptr;
}

std::vector<uint8_t> statusBytes(uint16_t s) {
  return {static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s & 0xFF)};
}

uint8_t lengthByte(std::size_t n) { return static_cast<uint8_t>(n >= 256 ? 0 : n); }

// Commands that change a file, a key or a credential when they succeed. A
// key load writes with its last piece (class 80).
bool writes(const Apdu& a) {
  static constexpr uint8_t kIsoWrites[] = {0xD6, 0xDC, 0xE2, 0xE0, 0xE4, 0x44, 0x24, 0x2C};
  if (a.cla == 0x00) return std::ranges::find(kIsoWrites, a.ins) != std::end(kIsoWrites);
  return a.cla == 0x80 && a.ins == 0x72;
}

// What a command that the card answered with `r` made it do.
CommandWork workOf(const Apdu& a, const Reply& r) {
  CommandWork w;
  if (r.sw != sw::kOk) return w;
  w.wrote = writes(a);
  // A signature or the last piece of a decryption: the answer has the key's size.
  if (a.ins == 0x2A && (a.cla == 0x00 || a.cla == 0x80)) w.privateKeyBits = static_cast<unsigned>(r.data.size() * 8);
  return w;
}

bool startsWith(std::span<const uint8_t> bytes, const std::vector<uint8_t>& prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

}  // namespace

std::optional<Apdu> Apdu::parse(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  Apdu a;
  a.cla = bytes[0];
  a.ins = bytes[1];
  a.p1 = bytes[2];
  a.p2 = bytes[3];
  if (bytes.size() == 4) return a;
  a.p3 = bytes[4];
  if (bytes.size() == 5) return a;
  const std::size_t lc = a.p3;
  // Past the data only an Le of 00 may follow (what a T=1 application adds
  // and the T=0 reader drops); any other extra byte means Lc and the data
  // disagree.
  const bool exact = bytes.size() == 5 + lc;
  const bool withLe = bytes.size() == 6 + lc && bytes.back() == 0x00;
  if (lc == 0 || (!exact && !withLe)) return std::nullopt;
  a.data = bytes.subspan(5, lc);
  return a;
}

Override Override::status(std::vector<uint8_t> prefix, uint16_t sw, unsigned nth) {
  Override o;
  o.prefix = std::move(prefix);
  o.nth = nth;
  o.kind = Kind::Status;
  o.sw = sw;
  return o;
}

Override Override::replace(std::vector<uint8_t> prefix, std::vector<uint8_t> answer, unsigned nth) {
  Override o;
  o.prefix = std::move(prefix);
  o.nth = nth;
  o.kind = Kind::Replace;
  o.bytes = std::move(answer);
  return o;
}

Override Override::truncate(std::vector<uint8_t> prefix, std::size_t keep, unsigned nth) {
  Override o;
  o.prefix = std::move(prefix);
  o.nth = nth;
  o.kind = Kind::Truncate;
  o.length = keep;
  return o;
}

Override Override::extend(std::vector<uint8_t> prefix, std::vector<uint8_t> extra, unsigned nth) {
  Override o;
  o.prefix = std::move(prefix);
  o.nth = nth;
  o.kind = Kind::Extend;
  o.bytes = std::move(extra);
  return o;
}

Override Override::announce61(std::vector<uint8_t> prefix, unsigned nth) {
  Override o;
  o.prefix = std::move(prefix);
  o.nth = nth;
  o.kind = Kind::Announce61;
  return o;
}

Override Override::demand6C(std::vector<uint8_t> prefix, uint8_t length, unsigned nth) {
  Override o;
  o.prefix = std::move(prefix);
  o.nth = nth;
  o.kind = Kind::Demand6C;
  o.length = length;
  return o;
}

struct Card::Impl {
  CardState state;
  struct Armed {
    Override rule;
    unsigned seen = 0;
  };
  std::vector<Armed> overrides;
  CommandWork work;  // of the last command
  mutable std::mutex mutex;

  std::vector<uint8_t> answer(std::span<const uint8_t> command) {
    Override* chosen = nullptr;
    for (Armed& a : overrides) {
      if (!startsWith(command, a.rule.prefix)) continue;
      ++a.seen;
      if (chosen == nullptr && (a.rule.nth == 0 || a.rule.nth == a.seen)) chosen = &a.rule;
    }
    return chosen != nullptr ? overridden(*chosen, command) : framed(command);
  }

  std::vector<uint8_t> overridden(const Override& o, std::span<const uint8_t> command) {
    switch (o.kind) {
      case Override::Kind::Status:
        if (o.execute) framed(command);
        return statusBytes(o.sw);
      case Override::Kind::Replace:
        if (o.execute) framed(command);
        return o.bytes;
      case Override::Kind::Truncate: {
        std::vector<uint8_t> r = framed(command);
        const std::size_t data = r.size() - 2;
        if (data > o.length) r.erase(r.begin() + static_cast<std::ptrdiff_t>(o.length), r.end() - 2);
        return r;
      }
      case Override::Kind::Extend: {
        std::vector<uint8_t> r = framed(command);
        r.insert(r.end() - 2, o.bytes.begin(), o.bytes.end());
        return r;
      }
      case Override::Kind::Announce61: {
        const auto apdu = Apdu::parse(command);
        state.pending.reset();
        if (!apdu) return statusBytes(sw::kWrongLength);
        Reply r = execute(*apdu);
        if (r.data.empty()) return statusBytes(r.sw);
        return announce(std::move(r));
      }
      case Override::Kind::Demand6C:
        state.pending.reset();
        return {0x6C, static_cast<uint8_t>(o.length)};
    }
    return statusBytes(sw::kNoDiagnosis);
  }

  // One command through the T=0 procedures.
  std::vector<uint8_t> framed(std::span<const uint8_t> command) {
    const auto apdu = Apdu::parse(command);
    if (!apdu) {
      state.pending.reset();
      return statusBytes(sw::kWrongLength);
    }
    if (apdu->cla == 0x00 && apdu->ins == 0xC0) return getResponse(*apdu);
    state.pending.reset();
    Reply r = execute(*apdu);
    if (r.data.empty()) return statusBytes(r.sw);
    // Data answering a command that carried data waits for GET RESPONSE.
    if (apdu->hasData()) return announce(std::move(r));
    const std::size_t le = apdu->le();
    const std::size_t available = r.data.size();
    if ((r.policy == LePolicy::Exact && le != available) || (r.policy == LePolicy::Prefix && le > available)) {
      return {0x6C, lengthByte(available)};
    }
    if (r.policy == LePolicy::Prefix) r.data.resize(le);
    r.data.push_back(static_cast<uint8_t>(r.sw >> 8));
    r.data.push_back(static_cast<uint8_t>(r.sw & 0xFF));
    return std::move(r.data);
  }

  std::vector<uint8_t> announce(Reply r) {
    const std::size_t n = r.data.size();
    state.pending = std::move(r);
    state.pendingOffset = 0;
    return {0x61, lengthByte(n)};
  }

  std::vector<uint8_t> getResponse(const Apdu& a) {
    if (a.hasData()) return statusBytes(sw::kWrongLength);
    if (a.p1 != 0 || a.p2 != 0) return statusBytes(sw::kWrongP1P2);
    if (!state.pending) return statusBytes(sw::kConditionsNotSatisfied);
    const std::vector<uint8_t>& data = state.pending->data;
    const std::size_t remaining = data.size() - state.pendingOffset;
    const std::size_t le = a.le();
    if (le > remaining) return {0x6C, lengthByte(remaining)};
    const auto from = data.begin() + static_cast<std::ptrdiff_t>(state.pendingOffset);
    std::vector<uint8_t> out(from, from + static_cast<std::ptrdiff_t>(le));
    state.pendingOffset += le;
    const std::size_t left = data.size() - state.pendingOffset;
    if (left == 0) {
      const uint16_t final = state.pending->sw;
      state.pending.reset();
      out.push_back(static_cast<uint8_t>(final >> 8));
      out.push_back(static_cast<uint8_t>(final & 0xFF));
    } else {
      out.push_back(0x61);
      out.push_back(lengthByte(left));
    }
    return out;
  }

  Reply execute(const Apdu& a) {
    Reply r = dispatch(a);
    work = workOf(a, r);
    return r;
  }

  Reply dispatch(const Apdu& a) {
    const bool proprietary = a.cla == 0x80 || a.cla == 0x90;
    // A chain continues only with a piece of the same command; any other
    // command abandons it.
    if (state.chain && !(proprietary && state.chain->ins == a.ins && state.chain->p1 == a.p1 &&
                         state.chain->p2 == a.p2)) {
      state.chain.reset();
    }
    if (a.cla == 0x00) {
      Handler h = find(kIsoCommands, a.ins);
      return h != nullptr ? h(state, a) : Reply::status(sw::kInsNotSupported);
    }
    if (!proprietary) return Reply::status(sw::kClaNotSupported);
    if (a.ins == 0x72 && a.p1 == 0x01) {
      if (a.p2 != 0x00) return Reply::status(sw::kWrongP1P2);
      return chained(a, checkKeyLoadPiece, loadKey, kMaxKeyLoad);
    }
    if (a.ins == 0x2A) {
      if (a.p1 != 0x9E || a.p2 != 0x9A) return Reply::status(sw::kWrongP1P2);
      return chained(a, checkDecipherPiece, decipher, kMaxDecipher);
    }
    if (a.cla == 0x90) return Reply::status(sw::kChainingNotSupported);
    if (a.ins == 0x72) return a.p1 == 0x02 ? setPin(state, a) : Reply::status(sw::kWrongP1P2);
    Handler h = find(kProprietaryCommands, a.ins);
    return h != nullptr ? h(state, a) : Reply::status(sw::kInsNotSupported);
  }

  using Final = Reply (*)(CardState&, const Apdu&, std::span<const uint8_t>);

  // Collects the pieces of a chain (CLA 0x90) and runs `last` on the whole
  // when the final piece (CLA 0x80) arrives. Every piece is checked first; a
  // piece over 200 bytes or a chain over `maxChain` is refused with 6700.
  Reply chained(const Apdu& a, uint16_t (*check)(const CardState&), Final last, std::size_t maxChain) {
    if (!a.hasData() || a.data.size() > kMaxPiece) {
      state.chain.reset();
      return Reply::status(sw::kWrongLength);
    }
    if (uint16_t st = check(state); st != sw::kOk) {
      state.chain.reset();
      return Reply::status(st);
    }
    if (!state.chain) state.chain = Chain{a.ins, a.p1, a.p2, {}};
    if (state.chain->bytes.size() + a.data.size() > maxChain) {
      state.chain.reset();
      return Reply::status(sw::kWrongLength);
    }
    state.chain->bytes.insert(state.chain->bytes.end(), a.data.begin(), a.data.end());
    if (a.cla == 0x90) return Reply::ok();
    std::vector<uint8_t> stream = std::move(state.chain->bytes);
    state.chain.reset();
    return last(state, a, stream);
  }
};

void personalise(CardState& s) {
  const CardConfig& c = s.config;
  if (c.userPin.size() < 4 || c.userPin.size() > 8) throw std::invalid_argument("the user PIN has 4 to 8 bytes");
  if (c.userPinMaxTries == 0 || c.userPinMaxTries > 15 || c.adminKeyMaxTries == 0 || c.adminKeyMaxTries > 15) {
    throw std::invalid_argument("retry counters run from 1 to 15");
  }
  if (c.withApplication && (c.applicationName.empty() || c.applicationName.size() > 16)) {
    throw std::invalid_argument("a DF name has 1 to 16 bytes");
  }
  s.mf = std::make_unique<Node>();
  s.mf->kind = FileKind::Df;
  s.mf->fid = kMfFid;
  s.mf->security = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  if (c.withApplication) {
    auto app = std::make_unique<Node>();
    app->kind = FileKind::Df;
    app->fid = c.applicationFid;
    app->dfName.assign(c.applicationName.begin(), c.applicationName.end());
    app->security = {0xFF, 0xFF, 0xFF, 0xFF, c.userAccess};
    app->parent = s.mf.get();
    if (c.personalised) {
      // Directory table and root file table 0: everyone reads, the user or
      // the administrator writes, no one deletes.
      auto table = [&](uint16_t fid, uint8_t recordLength, uint8_t count) {
        auto t = std::make_unique<Node>();
        t->kind = FileKind::LinearFixed;
        t->fid = fid;
        t->dataCoding = 0xC1;
        t->recordLength = recordLength;
        t->size = static_cast<uint16_t>(recordLength * count);
        t->records.assign(count, std::vector<uint8_t>(recordLength, 0x00));
        t->security = {0xFF, 0xFF, 0xFF, 0x00, c.userAccess, 0xFF};
        t->parent = app.get();
        app->children.push_back(std::move(t));
      };
      table(c.dirTableFid, 9, c.dirTableRecords);
      table(c.fileTableFidBase, 11, c.fileTableRecords);
    }
    s.mf->children.push_back(std::move(app));
  }
  s.user.secret = c.userPin;
  s.user.secret.resize(8, 0x00);
  s.user.maxTries = s.user.triesLeft = c.userPinMaxTries;
  s.admin.secret.assign(c.adminKey.begin(), c.adminKey.end());
  s.admin.maxTries = s.admin.triesLeft = c.adminKeyMaxTries;
  s.clearVolatile();
}

Card::Card(CardConfig config) : impl_(std::make_unique<Impl>()) {
  impl_->state.config = std::move(config);
  personalise(impl_->state);
}

Card::~Card() = default;
Card::Card(Card&&) noexcept = default;
Card& Card::operator=(Card&&) noexcept = default;

std::vector<uint8_t> Card::atr() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state.config.atr;
}

void Card::setAtr(std::vector<uint8_t> atr) {
  std::lock_guard lock(impl_->mutex);
  impl_->state.config.atr = std::move(atr);
}

void Card::powerOn() {
  std::lock_guard lock(impl_->mutex);
  impl_->state.powered = true;
  impl_->state.clearVolatile();
}

void Card::reset() { powerOn(); }

void Card::powerOff() {
  std::lock_guard lock(impl_->mutex);
  impl_->state.powered = false;
  impl_->state.clearVolatile();
}

bool Card::powered() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state.powered;
}

std::vector<uint8_t> Card::transmit(std::span<const uint8_t> command) {
  std::lock_guard lock(impl_->mutex);
  impl_->work = CommandWork{};
  if (!impl_->state.powered) return {};
  try {
    return impl_->answer(command);
  } catch (const std::exception&) {
    impl_->state.pending.reset();
    impl_->state.chain.reset();
    return statusBytes(sw::kNoDiagnosis);
  }
}

CommandWork Card::lastWork() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->work;
}

void Card::addOverride(Override override) {
  std::lock_guard lock(impl_->mutex);
  impl_->overrides.push_back({std::move(override), 0});
}

void Card::clearOverrides() {
  std::lock_guard lock(impl_->mutex);
  impl_->overrides.clear();
}

const CardConfig& Card::config() const { return impl_->state.config; }

uint16_t Card::freeMemory() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state.freeMemory();
}

std::string Card::toJson() const {
  std::lock_guard lock(impl_->mutex);
  return stateToJson(impl_->state);
}

Card Card::fromJson(const std::string& json) {
  Card card;
  stateFromJson(json, card.impl_->state);
  return card;
}

}  // namespace vemra::cardsim

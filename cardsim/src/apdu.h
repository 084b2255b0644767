// Command parsing, answers and status words of the simulated card.
#ifndef VEMRA_CARDSIM_APDU_H
#define VEMRA_CARDSIM_APDU_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vemra::cardsim {

// The status words the card answers with, named once.
namespace sw {
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint16_t kEndOfFile = 0x6282;
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kFileIncompatible = 0x6981;
inline constexpr uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr uint16_t kBlocked = 0x6983;
inline constexpr uint16_t kReferenceNotUsable = 0x6984;
inline constexpr uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr uint16_t kNoCurrentEf = 0x6986;
inline constexpr uint16_t kChainingNotSupported = 0x6884;
inline constexpr uint16_t kWrongData = 0x6A80;
inline constexpr uint16_t kFileNotFound = 0x6A82;
inline constexpr uint16_t kRecordNotFound = 0x6A83;
inline constexpr uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr uint16_t kWrongP1P2 = 0x6A86;
inline constexpr uint16_t kReferenceNotFound = 0x6A88;
inline constexpr uint16_t kFileExists = 0x6A89;
inline constexpr uint16_t kDfNameExists = 0x6A8A;
inline constexpr uint16_t kOffsetOutside = 0x6B00;
inline constexpr uint16_t kInsNotSupported = 0x6D00;
inline constexpr uint16_t kClaNotSupported = 0x6E00;
inline constexpr uint16_t kNoDiagnosis = 0x6F00;
inline constexpr uint16_t triesLeft(unsigned n) { return static_cast<uint16_t>(0x63C0 | (n & 0x0F)); }
}  // namespace sw

// One command in T=0 framing: CLA INS P1 P2, then P3 and the data. P3 is Lc
// when data follows, else Le (0 standing for 256). A trailing Le of 00 after
// the data, as T=1 applications send it, is accepted and ignored; any other
// length that does not agree with Lc is refused.
struct Apdu {
  uint8_t cla = 0;
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  uint8_t p3 = 0;
  std::span<const uint8_t> data;

  bool hasData() const { return !data.empty(); }
  // The expected response length of a command without data.
  std::size_t le() const { return p3 == 0 ? 256 : p3; }

  // Empty for commands shorter than four bytes or whose length does not
  // agree with P3; the caller answers those with 6700.
  static std::optional<Apdu> parse(std::span<const uint8_t> bytes);
};

// How the T=0 layer treats response data of a command without data (case 2)
// when Le differs from the amount available.
enum class LePolicy {
  Exact,   // any difference: 6C with the available length
  Prefix,  // a shorter Le gets the first Le bytes; a longer one 6C
  AsIs,    // the handler has already sized the data to Le
};

struct Reply {
  std::vector<uint8_t> data;
  uint16_t sw = sw::kOk;
  LePolicy policy = LePolicy::Exact;

  static Reply status(uint16_t s) { return Reply{{}, s, LePolicy::Exact}; }
  static Reply ok() { return status(sw::kOk); }
  static Reply withData(std::vector<uint8_t> d, LePolicy p = LePolicy::Exact) {
    return Reply{std::move(d), sw::kOk, p};
  }
};

// A bounded reader over untrusted bytes: every read checks first and leaves
// the reader unchanged when it fails.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  [[nodiscard]] bool u8(uint8_t& out) {
    if (bytes_.empty()) return false;
    out = bytes_[0];
    bytes_ = bytes_.subspan(1);
    return true;
  }
  [[nodiscard]] bool u16(uint16_t& out) {
    if (bytes_.size() < 2) return false;
    out = static_cast<uint16_t>((bytes_[0] << 8) | bytes_[1]);
    bytes_ = bytes_.subspan(2);
    return true;
  }
  [[nodiscard]] bool take(std::size_t n, std::span<const uint8_t>& out) {
    if (bytes_.size() < n) return false;
    out = bytes_.first(n);
    bytes_ = bytes_.subspan(n);
    return true;
  }
  // One BER-TLV element with a one-byte tag and a short or 81/82 long length.
  [[nodiscard]] bool tlv(uint8_t& tag, std::span<const uint8_t>& value) {
    Reader probe = *this;
    uint8_t t = 0;
    uint8_t l = 0;
    if (!probe.u8(t) || !probe.u8(l)) return false;
    std::size_t len = l;
    if (l == 0x81) {
      uint8_t b = 0;
      if (!probe.u8(b)) return false;
      len = b;
    } else if (l == 0x82) {
      uint16_t w = 0;
      if (!probe.u16(w)) return false;
      len = w;
    } else if (l > 0x80) {
      return false;
    }
    std::span<const uint8_t> v;
    if (!probe.take(len, v)) return false;
    *this = probe;
    tag = t;
    value = v;
    return true;
  }
  bool empty() const { return bytes_.empty(); }
  std::size_t remaining() const { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

inline void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_APDU_H

#include "cardsim/timing.h"

#include <array>
#include <charconv>

namespace vemra::cardsim {

namespace {

using namespace std::chrono_literals;

// One named cost of the text form.
struct Field {
  std::string_view name;
  Micros TimingProfile::*member;
};

constexpr std::array<Field, 6> kFields = {{
    {"command", &TimingProfile::command},
    {"byte-in", &TimingProfile::byteIn},
    {"byte-out", &TimingProfile::byteOut},
    {"rsa1024", &TimingProfile::rsa1024},
    {"rsa2048", &TimingProfile::rsa2048},
    {"write", &TimingProfile::write},
}};

// A whole number of microseconds or milliseconds: "1116us", "150ms".
std::optional<Micros> parseDuration(std::string_view text) {
  long long factor = 0;
  if (text.ends_with("us")) factor = 1;
  if (text.ends_with("ms")) factor = 1000;
  if (factor == 0) return std::nullopt;
  text.remove_suffix(2);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty() || value < 0) return std::nullopt;
  // Ten minutes per unit is far beyond any card; it also keeps sums from overflowing.
  if (value > 600'000'000 / factor) return std::nullopt;
  return Micros(value * factor);
}

bool applyChange(TimingProfile& profile, std::string_view change) {
  const std::size_t equals = change.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view name = change.substr(0, equals);
  const auto value = parseDuration(change.substr(equals + 1));
  if (!value) return false;
  if (name == "byte") {
    profile.byteIn = profile.byteOut = *value;
    return true;
  }
  for (const Field& f : kFields) {
    if (f.name == name) {
      profile.*f.member = *value;
      return true;
    }
  }
  return false;
}

}  // namespace

bool TimingProfile::enabled() const { return *this != TimingProfile{}; }

// The card's answer to reset offers no other rate (no TA1), so it runs at
// the default F = 372, D = 1; USB readers commonly clock the card at 4 MHz,
// which makes an elementary time unit of 93 µs and a character (start bit,
// eight data bits, parity, two guard units) 12 units: 1116 µs a byte, about
// 10.7 kbit/s. Each exchange also costs the reader's USB bulk transfers out
// and back (full-speed frames of 1 ms), the T=0 procedure byte and the
// card's own decoding and memory access: 5 ms in all. Published figures for
// RSA private-key operations (with the Chinese remainder theorem) on
// smart-card coprocessors run from 100 to 300 ms for 2048-bit keys and from
// 20 to 80 ms for 1024-bit keys: 150 ms and 40 ms. Writing EEPROM takes 2 to
// 5 ms per page of 32 to 64 bytes, and a write command of the driver (a
// piece of a file, a record, a key, a new file's header) touches a few
// pages: 10 ms.
TimingProfile TimingProfile::usbContactReader() {
  TimingProfile p;
  p.command = 5ms;
  p.byteIn = 1116us;
  p.byteOut = 1116us;
  p.rsa1024 = 40ms;
  p.rsa2048 = 150ms;
  p.write = 10ms;
  return p;
}

Micros modelledTime(const TimingProfile& profile, std::size_t commandBytes, std::size_t answerBytes,
                    const CommandWork& work) {
  Micros total = profile.command;
  total += profile.byteIn * static_cast<long long>(commandBytes);
  total += profile.byteOut * static_cast<long long>(answerBytes);
  if (work.privateKeyBits > 1024) {
    total += profile.rsa2048;
  } else if (work.privateKeyBits > 0) {
    total += profile.rsa1024;
  }
  if (work.wrote) total += profile.write;
  return total;
}

std::optional<TimingProfile> parseTimingProfile(std::string_view text) {
  TimingProfile profile;
  bool first = true;
  while (!text.empty() || first) {
    const std::size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (first && part == "usb-contact") {
      profile = TimingProfile::usbContactReader();
    } else if (!(first && part == "off") && !applyChange(profile, part)) {
      return std::nullopt;
    }
    // A trailing comma leaves an empty last change, which does not parse.
    if (comma != std::string_view::npos && text.empty()) return std::nullopt;
    first = false;
  }
  return profile;
}

std::string formatTimingProfile(const TimingProfile& profile) {
  std::string out = "off";
  for (const Field& f : kFields) {
    const Micros value = profile.*f.member;
    if (value == Micros{0}) continue;
    // Appended piece by piece: gcc 12 at -O3 warns falsely on a chain of + here.
    out.append(",").append(f.name).append("=").append(std::to_string(value.count())).append("us");
  }
  return out;
}

}  // namespace vemra::cardsim

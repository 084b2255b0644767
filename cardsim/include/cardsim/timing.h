// How long a real card behind a real reader would take to answer a command.
// The simulated card answers in microseconds; a contact card behind a USB
// reader takes milliseconds per command, more per byte moved at the card's
// bit rate, and far more for a private-key operation or a write to its
// memory. vemra-vcard sleeps for the modelled time, so that every program
// using the simulated card waits as it would for a real one. See README.md
// for the default profile and where its figures come from.
#ifndef VEMRA_CARDSIM_TIMING_H
#define VEMRA_CARDSIM_TIMING_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vemra::cardsim {

using Micros = std::chrono::microseconds;

// The costs of one command. All zero (the default) models nothing.
struct TimingProfile {
  Micros command{0};  // fixed cost of every exchange: the reader's transfers, the card's decoding
  Micros byteIn{0};   // per byte of the command APDU sent to the card
  Micros byteOut{0};  // per byte of the answer, status word included
  Micros rsa1024{0};  // per private-key operation with a key of up to 1024 bits
  Micros rsa2048{0};  // per private-key operation with a larger key
  Micros write{0};    // per command that changes a file, a key or a credential

  bool enabled() const;
  bool operator==(const TimingProfile&) const = default;

  // A contact card at the default T=0 rate behind a USB reader.
  static TimingProfile usbContactReader();
};

// What one command made the card do beyond moving its bytes.
struct CommandWork {
  unsigned privateKeyBits = 0;  // size of the key of a private-key operation, 0 for none
  bool wrote = false;           // a file, a key or a credential was changed
};

// The time the profile gives one exchange of `commandBytes` bytes answered
// with `answerBytes` bytes (data and status word).
Micros modelledTime(const TimingProfile& profile, std::size_t commandBytes, std::size_t answerBytes,
                    const CommandWork& work);

// Reads a profile from text: "off", "usb-contact", or either followed by
// comma-separated changes NAME=VALUE with NAME one of command, byte-in,
// byte-out, byte (both ways), rsa1024, rsa2048, write and VALUE a whole
// number followed by "us" or "ms" ("usb-contact,byte=93us"). A list of
// changes alone starts from "off". Nothing for text that does not parse.
std::optional<TimingProfile> parseTimingProfile(std::string_view text);
// The profile as text that parseTimingProfile reads back.
std::string formatTimingProfile(const TimingProfile& profile);

}  // namespace vemra::cardsim

#endif  // VEMRA_CARDSIM_TIMING_H

// PINs and administrator keys: where they come from and how they are kept.
// Every secret lives in a Secret, whose bytes are wiped when it goes; the
// process is made non-dumpable at start, so no core file holds one.
#ifndef VEMRA_CTL_SECRETS_H
#define VEMRA_CTL_SECRETS_H

#include <cstdint>
#include <string>
#include <vector>

namespace vemra::ctl {

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  Secret& operator=(Secret&& other) noexcept;
  ~Secret() { wipe(); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  void wipe();
  // The bytes themselves, for filling a secret in place (reserve first: a
  // vector that grows leaves its old bytes behind unwiped).
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Wipes a string that held a secret (an argument, a line read).
void wipeString(std::string& text);

// The first of: `given` (an option's value), the environment variable `env`,
// a prompt on the terminal without echo. Throws when none gives a value.
Secret obtainPin(const std::string& given, const char* env, const std::string& prompt);

// A passphrase (of a PKCS #12 file): the environment variable named `env`
// when one is named (throws when it is not set), else a prompt on the
// terminal without echo; empty without a terminal.
Secret obtainPassphrase(const std::string& env, const std::string& prompt);

// An administrator key: 24 bytes in hexadecimal (a two-key triple-DES key in
// its 24-byte form, the last 8 bytes repeating the first 8), or 16 bytes,
// which are extended to that form. Same sources as obtainPin.
Secret obtainAdminKey(const std::string& given, const char* env, const std::string& prompt);

// Parses hexadecimal (spaces and colons allowed between bytes) into a key of
// 16 or 24 bytes, returned in its 24-byte form; throws on anything else.
Secret parseAdminKey(std::string text);

// The 8-byte response to a challenge: the challenge encrypted with
// triple-DES in ECB mode under the 24-byte key.
Secret challengeResponse(const Secret& key24, const uint8_t* challenge, std::size_t length);

// Makes the process non-dumpable (no core file, no ptrace by others).
void protectProcess();

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_SECRETS_H

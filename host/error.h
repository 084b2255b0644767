// Failures of the provider host: a message for a person, and the 32-bit
// code (a PC/SC or minidriver code) that caused it, when there is one.
#ifndef VEMRA_HOST_ERROR_H
#define VEMRA_HOST_ERROR_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vemra::host {

// PC/SC codes that the minidriver interface's header does not define.
namespace pcsc_code {
constexpr uint32_t kNoSmartcard = 0x8010000C;
constexpr uint32_t kUnknownReader = 0x80100009;
constexpr uint32_t kNoService = 0x8010001D;
constexpr uint32_t kNoReadersAvailable = 0x8010002E;
constexpr uint32_t kRemovedCard = 0x80100069;
}  // namespace pcsc_code

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, uint32_t code = 0) : std::runtime_error(message), code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// The symbolic name of a PC/SC or minidriver code ("SCARD_W_WRONG_CHV"), or
// its value in hexadecimal when the code is not one the host knows.
std::string codeName(uint32_t code);

// What a code means, in words ("wrong PIN"). `secret` names what was
// presented ("PIN", "administrator key") for the codes about credentials;
// `attempts` is the number of tries the card has left, or -1 when unknown.
std::string codeMeaning(uint32_t code, const std::string& secret = "PIN", int attempts = -1);

// "NAME: meaning", as printed for every failure.
std::string describeCode(uint32_t code, const std::string& secret = "PIN", int attempts = -1);

// Throws Error("<what>: NAME: meaning") unless `code` is 0.
void check(uint32_t code, const std::string& what, const std::string& secret = "PIN", int attempts = -1);

}  // namespace vemra::host

#endif  // VEMRA_HOST_ERROR_H

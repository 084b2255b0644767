// The PC/SC side of the provider host, through pcsc-lite. The header carries
// no PC/SC types (pcsc-lite's DWORD differs from the minidriver interface's),
// so that code using the driver's records can include it.
#ifndef VEMRA_HOST_PCSC_H
#define VEMRA_HOST_PCSC_H

#include <cstdint>
#include <string>
#include <vector>

namespace vemra::host {

struct ReaderState {
  std::string name;
  bool cardPresent = false;
  std::vector<uint8_t> atr;  // empty without a card
};

// Whether the PC/SC service answers.
bool pcscServiceRuns();

// An established PC/SC context (system scope). Throws Error when the service
// cannot be reached.
class PcscContext {
 public:
  PcscContext();
  ~PcscContext();
  PcscContext(const PcscContext&) = delete;
  PcscContext& operator=(const PcscContext&) = delete;

  // Every reader with its card state and ATR; empty when there is no reader.
  std::vector<ReaderState> readers() const;
  uintptr_t handle() const { return context_; }

 private:
  uintptr_t context_ = 0;
};

// A shared connection to the card in one reader, with the ATR and the name
// from SCardStatus. Disconnects leaving the card as it is.
class CardConnection {
 public:
  CardConnection(const PcscContext& context, const std::string& reader);
  ~CardConnection();
  CardConnection(const CardConnection&) = delete;
  CardConnection& operator=(const CardConnection&) = delete;

  uintptr_t handle() const { return card_; }
  const std::vector<uint8_t>& atr() const { return atr_; }
  const std::string& reader() const { return reader_; }

 private:
  uintptr_t card_ = 0;
  std::vector<uint8_t> atr_;
  std::string reader_;
};

}  // namespace vemra::host

#endif  // VEMRA_HOST_PCSC_H

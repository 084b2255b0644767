// Holding the card for a whole operation: one PC/SC transaction on a
// connection from construction to destruction, as the platform's providers
// hold it around every sequence of driver calls that must not interleave
// with another program's commands. The driver's own short transactions nest
// inside it (PC/SC counts them on the handle; only the outermost end
// releases the card).
#ifndef VEMRA_HOST_TRANSACTION_H
#define VEMRA_HOST_TRANSACTION_H

#include <cstdint>

namespace vemra::host {

// Whether a PC/SC code says the card is gone for this connection: removed,
// reset by another program, or no card in the reader.
bool cardLost(uint32_t code);

class CardTransaction {
 public:
  // Begins a transaction on the connection `card` (an SCARDHANDLE).
  explicit CardTransaction(uintptr_t card);
  // Ends it, leaving the card as it is, when it was begun.
  ~CardTransaction();
  CardTransaction(const CardTransaction&) = delete;
  CardTransaction& operator=(const CardTransaction&) = delete;

  // 0 when the card is held, else the failure of SCardBeginTransaction.
  uint32_t status() const { return status_; }
  bool held() const { return status_ == 0 && card_ != 0; }
  // The begin was answered with a reset or a removal: the connection has
  // lost the card and must be made again.
  bool lost() const { return cardLost(status_); }

 private:
  uintptr_t card_;
  uint32_t status_;
};

}  // namespace vemra::host

#endif  // VEMRA_HOST_TRANSACTION_H

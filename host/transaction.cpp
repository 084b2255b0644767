#include "transaction.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

namespace vemra::host {

bool cardLost(uint32_t code) {
  return code == static_cast<uint32_t>(SCARD_W_RESET_CARD) || code == static_cast<uint32_t>(SCARD_W_REMOVED_CARD) ||
         code == static_cast<uint32_t>(SCARD_E_NO_SMARTCARD);
}

CardTransaction::CardTransaction(uintptr_t card)
    : card_(card), status_(static_cast<uint32_t>(SCardBeginTransaction(static_cast<SCARDHANDLE>(card)))) {}

CardTransaction::~CardTransaction() {
  if (held()) (void)SCardEndTransaction(static_cast<SCARDHANDLE>(card_), SCARD_LEAVE_CARD);
}

}  // namespace vemra::host

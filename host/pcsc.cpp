#include "pcsc.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include "error.h"

namespace vemra::host {

namespace {

void checkPcsc(LONG rc, const std::string& what) { check(static_cast<uint32_t>(rc), what); }

}  // namespace

bool pcscServiceRuns() {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  SCardReleaseContext(ctx);
  return true;
}

PcscContext::PcscContext() {
  SCARDCONTEXT ctx = 0;
  checkPcsc(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), "cannot reach the PC/SC service");
  context_ = static_cast<uintptr_t>(ctx);
}

PcscContext::~PcscContext() { SCardReleaseContext(static_cast<SCARDCONTEXT>(context_)); }

std::vector<ReaderState> PcscContext::readers() const {
  const auto ctx = static_cast<SCARDCONTEXT>(context_);
  DWORD size = 0;
  LONG rc = SCardListReaders(ctx, nullptr, nullptr, &size);
  if (rc == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return {};
  checkPcsc(rc, "cannot list the readers");
  std::string names(size, '\0');
  rc = SCardListReaders(ctx, nullptr, names.data(), &size);
  if (rc == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return {};
  checkPcsc(rc, "cannot list the readers");
  names.resize(size);

  std::vector<ReaderState> result;
  for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
    ReaderState reader;
    reader.name = names.c_str() + at;
    at += reader.name.size() + 1;
    result.push_back(std::move(reader));
  }
  std::vector<SCARD_READERSTATE> states(result.size());
  for (std::size_t i = 0; i < result.size(); ++i) {
    states[i].szReader = result[i].name.c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  checkPcsc(SCardGetStatusChange(ctx, 0, states.data(), static_cast<DWORD>(states.size())),
            "cannot read the readers' state");
  for (std::size_t i = 0; i < result.size(); ++i) {
    result[i].cardPresent = (states[i].dwEventState & SCARD_STATE_PRESENT) != 0;
    if (result[i].cardPresent) {
      const DWORD length = states[i].cbAtr <= sizeof states[i].rgbAtr ? states[i].cbAtr : 0;
      result[i].atr.assign(states[i].rgbAtr, states[i].rgbAtr + length);
    }
  }
  return result;
}

CardConnection::CardConnection(const PcscContext& context, const std::string& reader) : reader_(reader) {
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  // The driver frames every command for T=0; a card that offers T=1 only is
  // still connected with whatever it offers and the driver's exchange decides.
  checkPcsc(SCardConnect(static_cast<SCARDCONTEXT>(context.handle()), reader.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
            "cannot connect to the card in \"" + reader + "\"");
  card_ = static_cast<uintptr_t>(card);
  unsigned char atr[MAX_ATR_SIZE];
  DWORD atrLength = sizeof atr;
  DWORD state = 0;
  DWORD statusProtocol = 0;
  char name[MAX_READERNAME];
  DWORD nameLength = sizeof name;
  const LONG rc = SCardStatus(card, name, &nameLength, &state, &statusProtocol, atr, &atrLength);
  if (rc != SCARD_S_SUCCESS) {
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    card_ = 0;
    checkPcsc(rc, "cannot read the card's status in \"" + reader + "\"");
  }
  atr_.assign(atr, atr + atrLength);
}

CardConnection::~CardConnection() {
  if (card_ != 0) SCardDisconnect(static_cast<SCARDHANDLE>(card_), SCARD_LEAVE_CARD);
}

}  // namespace vemra::host

// The PC/SC functions the driver calls, with the PC/SC library's signatures,
// handed to the session (session.h), which answers them from its source.
// Kept apart from session.cpp because pcsc-lite's types differ from the
// interface's.
#include <PCSC/winscard.h>

#include "fuzz/session.h"

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST*, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST*, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
  if (pbSendBuffer == nullptr || pbRecvBuffer == nullptr || pcbRecvLength == nullptr) return SCARD_E_INVALID_PARAMETER;
  std::uint64_t length = *pcbRecvLength;
  const auto code = vemra::fuzz::layer::transmit(static_cast<std::uintptr_t>(hCard), {pbSendBuffer, cbSendLength},
                                                 pbRecvBuffer, length);
  if (code == 0) *pcbRecvLength = static_cast<DWORD>(length);
  return static_cast<LONG>(static_cast<std::int32_t>(code));
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
  return static_cast<LONG>(static_cast<std::int32_t>(vemra::fuzz::layer::begin(static_cast<std::uintptr_t>(hCard))));
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  return static_cast<LONG>(
      static_cast<std::int32_t>(vemra::fuzz::layer::end(static_cast<std::uintptr_t>(hCard), dwDisposition)));
}

}  // extern "C"

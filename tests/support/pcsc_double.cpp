#include "support/pcsc_double.h"

#include <PCSC/winscard.h>

#include <cstring>

namespace vemra::test {

PcscDouble& PcscDouble::instance() {
  static PcscDouble double_;
  return double_;
}

void PcscDouble::reset() { *this = PcscDouble{}; }

void PcscDouble::failCall(PcscCall call, int nth, std::uint32_t code) {
  failures_[call][calls(call) + nth] = code;
}

void PcscDouble::interleave(std::uintptr_t handle, std::function<void()> action) {
  interleaved_ = handle;
  interloper_ = std::move(action);
  interloperWaits_ = false;
}

void PcscDouble::boundary(std::uintptr_t handle) {
  if (!interloper_ || interloping_ || handle != interleaved_) return;
  if (depth(handle) == 0) {
    runInterloper();
  } else {
    interloperWaits_ = true;
  }
}

void PcscDouble::runInterloper() {
  interloperWaits_ = false;
  interloping_ = true;
  ++interleavings_;
  interloper_();
  interloping_ = false;
}

int PcscDouble::calls(PcscCall call) const {
  const auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

int PcscDouble::depth(std::uintptr_t handle) const {
  const auto it = depth_.find(handle);
  return it == depth_.end() ? 0 : it->second;
}

bool PcscDouble::balanced() const {
  for (const auto& [handle, open] : depth_) {
    if (open != 0) return false;
  }
  return unmatchedEnds_ == 0 && endsNotLeavingCard_ == 0;
}

bool PcscDouble::plannedFailure(PcscCall call, std::uint32_t& code) {
  const int count = ++calls_[call];
  const auto it = failures_[call].find(count);
  if (it == failures_[call].end()) return false;
  code = it->second;
  return true;
}

std::uint32_t PcscDouble::onTransmit(std::uintptr_t handle, bool t0Pci, std::span<const std::uint8_t> command,
                                     std::uint8_t* receive, std::uint64_t& receiveLength) {
  boundary(handle);
  std::uint32_t code = 0;
  commands_.push_back({{command.begin(), command.end()}, depth(handle), handle, t0Pci, receiveLength});
  if (plannedFailure(PcscCall::Transmit, code)) return code;
  if (backend_ == nullptr) return static_cast<std::uint32_t>(SCARD_E_NO_SMARTCARD);
  const std::vector<std::uint8_t> answer = backend_->transmit(command);
  if (const auto lost = lostAnswers_.find(calls(PcscCall::Transmit)); lost != lostAnswers_.end()) return lost->second;
  if (answer.size() > receiveLength) return static_cast<std::uint32_t>(SCARD_E_INSUFFICIENT_BUFFER);
  if (!answer.empty()) std::memcpy(receive, answer.data(), answer.size());
  receiveLength = answer.size();
  return 0;
}

std::uint32_t PcscDouble::onBegin(std::uintptr_t handle) {
  boundary(handle);
  std::uint32_t code = 0;
  if (plannedFailure(PcscCall::BeginTransaction, code)) return code;
  const int open = ++depth_[handle];
  if (open > maxDepth_) maxDepth_ = open;
  return 0;
}

std::uint32_t PcscDouble::onEnd(std::uintptr_t handle, std::uint64_t disposition) {
  std::uint32_t code = 0;
  // The transaction is released even when the call reports a failure, as a
  // PC/SC service does when the card went away.
  if (depth_[handle] > 0) {
    --depth_[handle];
  } else {
    ++unmatchedEnds_;
  }
  if (disposition != SCARD_LEAVE_CARD) ++endsNotLeavingCard_;
  if (handle == interleaved_ && depth(handle) == 0 && interloperWaits_ && !interloping_) runInterloper();
  if (plannedFailure(PcscCall::EndTransaction, code)) return code;
  return 0;
}

}  // namespace vemra::test

// The PC/SC functions the driver calls, with the PC/SC library's signatures.
extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST* /*pioRecvPci*/, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
  if (pbSendBuffer == nullptr || pbRecvBuffer == nullptr || pcbRecvLength == nullptr)
    return SCARD_E_INVALID_PARAMETER;
  std::uint64_t receiveLength = *pcbRecvLength;
  const auto code = vemra::test::PcscDouble::instance().onTransmit(
      static_cast<std::uintptr_t>(hCard), pioSendPci == &g_rgSCardT0Pci, {pbSendBuffer, cbSendLength},
      pbRecvBuffer, receiveLength);
  if (code == 0) *pcbRecvLength = static_cast<DWORD>(receiveLength);
  return static_cast<LONG>(static_cast<std::int32_t>(code));
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
  const auto code = vemra::test::PcscDouble::instance().onBegin(static_cast<std::uintptr_t>(hCard));
  return static_cast<LONG>(static_cast<std::int32_t>(code));
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  const auto code =
      vemra::test::PcscDouble::instance().onEnd(static_cast<std::uintptr_t>(hCard), dwDisposition);
  return static_cast<LONG>(static_cast<std::int32_t>(code));
}

}  // extern "C"

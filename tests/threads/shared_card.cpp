#include "threads/shared_card.h"

#include <PCSC/winscard.h>

#include <cstring>

namespace vemra::test {

SharedCard& SharedCard::instance() {
  static SharedCard shared;
  return shared;
}

void SharedCard::bind(std::uintptr_t handle, cardsim::Card& card) {
  auto& reader = readers_[&card];
  if (!reader) {
    reader = std::make_unique<Reader>();
    reader->card = &card;
  }
  handles_[handle] = reader.get();
}

void SharedCard::clear() {
  handles_.clear();
  readers_.clear();
}

SharedCard::Reader* SharedCard::reader(std::uintptr_t handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second;
}

long SharedCard::begin(std::uintptr_t handle) {
  Reader* r = reader(handle);
  if (r == nullptr) return SCARD_E_INVALID_HANDLE;
  std::unique_lock<std::mutex> lock(r->mutex);
  r->released.wait(lock, [&] { return r->depth == 0 || r->owner == handle; });
  r->owner = handle;
  ++r->depth;
  return SCARD_S_SUCCESS;
}

long SharedCard::end(std::uintptr_t handle) {
  Reader* r = reader(handle);
  if (r == nullptr) return SCARD_E_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(r->mutex);
  if (r->depth == 0 || r->owner != handle) return SCARD_E_NOT_TRANSACTED;
  if (--r->depth == 0) {
    r->owner = 0;
    r->released.notify_all();
  }
  return SCARD_S_SUCCESS;
}

long SharedCard::transmit(std::uintptr_t handle, std::span<const std::uint8_t> command,
                          std::vector<std::uint8_t>& answer) {
  cardsim::Card* card = nullptr;
  {
    Reader* r = reader(handle);
    if (r == nullptr) return SCARD_E_INVALID_HANDLE;
    std::unique_lock<std::mutex> lock(r->mutex);
    r->released.wait(lock, [&] { return r->depth == 0 || r->owner == handle; });
    card = r->card;
  }
  // The card serialises its own commands.
  answer = card->transmit(command);
  return SCARD_S_SUCCESS;
}

bool SharedCard::idle() {
  for (const auto& [card, reader] : readers_) {
    std::lock_guard<std::mutex> lock(reader->mutex);
    if (reader->depth != 0) return false;
  }
  return true;
}

}  // namespace vemra::test

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST*, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST*, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
  if (pbSendBuffer == nullptr || pbRecvBuffer == nullptr || pcbRecvLength == nullptr) return SCARD_E_INVALID_PARAMETER;
  std::vector<std::uint8_t> answer;
  const long rc = vemra::test::SharedCard::instance().transmit(static_cast<std::uintptr_t>(hCard),
                                                               {pbSendBuffer, cbSendLength}, answer);
  if (rc != SCARD_S_SUCCESS) return rc;
  if (answer.size() > *pcbRecvLength) return SCARD_E_INSUFFICIENT_BUFFER;
  if (!answer.empty()) std::memcpy(pbRecvBuffer, answer.data(), answer.size());
  *pcbRecvLength = static_cast<DWORD>(answer.size());
  return SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
  return vemra::test::SharedCard::instance().begin(static_cast<std::uintptr_t>(hCard));
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  if (dwDisposition != SCARD_LEAVE_CARD) return SCARD_E_INVALID_VALUE;
  return vemra::test::SharedCard::instance().end(static_cast<std::uintptr_t>(hCard));
}

}  // extern "C"

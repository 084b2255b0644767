// The only file of the driver that includes the PC/SC headers and calls
// SCardTransmit, SCardBeginTransaction and SCardEndTransaction.
#include "card/exchange.h"

#include <array>

#include "card/bytes.h"
#include "card/commands.h"

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#else
#include <PCSC/winscard.h>
#endif

namespace vemra::card {
namespace {

// The interface's codes, written out here because the PC/SC headers of some
// platforms give other values to the same names.
constexpr Result kInternalError = 0x80100001;
constexpr Result kInvalidParameter = 0x80100004;
constexpr DWORD kLeaveCard = 0;
constexpr std::size_t kMaxCommandData = 255;
constexpr std::size_t kHeaderSize = 5;

[[nodiscard]] Result fromPcsc(LONG code) { return static_cast<Result>(code); }

SCARDHANDLE toPcsc(Handle card) { return static_cast<SCARDHANDLE>(card); }

// The command as it goes out: the caller's header with the P3 of the moment,
// then the command data.
struct Command {
  Apdu apdu;
  std::uint8_t p3;
};

// Sends one command and returns the PC/SC failure, or 0 with the card's answer
// (data and status word) in `received`/`receivedLength`.
[[nodiscard]] Result sendOnce(Handle card, const Command& outgoing,
                              std::array<std::uint8_t, kReceiveBufferSize>& received, std::size_t& receivedLength) {
  std::array<std::uint8_t, kHeaderSize + kMaxCommandData> buffer{};
  ByteWriter writer{buffer};
  const Apdu& apdu = outgoing.apdu;
  if (!writer.putBytes({apdu.cla, apdu.ins, apdu.p1, apdu.p2, outgoing.p3}) || !writer.putBytes(apdu.data())) {
    wipe(buffer);
    return kInvalidParameter;
  }
  DWORD length = static_cast<DWORD>(received.size());
  const LONG rc = SCardTransmit(toPcsc(card), SCARD_PCI_T0, buffer.data(), static_cast<DWORD>(writer.size()), nullptr,
                                received.data(), &length);
  // The command may have carried a PIN block or key material; only the bytes
  // sent were ever written.
  wipe(std::span(buffer).first(writer.size()));
  if (rc != SCARD_S_SUCCESS) return fromPcsc(rc);
  receivedLength = length > received.size() ? received.size() : static_cast<std::size_t>(length);
  return 0;
}

// The card exchange: one command and the commands the card chains to it.
[[nodiscard]] Result cardExchange(Handle card, const Apdu& apdu, std::span<std::uint8_t> response,
                                  std::uint16_t& length, std::uint16_t& sw) {
  if (apdu.data().size() > kMaxCommandData) return kInvalidParameter;
  const bool hasData = !apdu.data().empty();
  Command outgoing{apdu, hasData ? static_cast<std::uint8_t>(apdu.data().size()) : static_cast<std::uint8_t>(length)};

  for (int chained = 0; chained <= kMaxChainedCommands; ++chained) {
    // The answer may carry secrets (a session PIN): wiped on every way out,
    // as far as the card's answer reached (all of it when the transmission
    // failed and that length is unknown).
    struct Received {
      std::array<std::uint8_t, kReceiveBufferSize> bytes{};
      std::size_t used = kReceiveBufferSize;
      ~Received() { wipe(std::span(bytes).first(used)); }
    } answer;
    auto& received = answer.bytes;
    std::size_t receivedLength = 0;
    if (const Result rc = sendOnce(card, outgoing, received, receivedLength)) return rc;
    answer.used = receivedLength;
    // The answer: its data, then SW1 SW2.
    ByteReader reader{std::span<const std::uint8_t>(received.data(), receivedLength)};
    std::span<const std::uint8_t> data;
    if (receivedLength < 2 || !reader.readView(receivedLength - 2, data) || !reader.readU16(sw)) return kInternalError;
    const std::uint8_t sw1 = highByte(sw);

    if (!data.empty()) {
      // Data is handed back with whatever status word came with it.
      const std::size_t stored = data.size() < response.size() ? data.size() : response.size();
      for (std::size_t i = 0; i < stored; ++i) response[i] = data[i];
      length = static_cast<std::uint16_t>(data.size());
      return 0;
    }
    if (sw1 == sw::kResponseWaitingSw1) {
      // Response data waiting: fetch it with GET RESPONSE (P3 00 asks for 256).
      outgoing = Command{command::getResponse(), lowByte(sw)};
    } else if (sw1 == sw::kWrongLengthSw1) {
      // Wrong length: the same command again; without data P3 is the length
      // the card names, with data the command goes out unchanged.
      if (outgoing.apdu.data().empty()) outgoing.p3 = lowByte(sw);
    } else {
      length = 0;  // a status word alone carries no data
      return 0;
    }
  }
  return kInternalError;
}

}  // namespace

Result transmit(Handle card, const Apdu& apdu, std::span<std::uint8_t> response, std::uint16_t& length,
                std::uint16_t& sw) {
  if (const Result rc = beginTransaction(card)) return rc;
  std::uint16_t working = length;
  if (const Result rc = cardExchange(card, apdu, response, working, sw)) {
    (void)endTransaction(card);
    return rc;
  }
  const Result ended = endTransaction(card);
  length = working;
  return ended;
}

Result transmit(Handle card, const Apdu& apdu, std::span<std::uint8_t> response, std::uint8_t& length,
                std::uint16_t& sw) {
  std::uint16_t wide = length;
  const Result rc = transmit(card, apdu, response, wide, sw);
  length = static_cast<std::uint8_t>(wide);  // unchanged when the exchange failed
  return rc;
}

Result transmit(Handle card, const Apdu& apdu, std::uint16_t& sw) {
  std::uint8_t length = 0;
  return transmit(card, apdu, {}, length, sw);
}

Result beginTransaction(Handle card) { return fromPcsc(SCardBeginTransaction(toPcsc(card))); }

Result endTransaction(Handle card) { return fromPcsc(SCardEndTransaction(toPcsc(card), kLeaveCard)); }

OuterTransaction::~OuterTransaction() {
  if (active_) (void)endTransaction(card_);
}

Result OuterTransaction::begin() {
  const Result rc = beginTransaction(card_);
  active_ = rc == 0;
  return rc;
}

Result OuterTransaction::finish(Result result) {
  if (!active_) return result;
  active_ = false;
  const Result ended = endTransaction(card_);
  return result != 0 ? result : ended;
}

}  // namespace vemra::card

#include "pcsc_recorder.h"

#include <PCSC/winscard.h>
#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef VEMRA_BENCH_CALLGRIND
#include <valgrind/callgrind.h>
#endif

namespace vemra::bench {
namespace {

// Driver code runs while the bench is inside an entry point and the driver is
// not inside a PC/SC call or a provider callback.
int gDriverDepth = 0;
int gCallbackDepth = 0;
bool gCollecting = false;  // callgrind collection currently on
bool gCollectDriver = false;
std::atomic<long> gHeapCalls{0};

bool driverRunning() { return gDriverDepth > 0 && gCallbackDepth == 0; }

// Keeps callgrind's collection in step with driverRunning().
void followCollection() {
#ifdef VEMRA_BENCH_CALLGRIND
  const bool want = gCollectDriver && driverRunning();
  if (want != gCollecting) {
    CALLGRIND_TOGGLE_COLLECT;
    gCollecting = want;
  }
#endif
}

std::vector<PcscCall>* gSink = nullptr;
PcscCounts gCounts;
bool gCounting = false;

template <typename F>
F real(const char* name) {
  void* symbol = ::dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "vemra-bench: libpcsclite has no %s\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(symbol);
}

using BeginFn = LONG (*)(SCARDHANDLE);
using EndFn = LONG (*)(SCARDHANDLE, DWORD);
using TransmitFn = LONG (*)(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE,
                            LPDWORD);

BeginFn realBegin() {
  static const BeginFn f = real<BeginFn>("SCardBeginTransaction");
  return f;
}
EndFn realEnd() {
  static const EndFn f = real<EndFn>("SCardEndTransaction");
  return f;
}
TransmitFn realTransmit() {
  static const TransmitFn f = real<TransmitFn>("SCardTransmit");
  return f;
}

// True when this PC/SC call comes from driver code and is to be counted.
bool fromDriver() { return gCounting && driverRunning(); }

}  // namespace

void enterDriver() {
  ++gDriverDepth;
  followCollection();
}
void leaveDriver() {
  --gDriverDepth;
  followCollection();
}
void enterCallback() {
  ++gCallbackDepth;
  followCollection();
}
void leaveCallback() {
  --gCallbackDepth;
  followCollection();
}

void collectDriverInstructions(bool on) {
  gCollectDriver = on;
  followCollection();
}

void beginOperation(std::vector<PcscCall>* sink) {
  gSink = sink;
  gCounts = {};
  gCounting = true;
}

PcscCounts endOperation() {
  gCounting = false;
  gSink = nullptr;
  return gCounts;
}

std::size_t replay(const std::vector<PcscCall>& calls) {
  static std::array<std::uint8_t, MAX_BUFFER_SIZE_EXTENDED> answer;
  std::size_t differences = 0;
  for (const PcscCall& call : calls) {
    const auto card = static_cast<SCARDHANDLE>(call.card);
    switch (call.kind) {
      case PcscCall::Kind::Begin:
        if (realBegin()(card) != call.result) ++differences;
        break;
      case PcscCall::Kind::End:
        if (realEnd()(card, call.disposition) != call.result) ++differences;
        break;
      case PcscCall::Kind::Transmit: {
        DWORD length = static_cast<DWORD>(call.answerCapacity);
        const LONG rc = realTransmit()(card, SCARD_PCI_T0, call.command.data(),
                                       static_cast<DWORD>(call.command.size()), nullptr, answer.data(), &length);
        if (rc != call.result ||
            (rc == SCARD_S_SUCCESS && (length != call.answer.size() ||
                                       std::memcmp(answer.data(), call.answer.data(), length) != 0))) {
          ++differences;
        }
        break;
      }
    }
  }
  return differences;
}

long heapCallsInDriver() {
#ifdef VEMRA_BENCH_COUNT_HEAP
  return gHeapCalls.load();
#else
  return -1;
#endif
}

}  // namespace vemra::bench

using vemra::bench::PcscCall;
using namespace vemra::bench;

// The PC/SC calls the driver imports, defined here so that the driver binds
// to them. Each leaves driver code for the time of the real call.
extern "C" {

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
  const bool counted = fromDriver();
  Callback outside;
  const LONG rc = realBegin()(hCard);
  if (counted) {
    ++gCounts.calls;
    ++gCounts.transactions;
    if (gSink != nullptr) {
      gSink->push_back(PcscCall{PcscCall::Kind::Begin, static_cast<std::uintptr_t>(hCard), 0, {}, 0, {}, rc});
    }
  }
  return rc;
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
  const bool counted = fromDriver();
  Callback outside;
  const LONG rc = realEnd()(hCard, dwDisposition);
  if (counted) {
    ++gCounts.calls;
    if (gSink != nullptr) {
      gSink->push_back(PcscCall{PcscCall::Kind::End, static_cast<std::uintptr_t>(hCard),
                                static_cast<std::uint32_t>(dwDisposition), {}, 0, {}, rc});
    }
  }
  return rc;
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
  const bool counted = fromDriver();
  const DWORD capacity = pcbRecvLength != nullptr ? *pcbRecvLength : 0;
  Callback outside;
  const LONG rc = realTransmit()(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci, pbRecvBuffer,
                                 pcbRecvLength);
  if (counted) {
    ++gCounts.calls;
    ++gCounts.transmits;
    if (gSink != nullptr) {
      PcscCall call{PcscCall::Kind::Transmit, static_cast<std::uintptr_t>(hCard), 0,
                    {pbSendBuffer, pbSendBuffer + cbSendLength}, capacity, {}, rc};
      if (rc == SCARD_S_SUCCESS) call.answer.assign(pbRecvBuffer, pbRecvBuffer + *pcbRecvLength);
      gSink->push_back(std::move(call));
    }
  }
  return rc;
}

#ifdef VEMRA_BENCH_COUNT_HEAP
// The heap, counted while driver code runs and otherwise passed straight to
// glibc's allocator.
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t size) noexcept {
  if (driverRunning()) ++gHeapCalls;
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
  if (driverRunning()) ++gHeapCalls;
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) noexcept {
  if (driverRunning()) ++gHeapCalls;
  return __libc_realloc(p, size);
}
void free(void* p) noexcept {
  if (driverRunning() && p != nullptr) ++gHeapCalls;
  __libc_free(p);
}
#endif

}  // extern "C"

#include "reader_watch.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <string>

#include "error.h"

namespace vemra::host {

namespace {

// The name under which pcsc-lite reports readers plugged in or removed; the
// high word of its state is the number of readers.
constexpr const char* kReaderNotification = "\\\\?PnP?\\Notification";

// A blocked wait looks at the cancel flag at least this often, so that a
// cancel that came just before the wait began is not lost.
constexpr DWORD kSliceMs = 2000;

bool same(const std::vector<ReaderState>& a, const std::vector<ReaderState>& b) {
  if (a.size() != b.size()) return false;
  return std::all_of(a.begin(), a.end(), [&](const ReaderState& r) {
    return std::any_of(b.begin(), b.end(),
                       [&](const ReaderState& o) { return o.name == r.name && o.cardPresent == r.cardPresent; });
  });
}

// The reader names; empty when there is none.
LONG listReaders(SCARDCONTEXT ctx, std::vector<std::string>& names) {
  names.clear();
  DWORD size = 0;
  LONG rc = SCardListReaders(ctx, nullptr, nullptr, &size);
  if (rc == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
  if (rc != SCARD_S_SUCCESS) return rc;
  std::string all(size, '\0');
  rc = SCardListReaders(ctx, nullptr, all.data(), &size);
  if (rc == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
  if (rc != SCARD_S_SUCCESS) return rc;
  all.resize(std::min<std::size_t>(size, all.size()));
  for (std::size_t at = 0; at < all.size() && all[at] != '\0';) {
    names.emplace_back(all.c_str() + at);
    at += names.back().size() + 1;
  }
  return SCARD_S_SUCCESS;
}

}  // namespace

ReaderWatch::ReaderWatch() {
  SCARDCONTEXT ctx = 0;
  check(static_cast<uint32_t>(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx)),
        "cannot reach the PC/SC service");
  context_ = static_cast<uintptr_t>(ctx);
}

ReaderWatch::~ReaderWatch() { SCardReleaseContext(static_cast<SCARDCONTEXT>(context_)); }

void ReaderWatch::cancel() {
  cancelled_ = true;
  SCardCancel(static_cast<SCARDCONTEXT>(context_));
}

uint32_t ReaderWatch::waitForChange(const std::vector<ReaderState>& known, std::vector<ReaderState>& now) {
  const auto ctx = static_cast<SCARDCONTEXT>(context_);
  while (!cancelled_) {
    std::vector<std::string> names;
    if (const LONG rc = listReaders(ctx, names); rc != SCARD_S_SUCCESS) return static_cast<uint32_t>(rc);
    // The readers' present state, read without waiting; then the wait from
    // exactly that state (event counters included), and the reader
    // notification from the present number of readers.
    std::vector<SCARD_READERSTATE> states(names.size() + 1);
    for (std::size_t i = 0; i < names.size(); ++i) {
      states[i].szReader = names[i].c_str();
      states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    LONG rc = names.empty() ? SCARD_S_SUCCESS
                            : SCardGetStatusChange(ctx, 0, states.data(), static_cast<DWORD>(names.size()));
    if (rc == SCARD_E_UNKNOWN_READER || rc == SCARD_E_READER_UNAVAILABLE) continue;  // one went meanwhile
    if (rc != SCARD_S_SUCCESS) return static_cast<uint32_t>(rc);
    now.clear();
    for (std::size_t i = 0; i < names.size(); ++i) {
      now.push_back({names[i], (states[i].dwEventState & SCARD_STATE_PRESENT) != 0, {}});
      states[i].dwCurrentState = states[i].dwEventState & ~SCARD_STATE_CHANGED;
    }
    if (!same(known, now)) return 0;
    states.back().szReader = kReaderNotification;
    states.back().dwCurrentState = static_cast<DWORD>(names.size()) << 16;
    rc = SCardGetStatusChange(ctx, kSliceMs, states.data(), static_cast<DWORD>(states.size()));
    if (rc == SCARD_E_CANCELLED) break;
    if (rc != SCARD_S_SUCCESS && rc != SCARD_E_TIMEOUT && rc != SCARD_E_UNKNOWN_READER &&
        rc != SCARD_E_READER_UNAVAILABLE) {
      return static_cast<uint32_t>(rc);
    }
  }
  return static_cast<uint32_t>(SCARD_E_CANCELLED);
}

}  // namespace vemra::host

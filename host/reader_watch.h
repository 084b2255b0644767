// Waiting for the readers to change: a card put in or taken out, a reader
// plugged in or gone, through SCardGetStatusChange on a PC/SC context of its
// own, which another thread may cancel.
#ifndef VEMRA_HOST_READER_WATCH_H
#define VEMRA_HOST_READER_WATCH_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "pcsc.h"

namespace vemra::host {

class ReaderWatch {
 public:
  // Establishes the context; throws Error when the service cannot be reached.
  ReaderWatch();
  ~ReaderWatch();
  ReaderWatch(const ReaderWatch&) = delete;
  ReaderWatch& operator=(const ReaderWatch&) = delete;

  // Blocks until the readers and their cards (names and presence; ATRs are
  // not compared) differ from `known`: 0 with the readers as they are in
  // `now`; SCARD_E_CANCELLED after cancel(); or the PC/SC failure.
  uint32_t waitForChange(const std::vector<ReaderState>& known, std::vector<ReaderState>& now);
  // Ends the wait, from any thread; the watch stays cancelled.
  void cancel();

 private:
  uintptr_t context_ = 0;
  std::atomic<bool> cancelled_{false};
};

}  // namespace vemra::host

#endif  // VEMRA_HOST_READER_WATCH_H

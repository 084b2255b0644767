// Simulated cards behind the PC/SC functions the driver calls, shared by
// every thread of the process. Each card handle is bound to one card; a
// transaction belongs to one handle and nests on it; a command or
// transaction of another handle on the same card waits until it ends, as
// with the PC/SC service. No PC/SC types, so that tests can include it next
// to the driver's interface header.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "cardsim/card.h"

namespace vemra::test {

class SharedCard {
 public:
  static SharedCard& instance();

  // Binds `handle` to `card` (which outlives the binding). Bindings are made
  // and cleared while no other thread uses the PC/SC functions.
  void bind(std::uintptr_t handle, cardsim::Card& card);
  void clear();
  // 0, or a PC/SC failure.
  long begin(std::uintptr_t handle);
  long end(std::uintptr_t handle);
  long transmit(std::uintptr_t handle, std::span<const std::uint8_t> command, std::vector<std::uint8_t>& answer);
  // No transaction open on any card.
  bool idle();

 private:
  // One reader per card, with its own lock: threads on different cards
  // share nothing here.
  struct Reader {
    std::mutex mutex;
    cardsim::Card* card = nullptr;
    std::uintptr_t owner = 0;
    int depth = 0;
    std::condition_variable released;
  };
  Reader* reader(std::uintptr_t handle);

  std::map<cardsim::Card*, std::unique_ptr<Reader>> readers_;
  std::map<std::uintptr_t, Reader*> handles_;
};

}  // namespace vemra::test

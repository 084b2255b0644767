// A C_WaitForSlotEvent running in a thread of its own. Should a test stop
// before the wait has ended, the wait is ended with C_Finalize, so that the
// test does not hang on it.
#ifndef VEMRA_P11_TEST_EVENT_WAIT_H
#define VEMRA_P11_TEST_EVENT_WAIT_H

#include <chrono>
#include <future>
#include <utility>

#include "p11-kit/pkcs11.h"

namespace vemra::p11::test {

class EventWait {
 public:
  explicit EventWait(CK_FUNCTION_LIST_PTR f)
      : f_(f), result_(std::async(std::launch::async, [f] {
          CK_SLOT_ID slot = 99;
          const CK_RV rv = f->C_WaitForSlotEvent(0, &slot, nullptr);
          return std::make_pair(rv, slot);
        })) {}
  ~EventWait() {
    if (result_.valid() && result_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      f_->C_Finalize(nullptr);
    }
  }
  EventWait(const EventWait&) = delete;
  EventWait& operator=(const EventWait&) = delete;

  // Whether the wait ended within `limit`.
  bool ended(std::chrono::milliseconds limit) { return result_.wait_for(limit) == std::future_status::ready; }
  // The code and the slot; only after ended().
  std::pair<CK_RV, CK_SLOT_ID> get() { return result_.get(); }

 private:
  CK_FUNCTION_LIST_PTR f_;
  std::future<std::pair<CK_RV, CK_SLOT_ID>> result_;
};

}  // namespace vemra::p11::test

#endif  // VEMRA_P11_TEST_EVENT_WAIT_H

// Letting go of the cards held past their last call (CachedPort's linger):
// a thread of the module's own wakes when the earliest such hold is due and
// releases it under the module's lock. It never waits for that lock: while
// a call runs, the call's own end schedules again.
#include <condition_variable>
#include <optional>
#include <thread>

#include "module.h"

namespace vemra::p11 {

namespace {

using Clock = CachedPort::Clock;

struct Releaser {
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<Clock::time_point> due;
  bool stop = false;
  std::thread thread;
};

// Left behind, never touched, in a child of fork(): the thread is the
// parent's.
Releaser* releaser = nullptr;
pid_t releaserOwner = 0;

CachedPort* heldPort(Slot& slot) {
  return slot.token ? dynamic_cast<CachedPort*>(slot.token->port.get()) : nullptr;
}

// Under the module lock.
std::optional<Clock::time_point> earliestDue() {
  std::optional<Clock::time_point> earliest;
  for (Slot& s : module().slots) {
    const CachedPort* port = heldPort(s);
    const auto due = port ? port->releaseDue() : std::nullopt;
    if (due && (!earliest || *due < *earliest)) earliest = due;
  }
  return earliest;
}

// Under the module lock.
void releaseDue(Clock::time_point now, bool all) {
  for (Slot& s : module().slots) {
    CachedPort* port = heldPort(s);
    const auto due = port ? port->releaseDue() : std::nullopt;
    if (due && (all || *due <= now)) port->release();
  }
}

void run(Releaser& r) {
  std::unique_lock<std::mutex> lock(r.mutex);
  while (!r.stop) {
    if (!r.due) {
      r.wake.wait(lock);
      continue;
    }
    if (Clock::now() < *r.due) {
      r.wake.wait_until(lock, *r.due);
      continue;
    }
    r.due.reset();
    lock.unlock();
    std::optional<Clock::time_point> next;
    {
      std::unique_lock<std::recursive_mutex> moduleLock(module().lock, std::try_to_lock);
      if (moduleLock.owns_lock()) {
        releaseDue(Clock::now(), false);
        next = earliestDue();
      }
    }
    lock.lock();
    if (next && (!r.due || *next < *r.due)) r.due = next;
  }
}

}  // namespace

void scheduleReleases() {
  if (releaser != nullptr && releaserOwner != ::getpid()) releaser = nullptr;
  const auto due = earliestDue();
  if (!due) return;
  if (releaser == nullptr) {
    try {
      auto r = std::make_unique<Releaser>();
      r->thread = std::thread(run, std::ref(*r));
      releaser = r.release();
      releaserOwner = ::getpid();
    } catch (...) {
      // No thread to let go later: let go now.
      releaseDue(Clock::now(), true);
      return;
    }
  }
  {
    std::lock_guard<std::mutex> guard(releaser->mutex);
    if (!releaser->due || *due < *releaser->due) releaser->due = due;
  }
  releaser->wake.notify_one();
}

void stopReleases() {
  if (releaser == nullptr) return;
  if (releaserOwner != ::getpid()) {
    releaser = nullptr;
    return;
  }
  {
    std::lock_guard<std::mutex> guard(releaser->mutex);
    releaser->stop = true;
  }
  releaser->wake.notify_one();
  releaser->thread.join();
  delete releaser;
  releaser = nullptr;
}

void releaseHeldCards() { releaseDue(Clock::now(), true); }

}  // namespace vemra::p11

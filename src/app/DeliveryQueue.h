// The one road from worker threads to the thread that owns the sinks (the window's thread).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Pondard::App {

using TDelivery = std::function<void()>;

// One queue for all threads. A delivery handed over on the owner thread runs at once, before
// Deliver returns; from any other thread it is appended and run later on the owner thread, in
// order of arrival. No caller ever waits for a delivery to run.
class TDeliveryQueue {
 public:
  virtual ~TDeliveryQueue() = default;
  virtual void Deliver(TDelivery ADelivery) = 0;
};

// A delivery queue whose owner thread runs the deliveries from its own loop: the headless
// program's main thread, and the tests that play the window's thread.
class TLoopDeliveryQueue final : public TDeliveryQueue {
 public:
  // The constructing thread becomes the owner.
  TLoopDeliveryQueue() : FOwner(std::this_thread::get_id()) {}

  void Deliver(TDelivery ADelivery) override;
  // Owner thread only: runs every delivery queued so far; returns how many ran.
  size_t RunPending();
  // Owner thread only: waits up to ATimeout for a delivery, then runs what is queued.
  size_t WaitAndRun(std::chrono::milliseconds ATimeout);
  // Any thread: makes the owner's current or next WaitAndRun return at once.
  void Wake();

 private:
  const std::thread::id FOwner;
  std::mutex FMutex;  // guards FQueue and FWoken
  std::condition_variable FArrived;
  std::deque<TDelivery> FQueue;
  bool FWoken = false;
};

}  // namespace Pondard::App

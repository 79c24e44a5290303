// Runs short actions at a later time on one thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace Pondard::App {

// Actions run one at a time, in deadline order, on the timer's thread. Stop drops what has not
// run yet and waits for an action that is running; the destructor stops.
class TTimerQueue {
 public:
  TTimerQueue();
  ~TTimerQueue();
  TTimerQueue(const TTimerQueue&) = delete;
  TTimerQueue& operator=(const TTimerQueue&) = delete;

  // Runs AAction ADelayMs from now; does nothing once stopped.
  void Schedule(uint64_t ADelayMs, std::function<void()> AAction);
  void Stop();

 private:
  void Run();

  std::mutex FMutex;  // guards FActions and FStopped
  std::condition_variable FChanged;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> FActions;
  bool FStopped = false;
  std::thread FThread;
};

}  // namespace Pondard::App

#include "app/TimerQueue.h"

namespace Pondard::App {

TTimerQueue::TTimerQueue() : FThread([this] { Run(); }) {}

TTimerQueue::~TTimerQueue() { Stop(); }

void TTimerQueue::Schedule(uint64_t ADelayMs, std::function<void()> AAction) {
  {
    std::lock_guard lock(FMutex);
    if (FStopped) return;
    FActions.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ADelayMs),
                     std::move(AAction));
  }
  FChanged.notify_one();
}

void TTimerQueue::Stop() {
  {
    std::lock_guard lock(FMutex);
    FStopped = true;
    FActions.clear();
  }
  FChanged.notify_one();
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TTimerQueue::Run() {
  std::unique_lock lock(FMutex);
  while (!FStopped) {
    if (FActions.empty()) {
      FChanged.wait(lock);
      continue;
    }
    const auto due = FActions.begin()->first;
    if (std::chrono::steady_clock::now() < due) {
      FChanged.wait_until(lock, due);
      continue;
    }
    auto action = std::move(FActions.begin()->second);
    FActions.erase(FActions.begin());
    lock.unlock();  // never hold the lock while calling out
    action();
    lock.lock();
  }
}

}  // namespace Pondard::App

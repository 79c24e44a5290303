#include "app/DeliveryQueue.h"

namespace Pondard::App {

void TLoopDeliveryQueue::Deliver(TDelivery ADelivery) {
  if (std::this_thread::get_id() == FOwner) {
    ADelivery();
    return;
  }
  {
    std::lock_guard lock(FMutex);
    FQueue.push_back(std::move(ADelivery));
  }
  FArrived.notify_one();
}

size_t TLoopDeliveryQueue::RunPending() {
  std::deque<TDelivery> batch;
  {
    std::lock_guard lock(FMutex);
    batch.swap(FQueue);
  }
  for (auto& delivery : batch) delivery();
  return batch.size();
}

size_t TLoopDeliveryQueue::WaitAndRun(std::chrono::milliseconds ATimeout) {
  {
    std::unique_lock lock(FMutex);
    FArrived.wait_for(lock, ATimeout, [&] { return !FQueue.empty() || FWoken; });
    FWoken = false;
  }
  return RunPending();
}

void TLoopDeliveryQueue::Wake() {
  {
    std::lock_guard lock(FMutex);
    FWoken = true;
  }
  FArrived.notify_one();
}

}  // namespace Pondard::App

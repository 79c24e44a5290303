// The engine's delivery queue on the Qt event loop.
#pragma once

#include <memory>
#include <thread>

#include "app/DeliveryQueue.h"

class QObject;

namespace Pondard::UI {

// Deliveries from other threads are posted to the thread that made the queue (the Qt thread)
// and run there in order of arrival; on that thread they run at once. Deliveries still queued
// when the queue is destroyed are dropped.
class TQtDeliveryQueue final : public App::TDeliveryQueue {
 public:
  TQtDeliveryQueue();
  ~TQtDeliveryQueue() override;
  void Deliver(App::TDelivery ADelivery) override;

 private:
  const std::thread::id FOwner;
  std::unique_ptr<QObject> FContext;  // lives on the owner thread; posted deliveries go to it
};

}  // namespace Pondard::UI

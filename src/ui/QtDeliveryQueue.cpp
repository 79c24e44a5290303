#include "ui/QtDeliveryQueue.h"

#include <QObject>

namespace Pondard::UI {

TQtDeliveryQueue::TQtDeliveryQueue()
    : FOwner(std::this_thread::get_id()), FContext(std::make_unique<QObject>()) {}

TQtDeliveryQueue::~TQtDeliveryQueue() = default;

void TQtDeliveryQueue::Deliver(App::TDelivery ADelivery) {
  if (std::this_thread::get_id() == FOwner) {
    ADelivery();
    return;
  }
  // Qt keeps posted events of one receiver in the order they were posted.
  QMetaObject::invokeMethod(FContext.get(), std::move(ADelivery), Qt::QueuedConnection);
}

}  // namespace Pondard::UI

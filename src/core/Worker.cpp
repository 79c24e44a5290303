#include "core/Worker.h"

namespace Pondar::Core {

TWorkerThread::~TWorkerThread() {
  Terminate();
  WaitFor();
}

void TWorkerThread::Start() {
  if (FThread.joinable()) return;
  FRunning.store(true, std::memory_order_release);
  FThread = std::thread([this] {
    Execute();
    FRunning.store(false, std::memory_order_release);
  });
}

void TWorkerThread::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

}  // namespace Pondar::Core

#include "app/ShortLivedThreads.h"

#include <thread>

namespace Pondard::App {

void TShortLivedThreads::Run(std::function<void()> AJob, Pondar::Core::RawUtf8 AContext,
                             Pondar::Core::TOnWorkerProblem AReport) {
  {
    std::lock_guard lock(FMutex);
    ++FCount;
  }
  try {
    std::thread([self = shared_from_this(), job = std::move(AJob), context = std::move(AContext),
                 report = std::move(AReport)] {
      Pondar::Core::RunReportingErrors(job, context, report);
      {
        std::lock_guard lock(self->FMutex);
        --self->FCount;
      }
      self->FIdle.notify_all();
    }).detach();
  } catch (...) {
    std::lock_guard lock(FMutex);
    --FCount;
    throw;
  }
}

bool TShortLivedThreads::WaitIdle(std::chrono::milliseconds ATimeout) {
  std::unique_lock lock(FMutex);
  return FIdle.wait_for(lock, ATimeout, [&] { return FCount == 0; });
}

size_t TShortLivedThreads::Count() {
  std::lock_guard lock(FMutex);
  return FCount;
}

}  // namespace Pondard::App

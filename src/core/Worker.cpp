#include "core/Worker.h"

#include <cstdio>
#include <exception>

namespace Pondar::Core {

void ReportProblem(const TOnWorkerProblem& AReport, const RawUtf8& AMessage) noexcept {
  try {
    if (AReport) {
      AReport(AMessage);
      return;
    }
  } catch (...) {
    // The report itself failed (out of memory, say): standard error is all that is left.
  }
  std::fprintf(stderr, "%s\n", AMessage.c_str());
}

bool RunReportingErrors(const std::function<void()>& AAction, const RawUtf8& AContext,
                        const TOnWorkerProblem& AReport) noexcept {
  // Copied into a buffer of our own: the exception is gone once its handler ends, and building
  // a string inside the handler could throw again.
  char what[512] = "unknown error";
  try {
    AAction();
    return true;
  } catch (const std::exception& AError) {
    std::snprintf(what, sizeof what, "%s", AError.what());
  } catch (...) {
  }
  try {
    ReportProblem(AReport, AContext + ": " + what);
  } catch (...) {
    ReportProblem(AReport, "out of memory while reporting an error");
  }
  return false;
}

TWorkerThread::~TWorkerThread() {
  Terminate();
  WaitFor();
}

void TWorkerThread::Terminate() {
  {
    // Taken so that a Pause between its check of the flag and its wait cannot miss the wake-up.
    std::lock_guard lock(FPauseLock);
    FTerminated.store(true, std::memory_order_release);
  }
  FPauseEnd.notify_all();
  WakeForTerminate();
}

bool TWorkerThread::Pause(std::chrono::milliseconds ADuration) {
  std::unique_lock lock(FPauseLock);
  return !FPauseEnd.wait_for(lock, ADuration, [this] { return Terminated(); });
}

void TWorkerThread::Start() {
  if (FThread.joinable()) return;
  FRunning.store(true, std::memory_order_release);
  FThread = std::thread([this] {
    RunReportingErrors([this] { Execute(); }, FName + " stopped", OnProblem);
    FRunning.store(false, std::memory_order_release);
  });
}

void TWorkerThread::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

}  // namespace Pondar::Core
